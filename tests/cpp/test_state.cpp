// StateVec: construction and its failures, random draws, normalisation, hashing, order, display; the generator.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <set>

#include "panic_matchers.hpp"
#include "state/mod.hpp"
#include "state/rng.hpp"

using namespace brimsel;

namespace {

StateVec make(std::vector<double> re, std::vector<double> im) {
    return StateVec::new_(std::vector<Qreal>(re.begin(), re.end()),
                          std::vector<Qreal>(im.begin(), im.end()));
}

// Counts the draws a constructor takes.
struct CountingGen {
    Rng rng = Rng::from_seed(7);
    int draws = 0;
    double next_f64() {
        ++draws;
        return rng.next_f64();
    }
};

// Hands out fixed values, so a test can name every draw.
struct ScriptedGen {
    std::vector<double> values;
    std::size_t next = 0;
    double next_f64() { return values.at(next++); }
};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

}  // namespace

TEST(StateVecConstruct, KeepsValuesAndRejectsBadLengths) {
    StateVec s = make({1.0, 0.0}, {0.0, 0.0});
    EXPECT_EQ(s.nqubits(), 1u);
    EXPECT_EQ(s.len(), 2u);
    EXPECT_TRUE(s.check());

    StateVec unnormalised = make({3.0, 4.0}, {0.0, 0.0});
    EXPECT_EQ(unnormalised.re()[1].value, 4.0);

    StateVec one = make({1.0}, {0.0});
    EXPECT_EQ(one.nqubits(), 0u);
    EXPECT_EQ(one.len(), 1u);

    EXPECT_PANIC(make({1.0, 0.0}, {0.0}),
                 "assertion `left == right` failed: Real and imaginary parts must have the same "
                 "length\n  left: 2\n right: 1");
    EXPECT_PANIC(make({}, {}), "Length must be a power of 2");
    EXPECT_PANIC(make({1, 2, 3}, {1, 2, 3}), "Length must be a power of 2");
    // Unequal lengths are reported before the power-of-two rule.
    EXPECT_PANIC(make({1, 2, 3}, {1, 2}),
                 "assertion `left == right` failed: Real and imaginary parts must have the same "
                 "length\n  left: 3\n right: 2");
}

TEST(StateVecConstruct, QubitCountLimits) {
    StateVec z = StateVec::zeros(3);
    EXPECT_EQ(z.len(), 8u);
    for (std::size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(bits(z.re()[k].value), 0u);
        EXPECT_EQ(bits(z.im()[k].value), 0u);
    }
    EXPECT_FALSE(z.check());

    const char* too_large = "Number of qubits too large, resulting in overflow for state vector size.";
    CountingGen g;
    for (std::uint32_t n : {64u, 65u, 4000000000u}) {
        EXPECT_PANIC(StateVec::zeros(n), too_large);
        EXPECT_PANIC(StateVec::from_random(g, n), too_large);
        EXPECT_PANIC(StateVec::from_random_symmetric(g, n), too_large);
    }
    for (std::uint32_t n : {60u, 63u}) {
        EXPECT_PANIC(StateVec::zeros(n), "capacity overflow");
        EXPECT_PANIC(StateVec::from_random(g, n), "capacity overflow");
        EXPECT_PANIC(StateVec::from_random_symmetric(g, n), "capacity overflow");
    }
    EXPECT_EQ(g.draws, 0) << "the checks come before any draw";

    // More than this machine holds: an allocation failure, not a crash.
    EXPECT_THROW(StateVec::zeros(40), std::bad_alloc);
    EXPECT_THROW(StateVec::from_random(g, 45), std::bad_alloc);
    EXPECT_THROW(StateVec::from_random_symmetric(g, 59), std::bad_alloc);
    EXPECT_EQ(g.draws, 120) << "the symmetric draws come before the allocation";
}

