// The stream player's rules that hold on every platform; the playback itself is the
// backend's Engine.

#include "host/Application.h"
#include "host/StreamPlayerState.h"

#include <algorithm>
#include <chrono>

namespace host {

namespace {

// How often the stall watchdog looks.
constexpr int64_t kStallCheckMs = 100;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void StreamPlayer::Impl::start() {
    reopenTimer.reset();
    lastError.clear();
    state = State::Opening;
    lastProgressMs = nowMs();
    stallTimer = loop::startTimer(kStallCheckMs, true,
                                  [this] { runUnderExceptionPolicy([&] { onStallCheck(); }); });
    open();
}

void StreamPlayer::Impl::halt() {
    reopenTimer.reset();
    stallTimer.reset();
    close(false);
    wanted = false;
    state = State::Stopped;
}

void StreamPlayer::Impl::sounding() {
    if (state == State::Opening) {
        state = State::Playing;
    }
}

void StreamPlayer::Impl::progressed() {
    lastProgressMs = nowMs();
}

void StreamPlayer::Impl::lost(const std::string& why) {
    if (!why.empty()) {
        lastError = why;
    }
    if (!wanted || state == State::Reopening) {
        return;
    }
    if (!looping) {
        halt();
        return;
    }
    stallTimer.reset();
    close(true);
    state = State::Reopening;
    reopenTimer = loop::startTimer(ReopenIntervalMilliseconds, false,
                                   [this] { runUnderExceptionPolicy([&] { onReopenDue(); }); });
}

void StreamPlayer::Impl::onReopenDue() {
    if (!wanted || state != State::Reopening) {
        return;
    }
    if (!looping) { // switched off while waiting
        halt();
        return;
    }
    ++reopens;
    start();
}

void StreamPlayer::Impl::onStallCheck() {
    if (wanted && (state == State::Opening || state == State::Playing) &&
        nowMs() - lastProgressMs > StallTimeoutMilliseconds) {
        lost("no data from the stream for " + std::to_string(StallTimeoutMilliseconds) + " ms");
    }
}

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
    impl_->start();
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
