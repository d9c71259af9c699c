// Any bytes either decode into entries that encode back to the same bytes or are refused
// with UnsupportedFormatException; applying a block sets all of it or nothing.

#include "host/Exceptions.h"
#include "host/PropertyBlock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property_block invariant broken: %s\n", what);
        std::abort();
    }
}

// Has the properties whose names have an even length: enough to refuse some blocks.
class Recorder : public host::PropertyTarget {
public:
    bool HasProperty(std::string_view name) const override { return name.size() % 2 == 0; }
    void SetProperty(std::string_view name, const host::PropertyValue& value) override {
        set.push_back({std::string(name), value});
    }
    std::vector<host::PropertyEntry> set;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    std::vector<host::PropertyEntry> entries;
    bool decoded = true;
    try {
        entries = host::decodePropertyBlock(block);
    } catch (const host::UnsupportedFormatException&) {
        decoded = false;
    }
    if (decoded) {
        // Every encoding is fixed by the value, so decoding loses nothing.
        check(host::encodePropertyBlock(entries) == block, "re-encoding differs");
    }

    Recorder target;
    bool applied = true;
    try {
        host::RuntimeMassPropertySetter(target, block);
    } catch (const host::UnsupportedFormatException&) {
        applied = false;
    }
    if (!applied) {
        check(target.set.empty(), "a refused block changed the object");
        return 0;
    }
    check(decoded, "a block applies that does not decode");
    check(target.set.size() == entries.size(), "not every entry was applied");
    check(host::encodePropertyBlock(target.set) == block, "applied values differ");
    for (const host::PropertyEntry& e : target.set) {
        check(target.HasProperty(e.name), "a property the object lacks was set");
    }
    return 0;
}
