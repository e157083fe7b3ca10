// The evaluator, the breadth-first search and class normalisation.
#include <gtest/gtest.h>

#include <set>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "search/double_perm_search.hpp"

using namespace brimsel;

namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32(g, QArgs16::one(q)); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32(g, QArgs16::two(a, b)); }

Evaluator make_evaluator(std::uint64_t n, std::uint64_t seed = 1) {
    Rng rng = Rng::from_seed(seed);
    return Evaluator::from_random(n, rng);
}

}  // namespace

TEST(Search, PlacementOrder) {
    const Evaluator ev = make_evaluator(3);
    const auto p = RawECCs::placements(ev, {gates::CX(), gates::X(), gates::H()});
    std::vector<std::string> got;
    for (const Instr32& i : p) got.push_back(i.to_string());
    EXPECT_EQ(got, (std::vector<std::string>{"h(0)", "x(0)", "h(1)", "x(1)", "cx(0, 1)", "cx(1, 0)",
                                             "h(2)", "x(2)", "cx(0, 2)", "cx(1, 2)", "cx(2, 0)",
                                             "cx(2, 1)"}));
    // Missing adjoints are added: t brings tdg.
    const auto pt = RawECCs::placements(make_evaluator(1), {gates::T()});
    ASSERT_EQ(pt.size(), 2u);
    EXPECT_EQ(pt[1].gate, gates::TDG());
    Matrix m(8, 8);
    for (std::size_t i = 0; i < 8; ++i) m.at(i, i) = QComplex{1.0, 0.0};
    m.at(7, 7) = QComplex{-1.0, 0.0};
    EXPECT_PANIC(RawECCs::placements(ev, {Gate16::new_("ccz", {}, m)}),
                 "Only 1 and 2 qubit instructions are supported");
}

TEST(Search, CountersOfSmallSearches) {
    const Evaluator ev = make_evaluator(2);
    auto [empty, c0] = RawECCs::search(ev, {}, 3);
    EXPECT_EQ(c0, (SearchCounters{1, 0, 0}));
    EXPECT_EQ(empty.inner.size(), 1u);

    auto [raw, c1] = RawECCs::generate(ev, {gates::H()}, 0);
    EXPECT_EQ(c1, (SearchCounters{1, 2, 2}));
    EXPECT_EQ(raw.inner.size(), 2u);

    // max_size 1: the one-instruction circuits are evaluated but not extended.
    auto [raw1, c2] = RawECCs::generate(ev, {gates::H(), gates::CX()}, 1);
    EXPECT_EQ(c2[0], 1u);
    EXPECT_EQ(c2[1], 4u);
}

TEST(Search, EvaluatorInvariances) {
    const Evaluator ev = make_evaluator(3);
    const std::vector<Instr32> c = {one(gates::H(), 0), two(gates::CX(), 0, 1), one(gates::T(), 2)};
    // The same circuit on relabelled qubits.
    const Permut32 p = Permut32::from_iter({2, 0, 1});
    std::vector<Instr32> relabelled;
    for (const Instr32& i : c) relabelled.push_back(i.apply_permutation(p));
    EXPECT_EQ(ev.evaluate(c).canonical.hash_value(), ev.evaluate(relabelled).canonical.hash_value());
    // A global phase: z x z x = -1.
    const std::vector<Instr32> phase = {one(gates::Z(), 1), one(gates::X(), 1), one(gates::Z(), 1),
                                        one(gates::X(), 1)};
    EXPECT_EQ(ev.evaluate(phase).canonical.hash_value(), ev.initial_key());
    EXPECT_NE(ev.evaluate(c).canonical.hash_value(), ev.initial_key());

    // h(0) h(1) is symmetric under exchanging its qubits: two tying pairs.
    const Evaluator ev2 = make_evaluator(2);
    const auto m = ev2.evaluate_multiple(std::vector<Instr32>{one(gates::H(), 0), one(gates::H(), 1)});
    EXPECT_EQ(m.pairs.size(), 2u);
    // The empty circuit: every candidate ties.
    EXPECT_EQ(ev.evaluate_multiple({}).pairs.size(), 6u);
    const auto single = ev.evaluate(c);
    EXPECT_EQ(single.front.len(), 3u);
    EXPECT_EQ(single.back.len(), 3u);

    const Evaluator ev0 = make_evaluator(0);
    const auto e0 = ev0.evaluate_multiple({});
    ASSERT_EQ(e0.pairs.size(), 1u);
    EXPECT_EQ(e0.pairs[0].first, Permut32());
}

