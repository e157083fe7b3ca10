// Queries, re-evaluation and the cross-check of raw classes, and the thread pool they run on.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "search/queries.hpp"
#include "utils/fmt_join.hpp"
#include "utils/pool.hpp"

using namespace brimsel;

namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32(g, QArgs16::one(q)); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32(g, QArgs16::two(a, b)); }
using Instrs = std::vector<Instr32>;

Evaluator make_evaluator(std::uint64_t n, std::uint64_t seed = 1) {
    Rng rng = Rng::from_seed(seed);
    return Evaluator::from_random(n, rng);
}

// The state after the instructions, then the permutation, up to a global phase.
StateVec run(std::span<const Instr32> c, Permut32 p, const StateVec& s0) {
    StateVec s = s0;
    for (const Instr32& i : c) s.apply(i.qargs.as_slice(), i.gate);
    reserve_state_vec_cache(s.nqubits());
    s.apply_permutation(p);
    s.normalize_arg();
    return s;
}

// Do the two circuits (instructions followed by a trailing permutation) act alike?
bool acts_alike(std::span<const Instr32> a, Permut32 pa, std::span<const Instr32> b, Permut32 pb) {
    static std::uint64_t seed = 100;
    Rng rng = Rng::from_seed(++seed);
    const StateVec s0 = StateVec::from_random(rng, static_cast<std::uint32_t>(pa.len()));
    return run(a, pa, s0).loose_eq(run(b, pb, s0));
}

// A stored circuit for hand-built classes; the nodes live in the classes' arena.
CircTriple stored(RawECCs& raw, const Instrs& instrs, Permut32 f, Permut32 b) {
    AliasList l;
    for (const Instr32& i : instrs) l = AliasList::cons(*raw.arena, l, i);
    return CircTriple{f, l, b};
}

// Random circuits over the placements; with `exchange`, some carry a qubit relabelling
// written as cx triples at one end, so that their permutations are no involutions.
Instrs random_circuit(std::mt19937& g, const Instrs& placements, std::size_t max_len, bool exchange) {
    Instrs c;
    const std::size_t len = g() % (max_len + 1);
    for (std::size_t k = 0; k < len; ++k) c.push_back(placements[g() % placements.size()]);
    if (exchange && g() % 3 == 0) {
        for (auto [a, b] : {std::pair<std::uint8_t, std::uint8_t>{0, 1}, {1, 2}})
            for (Instr32 i : {two(gates::CX(), a, b), two(gates::CX(), b, a), two(gates::CX(), a, b)}) c.push_back(i);
        if (g() % 2) std::reverse(c.begin(), c.end());
    }
    return c;
}

const std::vector<Gate16> kHTCX = {gates::H(), gates::T(), gates::CX()};

}  // namespace

// ---- the thread pool --------------------------------------------------------------------------

TEST(Pool, WorkerCountFromEnvironment) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t cpus;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, 6, 6},
        {"3", nullptr, 6, 3},
        {"3", "5", 6, 3},
        {"+4", nullptr, 6, 4},
        {"0", "2", 6, 6},  // 0 asks for the CPU count, the older variable is not read
        {"x", "2", 6, 2},
        {"", "2", 6, 2},
        {" 4", nullptr, 6, 6},
        {"4 ", nullptr, 6, 6},
        {"-1", nullptr, 6, 6},
        {nullptr, "0", 6, 6},
        {nullptr, "7", 6, 7},
        {"99999999999999999999999", "2", 6, 2},
        {"100000", nullptr, 6, pool::kMaxThreads},
        {nullptr, nullptr, 0, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pool::worker_count(c.num_threads, c.rs_num_cpus, c.cpus), c.expected)
            << (c.num_threads ? c.num_threads : "unset") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
    EXPECT_GE(pool::available_cpus(), 1u);
    EXPECT_GE(pool::num_threads(), 1u);
}

TEST(Pool, ForEachRunsEveryItemOnceAndNests) {
    for (std::size_t n : {0u, 1u, 7u, 10000u}) {
        std::vector<std::atomic<int>> seen(n);
        auto body = [&](std::size_t i) { seen[i].fetch_add(1); };
        pool::for_each(n, body);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << n << " " << i;
    }
    std::atomic<std::size_t> inner{0};
    pool::for_each(16, [&](std::size_t) { pool::for_each(100, [&](std::size_t) { inner.fetch_add(1); }); });
    EXPECT_EQ(inner.load(), 1600u);

    const auto squares = pool::map(5000, [](std::size_t i) { return std::make_unique<std::size_t>(i * i); });
    ASSERT_EQ(squares.size(), 5000u);
    for (std::size_t i = 0; i < squares.size(); ++i) ASSERT_EQ(*squares[i], i * i);
}

