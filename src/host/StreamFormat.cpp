#include "host/StreamFormat.h"

#include <algorithm>
#include <array>

namespace host::stream {

MetadataFilter::MetadataFilter(int64_t interval) : interval_(interval), audioLeft_(interval) {}

std::string MetadataFilter::feed(std::string_view bytes) {
    std::string audio;
    feed(bytes, audio);
    return audio;
}

void MetadataFilter::feed(std::string_view bytes, std::string& audio) {
    if (interval_ <= 0) {
        audio.append(bytes);
        return;
    }
    while (!bytes.empty()) {
        if (metadataLeft_ > 0) {
            const size_t skip = std::min(metadataLeft_, bytes.size());
            metadataLeft_ -= skip;
            bytes.remove_prefix(skip);
        } else if (audioLeft_ > 0) {
            const size_t take = std::min(static_cast<size_t>(audioLeft_), bytes.size());
            audio.append(bytes.substr(0, take));
            audioLeft_ -= static_cast<int64_t>(take);
            bytes.remove_prefix(take);
        } else {
            metadataLeft_ = static_cast<size_t>(static_cast<unsigned char>(bytes.front())) * 16;
            bytes.remove_prefix(1);
            audioLeft_ = interval_;
        }
    }
}

std::optional<Mp3Frame> parseMp3Header(std::string_view bytes) {
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    const auto b = [&](size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[i]));
    };
    if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0) {
        return std::nullopt;
    }
    const unsigned versionBits = (b(1) >> 3) & 3; // 0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
    const unsigned layerBits = (b(1) >> 1) & 3;   // 1 is layer III
    const unsigned bitrateIndex = b(2) >> 4;
    const unsigned rateIndex = (b(2) >> 2) & 3;
    if (versionBits == 1 || layerBits != 1 || bitrateIndex == 0 || bitrateIndex == 15 ||
        rateIndex == 3) {
        return std::nullopt;
    }
    static constexpr std::array<int, 15> kMpeg1 = {0,   32,  40,  48,  56,  64,  80, 96,
                                                   112, 128, 160, 192, 224, 256, 320};
    static constexpr std::array<int, 15> kMpeg2 = {0,  8,  16, 24,  32,  40,  48, 56,
                                                   64, 80, 96, 112, 128, 144, 160};
    static constexpr std::array<int, 3> kRates = {44100, 48000, 32000};
    Mp3Frame frame;
    frame.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    frame.bitrateKbps = (frame.version == 1 ? kMpeg1 : kMpeg2)[bitrateIndex];
    frame.sampleRate = kRates[rateIndex] / (frame.version == 1 ? 1 : frame.version == 2 ? 2 : 4);
    frame.channels = (b(3) >> 6) == 3 ? 1 : 2;
    frame.padding = ((b(2) >> 1) & 1) != 0;
    const size_t perFrame = frame.version == 1 ? 144 : 72;
    frame.length = perFrame * static_cast<size_t>(frame.bitrateKbps) * 1000 /
                       static_cast<size_t>(frame.sampleRate) +
                   (frame.padding ? 1 : 0);
    return frame;
}

size_t findMp3Frames(std::string_view bytes, Mp3Frame& first) {
    for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
        const auto frame = parseMp3Header(bytes.substr(i));
        if (!frame || i + frame->length + 4 > bytes.size()) {
            continue;
        }
        const auto next = parseMp3Header(bytes.substr(i + frame->length));
        if (next && next->version == frame->version && next->sampleRate == frame->sampleRate) {
            first = *frame;
            return i;
        }
    }
    return std::string_view::npos;
}

bool isMp3ContentType(std::string_view contentType) {
    return contentType.empty() || contentType == "audio/mpeg" || contentType == "audio/mp3" ||
           contentType == "audio/mpeg3" || contentType == "audio/x-mpeg" ||
           contentType == "application/octet-stream";
}

} // namespace host::stream
