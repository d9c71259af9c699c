// Media controls for a platform whose backend has no such desktop service (yet): the object
// exists, the desktop never reaches it, and nothing it is told goes anywhere.

#include "host/Application.h"
#include "host/MediaControls.h"

namespace host {

struct MediaControls::Impl {};

MediaControls::MediaControls(const std::string&, const std::string&)
    : impl_(std::make_unique<Impl>()) {
    requireUIThread("MediaControls.Constructor");
}

MediaControls::~MediaControls() = default;

bool MediaControls::Available() const {
    return false;
}

void MediaControls::setPlaying(bool) {}
void MediaControls::setVolume(double) {}
void MediaControls::showStreamOf(const MoviePlayer&) {}

} // namespace host
