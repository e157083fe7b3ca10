// Gate application: index groups, the nine kernels against the dense path, dense matrices against a reference, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <complex>
#include <random>
#include <vector>

#include "circ/gate.hpp"
#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "state/gates.hpp"
#include "state/indices.hpp"
#include "state/mod.hpp"
#include "state/rng.hpp"

using namespace brimsel;

namespace {

using Qubits = std::vector<std::uint8_t>;

StateVec make(std::vector<double> re, std::vector<double> im) {
    return StateVec::new_(std::vector<Qreal>(re.begin(), re.end()),
                          std::vector<Qreal>(im.begin(), im.end()));
}

bool bit_identical(const StateVec& a, const StateVec& b) {
    if (a.len() != b.len()) return false;
    for (std::size_t k = 0; k < a.len(); ++k)
        if (std::bit_cast<std::uint64_t>(a.re()[k].value) != std::bit_cast<std::uint64_t>(b.re()[k].value) ||
            std::bit_cast<std::uint64_t>(a.im()[k].value) != std::bit_cast<std::uint64_t>(b.im()[k].value))
            return false;
    return true;
}

// Every ordered list of k distinct qubits below n.
std::vector<Qubits> arrangements(std::uint8_t n, std::size_t k) {
    std::vector<Qubits> out;
    Qubits cur;
    auto rec = [&](auto&& self) -> void {
        if (cur.size() == k) {
            out.push_back(cur);
            return;
        }
        for (std::uint8_t q = 0; q < n; ++q)
            if (std::find(cur.begin(), cur.end(), q) == cur.end()) {
                cur.push_back(q);
                self(self);
                cur.pop_back();
            }
    };
    rec(rec);
    return out;
}

// The member indices of group i as the definition builds them: pair each
// argument with its position, sort, and insert one bit at a time.
std::uint64_t member_by_definition(std::uint64_t i, const Qubits& q, std::size_t k) {
    std::vector<std::pair<std::uint8_t, std::size_t>> pairs;
    for (std::size_t m = 0; m < q.size(); ++m) pairs.emplace_back(q[m], m);
    std::sort(pairs.begin(), pairs.end());
    const std::size_t K = q.size();
    std::uint64_t x = i;
    for (auto [qubit, m] : pairs) x = insert_bit(x, qubit, (k >> (K - 1 - m)) & 1u);
    return x;
}

// out[o] = sum over c of M(row of o, c) * in[o with the argument bits set to c].
std::vector<std::complex<double>> reference_apply(const StateVec& s, const Qubits& q, const Matrix& m) {
    const std::size_t K = q.size();
    std::vector<std::complex<double>> out(s.len());
    for (std::uint64_t o = 0; o < s.len(); ++o) {
        std::size_t row = 0;
        std::uint64_t rest = o;
        for (std::size_t a = 0; a < K; ++a) {
            row |= ((o >> q[a]) & 1u) << (K - 1 - a);
            rest &= ~(std::uint64_t{1} << q[a]);
        }
        std::complex<double> acc = 0;
        for (std::size_t col = 0; col < (std::size_t{1} << K); ++col) {
            std::uint64_t in = rest;
            for (std::size_t a = 0; a < K; ++a) in |= std::uint64_t{(col >> (K - 1 - a)) & 1u} << q[a];
            const QComplex e = m.at(row, col);
            acc += std::complex<double>(e.re.value, e.im.value) *
                   std::complex<double>(s.re()[in].value, s.im()[in].value);
        }
        out[o] = acc;
    }
    return out;
}

Matrix random_matrix(std::size_t n, Rng& rng) {
    Matrix m(n, n);
    for (auto& e : m.data) e = QComplex{rng.next_f64() - 0.5, rng.next_f64() - 0.5};
    return m;
}

}  // namespace

