#pragma once

// The program's fixed values: it has no configuration, so every address and name it
// shows or contacts lives here.

#include <cstdint>
#include <string_view>

namespace tamsel::constants {

// The station's stream, opened by Play.
inline constexpr std::string_view kStreamURL = "http://stream.tamselradio.com/tmslradio1/listen";

// How the desktop's media controls name the player, and its installed desktop file (without
// ".desktop"; packaging/linux/tamselRadio.desktop.in).
inline constexpr std::string_view kPlayerName = "tamselRadio";
inline constexpr std::string_view kDesktopEntry = "tamselRadio";

// Shown in the about message.
inline constexpr std::string_view kProductWebDomain = "tamselradio.com";
inline constexpr std::string_view kDeveloperName = "Tamsel Radio Team";
inline constexpr std::string_view kDeveloperWebSite = "tamselradio.com";
inline constexpr std::string_view kCommunityHandle = "tamselradio";

// The update check: where the latest version is asked for, how long the blocking request
// may go without progress, and the site offered when a different version is out.
inline constexpr std::string_view kVersionEndpoint = "http://tamselradio.com/app/version";
inline constexpr std::string_view kProductWebSite = "https://tamselradio.com";
inline constexpr int64_t kVersionCheckTimeoutSeconds = 30;

} // namespace tamsel::constants
