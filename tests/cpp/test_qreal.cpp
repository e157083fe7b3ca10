// Tolerant reals: keys, bucket equality, the unsigned order, coarse equality and text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <limits>
#include <vector>

#include "qreal_f64.hpp"

using namespace brimsel;

TEST(Qreal, KeysAndEquality) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        std::uint64_t key;
    } cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {std::ldexp(1.0, -26), 0},
        {std::ldexp(1.0, -25), 1},
        {-std::ldexp(1.0, -25), ~0ull},  // rounds half away from zero to -1
        {1.0, 1ull << 24},
        {2.5 / 16777216.0, 3},
        {-2.5 / 16777216.0, static_cast<std::uint64_t>(-3)},
        {nan, 0},
        {1.0e12, static_cast<std::uint64_t>(INT64_MAX)},
        {inf, static_cast<std::uint64_t>(INT64_MAX)},
        {-inf, static_cast<std::uint64_t>(INT64_MIN)},
        {-1.0e12, static_cast<std::uint64_t>(INT64_MIN)},
    };
    for (const auto& c : cases) EXPECT_EQ(Qreal(c.value).percision_repr(), c.key) << c.value;

    EXPECT_EQ(Qreal(0.0), Qreal(-0.0));
    EXPECT_EQ(Qreal(std::ldexp(1.0, -26)), Qreal(0.0));
    EXPECT_NE(Qreal(std::ldexp(1.0, -25)), Qreal(0.0));
    EXPECT_EQ(Qreal(nan), Qreal(0.0));
    EXPECT_EQ(Qreal(1.0e12), Qreal(2.0e12));

    StableHasher a, b;
    Qreal(0.0).hash(a);
    Qreal(-0.0).hash(b);
    EXPECT_EQ(a.finish(), b.finish());
}

TEST(Qreal, NearZero) {
    EXPECT_TRUE(Qreal(std::ldexp(1.0, -25)).near_zero());
    EXPECT_TRUE(Qreal(-std::ldexp(1.0, -25)).near_zero());
    EXPECT_FALSE(Qreal(std::ldexp(1.0, -24)).near_zero());
    EXPECT_FALSE(Qreal(std::numeric_limits<double>::quiet_NaN()).near_zero());
}

TEST(Qreal, UnsignedOrder) {
    std::vector<Qreal> v = {0.0, -1.0, 1.0, -0.5, 0.5};
    std::sort(v.begin(), v.end());
    std::vector<double> got;
    for (Qreal q : v) got.push_back(q.value);
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.5, 1.0, -1.0, -0.5}));

    EXPECT_GT(Qreal(-std::ldexp(1.0, -25)), Qreal(1.0e9));
    EXPECT_EQ(Qreal(std::numeric_limits<double>::quiet_NaN()) <=> Qreal(0.0),
              std::strong_ordering::equal);
    EXPECT_LT(Qreal(1.0e12), Qreal(-1.0e12));  // saturated positive before saturated negative
}

TEST(Qreal, LooseEq) {
    EXPECT_TRUE(Qreal::loose_eq(0.0039, -0.0039));
    EXPECT_FALSE(Qreal::loose_eq(0.0039, 0.004));
    EXPECT_TRUE(Qreal::loose_eq(std::numeric_limits<double>::quiet_NaN(), 0.0));
}