TEST(StateVecRandom, DrawCountsAndOrder) {
    for (std::uint32_t n : {0u, 1u, 3u, 6u}) {
        CountingGen a, b;
        StateVec r = StateVec::from_random(a, n);
        EXPECT_EQ(a.draws, 2 << n);
        EXPECT_TRUE(r.check());
        StateVec s = StateVec::from_random_symmetric(b, n);
        EXPECT_EQ(b.draws, 2 * static_cast<int>(n) + 2);
        EXPECT_TRUE(s.check());
        // Normalisation ends with the phase: amplitude 0 real, imaginary part +0.0.
        EXPECT_EQ(bits(r.im()[0].value), 0u);
        EXPECT_GT(r.re()[0].value, 0.0);
    }
    CountingGen g;
    StateVec zero_qubits = StateVec::from_random(g, 0);
    EXPECT_EQ(zero_qubits.re()[0], Qreal(1.0));
    EXPECT_EQ(bits(zero_qubits.im()[0].value), 0u);

    // All real parts are drawn before any imaginary part.
    ScriptedGen script{{0.1, 0.2, 0.3, 0.4}};
    StateVec drawn = StateVec::from_random(script, 1);
    StateVec expected = make({0.1, 0.2}, {0.3, 0.4});
    expected.normalize();
    EXPECT_EQ(drawn.re()[1].value, expected.re()[1].value);
    EXPECT_EQ(drawn.im()[1].value, expected.im()[1].value);

    // Symmetric: re_values[0..n], then im_values[0..n], indexed by popcount.
    ScriptedGen sym{{0.5, 0.25, 0.125, 0.75, 0.375, 0.0625}};
    StateVec s = StateVec::from_random_symmetric(sym, 2);
    StateVec e = make({0.5, 0.25, 0.25, 0.125}, {0.75, 0.375, 0.375, 0.0625});
    e.normalize();
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(bits(s.re()[k].value), bits(e.re()[k].value)) << k;
        EXPECT_EQ(bits(s.im()[k].value), bits(e.im()[k].value)) << k;
    }
}

TEST(StateVecRandom, SymmetricAmplitudesDependOnPopcountOnly) {
    Rng rng = Rng::from_seed(11);
    StateVec s = StateVec::from_random_symmetric(rng, 5);
    for (std::size_t a = 0; a < 32; ++a)
        for (std::size_t b = 0; b < 32; ++b)
            if (std::popcount(a) == std::popcount(b)) {
                EXPECT_EQ(bits(s.re()[a].value), bits(s.re()[b].value));
                // Step 6 of the phase overwrites im[0] only, which is alone in its popcount.
                EXPECT_EQ(bits(s.im()[a].value), bits(s.im()[b].value));
            }
    StateVec r = StateVec::from_random(rng, 5);
    EXPECT_FALSE(r == StateVec::from_random(rng, 5));
}

TEST(StateVecNormalize, ValuesOfTheFormulas) {
    // 3 + 4i over 5: the norm divides each part, then the phase turns
    // amplitude 0 real. |z| = 1 after the division, so the factor is conj(z).
    StateVec s = make({3.0, 0.0}, {4.0, 5.0});
    s.normalize();
    // s = sqrt(9 + 16 + 25); parts divided by it, not multiplied by its inverse.
    const double m = std::sqrt(50.0);
    const double zr = 3.0 / m, zi = 4.0 / m;
    const double w = zr * zr + zi * zi, r = std::sqrt(w);
    const double fr = (zr / w) * r, fi = ((-zi) / w) * r;
    const double b = 5.0 / m;
    EXPECT_EQ(s.re()[0].value, zr * fr - zi * fi);
    EXPECT_EQ(bits(s.im()[0].value), 0u);
    EXPECT_EQ(s.re()[1].value, 0.0 * fr - b * fi);
    EXPECT_EQ(s.im()[1].value, 0.0 * fi + b * fr);
    EXPECT_TRUE(s.check());
}

