// ClassMap: the raw classes of a search, keyed by 64-bit state hashes, in a flat table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "panic.hpp"

namespace brimsel {

// The keys are stable hashes of states, so their bits serve as the hash
// themselves: the low bits pick the slot, the high 32 bits are kept in the
// slot as a tag so that a probe rarely has to look at an entry. The entries
// live in insertion order in a chunked array (references stay valid while
// the map grows; iteration follows insertion); the table of open-addressed slots holds only their indexes.
template <class V>
class KeyMap64 {
public:
    using key_type = std::uint64_t;
    using mapped_type = V;
    using value_type = std::pair<const std::uint64_t, V>;
    using iterator = typename std::deque<value_type>::iterator;
    using const_iterator = typename std::deque<value_type>::const_iterator;

    KeyMap64() = default;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

    iterator find(std::uint64_t key) noexcept {
        const std::size_t s = find_slot(key);
        return s == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(slots_[s].index - 1);
    }
    const_iterator find(std::uint64_t key) const noexcept {
        const std::size_t s = find_slot(key);
        return s == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(slots_[s].index - 1);
    }
    bool contains(std::uint64_t key) const noexcept { return find_slot(key) != kNone; }
    V& at(std::uint64_t key) {
        auto it = find(key);
        if (it == end()) throw std::out_of_range("KeyMap64::at");
        return it->second;
    }
    const V& at(std::uint64_t key) const {
        auto it = find(key);
        if (it == end()) throw std::out_of_range("KeyMap64::at");
        return it->second;
    }
    V& operator[](std::uint64_t key) { return try_emplace(key).first->second; }

    // Inserts (key, V(args...)) unless the key is present.
    template <class... Args>
    std::pair<iterator, bool> try_emplace(std::uint64_t key, Args&&... args) {
        if (const std::size_t s = find_slot(key); s != kNone)
            return {begin() + static_cast<std::ptrdiff_t>(slots_[s].index - 1), false};
        return {insert_new(key, std::forward<Args>(args)...), true};
    }
    template <class... Args>
    std::pair<iterator, bool> emplace(std::uint64_t key, Args&&... args) {
        return try_emplace(key, std::forward<Args>(args)...);
    }
    // For a key known to be absent (after a failed find).
    template <class... Args>
    iterator insert_new(std::uint64_t key, Args&&... args) {
        if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        if ((entries_.size() + 1) * 8 > slots_.size() * 7) rehash(std::max<std::size_t>(16, slots_.size() * 2));
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                              std::forward_as_tuple(std::forward<Args>(args)...));
        place(key, static_cast<std::uint32_t>(entries_.size()));
        return end() - 1;
    }

    // Linear in the size: the other entries keep their order.
    std::size_t erase(std::uint64_t key) {
        const std::size_t s = find_slot(key);
        if (s == kNone) return 0;
        const std::size_t gone = slots_[s].index - 1;
        std::deque<value_type> rest;
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (i != gone)
                rest.emplace_back(std::piecewise_construct, std::forward_as_tuple(entries_[i].first),
                                  std::forward_as_tuple(std::move(entries_[i].second)));
        entries_.swap(rest);
        rehash(slots_.size());
        return 1;
    }

    // The entry inserted i-th (from 0).
    const value_type& entry(std::size_t i) const {
        check_index(i, entries_.size());
        return entries_[i];
    }

    // Starts loading the slot of `key`, ahead of a lookup.
    void prefetch(std::uint64_t key) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[key & mask_]);
    }

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t index = 0;  // entry index + 1; 0 marks a free slot
    };
    static constexpr std::size_t kNone = ~std::size_t{0};
    static std::uint32_t tag_of(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key >> 32); }

    std::size_t find_slot(std::uint64_t key) const noexcept {
        if (slots_.empty()) return kNone;
        const std::uint32_t tag = tag_of(key);
        for (std::size_t s = key & mask_;; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.index == 0) return kNone;
            if (slot.tag == tag && entries_[slot.index - 1].first == key) return s;
        }
    }
    void place(std::uint64_t key, std::uint32_t index) noexcept {
        std::size_t s = key & mask_;
        while (slots_[s].index != 0) s = (s + 1) & mask_;
        slots_[s] = Slot{tag_of(key), index};
    }
    void rehash(std::size_t n) {
        slots_.assign(n, Slot{});
        mask_ = n - 1;
        std::uint32_t index = 0;
        for (const value_type& e : entries_) place(e.first, ++index);
    }

    std::deque<value_type> entries_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

}  // namespace brimsel