TEST(Pool, FailureOfTheLowestIndexReachesTheCaller) {
    // Several items fail; whatever the scheduling, the caller sees the one a sequential
    // loop would have met first, and every item before it has run.
    // Only that one is reported on standard error, once.
    for (int round = 0; round < 20; ++round) {
        std::vector<std::atomic<int>> ran(3000);
        testing::internal::CaptureStderr();
        try {
            pool::for_each(3000, [&](std::size_t i) {
                ran[i].store(1);
                if (i % 500 == 137) panic("item " + std::to_string(i));
            });
            ADD_FAILURE() << "no failure";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "item 137");
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("panicked at"), err.rfind("panicked at")) << err;
        EXPECT_NE(err.find("panicked at"), std::string::npos);
        EXPECT_EQ(err.substr(err.size() - 9), "item 137\n") << err;
        for (std::size_t i = 0; i <= 137; ++i) ASSERT_EQ(ran[i].load(), 1) << i;
    }
    // Other exceptions keep their type.
    EXPECT_THROW(pool::for_each(100, [](std::size_t i) { if (i == 42) throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_THROW((void)pool::map(100, [](std::size_t i) { return i == 99 ? throw std::range_error("y"), 0 : 1; }),
                 std::range_error);
}

// ---- masks and stripping --------------------------------------------------------------------

TEST(Masks, SurfaceGatesWithFilteringMask) {
    const Gate16 h = gates::H(), x = gates::X(), cx = gates::CX();
    const Instr32 none(h, QArgs16());  // no qubit: always a surface gate
    struct Case {
        const char* what;
        Instrs circuit;
        std::uint64_t mask;
        SurfaceMap expected;
    };
    const Case cases[] = {
        {"all positions", {one(h, 0), two(cx, 0, 1), one(h, 1), one(x, 2)}, 0b1111, {{one(h, 0), 0}, {one(x, 2), 3}}},
        {"a skipped position marks nothing",
         {one(h, 0), two(cx, 0, 1), one(h, 1), one(x, 2)},
         0b1110,
         {{two(cx, 0, 1), 1}, {one(x, 2), 3}}},
        {"nothing selected", {one(h, 0), one(x, 1)}, 0, {}},
        {"a repeated instruction keeps its place and takes the later position",
         {none, one(h, 0), none},
         0b111,
         {{none, 2}, {one(h, 0), 1}}},
        {"the same qubit twice is never a surface gate", {two(cx, 1, 1), one(h, 1)}, 0b11, {}},
        {"qubits are marked modulo 32", {one(h, 0), one(h, 32)}, 0b11, {{one(h, 0), 0}}},
        {"empty", {}, ~std::uint64_t{0}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(circuit_get_surface_gates_hashmap(c.circuit, c.mask), c.expected) << c.what;
}

TEST(Masks, ReduceEquivalenceFront) {
    const Gate16 h = gates::H(), x = gates::X(), t = gates::T(), s = gates::S(), cx = gates::CX();
    struct Case {
        const char* what;
        Instrs a, b;
        std::uint64_t ma, mb;
    };
    const Case cases[] = {
        {"commuting gates in either order", {one(h, 0), one(x, 1)}, {one(x, 1), one(h, 0)}, 0, 0},
        {"a common first gate", {one(h, 0), one(x, 0)}, {one(h, 0), one(t, 0)}, 0b10, 0b10},
        {"matches over several rounds", {one(h, 0), one(x, 0), one(t, 0)}, {one(h, 0), one(x, 0), one(s, 0)}, 0b100, 0b100},
        {"one match per gate", {one(h, 0), one(h, 0)}, {one(h, 0)}, 0b10, 0},
        {"nothing in common", {two(cx, 0, 1)}, {two(cx, 1, 0)}, 0b1, 0b1},
        {"an empty circuit", {}, {one(h, 0)}, 0, 0b1},
        {"a gate behind an unmatched one stays", {one(x, 0), two(cx, 0, 1)}, {one(t, 0), two(cx, 0, 1)}, 0b11, 0b11},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reduce_equivalence_front(c.a, c.b), std::make_pair(c.ma, c.mb)) << c.what;
        EXPECT_EQ(reduce_equivalence_front(c.b, c.a), std::make_pair(c.mb, c.ma)) << c.what;
    }
}

TEST(Masks, RetainByMasks) {
    const Gate16 h = gates::H();
    const Instrs abcd = {one(h, 0), one(h, 1), one(h, 2), one(h, 3)};
    struct Case {
        std::uint64_t front, back;
        Instrs kept;
    };
    const Case cases[] = {
        {0b1111, 0b1111, abcd},
        {0b1110, 0b1111, {abcd[1], abcd[2], abcd[3]}},
        {0b1111, 0b1110, {abcd[0], abcd[1], abcd[2]}},  // back bit 0 is the last instruction
        {0b0101, 0b1011, {abcd[0], abcd[2]}},
        {0b1111, 0b0000, {}},
        {~std::uint64_t{0}, ~std::uint64_t{0} << 4 | 0b1001, {abcd[0], abcd[3]}},
    };
    for (const Case& c : cases) {
        Instrs l = abcd;
        EXPECT_EQ(retain_by_masks(l, c.front, c.back), 4 - c.kept.size());
        EXPECT_EQ(l, c.kept) << c.front << " " << c.back;
    }
    Instrs empty;
    EXPECT_EQ(retain_by_masks(empty, 0, 0), 0u);
}

TEST(Masks, CircuitsTooLongForAMask) {
    const Instrs longest(63, one(gates::H(), 0));
    EXPECT_EQ(reduce_equivalence_front(longest, longest), std::make_pair(std::uint64_t{0}, std::uint64_t{0}));
    Instrs copy = longest;
    EXPECT_EQ(retain_by_masks(copy, ~std::uint64_t{0} >> 1, ~std::uint64_t{0} >> 2), 1u);
    EXPECT_EQ(copy.size(), 62u);

    const Instrs too_long(64, one(gates::H(), 0));
    const std::string msg = "Instruction masks hold at most 63 instructions, the circuit has 64";
    Instrs l = too_long;
    EXPECT_PANIC(retain_by_masks(l, ~std::uint64_t{0}, ~std::uint64_t{0}), msg);
    EXPECT_PANIC(reduce_equivalence_front(longest, too_long), msg);
    EXPECT_PANIC(circuit_get_surface_gates_hashmap(too_long, ~std::uint64_t{0}), msg);
    Instrs a = too_long, b = too_long;
    EXPECT_PANIC(reduce_equivalence(a, Permut32::identity(1), b, Permut32::identity(1)), msg);
}

TEST(Masks, ReduceEquivalence) {
    const Gate16 h = gates::H(), x = gates::X(), t = gates::T();
    const Permut32 id = Permut32::identity(2), swap = Permut32::from_iter({1, 0});
    struct Case {
        const char* what;
        Instrs i1;
        Permut32 p1;
        Instrs i2;
        Permut32 p2;
        Instrs r1, r2;
        std::size_t removed;
    };
    const Case cases[] = {
        {"everything in common", {one(h, 0), one(x, 1)}, id, {one(x, 1), one(h, 0)}, id, {}, {}, 2},
        {"front and back both stripped", {one(h, 0), one(x, 1), one(h, 1)}, id, {one(h, 0), one(t, 1), one(h, 1)}, id,
         {one(x, 1)}, {one(t, 1)}, 2},
        {"nothing in common", {one(x, 0)}, id, {one(t, 0)}, id, {one(x, 0)}, {one(t, 0)}, 0},
        // The tails are compared after each circuit's permutation.
        {"tails in the permuted frame", {one(h, 0)}, swap, {one(h, 1)}, id, {}, {}, 1},
        {"tails that only agree unpermuted", {one(x, 0), one(h, 0)}, swap, {one(t, 0), one(h, 0)}, id,
         {one(x, 0), one(h, 0)}, {one(t, 0), one(h, 0)}, 0},
    };
    for (const Case& c : cases) {
        Instrs a = c.i1, b = c.i2;
        EXPECT_EQ(reduce_equivalence(a, c.p1, b, c.p2), c.removed) << c.what;
        EXPECT_EQ(a, c.r1) << c.what;
        EXPECT_EQ(b, c.r2) << c.what;
    }
    // Unequal numbers stripped: the masks in binary.
    Instrs a = {one(h, 0)}, b = {one(h, 0), one(h, 0)};
    EXPECT_PANIC(reduce_equivalence(a, id, b, id), "mask1f: 0, mask1b: 0, mask2f: 10, mask2b: 10");
}

// ---- export_equivalence ----------------------------------------------------------------------

TEST(Equivalence, ExportEquivalence) {
    const Gate16 h = gates::H(), x = gates::X(), t = gates::T();
    const Permut32 id = Permut32::identity(2), swap = Permut32::from_iter({1, 0});
    RawECCs raw;
    CircuitECC e;
    e.circuits.push_back(stored(raw, {one(h, 0), one(x, 1)}, id, id));

    // An exact match leaves nothing to compare.
    Equivalence q = export_equivalence(e, Instrs{one(h, 0), one(x, 1)}, id, id);
    EXPECT_TRUE(q.t1.empty() && q.t2.empty());
    EXPECT_EQ(q.p1, id);
    EXPECT_EQ(q.p2, id);
    // The prefix is read through the inverse of its front permutation.
    q = export_equivalence(e, Instrs{one(h, 1), one(x, 0)}, swap, swap);
    EXPECT_TRUE(q.t1.empty() && q.t2.empty());

    // A shared gate is stripped and the rest handed back.
    q = export_equivalence(e, Instrs{one(h, 0), one(t, 1)}, id, id);
    EXPECT_EQ(q.t1, (Instrs{one(x, 1)}));
    EXPECT_EQ(q.t2, (Instrs{one(t, 1)}));

    // The first stored circuit that qualifies answers.
    CircuitECC two_stored;
    two_stored.circuits.push_back(stored(raw, {one(t, 0)}, id, id));
    two_stored.circuits.push_back(stored(raw, {one(h, 0), one(t, 1)}, id, id));
    two_stored.circuits.push_back(stored(raw, {one(h, 0), one(x, 1)}, id, id));
    q = export_equivalence(two_stored, Instrs{one(h, 0), one(x, 1)}, id, id);
    EXPECT_EQ(q.t1, (Instrs{one(t, 1)}));  // the second, not the exact third
    EXPECT_EQ(q.t2, (Instrs{one(x, 1)}));

    EXPECT_PANIC(export_equivalence(e, Instrs{one(t, 0), one(t, 1)}, swap, id),
                 "No equivalence found during export_equivalence: h(0) x(1) (0 1) = t(1), t(0) (1 0)");
    EXPECT_PANIC(export_equivalence(CircuitECC{}, Instrs{}, id, id),
                 "No equivalence found during export_equivalence:  =  (0 1)");
}

// ---- queries on search results -----------------------------------------------------------------

class Queries : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ev_ = new Evaluator(make_evaluator(3));
        raw_ = new RawECCs(RawECCs::generate(*ev_, kHTCX, 4).first);
        placements_ = new Instrs(RawECCs::placements(*ev_, kHTCX));
    }
    static void TearDownTestSuite() {
        delete ev_;
        delete raw_;
        delete placements_;
    }
    static const Evaluator& ev() { return *ev_; }
    static const RawECCs& raw() { return *raw_; }
    static const Instrs& placements() { return *placements_; }

private:
    static inline Evaluator* ev_ = nullptr;
    static inline RawECCs* raw_ = nullptr;
    static inline Instrs* placements_ = nullptr;
};

TEST_F(Queries, FindEquivalents) {
    const Gate16 h = gates::H();
    EXPECT_FALSE(find_equivalents(RawECCs::new_(ev()), ev(), Instrs{one(h, 0)}).has_value());

    const auto empty = find_equivalents(raw(), ev(), Instrs{});
    ASSERT_TRUE(empty.has_value());
    ASSERT_FALSE(empty->members.empty());
    EXPECT_TRUE(empty->members[0].instrs.empty());
    EXPECT_EQ(empty->members.size(), raw().inner.at(ev().initial_key()).circuits.size());

    // Every member, read as instructions followed by its permutation, acts like the circuit.
    std::mt19937 g(5);
    std::size_t checked = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const Instrs c = random_circuit(g, placements(), 4, true);
        const auto e = find_equivalents(raw(), ev(), c);
        if (!e) continue;
        EXPECT_EQ(e->members.size(), raw().inner.at(ev().evaluate(c).canonical.hash_value()).circuits.size());
        for (const EccMember& m : e->members) {
            ASSERT_TRUE(acts_alike(m.instrs, m.perm, c, Permut32::identity(3))) << fmt_join(c, {});
            ++checked;
        }
    }
    EXPECT_GT(checked, 500u);
}