TEST(Qreal, Format) {
    struct Case {
        double value;
        bool plus;
        const char* text;
    } cases[] = {
        {0.5, false, "0.5000"},
        {-0.0, false, "-0.0000"},
        {0.0, true, "+0.0000"},
        {-0.25, true, "-0.2500"},
        {0.00005, false, "0.0001"},   // the double is slightly above the tie
        {0.125, false, "0.1250"},
        {2.5e-5, false, "0.0000"},
        {std::numeric_limits<double>::quiet_NaN(), false, "NaN"},
        {std::numeric_limits<double>::infinity(), false, "inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(Qreal(c.value).format(4, c.plus), c.text) << c.value;
    EXPECT_EQ(Qreal(0.5).format(0), "0");    // exact tie to even
    EXPECT_EQ(Qreal(1.5).format(0), "2");
}

TEST(Qreal, FastRoundingMatchesTheLibrary) {
    std::mt19937_64 rng(5);
    std::vector<double> values = {0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                                  4503599627370495.5, -4503599627370495.5, 4503599627370497.0,
                                  9223372036854774784.0, -9223372036854775808.0, 9223372036854775808.0,
                                  1e300, -1e300, std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(), 0.0, -0.0,
                                  std::numeric_limits<double>::denorm_min()};
    for (int k = 0; k < 200000; ++k) {
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        values.push_back(d);
        values.push_back(std::ldexp(static_cast<double>(rng() % 4096) / 8.0, static_cast<int>(rng() % 80) - 40));
    }
    for (double v : values)
        ASSERT_EQ(Qreal::round_saturating(v), saturating_i64(std::round(v))) << v;
}

namespace {

// Scaled values around every half and integer, at the edge of the vector
// paths and past it, and raw random bit patterns.
std::vector<double> scaled_edge_values() {
    std::mt19937_64 rng(11);
    std::vector<double> scaled = {0.0, -0.0, 0.5, -0.5, 1.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                                  0.5000000000000001, 1.4999999999999998, -2.5000000000000004,
                                  1073741823.5, -1073741823.5, 1073741824.0,
                                  -1073741824.0, 1e300, std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::denorm_min()};
    for (int k = 0; k < 100000; ++k) {
        // A half or an integer at a random scale, and its neighbours a few steps away.
        const double base = std::ldexp(static_cast<double>(rng() % (std::uint64_t{1} << 31)), -1) *
                            (rng() & 1 ? 1.0 : -1.0) / static_cast<double>(std::uint64_t{1} << (rng() % 31));
        double below = base, above = base;
        for (int s = 0; s < 3; ++s) {
            below = std::nextafter(below, -INFINITY);
            above = std::nextafter(above, INFINITY);
            scaled.push_back(below);
            scaled.push_back(above);
        }
        scaled.push_back(base);
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        scaled.push_back(d);
    }
    // Unscaled, so that the key's own scaling is exact.
    for (double& v : scaled) v /= 16777216.0;
    return scaled;
}

}  // namespace

#if defined(__SSE2__)
// The vector keys against the scalar one. A lane out of the vector range must
// say so (four lanes) or take the scalar path (two lanes).
TEST(Qreal, TwoLaneKeysMatchTheScalarKey) {
    const std::vector<double> values = scaled_edge_values();
    for (std::size_t i = 0; i + 1 < values.size(); ++i) {
        const double a = values[i], b = values[i + 1];
        std::uint64_t out[2];
        percision_repr2(_mm_set_pd(b, a), out);
        ASSERT_EQ(out[0], Qreal(a).percision_repr()) << a;
        ASSERT_EQ(out[1], Qreal(b).percision_repr()) << b;
    }
}
#endif

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
__attribute__((target("avx2"))) static bool four_lane_keys(const double* v, std::uint64_t* out) {
    __m256d in_range = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    percision_repr4(_mm256_loadu_pd(v), out, in_range);
    return _mm256_movemask_pd(in_range) == 0xF;
}

TEST(Qreal, FourLaneKeysMatchTheScalarKey) {
    if (!use_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    const std::vector<double> values = scaled_edge_values();
    for (std::size_t i = 0; i + 3 < values.size(); ++i) {
        std::uint64_t out[4];
        const bool in_range = four_lane_keys(&values[i], out);
        bool all_below = true;
        for (int k = 0; k < 4; ++k) {
            const double p = values[i + k] * 16777216.0;
            all_below = all_below && std::fabs(p) < 1073741824.0;
            if (std::fabs(p) < 1073741824.0) {
                ASSERT_EQ(out[k], Qreal(values[i + k]).percision_repr()) << values[i + k];
            }
        }
        ASSERT_EQ(in_range, all_below) << i;
    }
}
#endif
