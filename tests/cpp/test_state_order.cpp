// Qubit permutation of states with the per-thread scratch pool; qubit order information and EQMASK_TO_PERMS.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <set>
#include <thread>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "state/mod.hpp"
#include "state/order_info.hpp"
#include "state/rng.hpp"

using namespace brimsel;

namespace {

StateVec make(std::vector<double> re, std::vector<double> im) {
    return StateVec::new_(std::vector<Qreal>(re.begin(), re.end()),
                          std::vector<Qreal>(im.begin(), im.end()));
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::vector<std::uint64_t> as_u64(std::span<const std::uint8_t> s) {
    return std::vector<std::uint64_t>(s.begin(), s.end());
}

}  // namespace

TEST(StatePermutation, MovesQubitJToPermJ) {
    StateVec s = make({0.1, 0.2, 0.3, 0.4}, {0.0, 0.0, 0.0, 0.0});
    s.apply_permutation(Permut32::from_iter({1, 0}));
    EXPECT_EQ(s.re()[1].value, 0.3);
    EXPECT_EQ(s.re()[2].value, 0.2);
    EXPECT_EQ(s.re()[0].value, 0.1);
    EXPECT_EQ(s.re()[3].value, 0.4);

    Rng rng = Rng::from_seed(1);
    for (std::size_t n = 0; n <= 6; ++n)
        for (std::size_t pick = 0; pick < 6 && pick < ALL_PERMUTATIONS()[n].size(); ++pick) {
            const Permut32 p = ALL_PERMUTATIONS()[n][(pick * 37) % ALL_PERMUTATIONS()[n].size()];
            const StateVec before = StateVec::from_random(rng, static_cast<std::uint32_t>(n));
            StateVec after = before;
            after.apply_permutation(p);
            for (std::uint64_t i = 0; i < before.len(); ++i) {
                ASSERT_EQ(bits(after.re()[p.permut_bv(i)].value), bits(before.re()[i].value));
                ASSERT_EQ(bits(after.im()[p.permut_bv(i)].value), bits(before.im()[i].value));
            }
            // The inverse undoes it.
            after.apply_permutation(p.inv());
            EXPECT_EQ(after.hash_value(), before.hash_value());
        }

    // Relabelling commutes with gates: H on qubit 0 then (0 -> 2) is H on qubit 2 after it.
    StateVec a = StateVec::from_random(rng, 3), b = a;
    const Permut32 p = Permut32::from_iter({2, 0, 1});
    a.apply(std::vector<std::uint8_t>{0}, gates::H());
    a.apply_permutation(p);
    b.apply_permutation(p);
    b.apply(std::vector<std::uint8_t>{2}, gates::H());
    EXPECT_TRUE(a == b);
}

TEST(StatePermutation, NonBijectionsAreRefusedAndTheStateKept) {
    Rng rng = Rng::from_seed(2);
    struct Case {
        std::uint32_t n;
        Permut32 perm;
        std::string message;
    };
    const Case cases[] = {
        {3, Permut32::from_iter({1, 0}), "Permutation of 2 positions does not cover the 3 qubits of the state"},
        {2, Permut32::identity(0), "Permutation of 0 positions does not cover the 2 qubits of the state"},
        // The first index that lands outside: qubit 0 alone moved to qubit 2.
        {2, Permut32::from_iter({2, 1, 0}), "index out of bounds: the len is 4 but the index is 4"},
        {3, Permut32::from_iter({0, 3, 1, 2}), "index out of bounds: the len is 8 but the index is 8"},
        {2, Permut32::from_iter({0, 7, 1}), "index out of bounds: the len is 4 but the index is 128"},
        // A raw word with a repeated image.
        {2, Permut32::from_raw((2u << 24) | (1u << 0) | (1u << 3)), "Permutation values must be unique"},
        {10, Permut32::from_raw(0xFF000000u), "Permutation of 255 positions does not cover the 10 qubits of the state"},
    };
    for (const Case& c : cases) {
        StateVec s = StateVec::from_random(rng, c.n);
        const StateVec before = s;
        const Qreal* data = s.re().data();
        EXPECT_PANIC(s.apply_permutation(c.perm), c.message);
        EXPECT_EQ(s.re().data(), data);
        EXPECT_EQ(s.hash_value(), before.hash_value());
    }
    // Longer than the state but a bijection of its qubits: the extra positions play no part.
    StateVec s = StateVec::from_random(rng, 2), t = s;
    s.apply_permutation(Permut32::from_iter({1, 0, 2}));
    t.apply_permutation(Permut32::from_iter({1, 0}));
    EXPECT_TRUE(s == t);
}

TEST(StatePermutation, ScratchPoolExchangesStorage) {
    std::thread([] {
        EXPECT_EQ(STATE_VEC_CACHE().entries().size(), 0u);
        reserve_state_vec_cache(3);
        {
            auto cache = STATE_VEC_CACHE();
            ASSERT_EQ(cache.entries().size(), 4u);
            for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(cache.entries()[k].nqubits(), k);
            EXPECT_PANIC(STATE_VEC_CACHE(), "RefCell already borrowed");
        }
        reserve_state_vec_cache(1);
        EXPECT_EQ(STATE_VEC_CACHE().entries().size(), 4u);

        StateVec s = make({0.1, 0.2, 0.3, 0.4}, {0.5, 0.6, 0.7, 0.8});
        const Qreal* own = s.re().data();
        const Qreal* scratch = STATE_VEC_CACHE().entries()[2].re().data();
        s.apply_permutation(Permut32::identity(2));
        EXPECT_EQ(s.re().data(), scratch);
        EXPECT_EQ(STATE_VEC_CACHE().entries()[2].re().data(), own);
        EXPECT_TRUE(s == make({0.1, 0.2, 0.3, 0.4}, {0.5, 0.6, 0.7, 0.8}));
        // A second permutation of that size reuses the same two arrays.
        StateVec t = make({1, 2, 3, 4}, {0, 0, 0, 0});
        const Qreal* t_own = t.re().data();
        t.apply_permutation(Permut32::from_iter({1, 0}));
        EXPECT_EQ(t.re().data(), own);
        EXPECT_EQ(STATE_VEC_CACHE().entries()[2].re().data(), t_own);
        EXPECT_EQ(t.re()[1].value, 3.0);

    }).join();
    // Each thread has its own pool.
    std::size_t other = 0;
    std::thread([&] { other = STATE_VEC_CACHE().entries().size(); }).join();
    EXPECT_EQ(other, 0u);
}

TEST(StateOrderInfo, NewSortSplitAndBits) {
    OrderInfo o = OrderInfo::new_(3);
    EXPECT_EQ(as_u64(o.permut()), (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(as_u64(o.eq_classes()), (std::vector<std::uint64_t>{3}));
    auto [p3, m3] = o.as_bits();
    EXPECT_EQ(p3, Permut32::identity(3));
    EXPECT_EQ(m3, 0b11);

    OrderInfo f = OrderInfo::new_(4);
    const int keys[] = {5, 3, 5, 3};
    f.sort_eqclass_by_key(0, [&](std::uint8_t q) { return keys[q]; });
    EXPECT_EQ(as_u64(f.permut()), (std::vector<std::uint64_t>{1, 3, 0, 2}));
    EXPECT_EQ(as_u64(f.eq_classes()), (std::vector<std::uint64_t>{2, 4}));
    EXPECT_EQ(f.as_bits().second, 0b101);
    EXPECT_EQ(f.as_bits().first, Permut32::from_iter({1, 3, 0, 2}));
    EXPECT_EQ(f.get_eqclass_range(1), (std::pair<std::size_t, std::size_t>{2, 4}));
    EXPECT_EQ(as_u64(f.get_eqclass(1)), (std::vector<std::uint64_t>{0, 2}));

    // Splitting a later class renumbers the ones after it.
    const int second[] = {0, 9, 1, 9};
    f.sort_eqclass_by_key(0, [&](std::uint8_t q) { return second[q]; });
    EXPECT_EQ(as_u64(f.eq_classes()), (std::vector<std::uint64_t>{2, 4}));
    f.sort_eqclass_by_key(1, [&](std::uint8_t q) { return second[q]; });
    EXPECT_EQ(as_u64(f.permut()), (std::vector<std::uint64_t>{1, 3, 0, 2}));
    EXPECT_EQ(as_u64(f.eq_classes()), (std::vector<std::uint64_t>{2, 3, 4}));
    EXPECT_EQ(f.as_bits().second, 0b001);
    EXPECT_PANIC(f.sort_eqclass_by_key(3, [](std::uint8_t) { return 0; }),
                 "index out of bounds: the len is 3 but the index is 3");

    auto [p1, m1] = OrderInfo::new_(1).as_bits();
    EXPECT_EQ(p1, Permut32::identity(1));
    EXPECT_EQ(m1, 0);
    OrderInfo zero = OrderInfo::new_(0);
    EXPECT_EQ(as_u64(zero.eq_classes()), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(zero.as_bits(), (std::pair<Permut32, std::uint8_t>{Permut32::identity(0), 0}));

    OrderInfo eight = OrderInfo::new_(8);
    EXPECT_EQ(eight.as_bits().second, 0x7F);
}

TEST(StateOrderInfo, EqmaskTableAndCandidates) {
    const std::size_t sizes[] = {1, 2, 2, 6, 2, 4, 6, 24, 2, 4, 4, 12, 6, 12, 24, 120};
    const auto& table = EQMASK_TO_PERMS();
    for (unsigned m = 0; m < 16; ++m) {
        ASSERT_EQ(table[m].size(), sizes[m]) << m;
        // Rows keep Heap's order of the 5-position table.
        std::size_t last = 0;
        for (Permut32 p : table[m]) {
            auto pos = std::find(ALL_PERMUTATIONS()[5].begin(), ALL_PERMUTATIONS()[5].end(), p) -
                       ALL_PERMUTATIONS()[5].begin();
            EXPECT_GE(static_cast<std::size_t>(pos), last);
            last = static_cast<std::size_t>(pos);
        }
    }
    EXPECT_EQ(table[0], std::vector<Permut32>{Permut32::identity(5)});

    OrderInfo f = OrderInfo::new_(4);
    const int keys[] = {5, 3, 5, 3};
    f.sort_eqclass_by_key(0, [&](std::uint8_t q) { return keys[q]; });
    const Permut32 perm = f.as_bits().first;
    std::vector<Permut32> got = f.as_perms();
    ASSERT_EQ(got.size(), 4u);
    std::set<std::uint32_t> distinct;
    for (Permut32 p : got) {
        distinct.insert(p.raw);
        // Positions 0, 1 hold qubits {1, 3}; positions 2, 3 hold {0, 2}.
        EXPECT_EQ((std::set<int>{p.get(0), p.get(1)}), (std::set<int>{1, 3}));
        EXPECT_EQ((std::set<int>{p.get(2), p.get(3)}), (std::set<int>{0, 2}));
    }
    EXPECT_EQ(distinct.size(), 4u);
    EXPECT_EQ(got[0], perm);

    std::vector<Permut32> single = OrderInfo::new_(3).as_perms();
    EXPECT_EQ(single.size(), 6u);
    OrderInfo sorted = OrderInfo::new_(3);
    sorted.sort_eqclass_by_key(0, [](std::uint8_t q) { return 2 - q; });
    EXPECT_EQ(sorted.as_perms(), std::vector<Permut32>{Permut32::from_iter({2, 1, 0})});
    EXPECT_EQ(OrderInfo::new_(5).as_perms().size(), 120u);

    // Six positions in one class: mask 31 is past the table, before anything is yielded.
    int yielded = 0;
    EXPECT_PANIC(OrderInfo::new_(6).for_each_perm([&](Permut32) { ++yielded; }),
                 "index out of bounds: the len is 16 but the index is 31");
    EXPECT_EQ(yielded, 0);

    // Six positions, ties only among the first five: the sixth keeps its place.
    OrderInfo six = OrderInfo::new_(6);
    six.sort_eqclass_by_key(0, [](std::uint8_t q) { return q == 5 ? 1 : 0; });
    std::vector<Permut32> sixes = six.as_perms();
    EXPECT_EQ(sixes.size(), 120u);
    for (Permut32 p : sixes) {
        EXPECT_EQ(p.len(), 6u);
        EXPECT_EQ(p.get(5), 5);
        EXPECT_EQ(p * p.inv(), Permut32::identity(6)) << p.to_string();
    }
}

TEST(StateOrderInfo, OrderKeysOfStates) {
    Rng rng = Rng::from_seed(4);
    for (std::uint32_t n : {1u, 3u, 5u}) {
        const StateVec sym = StateVec::from_random_symmetric(rng, n);
        EXPECT_EQ(sym.get_permutation(), Permut32::identity(n));
        EXPECT_EQ(sym.get_orderinfo().n_eqclasses(), 1u);
    }

    // Keys (re, im of 2^q; re, im of all-but-q): qubit 1 has the smallest first
    // part, qubits 0 and 2 tie on it and split on the third part, where -0.1
    // orders after 0.5.
    std::vector<double> re(8, 0.0), im(8, 0.0);
    re[1] = 0.2;   // only qubit 0
    re[2] = 0.1;   // only qubit 1
    re[4] = 0.2;   // only qubit 2
    re[6] = -0.1;  // all but qubit 0
    re[3] = 0.5;   // all but qubit 2
    const StateVec s = make(re, im);
    OrderInfo o = s.get_orderinfo();
    EXPECT_EQ(as_u64(o.permut()), (std::vector<std::uint64_t>{1, 2, 0}));
    EXPECT_EQ(as_u64(o.eq_classes()), (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(s.get_permutation(), Permut32::from_iter({1, 2, 0}));

    // Relabelling moves qubit j's key to qubit p[j], so the sorted order follows p.
    StateVec r = StateVec::from_random(rng, 4);
    const Permut32 before = r.get_permutation();
    const Permut32 p = Permut32::from_iter({2, 0, 3, 1});
    r.apply_permutation(p);
    EXPECT_EQ(r.get_permutation(), p * before);
    EXPECT_PANIC(StateVec::from_random(rng, 9).get_permutation(),
                 "Permutation length must be less than or equal to 8");
}
