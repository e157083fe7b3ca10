// State vectors: construction, normalisation, hashing, display, gate application and qubit permutation.
#include "state/mod.hpp"
#include "utils/memory.hpp"


#include <algorithm>
#include <new>

#include "state/gates.hpp"
#include "state/indices.hpp"
#include "state/order_info.hpp"

namespace brimsel {


void StateVec::check_qubit_count(std::uint32_t n) {
    if (n >= 64) panic("Number of qubits too large, resulting in overflow for state vector size.");
    if (n >= 60) panic("capacity overflow");
}

StateVec StateVec::allocate(std::uint32_t n) {
    check_qubit_count(n);
    const std::uint64_t len = std::uint64_t{1} << n;
    // Two arrays of 8-byte parts; n < 60 keeps this below 2^64.
    check_allocation(len, 2 * sizeof(Qreal));
    StateVec s;
    s.re_.assign(len, Qreal{});
    s.im_.assign(len, Qreal{});
    return s;
}

StateVec StateVec::new_(std::vector<Qreal> re, std::vector<Qreal> im) {
    if (re.size() != im.size())
        panic("assertion `left == right` failed: Real and imaginary parts must have the same "
              "length\n  left: " +
              std::to_string(re.size()) + "\n right: " + std::to_string(im.size()));
    if (!std::has_single_bit(re.size())) panic("Length must be a power of 2");
    StateVec s;
    s.re_ = std::move(re);
    s.im_ = std::move(im);
    return s;
}

StateVec StateVec::zeros(std::uint32_t n) { return allocate(n); }

void StateVec::normalize() noexcept {
    double s = 0.0;
    for (std::size_t k = 0; k < re_.size(); ++k) {
        const double t = re_[k].value * re_[k].value + im_[k].value * im_[k].value;
        s = s + t;
    }
    if (s == 0.0) {
        // No direction to keep: the all-zero vector becomes |0...0>.
        std::fill(re_.begin(), re_.end(), Qreal{});
        std::fill(im_.begin(), im_.end(), Qreal{});
        re_[0].value = 1.0;
        return;
    }
    const double m = std::sqrt(s);
    for (std::size_t k = 0; k < re_.size(); ++k) {
        re_[k].value = re_[k].value / m;
        im_[k].value = im_[k].value / m;
    }
    normalize_arg();
}

void StateVec::normalize_arg() noexcept {
    const std::size_t last = re_.size() - 1;
    double zr, zi, fr, fi;
    phase_reference(&re_[0].value, &im_[0].value, re_.size(), zr, zi);
    phase_factor(zr, zi, fr, fi);
    for (std::size_t k = 0; k <= last; ++k) {
        const double a = re_[k].value, b = im_[k].value;
        re_[k].value = a * fr - b * fi;
        im_[k].value = a * fi + b * fr;
    }
    im_[0].value = 0.0;
}

bool StateVec::check() const noexcept {
    double s = 0.0;
    for (std::size_t k = 0; k < re_.size(); ++k) {
        const double t = re_[k].value * re_[k].value + im_[k].value * im_[k].value;
        s = s + t;
    }
    return Qreal(s - 1.0).near_zero();
}

void StateVec::hash(StableHasher& h) const noexcept {
    h.write_len(re_.size());
    for (Qreal x : re_) x.hash(h);
    h.write_len(im_.size());
    for (Qreal x : im_) x.hash(h);
}

std::uint64_t StateVec::hash_value() const noexcept {
    StableHasher h;
    hash(h);
    return h.finish();
}

bool StateVec::loose_eq(const StateVec& other) const noexcept {
    const std::size_t nr = std::min(re_.size(), other.re_.size());
    for (std::size_t k = 0; k < nr; ++k)
        if (!Qreal::loose_eq(re_[k], other.re_[k])) return false;
    const std::size_t ni = std::min(im_.size(), other.im_.size());
    for (std::size_t k = 0; k < ni; ++k)
        if (!Qreal::loose_eq(im_[k], other.im_[k])) return false;
    return true;
}

std::string StateVec::to_string() const {
    std::string out = "[";
    for (std::size_t k = 0; k < re_.size(); ++k) {
        if (k > 0) out += ", ";
        const Qreal r = re_[k], i = im_[k];
        if (i.near_zero()) {
            out += r.format(4);
        } else if (r.near_zero()) {
            out += i.format(4);
            out += 'j';
        } else {
            out += r.format(4);
            out += i.format(4, true);
            out += 'j';
        }
    }
    out += ']';
    return out;
}

namespace {

template <class A>
std::strong_ordering compare_parts(const A& a, const A& b) noexcept {
    return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

bool operator==(const StateVec& a, const StateVec& b) noexcept {
    return std::equal(a.re_.begin(), a.re_.end(), b.re_.begin(), b.re_.end()) &&
           std::equal(a.im_.begin(), a.im_.end(), b.im_.begin(), b.im_.end());
}

std::strong_ordering operator<=>(const StateVec& a, const StateVec& b) noexcept {
    if (auto c = compare_parts(a.re_, b.re_); c != 0) return c;
    return compare_parts(a.im_, b.im_);
}

// ---- gate application ------------------------------------------------------------------------

void StateVec::apply(std::span<const std::uint8_t> qubits, Gate16 gate) {
    if (GateKernel kernel = GATE_FUNCS().find(gate)) {
        kernel(*this, qubits);
        return;
    }
    gate.matrix([&](const Matrix& m) { multiply(qubits, m); });
}

namespace {

// A complex value as two doubles; a product is (ac - bd, ad + bc), a sum part by part.
struct C {
    double re, im;
};
inline C mul(C a, C b) noexcept { return C{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline C add(C a, C b) noexcept { return C{a.re + b.re, a.im + b.im}; }
constexpr C kOne{1.0, 0.0};

// y = M v as a general matrix-vector product with unit scale factors: each
// v_j is first multiplied by the complex one, the first column's product
// starts the sum, and every later column's product is added to the partial
// sum multiplied by the complex one. Those multiplications by one only ever
// change the sign of a zero part, but states are hashed and compared bit for
// bit, so they are kept.
template <std::size_t K>
void multiply_fixed(StateVec& s, std::span<const std::uint8_t> qubits, const Matrix& matrix) {
    constexpr std::size_t N = std::size_t{1} << K;
    check_qubit_args(s.nqubits(), qubits);
    C m[N][N];  // m[col][row], as the matrix is stored
    for (std::size_t col = 0; col < N; ++col)
        for (std::size_t row = 0; row < N; ++row) {
            const QComplex& e = matrix.at(row, col);
            m[col][row] = C{e.re.value, e.im.value};
        }
    Qreal* re = s.re_data();
    Qreal* im = s.im_data();
    const QubitIndexGroups<K> groups(s.nqubits(), qubits.first<K>());
    for (std::uint64_t i = 0, n = groups.count(); i < n; ++i) {
        const auto idx = groups.members(i);
        C v[N];
        for (std::size_t k = 0; k < N; ++k) v[k] = C{re[idx[k]].value, im[idx[k]].value};
        C y[N];
        const C w0 = mul(kOne, v[0]);
        for (std::size_t row = 0; row < N; ++row) y[row] = mul(w0, m[0][row]);
        for (std::size_t col = 1; col < N; ++col) {
            const C wj = mul(kOne, v[col]);
            for (std::size_t row = 0; row < N; ++row)
                y[row] = add(mul(wj, m[col][row]), mul(kOne, y[row]));
        }
        for (std::size_t k = 0; k < N; ++k) {
            re[idx[k]].value = y[k].re;
            im[idx[k]].value = y[k].im;
        }
    }
}

}  // namespace

void StateVec::multiply(std::span<const std::uint8_t> qubits, const Matrix& matrix) {
    switch (qubits.size()) {
        case 1:
            if (matrix.rows != 2 || matrix.cols != 2)
                panic("assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2");
            multiply_fixed<1>(*this, qubits, matrix);
            return;
        case 2:
            if (matrix.rows != 4 || matrix.cols != 4)
                panic("assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4");
            multiply_fixed<2>(*this, qubits, matrix);
            return;
        case 3:
            if (matrix.rows != 8 || matrix.cols != 8)
                panic("assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8");
            multiply_fixed<3>(*this, qubits, matrix);
            return;
        default:
            panic("Unsupported number of qubits: " + std::to_string(qubits.size()));
    }
}

// ---- qubit permutation and the scratch pool --------------------------------------------------

namespace {

struct Pool {
    std::vector<StateVec> entries;
    bool borrowed = false;
};

Pool& thread_pool() {
    thread_local Pool pool;
    return pool;
}

}  // namespace

StateVecCacheRef::~StateVecCacheRef() { *borrowed_ = false; }

StateVecCacheRef STATE_VEC_CACHE() {
    Pool& p = thread_pool();
    if (p.borrowed) panic("RefCell already borrowed");
    p.borrowed = true;
    return StateVecCacheRef(&p.entries, &p.borrowed);
}

void reserve_state_vec_cache(std::uint64_t size) {
    StateVecCacheRef cache = STATE_VEC_CACHE();
    std::vector<StateVec>& entries = cache.entries();
    for (std::uint64_t k = entries.size(); k <= size; ++k)
        entries.push_back(StateVec::zeros(static_cast<std::uint32_t>(std::min<std::uint64_t>(k, 64))));
}

void StateVec::apply_permutation(Permut32 perm) {
    const std::uint64_t n = nqubits();
    // Only a bijection of the state's qubits writes every scratch amplitude;
    // anything else would leave stale values from an earlier permutation. A
    // word holds at most 8 positions, whatever its length byte says.
    if (std::min<std::size_t>(perm.len(), 8) < n)
        panic("Permutation of " + std::to_string(perm.len()) +
              " positions does not cover the " + std::to_string(n) + " qubits of the state");
    const std::uint64_t len = re_.size();
    unsigned seen = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const unsigned image = perm.get(j);
        // The first index that would land outside: qubit j alone set.
        if (image >= n) panic_index(len, std::uint64_t{1} << image);
        if (seen & (1u << image)) panic("Permutation values must be unique");
        seen |= 1u << image;
    }

    reserve_state_vec_cache(n);
    StateVecCacheRef cache = STATE_VEC_CACHE();
    StateVec& scratch = cache.entries()[n];

    // Going from index i-1 to i flips bits 0..t, t = ctz(i), so the target
    // index flips the images of those bits: one xor per amplitude.
    std::uint64_t flip[8] = {};
    std::uint64_t acc = 0;
    for (std::size_t t = 0; t < n; ++t) {
        acc |= std::uint64_t{1} << perm.get(t);
        flip[t] = acc;
    }
    Qreal* sre = scratch.re_.data();
    Qreal* sim = scratch.im_.data();
    sre[0] = re_[0];
    sim[0] = im_[0];
    std::uint64_t p = 0;
    for (std::uint64_t i = 1; i < len; ++i) {
        p ^= flip[std::countr_zero(i)];
        sre[p] = re_[i];
        sim[p] = im_[i];
    }
    swap_storage(*this, scratch);
}

// ---- order information -----------------------------------------------------------------------

OrderInfo StateVec::get_orderinfo() const {
    const std::uint64_t n = nqubits();
    OrderInfo o = OrderInfo::new_(n);
    const std::uint64_t all = re_.size() - 1;
    o.sort_eqclass_by_key(0, [&](std::uint8_t q) {
        const std::uint64_t only = std::uint64_t{1} << q;
        const std::uint64_t others = all & ~only;
        // The tolerant-real keys order and compare exactly as the values do; taking
        // them once saves recomputing them in every comparison of the sort.
        return std::array<std::uint64_t, 4>{re_[only].percision_repr(), im_[only].percision_repr(),
                                            re_[others].percision_repr(), im_[others].percision_repr()};
    });
    return o;
}

Permut32 StateVec::get_permutation() const { return get_orderinfo().as_bits().first; }

}  // namespace brimsel
