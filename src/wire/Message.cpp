#include "wire/Message.h"

#include "wire/Url.h"

#include <algorithm>

namespace wire {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

std::string_view trim(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// A value written with digits only, up to ten of them, at most maximum; 0 otherwise.
int64_t strictDecimal(std::string_view text, int64_t maximum) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return 0;
    }
    const int64_t value = leadingNumber(text);
    return value <= maximum ? value : 0;
}

} // namespace

std::string requestLine(std::string_view method, std::string_view target) {
    std::string line(method);
    line.append(" ").append(target).append(" HTTP/1.0").append(kLineEnd);
    return line;
}

std::string fieldLine(std::string_view name, std::string_view value) {
    std::string line(name);
    line.append(": ").append(value).append(kLineEnd);
    return line;
}

StatusLine parseStatusLine(std::string_view line) {
    StatusLine status;
    const size_t space = line.find(' ');
    status.protocol = std::string(line.substr(0, space));
    if (space != std::string_view::npos) {
        const std::string_view code = line.substr(space + 1);
        status.code = leadingNumber(code.substr(0, code.find(' ')));
    }
    return status;
}

int64_t httpStatusCode(std::string_view line) {
    if (!line.starts_with("HTTP/")) {
        return -1;
    }
    const size_t space = line.find_first_of(" \t");
    if (space == std::string_view::npos) {
        return -1;
    }
    std::string_view code =
        line.substr(std::min(line.find_first_not_of(" \t", space), line.size()));
    if (code.size() > 3 && code[3] != ' ' && code[3] != '\t') {
        return -1;
    }
    code = code.substr(0, 3);
    if (code.size() != 3 || code.find_first_not_of("0123456789") != std::string_view::npos ||
        code[0] == '0') {
        return -1;
    }
    return leadingNumber(code);
}

bool endsWithChunked(std::string_view transferEncoding) {
    const size_t comma = transferEncoding.rfind(',');
    const std::string_view last = trim(
        comma == std::string_view::npos ? transferEncoding : transferEncoding.substr(comma + 1));
    return lower(last) == "chunked";
}

ReplyFields readReplyFields(std::string_view block) {
    ReplyFields fields;
    bool first = true;
    while (!block.empty()) {
        const size_t end = std::min(block.find_first_of("\r\n"), block.size());
        const std::string_view line = trim(block.substr(0, end));
        block.remove_prefix(std::min(end + 1, block.size()));
        if (line.empty()) {
            continue;
        }
        if (first) {
            first = false;
            const StatusLine status = parseStatusLine(line);
            const std::string protocol = lower(status.protocol);
            if (protocol.starts_with("http/") || protocol == "icy") {
                fields.status = status.code;
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
            fields.contentType = lower(trim(value.substr(0, value.find(';'))));
        } else if (name == "icy-metaint") {
            fields.metaInterval = strictDecimal(value, INT64_C(1) << 24);
        } else if (name == "location") {
            fields.location = std::string(value);
        }
    }
    return fields;
}

} // namespace wire