TEST(StateVecNormalize, PhaseReferenceFallbacks) {
    const double tiny = 0x1p-26;
    struct Case {
        const char* name;
        std::vector<double> re, im;
        std::size_t reference;  // the amplitude that ends real and non-negative
    };
    const Case cases[] = {
        {"amplitude 0", {0.0, 0.6, 0.0, -0.1}, {0.5, 0.0, 0.3, 0.2}, 0},
        {"last amplitude", {tiny, 0.6, 0.0, -0.1}, {-tiny, 0.0, 0.3, 0.2}, 3},
        {"border 2^-24 is not near zero", {0x1p-24, 0.6, 0.0, -0.1}, {0.0, 0.0, 0.3, 0.2}, 0},
    };
    for (const Case& c : cases) {
        StateVec s = make(c.re, c.im);
        s.normalize_arg();
        EXPECT_EQ(bits(s.im()[0].value), 0u) << c.name;
        if (c.reference != 0) {
            EXPECT_TRUE(s.im()[c.reference].near_zero()) << c.name;
        }
        EXPECT_GE(s.re()[c.reference].value, 0.0) << c.name;
        // A phase rotation keeps the magnitudes.
        for (std::size_t k = 1; k < 4; ++k) {
            double before = c.re[k] * c.re[k] + c.im[k] * c.im[k];
            double after = s.re()[k].value * s.re()[k].value + s.im()[k].value * s.im()[k].value;
            EXPECT_NEAR(before, after, 1e-15) << c.name << " " << k;
        }
    }

    // Both ends near zero: the normalised sum of all amplitudes is the reference.
    StateVec s = make({tiny, 0.0, 0.3, tiny}, {0.0, 0.4, 0.0, 0.0});
    s.normalize_arg();
    EXPECT_EQ(bits(s.im()[0].value), 0u);
    // Sum = (0.3 + 2 tiny, 0.4): its phase is removed, so the sum of the new
    // amplitudes is real but for the imaginary part that step 6 dropped from amplitude 0.
    double sr = 0, si = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        sr += s.re()[k].value;
        si += s.im()[k].value;
    }
    EXPECT_NEAR(si, 0.0, 0x1p-24);
    EXPECT_GT(sr, 0.0);
}

TEST(StateVecNormalize, GlobalPhaseIsCanonical) {
    Rng rng = Rng::from_seed(3);
    StateVec s = StateVec::from_random(rng, 4);
    for (double theta : {0.3, 1.7, -2.9, 3.14159}) {
        std::vector<double> re, im;
        for (std::size_t k = 0; k < s.len(); ++k) {
            double a = s.re()[k].value, b = s.im()[k].value;
            re.push_back(a * std::cos(theta) - b * std::sin(theta));
            im.push_back(a * std::sin(theta) + b * std::cos(theta));
        }
        StateVec t = make(re, im);
        t.normalize();
        EXPECT_TRUE(t == s) << theta;
        EXPECT_EQ(t.hash_value(), s.hash_value()) << theta;
    }
}

TEST(StateVecNormalize, VectorWithoutNormBecomesTheZeroState) {
    // Squared magnitudes that sum to zero, exactly or by underflow, leave no
    // direction to keep: the result is |0...0>, every part +0.0 but re[0].
    const double tiny = 1e-200;
    const std::vector<StateVec> cases = {
        StateVec::zeros(0), StateVec::zeros(1), StateVec::zeros(3),
        make({-0.0, -0.0}, {-0.0, -0.0}),
        make({0.0, tiny, 0.0, -tiny}, {tiny, 0.0, 0.0, 0.0}),
    };
    for (StateVec s : cases) {
        s.normalize();
        for (std::size_t k = 0; k < s.len(); ++k) {
            EXPECT_EQ(bits(s.re()[k].value), k == 0 ? bits(1.0) : 0u) << s.len() << " " << k;
            EXPECT_EQ(bits(s.im()[k].value), 0u) << s.len() << " " << k;
        }
        EXPECT_TRUE(s.check());
    }
    // A small norm that does not underflow keeps its direction.
    StateVec small = make({0.0, 3e-160}, {0.0, 4e-160});
    small.normalize();
    EXPECT_EQ(small.to_string(), "[0.0000, 1.0000]");
}

