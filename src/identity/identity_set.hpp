// IdentitySet: a hash set of identities that stores each one as packed words, for the
// tens of millions of identities that a prover's searches visit and prove.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "identity/idcircuit.hpp"

namespace brimsel {

// The process's own random key for in-memory tables of identities and circuits, so that
// their layout cannot be predicted from outside.
struct TableKey {
    std::uint64_t k0, k1;
};
const TableKey& process_table_key();

// Each identity is one record in a block of 32-bit words: its instruction count, its
// permutation word, then one word per instruction (the packed instruction as it lies
// in memory). The table holds one 64-bit slot per identity: 32 bits of the hash above
// the record's position, so most mismatches never touch the record. Records are never
// moved or removed: a record's position stays valid for the life of the set, and
// iteration visits the identities in the order in which they were first inserted.
class IdentitySet {
public:
    using Pos = std::uint32_t;  // a record's position (word index)

    IdentitySet();
    IdentitySet(const IdentitySet& other);
    IdentitySet& operator=(const IdentitySet& other);
    // A set moved from is left empty and ready for use.
    IdentitySet(IdentitySet&& other) noexcept
        : key0_(other.key0_), key1_(other.key1_), blocks_(std::move(other.blocks_)),
          slots_(std::move(other.slots_)), size_(std::exchange(other.size_, 0)) {
        other.blocks_.clear();
        other.slots_.clear();
    }
    IdentitySet& operator=(IdentitySet&& other) noexcept {
        if (this != &other) {
            key0_ = other.key0_;
            key1_ = other.key1_;
            blocks_ = std::move(other.blocks_);
            slots_ = std::move(other.slots_);
            size_ = std::exchange(other.size_, 0);
            other.blocks_.clear();
            other.slots_.clear();
        }
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    bool contains(std::span<const Instr32> instrs, Permut32 perm) const;
    bool contains(const IdentityCirc& id) const { return contains(id.circ.instrs, id.circ.perm); }
    // The position of the newly stored record, or nothing when the identity was present.
    std::optional<Pos> insert(std::span<const Instr32> instrs, Permut32 perm);
    std::optional<Pos> insert(const IdentityCirc& id) { return insert(id.circ.instrs, id.circ.perm); }
    void insert_all(const IdentitySet& other);

    // The record at a position returned by insert.
    std::span<const Instr32> instrs_at(Pos pos) const noexcept;
    Permut32 perm_at(Pos pos) const noexcept { return Permut32::from_raw(word(pos + 1)); }
    std::size_t len_at(Pos pos) const noexcept { return word(pos); }
    IdentityCirc at(Pos pos) const { return identity(instrs_at(pos), perm_at(pos)); }
    // A record as the identity it stores.
    static IdentityCirc identity(std::span<const Instr32> instrs, Permut32 perm);

    // f(instrs, perm) for every identity, in insertion order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const Block& blk = blocks_[b];
            for (std::size_t w = 0; w < blk.used;) {
                const std::size_t n = blk.words[w];
                f(std::span<const Instr32>(reinterpret_cast<const Instr32*>(&blk.words[w + 2]), n),
                  Permut32::from_raw(blk.words[w + 1]));
                w += 2 + n;
            }
        }
    }
    std::vector<IdentityCirc> to_vector() const;

    // Bytes held: records, blocks' spare room and the slot table.
    std::size_t memory_bytes() const noexcept;

private:
    static constexpr unsigned kBlockBits = 20;  // 4 MiB blocks
    static constexpr std::size_t kBlockWords = std::size_t{1} << kBlockBits;
    struct Block {
        std::unique_ptr<std::uint32_t[]> words;
        std::size_t used = 0;
        std::size_t capacity = 0;
    };

    std::uint64_t hash(std::span<const Instr32> instrs, Permut32 perm) const noexcept;
    std::uint32_t word(std::size_t pos) const noexcept {
        return blocks_[pos >> kBlockBits].words[pos & (kBlockWords - 1)];
    }
    bool equals(Pos pos, std::span<const Instr32> instrs, Permut32 perm) const noexcept;
    Pos append(std::span<const Instr32> instrs, Permut32 perm);
    void place(std::uint64_t h, Pos pos) noexcept;
    void grow();

    std::uint64_t key0_;
    std::uint64_t key1_;
    std::vector<Block> blocks_;
    std::vector<std::uint64_t> slots_;  // 0 = empty; else tag << 32 | (pos + 1)
    std::size_t size_ = 0;
};

}  // namespace brimsel
