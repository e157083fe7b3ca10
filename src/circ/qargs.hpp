// QArgs16: the one or two qubit bytes of a packed instruction, 255 marking an empty slot.
#pragma once

#include <compare>
#include <cstdint>
#include <span>

#include "panic.hpp"

namespace brimsel {

inline constexpr std::uint8_t kNoQubit = 255;

struct QArgs16 {
    std::uint8_t q[2] = {kNoQubit, kNoQubit};

    constexpr QArgs16() noexcept = default;
    constexpr QArgs16(std::uint8_t a, std::uint8_t b) noexcept : q{a, b} {}
    static constexpr QArgs16 one(std::uint8_t a) noexcept { return QArgs16(a, kNoQubit); }
    static constexpr QArgs16 two(std::uint8_t a, std::uint8_t b) noexcept { return QArgs16(a, b); }

    // Packs 0, 1 or 2 qubits; a third is out of range.
    static QArgs16 from_iter(std::span<const std::uint8_t> qubits) {
        QArgs16 r;
        for (std::size_t i = 0; i < qubits.size(); ++i) {
            check_index(i, 2);
            r.q[i] = qubits[i];
        }
        return r;
    }

    constexpr std::size_t len() const noexcept {
        return q[0] == kNoQubit ? 0 : (q[1] == kNoQubit ? 1 : 2);
    }
    std::span<const std::uint8_t> as_slice() const noexcept { return {q, len()}; }
    constexpr bool contains(std::uint8_t x) const noexcept {
        return (len() >= 1 && q[0] == x) || (len() == 2 && q[1] == x);
    }
    std::uint8_t operator[](std::size_t i) const {
        check_index(i, 2);
        return q[i];
    }

    friend constexpr bool operator==(const QArgs16&, const QArgs16&) noexcept = default;
    // Byte by byte; 255 (an empty slot) is the largest.
    friend constexpr std::strong_ordering operator<=>(const QArgs16& a, const QArgs16& b) noexcept {
        if (auto c = a.q[0] <=> b.q[0]; c != 0) return c;
        return a.q[1] <=> b.q[1];
    }
};

}  // namespace brimsel
