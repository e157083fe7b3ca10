// Gate kernels: the amplitude formulas of the nine kernel gates, each in its exact operation order.
#include "state/gates.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "state/gate_formulas.hpp"
#include "state/indices.hpp"

namespace brimsel {

namespace {

template <std::size_t K>
std::span<const std::uint8_t, K> arity(std::span<const std::uint8_t> qubits) {
    if (qubits.size() != K) panic("called `Result::unwrap()` on an `Err` value");
    return qubits.first<K>();
}

// Runs f(re, im, i0, i1) over the pairs of amplitudes that differ in bit q only.
template <class F>
inline void for_each_pair(StateVec& s, std::span<const std::uint8_t> qubits, F&& f) {
    auto q = arity<1>(qubits);
    check_qubit_args(s.nqubits(), q);
    double* re = &s.re_data()->value;
    double* im = &s.im_data()->value;
    static_assert(sizeof(Qreal) == sizeof(double));
    const std::uint64_t len = s.len();
    const std::uint64_t stride = std::uint64_t{1} << q[0];
    for (std::uint64_t base = 0; base < len; base += 2 * stride)
        for (std::uint64_t i0 = base; i0 < base + stride; ++i0) f(re, im, i0, i0 + stride);
}

// Runs f(re, im, i_a, i_b) over the member pairs (a, b) of every two-qubit group.
template <std::size_t A, std::size_t B, class F>
inline void for_each_group2(StateVec& s, std::span<const std::uint8_t> qubits, F&& f) {
    auto q = arity<2>(qubits);
    check_qubit_args(s.nqubits(), q);
    double* re = &s.re_data()->value;
    double* im = &s.im_data()->value;
    const QubitIndexGroups<2> groups(s.nqubits(), q);
    const std::uint64_t off_a = groups.offset(A);
    const std::uint64_t off_b = groups.offset(B);
    for (std::uint64_t i = 0, n = groups.count(); i < n; ++i) {
        const std::uint64_t b = groups.base(i);
        f(re, im, b | off_a, b | off_b);
    }
}

}  // namespace

void check_qubit_args(std::uint64_t nqubits, std::span<const std::uint8_t> qubits) {
    // The common case, distinct qubits of the state, passes without building the
    // group's indices; the walk below finds the first failure and its text.
    {
        std::uint64_t seen = 0;
        bool ok = true;
        for (std::uint8_t q : qubits) {
            if (q >= nqubits || q >= 64 || ((seen >> q) & 1u)) {
                ok = false;
                break;
            }
            seen |= std::uint64_t{1} << q;
        }
        if (ok) return;
    }
    const std::size_t k_args = qubits.size();
    const std::uint64_t len = nqubits < 64 ? std::uint64_t{1} << nqubits : 0;
    // Members of group 0 in member order: member k sets the bit of argument m
    // when bit K-1-m of k is set. Member 0 is index 0, always inside.
    for (std::size_t k = 1; k < (std::size_t{1} << k_args); ++k) {
        std::uint64_t index = 0;
        for (std::size_t m = 0; m < k_args; ++m) {
            if (!((k >> (k_args - 1 - m)) & 1u)) continue;
            if (qubits[m] >= 64)
                panic("qubit argument " + std::to_string(qubits[m]) +
                      " is out of range for a state of " + std::to_string(nqubits) + " qubits");
            index |= std::uint64_t{1} << qubits[m];
        }
        check_index(index, len);
    }
    for (std::size_t a = 0; a < k_args; ++a)
        for (std::size_t b = a + 1; b < k_args; ++b)
            if (qubits[a] == qubits[b]) panic("Qubit arguments must be unique");
}

using namespace formulas;

void perform_h_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, h_pair); }
void perform_x_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, exchange); }
void perform_z_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, z_pair); }
void perform_s_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, s_pair); }
void perform_sdg_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, sdg_pair); }
void perform_t_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, t_pair); }
void perform_tdg_gate(StateVec& s, std::span<const std::uint8_t> qubits) { for_each_pair(s, qubits, tdg_pair); }

// Members 1 and 2: the last argument's bit alone against the first argument's.
void perform_swap_gate(StateVec& s, std::span<const std::uint8_t> qubits) {
    for_each_group2<1, 2>(s, qubits, exchange);
}

// Members 2 and 3: control (first argument) set, target flipped.
void perform_cx_gate(StateVec& s, std::span<const std::uint8_t> qubits) {
    for_each_group2<2, 3>(s, qubits, exchange);
}

void CompiledGates::reset(std::uint64_t nqubits) {
    nqubits_ = nqubits;
    ops_.clear();
    a_.clear();
    b_.clear();
}

