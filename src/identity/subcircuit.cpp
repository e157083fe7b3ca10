// The subset table, selections of identities, their ports and tests, and the split.
#include "identity/subcircuit.hpp"

#include <algorithm>
#include <deque>
#include <limits>

#include "utils/pool.hpp"

namespace brimsel {

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// All k-subsets of {0, .., n-1} in lexicographic order, the last index advancing fastest.
void append_combinations(std::vector<std::uint32_t>& out, unsigned n, unsigned k) {
    if (k > n) return;
    std::array<unsigned, 32> idx{};
    for (unsigned i = 0; i < k; ++i) idx[i] = i;
    while (true) {
        std::uint32_t mask = 0;
        for (unsigned i = 0; i < k; ++i) mask |= std::uint32_t{1} << idx[i];
        out.push_back(mask);
        // The rightmost index that can still advance.
        int i = static_cast<int>(k) - 1;
        while (i >= 0 && idx[static_cast<unsigned>(i)] == static_cast<unsigned>(i) + n - k) --i;
        if (i < 0) return;
        ++idx[static_cast<unsigned>(i)];
        for (unsigned j = static_cast<unsigned>(i) + 1; j < k; ++j) idx[j] = idx[j - 1] + 1;
    }
}

std::uint32_t bit(std::uint64_t i) noexcept { return std::uint32_t{1} << i; }

}  // namespace

Combinations::Combinations() {
    masks_.reserve(742141);
    for (unsigned n = 0; n < kCombinationRows; ++n) {
        starts_[n] = masks_.size();
        for (unsigned k = 0; k <= n / 2 + 1; ++k) append_combinations(masks_, n, k);
    }
    starts_[kCombinationRows] = masks_.size();
}

std::vector<std::uint8_t> Combinations::indices(std::uint32_t mask) {
    std::vector<std::uint8_t> out;
    for (std::uint8_t i = 0; mask; ++i, mask >>= 1)
        if (mask & 1u) out.push_back(i);
    return out;
}

const Combinations& COMBINATIONS() {
    static const Combinations table;
    return table;
}

// ---- selections --------------------------------------------------------------------------------

namespace {

template <class Next>
std::vector<Port> ports(const IdentitySubcircuit& s, Next next) {
    std::vector<Port> out;
    for (std::size_t g = 0; g < s.gates.size(); ++g) {
        if (!s.gates[g]) continue;
        const std::vector<std::uint64_t> neighbours = next(g);
        const Instr32 instr = (*s.circuit)[g];
        for (std::size_t k = 0; k < neighbours.size(); ++k) {
            const std::uint64_t i2 = neighbours[k];
            if (i2 == g || !s.gates.at(i2))
                out.push_back(Port{instr.qargs.q[k], g, k});
        }
    }
    return out;
}

bool distinct_qubits(const std::vector<Port>& ports) {
    std::vector<std::uint8_t> seen;
    for (const Port& p : ports) {
        if (std::find(seen.begin(), seen.end(), p.qubit) != seen.end()) return false;
        seen.push_back(p.qubit);
    }
    return true;
}

}  // namespace

std::vector<Port> IdentitySubcircuit::inputs() const {
    return ports(*this, [&](std::size_t g) { return circuit->qargs_backward(g); });
}

std::vector<Port> IdentitySubcircuit::outputs() const {
    return ports(*this, [&](std::size_t g) { return circuit->qargs_forward(g); });
}

bool IdentitySubcircuit::is_convex() const { return distinct_qubits(inputs()) && distinct_qubits(outputs()); }

bool IdentitySubcircuit::is_connected() const {
    const auto first = std::find(gates.begin(), gates.end(), true);
    if (first == gates.end()) return true;
    std::vector<bool> visited(gates.size(), false);
    const auto start = static_cast<std::size_t>(first - gates.begin());
    visited[start] = true;
    std::deque<std::size_t> queue{start};
    while (!queue.empty()) {
        const std::size_t g = queue.front();
        queue.pop_front();
        for (const auto& wires : {circuit->qargs_forward(g), circuit->qargs_backward(g)}) {
            for (std::uint64_t i2 : wires) {
                check(i2 != kNone, "assertion failed: i2 != usize::MAX");
                if (gates.at(i2) && !visited[i2]) {
                    visited[i2] = true;
                    queue.push_back(i2);
                }
            }
        }
    }
    return visited == gates;
}