TEST(Search, EvaluatorLimits) {
    EXPECT_NO_THROW(make_evaluator(5).initial_key());
    const Evaluator ev6 = make_evaluator(6);
    EXPECT_THROW(ev6.initial_key(), Panic);
    EXPECT_PANIC(make_evaluator(std::uint64_t{1} << 32),
                 "Number of qubits too large, resulting in overflow for state vector size.");
    EXPECT_NE(make_evaluator(3, 1), make_evaluator(3, 2));
    EXPECT_EQ(make_evaluator(3, 1), make_evaluator(3, 1));
}

TEST(Search, SimplifyOrderAndRelabelling) {
    // A class of 4 qubits whose representative acts on qubits 1 and 3.
    CircuitECC c;
    AliasArena arena;
    const Permut32 id4 = Permut32::identity(4);
    AliasList rep = AliasList::cons(arena, AliasList::cons(arena, AliasList(), one(gates::H(), 3)),
                                    two(gates::CX(), 1, 3));
    AliasList longer = AliasList::cons(
        arena, AliasList::cons(arena, AliasList::cons(arena, AliasList(), one(gates::H(), 0)),
                               one(gates::H(), 0)),
        one(gates::X(), 2));
    c.circuits.push_back(CircTriple{id4, longer, id4});
    c.circuits.push_back(CircTriple{id4, rep, id4});
    const ECC e = c.simplify();
    ASSERT_EQ(e.members.size(), 2u);
    // uniform = (1 3 2 0); r maps 1->0, 3->1, 2->2, 0->3.
    EXPECT_EQ(e.members[0].instrs, (std::vector<Instr32>{one(gates::H(), 1), two(gates::CX(), 0, 1)}));
    EXPECT_EQ(e.members[1].instrs,
              (std::vector<Instr32>{one(gates::H(), 3), one(gates::H(), 3), one(gates::X(), 2)}));
    const Permut32 uniform = Permut32::from_iter({1, 3, 2, 0});
    EXPECT_EQ(e.members[0].perm, uniform.inv() * id4 * uniform);

    // A stored circuit with front f and back b becomes (instructions relabelled by f^-1, b * f).
    const Permut32 f = Permut32::from_iter({1, 0}), b = Permut32::from_iter({1, 0});
    AliasList circ = AliasList::cons(arena, AliasList::cons(arena, AliasList(), two(gates::CX(), 1, 0)),
                                     one(gates::H(), 1));
    const EccMember m = CircTriple{f, circ, b}.simplify();
    EXPECT_EQ(m.instrs, (std::vector<Instr32>{two(gates::CX(), 0, 1), one(gates::H(), 0)}));
    EXPECT_EQ(m.perm, b * f);
}

TEST(Search, GenerateAndNormalise) {
    const Evaluator ev = make_evaluator(2);
    auto [raw, counters] = RawECCs::generate(ev, {gates::H(), gates::CX()}, 3);
    const ECCs eccs = raw.simplify();
    EXPECT_EQ(eccs.nqubits, 2u);
    EXPECT_EQ(eccs.eccs.size(), raw.inner.size());
    EXPECT_TRUE(std::is_sorted(eccs.eccs.begin(), eccs.eccs.end()));
    EXPECT_TRUE(eccs.check().empty());
    // The empty circuit's class comes first and holds the identity permutation.
    EXPECT_TRUE(eccs.eccs[0].members[0].instrs.empty());
    EXPECT_EQ(eccs.eccs[0].members[0].perm, Permut32::identity(2));
    // h h is the identity: it joins the empty circuit's class.
    EXPECT_GE(eccs.eccs[0].members.size(), 2u);
    for (const ECC& e : eccs.eccs) {
        // Every representative uses its lowest qubits in ascending order.
        std::uint8_t mask = 0;
        for (const Instr32& i : e.members[0].instrs) mask |= i.arg_mask();
        EXPECT_EQ(mask & (mask + 1), 0) << e.to_string();
    }

    auto [naive, nc] = RawECCs::generate_naive(ev, {gates::H(), gates::CX()}, 2);
    EXPECT_EQ(nc[1], nc[2]);
    EXPECT_GE(naive.inner.size(), RawECCs::generate(ev, {gates::H(), gates::CX()}, 2).first.inner.size());
}

