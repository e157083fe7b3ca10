// Test helpers: building provers quietly, the prover of a real class set, random identities.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "circ/gate/gates.hpp"
#include "circuit_support.hpp"
#include "identity/eccprove.hpp"
#include "search/double_perm_search.hpp"
#include "search/mod.hpp"
#include "state/rng.hpp"

namespace brimsel::test {

// Builds with standard error captured; returns the prover and what was written there.
inline std::pair<IdentityProver, std::string> build_quietly(const ECCs& eccs) {
    testing::internal::CaptureStderr();
    try {
        IdentityProver p = IdentityProver::build(eccs);
        return {std::move(p), testing::internal::GetCapturedStderr()};
    } catch (...) {
        testing::internal::GetCapturedStderr();
        throw;
    }
}

// The classes of h, t, cx on 3 qubits up to 3 instructions, and the prover built from them.
struct RealProver {
    ECCs eccs;
    IdentityProver prover;
    RealProver() {
        Rng rng = Rng::from_seed(5);
        const Evaluator ev = Evaluator::from_random(3, rng);
        testing::internal::CaptureStdout();
        eccs = RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, 3).first.simplify();
        testing::internal::GetCapturedStdout();
        prover = build_quietly(eccs).first;
    }
    static RealProver& get() {
        static RealProver p;
        return p;
    }
};

// A canonical identity: a random circuit of h, t, cx and its inverse.
inline IdentityCirc random_identity(std::mt19937_64& gen, std::size_t n, std::size_t half) {
    static const char* one[] = {"h", "t", "tdg"};
    std::vector<Instr32> v;
    auto below = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(gen); };
    for (std::size_t i = 0; i < half; ++i) {
        auto a = static_cast<std::uint8_t>(below(n));
        if (below(3) == 0) {
            auto b = static_cast<std::uint8_t>(below(n - 1));
            if (b >= a) ++b;
            v.push_back(I2("cx", a, b));
        } else {
            v.push_back(I1(one[below(3)], a));
        }
    }
    const Circ c = C(std::move(v), Permut32::identity(n));
    return (c + c.inverse()).rotate_representative();
}

}  // namespace brimsel::test
