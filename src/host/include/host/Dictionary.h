#pragma once

#include "host/Variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace host {

// Map from string key to Variant. Keys compare ignoring ASCII letter case; a value stored
// under a key that differs only in case keeps the first spelling. Positions 0 .. Count-1
// follow insertion order and stay stable while the map is unchanged.
class Dictionary {
public:
    Dictionary();
    ~Dictionary();
    Dictionary(const Dictionary& other);
    Dictionary& operator=(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(Dictionary&&) noexcept;

    bool HasKey(std::string_view key) const;
    // Raises KeyNotFoundException when absent.
    const Variant& Value(std::string_view key) const;
    Variant Lookup(std::string_view key, const Variant& fallback) const;
    // The stored value, or nullptr when absent: has-key and get in one probe. The pointer is
    // valid until the map is next changed.
    const Variant* Find(std::string_view key) const;
    void SetValue(std::string_view key, const Variant& value);
    void SetValue(std::string_view key, Variant&& value);
    // Removing an absent key raises KeyNotFoundException, as the host map does.
    void Remove(std::string_view key);
    void RemoveAll();
    int64_t Count() const;
    // Positional access; a position outside 0 .. Count-1 raises OutOfBoundsException.
    const std::string& Key(int64_t index) const;
    const Variant& ValueAt(int64_t index) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace host
