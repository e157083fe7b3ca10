// Packed instructions: order, masks, frontier masks, display, hashes, saved form.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "circ/gate/gates.hpp"
#include "circ/mod.hpp"
#include "panic_matchers.hpp"

using namespace brimsel;

namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32(g, QArgs16::one(q)); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32(g, QArgs16::two(a, b)); }

}  // namespace

TEST(Instr32, Order) {
    std::vector<Instr32> v = {one(gates::X(), 0), one(gates::H(), 1), one(gates::H(), 0),
                              two(gates::CX(), 0, 1), Instr32(gates::H(), QArgs16())};
    std::sort(v.begin(), v.end());
    EXPECT_EQ(v[0], two(gates::CX(), 0, 1));  // (0, 1) before (0, 255)
    EXPECT_EQ(v[1], one(gates::H(), 0));
    EXPECT_EQ(v[2], one(gates::X(), 0));
    EXPECT_EQ(v[3], one(gates::H(), 1));
    EXPECT_EQ(v[4], Instr32(gates::H(), QArgs16()));
}

TEST(Instr32, MasksAndQueries) {
    EXPECT_EQ(one(gates::H(), 0).arg_mask(), 1);
    EXPECT_EQ(two(gates::CX(), 1, 0).arg_mask(), 3);
    EXPECT_EQ(Instr32(gates::H(), QArgs16()).arg_mask(), 0);
    EXPECT_FALSE(one(gates::H(), 3).disjoint(two(gates::CX(), 3, 4)));
    EXPECT_TRUE(one(gates::H(), 3).disjoint(two(gates::CX(), 1, 2)));
    EXPECT_TRUE(Instr32(gates::H(), QArgs16()).disjoint(one(gates::H(), 0)));
    EXPECT_EQ(two(gates::CX(), 1, 0).position_of_qubit(0), std::optional<std::uint8_t>(1));
    EXPECT_EQ(two(gates::CX(), 1, 0).position_of_qubit(2), std::nullopt);
    EXPECT_EQ(two(gates::CX(), 2, 5).largest_qubit(), 5);

    struct Case {
        Instr32 instr;
        std::uint8_t mask;
        std::optional<std::uint8_t> result;
    } cases[] = {
        {one(gates::H(), 0), 0, 1},
        {one(gates::H(), 1), 0, std::nullopt},
        {two(gates::CX(), 0, 1), 0, 3},
        {two(gates::CX(), 1, 0), 0, std::nullopt},
        {two(gates::CX(), 1, 0), 1, 3},
        {one(gates::H(), 0), 0xFF, 0xFF},
        {one(gates::H(), 7), 0x7F, 0xFF},
        {Instr32(gates::H(), QArgs16()), 5, 5},
    };
    for (const auto& c : cases) EXPECT_EQ(c.instr.pass_mask(c.mask), c.result) << c.instr.to_string();
}

TEST(Instr32, PermutationAndAdjoint) {
    Permut32 swap = Permut32::from_iter({1, 0});
    EXPECT_EQ(one(gates::H(), 0).apply_permutation(swap), one(gates::H(), 1));
    EXPECT_EQ(one(gates::H(), 5).apply_permutation(swap), one(gates::H(), 0));
    EXPECT_PANIC(one(gates::H(), 9).permut(swap), "assertion failed: idx < 8");
    EXPECT_EQ(one(gates::T(), 2).adjoint(), one(gates::TDG(), 2));
}

TEST(Instr32, DisplayHashAndSavedForm) {
    EXPECT_EQ(two(gates::CX(), 0, 1).to_string(), "cx(0, 1)");
    EXPECT_EQ(one(Gate16(17), 2).to_string(), "rz(pi/3)(2)");
    EXPECT_EQ(Instr32(gates::H(), QArgs16()).to_string(), "h()");
    EXPECT_EQ(one(gates::H(), 0).stable_hash(), 0x5C7949229934D439ull);

    postcard::Writer w;
    two(gates::CX(), 0, 1).serialize(w);
    one(gates::H(), 3).serialize(w);
    const std::string bytes = w.take();
    EXPECT_EQ(bytes, std::string("\x02" "cx\x00\x01\x01h\x03\xFF", 9));
    postcard::Reader r(bytes);
    EXPECT_EQ(Instr32::deserialize(r), two(gates::CX(), 0, 1));
    EXPECT_EQ(Instr32::deserialize(r), one(gates::H(), 3));

    const std::string bad_qubit("\x01h\x08\xFF", 4);
    postcard::Reader rb(bad_qubit);
    EXPECT_THROW(Instr32::deserialize(rb), postcard::Error);
    const std::string cut("\x01h\x00", 3);
    postcard::Reader rc(cut);
    try {
        Instr32::deserialize(rc);
        ADD_FAILURE();
    } catch (const postcard::Error& e) {
        EXPECT_STREQ(e.what(), postcard::kEndOfBuffer);
    }
    EXPECT_PANIC(QArgs16::from_iter(std::vector<std::uint8_t>{0, 1, 2}),
                 "index out of bounds: the len is 2 but the index is 2");
}

TEST(Argument, DebugAndHash) {
    Argument q{"q", 0};
    EXPECT_EQ(q.to_string(), "q[0]");
    EXPECT_EQ(q.debug(), "Argument { regid: \"q\", index: 0 }");
    EXPECT_EQ(python_hash(q.stable_hash()), -821178323704636666LL);
    EXPECT_EQ(Argument({"a\"b\\c\n\t\x01", 3}).debug(),
              "Argument { regid: \"a\\\"b\\\\c\\n\\t\\u{1}\", index: 3 }");
    EXPECT_EQ(debug_quoted("caf\xC3\xA9 '"), "\"caf\xC3\xA9 '\"");

    Instruction cx{gates::CX(), {{"q", 0}, {"q", 1}}, {}};
    EXPECT_EQ(cx.to_string(), "cx q[0], q[1];");
    EXPECT_EQ(Instruction({gates::H(), {}, {}}).to_string(), "h ;");
    EXPECT_EQ(cx.debug(),
              "Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: \"q\", index: 0 }, "
              "Argument { regid: \"q\", index: 1 }], cargs: [] }");
}
