// Circ: construction, structural operations, order, hash, display and saved form.
#include "identity/circuit.hpp"

#include <algorithm>
#include <array>

#include "circ/gate/gates.hpp"
#include "utils/fmt_join.hpp"

namespace brimsel {

namespace {

// The largest used qubit argument over the list, or -1 when no instruction has one.
int largest_used_qubit(const std::vector<Instr32>& instrs) noexcept {
    int m = -1;
    for (const Instr32& i : instrs)
        for (std::uint8_t q : i.qargs.as_slice()) m = std::max(m, static_cast<int>(q));
    return m;
}

// Positions 0..n-1 of a word that may claim more than 8 (only a word nobody checked can).
std::size_t positions(Permut32 p) noexcept { return std::min<std::size_t>(p.len(), 8); }

}  // namespace

Circ Circ::new_(std::vector<Instr32> instrs, Permut32 perm) {
    int m = largest_used_qubit(instrs);
    if (m >= 0 && perm.len() <= static_cast<std::size_t>(m))
        panic("Permutation length must be greater than the max qubit index.");
    Circ c;
    c.instrs = std::move(instrs);
    c.perm = perm;
    return c;
}

Circ Circ::new_no_perm(std::vector<Instr32> instrs) {
    int m = largest_used_qubit(instrs);
    Permut32 perm = m < 0 ? Permut32() : Permut32::identity(static_cast<std::size_t>(m) + 1);
    Circ c;
    c.instrs = std::move(instrs);
    c.perm = perm;
    return c;
}

std::vector<std::uint8_t> Circ::affected_qubits() const {
    std::vector<std::uint8_t> out;
    for (const Instr32& i : instrs)
        for (std::uint8_t q : i.qargs.as_slice()) out.push_back(q);
    for (std::size_t k = 0; k < positions(perm); ++k)
        if (perm.get(k) != k) out.push_back(static_cast<std::uint8_t>(k));
    return out;
}

Circ Circ::compact_qubits() const {
    if (instrs.empty()) return *this;
    int m = largest_used_qubit(instrs);
    for (std::size_t k = 0; k < positions(perm); ++k)
        if (perm.get(k) != k) m = std::max(m, static_cast<int>(k));
    if (m < 0) return *this;
    const auto keep = static_cast<std::size_t>(m) + 1;
    if (keep >= perm.len()) return *this;
    Circ c = *this;
    // Positions above m are fixed points: dropping them loses nothing.
    c.perm = Permut32::from_raw(perm.raw & ((std::uint32_t{1} << (3 * keep)) - 1));
    c.perm.set_len(keep);
    return c;
}

Circ Circ::reorder_instrs() const {
    Circ c = *this;
    std::vector<Instr32>& v = c.instrs;
    for (std::size_t i = 1; i < v.size(); ++i)
        for (std::size_t j = i; j >= 1 && v[j - 1].disjoint(v[j]) && v[j] < v[j - 1]; --j)
            std::swap(v[j - 1], v[j]);
    return c;
}

Circ Circ::permut(Permut32 p) const {
    auto [s, other] = Permut32::coordinate_permute(perm, p);
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (const Instr32& i : instrs) out.push_back(i.permut(other));
    return new_(std::move(out), (other * s) * other.inv());
}

Circ Circ::rotate(std::int64_t n) const {
    const std::size_t len = instrs.size();
    if (n == 0) return *this;
    std::vector<Instr32> out;
    out.reserve(len);
    if (n > 0) {
        const auto k = static_cast<std::uint64_t>(n);
        if (k > len)
            panic("range start index " + std::to_string(k) + " out of range for slice of length " +
                  std::to_string(len));
        const Permut32 perm_inv = perm.inv();
        for (std::size_t i = k; i < len; ++i) out.push_back(instrs[i]);
        for (std::size_t i = 0; i < k; ++i) out.push_back(instrs[i].permut(perm_inv));
    } else {
        // len + n, taken as an unsigned index the way a slice bound is.
        const std::uint64_t k = static_cast<std::uint64_t>(len) + static_cast<std::uint64_t>(n);
        if (k > len)
            panic("range start index " + std::to_string(k) + " out of range for slice of length " +
                  std::to_string(len));
        for (std::size_t i = k; i < len; ++i) out.push_back(instrs[i].permut(perm));
        for (std::size_t i = 0; i < k; ++i) out.push_back(instrs[i]);
    }
    return new_(std::move(out), perm);
}

Circ Circ::remove_swaps() const {
    const std::size_t len = perm.len();
    if (len > 8) panic("Permutation length must be less than or equal to 8");
    std::array<std::uint8_t, 8> qregs_map{};
    for (std::size_t i = 0; i < len; ++i) qregs_map[i] = static_cast<std::uint8_t>(i);
    const Gate16 swap = gates::SWAP();
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (const Instr32& instr : instrs) {
        if (instr.gate == swap) {
            if (instr.qargs.len() < 2) panic("Index out of bounds");
            const std::uint8_t a = instr.qargs.q[0];
            const std::uint8_t b = instr.qargs.q[1];
            check_index(a, len);
            check_index(b, len);
            std::swap(qregs_map[a], qregs_map[b]);
            continue;
        }
        Instr32 r = instr;
        for (std::size_t k = 0; k < r.qargs.len(); ++k) {
            check_index(r.qargs.q[k], len);
            r.qargs.q[k] = qregs_map[r.qargs.q[k]];
        }
        out.push_back(r);
    }
    const Permut32 w = Permut32::from_iter_unchecked({qregs_map.data(), len});
    return new_(std::move(out), perm * w.inv());
}

Circ Circ::inverse() const {
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (auto it = instrs.rbegin(); it != instrs.rend(); ++it) out.push_back(it->adjoint().permut(perm));
    return new_(std::move(out), perm.inv());
}

Circ operator+(const Circ& a, const Circ& b) {
    auto [self_perm, other_perm] = Permut32::coordinate_permute(a.perm, b.perm);
    const Permut32 perm_inv = self_perm.inv();
    std::vector<Instr32> out;
    out.reserve(a.instrs.size() + b.instrs.size());
    out.insert(out.end(), a.instrs.begin(), a.instrs.end());
    for (const Instr32& i : b.instrs) out.push_back(i.permut(perm_inv));
    return Circ::new_(std::move(out), other_perm * self_perm);
}

std::vector<Instr32> Circ::instrs_with_swaps() const {
    std::vector<Instr32> out = instrs;
    const Gate16 swap = gates::SWAP();
    for (auto [a, b] : perm.generate_swaps()) out.push_back(Instr32(swap, QArgs16::two(a, b)));
    return out;
}

void Circ::hash(StableHasher& h) const noexcept {
    h.write_len(instrs.size());
    for (const Instr32& i : instrs) i.hash(h);
    perm.hash(h);
}

std::string Circ::to_string() const {
    std::string s = "Circuit { ";
    for (const Instr32& i : instrs) {
        s += i.to_string();
        s += ' ';
    }
    s += perm.to_string();
    s += " }";
    return s;
}

std::string Circ::debug() const {
    return "Circ { instrs: [" + fmt_join(instrs, JoinOpts{.sep = ", "}) + "], perm: " +
           perm.to_string() + " }";
}

std::strong_ordering operator<=>(const Circ& a, const Circ& b) noexcept {
    if (auto c = a.instrs.size() <=> b.instrs.size(); c != 0) return c;
    for (std::size_t i = 0; i < a.instrs.size(); ++i)
        if (auto c = a.instrs[i] <=> b.instrs[i]; c != 0) return c;
    return a.perm.raw <=> b.perm.raw;
}

// ---- saved form -------------------------------------------------------------------------------

std::optional<std::string> permutation_word_error(Permut32 p) {
    const std::size_t n = p.len();
    if (n > 8) return "Permutation length must be less than or equal to 8";
    unsigned used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // An image at or past the length names a qubit the circuit does not
        // have; every later inverse or product would silently lose it.
        if (p.get(i) >= n) return "Permutation values must be less than its length: " + p.to_string();
        const unsigned bit = 1u << p.get(i);
        if (used & bit) return "Permutation values must be unique";
        used |= bit;
    }
    // Every constructor leaves the fields past the length 0; a word that holds
    // something there would compare and hash apart from its display twin.
    if ((p.raw & 0x00FFFFFFu) >> (3 * n)) return "Permutation word holds images past its length";
    return std::nullopt;
}

void Circ::serialize(postcard::Writer& w, std::span<const Instr32> instrs, Permut32 perm) {
    w.varint(instrs.size());
    for (const Instr32& i : instrs) i.serialize(w);
    perm.serialize(w);
}

Circ Circ::deserialize(postcard::Reader& r) {
    // An instruction takes at least three bytes (text length, two qubit bytes):
    // a count that the input cannot hold is refused before anything is read.
    const std::size_t n = r.length(3);
    Circ c;
    for (std::size_t i = 0; i < n; ++i) c.instrs.push_back(Instr32::deserialize(r));
    c.perm = Permut32::deserialize(r);
    if (const auto e = permutation_word_error(c.perm)) throw postcard::Error(*e);
    return c;
}

}  // namespace brimsel