bool CompiledGates::push(const Instr32& instr) {
    const std::optional<KernelKind> kind = GATE_FUNCS().kind(instr.gate);
    const std::span<const std::uint8_t> q = instr.qargs.as_slice();
    const std::uint64_t n = nqubits_;
    // Pair indexes are 32-bit; the evaluator's states are far smaller.
    if (!kind || n >= 32) return false;
    for (std::size_t i = 0; i < q.size(); ++i)
        if (q[i] >= n || (i == 1 && q[0] == q[1])) return false;
    Op op{*kind, static_cast<std::uint32_t>(a_.size()), 0};
    if (*kind == KernelKind::CX || *kind == KernelKind::SWAP) {
        if (q.size() != 2 || n < 2) return false;
        const unsigned lo = std::min(q[0], q[1]), hi = std::max(q[0], q[1]);
        const std::uint64_t first = std::uint64_t{1} << q[0], second = std::uint64_t{1} << q[1];
        const bool cx = *kind == KernelKind::CX;
        for (std::uint64_t i = 0; i < (std::uint64_t{1} << (n - 2)); ++i) {
            const std::uint64_t base = insert_bit(insert_bit(i, lo, 0), hi, 0);
            // cx: control set, target clear against both set; swap: members 1 and 2.
            a_.push_back(static_cast<std::uint32_t>(cx ? base | first : base | second));
            b_.push_back(static_cast<std::uint32_t>(cx ? base | first | second : base | first));
        }
    } else {
        if (q.size() != 1 || n < 1) return false;
        const std::uint64_t bit = std::uint64_t{1} << q[0];
        for (std::uint64_t i = 0; i < (std::uint64_t{1} << (n - 1)); ++i) {
            const std::uint64_t i0 = insert_bit(i, q[0], 0);
            a_.push_back(static_cast<std::uint32_t>(i0));
            b_.push_back(static_cast<std::uint32_t>(i0 | bit));
        }
    }
    op.count = static_cast<std::uint32_t>(a_.size() - op.first);
    ops_.push_back(op);
    return true;
}

void CompiledGates::pop() noexcept {
    if (ops_.empty()) return;
    a_.resize(ops_.back().first);
    b_.resize(ops_.back().first);
    ops_.pop_back();
}

namespace {

template <class F>
inline void over_pairs(double* re, double* im, const std::uint32_t* a, const std::uint32_t* b, std::uint32_t n,
                       F&& f) noexcept {
    for (std::uint32_t k = 0; k < n; ++k) f(re, im, a[k], b[k]);
}

}  // namespace

void CompiledGates::apply_reversed(StateVec& s) const noexcept {
    double* re = &s.re_data()->value;
    double* im = &s.im_data()->value;
    for (std::size_t i = ops_.size(); i-- > 0;) {
        const Op& op = ops_[i];
        const std::uint32_t* a = a_.data() + op.first;
        const std::uint32_t* b = b_.data() + op.first;
        switch (op.kind) {
            case KernelKind::H: over_pairs(re, im, a, b, op.count, h_pair); break;
            case KernelKind::Z: over_pairs(re, im, a, b, op.count, z_pair); break;
            case KernelKind::T: over_pairs(re, im, a, b, op.count, t_pair); break;
            case KernelKind::TDG: over_pairs(re, im, a, b, op.count, tdg_pair); break;
            case KernelKind::S: over_pairs(re, im, a, b, op.count, s_pair); break;
            case KernelKind::SDG: over_pairs(re, im, a, b, op.count, sdg_pair); break;
            case KernelKind::X:
            case KernelKind::SWAP:
            case KernelKind::CX: over_pairs(re, im, a, b, op.count, exchange); break;
        }
    }
}

GateFuncs::GateFuncs()
    : entries_{
          {gates::H(), &perform_h_gate, 1},     {gates::X(), &perform_x_gate, 1},
          {gates::Z(), &perform_z_gate, 1},     {gates::T(), &perform_t_gate, 1},
          {gates::TDG(), &perform_tdg_gate, 1}, {gates::S(), &perform_s_gate, 1},
          {gates::SDG(), &perform_sdg_gate, 1}, {gates::SWAP(), &perform_swap_gate, 2},
          {gates::CX(), &perform_cx_gate, 2},
      } {
    for (std::size_t k = 0; k < std::size(entries_); ++k) {
        const Entry& e = entries_[k];
        check_index(e.gate.index, kBuiltinGateCount);
        by_index_[e.gate.index] = e.kernel;
        kind_by_index_[e.gate.index] = static_cast<KernelKind>(k);
    }
}

const GateFuncs& GATE_FUNCS() {
    static const GateFuncs table;
    return table;
}

}  // namespace brimsel
