// IdentitySet: packed records in word blocks, found through a table of tagged positions.
#include "identity/identity_set.hpp"

#include <algorithm>
#include <bit>

#include "state/rng.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

namespace {

constexpr std::uint64_t kMaxPositions = std::uint64_t{1} << 32;

std::uint32_t pack(const Instr32& i) noexcept { return std::bit_cast<std::uint32_t>(i); }

}  // namespace

const TableKey& process_table_key() {
    static const TableKey key = [] {
        Rng r = Rng::from_entropy();
        const std::uint64_t k0 = r.next_u64();
        return TableKey{k0, r.next_u64()};
    }();
    return key;
}

IdentitySet::IdentitySet() : key0_(process_table_key().k0), key1_(process_table_key().k1) {}

IdentitySet::IdentitySet(const IdentitySet& other) : IdentitySet() { insert_all(other); }

IdentitySet& IdentitySet::operator=(const IdentitySet& other) {
    if (this != &other) {
        IdentitySet copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::uint64_t IdentitySet::hash(std::span<const Instr32> instrs, Permut32 perm) const noexcept {
    StableHasher h(key0_, key1_);
    h.write_u32(static_cast<std::uint32_t>(instrs.size()));
    h.write_u32(perm.raw);
    if (!instrs.empty()) h.write(instrs.data(), instrs.size() * sizeof(Instr32));
    return h.finish();
}

bool IdentitySet::equals(Pos pos, std::span<const Instr32> instrs, Permut32 perm) const noexcept {
    const Block& blk = blocks_[pos >> kBlockBits];
    const std::uint32_t* w = &blk.words[pos & (kBlockWords - 1)];
    if (w[0] != instrs.size() || w[1] != perm.raw) return false;
    return instrs.empty() || std::memcmp(w + 2, instrs.data(), instrs.size() * sizeof(Instr32)) == 0;
}

std::span<const Instr32> IdentitySet::instrs_at(Pos pos) const noexcept {
    const Block& blk = blocks_[pos >> kBlockBits];
    const std::uint32_t* w = &blk.words[pos & (kBlockWords - 1)];
    return {reinterpret_cast<const Instr32*>(w + 2), w[0]};
}

IdentityCirc IdentitySet::identity(std::span<const Instr32> instrs, Permut32 perm) {
    Circ c;
    c.instrs.assign(instrs.begin(), instrs.end());
    c.perm = perm;
    return IdentityCirc::new_(std::move(c));
}

bool IdentitySet::contains(std::span<const Instr32> instrs, Permut32 perm) const {
    if (size_ == 0) return false;
    const std::uint64_t h = hash(instrs, perm);
    const std::uint64_t tag = h >> 32;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const std::uint64_t s = slots_[i];
        if (s == 0) return false;
        if ((s >> 32) == tag && equals(static_cast<Pos>((s & 0xFFFFFFFFu) - 1), instrs, perm)) return true;
    }
}

IdentitySet::Pos IdentitySet::append(std::span<const Instr32> instrs, Permut32 perm) {
    if (instrs.size() > kMaxPositions / 2) panic("IdentitySet: no room is left for another identity");
    const std::size_t need = instrs.size() + 2;
    auto fits = [&] { return !blocks_.empty() && blocks_.back().capacity - blocks_.back().used >= need; };
    // The first block starts small and doubles up to the full block size, so small sets stay small.
    if (!fits() && blocks_.size() == 1 && blocks_.back().capacity < kBlockWords) {
        Block& last = blocks_.back();
        std::size_t cap = last.capacity;
        // Never past a block: a position names its block by its top bits.
        while (cap - last.used < need && cap < kBlockWords) cap = std::min(cap * 2, kBlockWords);
        if (cap - last.used >= need) {
            auto words = std::make_unique<std::uint32_t[]>(cap);
            std::memcpy(words.get(), last.words.get(), last.used * sizeof(std::uint32_t));
            last.words = std::move(words);
            last.capacity = cap;
        }
    }
    if (!fits()) {
        // A record longer than a block gets a block of its own, followed by empty blocks for
        // the positions it covers, so that a position still names its block by its top bits.
        const std::size_t span = (need + kBlockWords - 1) / kBlockWords;
        if ((blocks_.size() + span) * kBlockWords > kMaxPositions - 1)
            panic("IdentitySet: no room is left for another identity");
        const std::size_t cap = blocks_.empty() && need <= kBlockWords ? std::max<std::size_t>(1024, need)
                                                                        : span * kBlockWords;
        blocks_.push_back(Block{std::make_unique<std::uint32_t[]>(cap), 0, cap});
        for (std::size_t i = 1; i < span; ++i) blocks_.push_back(Block{});
    }
    std::size_t b = blocks_.size() - 1;
    while (blocks_[b].capacity == 0) --b;
    Block& blk = blocks_[b];
    const auto pos = static_cast<Pos>((b << kBlockBits) + blk.used);
    std::uint32_t* w = &blk.words[blk.used];
    w[0] = static_cast<std::uint32_t>(instrs.size());
    w[1] = perm.raw;
    for (std::size_t i = 0; i < instrs.size(); ++i) w[2 + i] = pack(instrs[i]);
    blk.used += need;
    return pos;
}

void IdentitySet::place(std::uint64_t h, Pos pos) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (h >> 32) << 32 | (std::uint64_t{pos} + 1);
}

void IdentitySet::grow() {
    const std::size_t cap = slots_.empty() ? 16 : slots_.size() * 2;
    slots_.assign(cap, 0);
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Block& blk = blocks_[b];
        for (std::size_t w = 0; w < blk.used;) {
            const auto pos = static_cast<Pos>((b << kBlockBits) + w);
            place(hash(instrs_at(pos), perm_at(pos)), pos);
            w += 2 + blk.words[w];
        }
    }
}

std::optional<IdentitySet::Pos> IdentitySet::insert(std::span<const Instr32> instrs, Permut32 perm) {
    const std::uint64_t h = hash(instrs, perm);
    if (!slots_.empty()) {
        const std::uint64_t tag = h >> 32;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::uint64_t s = slots_[i];
            if (s == 0) break;
            if ((s >> 32) == tag && equals(static_cast<Pos>((s & 0xFFFFFFFFu) - 1), instrs, perm))
                return std::nullopt;
        }
    }
    const Pos pos = append(instrs, perm);
    ++size_;
    // At most three quarters full, so probe runs stay short.
    if (size_ * 4 > slots_.size() * 3)
        grow();
    else
        place(h, pos);
    return pos;
}

void IdentitySet::insert_all(const IdentitySet& other) {
    other.for_each([&](std::span<const Instr32> instrs, Permut32 perm) { insert(instrs, perm); });
}

std::vector<IdentityCirc> IdentitySet::to_vector() const {
    std::vector<IdentityCirc> out;
    out.reserve(size_);
    for_each([&](std::span<const Instr32> instrs, Permut32 perm) { out.push_back(identity(instrs, perm)); });
    return out;
}

std::size_t IdentitySet::memory_bytes() const noexcept {
    std::size_t bytes = slots_.capacity() * sizeof(std::uint64_t) + blocks_.capacity() * sizeof(Block);
    for (const Block& b : blocks_) bytes += b.capacity * sizeof(std::uint32_t);
    return bytes;
}

}  // namespace brimsel
