// Test helpers: short builders of gates, instructions, permutations and circuits.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <random>
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

// A circuit of `len` random instructions on n qubits, then a random permutation.
inline Circ random_circuit(std::mt19937_64& gen, std::size_t n, std::size_t len) {
    static const char* one[] = {"h", "x", "t", "sdg", "y", "rz(pi/5)", "t1/2"};
    static const char* two[] = {"cx", "cz", "swap", "csdg"};
    std::vector<Instr32> v;
    auto below = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(gen); };
    for (std::size_t i = 0; i < len; ++i) {
        auto a = static_cast<std::uint8_t>(below(n));
        if (n >= 2 && below(2)) {
            auto b = static_cast<std::uint8_t>(below(n - 1));
            if (b >= a) ++b;
            v.push_back(I2(two[below(4)], a, b));
        } else {
            v.push_back(I1(one[below(7)], a));
        }
    }
    std::vector<std::uint8_t> images(n);
    for (std::size_t i = 0; i < n; ++i) images[i] = static_cast<std::uint8_t>(i);
    std::shuffle(images.begin(), images.end(), gen);
    return C(std::move(v), Permut32::from_iter(images));
}


}  // namespace brimsel::test