TEST_F(Queries, ComputeNextKey) {
    const Gate16 h = gates::H(), t = gates::T(), cx = gates::CX();
    auto key = [&](const Instrs& c) { return ev().evaluate(c).canonical.hash_value(); };
    EXPECT_FALSE(raw().inner.contains(12345));
    EXPECT_FALSE(compute_next_key(raw(), ev(), 12345, one(h, 0)).has_value());
    EXPECT_EQ(compute_next_key(raw(), ev(), ev().initial_key(), one(h, 1)), key({one(h, 0)}));
    // The class's first circuit (h on qubit 0) is extended in its own labels.
    const std::uint64_t kh = key({one(h, 0)});
    EXPECT_EQ(compute_next_key(raw(), ev(), kh, two(cx, 0, 1)), key({one(h, 0), two(cx, 0, 1)}));
    EXPECT_EQ(compute_next_key(raw(), ev(), kh, two(cx, 1, 0)), key({one(h, 0), two(cx, 1, 0)}));
    EXPECT_NE(key({one(h, 0), two(cx, 0, 1)}), key({one(h, 0), two(cx, 1, 0)}));
    // A key the search never reached.
    auto [small, counters] = RawECCs::generate(ev(), kHTCX, 1);
    EXPECT_FALSE(compute_next_key(small, ev(), kh, one(t, 0)).has_value());
    EXPECT_EQ(compute_next_key(small, ev(), kh, one(h, 0)), ev().initial_key());
}

