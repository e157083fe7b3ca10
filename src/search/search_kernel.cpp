// The search's evaluations on fixed-size states: one instantiation per qubit count from 1 to 5.
#include "search/search_kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "state/gate_formulas.hpp"
#include "state/indices.hpp"
#include "state/order_info.hpp"
#include "utils/cpu.hpp"

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
#include <immintrin.h>
#endif

namespace brimsel {

namespace {

// A kernel gate on given qubits (q1 only for the exchanges of two qubits).
struct Op {
    KernelKind kind;
    std::uint8_t q0, q1;
};

// Whether a kernel acts on two qubits (the exchanges) rather than one.
constexpr bool on_two(KernelKind k) noexcept { return k == KernelKind::CX || k == KernelKind::SWAP; }

// The op of `instr` on states of n qubits, when a kernel handles it with its
// own number of distinct qubit arguments, all of them qubits of the state.
std::optional<Op> op_of(const Instr32& instr, std::size_t n) {
    const std::optional<KernelKind> kind = GATE_FUNCS().kind(instr.gate);
    if (!kind) return std::nullopt;
    const std::span<const std::uint8_t> q = instr.qargs.as_slice();
    const bool two = on_two(*kind);
    if (q.size() != (two ? 2u : 1u)) return std::nullopt;
    for (std::uint8_t x : q)
        if (x >= n) return std::nullopt;
    if (two && q[0] == q[1]) return std::nullopt;
    return Op{*kind, q[0], two ? q[1] : std::uint8_t{0}};
}

// Non-zero 32-bit keys to indices, by open addressing in a fixed table (of a
// power of two slots) that is kept at most half full by its user.
class SlotMap {
public:
    explicit SlotMap(std::size_t capacity) : keys_(capacity), values_(capacity) {
        if (!std::has_single_bit(capacity)) panic("A slot map holds a power of two slots");
    }
    std::int32_t find(std::uint32_t key) const noexcept {
        for (std::size_t i = slot(key);; i = (i + 1) & (keys_.size() - 1)) {
            if (keys_[i] == key) return values_[i];
            if (keys_[i] == 0) return -1;
        }
    }
    void insert(std::uint32_t key, std::int32_t value) noexcept {
        std::size_t i = slot(key);
        while (keys_[i] != 0) i = (i + 1) & (keys_.size() - 1);
        keys_[i] = key;
        values_[i] = value;
    }

private:
    std::size_t slot(std::uint32_t key) const noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B1u) >> 8) & (keys_.size() - 1);
    }
    std::vector<std::uint32_t> keys_;
    std::vector<std::int32_t> values_;
};

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
// The keys of the n amplitudes (a multiple of 4) multiplied by (fr, fi), four
// at a time with the same operations lane by lane as the two-lane path: re
// parts in keys[0, n), im parts in keys[n, 2n). False when a lane was out of
// range; the keys must then be made again.
__attribute__((target("avx2"))) bool fixed_keys4(const double* re, const double* im, std::size_t n, double fr,
                                                 double fi, std::uint64_t* keys) noexcept {
    const __m256d vfr = _mm256_set1_pd(fr), vfi = _mm256_set1_pd(fi);
    __m256d in_range = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    for (std::size_t k = 0; k < n; k += 4) {
        const __m256d a = _mm256_loadu_pd(re + k), b = _mm256_loadu_pd(im + k);
        percision_repr4(_mm256_sub_pd(_mm256_mul_pd(a, vfr), _mm256_mul_pd(b, vfi)), keys + k, in_range);
        percision_repr4(_mm256_add_pd(_mm256_mul_pd(a, vfi), _mm256_mul_pd(b, vfr)), keys + n + k, in_range);
    }
    return _mm256_movemask_pd(in_range) == 0xF;
}
#endif

constexpr std::size_t factorial(std::size_t n) { return n <= 1 ? 1 : n * factorial(n - 1); }

// The composition (a * b)[i] = a[b[i]] of two permutations of N positions.
template <std::size_t N>
inline Permut32 compose(Permut32 a, Permut32 b) noexcept {
    std::uint32_t raw = std::uint32_t{N} << 24;
    for (std::size_t i = 0; i < N; ++i) raw |= std::uint32_t{a.get(b.get(i))} << (3 * i);
    return Permut32::from_raw(raw);
}

template <std::size_t N>
inline Permut32 inverse(Permut32 p) noexcept {
    std::uint32_t raw = std::uint32_t{N} << 24;
    for (std::size_t i = 0; i < N; ++i) raw |= std::uint32_t(i) << (3 * p.get(i));
    return Permut32::from_raw(raw);
}

// The rounded keys of a qubit's order: the amplitudes with only that qubit set
// and with every other qubit set.
using QubitKey = std::array<std::uint64_t, 4>;

// Lexicographic, without branches: the words' order is as good as random.
inline bool key_less(const QubitKey& a, const QubitKey& b) noexcept {
    bool lt = a[3] < b[3];
    lt = (a[2] < b[2]) | ((a[2] == b[2]) & lt);
    lt = (a[1] < b[1]) | ((a[1] == b[1]) & lt);
    return (a[0] < b[0]) | ((a[0] == b[0]) & lt);
}
inline bool key_equal(const QubitKey& a, const QubitKey& b) noexcept {
    return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
}

