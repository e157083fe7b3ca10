// The amplitude formulas of the kernel gates on one pair of amplitudes, in their exact operation order.
#pragma once

#include <cstdint>

namespace brimsel::formulas {

// 1/sqrt(2) rounded to the nearest double: the kernels' only irrational constant.
inline constexpr double c = 0.7071067811865476;

// The formulas on the parts of the pair (a_0, a_1) of amplitudes that differ in
// the gate's qubit. T is double, or a vector of doubles whose operators work
// lane by lane with the same rounding, so that several pairs go at once.
template <class T>
inline void h_values(T& r0, T& m0, T& r1, T& m1) noexcept {
    const T a = r0, b = m0, x = r1, y = m1;
    r0 = (a + x) * T(c);
    m0 = (b + y) * T(c);
    r1 = (a - x) * T(c);
    m1 = (b - y) * T(c);
}
template <class T>
inline void z_values(T& r1, T& m1) noexcept {
    r1 = -r1;
    m1 = -m1;
}
// a_1 times i, as the complex product with (0, 1) would round it.
template <class T>
inline void s_values(T& r1, T& m1) noexcept {
    const T r = r1, m = m1;
    r1 = r * T(0.0) - m;
    m1 = m * T(0.0) + r;
}
// a_1 times -i; the negative zeros decide the signs of zero results.
template <class T>
inline void sdg_values(T& r1, T& m1) noexcept {
    const T r = r1, m = m1;
    r1 = m + r * T(-0.0);
    m1 = m * T(-0.0) - r;
}
template <class T>
inline void t_values(T& r1, T& m1) noexcept {
    const T r = r1, m = m1;
    r1 = r * T(c) - m * T(c);
    m1 = r * T(c) + m * T(c);
}
template <class T>
inline void tdg_values(T& r1, T& m1) noexcept {
    const T r = r1, m = m1;
    r1 = r * T(c) + m * T(c);
    m1 = m * T(c) - r * T(c);
}

// The same on the parts' arrays, for the pair (i0, i1); the exchange swaps the two members.
inline void exchange(double* re, double* im, std::uint64_t a, std::uint64_t b) noexcept {
    const double r = re[a], m = im[a];
    re[a] = re[b];
    im[a] = im[b];
    re[b] = r;
    im[b] = m;
}
inline void h_pair(double* re, double* im, std::uint64_t i0, std::uint64_t i1) noexcept {
    h_values(re[i0], im[i0], re[i1], im[i1]);
}
inline void z_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept { z_values(re[i1], im[i1]); }
inline void s_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept { s_values(re[i1], im[i1]); }
inline void sdg_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    sdg_values(re[i1], im[i1]);
}
inline void t_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept { t_values(re[i1], im[i1]); }
inline void tdg_pair(double* re, double* im, std::uint64_t, std::uint64_t i1) noexcept {
    tdg_values(re[i1], im[i1]);
}

}  // namespace brimsel::formulas
