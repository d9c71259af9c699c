#pragma once

// The lines of an HTTP/1.0 exchange apart from any socket: the request line and header
// lines a client writes, the status line it reads back, and the fields a stream player
// reads from a reply head (HTTP, or the older "ICY 200 OK").

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

inline constexpr std::string_view kLineEnd = "\r\n";

// "GET /path HTTP/1.0" and its line end.
std::string requestLine(std::string_view method, std::string_view target);
// "Name: value" and its line end.
std::string fieldLine(std::string_view name, std::string_view value);

struct StatusLine {
    std::string protocol; // the first field as sent: "HTTP/1.1", "ICY"
    int64_t code = 0;     // the second field's leading number (leadingNumber); 0 when none
};
// The status line, the first line of a head without its line end; fields are separated by
// single spaces.
StatusLine parseStatusLine(std::string_view line);

// The status code of an HTTP reply's first line, as curl and Python read it: the line
// starts with "HTTP/", and after the version and its blanks come exactly three digits, 100
// to 999, followed by a blank or the end. -1 for anything else: no status line.
int64_t httpStatusCode(std::string_view line);
// An interim reply (1xx): a final reply follows it on the same connection.
inline bool isInterimStatus(int64_t code) {
    return code >= 100 && code <= 199;
}

// Whether a Transfer-Encoding value ends with the chunked coding (the last one applied).
bool endsWithChunked(std::string_view transferEncoding);

struct ReplyFields {
    int64_t status = 0;       // 0 when the status line is neither HTTP nor ICY
    std::string contentType;  // lower case, parameters dropped; empty when not given
    int64_t metaInterval = 0; // audio bytes between two metadata blocks; 0: none interleaved
    std::string location;     // where a redirect points
};
// What a stream player needs from a reply head's block (ResponseHead::block()), whatever
// its line ends.
ReplyFields readReplyFields(std::string_view block);

} // namespace wire