// Qubits 0..N-1 sorted stably by key; returns the permutation listing them and
// the equality mask of its neighbouring positions.
template <std::size_t N>
inline std::pair<Permut32, unsigned> order_of(const QubitKey* keys) noexcept {
    // Each qubit's position counts the qubits that go before it; of two equal
    // keys the lower qubit goes first, as a stable sort from ascending order has
    // it. The first words nearly always differ, and then decide alone.
    std::uint64_t first[N];
    for (std::size_t q = 0; q < N; ++q) first[q] = keys[q][0];
    bool distinct = true;
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = i + 1; j < N; ++j) distinct &= first[i] != first[j];
    unsigned rank[N] = {};
    std::uint32_t raw = std::uint32_t{N} << 24;
    if (distinct) [[likely]] {
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = i + 1; j < N; ++j) {
                const bool j_first = first[j] < first[i];
                rank[i] += j_first;
                rank[j] += !j_first;
            }
        for (std::size_t q = 0; q < N; ++q) raw |= std::uint32_t(q) << (3 * rank[q]);
        return {Permut32::from_raw(raw), 0};
    }
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = i + 1; j < N; ++j) {
            const bool j_first = key_less(keys[j], keys[i]);
            rank[i] += j_first;
            rank[j] += !j_first;
        }
    std::uint8_t qubits[N];
    for (std::size_t q = 0; q < N; ++q) qubits[rank[q]] = static_cast<std::uint8_t>(q);
    unsigned mask = 0;
    for (std::size_t k = 0; k < N; ++k) {
        raw |= std::uint32_t{qubits[k]} << (3 * k);
        if (k + 1 < N && key_equal(keys[qubits[k]], keys[qubits[k + 1]])) mask |= 1u << k;
    }
    return {Permut32::from_raw(raw), mask};
}

#if defined(__SSE2__)
// Two doubles whose operators round lane by lane exactly as the scalar ones.
struct V2 {
    __m128d v;
    explicit V2(__m128d x) noexcept : v(x) {}
    V2(double x) noexcept : v(_mm_set1_pd(x)) {}  // NOLINT: a constant in every lane
    friend V2 operator+(V2 a, V2 b) noexcept { return V2(_mm_add_pd(a.v, b.v)); }
    friend V2 operator-(V2 a, V2 b) noexcept { return V2(_mm_sub_pd(a.v, b.v)); }
    friend V2 operator*(V2 a, V2 b) noexcept { return V2(_mm_mul_pd(a.v, b.v)); }
    // Negation flips the sign bit only, as it does for a double.
    V2 operator-() const noexcept { return V2(_mm_xor_pd(v, _mm_set1_pd(-0.0))); }
};
#endif

template <std::size_t N>
class Kernel final : public SearchKernel {
public:
    static constexpr std::size_t L = std::size_t{1} << N;
    static constexpr std::size_t kPerms = factorial(N);
    // A canonical state's words as its hash takes them: the length, the real
    // parts' keys, the length, the imaginary parts' keys.
    static constexpr std::size_t kWords = 2 * L + 2;

    struct State {
        alignas(16) double re[L];
        alignas(16) double im[L];
    };

    Kernel(const Evaluator& ev, std::vector<Op> forward, std::vector<Op> adjoint,
           std::vector<std::pair<Gate16, std::pair<Op, Op>>> by_gate)
        : forward_(std::move(forward)),
          adjoint_(std::move(adjoint)),
          by_gate_(std::move(by_gate)),
          won_all_(forward_.size() * kWords),
          fkeys_all_(forward_.size() * N),
          twin_(forward_.size()) {
        load(ev.initial_state, initial_);
        load(ev.backtrack_state, backtrack_);
        prefix_states_.reserve(kCachedStates);
        symmetric_ = symmetric(initial_);
        wide_ = use_avx2();
        // The candidates of each equality mask, cut to N positions; positions
        // past the last tie map to themselves.
        const auto& table = EQMASK_TO_PERMS();
        for (std::size_t m = 0; m < rows_.size(); ++m)
            for (Permut32 p : table[m])
                rows_[m].push_back(
                    Permut32::from_raw((p.raw & ((std::uint32_t{1} << (3 * N)) - 1)) | (std::uint32_t{N} << 24)));
        // Every permutation is among the candidates of all ties; other codes are no permutation.
        rank_by_code_.fill(static_cast<std::uint8_t>(kPerms));
        for (Permut32 p : rows_.back()) rank_by_code_[p.raw & (kCodes - 1)] = static_cast<std::uint8_t>(perm_rank(p));
    }