TEST(StateVecHash, ByteFeedAndEquality) {
    StateVec s = make({1.0, -0.5}, {0.0, 0x1p-20});
    // Lengths as 8 bytes, then each key as 8 bytes, little-endian.
    unsigned char feed[48] = {};
    auto put = [&](std::size_t at, std::uint64_t v) {
        for (int b = 0; b < 8; ++b) feed[at + b] = static_cast<unsigned char>(v >> (8 * b));
    };
    put(0, 2);
    put(8, 1ull << 24);
    put(16, static_cast<std::uint64_t>(std::int64_t{-(1 << 23)}));
    put(24, 2);
    put(32, 0);
    put(40, 16);
    EXPECT_EQ(s.hash_value(), siphash13(feed, sizeof feed));

    // Values in one 2^-24 bucket are equal and hash alike; -0.0 is 0.0.
    StateVec t = make({1.0 + 0x1p-30, -0.5}, {-0.0, 0x1p-20 + 0x1p-27});
    EXPECT_TRUE(s == t);
    EXPECT_EQ(s.hash_value(), t.hash_value());
    StateVec u = make({1.0 + 0x1p-24, -0.5}, {0.0, 0x1p-20});
    EXPECT_FALSE(s == u);
    EXPECT_NE(s.hash_value(), u.hash_value());
    EXPECT_FALSE(s == make({1.0, -0.5, 0, 0}, {0.0, 0x1p-20, 0, 0}));

    StateVec c = s.clone();
    EXPECT_TRUE(c == s);
    EXPECT_NE(c.re().data(), s.re().data()) << "a clone owns its own arrays";
}

TEST(StateVecOrder, UnsignedKeyOrderAndPrefixes) {
    StateVec a = make({0.5, 0.0}, {0.0, 0.0});
    StateVec b = make({-0.1, 0.0}, {0.0, 0.0});
    StateVec c = make({0.5, 0.0}, {0.0, 1.0});
    EXPECT_TRUE(a < b) << "a negative key orders after every non-negative one";
    EXPECT_TRUE(a < c) << "equal real parts: the imaginary parts decide";
    EXPECT_TRUE(make({0.5}, {9.0}) < a) << "a prefix orders first";
    EXPECT_EQ(a <=> make({0.5, 0x1p-26}, {0.0, -0.0}), std::strong_ordering::equal);
}

TEST(StateVecLooseEq, TruncatedBy256) {
    StateVec s = make({0.0039, 0.5}, {0.25, 0.0});
    EXPECT_TRUE(s.loose_eq(make({-0.0039, 0.5 + 0.0038}, {0.25, 0.0})));
    EXPECT_FALSE(s.loose_eq(make({0.004, 0.5}, {0.25, 0.0})));
    EXPECT_FALSE(s.loose_eq(make({0.0, 0.5}, {0.25 - 1e-9, 0.0})));
    // Paired up to the shorter length.
    EXPECT_TRUE(s.loose_eq(make({0.0}, {0.25})));
}

TEST(StateVecDisplay, Forms) {
    struct Case {
        std::vector<double> re, im;
        const char* text;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {{0.6, 0.0}, {0.0, 0.8}, "[0.6000, 0.8000j]"},
        {{1.0, 0.0}, {0.0, 1.0}, "[1.0000, 1.0000j]"},
        {{0.1, 0.7071067811865476}, {-0.2, 0.7071067811865476}, "[0.1000-0.2000j, 0.7071+0.7071j]"},
        {{-0x1p-30, 0x1p-30}, {0x1p-26, -0.5}, "[-0.0000, -0.5000j]"},
        {{-0.0, 0.00005}, {0.0, 0.0}, "[-0.0000, 0.0001]"},
        {{0.00015, 0.00025}, {0.0, 0.0}, "[0.0001, 0.0003]"},
        {{nan, 0.5}, {0.0, nan}, "[NaN, 0.5000NaNj]"},
        {{0.0, -2.5}, {nan, 1.0}, "[NaNj, -2.5000+1.0000j]"},
    };
    for (const Case& c : cases) EXPECT_EQ(make(c.re, c.im).to_string(), c.text);
}

