// StateVec: the amplitudes of an n-qubit state as parallel arrays of real and imaginary parts.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "circ/gate.hpp"
#include "groups/permutation.hpp"
#include "panic.hpp"
#include "qreal_f64.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

class OrderInfo;

// Qubit q is bit q of an amplitude index. Both arrays always have the same
// power-of-two length, so no state is empty (0 qubits means one amplitude).
class StateVec {
public:
    // Keeps the values as given; the lengths must agree and be a power of two.
    static StateVec new_(std::vector<Qreal> re, std::vector<Qreal> im);
    static StateVec zeros(std::uint32_t n);

    // 2^(n+1) draws: every real part in index order, then every imaginary part.
    template <class G>
    static StateVec from_random(G& gen, std::uint32_t n) {
        StateVec s = allocate(n);
        for (Qreal& x : s.re_) x = gen.next_f64();
        for (Qreal& x : s.im_) x = gen.next_f64();
        s.normalize();
        return s;
    }

    // 2(n+1) draws; an amplitude depends only on the popcount of its index,
    // so no permutation of the qubits changes the state.
    template <class G>
    static StateVec from_random_symmetric(G& gen, std::uint32_t n) {
        check_qubit_count(n);
        // n < 64 here, so both tables fit on the stack.
        double re_values[64];
        double im_values[64];
        for (std::uint32_t k = 0; k <= n; ++k) re_values[k] = gen.next_f64();
        for (std::uint32_t k = 0; k <= n; ++k) im_values[k] = gen.next_f64();
        StateVec s = allocate(n);
        for (std::size_t k = 0; k < s.re_.size(); ++k) {
            auto ones = static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(k)));
            s.re_[k] = re_values[ones];
            s.im_[k] = im_values[ones];
        }
        s.normalize();
        return s;
    }

    std::uint64_t nqubits() const noexcept {
        return static_cast<std::uint64_t>(std::countr_zero(re_.size()));
    }
    std::uint64_t len() const noexcept { return re_.size(); }

    std::span<const Qreal> re() const noexcept { return re_; }
    std::span<const Qreal> im() const noexcept { return im_; }

    QComplex at(std::uint64_t k) const {
        check_index(k, re_.size());
        check_index(k, im_.size());
        return QComplex{re_[k], im_[k]};
    }
    void set(std::uint64_t k, QComplex v) {
        check_index(k, re_.size());
        check_index(k, im_.size());
        re_[k] = v.re;
        im_[k] = v.im;
    }
    // Every index is checked before the first read or write.
    template <std::size_t N>
    std::array<QComplex, N> access(const std::array<std::uint64_t, N>& idx) const {
        for (std::uint64_t k : idx) check_index(k, re_.size());
        std::array<QComplex, N> out;
        for (std::size_t i = 0; i < N; ++i) out[i] = QComplex{re_[idx[i]], im_[idx[i]]};
        return out;
    }
    template <std::size_t N>
    void update(const std::array<std::uint64_t, N>& idx, const std::array<QComplex, N>& v) {
        for (std::uint64_t k : idx) check_index(k, re_.size());
        for (std::size_t i = 0; i < N; ++i) {
            re_[idx[i]] = v[i].re;
            im_[idx[i]] = v[i].im;
        }
    }

    // Unit norm, then the canonical global phase.
    void normalize() noexcept;
    // Rotates the global phase so that the reference amplitude is real and non-negative.
    void normalize_arg() noexcept;
    // Squared magnitudes sum to 1 within 2^-24.
    bool check() const noexcept;

    void hash(StableHasher& h) const noexcept;
    std::uint64_t hash_value() const noexcept;
    // Parts equal after scaling by 256 and truncating; lengths are not compared.
    bool loose_eq(const StateVec& other) const noexcept;
    StateVec clone() const { return *this; }

    // "[0.7071, 0.7071j]"
    std::string to_string() const;

    // Applies a gate in place: a kernel for the gates that have one, the dense
    // matrix from the gate table otherwise.
    void apply(std::span<const std::uint8_t> qubits, Gate16 gate);
    // Applies a 2x2, 4x4 or 8x8 matrix (column-major) to one, two or three qubits.
    void multiply(std::span<const std::uint8_t> qubits, const Matrix& matrix);

    // Moves qubit j to qubit perm[j], through this thread's scratch state of the same size.
    void apply_permutation(Permut32 perm);

    OrderInfo get_orderinfo() const;
    // Position k maps to the qubit with the k-th smallest order key.
    Permut32 get_permutation() const;

    friend bool operator==(const StateVec& a, const StateVec& b) noexcept;
    friend std::strong_ordering operator<=>(const StateVec& a, const StateVec& b) noexcept;

    // Direct access to the parts for the gate kernels.
    Qreal* re_data() noexcept { return re_.data(); }
    Qreal* im_data() noexcept { return im_.data(); }

    // The failures for a qubit count that no state can have: n >= 64 overflows
    // the length, n >= 60 the byte size of an array.
    static void check_qubit_count(std::uint32_t n);

