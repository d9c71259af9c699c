#include "wire/Url.h"

#include <algorithm>
#include <limits>

namespace wire {

int64_t leadingNumber(std::string_view text) {
    const size_t start = std::min(text.find_first_not_of(" \t"), text.size());
    int64_t value = 0;
    for (const char c : text.substr(start)) {
        if (c < '0' || c > '9') {
            break;
        }
        const int digit = c - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return std::numeric_limits<int64_t>::max();
        }
        value = value * 10 + digit;
    }
    return value;
}

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The length of url's "scheme://" prefix (RFC 3986 scheme characters), 0 when there is none:
// a "://" later in the URL, in its query for example, is no scheme.
size_t schemePrefixLength(std::string_view url) {
    const size_t end = url.find("://");
    if (end == std::string_view::npos || end == 0 || !isAlpha(url[0])) {
        return 0;
    }
    for (const char c : url.substr(0, end)) {
        if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            return 0;
        }
    }
    return end + 3;
}

std::string_view authorityOf(std::string_view url) {
    url.remove_prefix(schemePrefixLength(url));
    return url.substr(0, url.find('/'));
}

} // namespace

Url splitUrl(std::string_view url) {
    url.remove_prefix(schemePrefixLength(url));
    const size_t slash = std::min(url.find('/'), url.size());
    Url parts;
    parts.authority = std::string(url.substr(0, slash));
    parts.target = slash < url.size() ? std::string(url.substr(slash)) : std::string("/");
    std::string_view authority = parts.authority;
    size_t colon = authority.find(':');
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        parts.host = std::string(authority.substr(
            1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        colon = close == std::string_view::npos ? close : authority.find(':', close);
    } else {
        parts.host = std::string(authority.substr(0, colon));
    }
    if (colon != std::string_view::npos) {
        const std::string_view after = authority.substr(colon + 1);
        parts.port = leadingNumber(after.substr(0, after.find(':')));
    }
    return parts;
}

bool isClientUrl(std::string_view url) {
    const size_t prefix = schemePrefixLength(url);
    if (prefix != 0) {
        const std::string_view scheme = url.substr(0, prefix - 3);
        if (scheme.size() != 4 || !std::equal(scheme.begin(), scheme.end(), "http",
                                              [](char a, char b) { return (a | 0x20) == b; })) {
            return false;
        }
    }
    const std::string_view authority = authorityOf(url);
    if (authority.find('@') != std::string_view::npos) {
        return false;
    }
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        return close != std::string_view::npos &&
               (close + 1 == authority.size() || authority[close + 1] == ':');
    }
    return true;
}

std::optional<Url> parseHttpUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() <= kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), url.begin(), [](char a, char b) {
            return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        })) {
        return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    const size_t slash = std::min(url.find_first_of("/?#"), url.size());
    std::string_view authority = url.substr(0, slash);
    if (authority.find('@') != std::string_view::npos) {
        return std::nullopt; // credentials are not sent to stream servers
    }
    Url parts;
    parts.authority = std::string(authority);
    std::string_view target = url.substr(slash);
    target = target.substr(0, target.find('#'));
    if (target.empty() || target.front() != '/') {
        parts.target.push_back('/');
    }
    parts.target.append(target);
    parts.port = 80;
    const size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']') == std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        parts.port = leadingNumber(digits);
        if (parts.port == 0 || parts.port > 65535) {
            return std::nullopt;
        }
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) {
        return std::nullopt;
    }
    parts.host = std::string(authority);
    return parts;
}

} // namespace wire