TEST(StateIndices, InsertBitAndGroupsFollowTheDefinition) {
    EXPECT_EQ(insert_bit(0b1011, 2, 1), 0b10111u);
    EXPECT_EQ(insert_bit(0b1011, 0, 0), 0b10110u);
    EXPECT_EQ(insert_bit(0, 5, 1), 32u);

    // The first argument gives the high bit of k even when it is the lower qubit.
    QubitIndexGroups<2> g(3, std::vector<std::uint8_t>{0, 2});
    EXPECT_EQ(g.count(), 2u);
    EXPECT_EQ(g.members(0), (std::array<std::uint64_t, 4>{0, 4, 1, 5}));
    EXPECT_EQ(g.members(1), (std::array<std::uint64_t, 4>{2, 6, 3, 7}));

    for (std::uint8_t n = 1; n <= 6; ++n)
        for (std::size_t K = 1; K <= 3 && K <= n; ++K)
            for (const Qubits& q : arrangements(n, K)) {
                const std::uint64_t groups = std::uint64_t{1} << (n - K);
                std::vector<bool> seen(std::size_t{1} << n);
                for (std::uint64_t i = 0; i < groups; ++i)
                    for (std::size_t k = 0; k < (std::size_t{1} << K); ++k) {
                        std::uint64_t expected = member_by_definition(i, q, k);
                        std::uint64_t got = 0;
                        if (K == 1) got = QubitIndexGroups<1>(n, q).members(i)[k];
                        if (K == 2) got = QubitIndexGroups<2>(n, q).members(i)[k];
                        if (K == 3) got = QubitIndexGroups<3>(n, q).members(i)[k];
                        ASSERT_EQ(got, expected);
                        seen[got] = true;
                    }
                EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }))
                    << "the groups cover every amplitude once";
            }
}

TEST(StateGateFuncs, TableOfTheNineKernels) {
    const GateFuncs& f = GATE_FUNCS();
    const Gate16 order[] = {gates::H(), gates::X(),   gates::Z(),    gates::T(), gates::TDG(),
                            gates::S(), gates::SDG(), gates::SWAP(), gates::CX()};
    const GateKernel kernels[] = {&perform_h_gate,   &perform_x_gate,   &perform_z_gate,
                                  &perform_t_gate,   &perform_tdg_gate, &perform_s_gate,
                                  &perform_sdg_gate, &perform_swap_gate, &perform_cx_gate};
    ASSERT_EQ(f.entries().size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(f.entries()[i].gate, order[i]);
        EXPECT_EQ(f.entries()[i].kernel, kernels[i]);
        EXPECT_EQ(f.entries()[i].nqargs, order[i].nqargs());
        EXPECT_EQ(f.find(order[i]), kernels[i]);
    }
    for (std::uint16_t other : {0, 4, 10, 15, 22, 23, 60000}) {
        EXPECT_EQ(f.find(Gate16(other)), nullptr) << other;
    }
}

TEST(StateKernels, ExactFormulasAndSignsOfZero) {
    const double c = 0.7071067811865476;
    struct Case {
        const char* name;
        Gate16 gate;
        double re1, im1;          // amplitude 1 before (amplitude 0 is (0.25, -0.5))
        double want_re, want_im;  // amplitude 1 after
    };
    const double r0 = 0.25, m0 = -0.5;
    const Case cases[] = {
        {"h", gates::H(), 0.1, 0.2, (r0 - 0.1) * c, (m0 - 0.2) * c},
        {"x", gates::X(), -0.0, 0.3, r0, m0},
        {"z +0", gates::Z(), 0.0, 0.0, -0.0, -0.0},
        {"s (-0, +0)", gates::S(), -0.0, 0.0, -0.0, 0.0},
        {"s", gates::S(), 0.3, 0.4, 0.3 * 0.0 - 0.4, 0.4 * 0.0 + 0.3},
        {"sdg (+0, +0)", gates::SDG(), 0.0, 0.0, 0.0, -0.0},
        {"sdg (-0, -0)", gates::SDG(), -0.0, -0.0, 0.0, 0.0},
        {"t", gates::T(), 0.3, 0.4, 0.3 * c - 0.4 * c, 0.3 * c + 0.4 * c},
        {"tdg", gates::TDG(), 0.3, 0.4, 0.3 * c + 0.4 * c, 0.4 * c - 0.3 * c},
        {"tdg (-0, +0)", gates::TDG(), -0.0, 0.0, 0.0, 0.0},
    };
    for (const Case& cs : cases) {
        StateVec s = make({r0, cs.re1}, {m0, cs.im1});
        s.apply(Qubits{0}, cs.gate);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.re()[1].value), std::bit_cast<std::uint64_t>(cs.want_re))
            << cs.name << " re " << s.re()[1].value;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.im()[1].value), std::bit_cast<std::uint64_t>(cs.want_im))
            << cs.name << " im " << s.im()[1].value;
    }
    StateVec h = make({r0, 0.1}, {m0, 0.2});
    h.apply(Qubits{0}, gates::H());
    EXPECT_EQ(h.re()[0].value, (r0 + 0.1) * c);
    EXPECT_EQ(h.im()[0].value, (m0 + 0.2) * c);

    // Two-qubit kernels on (control 0, target 1): CX exchanges 1 and 3, SWAP 1 and 2.
    StateVec cx = make({0.1, 0.2, 0.3, 0.4}, {0.5, 0.6, 0.7, 0.8});
    cx.apply(Qubits{0, 1}, gates::CX());
    EXPECT_TRUE(bit_identical(cx, make({0.1, 0.4, 0.3, 0.2}, {0.5, 0.8, 0.7, 0.6})));
    StateVec sw = make({0.1, 0.2, 0.3, 0.4}, {0.5, 0.6, 0.7, 0.8});
    sw.apply(Qubits{1, 0}, gates::SWAP());
    EXPECT_TRUE(bit_identical(sw, make({0.1, 0.3, 0.2, 0.4}, {0.5, 0.7, 0.6, 0.8})));
}