private:
    StateVec() = default;
    // Both arrays at their final length, zero-filled. A state larger than this
    // machine's memory and swap is refused with std::bad_alloc up front rather
    // than left to the kernel's out-of-memory killer.
    static StateVec allocate(std::uint32_t n);

    friend void swap_storage(StateVec& a, StateVec& b) noexcept;

    std::vector<Qreal> re_;
    std::vector<Qreal> im_;
};

// The reference amplitude of the canonical phase, for parts' arrays of length
// len: amplitude 0, else the last one, else the sum of all of them (summed in
// index order) divided by its magnitude. Returns whether a single amplitude
// served. StateVec::normalize_arg and the search's kernels share it.
inline bool phase_reference(const double* re, const double* im, std::size_t len, double& zr, double& zi) noexcept {
    zr = re[0];
    zi = im[0];
    if (!(Qreal(zr).near_zero() && Qreal(zi).near_zero())) return true;
    zr = re[len - 1];
    zi = im[len - 1];
    if (!(Qreal(zr).near_zero() && Qreal(zi).near_zero())) return true;
    zr = 0.0;
    zi = 0.0;
    for (std::size_t k = 0; k < len; ++k) {
        zr = zr + re[k];
        zi = zi + im[k];
    }
    const double a = std::sqrt(zr * zr + zi * zi);
    zr = zr / a;
    zi = zi / a;
    return false;
}

// The factor conj(z) / |z| that turns the reference z real and non-negative,
// computed in exactly this order.
inline void phase_factor(double zr, double zi, double& fr, double& fi) noexcept {
    const double w = zr * zr + zi * zi;
    const double r = std::sqrt(w);
    fr = (zr / w) * r;
    fi = ((-zi) / w) * r;
}

// Exchanges the arrays of two states without copying an amplitude.
inline void swap_storage(StateVec& a, StateVec& b) noexcept {
    a.re_.swap(b.re_);
    a.im_.swap(b.im_);
}

// Exclusive access to the calling thread's scratch pool `STATE_VEC_CACHE`:
// entry k is a state of k qubits whose amplitudes are whatever the last
// permutation of that size left there. A second borrow while one is alive is
// an internal failure.
class StateVecCacheRef {
public:
    StateVecCacheRef(const StateVecCacheRef&) = delete;
    StateVecCacheRef& operator=(const StateVecCacheRef&) = delete;
    ~StateVecCacheRef();
    std::vector<StateVec>& entries() const noexcept { return *entries_; }

private:
    friend StateVecCacheRef STATE_VEC_CACHE();
    StateVecCacheRef(std::vector<StateVec>* entries, bool* borrowed) noexcept
        : entries_(entries), borrowed_(borrowed) {}
    std::vector<StateVec>* entries_;
    bool* borrowed_;
};

StateVecCacheRef STATE_VEC_CACHE();

// Makes the calling thread's pool hold entries of 0 to `size` qubits.
void reserve_state_vec_cache(std::uint64_t size);

}  // namespace brimsel
