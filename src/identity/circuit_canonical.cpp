// Canonical representatives of circuits: minima over every qubit relabelling (and rotation, for identities).
//
// The prover runs these walks millions of times, so a candidate is never a Circ:
// it is an array of packed 32-bit keys, sorted and compared in scratch buffers
// that live for one call. The key of an instruction orders exactly as Instr32
// does (qubit pair first, then gate index), so comparing key arrays and then the
// permutation word is the Circ order among circuits of one length.
#include <algorithm>
#include <array>
#include <cstring>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace brimsel {

namespace {

struct Packed {
    std::uint32_t key;  // q0 << 24 | q1 << 16 | gate index
    std::uint8_t mask;  // qubits the instruction touches
    std::uint8_t top;   // largest used qubit + 1, 0 for none
    bool on_zero;       // qubit 0 is among the used arguments
};

Packed pack(Instr32 i) noexcept {
    Packed p;
    p.key = (std::uint32_t{i.qargs.q[0]} << 24) | (std::uint32_t{i.qargs.q[1]} << 16) | i.gate.index;
    p.mask = i.arg_mask();
    p.top = static_cast<std::uint8_t>(i.qargs.len() == 0 ? 0 : i.largest_qubit() + 1);
    p.on_zero = i.qargs.contains(0);
    return p;
}

Instr32 unpack(std::uint32_t key) noexcept {
    return Instr32(Gate16(static_cast<std::uint16_t>(key & 0xFFFF)),
                   QArgs16(static_cast<std::uint8_t>(key >> 24), static_cast<std::uint8_t>(key >> 16)));
}

// Instr32::permut with a table of images: `map` holds at() of positions 0..7.
// Callers pass instructions whose used qubits are below 8.
Packed relabel(Instr32 i, const std::uint8_t* map) noexcept {
    const std::size_t n = i.qargs.len();
    if (n >= 1) i.qargs.q[0] = map[i.qargs.q[0]];
    if (n == 2) i.qargs.q[1] = map[i.qargs.q[1]];
    return pack(i);
}

// Inline room for the circuits the prover keeps (at most 19 instructions); longer
// circuits take one heap block per call, never one per candidate.
template <class T>
class Buffer {
public:
    explicit Buffer(std::size_t n) : n_(n) {
        if (n > kInline) heap_.resize(n);
    }
    T* data() noexcept { return n_ > kInline ? heap_.data() : inline_.data(); }
    std::size_t size() const noexcept { return n_; }

private:
    static constexpr std::size_t kInline = 32;
    std::size_t n_;
    std::array<T, kInline> inline_;
    std::vector<T> heap_;
};

// Circ::reorder_instrs on packed keys.
void reorder(Packed* v, std::size_t n) noexcept {
    for (std::size_t i = 1; i < n; ++i)
        for (std::size_t j = i; j >= 1 && (v[j - 1].mask & v[j].mask) == 0 && v[j].key < v[j - 1].key; --j)
            std::swap(v[j - 1], v[j]);
}

// Circ::compact_qubits of a candidate with instructions: `top` is its largest
// used qubit + 1 (0 for none).
Permut32 compact(Permut32 perm, unsigned top) noexcept {
    int m = static_cast<int>(top) - 1;
    const std::size_t n = std::min<std::size_t>(perm.len(), 8);
    for (std::size_t k = 0; k < n; ++k)
        if (perm.get(k) != k) m = std::max(m, static_cast<int>(k));
    if (m < 0) return perm;
    const auto keep = static_cast<std::size_t>(m) + 1;
    if (keep >= perm.len()) return perm;
    Permut32 r = Permut32::from_raw(perm.raw & ((std::uint32_t{1} << (3 * keep)) - 1));
    r.set_len(keep);
    return r;
}

// -1, 0 or 1 as the key arrays compare.
int compare(const Packed* a, const std::uint32_t* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i].key != b[i]) return a[i].key < b[i] ? -1 : 1;
    return 0;
}

// The running minimum of a walk: keys, permutation word, and the relabelling that gave them.
class Minimum {
public:
    explicit Minimum(std::size_t n) : keys_(n) {}

