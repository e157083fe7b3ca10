// Canonical representatives: the packed walks against a plain oracle, invariance, and the listed edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "circ/gate/gates.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "circuit_support.hpp"
#include "panic_matchers.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

// ---- the oracle: the definitions, one Circ per candidate -------------------------------------

Circ prepared(const Circ& in) { return in.compact_qubits().remove_swaps(); }
Circ candidate(const Circ& c, Permut32 p) { return c.permut(p).reorder_instrs().compact_qubits(); }

std::pair<Circ, Permut32> oracle_with_perm(const Circ& in) {
    Circ c = prepared(in);
    if (c.is_empty()) return {c, Permut32()};
    std::optional<std::pair<Circ, Permut32>> best;
    for (Permut32 p : Permut32::all(c.nqubits())) {
        Circ k = candidate(c, p);
        if (!best || k < best->first || (k == best->first && p < best->second)) best.emplace(k, p);
    }
    return *best;
}

Circ oracle_representative(const Circ& in) {
    Circ c = prepared(in);
    if (c.is_empty()) return c;
    return oracle_with_perm(in).first;
}

std::optional<Circ> oracle_rotations(const Circ& d) {
    std::optional<Circ> best;
    for (std::size_t i = 0; i < d.len(); ++i) {
        if (!d.instrs[i].qargs.contains(0)) continue;
        Circ k = d.rotate(static_cast<std::int64_t>(i)).reorder_instrs().compact_qubits();
        if (!best || k < *best) best = k;
    }
    return best;
}

// The minimum alone; the identity check is not part of the oracle.
Circ oracle_rotate_representative(const Circ& in) {
    Circ c = prepared(in);
    if (c.is_empty()) return c;
    std::optional<Circ> best;
    for (Permut32 p : Permut32::all(c.nqubits()))
        if (auto r = oracle_rotations(c.permut(p)); r && (!best || *r < *best)) best = r;
    return best.value();
}

// ---- random inputs ----------------------------------------------------------------------------

struct Random {
    std::mt19937_64 gen;
    explicit Random(std::uint64_t seed) : gen(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen); }

    Permut32 perm(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i);
        std::shuffle(v.begin(), v.end(), gen);
        return Permut32::from_iter(v);
    }

    Instr32 instr(std::size_t n) {
        static const char* one[] = {"h", "x", "z", "t", "tdg", "s", "sdg", "y", "rz(pi/3)"};
        static const char* two[] = {"cx", "cz", "swap", "cs"};
        const auto a = static_cast<std::uint8_t>(below(n));
        if (n >= 2 && below(3) == 0) {
            auto b = static_cast<std::uint8_t>(below(n - 1));
            if (b >= a) ++b;
            return I2(two[below(4)], a, b);
        }
        return I1(one[below(9)], a);
    }

    // A circuit on n qubits, its permutation the identity half of the time.
    Circ circuit(std::size_t n, std::size_t len) {
        std::vector<Instr32> v;
        for (std::size_t i = 0; i < len; ++i) v.push_back(instr(n));
        return C(std::move(v), below(2) ? Permut32::identity(n) : perm(n));
    }

    // An identity with a trailing permutation: a circuit, its inverse, then a
    // rotation and a relabelling, both of which keep it an identity.
    Circ identity(std::size_t n, std::size_t half) {
        Circ c = circuit(n, half);
        Circ id = c + c.inverse();
        id = id.rotate(static_cast<std::int64_t>(below(id.len() + 1)));
        return id.permut(perm(n));
    }
};

}  // namespace

TEST(CircuitCanonical, FastWalkEqualsOracle) {
    Random r(7);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 1 + r.below(5);
        Circ c = r.circuit(n, r.below(11));
        auto [rep, perm] = c.representative_with_perm();
        auto [want, want_perm] = oracle_with_perm(c);
        ASSERT_EQ(rep, want) << c.debug();
        ASSERT_EQ(perm.raw, want_perm.raw) << c.debug();
        ASSERT_EQ(c.representative(), oracle_representative(c)) << c.debug();
    }
}

TEST(CircuitCanonical, FastWalkEqualsOracleOnLongAndWideCircuits) {
    Random r(11);
    // Past the inline buffers (32 instructions), and over the full row of 8 qubits.
    for (Circ c : {r.circuit(3, 45), r.circuit(5, 33), r.circuit(8, 9), r.circuit(7, 12)}) {
        auto [rep, perm] = c.representative_with_perm();
        auto [want, want_perm] = oracle_with_perm(c);
        EXPECT_EQ(rep, want) << c.debug();
        EXPECT_EQ(perm.raw, want_perm.raw) << c.debug();
    }
}

TEST(CircuitCanonical, InvariantUnderRelabelling) {
    Random r(3);
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = 1 + r.below(5);
        Circ c = r.circuit(n, 1 + r.below(9));
        Circ rep = c.representative();
        // A circuit that is only SWAPs keeps its permutation as it is: no walk, no invariance.
        if (prepared(c).is_empty()) continue;
        for (int k = 0; k < 3; ++k) ASSERT_EQ(c.permut(r.perm(n)).representative(), rep) << c.debug();
        // The returned relabelling, applied to the prepared circuit, gives the representative.
        auto [with, applied] = c.representative_with_perm();
        ASSERT_EQ(candidate(prepared(c), applied), with) << c.debug();
        // Canonical forms are fixed points.
        ASSERT_EQ(rep.representative(), rep);
    }
}

