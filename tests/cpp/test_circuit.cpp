// Circ: construction checks, structural operations, order, hash, display and the saved form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "identity/circuit.hpp"
#include "circuit_support.hpp"
#include "panic_matchers.hpp"
#include "utils/siphash.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

// A circuit as read from storage: no constructor check.
Circ raw(std::vector<Instr32> instrs, Permut32 perm) {
    Circ c;
    c.instrs = std::move(instrs);
    c.perm = perm;
    return c;
}

// A gate of no qubits (a 1x1 matrix), the one way to get an instruction without qubit arguments.
Instr32 no_qubits() {
    Matrix m(1, 1);
    m.at(0, 0) = QComplex{0.0, 1.0};
    return Instr32(Gate16::new_("phase_i", {}, m), QArgs16());
}

std::string hex(const std::string& bytes) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        if (!s.empty()) s += ' ';
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

std::string unhex(const std::string& h) {
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 3)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace

TEST(Circuit, ConstructionChecksQubitBound) {
    EXPECT_EQ(C({}, Permut32()).nqubits(), 0u);
    EXPECT_EQ(C({}, P({1, 0})).perm, P({1, 0}));
    EXPECT_EQ(C({no_qubits()}, Permut32()).len(), 1u);
    EXPECT_EQ(C({I1("h", 2)}, Permut32::identity(3)).nqubits(), 3u);
    EXPECT_PANIC(C({I1("h", 2)}, Permut32::identity(2)),
                 "Permutation length must be greater than the max qubit index.");
    // Nothing is compacted or reordered on construction.
    Circ c = C({I1("h", 1), I1("h", 0)}, Permut32::identity(4));
    EXPECT_EQ(c.instrs[0], I1("h", 1));
    EXPECT_EQ(c.nqubits(), 4u);

    EXPECT_EQ(Circ::new_no_perm({}).perm, Permut32());
    EXPECT_EQ(Circ::new_no_perm({no_qubits()}).perm, Permut32());
    EXPECT_EQ(Circ::new_no_perm({I1("h", 0), I1("x", 3)}).perm, Permut32::identity(4));
    EXPECT_PANIC(Circ::new_no_perm({I1("h", 8)}), "Permutation length must be less than or equal to 8");
}

TEST(Circuit, IndexingAndAffectedQubits) {
    Circ c = C({I2("cx", 2, 0), I1("h", 1)}, P({0, 2, 1}));
    EXPECT_EQ(c[1], I1("h", 1));
    EXPECT_PANIC(c[2], "index out of bounds: the len is 2 but the index is 2");
    EXPECT_EQ(c.affected_qubits(), (std::vector<std::uint8_t>{2, 0, 1, 1, 2}));
}

TEST(Circuit, CompactQubits) {
    struct Case {
        Circ in;
        Permut32 want;
    };
    const Case cases[] = {
        {C({I1("h", 0)}, Permut32::identity(3)), Permut32::identity(1)},
        {C({I1("h", 0)}, P({0, 2, 1})), P({0, 2, 1})},
        {C({I1("h", 1)}, P({1, 0, 2, 3})), P({1, 0})},
        {C({}, P({0, 1, 2})), P({0, 1, 2})},
        {C({}, P({2, 1, 0})), P({2, 1, 0})},
        {C({no_qubits()}, Permut32::identity(3)), Permut32::identity(3)},
        {C({no_qubits()}, P({0, 2, 1, 3})), P({0, 2, 1})},
    };
    for (const Case& k : cases) {
        Circ out = k.in.compact_qubits();
        EXPECT_EQ(out.perm.raw, k.want.raw) << k.in.to_string();
        EXPECT_EQ(out.instrs, k.in.instrs);
    }
}