    void evaluate_extensions(std::span<const Instr32> circuit, std::uint64_t* keys,
                             std::vector<PairList::Pair>& pairs, std::size_t* pair_start) override {
        State prefix;
        copy(initial_, prefix);
        circuit_adjoint_.clear();
        circuit_qubits_ = 0;
        for (const Instr32& i : circuit) {
            const auto [fwd, adj] = ops_of(i.gate, i.qargs);
            apply(prefix, fwd);
            circuit_adjoint_.push_back(adj);
            circuit_qubits_ |= qubits_of(fwd);
        }
        prepare_prefix(prefix);
        const std::size_t m = forward_.size();
        reps_.clear();
        hashed_.clear();
        for (std::size_t p = 0; p < m; ++p) {
            pair_start[p] = pairs.size();
            twin_[p] = -1;
            // A placement that the circuit's symmetry maps to one evaluated before
            // takes that one's outcome, relabelled (see derive).
            const std::uint32_t shape = symmetric_ ? shape_of(p) : kNoShape;
            if (shape != kNoShape) {
                bool derived = false;
                for (const Rep& rep : reps_)
                    if (rep.shape == shape) {
                        derive(p, rep, pairs, pair_start);
                        derived = true;
                        break;
                    }
                if (derived) continue;
            }
            hashed_.push_back(p);
            won_ = won_all_.data() + p * kWords;
            QubitKey* fkeys = fkeys_all_.data() + p * N;
            const bool forward_single = forward_keys(prefix, forward_[p], fkeys);
            const auto [perm, mask] = order_of<N>(fkeys);
            // A candidate whose back permutation differs from an evaluated one's only
            // by a relabelling r among qubits that neither the circuit nor the
            // placement touches ends in that candidate's state relabelled by r:
            // gates on other qubits commute with r exactly, amplitude 0 and the last
            // stay in place for the phase fix, and the qubit order follows r. Its
            // canonical state is the same, so only its pair needs working out.
            // (A phase taken from the sum of all amplitudes would sum them in
            // another order: such candidates are evaluated in full.)
            const std::uint32_t untouched = ((1u << N) - 1) & ~(circuit_qubits_ | qubits_of(forward_[p]));
            evaluated_.clear();
            std::uint32_t best_count = 0;
            bool have_best = false;
            bool all_single = forward_single;
            for (Permut32 r : rows_[mask]) {
                const Permut32 back_perm = compose<N>(perm, r);
                const std::uint32_t blind = untouched ? blind_to(back_perm, untouched) : 0;
                const Evaluated* same = nullptr;
                if (untouched)
                    for (const Evaluated& e : evaluated_)
                        if (e.untouched_blind == blind) {
                            same = &e;
                            break;
                        }
                int c;
                Permut32 front;
                if (same) {
                    const Permut32 relabel = compose<N>(back_perm, inverse<N>(same->back));
                    front = compose<N>(relabel, same->front);
                    c = same->was_best && same->best_count == best_count ? 0 : 1;
                } else {
                    c = candidate(back_perm, adjoint_[p], have_best);
                    front = front_;
                    all_single = all_single && single_reference_;
                    if (c < 0) ++best_count;
                    if (untouched && single_reference_)
                        evaluated_.push_back({blind, back_perm, front, best_count, c <= 0});
                }
                if (c < 0) {
                    pairs.resize(pair_start[p]);
                    have_best = true;
                }
                if (c <= 0) pairs.push_back({front, inverse<N>(back_perm)});
            }
            // Only a placement whose phases all came from a single amplitude
            // stands for others: a sum would add the relabelled amplitudes in
            // another order.
            if (shape != kNoShape && all_single) reps_.push_back({shape, static_cast<std::uint32_t>(p)});
        }
        pair_start[m] = pairs.size();
        // The hashes of the canonical states, fed as StateVec::hash feeds them, several at a time.
        runs_.clear();
        for (std::size_t p : hashed_) runs_.push_back(won_all_.data() + p * kWords);
        hashes_.resize(hashed_.size());
        stable_hash_words_many(runs_.data(), runs_.size(), kWords, hashes_.data());
        for (std::size_t k = 0; k < hashed_.size(); ++k) keys[hashed_[k]] = hashes_[k];
        for (std::size_t p = 0; p < m; ++p)
            if (twin_[p] >= 0) keys[p] = keys[static_cast<std::size_t>(twin_[p])];
    }

private:
    // A placement evaluated in full whose outcome others can take over.
    struct Rep {
        std::uint32_t shape;
        std::uint32_t placement;
    };
    static constexpr std::uint32_t kNoShape = ~std::uint32_t{0};

    // Placement p's kinds (forward and adjoint) with its qubits, where a qubit
    // the circuit leaves alone is only told apart from the placement's other
    // one. Two placements of one shape differ by a relabelling s of the
    // untouched qubits, which fixes the circuit gate by gate and, when the
    // initial state is the same under every relabelling, the circuit's state
    // too. Placements with nothing untouched have no other of their shape.
    std::uint32_t shape_of(std::size_t p) const noexcept {
        const Op op = forward_[p];
        const bool two = on_two(op.kind);
        const std::uint32_t touched = circuit_qubits_;
        auto code = [&](std::uint8_t q, std::uint32_t fresh) { return (touched >> q) & 1u ? q : 8u + fresh; };
        const bool free0 = !((touched >> op.q0) & 1u), free1 = two && !((touched >> op.q1) & 1u);
        if (!free0 && !free1) return kNoShape;
        const std::uint32_t a = code(op.q0, 0), b = two ? code(op.q1, free0 ? 1u : 0u) : 0u;
        return (static_cast<std::uint32_t>(adjoint_[p].kind) << 24) | (static_cast<std::uint32_t>(op.kind) << 16) |
               (a << 8) | b;
    }

    // The relabelling s of the untouched qubits that takes `from`'s qubits to
    // `to`'s, the other untouched qubits in order onto the rest.
    Permut32 sigma_of(Op from, Op to) const noexcept {
        const bool two = on_two(from.kind);
        std::uint8_t image[8];
        std::uint32_t used_from = 0, used_to = 0;
        for (std::size_t q = 0; q < N; ++q) image[q] = static_cast<std::uint8_t>(q);
        auto map = [&](std::uint8_t a, std::uint8_t b) {
            image[a] = b;
            used_from |= 1u << a;
            used_to |= 1u << b;
        };
        map(from.q0, to.q0);
        if (two) map(from.q1, to.q1);
        const std::uint32_t free = ((1u << N) - 1) & ~circuit_qubits_;
        std::uint32_t rest_from = free & ~used_from, rest_to = free & ~used_to;
        while (rest_from) {
            const unsigned a = static_cast<unsigned>(std::countr_zero(rest_from));
            const unsigned b = static_cast<unsigned>(std::countr_zero(rest_to));
            image[a] = static_cast<std::uint8_t>(b);
            rest_from &= rest_from - 1;
            rest_to &= rest_to - 1;
        }
        std::uint32_t raw = std::uint32_t{N} << 24;
        for (std::size_t q = 0; q < N; ++q) raw |= std::uint32_t{image[q]} << (3 * q);
        return Permut32::from_raw(raw);
    }