TEST(Search, StoredCircuitTexts) {
    AliasArena arena;
    const Permut32 id2 = Permut32::identity(2), sw = Permut32::from_iter({1, 0});
    const CircTriple empty{id2, AliasList(), id2};
    EXPECT_EQ(empty.to_string(), " (0 1)");
    EXPECT_EQ(empty.debug(), "(0 1)  (0 1)");
    AliasList l = AliasList::cons(arena, AliasList::cons(arena, AliasList(), one(gates::H(), 0)),
                                  two(gates::CX(), 0, 1));
    const CircTriple t{sw, l, id2};
    EXPECT_EQ(t.debug(), "(1 0) h(0) cx(0, 1) (0 1)");
    EXPECT_EQ(t.to_string(), "h(1) cx(1, 0) (1 0)");
    CircuitECC c;
    c.circuits = {empty, t};
    EXPECT_EQ(c.to_string(), "CircuitECC { (0 1), h(1) cx(1, 0) (1 0)}");
}

TEST(Search, StoredCircuitsSitUnderTheirOwnKeys) {
    // The search reuses the popped circuit's forward state; evaluating a stored
    // circuit from scratch must give the key it is stored under.
    for (std::uint64_t n : {2u, 3u}) {
        const Evaluator ev = make_evaluator(n, 11 + n);
        auto [raw, counters] = RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, 3);
        std::size_t checked = 0;
        for (const auto& [key, cls] : raw.inner)
            for (const CircTriple& t : cls.circuits) {
                const std::vector<Instr32> instrs = t.circ.to_vec();
                const auto m = ev.evaluate_multiple(instrs);
                ASSERT_EQ(m.canonical.hash_value(), key) << t.debug();
                bool found = false;
                for (std::size_t k = 0; k < m.pairs.size(); ++k)
                    found = found || (m.pairs[k].first == t.front_perm && m.pairs[k].second == t.back_perm);
                EXPECT_TRUE(found || instrs.empty()) << t.debug();
                ++checked;
            }
        EXPECT_GT(checked, 100u);
    }
}

TEST(Search, SimplifyOrdersAlikeBuiltFirstOrPlacedFirst) {
    // Sorting built classes and placing classes before building them give the same
    // classes in the same order, ties of the packed keys included (three qubits
    // and nine-instruction keys tie on long shared prefixes; two qubits tie less).
    const struct {
        std::uint64_t n;
        std::vector<Gate16> gates;
        std::uint64_t max_size;
    } searches[] = {
        {3, {gates::H(), gates::T(), gates::CX()}, 5},
        {2, {gates::H(), gates::S(), gates::CX()}, 7},
        {4, {gates::H(), gates::CX()}, 4},
    };
    for (const auto& s : searches) {
        const auto [raw, counters] = RawECCs::generate(make_evaluator(s.n, 5), s.gates, s.max_size);
        const ECCs built_first = raw.simplify(SIZE_MAX), placed_first = raw.simplify(0);
        ASSERT_GT(built_first.eccs.size(), 100u);
        EXPECT_EQ(built_first.eccs, placed_first.eccs) << s.n << " qubits";
        EXPECT_TRUE(std::is_sorted(placed_first.eccs.begin(), placed_first.eccs.end()));
    }
}