TEST(StateKernels, AgreeWithTheDensePath) {
    Rng rng = Rng::from_seed(2024);
    // The permutation and sign gates and S/SDG give the dense path's bits exactly
    // (for states without zero parts); H rounds its sum once, and T/TDG use one
    // constant where the table's matrix has two, so those agree as tolerant reals.
    struct Case {
        Gate16 gate;
        bool bit_exact;
    };
    const Case cases[] = {{gates::H(), false},  {gates::X(), true},   {gates::Z(), true},
                          {gates::T(), false},  {gates::TDG(), false}, {gates::S(), true},
                          {gates::SDG(), true}, {gates::SWAP(), true}, {gates::CX(), true}};
    for (const Case& c : cases) {
        const std::size_t K = c.gate.nqargs();
        const Matrix m = c.gate.matrix_copy();
        for (std::uint8_t n = static_cast<std::uint8_t>(K); n <= 5; ++n)
            for (const Qubits& q : arrangements(n, K)) {
                const StateVec s = StateVec::from_random(rng, n);
                StateVec by_kernel = s, by_matrix = s;
                by_kernel.apply(q, c.gate);
                by_matrix.multiply(q, m);
                EXPECT_TRUE(by_kernel == by_matrix) << c.gate.to_string() << " n=" << int(n);
                if (c.bit_exact) {
                    EXPECT_TRUE(bit_identical(by_kernel, by_matrix)) << c.gate.to_string();
                }
                const auto ref = reference_apply(s, q, m);
                for (std::size_t k = 0; k < s.len(); ++k) {
                    EXPECT_NEAR(by_kernel.re()[k].value, ref[k].real(), 1e-15);
                    EXPECT_NEAR(by_kernel.im()[k].value, ref[k].imag(), 1e-15);
                }
            }
    }
}

TEST(StateKernels, PowersReturnTheState) {
    Rng rng = Rng::from_seed(9);
    const StateVec s = StateVec::from_random(rng, 3);
    struct Case {
        Gate16 gate;
        int times;
    };
    for (Case c : {Case{gates::S(), 4}, Case{gates::SDG(), 4}, Case{gates::Z(), 2}, Case{gates::X(), 2}}) {
        StateVec t = s;
        for (int i = 0; i < c.times; ++i) t.apply(Qubits{1}, c.gate);
        EXPECT_TRUE(bit_identical(t, s)) << c.gate.to_string();
    }
    StateVec t = s;
    for (int i = 0; i < 8; ++i) t.apply(Qubits{2}, gates::T());
    EXPECT_TRUE(t == s);
    t.apply(Qubits{0}, gates::T());
    t.apply(Qubits{0}, gates::TDG());
    EXPECT_TRUE(t == s);
}