    // Placement p is s(rep) for a relabelling s of the untouched qubits. Its
    // forward state is rep's relabelled by s (the circuit's state stays as it
    // is), so its order keys are rep's moved by s, and its forward order is
    // s . perm . t for a relabelling t within the ties. Its candidate for the
    // back permutation b runs the ops of rep's candidate for inverse(s) . b on
    // the same qubits of the backtrack state: the same canonical state, with
    // the front order moved by s. Rep's pairs say which of its candidates
    // reached the least state, so p's pairs follow in p's own order of
    // candidates, and its key is rep's.
    void derive(std::size_t p, const Rep& rep, std::vector<PairList::Pair>& pairs, const std::size_t* pair_start) {
        const std::size_t from = rep.placement;
        twin_[p] = static_cast<std::int32_t>(from);
        const Permut32 sigma = sigma_of(forward_[from], forward_[p]);
        const Permut32 sigma_inv = inverse<N>(sigma);
        const QubitKey* rep_keys = fkeys_all_.data() + from * N;
        QubitKey fkeys[N];
        for (std::size_t q = 0; q < N; ++q) fkeys[q] = rep_keys[sigma_inv.get(q)];
        const auto [perm, mask] = order_of<N>(fkeys);
        const std::size_t begin = pair_start[from], end = pair_start[from + 1];
        for (Permut32 r : rows_[mask]) {
            const Permut32 back_perm = compose<N>(perm, r);
            const Permut32 rep_back_inv = inverse<N>(compose<N>(sigma_inv, back_perm));
            for (std::size_t k = begin; k < end; ++k)
                if (pairs[k].second == rep_back_inv) {
                    pairs.push_back({compose<N>(sigma, pairs[k].first), inverse<N>(back_perm)});
                    break;
                }
        }
    }

    // Whether every relabelling of the qubits leaves the state as it is, bit for bit.
    static bool symmetric(const State& s) noexcept {
        for (std::size_t a = 0; a < N; ++a)
            for (std::size_t b = a + 1; b < N; ++b)
                for (std::size_t i = 0; i < L; ++i) {
                    // i with bits a and b exchanged
                    const std::size_t flip = (std::size_t{1} << a) | (std::size_t{1} << b);
                    const std::size_t j = ((i >> a) & 1u) == ((i >> b) & 1u) ? i : i ^ flip;
                    if (std::memcmp(&s.re[i], &s.re[j], sizeof(double)) != 0 ||
                        std::memcmp(&s.im[i], &s.im[j], sizeof(double)) != 0)
                        return false;
                }
        return true;
    }

    static std::uint32_t qubits_of(Op op) noexcept {
        const bool two = on_two(op.kind);
        return (1u << op.q0) | (two ? 1u << op.q1 : 0u);
    }
    // The permutation's images with those among `untouched` replaced by 7.
    static std::uint32_t blind_to(Permut32 p, std::uint32_t untouched) noexcept {
        std::uint32_t out = 0;
        for (std::size_t k = 0; k < N; ++k) {
            const unsigned image = p.get(k);
            out |= ((untouched >> image) & 1u ? 7u : image) << (3 * k);
        }
        return out;
    }

    static void load(const StateVec& s, State& out) noexcept {
        for (std::size_t k = 0; k < L; ++k) {
            out.re[k] = s.re()[k].value;
            out.im[k] = s.im()[k].value;
        }
    }

    static std::uint64_t rounded(double v) noexcept { return Qreal(v).percision_repr(); }

    // A plain copy; the library's copy of this size starts slowly.
    static inline void copy(const State& from, State& to) noexcept {
#if defined(__SSE2__)
        for (std::size_t k = 0; k < L; k += 2) {
            _mm_storeu_pd(to.re + k, _mm_loadu_pd(from.re + k));
            _mm_storeu_pd(to.im + k, _mm_loadu_pd(from.im + k));
        }
#else
        to = from;
#endif
    }

    // The forward and adjoint ops of an instruction of the circuit: the kinds
    // are its gate's, the qubits its own.
    std::pair<Op, Op> ops_of(Gate16 g, QArgs16 qargs) const {
        for (const auto& [gate, ops] : by_gate_)
            if (gate == g) {
                std::pair<Op, Op> out = ops;
                out.first.q0 = out.second.q0 = qargs.q[0];
                out.first.q1 = out.second.q1 = qargs.q[1];
                return out;
            }
        panic("A search circuit holds an instruction that is none of its placements");
    }

