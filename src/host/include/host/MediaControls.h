#pragma once

// The desktop's media controls for the program's player: media keys, the desktop's sound
// menu and remote controls (playerctl) reach the player through them, and they show whether
// it plays, at what volume, and what its stream says is playing. With Qt on Linux this is
// MPRIS 2 on the session bus; without a session bus the object exists and nothing reaches
// it, silently.
//
// Requests arrive as events on the main thread, from the event loop, under the application's
// exception policy. Every operation must be called on the main thread and raises
// ThreadAccessingUIException otherwise.

#include <functional>
#include <memory>
#include <string>

namespace host {

class MoviePlayer;

class MediaControls {
public:
    // name: how the desktop shows the player, and the last part of its bus name;
    // desktopEntry: its installed desktop file's name without ".desktop".
    MediaControls(const std::string& name, const std::string& desktopEntry);
    ~MediaControls();
    MediaControls(const MediaControls&) = delete;
    MediaControls& operator=(const MediaControls&) = delete;

    // True when the desktop can reach the player.
    bool Available() const;

    // What the player's own controls show: playing or stopped, and the volume from 0.0 to 1.0.
    void setPlaying(bool playing);
    void setVolume(double volume);
    // Shows what the stream of this player says about itself (the station's name and the
    // title now playing) and follows it as it changes; the player must outlive this object.
    void showStreamOf(const MoviePlayer& player);

    // Raised when the desktop asks; an empty handler ignores the request.
    std::function<void()> Play;
    std::function<void()> Pause;
    std::function<void()> PlayPause;
    std::function<void()> Stop;
    // The volume asked for, 0.0 .. 1.0 (values outside are brought inside).
    std::function<void(double volume)> VolumeRequested;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace host
