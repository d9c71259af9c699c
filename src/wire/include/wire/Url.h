#pragma once

// A URL split into what a request needs: where to connect, what the Host line carries and
// the request target. Text in, parts out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wire {

struct Url {
    std::string authority; // host and port as written: what the Host line carries
    std::string host;
    int64_t port = 0;   // 0 when the URL names none
    std::string target; // path and query, at least "/"
};

// The split the HTTP client makes of any URL it is handed: a scheme, if there is one, is
// dropped; the authority runs to the first "/" and the rest is the target, as written; the
// port is the number after the authority's first ":", or after the "]" that closes a
// bracketed IPv6 literal, whose host is the text between the brackets.
Url splitUrl(std::string_view url);

// Whether the HTTP client may send a request for url at all: its scheme, if it has one
// ("name://"), is "http" in any letter case; its authority holds no user part ("@"), which
// would send the request somewhere other than where it seems to go; and a bracketed
// address is closed by "]" followed by nothing or a ":" and the port.
bool isClientUrl(std::string_view url);

// A plain-HTTP URL ("http", in any case) with a host and no user part, whose port, when
// given, is 1 to 65535 (80 when not); the fragment is dropped and a query alone gets the
// path "/". Nothing for another scheme or a malformed URL: a stream player opens only these.
std::optional<Url> parseHttpUrl(std::string_view url);

// The number at the start of text, after spaces and tabs, as far as its digits go; 0 when
// there is none, the largest int64_t when it is larger.
int64_t leadingNumber(std::string_view text);

} // namespace wire