namespace {

bool disjoint_from_all(const Instr32& a, const std::deque<Instr32>& taken) {
    for (const Instr32& b : taken)
        if (!a.disjoint(b)) return false;
    return true;
}

template <class V>
void rotate_left(V& v, std::size_t k) {
    std::rotate(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
}

}  // namespace

std::optional<std::pair<Circ, Circ>> IdentitySubcircuit::split() const {
    // Flags and instructions move together below: they must match one for one.
    check(gates.size() == circuit->len(), "assertion failed: gates.len() == circuit.len()");
    const auto first = std::find(gates.begin(), gates.end(), true);
    if (first == gates.end()) return std::nullopt;
    const auto f = static_cast<std::size_t>(first - gates.begin());
    Circ circ = circuit->circ.rotate(static_cast<std::int64_t>(f));
    std::vector<bool> flags = gates;
    rotate_left(flags, f);
    const Permut32 p = circ.perm;
    std::deque<Instr32> taken;
    auto first_set = [&]() -> std::optional<std::size_t> {
        auto it = std::find(flags.begin(), flags.end(), true);
        if (it == flags.end()) return std::nullopt;
        return static_cast<std::size_t>(it - flags.begin());
    };
    auto last_set = [&]() -> std::optional<std::size_t> {
        auto it = std::find(flags.rbegin(), flags.rend(), true);
        if (it == flags.rend()) return std::nullopt;
        return flags.size() - 1 - static_cast<std::size_t>(it - flags.rbegin());
    };
    auto exchange = [&](std::size_t a, std::size_t b) {
        std::swap(circ.instrs[a], circ.instrs[b]);
        const bool t = flags[a];
        flags[a] = flags[b];
        flags[b] = t;
    };

    // From the front: selected instructions move to the front and are taken there.
    while (const auto found = first_set()) {
        const std::size_t i = *found;
        if (i == 0) {
            taken.push_back(circ.instrs[0]);
            circ.instrs.erase(circ.instrs.begin());
            flags.erase(flags.begin());
        } else if (circ.instrs[i - 1].disjoint(circ.instrs[i])) {
            exchange(i - 1, i);
        } else if (std::all_of(circ.instrs.begin(), circ.instrs.begin() + static_cast<std::ptrdiff_t>(i),
                               [&](const Instr32& a) { return disjoint_from_all(a, taken); })) {
            circ = circ.rotate(static_cast<std::int64_t>(i));
            rotate_left(flags, i);
        } else {
            break;
        }
    }
    // From the back: the rest move to the back and are taken there, in front of what
    // the first phase took, relabelled by the trailing permutation.
    while (const auto found = last_set()) {
        const std::size_t i = *found;
        const std::size_t len = circ.instrs.size();
        if (i == len - 1) {
            taken.push_front(circ.instrs[i].permut(p));
            circ.instrs.pop_back();
            flags.pop_back();
        } else if (circ.instrs[i].disjoint(circ.instrs[i + 1])) {
            exchange(i, i + 1);
        } else if (std::all_of(circ.instrs.begin() + static_cast<std::ptrdiff_t>(i) + 1, circ.instrs.end(),
                               [&](const Instr32& a) { return disjoint_from_all(a.permut(p), taken); })) {
            const std::size_t k = len - i - 1;
            circ = circ.rotate(-static_cast<std::int64_t>(k));
            rotate_left(flags, flags.size() - k);
        } else {
            return std::nullopt;
        }
    }
    Circ s = Circ::new_(std::vector<Instr32>(taken.begin(), taken.end()), Permut32::identity(circuit->nqubits()));
    return std::make_pair(std::move(s), std::move(circ));
}

// ---- masks -------------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t kNotFound32 = ~std::uint32_t{0};

// The wire neighbours of instruction g as qargs_forward (forward) or qargs_backward finds
// them, scanning the rotation without building it: the instructions that the rotation
// moves are relabelled one at a time. Entries not found stay kNotFound32.
std::array<std::uint32_t, 2> neighbours_of(const Circ& c, std::size_t g, bool forward, const Permut32& p_inv) {
    const std::size_t len = c.len();
    const Instr32 instr = c.instrs[g];
    const std::size_t nargs = instr.qargs.len();
    std::array<std::uint32_t, 2> out{kNotFound32, kNotFound32};
    std::size_t found = 0;
    auto visit = [&](const Instr32& other, std::size_t index) {
        for (std::uint8_t q : other.qargs.as_slice())
            if (auto k = instr.position_of_qubit(q); k && out[*k] == kNotFound32) {
                out[*k] = static_cast<std::uint32_t>(index);
                ++found;
            }
    };
    if (forward) {
        // After g in place, then from the start (g last) relabelled by the inverse of P.
        for (std::size_t j = g + 1; j < len && found < nargs; ++j) visit(c.instrs[j], j);
        for (std::size_t j = 0; j <= g && found < nargs; ++j) visit(c.instrs[j].permut(p_inv), j);
    } else {
        // Before g in place, then from the end (g last) relabelled by P.
        for (std::size_t j = g; j-- > 0 && found < nargs;) visit(c.instrs[j], j);
        for (std::size_t j = len; j-- > g && found < nargs;) visit(c.instrs[j].permut(c.perm), j);
    }
    return out;
}

}  // namespace

