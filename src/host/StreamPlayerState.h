#pragma once

// What the stream players of all platforms keep alike: the control's values and where
// playback stands. Each backend's Engine derives from it and opens, halts and sets the
// volume. Private to src/host.

#include "host/StreamPlayer.h"

#include <cstdint>
#include <string>

namespace host {

struct StreamPlayer::Impl {
    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    virtual ~Impl() = default;

    // Opens the stream at url afresh (wanted is set).
    virtual void open() = 0;
    // Stops playback and any reopening at once, and clears wanted.
    virtual void halt() = 0;
    // Hands volume to the audio output.
    virtual void applyVolume() = 0;

    std::string url;
    int64_t volume = FullVolume;
    bool looping = false;
    bool autoPlay = false;
    bool wanted = false; // play() (or AutoPlay) happened and no stop() since
    State state = State::Stopped;
    std::string lastError;
    int64_t reopens = 0;
};

} // namespace host
