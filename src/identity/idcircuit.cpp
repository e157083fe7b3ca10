// IdentityCirc: the randomised identity check, wire neighbours and the display forms.
#include "identity/idcircuit.hpp"

#include <limits>

#include "state/mod.hpp"
#include "state/rng.hpp"
#include "utils/fmt_join.hpp"

namespace brimsel {

namespace {

constexpr std::uint64_t kNotFound = std::numeric_limits<std::uint64_t>::max();

bool all_found(const std::vector<std::uint64_t>& v) noexcept {
    for (std::uint64_t x : v)
        if (x == kNotFound) return false;
    return true;
}

// A state relabelling scatters every amplitude to the index its bits map to:
// only a bijection of the state's own qubits keeps every index in range and
// every amplitude apart.
bool is_bijection_of(Permut32 p, std::size_t n) noexcept {
    if (p.len() != n || n > 8) return false;
    unsigned used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned v = p.get(i);
        if (v >= n || (used & (1u << v))) return false;
        used |= 1u << v;
    }
    return true;
}

}  // namespace

bool IdentityCirc::check() const {
    const std::size_t n = nqubits();
    if (!is_bijection_of(circ.perm, n))
        panic("IdentityCirc: trailing permutation " + circ.perm.to_string() +
              " is not a permutation of its qubits " + to_string());
    // One generator per thread, seeded from the operating system on first use:
    // the check runs millions of times inside the prover.
    StateVec a = StateVec::from_random(thread_rng(), static_cast<std::uint32_t>(n));
    StateVec b = a.clone();
    const std::size_t len = circ.len();
    const std::size_t half = len / 2;
    for (std::size_t i = 0; i < half; ++i) a.apply(circ.instrs[i].qargs.as_slice(), circ.instrs[i].gate);
    a.normalize_arg();
    b.apply_permutation(circ.perm.inv());
    for (std::size_t i = len; i-- > half;)
        b.apply(circ.instrs[i].qargs.as_slice(), circ.instrs[i].gate.adjoint());
    b.normalize_arg();
    if (!a.loose_eq(b))
        panic("IdentityCirc: circuit is not identity " + a.to_string() + " " + b.to_string() + " " +
              to_string());
    return true;
}

std::vector<std::uint64_t> IdentityCirc::qargs_forward(std::uint64_t gate_id) const {
    const std::size_t len = circ.len();
    check_index(gate_id, len);
    const Instr32 g = circ.instrs[gate_id];
    std::vector<std::uint64_t> next(g.qargs.len(), kNotFound);
    const Circ r = circ.rotate(static_cast<std::int64_t>(gate_id + 1));
    brimsel::check(r.len() == len, "assertion failed: rotated_circ.len() == self.0.len()");
    brimsel::check(r.instrs[len - 1].gate == g.gate,
          "assertion failed: rotated_circ.instrs[self.0.len() - 1].0 == self.0[gate_id].0");
    brimsel::check(r.instrs[0].gate == circ.instrs[(gate_id + 1) % len].gate,
          "assertion failed: rotated_circ.instrs[0].0 == self.0[(gate_id + 1) % self.0.len()].0");
    for (std::size_t i = 0; i < len && !all_found(next); ++i)
        for (std::uint8_t q : r.instrs[i].qargs.as_slice())
            if (auto k = g.position_of_qubit(q); k && next[*k] == kNotFound)
                next[*k] = (i + gate_id + 1) % len;
    if (!all_found(next)) {
        std::string list;
        fmt_join(list, next, JoinOpts{.sep = ", ", .start = "[", .end = "]", .orelse = "[]"},
                 [](std::string& s, std::uint64_t x) { s += std::to_string(x); });
        panic(to_string() + " " + list);
    }
    return next;
}

std::vector<std::uint64_t> IdentityCirc::qargs_backward(std::uint64_t gate_id) const {
    const std::size_t len = circ.len();
    check_index(gate_id, len);
    const Instr32 g = circ.instrs[gate_id];
    std::vector<std::uint64_t> prev(g.qargs.len(), kNotFound);
    const Circ r = circ.rotate(static_cast<std::int64_t>(gate_id) - static_cast<std::int64_t>(len));
    brimsel::check(r.len() == len, "assertion failed: rotated_circ.len() == self.0.len()");
    brimsel::check(r.instrs[0].gate == g.gate, "assertion failed: rotated_circ.instrs[0].0 == self.0[gate_id].0");
    brimsel::check(r.instrs[len - 1].gate == circ.instrs[(gate_id + len - 1) % len].gate,
          "assertion failed: rotated_circ.instrs[self.0.len() - 1].0 ==\n"
          "    self.0[(gate_id + self.0.len() - 1) % self.0.len()].0");
    for (std::size_t j = len; j-- > 0 && !all_found(prev);)
        for (std::uint8_t q : r.instrs[j].qargs.as_slice())
            if (auto k = g.position_of_qubit(q); k && prev[*k] == kNotFound)
                prev[*k] = (gate_id + j) % len;
    if (!all_found(prev))
        panic("a " + to_string() + " " + r.debug() + " " + std::to_string(gate_id));
    return prev;
}

std::string IdentityCirc::to_string() const {
    std::string s = "Identity { ";
    for (const Instr32& i : circ.instrs) {
        s += i.to_string();
        s += ' ';
    }
    s += circ.perm.to_string();
    s += " }";
    return s;
}

std::string IdentityCirc::debug() const { return "IdentityCirc(" + circ.debug() + ")"; }

}  // namespace brimsel
