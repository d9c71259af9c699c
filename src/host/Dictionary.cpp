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

// The hash index owns keys and values; a vector of pointers to its nodes (which stay put
// when the index rehashes) keeps the insertion order. Removal leaves a hole (constant time)
// and the holes are squeezed out before the next positional access or when they outnumber
// the live entries, so positions are dense and stable while the map is unchanged, and no
// operation is worse than linear.
struct Dictionary::Impl {
    struct Slot {
        Variant value;
        size_t position;
    };
    using Index = std::unordered_map<StoredKey, Slot, KeyHash, KeyEqual>;
    using Node = Index::value_type;

    Index index;
    std::vector<Node*> order; // nullptr marks a hole
    size_t holes = 0;

    Impl() = default;
    Impl(const Impl& other) {
        index.reserve(other.index.size());
        order.reserve(other.index.size());
        for (const Node* node : other.order) {
            if (node) {
                insert(node->first.text, node->first.hash, node->second.value);
            }
        }
    }
    Impl& operator=(const Impl&) = delete;

    template <class V>
    void insert(std::string_view key, size_t hash, V&& value) {
        const auto [it, inserted] =
            index.emplace(StoredKey{std::string(key), hash}, Slot{std::forward<V>(value), 0});
        (void)inserted;
        it->second.position = order.size();
        try {
            order.push_back(&*it);
        } catch (...) {
            index.erase(it);
            throw;
        }
    }

    template <class V>
    void set(std::string_view key, V&& value) {
        const Probe probe(key);
        const auto it = index.find(probe);
        if (it != index.end()) {
            it->second.value = std::forward<V>(value);
        } else {
            insert(key, probe.hash, std::forward<V>(value));
        }
    }

    void compact() {
        if (holes == 0) {
            return;
        }
        size_t out = 0;
        for (Node* node : order) {
            if (node) {
                node->second.position = out;
                order[out++] = node;
            }
        }
        order.resize(out);
        holes = 0;
    }

    const Node& at(int64_t position) {
        if (position < 0 || static_cast<uint64_t>(position) >= index.size()) {
            throw OutOfBoundsException("Dictionary position " + Int64ToText(position) +
                                       " is outside 0 .. " +
                                       Int64ToText(static_cast<int64_t>(index.size()) - 1));
        }
        compact();
        return *order[static_cast<size_t>(position)];
    }
};

Dictionary::Dictionary() : impl_(std::make_unique<Impl>()) {}
Dictionary::~Dictionary() = default;
Dictionary::Dictionary(const Dictionary& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>()) {}
Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>();
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
    return it == impl_->index.end() ? nullptr : &it->second.value;
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
    impl_->set(key, value);
}

void Dictionary::SetValue(std::string_view key, Variant&& value) {
    if (!impl_) {
        impl_ = std::make_unique<Impl>();
    }
    impl_->set(key, std::move(value));
}

void Dictionary::Remove(std::string_view key) {
    const auto it = impl_ ? impl_->index.find(Probe(key)) : decltype(impl_->index)::iterator();
    if (!impl_ || it == impl_->index.end()) {
        throw KeyNotFoundException("Dictionary has no key \"" + std::string(key) + "\"");
    }
    const size_t slot = it->second.position;
    impl_->index.erase(it);
    if (slot + 1 == impl_->order.size()) {
        impl_->order.pop_back();
    } else {
        impl_->order[slot] = nullptr;
        ++impl_->holes;
        if (impl_->holes > impl_->index.size() + 16) {
            impl_->compact();
        }
    }
}

void Dictionary::RemoveAll() {
    if (impl_) {
        impl_->order.clear();
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
    return impl_->at(index).first.text;
}

const Variant& Dictionary::ValueAt(int64_t index) const {
    if (!impl_) {
        throw OutOfBoundsException("Dictionary position " + Int64ToText(index) +
                                   " is outside an empty map");
    }
    return impl_->at(index).second.value;
}

} // namespace host