WireTable::WireTable(const IdentityCirc& identity) : n_(identity.len()) {
    check(n_ <= wires_.size(), "assertion failed: an identity for selection masks has at most 32 instructions");
    const Circ& c = identity.circ;
    const Permut32 p_inv = c.perm.inv();
    for (std::size_t g = 0; g < n_; ++g) {
        Wires& w = wires_[g];
        const Instr32 instr = c.instrs[g];
        w.nargs = static_cast<std::uint8_t>(instr.qargs.len());
        const auto fwd = neighbours_of(c, g, true, p_inv);
        const auto bwd = neighbours_of(c, g, false, p_inv);
        for (std::size_t k = 0; k < w.nargs; ++k) {
            // A wire that meets nothing in a whole turn: the wire queries say how.
            if (fwd[k] == kNotFound32) identity.qargs_forward(g);
            if (bwd[k] == kNotFound32) identity.qargs_backward(g);
            check(fwd[k] != kNotFound32 && bwd[k] != kNotFound32, "assertion failed: wire neighbour found");
            w.qubit[k] = instr.qargs.q[k];
            w.forward[k] = fwd[k];
            w.backward[k] = bwd[k];
            w.neighbours |= bit(fwd[k]) | bit(bwd[k]);
        }
        others_[g] = w.neighbours & ~bit(g);
    }
}

bool WireTable::is_connected(std::uint32_t mask) const noexcept {
    if (mask == 0) return true;
    std::uint32_t reached = mask & (~mask + 1);  // the first selected instruction
    std::uint32_t frontier = reached;
    while (frontier) {
        std::uint32_t next = 0;
        for (std::uint32_t f = frontier; f; f &= f - 1) next |= wires_[static_cast<unsigned>(__builtin_ctz(f))].neighbours;
        next &= mask & ~reached;
        reached |= next;
        frontier = next;
    }
    return reached == mask;
}

WireTable::Piece WireTable::root(std::size_t v) const noexcept {
    const std::uint32_t above = ~((bit(v) << 1) - 1);
    return Piece{bit(v), others_[v] & above, others_[v] | bit(v), above, 1, false};
}

std::vector<std::uint32_t> WireTable::connected_subsets(std::size_t max_size) const {
    std::vector<std::uint32_t> out;
    max_size = std::min(max_size, n_);
    auto visit = [&](std::uint32_t set) { out.push_back(set); };
    for (std::size_t v = 0; v < n_ && max_size > 0; ++v) grow(root(v), max_size, visit);
    std::sort(out.begin(), out.end(), row_before);
    return out;
}

