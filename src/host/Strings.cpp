#include "host/Strings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace host {

namespace {

char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// 0-based position of needle in haystack at or after from, npos when absent.
size_t findFolded(std::string_view haystack, std::string_view needle, size_t from) {
    if (from > haystack.size()) {
        return std::string_view::npos;
    }
    if (needle.empty()) {
        return from;
    }
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(),
                          needle.begin(), needle.end(),
                          [](char a, char b) { return foldAscii(a) == foldAscii(b); });
    return it == haystack.end() ? std::string_view::npos
                                : static_cast<size_t>(it - haystack.begin());
}

// The numeric prefix shared by Val and CDbl: blanks, sign, digits, fraction, exponent.
struct NumberSpan {
    bool found = false;
    bool negative = false;
    std::string_view integerDigits;
    std::string_view mantissa; // digits, point and fraction, without the sign
    std::string_view full;     // mantissa plus exponent, without the sign
    bool hasExponent = false;
};

NumberSpan scanNumber(std::string_view s) {
    NumberSpan span;
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) {
        ++i;
    }
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        span.negative = s[i] == '-';
        ++i;
    }
    const size_t start = i;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
    }
    span.integerDigits = s.substr(start, i - start);
    size_t fractionDigits = 0;
    if (i < s.size() && s[i] == '.') {
        size_t j = i + 1;
        while (j < s.size() && isDigit(s[j])) {
            ++j;
        }
        fractionDigits = j - i - 1;
        i = j;
    }
    if (span.integerDigits.empty() && fractionDigits == 0) {
        return span;
    }
    span.found = true;
    span.mantissa = s.substr(start, i - start);
    size_t end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            ++j;
        }
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) {
                ++j;
            }
            span.hasExponent = true;
            end = j;
        }
    }
    span.full = s.substr(start, end - start);
    return span;
}

// Decimal exponent of the leading significant digit of an unsigned decimal text, used only
// to tell overflow from underflow after a range error.
long decimalMagnitude(std::string_view text) {
    const size_t e = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, e);
    long exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view exp = text.substr(e + 1);
        const bool negative = !exp.empty() && exp.front() == '-';
        if (!exp.empty() && (exp.front() == '+' || exp.front() == '-')) {
            exp.remove_prefix(1);
        }
        // Saturate: only the sign of the total matters here.
        for (char c : exp) {
            exponent = std::min(exponent * 10 + (c - '0'), 1000000L);
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    const size_t point = std::min(mantissa.find('.'), mantissa.size());
    const size_t first = mantissa.find_first_not_of("0.");
    if (first == std::string_view::npos) {
        return std::numeric_limits<long>::min(); // zero
    }
    const long position =
        first < point ? static_cast<long>(point - first) - 1 : -static_cast<long>(first - point);
    return position + exponent;
}