    // Runs f(r0, m0, r1, m1) on the parts of every pair of amplitudes that
    // differ in qubit q only: two pairs at a time in vectors where the state
    // has room, pair by pair otherwise.
    template <class F>
    static inline void over_pairs(State& s, unsigned q, F&& f) noexcept {
#if defined(__SSE2__)
        if constexpr (L >= 4) {
            if (q >= 1) {
                // Qubit 0 is not the gate's: pairs k and k+1 sit side by side.
                const std::size_t low = (std::size_t{1} << q) - 1, stride = std::size_t{1} << q;
                for (std::size_t k = 0; k < L / 2; k += 2) {
                    const std::size_t i0 = ((k & ~low) << 1) | (k & low), i1 = i0 + stride;
                    V2 r0(_mm_load_pd(s.re + i0)), m0(_mm_load_pd(s.im + i0));
                    V2 r1(_mm_load_pd(s.re + i1)), m1(_mm_load_pd(s.im + i1));
                    f(r0, m0, r1, m1);
                    _mm_store_pd(s.re + i0, r0.v);
                    _mm_store_pd(s.im + i0, m0.v);
                    _mm_store_pd(s.re + i1, r1.v);
                    _mm_store_pd(s.im + i1, m1.v);
                }
            } else {
                // The pairs (j, j+1) and (j+2, j+3), members gathered into lanes.
                for (std::size_t j = 0; j < L; j += 4) {
                    const __m128d rx = _mm_load_pd(s.re + j), ry = _mm_load_pd(s.re + j + 2);
                    const __m128d mx = _mm_load_pd(s.im + j), my = _mm_load_pd(s.im + j + 2);
                    V2 r0(_mm_unpacklo_pd(rx, ry)), r1(_mm_unpackhi_pd(rx, ry));
                    V2 m0(_mm_unpacklo_pd(mx, my)), m1(_mm_unpackhi_pd(mx, my));
                    f(r0, m0, r1, m1);
                    _mm_store_pd(s.re + j, _mm_unpacklo_pd(r0.v, r1.v));
                    _mm_store_pd(s.re + j + 2, _mm_unpackhi_pd(r0.v, r1.v));
                    _mm_store_pd(s.im + j, _mm_unpacklo_pd(m0.v, m1.v));
                    _mm_store_pd(s.im + j + 2, _mm_unpackhi_pd(m0.v, m1.v));
                }
            }
            return;
        }
#endif
        const std::size_t low = (std::size_t{1} << q) - 1, bit = std::size_t{1} << q;
        for (std::size_t k = 0; k < L / 2; ++k) {
            const std::size_t i0 = ((k & ~low) << 1) | (k & low), i1 = i0 | bit;
            f(s.re[i0], s.im[i0], s.re[i1], s.im[i1]);
        }
    }
    // Exchanges members a and b (offsets) over the groups of two qubits lo < hi.
    static inline void over_groups(State& s, unsigned lo, unsigned hi, std::size_t a, std::size_t b) noexcept {
#if defined(__SSE2__)
        if constexpr (L >= 4) {
            auto base = [&](std::size_t k) { return insert_bit(insert_bit(k, lo, 0), hi, 0); };
            if (lo >= 1) {
                // Bases k and k+1 sit side by side: whole vectors change places.
                for (std::size_t k = 0; k < L / 4; k += 2) {
                    const std::size_t i = base(k);
                    for (double* part : {s.re, s.im}) {
                        const __m128d x = _mm_load_pd(part + (i | a)), y = _mm_load_pd(part + (i | b));
                        _mm_store_pd(part + (i | a), y);
                        _mm_store_pd(part + (i | b), x);
                    }
                }
                return;
            }
            // Qubit 0 is one of the two: every base is even, and each member sits in
            // lane (offset & 1) of the vector at base | (offset & ~1).
            const std::size_t va = a & ~std::size_t{1}, vb = b & ~std::size_t{1};
            auto each = [&](auto&& f) {
                for (std::size_t k = 0; k < L / 4; ++k) {
                    const std::size_t i = base(k);
                    for (double* part : {s.re, s.im}) {
                        __m128d x = _mm_load_pd(part + (i | va)), y = _mm_load_pd(part + (i | vb));
                        f(x, y);
                        _mm_store_pd(part + (i | va), x);
                        if (va != vb) _mm_store_pd(part + (i | vb), y);
                    }
                }
            };
            if (va == vb) {
                each([](__m128d& x, __m128d&) { x = _mm_shuffle_pd(x, x, 1); });
            } else if ((a & 1) == 0 && (b & 1) == 0) {
                each([](__m128d& x, __m128d& y) {
                    const __m128d t = _mm_move_sd(x, y);
                    y = _mm_move_sd(y, x);
                    x = t;
                });
            } else if ((a & 1) == 1 && (b & 1) == 1) {
                each([](__m128d& x, __m128d& y) {
                    const __m128d t = _mm_move_sd(y, x);
                    y = _mm_move_sd(x, y);
                    x = t;
                });
            } else if ((a & 1) == 0) {
                each([](__m128d& x, __m128d& y) {
                    const __m128d t = _mm_shuffle_pd(y, x, 3);
                    y = _mm_shuffle_pd(y, x, 0);
                    x = t;
                });
            } else {
                each([](__m128d& x, __m128d& y) {
                    const __m128d t = _mm_shuffle_pd(x, y, 0);
                    y = _mm_shuffle_pd(x, y, 3);
                    x = t;
                });
            }
            return;
        }
#endif
        for (std::size_t k = 0; k < L / 4; ++k) {
            const std::size_t i = insert_bit(insert_bit(k, lo, 0), hi, 0);
            formulas::exchange(s.re, s.im, i | a, i | b);
        }
    }

    static inline void apply(State& s, Op op) noexcept {
        using namespace formulas;
        switch (op.kind) {
            case KernelKind::H:
                over_pairs(s, op.q0, [](auto& r0, auto& m0, auto& r1, auto& m1) { h_values(r0, m0, r1, m1); });
                break;
            case KernelKind::X:
                over_pairs(s, op.q0, [](auto& r0, auto& m0, auto& r1, auto& m1) {
                    std::swap(r0, r1);
                    std::swap(m0, m1);
                });
                break;
            case KernelKind::Z: over_pairs(s, op.q0, [](auto&, auto&, auto& r1, auto& m1) { z_values(r1, m1); }); break;
            case KernelKind::T: over_pairs(s, op.q0, [](auto&, auto&, auto& r1, auto& m1) { t_values(r1, m1); }); break;
            case KernelKind::TDG:
                over_pairs(s, op.q0, [](auto&, auto&, auto& r1, auto& m1) { tdg_values(r1, m1); });
                break;
            case KernelKind::S: over_pairs(s, op.q0, [](auto&, auto&, auto& r1, auto& m1) { s_values(r1, m1); }); break;
            case KernelKind::SDG:
                over_pairs(s, op.q0, [](auto&, auto&, auto& r1, auto& m1) { sdg_values(r1, m1); });
                break;
            case KernelKind::SWAP:
            case KernelKind::CX: {
                const unsigned lo = std::min(op.q0, op.q1), hi = std::max(op.q0, op.q1);
                const std::size_t first = std::size_t{1} << op.q0, second = std::size_t{1} << op.q1;
                // cx: control set, target clear against both set; swap: the two single bits.
                if (op.kind == KernelKind::CX)
                    over_groups(s, lo, hi, first, first | second);
                else
                    over_groups(s, lo, hi, second, first);
                break;
            }
        }
    }

    // The rounded keys of s after StateVec::normalize_arg, operation for
    // operation: re parts in keys[0, L), im parts in keys[L, 2L). The state
    // itself is not needed afterwards and stays as it was.
    // Returns whether the phase reference was a single amplitude (0 or the
    // last) rather than the sum of all of them.
    inline bool phase_keys(const State& s, std::uint64_t* keys) const noexcept {
        double zr, zi, fr, fi;
        const bool single = phase_reference(s.re, s.im, L, zr, zi);
        phase_factor(zr, zi, fr, fi);
        fixed_keys(s, fr, fi, keys);
        keys[L] = rounded(0.0);
        return single;
    }