std::vector<WireTable::Piece> WireTable::pieces(std::size_t max_size, std::size_t want) const {
    max_size = std::min(max_size, n_);
    std::vector<Piece> out;
    if (max_size == 0) return out;
    for (std::size_t v = 0; v < n_; ++v) out.push_back(root(v));
    // Split the pieces that can still grow, a level at a time, until there are enough.
    for (bool grew = true; grew && out.size() < want;) {
        grew = false;
        std::vector<Piece> next;
        for (const Piece& p : out) {
            if (p.self_only || p.size >= max_size || p.ext == 0) {
                next.push_back(p);
                continue;
            }
            grew = true;
            next.push_back(Piece{p.set, 0, p.closed, p.above, p.size, true});
            for (std::uint32_t ext = p.ext; ext;) {
                const std::uint32_t w = ext & (~ext + 1);
                ext &= ext - 1;
                const std::uint32_t nw = others_[static_cast<unsigned>(__builtin_ctz(w))];
                next.push_back(Piece{p.set | w, ext | (nw & ~p.closed & p.above), p.closed | nw, p.above, p.size + 1,
                                     false});
            }
        }
        out = std::move(next);
    }
    return out;
}

bool WireTable::is_convex(std::uint32_t mask) const noexcept {
    auto distinct = [&](bool forward) {
        std::uint64_t seen[4] = {0, 0, 0, 0};  // one bit per qubit byte
        for (std::uint32_t m = mask; m; m &= m - 1) {
            const auto g = static_cast<unsigned>(__builtin_ctz(m));
            const Wires& w = wires_[g];
            for (unsigned k = 0; k < w.nargs; ++k) {
                const std::uint32_t i2 = forward ? w.forward[k] : w.backward[k];
                if (i2 != g && (mask & bit(i2))) continue;
                const std::uint64_t b = std::uint64_t{1} << (w.qubit[k] & 63u);
                std::uint64_t& word = seen[w.qubit[k] >> 6];
                if (word & b) return false;
                word |= b;
            }
        }
        return true;
    };
    return distinct(false) && distinct(true);
}

namespace {

// The split on fixed arrays: the working circuit as instructions and a flag mask, the
// collected instructions in the middle of a buffer that grows both ways.
class MaskSplit {
public:
    MaskSplit(const IdentityCirc& identity, std::uint32_t mask)
        : p_(identity.circ.perm), p_inv_(p_.inv()), len_(identity.len()), flags_(mask) {
        for (std::size_t i = 0; i < len_; ++i) ins_[i] = identity.circ.instrs[i];
    }

    std::optional<std::pair<Circ, Circ>> run(std::size_t nqubits) {
        if (flags_ == 0) return std::nullopt;
        rotate_left(lowest());
        // From the front.
        while (flags_) {
            const std::size_t i = lowest();
            if (i == 0) {
                take_back(ins_[0]);
                std::copy(ins_.begin() + 1, ins_.begin() + static_cast<std::ptrdiff_t>(len_), ins_.begin());
                --len_;
                flags_ >>= 1;
            } else if (ins_[i - 1].disjoint(ins_[i])) {
                exchange(i - 1);
            } else if ((masks(0, i, nullptr) & taken_mask_) == 0) {
                rotate_left(i);
            } else {
                break;
            }
        }
        // From the back.
        while (flags_) {
            const std::size_t i = highest();
            if (i == len_ - 1) {
                take_front(ins_[i].permut(p_));
                --len_;
                flags_ &= ~bit(i);
            } else if (ins_[i].disjoint(ins_[i + 1])) {
                exchange(i);
            } else if ((masks(i + 1, len_, &p_) & taken_mask_) == 0) {
                rotate_right(len_ - i - 1);
            } else {
                return std::nullopt;
            }
        }
        Circ s = Circ::new_(std::vector<Instr32>(taken_.begin() + static_cast<std::ptrdiff_t>(head_),
                                                 taken_.begin() + static_cast<std::ptrdiff_t>(tail_)),
                            Permut32::identity(nqubits));
        Circ r = Circ::new_(std::vector<Instr32>(ins_.begin(), ins_.begin() + static_cast<std::ptrdiff_t>(len_)), p_);
        return std::make_pair(std::move(s), std::move(r));
    }

private:
    static std::uint32_t bit(std::size_t i) noexcept { return std::uint32_t{1} << i; }
    std::uint32_t all() const noexcept { return len_ == 32 ? ~std::uint32_t{0} : bit(len_) - 1; }
    std::size_t lowest() const noexcept { return static_cast<std::size_t>(__builtin_ctz(flags_)); }
    std::size_t highest() const noexcept { return 31 - static_cast<std::size_t>(__builtin_clz(flags_)); }

