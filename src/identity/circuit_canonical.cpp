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
    std::uint32_t key;   // q0 << 24 | q1 << 16 | gate index
    std::uint32_t mask;  // qubits the instruction touches
};

// An instruction of the prepared circuit, ready to be relabelled by table lookups:
// slots 0..7 of a table hold the images of the qubits, slot 8 holds 255 (an empty
// slot) and slot 9 holds 0 (a byte kept in `base` as it is).
struct Source {
    std::uint32_t base;
    std::uint8_t slot0;
    std::uint8_t slot1;
};

constexpr std::uint8_t kEmptySlot = 8;
constexpr std::uint8_t kKeptSlot = 9;

// Callers pass instructions whose used qubits are below 8 (the prepared circuit's are).
Source source_of(Instr32 i) noexcept {
    Source s{i.gate.index, kEmptySlot, kEmptySlot};
    switch (i.qargs.len()) {
        case 2:
            s.slot1 = i.qargs.q[1];
            [[fallthrough]];
        case 1:
            s.slot0 = i.qargs.q[0];
            break;
        default:
            // No used qubit: Instr32::permut changes nothing, whatever the second byte holds.
            if (i.qargs.q[1] != kNoQubit) {
                s.base |= std::uint32_t{i.qargs.q[1]} << 16;
                s.slot1 = kKeptSlot;
            }
    }
    return s;
}

// The images of one relabelling, as Instr32::permut reads them (Permut32::at of 0..7).
struct Table {
    std::uint8_t image[10];
    std::uint32_t bit[10];

    explicit Table(Permut32 p) noexcept {
        for (std::size_t q = 0; q < 8; ++q) set(q, p.get(q));
        image[kEmptySlot] = kNoQubit;
        image[kKeptSlot] = 0;
        bit[kEmptySlot] = bit[kKeptSlot] = 0;
    }
    Table() noexcept : Table(Permut32()) {}
    void set(std::size_t q, std::uint8_t v) noexcept {
        image[q] = v;
        bit[q] = 1u << v;
    }
    Packed relabel(const Source& s) const noexcept {
        return Packed{s.base | std::uint32_t{image[s.slot0]} << 24 | std::uint32_t{image[s.slot1]} << 16,
                      bit[s.slot0] | bit[s.slot1]};
    }
};

Instr32 unpack(std::uint32_t key) noexcept {
    return Instr32(Gate16(static_cast<std::uint16_t>(key & 0xFFFF)),
                   QArgs16(static_cast<std::uint8_t>(key >> 24), static_cast<std::uint8_t>(key >> 16)));
}

// Largest used qubit + 1 of instructions whose masks are OR-ed in `mask`; 0 for none.
unsigned top_of(std::uint32_t mask) noexcept {
    return mask == 0 ? 0 : 32u - static_cast<unsigned>(__builtin_clz(mask));
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
    const T* data() const noexcept { return n_ > kInline ? heap_.data() : inline_.data(); }
    std::size_t size() const noexcept { return n_; }

private:
    static constexpr std::size_t kInline = 32;
    std::size_t n_;
    std::array<T, kInline> inline_;
    std::vector<T> heap_;
};

// Circ::reorder_instrs on packed keys: each instruction moves left past disjoint,
// greater neighbours, which shift right to make room.
void reorder(Packed* v, std::size_t n) noexcept {
    for (std::size_t i = 1; i < n; ++i) {
        const Packed x = v[i];
        std::size_t j = i;
        for (; j >= 1 && (v[j - 1].mask & x.mask) == 0 && x.key < v[j - 1].key; --j) v[j] = v[j - 1];
        v[j] = x;
    }
}

// The first instruction the reordering will leave, known before it runs: the last one
// (in list order) that is disjoint from and smaller than every instruction before it,
// since an instruction reaches the front only by passing all of those.
class Front {
public:
    void add(const Packed& x) noexcept {
        if ((x.mask & seen_) == 0 && x.key < least_) key = x.key;
        seen_ |= x.mask;
        least_ = std::min(least_, x.key);
    }
    std::uint32_t key = 0;

private:
    std::uint32_t seen_ = 0;
    std::uint32_t least_ = UINT32_MAX;
};

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

    // A candidate whose first instruction will be greater than the minimum's cannot win.
    bool may_win(std::uint32_t front) const noexcept { return !have_ || front <= keys_.data()[0]; }
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

}  // namespace

