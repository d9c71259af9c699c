// The media controls on Windows: the keyboard's media keys, which reach the focused window
// as WM_APPCOMMAND. There is no desktop service to tell the state or the stream to.

#include "host/MediaControls.h"

#include "host/Application.h"
#include "host/win32/Win32.h"

#include <algorithm>
#include <vector>

namespace host {
namespace {

// The newest controls take the keys, as the newest MPRIS name would on Linux.
std::vector<MediaControls*>& listening() {
    static std::vector<MediaControls*> controls;
    return controls;
}

} // namespace

struct MediaControls::Impl {};

MediaControls::MediaControls(const std::string&, const std::string&)
    : impl_(std::make_unique<Impl>()) {
    requireUIThread("MediaControls.Constructor");
    listening().push_back(this);
}

MediaControls::~MediaControls() {
    auto& controls = listening();
    controls.erase(std::remove(controls.begin(), controls.end(), this), controls.end());
}

bool MediaControls::Available() const {
    requireUIThread("MediaControls.Available");
    return true;
}

void MediaControls::announcePlaying() {}
void MediaControls::announceVolume() {}
void MediaControls::showStreamOf(const MoviePlayer&) {
    requireUIThread("MediaControls.ShowStreamOf");
}

namespace win32 {

bool mediaCommand(int command) {
    MediaRequest what = MediaRequest::Play;
    switch (command) {
    case APPCOMMAND_MEDIA_PLAY:
        what = MediaRequest::Play;
        break;
    case APPCOMMAND_MEDIA_PAUSE:
        what = MediaRequest::Pause;
        break;
    case APPCOMMAND_MEDIA_PLAY_PAUSE:
        what = MediaRequest::PlayPause;
        break;
    case APPCOMMAND_MEDIA_STOP:
        what = MediaRequest::Stop;
        break;
    default:
        return false;
    }
    if (listening().empty()) {
        return false;
    }
    listening().back()->request(what);
    return true;
}

} // namespace win32
} // namespace host
