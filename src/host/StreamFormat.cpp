#include "host/StreamFormat.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace host::stream {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<int64_t> decimal(std::string_view text, int64_t maximum) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value <= maximum ? std::optional<int64_t>(value) : std::nullopt;
}

} // namespace

std::optional<HttpUrl> parseHttpUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() <= kScheme.size() || lower(url.substr(0, kScheme.size())) != kScheme) {
        return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    const size_t slash = std::min(url.find_first_of("/?#"), url.size());
    std::string_view authority = url.substr(0, slash);
    HttpUrl result;
    std::string_view target = url.substr(slash);
    target = target.substr(0, target.find('#'));
    if (target.empty() || target.front() != '/') {
        result.target.push_back('/');
    }
    result.target.append(target);
    if (authority.find('@') != std::string_view::npos) {
        return std::nullopt; // credentials are not sent to stream servers
    }
    const size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']') == std::string_view::npos) {
        const auto port = decimal(authority.substr(colon + 1), 65535);
        if (!port || *port == 0) {
            return std::nullopt;
        }
        result.port = *port;
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) {
        return std::nullopt;
    }
    result.host = std::string(authority);
    return result;
}

std::optional<ReplyHead> parseReplyHead(std::string_view bytes, size_t& headSize) {
    // Servers end lines with CR LF, some with a bare LF.
    size_t end = std::string_view::npos;
    size_t blank = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n') {
            continue;
        }
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            end = i + 2;
            blank = i;
            break;
        }
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            end = i + 3;
            blank = i;
            break;
        }
    }
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    headSize = end;
    ReplyHead head;
    std::string_view rest = bytes.substr(0, blank);
    bool first = true;
    while (!rest.empty() || first) {
        const size_t nl = rest.find('\n');
        const std::string_view line = trim(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (first) {
            first = false;
            const std::string status = lower(line);
            // "HTTP/1.0 200 OK", "HTTP/1.1 200 OK" or "ICY 200 OK".
            if (status.rfind("http/", 0) == 0 || status.rfind("icy ", 0) == 0) {
                const size_t space = status.find(' ');
                head.status = static_cast<int>(
                    decimal(trim(std::string_view(status).substr(space + 1, 3)), 999).value_or(0));
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string name = lower(trim(line.substr(0, colon)));
        const std::string_view value = trim(line.substr(colon + 1));
        if (name == "content-type") {
            head.contentType = lower(trim(value.substr(0, value.find(';'))));
        } else if (name == "icy-metaint") {
            head.metaInterval = decimal(value, INT64_C(1) << 24).value_or(0);
        } else if (name == "location") {
            head.location = std::string(value);
        }
    }
    return head;
}

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