std::pair<Circ, Permut32> Circ::representative_with_perm() const {
    Circ c = prepare(*this);
    if (c.is_empty()) return {std::move(c), Permut32()};
    const std::size_t len = c.len();
    const Permut32 s = c.perm;
    Buffer<Source> src(len);
    for (std::size_t j = 0; j < len; ++j) src.data()[j] = source_of(c.instrs[j]);
    Buffer<Packed> cand(len);
    Minimum best(len);
    for (Permut32 p : Permut32::all(c.nqubits())) {
        const Table map(p);
        Packed* v = cand.data();
        std::uint32_t used = 0;
        Front front;
        for (std::size_t j = 0; j < len; ++j) {
            v[j] = map.relabel(src.data()[j]);
            used |= v[j].mask;
            front.add(v[j]);
        }
        if (!best.may_win(front.key)) continue;
        reorder(v, len);
        best.offer(v, compact((p * s) * p.inv(), top_of(used)), p);
    }
    return {best.circuit(), best.applied()};
}

Circ Circ::representative() const { return representative_with_perm().first; }

IdentityCirc Circ::rotate_representative() const {
    Circ c = prepare(*this);
    if (c.is_empty()) return IdentityCirc::unchecked(std::move(c));
    const std::size_t len = c.len();
    const Permut32 s = c.perm;
    Buffer<Source> src(len);
    for (std::size_t j = 0; j < len; ++j) src.data()[j] = source_of(c.instrs[j]);
    // Per relabelling p: `direct` holds every instruction relabelled by p, `wrapped`
    // the same relabelled further by the inverse of the relabelled permutation,
    // which is what a rotation does to the instructions it moves to the back.
    Buffer<Packed> direct(len), wrapped(len), cand(len);
    Minimum best(len);
    for (Permut32 p : Permut32::all(c.nqubits())) {
        const Permut32 dp = (p * s) * p.inv();
        const Permut32 dpi = dp.inv();
        const Table map1(p);
        Table map2;
        for (std::size_t q = 0; q < 8; ++q) map2.set(q, dpi.get(map1.image[q]));
        Packed* d = direct.data();
        Packed* w = wrapped.data();
        for (std::size_t j = 0; j < len; ++j) d[j] = map1.relabel(src.data()[j]);
        // A trailing permutation that is no bijection can send a moved instruction past
        // the qubit count, which the rotation's constructor refuses. Such a rotation
        // fails whether or not it could have won, so those circuits get no shortcuts.
        bool wild = false;
        for (std::size_t q = 0; q < c.nqubits(); ++q) wild |= map2.image[q] >= dp.len();
        bool have_wrapped = false;  // filled for the first start that is not ruled out
        if (wild) {
            for (std::size_t j = 0; j < len; ++j) w[j] = map2.relabel(src.data()[j]);
            have_wrapped = true;
        }
        std::uint32_t wrapped_prefix = 0;  // qubits of w[0 .. i)
        for (std::size_t i = 0; i < len; ++i) {
            if (wild && i > 0) wrapped_prefix |= w[i - 1].mask;
            if (!(d[i].mask & 1u)) continue;  // rotations start at an instruction on qubit 0
            if (top_of(wrapped_prefix) > dp.len())
                panic("Permutation length must be greater than the max qubit index.");
            // Starting with qubit 0 as its first argument, nothing can pass it: every
            // smaller instruction also touches qubit 0.
            if ((d[i].key >> 24) == 0 && !best.may_win(d[i].key)) continue;
            if (!have_wrapped) {
                for (std::size_t j = 0; j < len; ++j) w[j] = map2.relabel(src.data()[j]);
                have_wrapped = true;
            }
            Packed* v = cand.data();
            std::uint32_t used = 0;
            Front front;
            for (std::size_t j = i; j < len; ++j) {
                *v = d[j];
                used |= v->mask;
                front.add(*v++);
            }
            for (std::size_t j = 0; j < i; ++j) {
                *v = w[j];
                used |= v->mask;
                front.add(*v++);
            }
            if (!best.may_win(front.key)) continue;
            reorder(cand.data(), len);
            best.offer(cand.data(), compact(dp, top_of(used)), p);
        }
    }
    if (!best.found()) panic_unwrap_none();
    return IdentityCirc::unchecked(best.circuit());
}

}  // namespace brimsel
