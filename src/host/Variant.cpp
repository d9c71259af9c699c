#include "host/Variant.h"

#include "host/Strings.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace host {

std::string Variant::StringValue() const {
    if (const auto* s = std::get_if<std::string>(&value_)) {
        return *s;
    }
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return Int64ToText(*i);
    }
    if (const auto* b = std::get_if<bool>(&value_)) {
        return *b ? "True" : "False";
    }
    if (const auto* d = std::get_if<double>(&value_)) {
        // Shortest text that reads back to the same double, independent of the locale.
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, *d);
        return std::string(buffer, result.ptr);
    }
    return {};
}

int64_t Variant::IntegerValue() const {
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return *i;
    }
    if (const auto* s = std::get_if<std::string>(&value_)) {
        return Val(*s);
    }
    if (const auto* b = std::get_if<bool>(&value_)) {
        return *b ? 1 : 0;
    }
    if (const auto* d = std::get_if<double>(&value_)) {
        int64_t out = 0;
        if (TruncateToInt64(*d, out)) {
            return out;
        }
        if (std::isnan(*d)) {
            return 0;
        }
        return *d < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return 0;
}

bool Variant::BooleanValue() const {
    if (const auto* b = std::get_if<bool>(&value_)) {
        return *b;
    }
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return *i != 0;
    }
    if (const auto* d = std::get_if<double>(&value_)) {
        return *d != 0.0;
    }
    if (const auto* s = std::get_if<std::string>(&value_)) {
        return EqualsIgnoreCase(Trim(*s), "True") || CDbl(*s) != 0.0;
    }
    return false;
}

double Variant::DoubleValue() const {
    if (const auto* d = std::get_if<double>(&value_)) {
        return *d;
    }
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return static_cast<double>(*i);
    }
    if (const auto* s = std::get_if<std::string>(&value_)) {
        return CDbl(*s);
    }
    if (const auto* b = std::get_if<bool>(&value_)) {
        return *b ? 1.0 : 0.0;
    }
    return 0.0;
}

} // namespace host
