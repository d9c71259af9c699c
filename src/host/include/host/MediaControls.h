#pragma once

// The desktop's media controls for the program's player: media keys, the desktop's sound
// menu and remote controls (playerctl) reach the player through them, and they show whether
// it plays, at what volume, and what its stream says is playing. With Qt on Linux this is
// MPRIS 2 on the session bus (without a session bus the object exists and nothing reaches
// it, silently); on Windows it is the media keys (WM_APPCOMMAND) while a window has focus.
//
// Every platform's requests go through request(), so the rules of what they do are the same
// everywhere: the program handles only Play and Stop.
//
// Requests arrive as events on the main thread, from the event loop, under the application's
// exception policy. Every operation must be called on the main thread and raises
// ThreadAccessingUIException otherwise.

#include <functional>
#include <memory>
#include <string>

namespace host {

class MoviePlayer;

// What the desktop or a media key asks of the player.
enum class MediaRequest {
    Play,
    Pause,     // a live stream cannot hold its place: pausing it is stopping it
    PlayPause, // Stop while playing, Play otherwise
    Stop,
    Raise, // the frontmost window to the front, restored if minimised
    Quit,  // every window closed as its close button does; the program ends with the last
};

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

    bool Playing() const { return playing_; }
    double Volume() const { return volume_; }

    // Carries out what the desktop asked, under the application's exception policy, by the
    // rules beside MediaRequest: Play, Stop, Pause and PlayPause through the handlers below.
    void request(MediaRequest what);
    // The volume asked for, brought inside 0.0 .. 1.0; not a number is ignored.
    void requestVolume(double volume);

    // Raised for requests; an empty handler ignores them. The program's own buttons do these,
    // so a request does just what a click does.
    std::function<void()> Play;
    std::function<void()> Stop;
    // The volume asked for, 0.0 .. 1.0.
    std::function<void(double volume)> VolumeRequested;

    struct Impl;

private:
    // The backend tells the desktop that the state changed.
    void announcePlaying();
    void announceVolume();

    std::unique_ptr<Impl> impl_;
    bool playing_ = false;
    double volume_ = 1.0;
};

} // namespace host