double parseDouble(std::string_view text, bool negative) {
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone on range errors.
        value = decimalMagnitude(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

} // namespace

int64_t Len(std::string_view s) {
    return static_cast<int64_t>(s.size());
}

int64_t LenB(std::string_view s) {
    return static_cast<int64_t>(s.size());
}

std::string Mid(std::string_view s, int64_t start, int64_t length) {
    if (start < 1) {
        start = 1;
    }
    const auto from = static_cast<uint64_t>(start - 1);
    if (from >= s.size()) {
        return {};
    }
    const size_t available = s.size() - static_cast<size_t>(from);
    const size_t count = length < 0 ? available : std::min(available, static_cast<size_t>(length));
    return std::string(s.substr(static_cast<size_t>(from), count));
}

std::string Left(std::string_view s, int64_t count) {
    if (count <= 0) {
        return {};
    }
    return std::string(s.substr(0, std::min(s.size(), static_cast<size_t>(count))));
}

std::string Right(std::string_view s, int64_t count) {
    if (count <= 0) {
        return {};
    }
    const size_t n = std::min(s.size(), static_cast<size_t>(count));
    return std::string(s.substr(s.size() - n));
}

int64_t InStr(std::string_view haystack, std::string_view needle) {
    return InStr(1, haystack, needle);
}

int64_t InStr(int64_t start, std::string_view haystack, std::string_view needle) {
    if (start < 1) {
        start = 1;
    }
    if (static_cast<uint64_t>(start - 1) > haystack.size()) {
        return 0;
    }
    const size_t at = findFolded(haystack, needle, static_cast<size_t>(start - 1));
    return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

int64_t InStrB(int64_t start, std::string_view haystack, std::string_view needle) {
    if (start < 1) {
        start = 1;
    }
    if (static_cast<uint64_t>(start - 1) > haystack.size()) {
        return 0;
    }
    const size_t at = haystack.find(needle, static_cast<size_t>(start - 1));
    return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

std::string NthField(std::string_view s, std::string_view separator, int64_t n) {
    if (n < 1) {
        return {};
    }
    if (separator.empty()) {
        return n == 1 ? std::string(s) : std::string();
    }
    size_t from = 0;
    for (int64_t field = 1; field < n; ++field) {
        const size_t at = findFolded(s, separator, from);
        if (at == std::string_view::npos) {
            return {};
        }
        from = at + separator.size();
    }
    const size_t end = findFolded(s, separator, from);
    return std::string(
        s.substr(from, end == std::string_view::npos ? s.size() - from : end - from));
}

int64_t CountFields(std::string_view s, std::string_view separator) {
    if (s.empty()) {
        return 0;
    }
    if (separator.empty()) {
        return 1;
    }
    int64_t fields = 1;
    size_t from = 0;
    while (true) {
        const size_t at = findFolded(s, separator, from);
        if (at == std::string_view::npos) {
            return fields;
        }
        ++fields;
        from = at + separator.size();
    }
}

std::string_view LTrimView(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) {
        ++i;
    }
    return s.substr(i);
}

std::string LTrim(std::string_view s) {
    return std::string(LTrimView(s));
}

std::string RTrim(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && isBlank(s[n - 1])) {
        --n;
    }
    return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) {
        ++i;
    }
    size_t n = s.size();
    while (n > i && isBlank(s[n - 1])) {
        --n;
    }
    return std::string(s.substr(i, n - i));
}

int StrCompare(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(foldAscii(a[i]));
        const auto cb = static_cast<unsigned char>(foldAscii(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a == b) {
        return true; // the common case, one memcmp
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string Lowercase(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), foldAscii);
    return out;
}

std::string Uppercase(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), upperAscii);
    return out;
}

std::string ReplaceAllB(std::string_view s, std::string_view what, std::string_view with) {
    if (what.empty()) {
        return std::string(s);
    }
    std::string out;
    out.reserve(s.size());
    size_t from = 0;
    while (true) {
        const size_t at = s.find(what, from);
        if (at == std::string_view::npos) {
            out.append(s.substr(from));
            return out;
        }
        out.append(s.substr(from, at - from));
        out.append(with);
        from = at + what.size();
    }
}

int64_t Val(std::string_view s) {
    const NumberSpan span = scanNumber(s);
    if (!span.found) {
        return 0;
    }
    if (span.hasExponent) {
        const double d = parseDouble(span.full, span.negative);
        if (std::isnan(d)) {
            return 0;
        }
        int64_t out = 0;
        if (TruncateToInt64(d, out)) {
            return out;
        }
        return d < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    // Accumulate the magnitude in unsigned arithmetic so that the full negative range is
    // reachable and overflow is detected instead of wrapping.
    constexpr uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t limit = span.negative ? maxPositive + 1 : maxPositive;
    uint64_t magnitude = 0;
    for (char c : span.integerDigits) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (span.negative) {
        return magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                            : -static_cast<int64_t>(magnitude);
    }
    return static_cast<int64_t>(magnitude);
}

double CDbl(std::string_view s) {
    const NumberSpan span = scanNumber(s);
    if (!span.found) {
        return 0.0;
    }
    return parseDouble(span.full, span.negative);
}

bool TruncateToInt64(double value, int64_t& out) {
    // 2^63 is exactly representable; every double below it truncates into range.
    constexpr double twoTo63 = 9223372036854775808.0;
    if (!std::isfinite(value) || value >= twoTo63 || value < -twoTo63) {
        return false;
    }
    out = static_cast<int64_t>(std::trunc(value));
    return true;
}

std::string Int64ToText(int64_t value) {
    char buffer[24];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    return std::string(buffer, ptr);
}

std::string FormatZeroPadded(int64_t value, int digits) {
    const bool negative = value < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char buffer[24];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    (void)ec;
    std::string text(buffer, ptr);
    std::string out;
    if (negative) {
        out.push_back('-');
    }
    if (digits > 0 && text.size() < static_cast<size_t>(digits)) {
        out.append(static_cast<size_t>(digits) - text.size(), '0');
    }
    out.append(text);
    return out;
}

} // namespace host
