// Subcircuits: the subset table, selections, their mask tests and splits.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "circuit_support.hpp"
#include "identity/subcircuit.hpp"
#include "panic_matchers.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

using Rows = std::vector<std::vector<std::uint8_t>>;

Rows row_indices(std::size_t n) {
    Rows out;
    for (std::uint32_t m : COMBINATIONS().row(n)) out.push_back(Combinations::indices(m));
    return out;
}

std::uint64_t binomial(unsigned n, unsigned k) {
    if (k > n) return 0;
    std::uint64_t r = 1;
    for (unsigned i = 1; i <= k; ++i) r = r * (n - k + i) / i;
    return r;
}

IdentityCirc Id(std::vector<Instr32> instrs, Permut32 perm) { return IdentityCirc::new_(C(std::move(instrs), perm)); }

IdentitySubcircuit select(const IdentityCirc& id, std::vector<std::uint8_t> indices) {
    IdentitySubcircuit s{&id, std::vector<bool>(id.len(), false)};
    for (auto i : indices) s.gates.at(i) = true;
    return s;
}

// A canonical identity of about `len` instructions on n qubits: a random circuit and its inverse.
IdentityCirc random_identity(std::mt19937_64& gen, std::size_t n, std::size_t half) {
    const Circ c = random_circuit(gen, n, half);
    return (c + c.inverse()).rotate_representative();
}

}  // namespace

TEST(Combinations, RowsInOrder) {
    EXPECT_EQ(row_indices(0), Rows{{}});
    EXPECT_EQ(row_indices(3), (Rows{{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}}));
    const Rows four = row_indices(4);
    const Rows tail(four.begin() + 11, four.end());
    EXPECT_EQ(tail, (Rows{{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}}));
    std::uint64_t total = 0;
    for (unsigned n = 0; n < kCombinationRows; ++n) {
        std::uint64_t expect = 0;
        for (unsigned k = 0; k <= n / 2 + 1; ++k) expect += binomial(n, k);
        EXPECT_EQ(COMBINATIONS().row(n).size(), expect) << n;
        total += expect;
    }
    EXPECT_EQ(COMBINATIONS().row(19).size(), 354522u);
    EXPECT_EQ(total, 742141u);
    EXPECT_EQ(COMBINATIONS().total(), 742141u);
    EXPECT_PANIC(COMBINATIONS().row(20), "index out of bounds: the len is 20 but the index is 20");
}

TEST(Subcircuit, SingleInstructionSplitsOffWithRestRotated) {
    // Three CNOTs make a SWAP, which the trailing permutation undoes.
    const Permut32 p = P({1, 0});
    const IdentityCirc id =
        IdentityCirc::unchecked(C({I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1), I1("h", 0), I1("h", 0)}, p));
    for (std::uint8_t g = 0; g < id.len(); ++g) {
        const IdentitySubcircuit s = select(id, {g});
        EXPECT_TRUE(s.is_connected());
        EXPECT_TRUE(s.is_convex());
        const auto split = s.split();
        ASSERT_TRUE(split);
        EXPECT_EQ(split->first, C({id[g]}, Permut32::identity(2)));
        // The instructions after it, then those before it relabelled by the inverse of P.
        std::vector<Instr32> rest(id.circ.instrs.begin() + g + 1, id.circ.instrs.end());
        for (std::size_t j = 0; j < g; ++j) rest.push_back(id[j].permut(p.inv()));
        EXPECT_EQ(split->second, C(rest, p)) << int(g);
    }
}

TEST(Subcircuit, SplitCases) {
    const Permut32 one = Permut32::identity(1);
    const IdentityCirc hh = Id({I1("h", 0), I1("h", 0)}, one);
    // Each single instruction of h h is a convex, connected selection.
    for (std::uint8_t g : {0, 1}) {
        EXPECT_TRUE(select(hh, {g}).is_connected());
        EXPECT_TRUE(select(hh, {g}).is_convex());
    }
    auto s1 = select(hh, {1}).split();
    ASSERT_TRUE(s1);
    EXPECT_EQ(s1->first, C({I1("h", 0)}, one));
    EXPECT_EQ(s1->second, C({I1("h", 0)}, one));

    // x z x z: {0, 2} is not connected and cannot be brought together.
    const IdentityCirc xzxz = Id({I1("x", 0), I1("z", 0), I1("x", 0), I1("z", 0)}, one);
    EXPECT_FALSE(select(xzxz, {0, 2}).is_connected());
    EXPECT_FALSE(select(xzxz, {0, 2}).split());

    // Everything selected: S is the whole circuit, R keeps only the permutation.
    const IdentityCirc swapped = Id({I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1)}, P({1, 0}));
    auto all = select(swapped, {0, 1, 2}).split();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->first, C(swapped.circ.instrs, Permut32::identity(2)));
    EXPECT_EQ(all->second, C({}, P({1, 0})));

    // Two instructions on disjoint qubits with nothing selected between them.
    const IdentityCirc apart = Id({I1("h", 0), I1("h", 1), I1("h", 0), I1("h", 1)}, Permut32::identity(2));
    EXPECT_FALSE(select(apart, {0, 1}).is_connected());
    EXPECT_TRUE(select(apart, {0, 2}).is_connected());

    // Flags that do not match the instructions one for one are refused, not read past.
    EXPECT_PANIC((IdentitySubcircuit{&apart, std::vector<bool>(5, true)}.split()),
                 "assertion failed: gates.len() == circuit.len()");
    EXPECT_PANIC(split_mask(apart, 1u << 4), "assertion failed: a selection mask selects only instructions of its identity");

    // Nothing selected: connected, no split.
    EXPECT_TRUE(select(apart, {}).is_connected());
    EXPECT_FALSE(select(apart, {}).split());
}