    // Offers a candidate; among equal circuits the smaller relabelling word is kept.
    void offer(const Packed* cand, Permut32 perm, Permut32 applied) noexcept {
        const std::size_t n = keys_.size();
        if (have_) {
            int c = compare(cand, keys_.data(), n);
            if (c > 0) return;
            if (c == 0) {
                if (perm.raw > perm_.raw) return;
                if (perm.raw == perm_.raw && applied.raw >= applied_.raw) return;
            }
        }
        have_ = true;
        std::uint32_t* k = keys_.data();
        for (std::size_t i = 0; i < n; ++i) k[i] = cand[i].key;
        perm_ = perm;
        applied_ = applied;
    }

    bool found() const noexcept { return have_; }
    Permut32 applied() const noexcept { return applied_; }
    Circ circuit() {
        std::vector<Instr32> out;
        out.reserve(keys_.size());
        const std::uint32_t* k = keys_.data();
        for (std::size_t i = 0; i < keys_.size(); ++i) out.push_back(unpack(k[i]));
        return Circ::new_(std::move(out), perm_);
    }

private:
    Buffer<std::uint32_t> keys_;
    Permut32 perm_;
    Permut32 applied_;
    bool have_ = false;
};

// Preparation shared by the walks: idle top qubits dropped, then SWAPs folded away.
Circ prepare(const Circ& input) { return input.compact_qubits().remove_swaps(); }

// Images of positions 0..7 as Instr32::permut reads them.
void image_table(Permut32 p, std::uint8_t* map) noexcept {
    for (std::size_t q = 0; q < 8; ++q) map[q] = p.get(q);
}

}  // namespace

std::pair<Circ, Permut32> Circ::representative_with_perm() const {
    Circ c = prepare(*this);
    if (c.is_empty()) return {std::move(c), Permut32()};
    const std::size_t len = c.len();
    const Permut32 s = c.perm;
    Buffer<Packed> cand(len);
    Minimum best(len);
    std::uint8_t map[8];
    for (Permut32 p : Permut32::all(c.nqubits())) {
        image_table(p, map);
        Packed* v = cand.data();
        unsigned top = 0;
        for (std::size_t j = 0; j < len; ++j) {
            v[j] = relabel(c.instrs[j], map);
            top = std::max<unsigned>(top, v[j].top);
        }
        reorder(v, len);
        best.offer(v, compact((p * s) * p.inv(), top), p);
    }
    return {best.circuit(), best.applied()};
}

Circ Circ::representative() const { return representative_with_perm().first; }

IdentityCirc Circ::rotate_representative() const {
    Circ c = prepare(*this);
    if (c.is_empty()) return IdentityCirc::unchecked(std::move(c));
    const std::size_t len = c.len();
    const std::size_t n = c.nqubits();
    const Permut32 s = c.perm;
    // Per relabelling p: `direct` holds every instruction relabelled by p, `wrapped`
    // the same relabelled further by the inverse of the relabelled permutation,
    // which is what a rotation does to the instructions it moves to the back.
    Buffer<Packed> direct(len), wrapped(len), cand(len);
    Minimum best(len);
    std::uint8_t map1[8], map2[8];
    for (Permut32 p : Permut32::all(n)) {
        const Permut32 dp = (p * s) * p.inv();
        const Permut32 dpi = dp.inv();
        image_table(p, map1);
        for (std::size_t q = 0; q < 8; ++q) map2[q] = dpi.get(map1[q]);
        Packed* d = direct.data();
        Packed* w = wrapped.data();
        for (std::size_t j = 0; j < len; ++j) {
            d[j] = relabel(c.instrs[j], map1);
            w[j] = relabel(c.instrs[j], map2);
        }
        for (std::size_t i = 0; i < len; ++i) {
            if (!d[i].on_zero) continue;
            Packed* v = cand.data();
            std::memcpy(v, d + i, (len - i) * sizeof(Packed));
            std::memcpy(v + (len - i), w, i * sizeof(Packed));
            unsigned top = 0;
            for (std::size_t j = 0; j < len; ++j) top = std::max<unsigned>(top, v[j].top);
            // A permutation that is no bijection can send a moved instruction past
            // the qubit count, which the rotation's constructor refuses.
            if (top > dp.len()) panic("Permutation length must be greater than the max qubit index.");
            reorder(v, len);
            best.offer(v, compact(dp, top), p);
        }
    }
    if (!best.found()) panic_unwrap_none();
    return IdentityCirc::unchecked(best.circuit());
}

}  // namespace brimsel
