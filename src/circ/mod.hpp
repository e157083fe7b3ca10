// Instr32: a packed instruction of four bytes, a gate index and its qubit pair.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include "circ/gate.hpp"
#include "circ/qargs.hpp"
#include "groups/permutation.hpp"
#include "utils/postcard.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

// Qubit indices of instructions read from callers or files stay below this.
inline constexpr std::uint8_t kMaxQubits = 8;

struct Instr32 {
    Gate16 gate;
    QArgs16 qargs;

    constexpr Instr32() noexcept = default;
    constexpr Instr32(Gate16 g, QArgs16 q) noexcept : gate(g), qargs(q) {}
    static constexpr Instr32 new_(Gate16 g, QArgs16 q) noexcept { return Instr32(g, q); }

    // The mask bit of qubit q is 1 << (q mod 8).
    static constexpr std::uint8_t mask_bit(std::uint8_t q) noexcept {
        return static_cast<std::uint8_t>(1u << (q & 7u));
    }

    // The qubits are taken and put back as whole values, not byte by byte in
    // place: relabelling sits on the search's hot path.
    Instr32 apply_permutation(Permut32 perm) const {
        const std::size_t n = qargs.len();
        const std::uint8_t a = n >= 1 ? perm.at(qargs.q[0]) : qargs.q[0];
        const std::uint8_t b = n >= 2 ? perm.at(qargs.q[1]) : qargs.q[1];
        return Instr32(gate, QArgs16(a, b));
    }
    Instr32 permut(Permut32 perm) const { return apply_permutation(perm); }

    std::uint8_t arg_mask() const noexcept {
        std::uint8_t m = 0;
        for (std::uint8_t x : qargs.as_slice()) m |= mask_bit(x);
        return m;
    }
    // The frontier mask after this instruction, or nothing when it introduces a
    // qubit out of order (new qubits must come as 0, 1, 2, ...).
    std::optional<std::uint8_t> pass_mask(std::uint8_t mask) const noexcept {
        unsigned m = mask;
        for (std::uint8_t x : qargs.as_slice()) {
            if (m & mask_bit(x)) continue;
            unsigned lowest_free = static_cast<unsigned>(__builtin_ctz(~m | 0x100u));
            if (x != lowest_free) return std::nullopt;
            m |= mask_bit(x);
        }
        return static_cast<std::uint8_t>(m);
    }
    std::uint8_t largest_qubit() const noexcept {
        std::uint8_t r = 0;
        for (std::uint8_t x : qargs.as_slice()) r = x > r ? x : r;
        return r;
    }
    bool disjoint(const Instr32& other) const noexcept {
        return (arg_mask() & other.arg_mask()) == 0;
    }
    Instr32 adjoint() const { return Instr32(gate.adjoint(), qargs); }
    std::optional<std::uint8_t> position_of_qubit(std::uint8_t q) const noexcept {
        std::size_t n = qargs.len();
        if (n >= 1 && qargs.q[0] == q) return 0;
        if (n >= 2 && qargs.q[1] == q) return 1;
        return std::nullopt;
    }

    // "cx(0, 1)", "rz(pi/3)(2)", "h()"
    std::string to_string() const;

    void hash(StableHasher& h) const noexcept {
        gate.hash(h);
        h.write_len(2);
        h.write_u8(qargs.q[0]);
        h.write_u8(qargs.q[1]);
    }
    std::uint64_t stable_hash() const noexcept {
        StableHasher h;
        hash(h);
        return h.finish();
    }

    // Saved form: the gate's text, then both qubit bytes raw.
    void serialize(postcard::Writer& w) const {
        gate.serialize(w);
        w.u8(qargs.q[0]);
        w.u8(qargs.q[1]);
    }
    // Qubits of 8 or more (other than an empty slot) are a reading error.
    static Instr32 deserialize(postcard::Reader& r);

    friend constexpr bool operator==(const Instr32&, const Instr32&) noexcept = default;
    // By qubit pair first, then by gate index.
    friend constexpr std::strong_ordering operator<=>(const Instr32& a, const Instr32& b) noexcept {
        if (auto c = a.qargs <=> b.qargs; c != 0) return c;
        return a.gate.index <=> b.gate.index;
    }
};
static_assert(sizeof(Instr32) == 4);

}  // namespace brimsel

namespace brimsel {

// A register position such as q[0]: the register's name and the position in it.
struct Argument {
    std::string regid;
    std::uint64_t index = 0;

    void hash(StableHasher& h) const noexcept {
        h.write_str(regid);
        h.write_u64(index);
    }
    std::uint64_t stable_hash() const noexcept {
        StableHasher h;
        hash(h);
        return h.finish();
    }
    std::string to_string() const { return regid + "[" + std::to_string(index) + "]"; }
    // Argument { regid: "q", index: 0 }
    std::string debug() const;

    friend bool operator==(const Argument&, const Argument&) = default;
};

// A gate applied to register-named quantum and classical arguments.
struct Instruction {
    Gate16 gate;
    std::vector<Argument> qargs;
    std::vector<Argument> cargs;

    void hash(StableHasher& h) const noexcept;
    std::uint64_t stable_hash() const noexcept {
        StableHasher h;
        hash(h);
        return h.finish();
    }
    // "cx q[0], q[1];"
    std::string to_string() const;
    // Instruction { gate: Gate(9 -> cx), qargs: [...], cargs: [...] }
    std::string debug() const;

    friend bool operator==(const Instruction&, const Instruction&) = default;
};

// A text in double quotes with the escapes of a debug form.
std::string debug_quoted(std::string_view s);

}  // namespace brimsel
