// IdentityCirc: the randomised check, wire neighbours, hash, display and saved form.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "identity/idcircuit.hpp"
#include "circuit_support.hpp"
#include "panic_matchers.hpp"
#include "utils/siphash.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

IdentityCirc Id(std::vector<Instr32> instrs, Permut32 perm) { return IdentityCirc::new_(C(std::move(instrs), perm)); }

// The check either passes or fails with the not-identity message.
bool passes(const IdentityCirc& c) {
    try {
        return c.check();
    } catch (const Panic& p) {
        EXPECT_EQ(p.message().rfind("IdentityCirc: circuit is not identity [", 0), 0u) << p.message();
        EXPECT_NE(p.message().find("] " + c.to_string()), std::string::npos) << p.message();
        return false;
    }
}

}  // namespace

TEST(IdentityCircCheck, ListedCases) {
    struct Case {
        const char* what;
        IdentityCirc c;
        bool identity;
    };
    const Gate16 swap = gates::SWAP();
    const Case cases[] = {
        {"empty, empty permutation", Id({}, Permut32()), true},
        {"empty, identity of 3", Id({}, Permut32::identity(3)), true},
        {"empty, exchange", Id({}, P({1, 0})), false},
        {"gate and adjoint", Id({I1("t", 0), I1("tdg", 0)}, Permut32::identity(1)), true},
        {"gate twice", Id({I1("t", 0), I1("t", 0)}, Permut32::identity(1)), false},
        {"one self-inverse gate", Id({I1("h", 0)}, Permut32::identity(1)), false},
        {"odd count, middle on the adjoint side", Id({I1("t", 0), I1("t", 0), I1("sdg", 0)}, Permut32::identity(1)),
         true},
        {"odd count, not identity", Id({I1("t", 0), I1("t", 0), I1("s", 0)}, Permut32::identity(1)), false},
        {"global phase only", Id({I1("x", 0), I1("z", 0), I1("x", 0), I1("z", 0)}, Permut32::identity(1)), true},
        {"swap undone by the permutation", Id({Instr32(swap, QArgs16::two(0, 1))}, P({1, 0})), true},
        {"swap alone", Id({Instr32(swap, QArgs16::two(0, 1))}, Permut32::identity(2)), false},
        {"cx with the control on the other wire", Id({I2("cx", 0, 1), I2("cx", 1, 0)}, Permut32::identity(2)),
         false},
        {"three cx make a swap", Id({I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1)}, P({1, 0})), true},
        {"three cx, permutation on the wrong side", Id({I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1)},
                                                       Permut32::identity(2)), false},
        {"h on an idle wire of 3", Id({I1("h", 2), I1("h", 2)}, Permut32::identity(3)), true},
    };
    for (const Case& k : cases) EXPECT_EQ(passes(k.c), k.identity) << k.what;
}

TEST(IdentityCircCheck, RandomIdentitiesPassAndNearMissesFail) {
    std::mt19937_64 gen(42);
    for (int round = 0; round < 60; ++round) {
        const std::size_t n = 1 + round % 5;
        Circ c = random_circuit(gen, n, 1 + round % 7);
        Circ id = c + c.inverse();
        // The trailing permutation must be the inverse relabelling of the body.
        Circ moved = id.rotate(round % static_cast<int>(id.len() + 1));
        EXPECT_TRUE(passes(IdentityCirc::new_(moved))) << moved.debug();
        EXPECT_TRUE(passes(IdentityCirc::new_(moved.permut(Permut32::all(n)[round % Permut32::all(n).size()]))));
        // One more T somewhere breaks it.
        Circ broken = moved;
        broken.instrs.insert(broken.instrs.begin() + static_cast<long>(round % (broken.len() + 1)), I1("t", 0));
        EXPECT_FALSE(passes(IdentityCirc::new_(broken))) << broken.debug();
    }
}

TEST(IdentityCircCheck, RefusesPermutationsThatAreNoBijection) {
    // (3 5) passes the validating construction but moves qubits outside the circuit.
    EXPECT_PANIC(Id({}, P({3, 5})).check(),
                 "IdentityCirc: trailing permutation (3 5) is not a permutation of its qubits Identity { (3 5) }");
    IdentityCirc repeated = IdentityCirc::new_([] {
        Circ c;
        c.perm = Permut32::from_raw(0x02000000);  // (0 0), as unchecked storage could hold
        return c;
    }());
    EXPECT_PANIC(repeated.check(),
                 "IdentityCirc: trailing permutation (0 0) is not a permutation of its qubits Identity { (0 0) }");
}

TEST(IdentityCircCheck, UncheckedConstructorChecks) {
    EXPECT_EQ(IdentityCirc::unchecked(C({I1("s", 0), I1("sdg", 0)}, Permut32::identity(1))).len(), 2u);
    EXPECT_THROW(IdentityCirc::unchecked(C({I1("s", 0)}, Permut32::identity(1))), Panic);
    // The plain constructor does not check.
    EXPECT_EQ(IdentityCirc::new_(C({I1("s", 0)}, Permut32::identity(1))).len(), 1u);
}

