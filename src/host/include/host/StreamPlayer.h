#pragma once

// Plays one audio stream (an HTTP radio stream or any URL the platform's media backend
// opens) without a picture. This is the engine under the MoviePlayer control; it keeps the
// control's rules: the volume scale, looping as "keep a live stream going", and AutoPlay.
//
// Every operation must be called on the main thread and raises ThreadAccessingUIException
// otherwise. Nothing here calls back into program code.

#include <cstdint>
#include <memory>
#include <string>

namespace host {

class StreamPlayer {
public:
    // Where playback stands. Everything but Stopped counts as playing for isPlaying():
    // the player has been told to play and has not been stopped.
    enum class State {
        Stopped,   // idle: nothing assigned, stop() called, or the stream ended without looping
        Opening,   // connecting and buffering before the first sound
        Playing,   // sound is flowing
        Reopening, // the stream ended or failed while looping; waiting to open it again
    };

    // The volume scale: 0 is silence, FullVolume is full gain. It is the volume slider's own
    // maximum, so the slider's end and a volume never set sound the same.
    static constexpr int64_t FullVolume = 250;
    // A looping stream that ended or failed is opened again at most this long afterwards,
    // and again at this interval for as long as it stays unreachable.
    static constexpr int64_t ReopenIntervalMilliseconds = 1000;
    // A stream that shows no sign of life this long (no answer while opening, no advance
    // while playing) counts as failed: a network that vanished without a reset would leave
    // the backend waiting on its own, much longer, timeouts. With the pause above, attempts
    // on a silent network follow each other within 3 s.
    static constexpr int64_t StallTimeoutMilliseconds = 1500;

    StreamPlayer();
    ~StreamPlayer();
    StreamPlayer(const StreamPlayer&) = delete;
    StreamPlayer& operator=(const StreamPlayer&) = delete;

    // Assigns the stream (the control's Movie). Whatever played before stops. With
    // AutoPlay on, playback of the new stream starts at once; an empty URL only stops.
    void setUrl(const std::string& url);
    std::string url() const;

    // Starts playback of the assigned stream. While already playing (also after AutoPlay
    // started it) it does nothing, so the sound is neither restarted nor doubled. Without a
    // stream assigned it does nothing.
    void play();
    // Stops playback and any reopening; the stream stays assigned for the next play().
    void stop();

    // 0 silence, FullVolume full gain; values between follow the cubic curve of desktop
    // volume controls; values outside 0 .. FullVolume are clamped. Full until something sets it.
    void setVolume(int64_t volume);
    int64_t volume() const;

    // True: a stream that ends or fails while playing is opened again (retrying every
    // ReopenIntervalMilliseconds) until stop(). False: playback just ends.
    void setLooping(bool looping);
    bool looping() const;

    // True: assigning a stream starts playing it.
    void setAutoPlay(bool autoPlay);
    bool autoPlay() const;

    bool isPlaying() const;
    State state() const;
    // The backend's last error text, empty when none happened since the last open.
    std::string lastError() const;
    // How often the stream has been opened again after ending or failing since play().
    int64_t reopenCount() const;

    // What the playing stream says about itself, empty until it has said it (and while
    // stopped): the station's name (its icy-name header) and the title now playing (the
    // StreamTitle it sends between the audio). Both may change at any time while playing.
    std::string stationName() const;
    std::string streamTitle() const;

    // The linear gain (0.0 .. 1.0) a volume value gives, as handed to the audio output.
    static double linearGain(int64_t volume);

private:
    struct Impl;   // what every platform keeps alike
    struct Engine; // the platform's playback, an Impl
    std::unique_ptr<Impl> impl_;
};

} // namespace host