TEST(StateVecAccess, BoundsCheckedBeforeWriting) {
    StateVec s = make({0.1, 0.2, 0.3, 0.4}, {0.5, 0.6, 0.7, 0.8});
    EXPECT_EQ(s.at(2).re.value, 0.3);
    EXPECT_EQ(s.at(2).im.value, 0.7);
    s.set(1, QComplex{1.5, -1.5});
    EXPECT_EQ(s.at(1).im.value, -1.5);

    auto got = s.access<2>({3, 0});
    EXPECT_EQ(got[0].re.value, 0.4);
    EXPECT_EQ(got[1].re.value, 0.1);
    s.update<2>({0, 3}, {QComplex{9.0, 9.0}, QComplex{8.0, 8.0}});
    EXPECT_EQ(s.at(3).re.value, 8.0);

    const StateVec before = s;
    EXPECT_PANIC(s.at(4), "index out of bounds: the len is 4 but the index is 4");
    EXPECT_PANIC(s.set(7, QComplex{1.0, 1.0}), "index out of bounds: the len is 4 but the index is 7");
    EXPECT_PANIC((s.update<4>({0, 1, 2, 5}, {QComplex{}, QComplex{}, QComplex{}, QComplex{}})),
                 "index out of bounds: the len is 4 but the index is 5");
    EXPECT_PANIC(s.access<2>({0, 4}), "index out of bounds: the len is 4 but the index is 4");
    EXPECT_TRUE(s == before);
    EXPECT_EQ(s.at(0).re.value, 9.0);
}

TEST(Rng, UniformDoublesAndSeeding) {
    Rng a = Rng::from_seed(42), b = Rng::from_seed(42);
    for (int i = 0; i < 1000; ++i) {
        std::uint64_t x = a.next_u64();
        EXPECT_EQ(x, b.next_u64());
    }
    // next_f64 is the top 53 bits of one output times 2^-53.
    Rng c = Rng::from_seed(5), d = Rng::from_seed(5);
    double lo = 1.0, hi = 0.0;
    for (int i = 0; i < 10000; ++i) {
        double f = c.next_f64();
        EXPECT_EQ(f, static_cast<double>(d.next_u64() >> 11) * 0x1p-53);
        lo = std::min(lo, f);
        hi = std::max(hi, f);
    }
    EXPECT_GE(lo, 0.0);
    EXPECT_LT(hi, 1.0);
    EXPECT_LT(lo, 0.001);
    EXPECT_GT(hi, 0.999);

    std::set<std::uint64_t> firsts;
    for (int i = 0; i < 16; ++i) firsts.insert(Rng::from_entropy().next_u64());
    EXPECT_EQ(firsts.size(), 16u);
}

TEST(Rng, ThreadGeneratorIsReseededInAForkedChild) {
    Rng& mine = thread_rng();
    EXPECT_EQ(&mine, &thread_rng());
    mine.next_u64();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // The value the parent draws next; a child without a reseed would draw it too.
    Rng copy = thread_rng();
    const std::uint64_t parent_next = copy.next_u64();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::uint64_t v = thread_rng().next_u64();
        ssize_t w = write(fds[1], &v, sizeof v);
        _exit(w == sizeof v ? 0 : 1);
    }
    std::uint64_t child = 0;
    ASSERT_EQ(read(fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_NE(child, parent_next);
    EXPECT_EQ(thread_rng().next_u64(), parent_next) << "the parent keeps its stream";
}