    // The rounded keys of s multiplied by (fr, fi): re parts in keys[0, L), im parts in keys[L, 2L).
    inline void fixed_keys(const State& s, double fr, double fi, std::uint64_t* keys) const noexcept {
#if defined(BRIMSEL_HAVE_AVX2_PATHS)
        if constexpr (L >= 4)
            if (wide_ && fixed_keys4(s.re, s.im, L, fr, fi, keys)) return;
#endif
#if defined(__SSE2__)
        const __m128d vfr = _mm_set1_pd(fr), vfi = _mm_set1_pd(fi);
        for (std::size_t k = 0; k < L; k += 2) {
            const __m128d a = _mm_loadu_pd(s.re + k), b = _mm_loadu_pd(s.im + k);
            percision_repr2(_mm_sub_pd(_mm_mul_pd(a, vfr), _mm_mul_pd(b, vfi)), keys + k);
            percision_repr2(_mm_add_pd(_mm_mul_pd(a, vfi), _mm_mul_pd(b, vfr)), keys + L + k);
        }
#else
        for (std::size_t k = 0; k < L; ++k) {
            const double a = s.re[k], b = s.im[k];
            keys[k] = rounded(a * fr - b * fi);
            keys[L + k] = rounded(a * fi + b * fr);
        }
#endif
    }

    // One of the arithmetic kernel formulas on a pair's parts.
    static inline void pair_formula(KernelKind kind, double& r0, double& m0, double& r1, double& m1) noexcept {
        using namespace formulas;
        switch (kind) {
            case KernelKind::H: h_values(r0, m0, r1, m1); break;
            case KernelKind::Z: z_values(r1, m1); break;
            case KernelKind::T: t_values(r1, m1); break;
            case KernelKind::TDG: tdg_values(r1, m1); break;
            case KernelKind::S: s_values(r1, m1); break;
            case KernelKind::SDG: sdg_values(r1, m1); break;
            case KernelKind::X:
            case KernelKind::SWAP:
            case KernelKind::CX: break;
        }
    }

    // Amplitude k of s after `op`, from the amplitudes the op mixes into it.
    static inline void value_after(const State& s, Op op, std::size_t k, double& r, double& m) noexcept {
        const std::size_t bit0 = std::size_t{1} << op.q0;
        std::size_t from = k;
        switch (op.kind) {
            case KernelKind::X: from = k ^ bit0; break;
            case KernelKind::CX:
                if (k & bit0) from = k ^ (std::size_t{1} << op.q1);
                break;
            case KernelKind::SWAP:
                if (((k >> op.q0) ^ (k >> op.q1)) & 1u) from = k ^ bit0 ^ (std::size_t{1} << op.q1);
                break;
            default: {
                const std::size_t i0 = k & ~bit0, i1 = k | bit0;
                double r0 = s.re[i0], m0 = s.im[i0], r1 = s.re[i1], m1 = s.im[i1];
                pair_formula(op.kind, r0, m0, r1, m1);
                r = (k & bit0) ? r1 : r0;
                m = (k & bit0) ? m1 : m0;
                return;
            }
        }
        r = s.re[from];
        m = s.im[from];
    }

    // Whether `op` leaves amplitude 0 as it is, and with it the phase fix taken from it.
    static bool keeps_first(Op op) noexcept { return op.kind != KernelKind::H && op.kind != KernelKind::X; }

    // The prefix's keys phase-fixed by its amplitude 0, when that amplitude is
    // the reference (prefix_keys_ from prefix_fix_ on; see forward_keys).
    void prepare_prefix(const State& prefix) noexcept {
        prefix_fix_ = !(Qreal(prefix.re[0]).near_zero() && Qreal(prefix.im[0]).near_zero());
        if (!prefix_fix_) return;
        double fr, fi;
        phase_factor(prefix.re[0], prefix.im[0], fr, fi);
        prefix_fr_ = fr;
        prefix_fi_ = fi;
        fixed_keys(prefix, fr, fi, prefix_keys_);
    }

    // The qubit order keys of the forward state: `prefix` with `op` applied and
    // its phase fixed. Only the amplitudes that the keys and the phase
    // reference read are computed, unless the reference is the sum of all.
    // An op that keeps amplitude 0 keeps the prefix's phase fix, and the keys
    // of the amplitudes it only moves or leaves are the prefix's.
    // Returns whether the phase reference was a single amplitude.
    bool forward_keys(const State& prefix, Op op, QubitKey* out) const noexcept {
        if (prefix_fix_ && keeps_first(op)) {
            const std::size_t bit0 = std::size_t{1} << op.q0, bit1 = std::size_t{1} << op.q1;
            auto keys_of = [&](std::size_t k, std::uint64_t& kr, std::uint64_t& ki) {
                std::size_t from = k;
                switch (op.kind) {
                    case KernelKind::CX:
                        if (k & bit0) from = k ^ bit1;
                        break;
                    case KernelKind::SWAP:
                        if (((k >> op.q0) ^ (k >> op.q1)) & 1u) from = k ^ bit0 ^ bit1;
                        break;
                    default:
                        if (k & bit0) {
                            double a, b;
                            value_after(prefix, op, k, a, b);
                            kr = rounded(a * prefix_fr_ - b * prefix_fi_);
                            ki = rounded(a * prefix_fi_ + b * prefix_fr_);
                            return;
                        }
                }
                kr = prefix_keys_[from];
                ki = k == 0 ? rounded(0.0) : prefix_keys_[L + from];
            };
            for (std::size_t q = 0; q < N; ++q) {
                const std::size_t only = std::size_t{1} << q, others = (L - 1) & ~only;
                keys_of(only, out[q][0], out[q][1]);
                keys_of(others, out[q][2], out[q][3]);
            }
            return true;
        }
        double zr, zi;
        value_after(prefix, op, 0, zr, zi);
        if (Qreal(zr).near_zero() && Qreal(zi).near_zero()) {
            value_after(prefix, op, L - 1, zr, zi);
            if (Qreal(zr).near_zero() && Qreal(zi).near_zero()) {
                State f;
                copy(prefix, f);
                apply(f, op);
                std::uint64_t keys[2 * L];
                phase_keys(f, keys);
                qubit_keys(keys, out);
                return false;
            }
        }
        double fr, fi;
        phase_factor(zr, zi, fr, fi);
        // The real part's key and, but for amplitude 0 whose imaginary part the
        // phase fix sets to zero, the imaginary part's.
        auto keys_of = [&](std::size_t k, std::uint64_t& kr, std::uint64_t& ki) {
            double a, b;
            value_after(prefix, op, k, a, b);
            kr = rounded(a * fr - b * fi);
            ki = k == 0 ? rounded(0.0) : rounded(a * fi + b * fr);
        };
        for (std::size_t q = 0; q < N; ++q) {
            const std::size_t only = std::size_t{1} << q, others = (L - 1) & ~only;
            keys_of(only, out[q][0], out[q][1]);
            keys_of(others, out[q][2], out[q][3]);
        }
        return true;
    }

