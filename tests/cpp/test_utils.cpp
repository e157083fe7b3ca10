// Shared utilities: shared-tail lists, the hash-addressed table, joining.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "utils/alias_list.hpp"
#include "utils/fmt_join.hpp"
#include "utils/hash_table64.hpp"
#include "utils/small_vec.hpp"

using namespace brimsel;

TEST(AliasList, SharedTails) {
    AliasArena arena;
    Instr32 a(gates::H(), QArgs16::one(0)), b(gates::X(), QArgs16::one(1)),
        c(gates::CX(), QArgs16::two(0, 1));
    AliasList la = AliasList::cons(arena, AliasList(), a);
    AliasList lb = AliasList::cons(arena, la, b);
    AliasList copy = lb;
    AliasList lc = AliasList::cons(arena, lb, c);
    EXPECT_EQ(std::vector<Instr32>(lc.begin(), lc.end()), (std::vector<Instr32>{c, b, a}));
    EXPECT_EQ(lc.to_vec(), (std::vector<Instr32>{a, b, c}));
    lc.delete_head(arena);
    EXPECT_EQ(std::vector<Instr32>(copy.begin(), copy.end()), (std::vector<Instr32>{b, a}));
    EXPECT_EQ(arena.live(), 2u);
    // A freed node is reused, and the shared tail is untouched by that.
    AliasList ld = AliasList::cons(arena, copy, a);
    EXPECT_EQ(ld.to_vec(), (std::vector<Instr32>{a, b, a}));
    EXPECT_EQ(copy.size(), 2u);
    EXPECT_TRUE(AliasList().empty());
    EXPECT_EQ(AliasList().size(), 0u);
}

TEST(AliasList, ListsOutliveTheirMaker) {
    std::shared_ptr<AliasArena> arena = std::make_shared<AliasArena>();
    AliasList kept;
    {
        auto maker = arena;  // a value that made the list and then went away
        for (int i = 0; i < 10000; ++i)
            kept = AliasList::cons(*maker, kept, Instr32(gates::H(), QArgs16::one(i % 8)));
    }
    EXPECT_EQ(kept.size(), 10000u);
}

namespace {

// A key whose stable hash can be forced, to provoke collisions.
struct Key {
    std::uint64_t hash;
    int id;
    std::uint64_t stable_hash() const { return hash; }
    friend bool operator==(const Key&, const Key&) = default;
};

}  // namespace

TEST(HashTable64, InsertReplaceAndCollide) {
    HashTable64<Key, std::string> t;
    auto [h1, old1] = t.insert({7, 1}, "a");
    EXPECT_EQ(h1, 7u);
    EXPECT_FALSE(old1);
    auto [h2, old2] = t.insert({7, 1}, "b");
    EXPECT_EQ(old2, std::optional<std::string>("a"));
    EXPECT_EQ(t.size(), 1u);
    EXPECT_PANIC(t.insert({7, 2}, "c"), "Hash collision detected in HashTable64");
    EXPECT_EQ(t.address(7)->second, "b");
    EXPECT_EQ(t.address(8), nullptr);
    EXPECT_EQ(t.find({7, 1})->second, "b");
    EXPECT_EQ(t.find({7, 2}), nullptr);
    EXPECT_EQ(t.address_or(9, {{9, 5}, "d"}).second, "d");
    EXPECT_EQ(t.address_or(9, {{9, 5}, "e"}).second, "d");
    // The key of the fallback is at hand: a different stored key is a collision.
    EXPECT_PANIC(t.address_or(9, {{9, 6}, "f"}), "Hash collision detected in HashTable64");
    t.address_mut(9)->second = "g";
    EXPECT_EQ(t.address(9)->second, "g");
}

TEST(FmtJoin, Joins) {
    std::vector<std::string> ab = {"a", "b"}, none;
    EXPECT_EQ(fmt_join(ab, {", ", "(", ")"}), "(a, b)");
    EXPECT_EQ(fmt_join(none, {", ", "(", ")"}), "");
    EXPECT_EQ(fmt_join(none, {", ", "(", ")", "empty"}), "empty");
    EXPECT_EQ(fmt_join(ab, {" "}), "a b");
}

TEST(SmallVec, InlineThenHeap) {
    SmallVec<int, 2> v;
    EXPECT_TRUE(v.empty());
    for (int i = 0; i < 100; ++i) v.push_back(i);  // spills to the heap and grows
    ASSERT_EQ(v.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(v[static_cast<std::size_t>(i)], i);
    SmallVec<int, 2> copy = v;
    copy[0] = -1;
    EXPECT_EQ(v[0], 0);  // a copy owns its elements
    SmallVec<int, 2> moved = std::move(copy);
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_EQ(moved[0], -1);
    SmallVec<int, 2> small{7, 8};
    EXPECT_EQ(small.back(), 8);
    small = v;
    EXPECT_TRUE(small == v);
    small.clear();
    EXPECT_PANIC(small.back(), "index out of bounds: the len is 0 but the index is 0");
    EXPECT_PANIC(v[100], "index out of bounds: the len is 100 but the index is 100");
}