TEST(Circuit, ReorderMovesOnlyDisjointGreaterNeighbours) {
    struct Case {
        std::vector<Instr32> in, want;
    };
    const Case cases[] = {
        {{I1("h", 1), I1("h", 0)}, {I1("h", 0), I1("h", 1)}},
        {{I2("cx", 0, 1), I1("h", 0)}, {I2("cx", 0, 1), I1("h", 0)}},  // shared qubit
        {{I1("h", 1), I2("cx", 0, 2), I1("h", 0)}, {I2("cx", 0, 2), I1("h", 0), I1("h", 1)}},
        // x(0) passes h(1), then stops at t(0), which shares its qubit.
        {{I1("h", 1), I1("t", 0), I1("x", 0)}, {I1("t", 0), I1("x", 0), I1("h", 1)}},
        // h(2) does not pass the smaller x(1); h(0) passes both.
        {{I1("x", 1), I1("h", 2), I1("h", 0)}, {I1("h", 0), I1("x", 1), I1("h", 2)}},
        {{I1("h", 2), I1("h", 1), I1("h", 0)}, {I1("h", 0), I1("h", 1), I1("h", 2)}},
        {{I1("x", 0), I1("h", 0)}, {I1("x", 0), I1("h", 0)}},
    };
    for (const Case& k : cases) EXPECT_EQ(C(k.in, Permut32::identity(3)).reorder_instrs().instrs, k.want);
}

TEST(Circuit, Permut) {
    Circ c = C({I2("cx", 0, 1), I1("h", 2)}, P({1, 2, 0}));
    Circ r = c.permut(P({2, 0, 1}));
    EXPECT_EQ(r.instrs, (std::vector<Instr32>{I2("cx", 2, 0), I1("h", 1)}));
    // Conjugation: new perm = p * s * p^-1.
    EXPECT_EQ(r.perm, (P({2, 0, 1}) * P({1, 2, 0})) * P({2, 0, 1}).inv());
    // A shorter relabelling is extended with fixed points, a longer one extends the circuit.
    EXPECT_EQ(c.permut(P({1, 0})).instrs, (std::vector<Instr32>{I2("cx", 1, 0), I1("h", 2)}));
    Circ longer = C({I1("h", 0)}, Permut32::identity(1)).permut(P({2, 1, 0}));
    EXPECT_EQ(longer.instrs, std::vector<Instr32>{I1("h", 2)});
    EXPECT_EQ(longer.perm, Permut32::identity(3));
    // Images past the relabelling's own length leave qubits beyond the circuit.
    EXPECT_PANIC(C({I1("h", 0)}, Permut32::identity(1)).permut(P({3, 5})),
                 "Permutation length must be greater than the max qubit index.");
}

TEST(Circuit, Rotate) {
    const Permut32 s = P({1, 2, 0});
    Circ c = C({I1("h", 0), I1("t", 1), I2("cx", 1, 2)}, s);
    EXPECT_EQ(c.rotate(0), c);
    EXPECT_EQ(c.rotate(1).instrs,
              (std::vector<Instr32>{I1("t", 1), I2("cx", 1, 2), I1("h", 0).permut(s.inv())}));
    EXPECT_EQ(c.rotate(-1).instrs,
              (std::vector<Instr32>{I2("cx", 1, 2).permut(s), I1("h", 0), I1("t", 1)}));
    std::vector<Instr32> all_inv, all_fwd;
    for (const Instr32& i : c.instrs) {
        all_inv.push_back(i.permut(s.inv()));
        all_fwd.push_back(i.permut(s));
    }
    EXPECT_EQ(c.rotate(3).instrs, all_inv);
    EXPECT_EQ(c.rotate(-3).instrs, all_fwd);
    EXPECT_EQ(c.rotate(2).perm, s);
    EXPECT_PANIC(c.rotate(4), "range start index 4 out of range for slice of length 3");
    EXPECT_PANIC(c.rotate(-4), "range start index 18446744073709551615 out of range for slice of length 3");
    EXPECT_PANIC(c.rotate(INT64_MIN), "range start index 9223372036854775811 out of range for slice of length 3");
    EXPECT_PANIC(C({}, Permut32()).rotate(1), "range start index 1 out of range for slice of length 0");
}

TEST(Circuit, RemoveSwaps) {
    const Gate16 swap = gates::SWAP();
    Circ single = C({Instr32(swap, QArgs16::two(0, 1))}, Permut32::identity(2)).remove_swaps();
    EXPECT_TRUE(single.is_empty());
    EXPECT_EQ(single.perm, P({1, 0}));

    Circ later = C({Instr32(swap, QArgs16::two(0, 1)), I1("h", 0), I2("cx", 0, 2)}, P({0, 2, 1}))
                     .remove_swaps();
    EXPECT_EQ(later.instrs, (std::vector<Instr32>{I1("h", 1), I2("cx", 1, 2)}));
    EXPECT_EQ(later.perm, P({0, 2, 1}) * P({1, 0, 2}).inv());

    EXPECT_PANIC(raw({Instr32(swap, QArgs16::one(0))}, Permut32::identity(2)).remove_swaps(),
                 "Index out of bounds");
    EXPECT_PANIC(raw({Instr32(swap, QArgs16::two(0, 2))}, Permut32::identity(2)).remove_swaps(),
                 "index out of bounds: the len is 2 but the index is 2");
    EXPECT_PANIC(raw({I1("h", 5)}, Permut32::identity(2)).remove_swaps(),
                 "index out of bounds: the len is 2 but the index is 5");
}