    // The order keys of the qubits from a state's rounded keys.
    static inline void qubit_keys(const std::uint64_t* keys, QubitKey* out) noexcept {
        for (std::size_t q = 0; q < N; ++q) {
            const std::size_t only = std::size_t{1} << q, others = (L - 1) & ~only;
            out[q] = {keys[only], keys[L + only], keys[others], keys[L + others]};
        }
    }

    // perm_rank of a permutation of N positions, looked up by its images.
    std::size_t rank_of(Permut32 p) const {
        const std::size_t code = p.raw & (kCodes - 1);
        const std::size_t rank = rank_by_code_[code];
        check_index(rank, kPerms);
        return rank;
    }

    // y relabelled by `p` into x: the amplitude at index i moves to the index
    // whose bit p[j] is bit j of i.
    static void relabel(const State& y, Permut32 p, State& x) noexcept {
        for (std::size_t i = 0; i < L; ++i) {
            std::size_t to = 0;
            for (std::size_t j = 0; j < N; ++j) to |= ((i >> j) & 1u) << p.get(j);
            x.re[to] = y.re[i];
            x.im[to] = y.im[i];
        }
    }

    // `op` on the qubits that `inv` gives for its own.
    static Op relabelled(Op op, Permut32 inv) noexcept {
        const bool two = on_two(op.kind);
        return Op{op.kind, inv.get(op.q0), two ? inv.get(op.q1) : std::uint8_t{0}};
    }
    // A number below 255 for each op of the kernels on N qubits; one more than
    // it takes a byte of a cached prefix's key.
    static std::uint32_t op_code(Op op) noexcept {
        static_assert((static_cast<std::uint32_t>(KernelKind::CX) * N + N - 1) * N + N - 1 < 255);
        return (static_cast<std::uint32_t>(op.kind) * N + op.q0) * N + op.q1;
    }

    // The backtrack state with the first `n` of `ops` applied, in y: made from
    // the longest prefix the cache holds, and remembered for prefixes of up to
    // kCachedOps ops while the cache has room.
    void backtrack_with(const Op* ops, std::size_t n, State& y) {
        std::uint32_t key = 0;
        const State* from = &backtrack_;
        std::size_t done = 0;
        const std::size_t cached = std::min(n, kCachedOps);
        for (; done < cached; ++done) {
            const std::uint32_t next = key | ((op_code(ops[done]) + 1) << (8 * done));
            const std::int32_t at = prefixes_.find(next);
            if (at < 0) break;
            key = next;
            from = &prefix_states_[static_cast<std::size_t>(at)];
        }
        copy(*from, y);
        for (; done < n; ++done) {
            apply(y, ops[done]);
            if (done < cached && prefix_states_.size() < kCachedStates) {
                key |= (op_code(ops[done]) + 1) << (8 * done);
                prefixes_.insert(key, static_cast<std::int32_t>(prefix_states_.size()));
                prefix_states_.push_back(y);
            }
        }
    }

    // src[j]: the index whose amplitude lands on j when a state is relabelled
    // by inverse(p); made on first use.
    const std::uint8_t* sources(Permut32 p) {
        const std::size_t rank = rank_of(p);
        std::uint8_t* src = src_by_rank_[rank].data();
        if (!have_src_[rank]) {
            std::uint8_t flip[N];
            unsigned acc = 0;
            for (std::size_t t = 0; t < N; ++t) {
                acc |= 1u << p.get(t);
                flip[t] = static_cast<std::uint8_t>(acc);
            }
            src[0] = 0;
            for (std::size_t j = 1; j < L; ++j) src[j] = src[j - 1] ^ flip[std::countr_zero(j)];
            have_src_[rank] = true;
        }
        return src;
    }

