// Gate table: built-ins, matrix hashes, registration and merging, adjoints, lookup, display.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "circ/gate.hpp"
#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"

using namespace brimsel;

namespace {

Matrix x_matrix(double eps = 0.0) {
    return Matrix::from_rows(2, {QComplex{eps, 0.0}, QComplex{1.0 + eps, 0.0},
                                 QComplex{1.0 + eps, 0.0}, QComplex{eps, 0.0}});
}

Matrix identity2() {
    return Matrix::from_rows(2, {QComplex{1.0, 0.0}, QComplex{}, QComplex{}, QComplex{1.0, 0.0}});
}

}  // namespace

TEST(Gates, BuiltinsAndNamedConstants) {
    const char* names[] = {"i",  "h",    "x",    "z",    "y",      "s",        "sdg",     "t",
                           "tdg", "cx",  "cz",   "cy",   "cs",     "csdg",     "swap",    "t1/2",
                           "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)",
                           "rz(-pi/16)"};
    for (std::uint16_t i = 0; i < 23; ++i) {
        EXPECT_EQ(Gate16(i).to_string(), names[i]);
        EXPECT_EQ(Gate16::from_name(names[i]), Gate16(i));
    }
    EXPECT_EQ(Gate16(17).debug(), "Gate(17 -> rz(pi/3))");
    EXPECT_EQ(Gate16(1).debug(), "Gate(1 -> h)");
    EXPECT_EQ(Gate16::from_name("rz"), std::nullopt);
    EXPECT_EQ(Gate16::from_name(""), std::nullopt);
    EXPECT_EQ(Gate16::from_name("rz(pi / 3)"), std::nullopt);
    EXPECT_EQ(Gate16::from_name("RZ(pi/3)"), std::nullopt);

    EXPECT_EQ(gates::H().index, 1);
    EXPECT_EQ(gates::X().index, 2);
    EXPECT_EQ(gates::Z().index, 3);
    EXPECT_EQ(gates::S().index, 5);
    EXPECT_EQ(gates::SDG().index, 6);
    EXPECT_EQ(gates::T().index, 7);
    EXPECT_EQ(gates::TDG().index, 8);
    EXPECT_EQ(gates::CX().index, 9);
    EXPECT_EQ(gates::SWAP().index, 14);
    EXPECT_EQ(Gate16(9).nqargs(), 2u);
    EXPECT_EQ(Gate16(7).nqargs(), 1u);

    // The 23 matrix hashes are all different.
    std::vector<std::uint64_t> hashes;
    for (const GateData& d : initial_gates()) hashes.push_back(d.hash_value());
    std::sort(hashes.begin(), hashes.end());
    EXPECT_EQ(std::unique(hashes.begin(), hashes.end()), hashes.end());
}

TEST(Gates, MatrixHashes) {
    EXPECT_EQ(GateData::new_("i", {}, identity2()).hash_value(), 0x0C1E926C6353FBB8ull);
    EXPECT_EQ(GateData::new_("x", {}, x_matrix()).hash_value(), 0x07F8C66AB8A3571Eull);
    // Name and parameters do not enter.
    EXPECT_EQ(GateData::new_("other", {"a"}, identity2()).hash_value(), 0x0C1E926C6353FBB8ull);
    Matrix neg = identity2();
    neg.at(0, 1).im = Qreal(-0.0);
    EXPECT_EQ(GateData::new_("i", {}, neg).hash_value(), 0x0C1E926C6353FBB8ull);
}

TEST(Gates, ExactBuiltinEntries) {
    Matrix t = Gate16(7).matrix_copy();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(t.at(1, 1).re.value), 0x3FE6A09E667F3BCDull);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(t.at(1, 1).im.value), 0x3FE6A09E667F3BCCull);
    Matrix cx = Gate16(9).matrix_copy();
    EXPECT_EQ(cx.at(2, 3).re.value, 1.0);
    EXPECT_EQ(cx.at(3, 2).re.value, 1.0);
    EXPECT_EQ(cx.at(2, 2).re.value, 0.0);
    Matrix sw = Gate16(14).matrix_copy();
    EXPECT_EQ(sw.at(1, 2).re.value, 1.0);
    EXPECT_EQ(sw.at(2, 1).re.value, 1.0);
}

