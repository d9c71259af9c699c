#pragma once

// The update check made at every start: ask the product web server for the latest version
// and, when it differs from the running one, offer to open the product web site.

#include <cstdint>
#include <string>
#include <string_view>

namespace tamsel {

// The version a reply offers: the reply less one trailing line end (CR LF, LF or CR).
std::string offeredVersion(const std::string& reply);

// A text that can stand in the message as a version: 1 to 32 characters, each an ASCII
// letter, digit, ".", "-" or "+".
bool isPlausibleVersion(std::string_view text);

// The whole check against the given endpoint, offering the given site on Yes. Shows nothing
// when the request failed, the status is not 2xx, the reply is no plausible version, or the
// offered version equals the running one (letter case ignored).
void runUpdateCheck(const std::string& endpoint, const std::string& site, int64_t timeoutSeconds);

} // namespace tamsel