TEST(Subcircuit, PortsOfASelection) {
    // h(0) cx(0, 1) h(0) cx(0, 1) ... : ports of {1, 2} on a small identity.
    const IdentityCirc id = Id({I1("h", 0), I2("cx", 0, 1), I1("h", 1), I2("cx", 0, 1), I1("h", 1)},
                               Permut32::identity(2));
    const IdentitySubcircuit s = select(id, {1, 2});
    EXPECT_EQ(s.inputs(), (std::vector<Port>{{0, 1, 0}, {1, 1, 1}}));
    EXPECT_EQ(s.outputs(), (std::vector<Port>{{0, 1, 0}, {1, 2, 0}}));
    EXPECT_TRUE(s.is_convex());
    // {1, 3} leaves h(1) between them on wire 1: qubit 1 enters twice.
    EXPECT_FALSE(select(id, {1, 3}).is_convex());
}

// The mask tests of the rounds agree with the selections they stand for, and a split
// always leaves S followed by R an identity holding the selected instructions.
TEST(Subcircuit, MaskTestsAgreeWithSelections) {
    std::mt19937_64 gen(7);
    for (int round = 0; round < 12; ++round) {
        const IdentityCirc id = random_identity(gen, 2 + round % 3, 3 + round % 7);
        if (id.len() == 0 || id.len() >= kCombinationRows) continue;
        const WireTable wires(id);
        for (std::size_t g = 0; g < id.len(); ++g) {
            std::vector<std::uint64_t> fwd, bwd;
            for (std::uint32_t x : wires.forward(g)) fwd.push_back(x);
            for (std::uint32_t x : wires.backward(g)) bwd.push_back(x);
            ASSERT_EQ(fwd, id.qargs_forward(g)) << id.to_string() << " " << g;
            ASSERT_EQ(bwd, id.qargs_backward(g)) << id.to_string() << " " << g;
        }
        std::vector<std::uint32_t> connected;
        for (std::uint32_t mask : COMBINATIONS().row(id.len()))
            if (mask != 0 && wires.is_connected(mask)) connected.push_back(mask);
        EXPECT_EQ(wires.connected_subsets(max_selection(id.len())), connected) << id.to_string();
        // Cut into pieces of work, every connected selection is visited exactly once.
        for (std::size_t want : {1u, 7u, 200u}) {
            std::vector<std::uint32_t> seen;
            for (const WireTable::Piece& piece : wires.pieces(max_selection(id.len()), want))
                wires.grow(piece, max_selection(id.len()), [&](std::uint32_t m) { seen.push_back(m); });
            std::sort(seen.begin(), seen.end(), WireTable::row_before);
            EXPECT_EQ(seen, connected) << id.to_string() << " " << want;
        }
        for (std::uint32_t mask : COMBINATIONS().row(id.len())) {
            const IdentitySubcircuit s = select(id, Combinations::indices(mask));
            ASSERT_EQ(wires.is_connected(mask), s.is_connected()) << id.to_string() << " " << mask;
            ASSERT_EQ(wires.is_convex(mask), s.is_convex()) << id.to_string() << " " << mask;
            if (!s.is_connected() || !s.is_convex()) continue;
            const auto split = s.split();
            ASSERT_EQ(split_mask(id, mask), split) << id.to_string() << " " << mask;
            if (!split) continue;
            EXPECT_EQ(split->first.len(), selection_size(mask));
            EXPECT_EQ(selection_size(mask), static_cast<unsigned>(__builtin_popcount(mask)));
            EXPECT_EQ(split->first.len() + split->second.len(), id.len());
            EXPECT_NO_THROW(IdentityCirc::unchecked(split->first + split->second)) << id.to_string() << " " << mask;
        }
    }
}

TEST(Subcircuit, ParallelSplitsInRowOrder) {
    std::mt19937_64 gen(11);
    const IdentityCirc id = random_identity(gen, 3, 6);
    std::vector<std::pair<Circ, Circ>> sequential;
    for (std::uint32_t mask : COMBINATIONS().row(id.len())) {
        const IdentitySubcircuit s = select(id, Combinations::indices(mask));
        if (!s.is_connected() || !s.is_convex()) continue;
        if (auto split = s.split()) sequential.push_back(*split);
    }
    EXPECT_FALSE(sequential.empty());
    EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), sequential);

    std::vector<Instr32> twenty(20, I1("x", 0));
    EXPECT_PANIC(IdentitySubcircuit::par_subcircuit_splits(Id(twenty, Permut32::identity(1))),
                 "index out of bounds: the len is 20 but the index is 20");
    EXPECT_TRUE(IdentitySubcircuit::par_subcircuit_splits(Id({}, Permut32())).empty());
}