TEST(CircuitCanonical, ListedCases) {
    const Gate16 swap = gates::SWAP();
    // No instruction: its own representative, permutation included; paired with the empty one.
    Circ empty = C({}, P({1, 0}));
    EXPECT_EQ(empty.representative(), empty);
    EXPECT_EQ(empty.representative_with_perm().first, empty);
    EXPECT_EQ(empty.representative_with_perm().second, Permut32());

    Circ low = C({I1("h", 0)}, Permut32::identity(1));
    EXPECT_EQ(C({I1("h", 2)}, Permut32::identity(3)).representative(), low);
    EXPECT_EQ(low.representative(), low);

    // A leading SWAP is the same as exchanged later qubits and a permutation.
    Circ with_swap = C({Instr32(swap, QArgs16::two(0, 1)), I2("cx", 0, 1), I1("t", 0)}, Permut32::identity(2));
    Circ without = C({I2("cx", 1, 0), I1("t", 1)}, P({1, 0}));
    EXPECT_EQ(with_swap.representative(), without.representative());

    EXPECT_EQ(C({I1("h", 0), I1("t", 1)}, Permut32::identity(2)).representative(),
              C({I1("t", 1), I1("h", 0)}, Permut32::identity(2)).representative());

    // Both relabellings give the same circuit: the smaller word, (1 0), is returned.
    auto [same, applied] = C({I1("h", 0), I1("h", 1)}, Permut32::identity(2)).representative_with_perm();
    EXPECT_EQ(same, C({I1("h", 0), I1("h", 1)}, Permut32::identity(2)));
    EXPECT_EQ(applied.raw, 0x02000001u);
}

TEST(CircuitCanonical, RotateRepresentativeEqualsOracleAndIsInvariant) {
    Random r(5);
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = 1 + r.below(5);
        Circ id = r.identity(n, 1 + r.below(5));
        IdentityCirc rep = id.rotate_representative();
        ASSERT_EQ(rep.circ, oracle_rotate_representative(id)) << id.debug();
        for (int k = 0; k < 3; ++k) {
            Circ moved = id.rotate(static_cast<std::int64_t>(r.below(id.len() + 1)) * (r.below(2) ? 1 : -1));
            ASSERT_EQ(moved.rotate_representative(), rep) << id.debug();
            ASSERT_EQ(id.permut(r.perm(n)).rotate_representative(), rep) << id.debug();
        }
    }
    Circ longer = r.identity(3, 20);  // past the inline buffers
    EXPECT_EQ(longer.rotate_representative().circ, oracle_rotate_representative(longer));
}

TEST(CircuitCanonical, RotateRepresentativeListedCases) {
    const Gate16 swap = gates::SWAP();
    IdentityCirc s = C({Instr32(swap, QArgs16::two(0, 1))}, P({1, 0})).rotate_representative();
    EXPECT_TRUE(s.circ.is_empty());
    EXPECT_EQ(s.circ.perm, Permut32::identity(2));

    IdentityCirc e = C({}, Permut32::identity(3)).rotate_representative();
    EXPECT_EQ(e.circ, C({}, Permut32::identity(3)));

    try {
        C({I1("t", 1), I1("t", 1)}, Permut32::identity(2)).rotate_representative();
        ADD_FAILURE() << "a non-identity was accepted";
    } catch (const Panic& p) {
        // The check runs on the canonical form, which is what the message shows.
        const std::string& m = p.message();
        EXPECT_EQ(m.rfind("IdentityCirc: circuit is not identity [", 0), 0u) << m;
        EXPECT_NE(m.find(" Identity { t(0) t(0) (0) }"), std::string::npos) << m;
    }

    // (3 4 5) is no permutation of three qubits: rotating an instruction to the back moves
    // it to qubit 3, which the rotation refuses, even where that rotation could not win.
    Circ wild = C({I1("h", 0), I1("x", 0)}, P({3, 4, 5}));
    EXPECT_PANIC(oracle_rotate_representative(wild), "Permutation length must be greater than the max qubit index.");
    EXPECT_PANIC(wild.rotate_representative(), "Permutation length must be greater than the max qubit index.");

    Matrix one(1, 1);
    one.at(0, 0) = QComplex{1.0, 0.0};
    const Instr32 scalar(Gate16::new_("scalar_one", {}, one), QArgs16());
    EXPECT_PANIC(C({scalar}, Permut32::identity(1)).rotate_representative(),
                 "called `Option::unwrap()` on a `None` value");
}

TEST(CircuitCanonical, WalksShareNoStateBetweenThreads) {
    // The prover canonicalises on worker threads: each thread must get the answers of one thread alone.
    Random r(17);
    std::vector<Circ> inputs;
    for (int k = 0; k < 40; ++k) inputs.push_back(r.identity(2 + k % 4, 2 + k % 6));
    std::vector<IdentityCirc> want;
    std::vector<Circ> want_rep;
    for (const Circ& c : inputs) {
        want.push_back(c.rotate_representative());
        want_rep.push_back(c.representative());
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t k = 0; k < inputs.size(); ++k) {
                    const std::size_t i = (k + static_cast<std::size_t>(t) * 7) % inputs.size();
                    if (!(inputs[i].rotate_representative() == want[i])) ++wrong[t];
                    if (!(inputs[i].representative() == want_rep[i])) ++wrong[t];
                }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