TEST_F(Queries, CheckedEquivalent) {
    // The empty circuit is a stored circuit of its class and the smallest candidate.
    const EccMember e = checked_equivalent(raw(), Instrs{}, Permut32::identity(3), ev());
    EXPECT_TRUE(e.instrs.empty());
    EXPECT_TRUE(e.perm.is_identity());

    // For circuits within the search's size, the answer acts like the circuit with its
    // permutation; some answers need nesting.
    std::mt19937 g(11);
    std::size_t answered = 0, nested = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const Instrs c = random_circuit(g, placements(), 4, false);
        if (!find_equivalents(raw(), ev(), c)) continue;
        const Permut32 p = Permut32::all(3)[g() % 6];
        const EccMember r = checked_equivalent(raw(), c, p, ev());
        ASSERT_TRUE(acts_alike(r.instrs, r.perm, c, p)) << fmt_join(c, {});
        ++answered;
        try {
            (void)checked_equivalent(raw(), c, p, ev(), 0);
        } catch (const Panic& err) {
            EXPECT_EQ(err.message(), "Checked equivalence nested deeper than 0 levels");
            ++nested;
            EXPECT_NO_THROW((void)checked_equivalent(raw(), c, p, ev(), 30));
        }
    }
    EXPECT_GT(answered, 100u);
    EXPECT_GT(nested, 10u);

    EXPECT_PANIC(checked_equivalent(RawECCs::new_(ev()), Instrs{one(gates::H(), 0)}, Permut32::identity(3), ev()),
                 "no entry found for key");
}

