// A stream's bytes after its reply head, cut into arrivals where the input says: the ICY
// metadata interleaving removed as the player removes it, then the MP3 frames found and
// walked as the player walks them. The audio must not depend on how the bytes arrived and
// must be exactly the bytes between the metadata blocks; a frame found must be confirmed by
// the next one, and no walk from frame to frame may stand still.
//
// Input: byte 0 gives the metadata interval (0: none interleaved, else 1 .. 255); byte 1
// gives n (mod 17), the next n bytes the arrival sizes (each plus one, used in turn; none:
// one arrival); the rest is the stream.

#include "host/StreamFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace host::stream;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "stream_audio invariant broken: %s\n", what);
        std::abort();
    }
}

// The interleaving read one byte at a time: interval audio bytes, a length byte n, 16·n
// bytes of metadata, again.
std::string audioOf(std::string_view stream, int64_t interval) {
    if (interval <= 0) {
        return std::string(stream);
    }
    std::string audio;
    size_t i = 0;
    while (i < stream.size()) {
        for (int64_t n = 0; n < interval && i < stream.size(); ++n) {
            audio += stream[i++];
        }
        if (i < stream.size()) {
            i += 1 + static_cast<size_t>(static_cast<unsigned char>(stream[i])) * 16;
        }
    }
    return audio;
}

bool sameFrame(const Mp3Frame& a, const Mp3Frame& b) {
    return a.version == b.version && a.bitrateKbps == b.bitrateKbps &&
           a.sampleRate == b.sampleRate && a.channels == b.channels && a.padding == b.padding &&
           a.length == b.length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const int64_t interval = data[0];
    size_t pos = 1;
    const size_t splitCount = data[pos++] % 17;
    std::vector<size_t> splits;
    while (splits.size() < splitCount && pos < size) {
        splits.push_back(size_t(data[pos++]) + 1);
    }
    const std::string_view stream(reinterpret_cast<const char*>(data) + pos, size - pos);

    MetadataFilter filter(interval);
    std::string audio;
    for (size_t taken = 0, i = 0; taken < stream.size(); ++i) {
        const size_t n = splits.empty() ? stream.size() : splits[i % splits.size()];
        const std::string_view arrival = stream.substr(taken, n);
        audio += filter.feed(arrival);
        taken += arrival.size();
    }
    check(audio == audioOf(stream, interval), "the audio is not the bytes between the blocks");

    Mp3Frame first;
    const size_t at = findMp3Frames(audio, first);
    if (at == std::string_view::npos) {
        return 0;
    }
    const std::string_view frames = std::string_view(audio).substr(at);
    const auto header = parseMp3Header(frames);
    check(header && sameFrame(*header, first), "the frame found is not the one at its offset");
    check(first.length >= 4 && at + first.length + 4 <= audio.size(),
          "a frame found without room for the next header");
    const auto next = parseMp3Header(frames.substr(first.length));
    check(next && next->version == first.version && next->sampleRate == first.sampleRate,
          "a frame found without the next one confirming it");
    // Walk on as the player does: every frame moves it forward.
    for (size_t offset = 0; offset + 4 <= frames.size();) {
        const auto frame = parseMp3Header(frames.substr(offset));
        if (!frame) {
            break;
        }
        check(frame->length >= 4, "a frame shorter than its header");
        check(frame->channels == 1 || frame->channels == 2, "a frame of neither mono nor stereo");
        offset += frame->length;
    }
    return 0;
}