TEST(IdentityCircWires, ForwardAndBackward) {
    IdentityCirc pair = Id({I1("t", 0), I1("tdg", 0)}, Permut32::identity(1));
    EXPECT_EQ(pair.qargs_forward(0), std::vector<std::uint64_t>{1});
    EXPECT_EQ(pair.qargs_forward(1), std::vector<std::uint64_t>{0});
    EXPECT_EQ(pair.qargs_backward(0), std::vector<std::uint64_t>{1});
    EXPECT_EQ(pair.qargs_backward(1), std::vector<std::uint64_t>{0});

    // 0: cx(0, 1)  1: h(0)  2: t(1)  3: cx(0, 1)  4: tdg(1)  5: h(0)
    IdentityCirc c = Id({I2("cx", 0, 1), I1("h", 0), I1("t", 1), I2("cx", 0, 1), I1("tdg", 1), I1("h", 0)},
                        Permut32::identity(2));
    EXPECT_EQ(c.qargs_forward(0), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(c.qargs_backward(0), (std::vector<std::uint64_t>{5, 4}));
    EXPECT_EQ(c.qargs_forward(3), (std::vector<std::uint64_t>{5, 4}));
    EXPECT_EQ(c.qargs_backward(3), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(c.qargs_forward(5), std::vector<std::uint64_t>{0});   // around the end
    EXPECT_EQ(c.qargs_backward(1), std::vector<std::uint64_t>{0});

    // Across the end through the permutation: h(0), three cx that exchange the wires, h(1), (1 0).
    // The wire leaving qubit 1 at the end comes back on qubit 0.
    IdentityCirc swapped =
        Id({I1("h", 0), I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1), I1("h", 1)}, P({1, 0}));
    EXPECT_EQ(swapped.qargs_forward(4), std::vector<std::uint64_t>{0});
    EXPECT_EQ(swapped.qargs_forward(0), std::vector<std::uint64_t>{1});
    EXPECT_EQ(swapped.qargs_backward(0), std::vector<std::uint64_t>{4});
    EXPECT_EQ(swapped.qargs_backward(4), std::vector<std::uint64_t>{3});
    EXPECT_EQ(swapped.qargs_forward(2), (std::vector<std::uint64_t>{3, 3}));

    // Nothing else on the wire: the instruction itself.
    IdentityCirc lone = Id({I1("h", 0), I1("x", 1), I1("h", 0), I1("x", 1)}, Permut32::identity(2));
    EXPECT_EQ(lone.qargs_forward(1), std::vector<std::uint64_t>{3});
    IdentityCirc self = Id({I1("z", 0), I1("x", 1), I1("x", 1)}, Permut32::identity(2));
    EXPECT_EQ(self.qargs_forward(0), std::vector<std::uint64_t>{0});
    EXPECT_EQ(self.qargs_backward(0), std::vector<std::uint64_t>{0});
}

TEST(IdentityCircWires, Failures) {
    IdentityCirc c = Id({I1("h", 0), I1("h", 0)}, Permut32::identity(1));
    EXPECT_PANIC(c.qargs_forward(2), "index out of bounds: the len is 2 but the index is 2");
    EXPECT_PANIC(c.qargs_backward(5), "index out of bounds: the len is 2 but the index is 5");
    EXPECT_PANIC(Id({}, Permut32()).qargs_forward(0), "index out of bounds: the len is 0 but the index is 0");
    // A wire that meets nothing in a whole turn (not an identity: the check never ran).
    IdentityCirc lost = Id({I1("h", 0)}, P({1, 0}));
    EXPECT_PANIC(lost.qargs_forward(0), "Identity { h(0) (1 0) } [18446744073709551615]");
    EXPECT_PANIC(lost.qargs_backward(0),
                 "a Identity { h(0) (1 0) } Circ { instrs: [h(1)], perm: (1 0) } 0");
}

TEST(IdentityCircValue, HashDisplayOrderAndSavedForm) {
    EXPECT_EQ(Id({}, Permut32()).hash_value(), siphash13(std::string(12, '\0').data(), 12));
    IdentityCirc hh = Id({I1("h", 0), I1("h", 0)}, Permut32::identity(1));
    EXPECT_EQ(hh.hash_value(), hh.circ.stable_hash());
    EXPECT_EQ(hh.to_string(), "Identity { h(0) h(0) (0) }");
    EXPECT_EQ(hh.debug(), "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })");
    EXPECT_EQ(Id({}, Permut32()).to_string(), "Identity { () }");
    EXPECT_EQ(hh.nqubits(), 1u);

    IdentityCirc four = Id({I1("x", 0), I1("x", 0), I1("x", 0), I1("x", 0)}, Permut32::identity(1));
    EXPECT_LT(Id({I2("cx", 0, 1), I2("cx", 0, 1)}, Permut32::identity(2)), four);
    EXPECT_LT(hh, Id({I1("x", 0), I1("x", 0)}, Permut32::identity(1)));
    EXPECT_EQ(hh, Id({I1("h", 0), I1("h", 0)}, Permut32::identity(1)));

    postcard::Writer w;
    hh.serialize(w);
    postcard::Writer wc;
    hh.circ.serialize(wc);
    EXPECT_EQ(w.bytes(), wc.bytes());
    postcard::Reader r(w.bytes());
    EXPECT_EQ(IdentityCirc::deserialize(r), hh);
    // Reading does not check: a non-identity reads back as it was written.
    IdentityCirc odd = Id({I1("h", 0)}, Permut32::identity(1));
    postcard::Writer wo;
    odd.serialize(wo);
    postcard::Reader ro(wo.bytes());
    EXPECT_EQ(IdentityCirc::deserialize(ro), odd);
}