TEST_F(Queries, CheckedEquivalentReportsNonDeterminism) {
    // A class that holds a circuit of another class: h(0) t(1) is stored as h(0) x(1).
    const Evaluator ev2 = make_evaluator(2, 7);
    auto [raw2, counters] = RawECCs::generate(ev2, {gates::H(), gates::X(), gates::T()}, 1);
    const Instrs ht = {one(gates::H(), 0), one(gates::T(), 1)};
    const Evaluator::Single s = ev2.evaluate(ht);
    CircuitECC bad;
    bad.size = 2;
    bad.circuits.push_back(stored(raw2, {one(gates::H(), 0), one(gates::X(), 1)}, s.front, s.back));
    raw2.inner.emplace(s.canonical.hash_value(), bad);

    const Equivalence q = export_equivalence(bad, ht, s.front, s.back);
    const EccMember r1 = checked_equivalent(raw2, q.t1, q.p1, ev2);
    const EccMember r2 = checked_equivalent(raw2, q.t2, q.p2, ev2);
    Instrs x;
    for (const Instr32& i : ht) x.push_back(i.apply_permutation(s.front.inv()));
    const std::string expected = "Non-deterministic equivalence detected during checked equivalence: \n " +
                                 bad.to_string() + " vs " + fmt_join(x, {}) + " \n " +
                                 fmt_join(q.t1, {.sep = ", "}) + " " + q.p1.to_string() + " vs " +
                                 fmt_join(q.t2, {.sep = ", "}) + " " + q.p2.to_string() + " \n " +
                                 fmt_join(r1.instrs, {.sep = ", "}) + " " + r1.perm.to_string() + " vs " +
                                 fmt_join(r2.instrs, {.sep = ", "}) + " " + r2.perm.to_string();
    EXPECT_PANIC(checked_equivalent(raw2, ht, Permut32::identity(2), ev2), expected);
}