TEST(Circuit, InverseAdditionAndSwaps) {
    Circ c = C({I1("t", 0), I2("cx", 0, 1)}, P({1, 0}));
    Circ inv = c.inverse();
    EXPECT_EQ(inv.instrs, (std::vector<Instr32>{I2("cx", 1, 0), I1("tdg", 1)}));
    EXPECT_EQ(inv.perm, P({1, 0}));

    Circ a = C({I1("h", 1)}, P({1, 0}));
    Circ b = C({I1("t", 0), I1("x", 2)}, P({0, 2, 1}));
    Circ sum = a + b;
    // a first, unchanged; b relabelled by a's inverse, a's permutation given the fixed point 2.
    EXPECT_EQ(sum.instrs, (std::vector<Instr32>{I1("h", 1), I1("t", 1), I1("x", 2)}));
    EXPECT_EQ(sum.perm, P({0, 2, 1}) * P({1, 0, 2}));
    EXPECT_EQ((b + a).perm, P({1, 0, 2}) * P({0, 2, 1}));

    Circ with = C({I1("h", 0)}, P({2, 0, 1}));
    const Gate16 swap = gates::SWAP();
    EXPECT_EQ(with.instrs_with_swaps(),
              (std::vector<Instr32>{I1("h", 0), Instr32(swap, QArgs16::two(0, 2)),
                                    Instr32(swap, QArgs16::two(0, 1))}));
    EXPECT_EQ(C({I1("h", 0)}, Permut32::identity(1)).instrs_with_swaps(), std::vector<Instr32>{I1("h", 0)});
}

TEST(Circuit, Order) {
    // Ascending: count first, then instructions (qubits, then gate), then the word.
    const std::vector<Circ> ascending = {
        C({}, Permut32()),
        C({}, P({1, 0})),
        C({}, Permut32::identity(2)),
        C({I2("cx", 0, 1)}, Permut32::identity(2)),
        C({I1("h", 0)}, Permut32::identity(1)),
        C({I1("h", 0)}, P({1, 0})),
        C({I1("h", 0)}, Permut32::identity(2)),
        C({I1("x", 0)}, Permut32::identity(1)),
        C({I1("h", 1)}, Permut32::identity(2)),
        C({I1("x", 7)}, Permut32::identity(8)),
        C({I1("h", 0), I1("h", 0)}, Permut32::identity(1)),
    };
    for (std::size_t i = 0; i < ascending.size(); ++i)
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            EXPECT_EQ(ascending[i] <=> ascending[j], i <=> j) << i << " " << j;
            EXPECT_EQ(ascending[i] == ascending[j], i == j);
        }
}

TEST(Circuit, StableHash) {
    // Twelve zero bytes: count 0 (8 bytes), permutation word 0 (4 bytes).
    EXPECT_EQ(C({}, Permut32()).stable_hash(), siphash13(std::string(12, '\0').data(), 12));
    // cx(0, 1) on the identity of 2: count, gate index 9, the count 2, both qubits, the word.
    const unsigned char bytes[] = {1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 2, 0, 0, 0, 0, 0,
                                   0, 0, 0, 1, 0x08, 0, 0, 0x02};
    EXPECT_EQ(C({I2("cx", 0, 1)}, Permut32::identity(2)).stable_hash(), siphash13(bytes, sizeof bytes));
    EXPECT_NE(C({}, P({1, 0})).stable_hash(), C({}, Permut32::identity(2)).stable_hash());
}

