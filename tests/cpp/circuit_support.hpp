// Test helpers: short builders of gates, instructions, permutations and circuits.
#pragma once

#include <initializer_list>
#include <vector>

#include "circ/mod.hpp"
#include "identity/circuit.hpp"

namespace brimsel::test {

inline Gate16 G(const char* name) { return *Gate16::from_name(name); }
inline Instr32 I1(const char* g, std::uint8_t q) { return Instr32(G(g), QArgs16::one(q)); }
inline Instr32 I2(const char* g, std::uint8_t a, std::uint8_t b) {
    return Instr32(G(g), QArgs16::two(a, b));
}
inline Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
inline Circ C(std::vector<Instr32> instrs, Permut32 perm) { return Circ::new_(std::move(instrs), perm); }

}  // namespace brimsel::test