TEST(CheckedEquivalentWalk, FollowsRelabellingsFromStepToStep) {
    // One class is tampered with: it holds only a circuit whose last gate differs. However
    // the walked circuit is labelled and whatever permutation it carries, the walk must
    // rebuild its gates in the right places beside the representatives it substitutes and
    // meet that class; a walk that loses track of the labels builds other circuits, meets
    // only sound classes, and reports nothing.
    const Gate16 h = gates::H(), x = gates::X(), s = gates::S(), t = gates::T(), cx = gates::CX();
    const Evaluator ev = make_evaluator(3, 8);
    struct Case {
        Instrs walked;
        Instrs class_of;  // the tampered class: the one of this circuit
        Instrs wrong;     // what it holds instead
        std::uint64_t max_size;
    };
    const Case cases[] = {
        {{one(h, 0), one(t, 1)}, {one(h, 0), one(t, 1)}, {one(h, 0), one(x, 1)}, 1},
        {{one(h, 0), two(cx, 0, 1), one(t, 1)}, {one(h, 0), two(cx, 0, 1), one(t, 1)}, {one(h, 0), two(cx, 0, 1), one(x, 1)}, 2},
        {{two(cx, 1, 0), one(h, 0), one(t, 1)}, {two(cx, 1, 0), one(h, 0), one(t, 1)}, {two(cx, 1, 0), one(h, 0), one(x, 1)}, 2},
        {{one(t, 2), two(cx, 0, 2), one(h, 0)}, {one(t, 2), two(cx, 0, 2), one(h, 0)}, {one(t, 2), two(cx, 0, 2), one(x, 0)}, 2},
        // t t is replaced by s, and cx must follow s's qubit.
        {{one(t, 1), one(t, 1), two(cx, 1, 2)}, {one(s, 0), two(cx, 0, 1)}, {one(s, 0), one(x, 1)}, 2},
        {{one(t, 1), one(h, 2), one(t, 1), two(cx, 2, 1)}, {one(s, 0), one(h, 1), two(cx, 1, 0)},
         {one(s, 0), one(h, 1), one(x, 0)}, 3},
        // Three cx exchange two qubits: the empty circuit's class stands in for them, and
        // t must follow the exchange to the qubit that h left.
        {{one(h, 0), two(cx, 0, 1), two(cx, 1, 0), two(cx, 0, 1), one(t, 0)}, {one(h, 0), one(t, 1)},
         {one(h, 0), one(x, 1)}, 4},
    };
    for (const Case& k : cases) {
        auto [raw, counters] = RawECCs::generate(ev, {h, x, s, t, cx}, k.max_size);
        const Evaluator::Single e = ev.evaluate(k.class_of);
        CircuitECC bad;
        bad.size = k.class_of.size();
        bad.circuits.push_back(stored(raw, k.wrong, e.front, e.back));
        raw.inner[e.canonical.hash_value()] = bad;
        const std::string met =
            "Non-deterministic equivalence detected during checked equivalence: \n " + bad.to_string() + " vs ";
        for (Permut32 sigma : Permut32::all(3))
            for (Permut32 p : Permut32::all(3)) {
                Instrs c;
                for (const Instr32& i : k.walked) c.push_back(i.apply_permutation(sigma));
                try {
                    (void)checked_equivalent(raw, c, p, ev);
                    ADD_FAILURE() << "tampered class not met: " << fmt_join(c, {}) << " " << p.to_string();
                } catch (const Panic& err) {
                    EXPECT_EQ(err.message().rfind(met, 0), 0u) << fmt_join(c, {}) << " " << p.to_string() << "\n"
                                                               << err.message();
                }
            }
    }
}

