#include "host/Dictionary.h"

#include "host/Exceptions.h"
#include "host/Strings.h"

#include <unordered_map>
#include <utility>
#include <vector>

namespace host {

namespace {

unsigned char foldByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

size_t foldedHash(std::string_view key) noexcept {
    uint64_t h = 14695981039346656037ull; // FNV-1a over the folded bytes
    for (char c : key) {
        h ^= foldByte(c);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h ^ (h >> 29));
}

// A stored key with its folded hash, and a looked-up key with its hash computed once. Hash
// and equality agree on ASCII case folding, so a key spelled in any case reaches the stored
// entry in one probe without building a lowered copy; keeping the hash with the key spares
// rehashing nodes while walking a bucket and most character comparisons.
struct StoredKey {
    std::string text;
    size_t hash;
};

struct Probe {
    std::string_view text;
    size_t hash;
    explicit Probe(std::string_view key) : text(key), hash(foldedHash(key)) {}
};

struct KeyHash {
    using is_transparent = void;
    size_t operator()(const StoredKey& k) const noexcept { return k.hash; }
    size_t operator()(const Probe& k) const noexcept { return k.hash; }
};

struct KeyEqual {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        return a.hash == b.hash && EqualsIgnoreCase(a.text, b.text);
    }
};

} // namespace

// Entries live in a vector in insertion order; the hash index maps each key to its slot.
// Removal leaves a hole (constant time) and the holes are squeezed out before the next
// positional access or when they outnumber the live entries, so positions are dense and
// stable while the map is unchanged, and no operation is worse than linear.
struct Dictionary::Impl {
    struct Entry {
        std::string key;
        Variant value;
        bool live = true;
    };

    std::vector<Entry> entries;
    std::unordered_map<StoredKey, size_t, KeyHash, KeyEqual> index;
    size_t holes = 0;

    void compact() {
        if (holes == 0) {
            return;
        }
        size_t out = 0;
        for (size_t in = 0; in < entries.size(); ++in) {
            if (!entries[in].live) {
                continue;
            }
            if (out != in) {
                entries[out] = std::move(entries[in]);
                index.find(Probe(entries[out].key))->second = out;
            }
            ++out;
        }
        entries.resize(out);
        holes = 0;
    }

    const Entry& at(int64_t position) {
        if (position < 0 || static_cast<uint64_t>(position) >= index.size()) {
            throw OutOfBoundsException("Dictionary position " + Int64ToText(position) +
                                       " is outside 0 .. " +
                                       Int64ToText(static_cast<int64_t>(index.size()) - 1));
        }
        compact();
        return entries[static_cast<size_t>(position)];
    }
};

Dictionary::Dictionary() : impl_(std::make_unique<Impl>()) {}
Dictionary::~Dictionary() = default;
Dictionary::Dictionary(const Dictionary& other)
    : impl_(std::make_unique<Impl>(other.impl_ ? *other.impl_ : Impl{})) {}
Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        impl_ = std::make_unique<Impl>(other.impl_ ? *other.impl_ : Impl{});
    }
    return *this;
}
// A moved-from map reads as empty and becomes usable again on the next store.
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
    std::swap(impl_, other.impl_);
    return *this;
}

bool Dictionary::HasKey(std::string_view key) const {
    return impl_ && impl_->index.find(Probe(key)) != impl_->index.end();
}

const Variant* Dictionary::Find(std::string_view key) const {
    if (!impl_) {
        return nullptr;
    }
    const auto it = impl_->index.find(Probe(key));
    return it == impl_->index.end() ? nullptr : &impl_->entries[it->second].value;
}

const Variant& Dictionary::Value(std::string_view key) const {
    const Variant* value = Find(key);
    if (!value) {
        throw KeyNotFoundException("Dictionary has no key \"" + std::string(key) + "\"");
    }
    return *value;
}

Variant Dictionary::Lookup(std::string_view key, const Variant& fallback) const {
    const Variant* value = Find(key);
    return value ? *value : fallback;
}

void Dictionary::SetValue(std::string_view key, const Variant& value) {
    if (!impl_) {
        impl_ = std::make_unique<Impl>();
    }
    const Probe probe(key);
    const auto it = impl_->index.find(probe);
    if (it != impl_->index.end()) {
        impl_->entries[it->second].value = value;
        return;
    }
    impl_->entries.push_back({std::string(key), value, true});
    try {
        impl_->index.emplace(StoredKey{std::string(key), probe.hash}, impl_->entries.size() - 1);
    } catch (...) {
        impl_->entries.pop_back();
        throw;
    }
}

void Dictionary::Remove(std::string_view key) {
    const auto it = impl_ ? impl_->index.find(Probe(key)) : decltype(impl_->index)::iterator();
    if (!impl_ || it == impl_->index.end()) {
        throw KeyNotFoundException("Dictionary has no key \"" + std::string(key) + "\"");
    }
    const size_t slot = it->second;
    impl_->index.erase(it);
    if (slot + 1 == impl_->entries.size()) {
        impl_->entries.pop_back();
    } else {
        impl_->entries[slot].live = false;
        impl_->entries[slot].value = Variant();
        impl_->entries[slot].key.clear();
        ++impl_->holes;
        if (impl_->holes > impl_->index.size() + 16) {
            impl_->compact();
        }
    }
}

void Dictionary::RemoveAll() {
    if (impl_) {
        impl_->entries.clear();
        impl_->index.clear();
        impl_->holes = 0;
    }
}

int64_t Dictionary::Count() const {
    return impl_ ? static_cast<int64_t>(impl_->index.size()) : 0;
}

const std::string& Dictionary::Key(int64_t index) const {
    if (!impl_) {
        throw OutOfBoundsException("Dictionary position " + Int64ToText(index) +
                                   " is outside an empty map");
    }
    return impl_->at(index).key;
}

const Variant& Dictionary::ValueAt(int64_t index) const {
    if (!impl_) {
        throw OutOfBoundsException("Dictionary position " + Int64ToText(index) +
                                   " is outside an empty map");
    }
    return impl_->at(index).value;
}

} // namespace host
