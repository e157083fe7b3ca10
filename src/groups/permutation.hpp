// Qubit permutations of at most 8 positions packed into one 32-bit word.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "utils/postcard.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

// The failure of a position of 8 or more, kept out of line so that the checked
// accessors stay small enough to inline.
[[noreturn, gnu::cold, gnu::noinline]] void panic_position(SourceLocation where);

// Image of position i in bits 3i..3i+2, length in bits 24..31. Positions at
// or beyond the length hold 0.
class Permut32 {
public:
    std::uint32_t raw = 0;

    constexpr Permut32() noexcept = default;
    static constexpr Permut32 from_raw(std::uint32_t raw) noexcept {
        Permut32 p;
        p.raw = raw;
        return p;
    }

    static Permut32 identity(std::size_t n);
    // Validating construction: values below 8, no value twice.
    static Permut32 from_iter(std::span<const std::uint8_t> values);
    static Permut32 from_iter(std::initializer_list<std::uint8_t> values) {
        return from_iter(std::span<const std::uint8_t>(values.begin(), values.size()));
    }
    // Callers guarantee fewer than 9 values, each below 8.
    static Permut32 from_iter_unchecked(std::span<const std::uint8_t> values) noexcept;
    // Length n from the ascending values of a set (bit q of `set` = value q),
    // the remaining positions filled so that the result stays a permutation.
    static Permut32 from_iter_with_ext(std::size_t n, std::uint8_t set);

    std::size_t len() const noexcept { return raw >> 24; }
    std::uint8_t at(std::size_t i) const {
        if (i >= 8) [[unlikely]]
            panic_position(SourceLocation::current());
        return static_cast<std::uint8_t>((raw >> (3 * i)) & 7u);
    }
    // Unchecked image for positions known to be below 8.
    std::uint8_t get(std::size_t i) const noexcept {
        return static_cast<std::uint8_t>((raw >> (3 * i)) & 7u);
    }
    void set(std::size_t i, std::uint8_t v) {
        if (i >= 8) [[unlikely]]
            panic_position(SourceLocation::current());
        raw = (raw & ~(7u << (3 * i))) | (std::uint32_t{v & 7u} << (3 * i));
    }
    void set_len(std::size_t n) noexcept {
        raw = (raw & 0x00FFFFFFu) | (static_cast<std::uint32_t>(n & 0xFF) << 24);
    }

    std::vector<std::uint8_t> images() const;

    Permut32 inv() const noexcept {
        Permut32 r;
        const std::size_t n = len() < 8 ? len() : 8;
        for (std::size_t i = 0; i < n; ++i) r.raw |= static_cast<std::uint32_t>(i) << (3 * get(i));
        r.set_len(len());
        return r;
    }
    Permut32 inverse() const noexcept { return inv(); }

    static const std::vector<Permut32>& all(std::size_t n);
    static std::pair<Permut32, Permut32> coordinate_permute(Permut32 a, Permut32 b) noexcept;

    // (a * b)[i] = a[b[i]]: b first, then a.
    friend Permut32 operator*(Permut32 a, Permut32 b);
    Permut32 mul(Permut32 other) const { return *this * other; }

    void swap_inputs(std::size_t a, std::size_t b);
    // Moves bit i of x to bit p[i] for every position; other bits are dropped.
    std::uint64_t permut_bv(std::uint64_t x) const noexcept;
    // The exchanges (a, b), a < b, that sort the permutation, in network order.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> generate_swaps() const;
    bool is_identity() const noexcept;

    std::string to_string() const;  // "(0 2 1)"; the debug form is the same

    void hash(StableHasher& h) const noexcept { h.write_u32(raw); }

    // Saved form: the word as a 32-bit varint. Reading does not check the word.
    void serialize(postcard::Writer& w) const { w.varint(raw); }
    static Permut32 deserialize(postcard::Reader& r) { return from_raw(r.varint32()); }

    friend bool operator==(Permut32, Permut32) noexcept = default;
    friend std::strong_ordering operator<=>(Permut32 a, Permut32 b) noexcept {
        return a.raw <=> b.raw;
    }
};

// Walks the images of positions idx .. len-1.
struct Permut32Iter {
    Permut32 perm;
    std::uint8_t idx = 0;
    bool next(std::uint8_t& out) noexcept {
        if (idx >= perm.len() || idx >= 8) return false;
        out = perm.get(idx++);
        return true;
    }
};

// Comparator lists that sort any arrangement of 0..n-1, for n = 0..8.
extern const std::array<std::span<const std::pair<std::uint8_t, std::uint8_t>>, 9>
    SORTING_NETWORKS;

// Rows n = 0..8 of all n! permutations in the order of Heap's algorithm.
const std::array<std::vector<Permut32>, 9>& ALL_PERMUTATIONS();
// Row n of that table on its own, without building the others.
std::vector<Permut32> heap_row(std::size_t n);

}  // namespace brimsel