// ---- switch_evaluator ------------------------------------------------------------------------

TEST_F(Queries, SwitchEvaluatorKeepsClassesAndLists) {
    const Evaluator ev2 = make_evaluator(3, 2);
    auto sw = std::make_unique<RawECCs>(switch_evaluator(raw(), ev2));
    EXPECT_EQ(sw->nqubits, 3u);
    EXPECT_EQ(sw->arena, raw().arena);
    ASSERT_EQ(sw->inner.size(), raw().inner.size());
    std::size_t empty_lists = 0;
    for (const auto& [key, c] : raw().inner) {
        const std::uint64_t key2 = ev2.evaluate(c.circuits[0].circ.to_vec()).canonical.hash_value();
        ASSERT_TRUE(sw->inner.contains(key2));
        const CircuitECC& n = sw->inner.at(key2);
        EXPECT_EQ(n.size, c.size);
        EXPECT_TRUE(n.front_gates.items().empty() && n.back_gates.items().empty());
        ASSERT_EQ(n.circuits.size(), c.circuits.size());
        for (std::size_t k = 0; k < c.circuits.size(); ++k) EXPECT_EQ(n.circuits[k].circ, c.circuits[k].circ);
    }
    for (const auto& [key, c] : sw->inner)
        for (const CircTriple& t : c.circuits) empty_lists += t.circ.empty();
    EXPECT_EQ(empty_lists, 1u);
    // The new pairs place every stored circuit in the new frame: the classes still agree.
    EXPECT_TRUE(sw->simplify().check().empty());
    // Their classes rebuild in the source, whose stored circuits carry every tying pair.
    EXPECT_NO_THROW(check_identity_subset(*sw, raw(), ev()));

    // The lists outlive a source that is dropped first.
    auto [own, counters] = RawECCs::generate(ev(), kHTCX, 2);
    auto own_sw = std::make_unique<RawECCs>(switch_evaluator(own, ev2));
    const std::size_t classes = own.simplify().eccs.size();
    own = RawECCs();
    EXPECT_EQ(own_sw->simplify().eccs.size(), classes);
}

TEST(SwitchEvaluator, Inconsistencies) {
    const Evaluator ev = make_evaluator(2, 3), ev2 = make_evaluator(2, 4);
    const Permut32 id = Permut32::identity(2);
    const Gate16 h = gates::H(), cx = gates::CX();

    // A stored circuit that belongs elsewhere.
    auto [raw, counters] = RawECCs::generate(ev, {h, cx}, 2);
    CircuitECC& hc = raw.inner.at(ev.evaluate(Instrs{one(h, 0)}).canonical.hash_value());
    hc.circuits.push_back(stored(raw, {two(cx, 0, 1)}, id, id));
    EXPECT_PANIC(switch_evaluator(raw, ev2), "Inconsistent ECC detected during evaluator switch");

    // The naive search keeps h(0) and h(1) apart; relabelling brings them together.
    auto [naive, c2] = RawECCs::generate_naive(ev, {h}, 1);
    try {
        (void)switch_evaluator(naive, ev2);
        ADD_FAILURE() << "no collision";
    } catch (const Panic& p) {
        const std::string m = p.message();
        EXPECT_EQ(m.rfind("Hash collision detected during evaluator switch: CircuitECC { size: 1, front_gates: {}, "
                          "back_gates: {}, circuits: [",
                          0),
                  0u)
            << m;
        EXPECT_NE(m.find("] } vs CircuitECC { size: 1, front_gates: {h("),
                  std::string::npos)
            << m;
    }
}

