// The stream player's rules that hold on every platform; the playback itself is the
// backend's Engine.

#include "host/Application.h"
#include "host/StreamPlayerState.h"

#include <algorithm>

namespace host {

StreamPlayer::~StreamPlayer() = default;

void StreamPlayer::setUrl(const std::string& url) {
    requireUIThread("StreamPlayer.Movie");
    impl_->halt();
    impl_->url = url;
    if (impl_->autoPlay) {
        play();
    }
}

std::string StreamPlayer::url() const {
    requireUIThread("StreamPlayer.Movie");
    return impl_->url;
}

void StreamPlayer::play() {
    requireUIThread("StreamPlayer.Play");
    if (impl_->wanted || impl_->url.empty()) {
        return;
    }
    impl_->wanted = true;
    impl_->reopens = 0;
    impl_->open();
}

void StreamPlayer::stop() {
    requireUIThread("StreamPlayer.Stop");
    impl_->halt();
}

void StreamPlayer::setVolume(int64_t volume) {
    requireUIThread("StreamPlayer.Volume");
    impl_->volume = std::clamp<int64_t>(volume, 0, FullVolume);
    impl_->applyVolume();
}

int64_t StreamPlayer::volume() const {
    requireUIThread("StreamPlayer.Volume");
    return impl_->volume;
}

void StreamPlayer::setLooping(bool looping) {
    requireUIThread("StreamPlayer.Looping");
    impl_->looping = looping;
}

bool StreamPlayer::looping() const {
    requireUIThread("StreamPlayer.Looping");
    return impl_->looping;
}

void StreamPlayer::setAutoPlay(bool autoPlay) {
    requireUIThread("StreamPlayer.AutoPlay");
    impl_->autoPlay = autoPlay;
}

bool StreamPlayer::autoPlay() const {
    requireUIThread("StreamPlayer.AutoPlay");
    return impl_->autoPlay;
}

bool StreamPlayer::isPlaying() const {
    requireUIThread("StreamPlayer.IsPlaying");
    return impl_->wanted;
}

StreamPlayer::State StreamPlayer::state() const {
    requireUIThread("StreamPlayer.State");
    return impl_->state;
}

std::string StreamPlayer::lastError() const {
    requireUIThread("StreamPlayer.LastError");
    return impl_->lastError;
}

int64_t StreamPlayer::reopenCount() const {
    requireUIThread("StreamPlayer.ReopenCount");
    return impl_->reopens;
}

// The cubic curve of desktop volume controls: the gain is the cube of the level.
double StreamPlayer::linearGain(int64_t volume) {
    const double level = static_cast<double>(std::clamp<int64_t>(volume, 0, FullVolume)) /
                         static_cast<double>(FullVolume);
    return level * level * level;
}

} // namespace host
