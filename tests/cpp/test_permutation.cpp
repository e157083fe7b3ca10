// Permutation words: construction, algebra, Heap's order, sorting networks.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <vector>

#include "groups/permutation.hpp"
#include "panic_matchers.hpp"

using namespace brimsel;

namespace {

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }

}  // namespace

TEST(Permut32, Words) {
    EXPECT_EQ(Permut32::identity(3).raw, 0x03000088u);
    EXPECT_EQ(P({0, 2, 1}).raw, 0x03000050u);
    EXPECT_EQ(Permut32::identity(8).raw, 0x08FAC688u);
    EXPECT_EQ(Permut32::identity(8).len(), 8u);
    EXPECT_EQ(Permut32::identity(0).raw, 0u);
    EXPECT_EQ(P({1, 0}).raw, 0x02000001u);
    EXPECT_EQ(P({3, 5}).images(), (std::vector<std::uint8_t>{3, 5}));
    EXPECT_EQ(P({0, 2, 1}).to_string(), "(0 2 1)");
    EXPECT_EQ(Permut32().to_string(), "()");
}

TEST(Permut32, Failures) {
    EXPECT_PANIC(Permut32::identity(9), "Permutation length must be less than or equal to 8");
    EXPECT_PANIC(P({0, 8}), "Permutation values must be less than 8");
    EXPECT_PANIC(P({1, 1}), "Permutation values must be unique");
    EXPECT_PANIC(Permut32::identity(2).at(8), "assertion failed: idx < 8");
    EXPECT_PANIC(Permut32::identity(2) * Permut32::identity(3),
                 "assertion failed: self.len() == other.len()");
    EXPECT_PANIC(Permut32::all(9), "index out of bounds: the len is 9 but the index is 9");
}

TEST(Permut32, Algebra) {
    EXPECT_EQ((P({1, 2, 0}) * P({0, 2, 1})).images(), (std::vector<std::uint8_t>{1, 0, 2}));
    EXPECT_EQ((Permut32() * Permut32()).raw, 0u);
    EXPECT_EQ(P({1, 2, 0}).inv().images(), (std::vector<std::uint8_t>{2, 0, 1}));
    EXPECT_EQ(Permut32().inverse().raw, 0u);
    auto [a, b] = Permut32::coordinate_permute(P({1, 0}), P({2, 0, 1}));
    EXPECT_EQ(a.images(), (std::vector<std::uint8_t>{1, 0, 2}));
    EXPECT_EQ(b.images(), (std::vector<std::uint8_t>{2, 0, 1}));
    EXPECT_EQ(P({1, 0}).at(5), 0);
    EXPECT_EQ(P({1, 0}).permut_bv(0b01), 0b10u);
    EXPECT_EQ(Permut32().permut_bv(0b1011), 0u);
    EXPECT_EQ(Permut32::from_iter_with_ext(4, 0b1010).images(),
              (std::vector<std::uint8_t>{1, 3, 2, 0}));
    EXPECT_EQ(Permut32::from_iter_with_ext(4, 0), Permut32::identity(4));
    EXPECT_TRUE(Permut32().is_identity());
    EXPECT_FALSE(P({1, 0}).is_identity());
    Permut32 s = P({0, 1, 2});
    s.swap_inputs(0, 2);
    EXPECT_EQ(s.images(), (std::vector<std::uint8_t>{2, 1, 0}));

    // Inverse and composition agree with their definitions on every permutation of 4.
    for (Permut32 p : Permut32::all(4)) {
        EXPECT_TRUE((p * p.inv()).is_identity());
        for (Permut32 q : Permut32::all(4))
            for (std::size_t i = 0; i < 4; ++i) ASSERT_EQ((p * q).at(i), p.at(q.at(i)));
    }
}

TEST(Permut32, Order) {
    std::vector<Permut32> v = {Permut32::identity(2), P({1, 0}), Permut32::identity(1),
                               Permut32()};
    std::sort(v.begin(), v.end());
    EXPECT_EQ(v[0], Permut32());
    EXPECT_EQ(v[1], Permut32::identity(1));
    EXPECT_EQ(v[2], P({1, 0}));  // the exchange orders before the identity
    EXPECT_EQ(v[3], Permut32::identity(2));
}

TEST(Permut32, HeapOrder) {
    const std::size_t sizes[] = {1, 1, 2, 6, 24, 120, 720, 5040, 40320};
    for (std::size_t n = 0; n <= 8; ++n) {
        const auto& row = Permut32::all(n);
        ASSERT_EQ(row.size(), sizes[n]);
        EXPECT_EQ(row.front(), Permut32::identity(n));
        std::set<std::uint32_t> distinct;
        for (Permut32 p : row) {
            EXPECT_EQ(p.len(), n);
            distinct.insert(p.raw);
        }
        EXPECT_EQ(distinct.size(), sizes[n]);
    }
    std::vector<std::vector<std::uint8_t>> row3;
    for (Permut32 p : Permut32::all(3)) row3.push_back(p.images());
    EXPECT_EQ(row3, (std::vector<std::vector<std::uint8_t>>{
                        {0, 1, 2}, {1, 0, 2}, {2, 0, 1}, {0, 2, 1}, {1, 2, 0}, {2, 1, 0}}));
    std::vector<std::vector<std::uint8_t>> row4;
    for (std::size_t i = 0; i < 8; ++i) row4.push_back(Permut32::all(4)[i].images());
    EXPECT_EQ(row4, (std::vector<std::vector<std::uint8_t>>{{0, 1, 2, 3},
                                                            {1, 0, 2, 3},
                                                            {2, 0, 1, 3},
                                                            {0, 2, 1, 3},
                                                            {1, 2, 0, 3},
                                                            {2, 1, 0, 3},
                                                            {3, 1, 0, 2},
                                                            {1, 3, 0, 2}}));
}

TEST(Permut32, SortingNetworks) {
    using Swaps = std::vector<std::pair<std::uint8_t, std::uint8_t>>;
    EXPECT_EQ(P({2, 0, 1}).generate_swaps(), (Swaps{{0, 2}, {0, 1}}));
    EXPECT_EQ(P({0, 2, 1}).generate_swaps(), (Swaps{{1, 2}}));
    EXPECT_EQ(P({1, 2, 3, 0}).generate_swaps(), (Swaps{{1, 3}, {0, 1}, {2, 3}}));
    EXPECT_TRUE(Permut32::identity(5).generate_swaps().empty());
    // Each network sorts every arrangement of its length.
    for (std::size_t n = 0; n <= 8; ++n) {
        for (Permut32 p : Permut32::all(n)) {
            Permut32 q = p;
            for (auto [a, b] : p.generate_swaps()) {
                ASSERT_LT(a, b);
                q.swap_inputs(a, b);
            }
            ASSERT_TRUE(q.is_identity()) << p.to_string();
        }
    }
}