TEST(StateDense, MatricesAgainstAReference) {
    Rng rng = Rng::from_seed(77);
    for (std::size_t K = 1; K <= 3; ++K) {
        const Matrix m = random_matrix(std::size_t{1} << K, rng);
        for (std::uint8_t n = static_cast<std::uint8_t>(K); n <= 5; ++n)
            for (const Qubits& q : arrangements(n, K)) {
                StateVec s = StateVec::from_random(rng, n);
                const auto ref = reference_apply(s, q, m);
                s.multiply(q, m);
                for (std::size_t k = 0; k < s.len(); ++k) {
                    ASSERT_NEAR(s.re()[k].value, ref[k].real(), 1e-14) << "K=" << K;
                    ASSERT_NEAR(s.im()[k].value, ref[k].imag(), 1e-14) << "K=" << K;
                }
            }
    }
    // Gates without a kernel go through their table matrix.
    for (const char* name : {"y", "cz", "cy", "rz(pi/3)", "i"}) {
        Gate16 g = *Gate16::from_name(name);
        Qubits q = g.nqargs() == 1 ? Qubits{2} : Qubits{3, 1};
        StateVec a = StateVec::from_random(rng, 4), b = a;
        a.apply(q, g);
        b.multiply(q, g.matrix_copy());
        EXPECT_TRUE(bit_identical(a, b)) << name;
    }
}

TEST(StateDense, ZeroPartsFollowTheUnitScaling) {
    // Each v_j is multiplied by the complex one before its product, and each
    // partial sum before the next addition. A plain M(r,0) v_0 + M(r,1) v_1
    // would give the imaginary parts below the other sign.
    struct Case {
        const char* gate;
        std::vector<double> re, im;          // before
        std::vector<double> want_re, want_im;
    };
    const Case cases[] = {
        {"i", {-0.0, -0.0}, {-0.0, -0.0}, {0.0, 0.0}, {0.0, 0.0}},  // plain: im -0.0
        {"z", {-0.0, 0.0}, {0.0, -0.0}, {0.0, -0.0}, {0.0, 0.0}},   // plain: re[1] +0.0
        {"x", {-0.0, -0.0}, {-0.0, -0.0}, {0.0, 0.0}, {0.0, 0.0}},
    };
    for (const Case& c : cases) {
        StateVec s = make(c.re, c.im);
        s.multiply(Qubits{0}, Gate16::from_name(c.gate)->matrix_copy());
        for (std::size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(s.re()[k].value), std::bit_cast<std::uint64_t>(c.want_re[k]))
                << c.gate << " re " << k;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(s.im()[k].value), std::bit_cast<std::uint64_t>(c.want_im[k]))
                << c.gate << " im " << k;
        }
    }
}

TEST(StateGateFailures, RefusedBeforeAnythingChanges) {
    Rng rng = Rng::from_seed(5);
    const Gate16 cycle3 = Gate16::new_("test_state_3q", {}, [] {
        Matrix m(8, 8);
        for (std::size_t i = 0; i < 8; ++i) m.at(i, (i + 1) % 8) = QComplex{1.0, 0.0};
        return m;
    }());
    struct Case {
        std::uint8_t n;
        Gate16 gate;
        Qubits q;
        std::string message;
    };
    const std::string unwrap = "called `Result::unwrap()` on an `Err` value";
    const Case cases[] = {
        {2, gates::H(), {0, 1}, unwrap},
        {2, gates::CX(), {0}, unwrap},
        {2, gates::SWAP(), {}, unwrap},
        {3, gates::H(), {3}, "index out of bounds: the len is 8 but the index is 8"},
        {0, gates::X(), {0}, "index out of bounds: the len is 1 but the index is 1"},
        {2, gates::CX(), {0, 5}, "index out of bounds: the len is 4 but the index is 32"},
        {2, gates::CX(), {5, 0}, "index out of bounds: the len is 4 but the index is 32"},
        {1, gates::CX(), {0, 1}, "index out of bounds: the len is 2 but the index is 2"},
        {3, gates::T(), {200}, "qubit argument 200 is out of range for a state of 3 qubits"},
        {3, gates::CX(), {1, 1}, "Qubit arguments must be unique"},
        {3, gates::SWAP(), {2, 2}, "Qubit arguments must be unique"},
        {3, *Gate16::from_name("cz"), {0, 0}, "Qubit arguments must be unique"},
        {3, *Gate16::from_name("y"), {0, 1}, "assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4"},
        {3, *Gate16::from_name("cz"), {1}, "assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2"},
        {3, *Gate16::from_name("cz"), {0, 1, 2}, "assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8"},
        {3, *Gate16::from_name("y"), {}, "Unsupported number of qubits: 0"},
        {2, cycle3, {0, 1, 2}, "index out of bounds: the len is 4 but the index is 4"},
    };
    for (const Case& c : cases) {
        StateVec s = StateVec::from_random(rng, c.n);
        const StateVec before = s;
        EXPECT_PANIC(s.apply(c.q, c.gate), c.message);
        EXPECT_TRUE(bit_identical(s, before)) << c.message;
    }
    StateVec s = StateVec::from_random(rng, 4);
    const StateVec before = s;
    EXPECT_PANIC(s.multiply(Qubits{0, 1, 2, 3}, Matrix(16, 16)), "Unsupported number of qubits: 4");
    EXPECT_THROW(s.apply(Qubits{0}, Gate16(60000)), Panic);
    EXPECT_TRUE(bit_identical(s, before));
    // A three-qubit gate runs through the dense path.
    s.apply(Qubits{0, 2, 1}, cycle3);
    EXPECT_FALSE(bit_identical(s, before));
}

