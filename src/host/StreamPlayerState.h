#pragma once

// What the stream players of all platforms keep alike: the control's values, where playback
// stands, and the policy of losing a stream (looping, the reopen timer, the stall watchdog).
// Each backend's Engine derives from it: it opens, closes and sets the volume, and reports
// sound, progress and the stream's loss. Private to src/host.

#include "host/EventLoop.h"
#include "host/StreamPlayer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace host {

struct StreamPlayer::Impl {
    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    virtual ~Impl() = default;

    // ---- the engine's mechanism ---------------------------------------------------------

    // Connects to url and starts playing it; state is Opening.
    virtual void open() = 0;
    // Silences the output and drops the connection at once. failed: the stream broke by
    // itself. state still tells where playback stood.
    virtual void close(bool failed) = 0;
    // Hands volume to the audio output.
    virtual void applyVolume() = 0;

    // ---- what the engine reports, from the event loop ----------------------------------

    // Sound is flowing.
    void sounding();
    // The stream showed a sign of life (bytes, buffering, position): the watchdog waits anew.
    void progressed();
    // The stream ended or failed by itself; why, when given, becomes lastError.
    void lost(const std::string& why = {});

    // ---- the core's own ----------------------------------------------------------------

    // Opens afresh: play() and each reopen.
    void start();
    // Stops playback and any reopening at once, and clears wanted.
    void halt();

    std::string url;
    int64_t volume = FullVolume;
    bool looping = false;
    bool autoPlay = false;
    bool wanted = false; // play() (or AutoPlay) happened and no stop() since
    State state = State::Stopped;
    std::string lastError;
    int64_t reopens = 0;

private:
    void onReopenDue();
    void onStallCheck();

    int64_t lastProgressMs = 0;
    std::unique_ptr<loop::Timer> reopenTimer;
    std::unique_ptr<loop::Timer> stallTimer;
};

} // namespace host