TEST(SwitchEvaluator, EmptyCircuitClassIsReplacedOnlyOnce) {
    // A qubit exchange lands on the empty circuit's key under any evaluator; whichever of
    // the two classes comes second must not replace the first.
    const Evaluator ev2 = make_evaluator(2, 6);
    const Permut32 id = Permut32::identity(2);
    const Gate16 cx = gates::CX();
    const Instrs exchange = {two(cx, 0, 1), two(cx, 1, 0), two(cx, 0, 1)};
    std::vector<std::uint64_t> first_keys;
    for (bool empty_first : {true, false}) {
        RawECCs raw;
        raw.nqubits = 2;
        CircuitECC empty, swap;
        empty.circuits.push_back(CircTriple{id, AliasList(), id});
        swap.size = 3;
        swap.circuits.push_back(stored(raw, exchange, id, id));
        if (empty_first) {
            raw.inner.emplace(1, empty);
            raw.inner.emplace(2, swap);
        } else {
            raw.inner.emplace(2, swap);
            raw.inner.emplace(1, empty);
        }
        first_keys.push_back(raw.inner.begin()->first);
        try {
            (void)switch_evaluator(raw, ev2);
            ADD_FAILURE() << "a class was replaced, empty circuit first: " << empty_first;
        } catch (const Panic& p) {
            EXPECT_EQ(p.message().rfind("Hash collision detected during evaluator switch: CircuitECC { size: ", 0), 0u)
                << p.message();
        }
    }
    EXPECT_NE(first_keys[0], first_keys[1]);  // both visiting orders were tried

    // Alone, the exchange takes the empty circuit's place.
    RawECCs only;
    CircuitECC swap;
    swap.size = 3;
    swap.circuits.push_back(stored(only, exchange, id, id));
    only.inner.emplace(2, swap);
    const RawECCs sw = switch_evaluator(only, ev2);
    ASSERT_EQ(sw.inner.size(), 1u);
    EXPECT_EQ(sw.inner.at(ev2.initial_key()).size, 3u);
}

// ---- check_identity_subset ---------------------------------------------------------------------

TEST(CheckIdentitySubset, PassesOnSearchResults) {
    struct Case {
        std::uint64_t n;
        std::vector<Gate16> gates;
        std::uint64_t max_size;
    };
    const Case cases[] = {
        {1, {gates::H(), gates::T()}, 6},
        {2, {gates::H(), gates::S(), gates::CX()}, 4},
        {2, {gates::H(), gates::T(), gates::CX()}, 5},
        {3, {gates::H(), gates::CX()}, 4},
        {3, kHTCX, 5},  // more classes than one chunk
    };
    for (const Case& c : cases) {
        const Evaluator ev = make_evaluator(c.n, 40 + c.n);
        auto [raw, counters] = RawECCs::generate(ev, c.gates, c.max_size);
        if (c.max_size == 5 && c.n == 3) {
            EXPECT_GT(raw.inner.size(), kCrossCheckChunk);
        }
        EXPECT_NO_THROW(check_identity_subset(raw, raw, ev)) << c.n << " " << c.max_size;
        // A smaller search is a part of a larger one.
        auto [small, c2] = RawECCs::generate(ev, c.gates, c.max_size - 1);
        EXPECT_NO_THROW(check_identity_subset(small, raw, ev)) << c.n << " " << c.max_size;
    }
}

TEST(CheckIdentitySubset, FailsOnTamperedClasses) {
    const Evaluator ev = make_evaluator(3, 9);
    auto [raw, counters] = RawECCs::generate(ev, kHTCX, 3);
    const std::string missing = "assertion failed: ecc1.contains_key(&bv.hash_value())";

    auto [small, c2] = RawECCs::generate(ev, kHTCX, 2);
    EXPECT_PANIC(check_identity_subset(raw, small, ev), missing);
    EXPECT_PANIC(check_identity_subset(raw, raw, make_evaluator(3, 10)), missing);

    const std::uint64_t kh = ev.evaluate(Instrs{one(gates::H(), 0)}).canonical.hash_value();
    RawECCs without_h = raw;
    without_h.inner.erase(kh);
    EXPECT_PANIC(check_identity_subset(raw, without_h, ev), missing);

    // Stored circuits whose permutations were exchanged no longer rebuild.
    RawECCs swapped = raw;
    std::size_t changed = 0;
    for (auto& [key, c] : swapped.inner)
        for (CircTriple& t : c.circuits)
            if (t.front_perm != t.back_perm && !t.circ.empty()) {
                std::swap(t.front_perm, t.back_perm);
                ++changed;
            }
    ASSERT_GT(changed, 0u);
    EXPECT_THROW(check_identity_subset(raw, swapped, ev), Panic);
}