TEST(Circuit, DisplayAndDebug) {
    EXPECT_EQ(C({}, Permut32()).to_string(), "Circuit { () }");
    Circ c = C({I1("h", 0), I2("cx", 0, 1)}, Permut32::identity(2));
    EXPECT_EQ(c.to_string(), "Circuit { h(0) cx(0, 1) (0 1) }");
    EXPECT_EQ(c.debug(), "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }");
    EXPECT_EQ(C({}, Permut32()).debug(), "Circ { instrs: [], perm: () }");
    EXPECT_EQ(C({I1("rz(pi/3)", 2)}, P({2, 0, 1})).to_string(), "Circuit { rz(pi/3)(2) (2 0 1) }");
}

TEST(CircuitSavedForm, ExampleBytesAndRoundTrip) {
    Circ c = C({I1("h", 0), I2("cx", 0, 1)}, Permut32::identity(2));
    postcard::Writer w;
    c.serialize(w);
    EXPECT_EQ(hex(w.bytes()), "02 01 68 00 ff 02 63 78 00 01 88 80 80 10");
    postcard::Writer e;
    C({}, Permut32()).serialize(e);
    EXPECT_EQ(hex(e.bytes()), "00 00");

    const std::vector<Circ> samples = {
        c, C({}, Permut32()), C({}, P({1, 0})),
        C({I1("rz(-pi/16)", 3), I2("swap", 2, 0), I1("tdg", 1)}, P({3, 1, 0, 2})),
        C({I1("x", 7)}, Permut32::identity(8)),
    };
    for (const Circ& s : samples) {
        postcard::Writer out;
        s.serialize(out);
        postcard::Reader in(out.bytes());
        EXPECT_EQ(Circ::deserialize(in), s);
        EXPECT_EQ(in.remaining(), 0u);
    }
    // Unchecked contents read back as they are: a first slot of 255, a qubit past the length.
    for (const Circ& s : {raw({Instr32(G("h"), QArgs16(255, 0))}, Permut32::identity(1)),
                          raw({I1("h", 7)}, Permut32::identity(2))}) {
        postcard::Writer out;
        s.serialize(out);
        postcard::Reader in(out.bytes());
        EXPECT_EQ(Circ::deserialize(in), s);
    }
}

TEST(CircuitSavedForm, MalformedInputs) {
    const std::string example = unhex("02 01 68 00 ff 02 63 78 00 01 88 80 80 10");
    // Every proper prefix of a valid circuit runs out of data.
    for (std::size_t n = 0; n < example.size(); ++n) {
        postcard::Reader r(std::string_view(example).substr(0, n));
        try {
            Circ::deserialize(r);
            ADD_FAILURE() << "prefix " << n << " was accepted";
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), postcard::kEndOfBuffer) << n;
        }
    }
    struct Case {
        const char* bytes;
        const char* error;
    };
    const Case cases[] = {
        // a count the input cannot hold is refused up front
        {"ff ff ff ff ff ff ff ff 7f 00", postcard::kEndOfBuffer},
        {"ff ff ff ff ff ff ff ff ff ff 01", postcard::kBadVarint},
        {"01 01 ff 00 ff 00", postcard::kBadUtf8},
        {"01 01 68 08 ff 00", "Qubit index must be less than 8"},
        {"01 01 68 00 fe 00", "Qubit index must be less than 8"},
        {"00 80 80 80 80 10", postcard::kBadVarint},            // word past 32 bits
        {"00 ff ff ff ff ff", postcard::kBadVarint},            // varint that does not end
        {"00 80 80 80 48", "Permutation length must be less than or equal to 8"},  // length 9
        {"00 80 80 80 10", "Permutation values must be unique"},                    // (0 0)
        {"00 c8 80 80 10", "Permutation word holds images past its length"},        // (0 1) + image 1 at 2
        // images at or past the length: they name qubits the circuit does not have
        {"00 9c 80 80 10", "Permutation values must be less than its length: (4 3)"},
        {"00 81 80 80 08", "Permutation values must be less than its length: (1)"},
        {"00 c8 81 80 18", "Permutation values must be less than its length: (0 1 3)"},
    };
    for (const Case& k : cases) {
        const std::string bytes = unhex(std::string(k.bytes) + " ");
        postcard::Reader r(bytes);
        try {
            Circ c = Circ::deserialize(r);
            ADD_FAILURE() << k.bytes << " was read as " << c.debug();
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), k.error) << k.bytes;
        }
    }
    const std::string unknown = unhex("01 03 66 6f 6f 00 ff 00 ");
    postcard::Reader r(unknown);
    EXPECT_PANIC(Circ::deserialize(r), "Failed to deserialize Gate16 from foo");
}