TEST(Gates, RegistrationMerges) {
    const std::size_t before = gate_table::size();
    EXPECT_EQ(Gate16::new_("myx", {}, x_matrix()), Gate16(2));
    EXPECT_EQ(Gate16::new_("myx", {}, x_matrix(1e-9)), Gate16(2));
    EXPECT_EQ(gate_table::size(), before);
    EXPECT_EQ(Gate16(2).to_string(), "x");

    Gate16 shifted = Gate16::new_("xe", {}, x_matrix(1e-6));
    EXPECT_EQ(shifted.index, before);
    EXPECT_EQ(gate_table::size(), before + 1);

    // A new gate named like a built-in: lookup by text still finds the built-in.
    Matrix m = identity2();
    m.at(1, 1) = QComplex{0.6, 0.8};
    Gate16 h2 = Gate16::new_("h", {}, m);
    EXPECT_GT(h2.index, 22);
    EXPECT_EQ(Gate16::from_name("h"), Gate16(1));

    Gate16 scalar = Gate16::new_("phase", {}, Matrix::from_rows(1, {QComplex{0.0, 1.0}}));
    EXPECT_EQ(scalar.nqargs(), 0u);
}

TEST(Gates, RegistrationChecks) {
    const std::size_t before = gate_table::size();
    EXPECT_PANIC(Gate16::new_("a", {}, Matrix(0, 0)),
                 "Matrix must have a number of rows that is a power of two");
    EXPECT_PANIC(Gate16::new_("a", {}, Matrix(3, 3)),
                 "Matrix must have a number of rows that is a power of two");
    EXPECT_PANIC(Gate16::new_("a", {}, Matrix(3, 4)),
                 "Matrix must have a number of rows that is a power of two");
    EXPECT_PANIC(Gate16::new_("a", {}, Matrix(2, 4)), "Matrix must be squared");
    EXPECT_PANIC(Gate16::new_("a", {}, Matrix(4, 2)), "Matrix must be squared");
    EXPECT_EQ(gate_table::size(), before);
    EXPECT_PANIC(Gate16::deserialize("nosuchgate"), "Failed to deserialize Gate16 from nosuchgate");
    EXPECT_EQ(Gate16::deserialize("rz(pi/3)"), Gate16(17));
}

TEST(Gates, Adjoints) {
    const std::uint16_t expected[] = {0, 1, 2, 3, 4, 6, 5, 8, 7, 9, 10, 11,
                                      13, 12, 14, 16, 15, 18, 17, 20, 19, 22, 21};
    const std::size_t before = gate_table::size();
    for (std::uint16_t i = 0; i < 23; ++i) EXPECT_EQ(Gate16(i).adjoint().index, expected[i]) << i;
    EXPECT_EQ(gate_table::size(), before);
    EXPECT_EQ(gate_table::with_entry(7, [](const GateData& d) { return d.adjoint; }),
              std::optional<std::uint16_t>(8));

    // A gate without a partner gets a new, daggered entry; its adjoint is the gate again.
    Matrix u = Matrix::from_rows(2, {QComplex{0.6, 0.0}, QComplex{0.0, 0.8}, QComplex{0.8, 0.0},
                                     QComplex{0.0, -0.6}});
    Gate16 g = Gate16::new_("u", {"a"}, u);
    Gate16 adj = g.adjoint();
    EXPECT_NE(adj, g);
    EXPECT_EQ(adj.to_string(), "u\xE2\x80\xA0(a)");
    EXPECT_EQ(adj.adjoint(), g);
    Matrix am = adj.matrix_copy();
    EXPECT_EQ(am.at(0, 1).im.value, -0.0);
    EXPECT_TRUE(std::signbit(am.at(0, 0).im.value));  // 0.0 became -0.0
    const std::size_t after = gate_table::size();
    EXPECT_EQ(g.adjoint(), adj);  // cached: nothing registered
    EXPECT_EQ(gate_table::size(), after);
}

TEST(Gates, ConcurrentRegistrationAndAdjoints) {
    // Many threads registering the same new matrix get one entry.
    Matrix m = identity2();
    m.at(1, 1) = QComplex{0.28, 0.96};
    std::vector<std::thread> threads;
    std::vector<Gate16> got(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 200; ++k) {
                got[static_cast<std::size_t>(i)] = Gate16::new_("p", {}, m);
                (void)Gate16(static_cast<std::uint16_t>(k % 23)).adjoint();
                (void)Gate16(1).to_string();
            }
        });
    for (auto& t : threads) t.join();
    for (Gate16 g : got) EXPECT_EQ(g, got[0]);
}
