#pragma once

// Property blocks: the initial properties of a window or control, stored as one string of
// bytes and applied whole. A block is a run of entries with no count, separator or
// terminator; each entry is the property's name in ASCII letters, one space (0x20), then
// the value encoded by the property's type:
//   Integer   8 bytes, little-endian two's complement
//   Boolean   1 byte, 0 false, 1 true
//   FontUnit  1 byte, unsigned
//   String    4-byte little-endian byte count, then that many bytes of UTF-8
//   Color     4 bytes: red, green, blue, alpha (0 is opaque)
//   Single    4 bytes, IEEE-754 single precision, little-endian
// The type comes from the property's name, so a name the host does not know cannot be
// decoded.

#include "host/Exceptions.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace host {

enum class PropertyType { Integer, Boolean, FontUnit, String, Color, Single };

struct Color {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 0;
    friend bool operator==(const Color&, const Color&) = default;
};

// A font unit code (0 selects the host's default unit).
struct FontUnit {
    uint8_t code = 0;
    friend bool operator==(const FontUnit&, const FontUnit&) = default;
};

// The alternatives are in PropertyType's order.
using PropertyValue = std::variant<int64_t, bool, FontUnit, std::string, Color, float>;

struct PropertyEntry {
    std::string name;
    PropertyValue value;
};

// A property's value as the type its name implies; another type raises
// std::bad_variant_access.
inline int64_t integerOf(const PropertyValue& value) {
    return std::get<int64_t>(value);
}
inline bool booleanOf(const PropertyValue& value) {
    return std::get<bool>(value);
}
inline const std::string& stringOf(const PropertyValue& value) {
    return std::get<std::string>(value);
}

// One property as a kind of object registers it, once: the name, the type its value has in
// a block, and what setting it does. Windows and each kind of control keep a table of them;
// HasProperty, SetProperty and the block's types all come from those tables.
template <class Target>
struct Property {
    std::string_view name;
    PropertyType type;
    void (*set)(Target& target, const PropertyValue& value);
};

template <class Target>
const Property<Target>* findProperty(std::span<const Property<Target>> table,
                                     std::string_view name) {
    const auto it = std::find_if(table.begin(), table.end(),
                                 [name](const Property<Target>& p) { return p.name == name; });
    return it == table.end() ? nullptr : &*it;
}

// Where keep finds an object's state: through a function, a member function, or a member
// that points to it.
template <auto StateOf, class Target>
auto& reachState(Target& target) {
    if constexpr (std::is_member_object_pointer_v<decltype(StateOf)>) {
        return *(target.*StateOf);
    } else {
        return std::invoke(StateOf, target);
    }
}

// Calls a member that shows a kept value: one of the object or one of its state.
template <auto Member, class Target, class State>
void showKept(Target& target, State& state) {
    if constexpr (std::is_invocable_v<decltype(Member), Target&>) {
        std::invoke(Member, target);
    } else {
        std::invoke(Member, state);
    }
}

// A table entry's setter for a value that is kept in the object's state (found through
// StateOf) at Field, then shown by each Apply, a member of the object or of its state.
template <auto StateOf, auto Field, auto... Apply, class Target>
void keep(Target& target, const PropertyValue& value) {
    auto& state = reachState<StateOf>(target);
    state.*Field = std::get<std::remove_cvref_t<decltype(state.*Field)>>(value);
    (showKept<Apply>(target, state), ...);
}

template <class Setter>
struct SetterArgument;
template <class Class, class Argument>
struct SetterArgument<void (Class::*)(Argument)> {
    using type = std::remove_cvref_t<Argument>;
};

// A table entry's setter that hands the value to a setter of the object.
template <auto Setter, class Target>
void pass(Target& target, const PropertyValue& value) {
    std::invoke(Setter, target, std::get<typename SetterArgument<decltype(Setter)>::type>(value));
}

// The type of a property the host knows (of a window or of any control), or nothing for an
// unknown name.
std::optional<PropertyType> propertyTypeOf(std::string_view name);
PropertyType typeOfValue(const PropertyValue& value);

// Encodes the entries in their order. Raises UnsupportedFormatException for a name the
// host does not know or that is not made of ASCII letters, and TypeMismatchException for a
// value of another type than its property's.
std::string encodePropertyBlock(const std::vector<PropertyEntry>& entries);

// Decodes a whole block. Raises UnsupportedFormatException naming the property and the byte
// offset for an unknown name, a missing space or a truncated value.
std::vector<PropertyEntry> decodePropertyBlock(std::string_view block);

// What a property block can be applied to.
class PropertyTarget {
public:
    virtual ~PropertyTarget() = default;
    // Whether the object has the property (of the type the name implies).
    virtual bool HasProperty(std::string_view name) const = 0;
    virtual void SetProperty(std::string_view name, const PropertyValue& value) = 0;
};

// Decodes the whole block and checks every entry against the object before it applies the
// first one, so a malformed block changes nothing. An entry for a property the object does
// not have raises UnsupportedFormatException too.
void RuntimeMassPropertySetter(PropertyTarget& target, std::string_view block);

} // namespace host
