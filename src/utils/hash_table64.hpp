// HashTable64: entries addressed by the stable 64-bit hash of their key; two keys with one hash are refused.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "panic.hpp"

namespace brimsel {

// The hash value is already a good hash: use it as the bucket hash.
struct IdentityHash {
    std::size_t operator()(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h); }
};

// K provides stable_hash() and ==.
template <class K, class V>
class HashTable64 {
public:
    using Entry = std::pair<K, V>;

    // Stores (key, value); replaces an entry of an equal key and returns its old value.
    std::pair<std::uint64_t, std::optional<V>> insert(K key, V value) {
        const std::uint64_t h = key.stable_hash();
        auto it = map_.find(h);
        if (it != map_.end()) {
            if (!(it->second.first == key)) panic("Hash collision detected in HashTable64");
            std::optional<V> old(std::move(it->second.second));
            it->second = Entry(std::move(key), std::move(value));
            return {h, std::move(old)};
        }
        map_.emplace(h, Entry(std::move(key), std::move(value)));
        return {h, std::nullopt};
    }

    const Entry* address(std::uint64_t h) const {
        auto it = map_.find(h);
        return it == map_.end() ? nullptr : &it->second;
    }
    Entry* address_mut(std::uint64_t h) {
        auto it = map_.find(h);
        return it == map_.end() ? nullptr : &it->second;
    }
    // The entry under h, storing `fallback` there first when there is none. A
    // stored key that differs from the fallback's key is a collision.
    Entry& address_or(std::uint64_t h, Entry fallback) {
        auto it = map_.find(h);
        if (it != map_.end()) {
            if (!(it->second.first == fallback.first)) panic("Hash collision detected in HashTable64");
            return it->second;
        }
        return map_.emplace(h, std::move(fallback)).first->second;
    }
    // Lookup by key: the hash, then the stored key.
    const Entry* find(const K& key) const {
        const Entry* e = address(key.stable_hash());
        return e && e->first == key ? e : nullptr;
    }

    std::size_t size() const noexcept { return map_.size(); }

private:
    std::unordered_map<std::uint64_t, Entry, IdentityHash> map_;
};

}  // namespace brimsel