    // Evaluates one candidate: the backtrack state relabelled by back_perm, the
    // adjoint gates from the last to the first, the phase fix and the qubit
    // order. Returns how its canonical form compares with the best so far
    // (-1 when there is none yet) and keeps it when it is smaller; front_ holds
    // its front permutation.
    int candidate(Permut32 back_perm, Op last, bool have_best) {
        // The relabelled backtrack state with the ops applied is the backtrack
        // state with the ops on relabelled qubits, relabelled afterwards: every
        // pair of amplitudes a gate mixes maps to a pair in the same roles, so
        // the values are the same bit for bit. Its amplitudes 0 and L-1 stay in
        // place, and the relabelling is folded into the reads below; only a
        // phase taken from the sum of all amplitudes needs the state itself.
        const Permut32 inv = inverse<N>(back_perm);
        const std::size_t n = circuit_adjoint_.size() + 1;
        ops_.resize(n);
        ops_[0] = relabelled(last, inv);
        for (std::size_t d = 1; d < n; ++d) ops_[d] = relabelled(circuit_adjoint_[n - 1 - d], inv);
        State y;
        backtrack_with(ops_.data(), n, y);
        std::uint64_t cand[2 * L];
        single_reference_ = phase_keys(y, cand);
        Permut32 to_y = inv;  // qubit q of the relabelled state is qubit to_y[q] of y
        if (!single_reference_) {
            State x;
            relabel(y, back_perm, x);
            phase_keys(x, cand);
            to_y = Permut32::identity(N);
        }
        QubitKey bkeys[N];
        for (std::size_t q = 0; q < N; ++q) {
            const std::size_t only = std::size_t{1} << to_y.get(q), others = (L - 1) & ~only;
            bkeys[q] = {cand[only], cand[L + only], cand[others], cand[L + others]};
        }
        const auto [front_perm, eqmask] = order_of<N>(bkeys);
        if (eqmask != 0) panic("Non-deterministic front permutation detected during evaluation");
        front_ = front_perm;
        const std::uint8_t* src = sources(compose<N>(to_y, front_perm));
        std::uint64_t* won_re = won_ + 1;
        std::uint64_t* won_im = won_ + L + 2;
        int c = have_best ? 0 : -1;
        for (std::size_t j = 0; c == 0 && j < L; ++j)
            if (cand[src[j]] != won_re[j]) c = cand[src[j]] < won_re[j] ? -1 : 1;
        for (std::size_t j = 0; c == 0 && j < L; ++j)
            if (cand[L + src[j]] != won_im[j]) c = cand[L + src[j]] < won_im[j] ? -1 : 1;
        if (c < 0) {
            won_[0] = L;
            won_[L + 1] = L;
            for (std::size_t j = 0; j < L; ++j) {
                won_re[j] = cand[src[j]];
                won_im[j] = cand[L + src[j]];
            }
        }
        return c;
    }

    State initial_{}, backtrack_{};
    static constexpr std::size_t kCodes = std::size_t{1} << (3 * N);
    std::array<std::uint8_t, kCodes> rank_by_code_;
    // Backtrack states with the first ops of candidates applied, by their op
    // codes: at most 1 MiB of them, and never more than there are prefixes.
    static constexpr std::size_t kCachedOps = 2;
    static constexpr std::size_t kOpCodes = (static_cast<std::size_t>(KernelKind::CX) + 1) * N * N;
    static constexpr std::size_t kCachedStates =
        std::min((std::size_t{1} << 20) / sizeof(State), kOpCodes + kOpCodes * kOpCodes);
    SlotMap prefixes_{std::bit_ceil(2 * kCachedStates)};
    std::vector<State> prefix_states_;
    std::array<std::array<std::uint8_t, L>, kPerms> src_by_rank_{};
    std::array<bool, kPerms> have_src_{};
    std::array<std::vector<Permut32>, std::size_t{1} << (N - 1)> rows_;
    std::vector<Op> forward_, adjoint_;  // per placement
    std::vector<std::pair<Gate16, std::pair<Op, Op>>> by_gate_;  // forward and adjoint kinds per gate
    std::vector<Op> circuit_adjoint_;
    std::vector<Op> ops_;  // the current candidate's, in the order they apply
    // The popped circuit's forward state phase-fixed by its amplitude 0, when that one is the reference.
    bool prefix_fix_ = false;
    double prefix_fr_ = 0.0, prefix_fi_ = 0.0;
    std::uint64_t prefix_keys_[2 * L] = {};
    Permut32 front_{};
    bool single_reference_ = true;  // of the last candidate evaluated
    // The candidates of the current placement evaluated in full, for the ones
    // that differ from them only on untouched qubits.
    struct Evaluated {
        std::uint32_t untouched_blind;  // the back permutation with untouched images blanked
        Permut32 back, front;
        std::uint32_t best_count;  // how many times the best had changed by then
        bool was_best;             // its canonical state equalled the best then
    };
    std::vector<Evaluated> evaluated_;
    std::uint32_t circuit_qubits_ = 0;
    // The winners' words of every placement of the circuit; won_ is the current one's.
    std::vector<std::uint64_t> won_all_;
    std::uint64_t* won_ = nullptr;
    // Per placement: the forward order keys, and the placement whose outcome it
    // took over (-1: evaluated itself).
    std::vector<QubitKey> fkeys_all_;
    std::vector<std::int32_t> twin_;
    std::vector<Rep> reps_;          // of the current circuit
    std::vector<std::size_t> hashed_;  // the placements evaluated themselves
    std::vector<const std::uint64_t*> runs_;  // their canonical states' words
    std::vector<std::uint64_t> hashes_;
    bool symmetric_ = false;         // the initial state under every relabelling of the qubits
    bool wide_ = false;              // whether the AVX2 paths run
};

template <std::size_t N>
std::unique_ptr<SearchKernel> make_kernel(const Evaluator& ev, std::span<const Instr32> placements) {
    std::vector<Op> forward, adjoint;
    std::vector<std::pair<Gate16, std::pair<Op, Op>>> by_gate;
    for (const Instr32& p : placements) {
        const Instr32 adj = p.adjoint();
        const std::optional<Op> f = op_of(p, N), a = op_of(adj, N);
        if (!f || !a) return nullptr;
        forward.push_back(*f);
        adjoint.push_back(*a);
        if (std::none_of(by_gate.begin(), by_gate.end(), [&](const auto& e) { return e.first == p.gate; }))
            by_gate.push_back({p.gate, {*f, *a}});
    }
    return std::make_unique<Kernel<N>>(ev, std::move(forward), std::move(adjoint), std::move(by_gate));
}

}  // namespace

std::unique_ptr<SearchKernel> SearchKernel::make(const Evaluator& ev, std::span<const Instr32> placements) {
    switch (ev.nqubits()) {
        case 1: return make_kernel<1>(ev, placements);
        case 2: return make_kernel<2>(ev, placements);
        case 3: return make_kernel<3>(ev, placements);
        case 4: return make_kernel<4>(ev, placements);
        case 5: return make_kernel<5>(ev, placements);
        default: return nullptr;
    }
}

}  // namespace brimsel
