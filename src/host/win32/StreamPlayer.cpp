// The stream player's state on Windows; no sound is produced yet.

#include "host/StreamPlayer.h"

#include "host/Application.h"

#include <algorithm>
#include <cmath>

namespace host {

struct StreamPlayer::Impl {
    std::string url;
    int64_t volume = FullVolume;
    bool looping = false;
    bool autoPlay = false;
    bool wanted = false;
    State state = State::Stopped;
    std::string lastError;
    int64_t reopens = 0;
};

StreamPlayer::StreamPlayer() : impl_(std::make_unique<Impl>()) {
    requireUIThread("StreamPlayer.Constructor");
}

StreamPlayer::~StreamPlayer() = default;

void StreamPlayer::setUrl(const std::string& url) {
    requireUIThread("StreamPlayer.Movie");
    stop();
    impl_->url = url;
    if (impl_->autoPlay) {
        play();
    }
}

std::string StreamPlayer::url() const {
    return impl_->url;
}

void StreamPlayer::play() {
    requireUIThread("StreamPlayer.Play");
    if (impl_->wanted || impl_->url.empty()) {
        return;
    }
    impl_->wanted = true;
    impl_->reopens = 0;
    impl_->state = State::Opening;
}

void StreamPlayer::stop() {
    requireUIThread("StreamPlayer.Stop");
    impl_->wanted = false;
    impl_->state = State::Stopped;
}

void StreamPlayer::setVolume(int64_t volume) {
    requireUIThread("StreamPlayer.Volume");
    impl_->volume = std::clamp<int64_t>(volume, 0, FullVolume);
}

int64_t StreamPlayer::volume() const {
    return impl_->volume;
}
void StreamPlayer::setLooping(bool looping) {
    impl_->looping = looping;
}
bool StreamPlayer::looping() const {
    return impl_->looping;
}
void StreamPlayer::setAutoPlay(bool autoPlay) {
    impl_->autoPlay = autoPlay;
}
bool StreamPlayer::autoPlay() const {
    return impl_->autoPlay;
}
bool StreamPlayer::isPlaying() const {
    return impl_->wanted;
}
StreamPlayer::State StreamPlayer::state() const {
    return impl_->state;
}
std::string StreamPlayer::lastError() const {
    return impl_->lastError;
}
int64_t StreamPlayer::reopenCount() const {
    return impl_->reopens;
}

// The cubic curve of desktop volume controls: the level is the cube root of the gain.
double StreamPlayer::linearGain(int64_t volume) {
    const double level = static_cast<double>(std::clamp<int64_t>(volume, 0, FullVolume)) /
                         static_cast<double>(FullVolume);
    return level * level * level;
}

} // namespace host
