// Tolerant reals: doubles compared, ordered and hashed through a key of 2^-24 resolution.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils/cpu.hpp"
#include "utils/siphash.hpp"

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
#include <immintrin.h>
#endif

namespace brimsel {

// Signed 64-bit conversion with saturation; NaN gives 0.
inline std::int64_t saturating_i64(double r) noexcept {
    if (std::isnan(r)) return 0;
    if (r < -9223372036854775808.0) return INT64_MIN;
    if (r >= 9223372036854775808.0) return INT64_MAX;
    return static_cast<std::int64_t>(r);
}

struct Qreal {
    double value = 0.0;

    constexpr Qreal() noexcept = default;
    constexpr Qreal(double v) noexcept : value(v) {}  // NOLINT: wraps any double

    // The key: value * 2^24, rounded half away from zero, saturated, read as unsigned.
    std::uint64_t percision_repr() const noexcept {
        return static_cast<std::uint64_t>(round_saturating(value * 16777216.0));
    }

    // std::round followed by the saturating conversion, without the library call:
    // truncation is exact below 2^63, and so is the fraction left by it.
    static std::int64_t round_saturating(double p) noexcept {
        if (!(p > -9223372036854775808.0 && p < 9223372036854775808.0)) return saturating_i64(p);
        const std::int64_t i = static_cast<std::int64_t>(p);
        const double frac = p - static_cast<double>(i);
        // Without branches: the fraction's side is as good as random.
        return i + static_cast<std::int64_t>(frac >= 0.5) - static_cast<std::int64_t>(frac <= -0.5);
    }

    bool near_zero() const noexcept { return std::fabs(value) < 0x1p-24; }

    // Coarse equality of the identity check: values * 256 truncated toward zero.
    static bool loose_eq(Qreal a, Qreal b) noexcept {
        return saturating_i64(std::trunc(a.value * 256.0)) ==
               saturating_i64(std::trunc(b.value * 256.0));
    }

    Qreal sqrt() const noexcept { return Qreal(std::sqrt(value)); }

    friend bool operator==(Qreal a, Qreal b) noexcept {
        return a.percision_repr() == b.percision_repr();
    }
    friend std::strong_ordering operator<=>(Qreal a, Qreal b) noexcept {
        return a.percision_repr() <=> b.percision_repr();
    }

    friend Qreal operator+(Qreal a, Qreal b) noexcept { return a.value + b.value; }
    friend Qreal operator-(Qreal a, Qreal b) noexcept { return a.value - b.value; }
    friend Qreal operator*(Qreal a, Qreal b) noexcept { return a.value * b.value; }
    friend Qreal operator/(Qreal a, Qreal b) noexcept { return a.value / b.value; }
    Qreal operator-() const noexcept { return -value; }
    Qreal& operator+=(Qreal o) noexcept { value += o.value; return *this; }
    Qreal& operator-=(Qreal o) noexcept { value -= o.value; return *this; }
    Qreal& operator*=(Qreal o) noexcept { value *= o.value; return *this; }
    Qreal& operator/=(Qreal o) noexcept { value /= o.value; return *this; }

    void hash(StableHasher& h) const noexcept { h.write_u64(percision_repr()); }

    // Fixed-point text with `decimals` digits, exact value rounded half to even;
    // with `plus` a '+' precedes values that are not negative. NaN is "NaN".
    std::string format(int decimals, bool plus = false) const;
};

#if defined(__SSE2__)
// Qreal::percision_repr of the two lanes of `v` into out[0] and out[1]. Below
// 2^30 after scaling the lanes go together; anything else (NaN included)
// takes the scalar path.
inline void percision_repr2(__m128d v, std::uint64_t* out) noexcept {
    const __m128d p = _mm_mul_pd(v, _mm_set1_pd(16777216.0));
    const __m128d sign = _mm_and_pd(p, _mm_set1_pd(-0.0));
    const __m128d magnitude = _mm_xor_pd(p, sign);
    if (_mm_movemask_pd(_mm_cmplt_pd(magnitude, _mm_set1_pd(1073741824.0))) != 3) [[unlikely]] {
        double lanes[2];
        _mm_storeu_pd(lanes, v);
        out[0] = Qreal(lanes[0]).percision_repr();
        out[1] = Qreal(lanes[1]).percision_repr();
        return;
    }
    // Half away from zero: adding the largest double below 1/2, with p's sign,
    // lands past the next integer exactly when p's fraction reaches 1/2 (the
    // sum rounds to nearest, and below 2^30 its spacing is far finer than the
    // gap), so truncation finishes the rounding.
    const __m128d nudged = _mm_add_pd(p, _mm_or_pd(sign, _mm_set1_pd(0.49999999999999994)));
    const __m128i t = _mm_cvttpd_epi32(nudged);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi32(t, _mm_srai_epi32(t, 31)));
}
#endif

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
// Qreal::percision_repr of four lanes, as percision_repr2 makes them, into
// out[0..3]; `in_range` loses the lanes whose scaled value reaches 2^30 (or is
// NaN), whose keys are then not right.
__attribute__((target("avx2"))) inline void percision_repr4(__m256d v, std::uint64_t* out, __m256d& in_range) noexcept {
    const __m256d p = _mm256_mul_pd(v, _mm256_set1_pd(16777216.0));
    const __m256d sign = _mm256_and_pd(p, _mm256_set1_pd(-0.0));
    in_range = _mm256_and_pd(in_range, _mm256_cmp_pd(_mm256_xor_pd(p, sign), _mm256_set1_pd(1073741824.0), _CMP_LT_OQ));
    const __m256d nudged = _mm256_add_pd(p, _mm256_or_pd(sign, _mm256_set1_pd(0.49999999999999994)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(nudged)));
}

#endif

// A complex number of tolerant reals (real part, imaginary part).
struct QComplex {
    Qreal re;
    Qreal im;
    friend bool operator==(const QComplex&, const QComplex&) noexcept = default;
    void hash(StableHasher& h) const noexcept { re.hash(h); im.hash(h); }
};

}  // namespace brimsel
