#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace host {

// The host's variant: the kinds a Dictionary value can hold.
class Variant {
public:
    Variant() = default;
    Variant(const char* s) : value_(std::string(s)) {}
    Variant(std::string s) : value_(std::move(s)) {}
    Variant(int v) : value_(static_cast<int64_t>(v)) {}
    Variant(int64_t v) : value_(v) {}
    Variant(bool v) : value_(v) {}
    Variant(double v) : value_(v) {}

    bool IsNil() const { return std::holds_alternative<std::monostate>(value_); }
    bool IsString() const { return std::holds_alternative<std::string>(value_); }
    bool IsInteger() const { return std::holds_alternative<int64_t>(value_); }
    bool IsBoolean() const { return std::holds_alternative<bool>(value_); }
    bool IsDouble() const { return std::holds_alternative<double>(value_); }

    // Conversions the program relies on: any value as text ("True"/"False" for booleans,
    // shortest round-trip text for doubles, "" for nil); integers from any numeric kind
    // or from text by Val.
    std::string StringValue() const;
    int64_t IntegerValue() const;
    bool BooleanValue() const;
    double DoubleValue() const;

    bool operator==(const Variant& other) const = default;

private:
    std::variant<std::monostate, std::string, int64_t, bool, double> value_;
};

} // namespace host