    void take_back(const Instr32& i) {
        taken_[tail_++] = i;
        taken_mask_ |= i.arg_mask();
    }
    void take_front(const Instr32& i) {
        taken_[--head_] = i;
        taken_mask_ |= i.arg_mask();
    }
    void exchange(std::size_t i) noexcept {
        std::swap(ins_[i], ins_[i + 1]);
        const std::uint32_t a = (flags_ >> i) & 1u, b = (flags_ >> (i + 1)) & 1u;
        flags_ = (flags_ & ~(bit(i) | bit(i + 1))) | (a << (i + 1)) | (b << i);
    }
    // The qubits of positions [begin, end), relabelled by `perm` when it is given.
    std::uint8_t masks(std::size_t begin, std::size_t end, const Permut32* perm) const {
        std::uint8_t m = 0;
        for (std::size_t j = begin; j < end; ++j) m |= (perm ? ins_[j].permut(*perm) : ins_[j]).arg_mask();
        return m;
    }
    // As Circ::rotate(k): the first k move to the back, relabelled by the inverse of P.
    void rotate_left(std::size_t k) {
        if (k == 0) return;
        std::array<Instr32, 32> out;
        std::size_t w = 0;
        for (std::size_t j = k; j < len_; ++j) out[w++] = ins_[j];
        for (std::size_t j = 0; j < k; ++j) out[w++] = ins_[j].permut(p_inv_);
        ins_ = out;
        flags_ = ((flags_ >> k) | (flags_ << (len_ - k))) & all();
    }
    // As Circ::rotate(-k): the last k move to the front, relabelled by P.
    void rotate_right(std::size_t k) {
        std::array<Instr32, 32> out;
        std::size_t w = 0;
        for (std::size_t j = len_ - k; j < len_; ++j) out[w++] = ins_[j].permut(p_);
        for (std::size_t j = 0; j < len_ - k; ++j) out[w++] = ins_[j];
        ins_ = out;
        flags_ = ((flags_ << k) | (flags_ >> (len_ - k))) & all();
    }

    Permut32 p_, p_inv_;
    std::size_t len_;
    std::uint32_t flags_;
    std::array<Instr32, 32> ins_;
    std::array<Instr32, 64> taken_;
    std::size_t head_ = 32, tail_ = 32;
    std::uint8_t taken_mask_ = 0;
};

}  // namespace

std::optional<std::pair<Circ, Circ>> split_mask(const IdentityCirc& identity, std::uint32_t mask) {
    check(identity.len() <= 32, "assertion failed: a selection mask covers at most 32 instructions");
    check(identity.len() == 32 || (mask >> identity.len()) == 0,
          "assertion failed: a selection mask selects only instructions of its identity");
    return MaskSplit(identity, mask).run(identity.nqubits());
}

std::vector<std::pair<Circ, Circ>> IdentitySubcircuit::par_subcircuit_splits(const IdentityCirc& identity) {
    const std::size_t n = identity.len();
    check_index(n, kCombinationRows);
    const WireTable wires(identity);
    const std::vector<std::uint32_t> connected = wires.connected_subsets(max_selection(n));
    constexpr std::size_t kChunk = 16;
    const std::size_t chunks = (connected.size() + kChunk - 1) / kChunk;
    const std::span<const std::uint32_t> all_connected(connected);
    auto parts = pool::map(chunks, [&](std::size_t c) {
        std::vector<std::pair<Circ, Circ>> out;
        const std::size_t begin = c * kChunk;
        for (std::uint32_t mask : all_connected.subspan(begin, std::min(kChunk, connected.size() - begin)))
            if (wires.is_convex(mask))
                if (auto s = split_mask(identity, mask)) out.push_back(std::move(*s));
        return out;
    });
    std::vector<std::pair<Circ, Circ>> all;
    for (auto& p : parts)
        for (auto& x : p) all.push_back(std::move(x));
    return all;
}

}  // namespace brimsel
