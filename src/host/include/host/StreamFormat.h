#pragma once

// What a stream player needs to know about an internet-radio stream's audio before a decoder
// sees it: the metadata a server interleaves when asked for it, and where MP3 frames start.
// Bytes in, answers out: no socket, no decoder. The URL and the reply head are read by the
// wire rules (wire/Url.h, wire/Message.h), as the HTTP client reads them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace host::stream {

// Removes interleaved metadata: after every interval audio bytes comes one length byte n,
// then 16·n bytes of metadata.
class MetadataFilter {
public:
    explicit MetadataFilter(int64_t interval);
    // The audio bytes among these, in order; the state carries over between calls.
    std::string feed(std::string_view bytes);
    // The same, appended to audio.
    void feed(std::string_view bytes, std::string& audio);

private:
    int64_t interval_;
    int64_t audioLeft_;
    size_t metadataLeft_ = 0;
};

struct Mp3Frame {
    int version = 1; // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
    int bitrateKbps = 0;
    int sampleRate = 0;
    int channels = 0;
    bool padding = false;
    size_t length = 0; // bytes, header included
};
// The layer III frame whose header starts bytes (at least 4 of them), or nothing.
std::optional<Mp3Frame> parseMp3Header(std::string_view bytes);
// Offset of the first frame header that the next frame's header confirms (same version
// and sample rate, right where the first frame ends), or npos when bytes hold none.
size_t findMp3Frames(std::string_view bytes, Mp3Frame& first);
// True for a type an MP3 stream is served with; an absent type is left to the bytes.
bool isMp3ContentType(std::string_view contentType);

} // namespace host::stream
