// What a request from the desktop does, the same on every platform: the backends only carry
// requests in and the state out.

#include "host/Application.h"
#include "host/Backend.h"
#include "host/MediaControls.h"
#include "host/Window.h"

#include <algorithm>
#include <cmath>

namespace host {

void MediaControls::request(MediaRequest what) {
    requireUIThread("MediaControls.Request");
    runUnderExceptionPolicy([&] {
        // A copy: the handler may replace itself, or end the program.
        auto run = [](std::function<void()> handler) {
            if (handler) {
                handler();
            }
        };
        switch (what) {
        case MediaRequest::Play:
            run(Play);
            break;
        case MediaRequest::Pause:
        case MediaRequest::Stop:
            run(Stop);
            break;
        case MediaRequest::PlayPause:
            run(playing_ ? Stop : Play);
            break;
        case MediaRequest::Raise:
            if (const auto windows = openWindows(); !windows.empty()) {
                backend::raiseWindow(*windows.back());
            }
            break;
        case MediaRequest::Quit: {
            // Frontmost first, as a user closing them one by one would; the copy keeps each
            // window alive through its own close.
            const auto windows = openWindows();
            for (auto window = windows.rbegin(); window != windows.rend(); ++window) {
                (*window)->Close();
            }
            break;
        }
        }
    });
}

void MediaControls::requestVolume(double volume) {
    requireUIThread("MediaControls.RequestVolume");
    if (!VolumeRequested || !std::isfinite(volume)) {
        return;
    }
    auto handler = VolumeRequested;
    const double level = std::clamp(volume, 0.0, 1.0);
    runUnderExceptionPolicy([&] { handler(level); });
}

void MediaControls::setPlaying(bool playing) {
    requireUIThread("MediaControls.Playing");
    if (playing == playing_) {
        return;
    }
    playing_ = playing;
    announcePlaying();
}

void MediaControls::setVolume(double volume) {
    requireUIThread("MediaControls.Volume");
    const double level = std::isfinite(volume) ? std::clamp(volume, 0.0, 1.0) : 0.0;
    if (level == volume_) {
        return;
    }
    volume_ = level;
    announceVolume();
}

} // namespace host
