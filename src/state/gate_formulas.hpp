// The amplitude formulas of the kernel gates on one pair of amplitudes, in their exact operation order.
#pragma once

#include <cstdint>

namespace brimsel::formulas {

// 1/sqrt(2) rounded to the nearest double: the kernels' only irrational constant.
inline constexpr double c = 0.7071067811865476;

// Each takes the parts' arrays and the pair (i0, i1) of amplitudes that differ
// in the gate's qubit (or, for the exchanges, the two members swapped).
inline void exchange(double* re, double* im, std::uint64_t a, std::uint64_t b) noexcept {
    const double r = re[a], m = im[a];
    re[a] = re[b];
    im[a] = im[b];
    re[b] = r;
    im[b] = m;
}
inline void h_pair(double* re, double* im, std::uint64_t i0, std::uint64_t i1) noexcept {
    const double r0 = re[i0], m0 = im[i0], r1 = re[i1], m1 = im[i1];
    re[i0] = (r0 + r1) * c;
    im[i0] = (m0 + m1) * c;
    re[i1] = (r0 - r1) * c;
    im[i1] = (m0 - m1) * c;
}
inline void z_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    re[i1] = -re[i1];
    im[i1] = -im[i1];
}
// a_1 times i, as the complex product with (0, 1) would round it.
inline void s_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    const double r = re[i1], m = im[i1];
    re[i1] = r * 0.0 - m;
    im[i1] = m * 0.0 + r;
}
// a_1 times -i; the negative zeros decide the signs of zero results.
inline void sdg_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    const double r = re[i1], m = im[i1];
    re[i1] = m + r * -0.0;
    im[i1] = m * -0.0 - r;
}
inline void t_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    const double r = re[i1], m = im[i1];
    re[i1] = r * c - m * c;
    im[i1] = r * c + m * c;
}
inline void tdg_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    const double r = re[i1], m = im[i1];
    re[i1] = r * c + m * c;
    im[i1] = m * c - r * c;
}

}  // namespace brimsel::formulas
