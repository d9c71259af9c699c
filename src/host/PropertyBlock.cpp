#include "host/PropertyBlock.h"

#include "host/Controls.h"
#include "host/Window.h"

#include <bit>
#include <map>
#include <stdexcept>

namespace host {
namespace {

constexpr char kSeparator = ' ';

// Every registered property's type. A name two tables register (Width, Visible) must
// take the same type in both, or a block could not say which it means.
const std::map<std::string_view, PropertyType, std::less<>>& propertyTypes() {
    static const std::map<std::string_view, PropertyType, std::less<>> types = [] {
        std::map<std::string_view, PropertyType, std::less<>> t;
        const auto add = [&t](auto table) {
            for (const auto& p : table) {
                const auto [at, added] = t.emplace(p.name, p.type);
                if (!added && at->second != p.type) {
                    throw std::logic_error("property \"" + std::string(p.name) +
                                           "\" registered with two types");
                }
            }
        };
        add(Window::properties());
        add(Control::commonProperties());
        add(PushButton::ownProperties());
        add(Slider::ownProperties());
        add(MoviePlayer::ownProperties());
        return t;
    }();
    return types;
}

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

[[noreturn]] void malformed(std::string_view property, size_t offset, const std::string& what) {
    throw UnsupportedFormatException("malformed property block: property \"" +
                                     std::string(property) + "\" at byte offset " +
                                     std::to_string(offset) + ": " + what);
}

void appendLittleEndian(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

uint64_t readLittleEndian(std::string_view bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return value;
}

size_t encodedSize(PropertyType type) {
    switch (type) {
    case PropertyType::Integer:
        return 8;
    case PropertyType::Boolean:
    case PropertyType::FontUnit:
        return 1;
    case PropertyType::String:
    case PropertyType::Color:
    case PropertyType::Single:
        return 4;
    }
    return 0;
}

const char* typeName(PropertyType type) {
    switch (type) {
    case PropertyType::Integer:
        return "integer";
    case PropertyType::Boolean:
        return "boolean";
    case PropertyType::FontUnit:
        return "font unit";
    case PropertyType::String:
        return "string";
    case PropertyType::Color:
        return "color";
    case PropertyType::Single:
        return "single";
    }
    return "?";
}

struct DecodedEntry {
    PropertyEntry entry;
    size_t offset;
};

std::vector<DecodedEntry> decodeWithOffsets(std::string_view block) {
    std::vector<DecodedEntry> entries;
    size_t pos = 0;
    while (pos < block.size()) {
        const size_t entryStart = pos;
        while (pos < block.size() && isAsciiLetter(block[pos])) {
            ++pos;
        }
        const std::string_view name = block.substr(entryStart, pos - entryStart);
        if (name.empty()) {
            malformed(name, entryStart, "no property name");
        }
        if (pos >= block.size() || block[pos] != kSeparator) {
            malformed(name, pos, "missing space after the property name");
        }
        const std::optional<PropertyType> type = propertyTypeOf(name);
        if (!type) {
            malformed(name, entryStart, "unknown property");
        }
        ++pos;

        const size_t valueStart = pos;
        const size_t fixedSize = encodedSize(*type);
        if (block.size() - pos < fixedSize) {
            malformed(name, valueStart,
                      std::string(typeName(*type)) +
                          " value truncated: " + std::to_string(fixedSize) + " bytes needed, " +
                          std::to_string(block.size() - pos) + " left");
        }
        const std::string_view fixed = block.substr(pos, fixedSize);
        pos += fixedSize;

        PropertyValue value;
        switch (*type) {
        case PropertyType::Integer:
            value = static_cast<int64_t>(readLittleEndian(fixed));
            break;
        case PropertyType::Boolean: {
            const auto byte = static_cast<unsigned char>(fixed[0]);
            if (byte > 1) {
                malformed(name, valueStart,
                          "boolean value " + std::to_string(byte) + " is neither 0 nor 1");
            }
            value = byte == 1;
            break;
        }
        case PropertyType::FontUnit:
            value = FontUnit{static_cast<uint8_t>(fixed[0])};
            break;
        case PropertyType::String: {
            const uint64_t length = readLittleEndian(fixed);
            if (block.size() - pos < length) {
                malformed(name, valueStart,
                          "string value truncated: " + std::to_string(length) +
                              " bytes announced, " + std::to_string(block.size() - pos) + " left");
            }
            value = std::string(block.substr(pos, length));
            pos += length;
            break;
        }
        case PropertyType::Color:
            value = Color{static_cast<uint8_t>(fixed[0]), static_cast<uint8_t>(fixed[1]),
                          static_cast<uint8_t>(fixed[2]), static_cast<uint8_t>(fixed[3])};
            break;
        case PropertyType::Single:
            value = std::bit_cast<float>(static_cast<uint32_t>(readLittleEndian(fixed)));
            break;
        }
        entries.push_back({PropertyEntry{std::string(name), std::move(value)}, entryStart});
    }
    return entries;
}

} // namespace

std::optional<PropertyType> propertyTypeOf(std::string_view name) {
    const auto& types = propertyTypes();
    const auto it = types.find(name);
    if (it == types.end()) {
        return std::nullopt;
    }
    return it->second;
}

PropertyType typeOfValue(const PropertyValue& value) {
    return static_cast<PropertyType>(value.index());
}

std::string encodePropertyBlock(const std::vector<PropertyEntry>& entries) {
    std::string out;
    for (const PropertyEntry& e : entries) {
        const std::optional<PropertyType> type = propertyTypeOf(e.name);
        if (!type) {
            throw UnsupportedFormatException("cannot encode unknown property \"" + e.name + "\"");
        }
        if (typeOfValue(e.value) != *type) {
            throw TypeMismatchException("property \"" + e.name + "\" takes a " + typeName(*type) +
                                        " value, not a " + typeName(typeOfValue(e.value)));
        }
        out += e.name;
        out.push_back(kSeparator);
        switch (*type) {
        case PropertyType::Integer:
            appendLittleEndian(out, static_cast<uint64_t>(std::get<int64_t>(e.value)), 8);
            break;
        case PropertyType::Boolean:
            out.push_back(std::get<bool>(e.value) ? '\x01' : '\x00');
            break;
        case PropertyType::FontUnit:
            out.push_back(static_cast<char>(std::get<FontUnit>(e.value).code));
            break;
        case PropertyType::String: {
            const std::string& s = std::get<std::string>(e.value);
            appendLittleEndian(out, s.size(), 4);
            out += s;
            break;
        }
        case PropertyType::Color: {
            const Color& c = std::get<Color>(e.value);
            for (uint8_t byte : {c.red, c.green, c.blue, c.alpha}) {
                out.push_back(static_cast<char>(byte));
            }
            break;
        }
        case PropertyType::Single:
            appendLittleEndian(out, std::bit_cast<uint32_t>(std::get<float>(e.value)), 4);
            break;
        }
    }
    return out;
}

std::vector<PropertyEntry> decodePropertyBlock(std::string_view block) {
    std::vector<PropertyEntry> entries;
    for (DecodedEntry& d : decodeWithOffsets(block)) {
        entries.push_back(std::move(d.entry));
    }
    return entries;
}

void RuntimeMassPropertySetter(PropertyTarget& target, std::string_view block) {
    const std::vector<DecodedEntry> entries = decodeWithOffsets(block);
    for (const DecodedEntry& d : entries) {
        if (!target.HasProperty(d.entry.name)) {
            malformed(d.entry.name, d.offset, "the object has no such property");
        }
    }
    for (const DecodedEntry& d : entries) {
        target.SetProperty(d.entry.name, d.entry.value);
    }
}

} // namespace host