TEST(CompiledGates, MatchTheKernelsBitForBit) {
    // Every kernel gate on every qubit choice of 3 and 5 qubits, prepared and applied
    // last first, against StateVec::apply in the same order.
    const std::vector<Gate16> one = {gates::H(), gates::X(), gates::Z(), gates::T(), gates::TDG(), gates::S(),
                                     gates::SDG()};
    const std::vector<Gate16> two = {gates::CX(), gates::SWAP()};
    for (std::uint32_t n : {3u, 5u}) {
        std::vector<Instr32> circuit;
        for (Gate16 g : one)
            for (std::uint8_t q = 0; q < n; ++q) circuit.emplace_back(g, QArgs16::one(q));
        for (Gate16 g : two)
            for (std::uint8_t a = 0; a < n; ++a)
                for (std::uint8_t b = 0; b < n; ++b)
                    if (a != b) circuit.emplace_back(g, QArgs16::two(a, b));
        Rng rng = Rng::from_seed(n);
        std::shuffle(circuit.begin(), circuit.end(), std::mt19937(n));
        const StateVec start = StateVec::from_random(rng, n);
        CompiledGates compiled;
        compiled.reset(n);
        StateVec expected = start;
        for (const Instr32& i : circuit) ASSERT_TRUE(compiled.push(i)) << i.to_string();
        for (std::size_t i = circuit.size(); i-- > 0;) expected.apply(circuit[i].qargs.as_slice(), circuit[i].gate);
        StateVec got = start;
        compiled.apply_reversed(got);
        for (std::size_t k = 0; k < got.len(); ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got.re()[k].value), std::bit_cast<std::uint64_t>(expected.re()[k].value));
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got.im()[k].value), std::bit_cast<std::uint64_t>(expected.im()[k].value));
        }
        // pop() drops the last gate only.
        compiled.pop();
        EXPECT_EQ(compiled.size(), circuit.size() - 1);
    }
}

TEST(CompiledGates, RefuseWhatOnlyTheGeneralPathHandles) {
    CompiledGates c;
    c.reset(3);
    const struct {
        Instr32 instr;
        const char* what;
    } refused[] = {
        {Instr32(*Gate16::from_name("cz"), QArgs16::two(0, 1)), "no kernel"},
        {Instr32(gates::H(), QArgs16::one(3)), "qubit outside the state"},
        {Instr32(gates::CX(), QArgs16::two(1, 1)), "repeated qubit"},
        {Instr32(gates::CX(), QArgs16::one(1)), "too few arguments"},
        {Instr32(gates::H(), QArgs16::two(0, 1)), "too many arguments"},
    };
    for (const auto& r : refused) EXPECT_FALSE(c.push(r.instr)) << r.what;
    EXPECT_EQ(c.size(), 0u);
}
