// Subcircuits of identities: the subset table, selections, their ports, and splitting an
// identity into a contiguous selected piece and the rest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "identity/idcircuit.hpp"

namespace brimsel {

// Identities of at most this many instructions have a row in the subset table.
inline constexpr std::size_t kMaxIdentityLen = 19;
inline constexpr std::size_t kCombinationRows = kMaxIdentityLen + 1;

// Bits set in a selection mask, inline: the portable build has no popcount instruction,
// and the library call it would make sits in the rounds' innermost loop.
constexpr unsigned selection_size(std::uint32_t x) noexcept {
    x = x - ((x >> 1) & 0x55555555u);
    x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0Fu;
    return (x * 0x01010101u) >> 24;
}

// Row n lists the selections tried on an identity of n instructions: every subset of
// {0, .., n-1} of size 0, 1, .., n/2 + 1, by size, then lexicographically. A subset is a
// mask with bit i set for index i.
class Combinations {
public:
    std::span<const std::uint32_t> row(std::size_t n) const {
        check_index(n, kCombinationRows);
        return {masks_.data() + starts_[n], starts_[n + 1] - starts_[n]};
    }
    std::size_t total() const noexcept { return masks_.size(); }
    // The subset as its ascending indices.
    static std::vector<std::uint8_t> indices(std::uint32_t mask);

private:
    friend const Combinations& COMBINATIONS();
    Combinations();
    std::vector<std::uint32_t> masks_;
    std::array<std::size_t, kCombinationRows + 1> starts_{};
};

// Built by the first caller, other threads waiting.
const Combinations& COMBINATIONS();

// One qubit end of a selected instruction on the boundary of the selection.
struct Port {
    std::uint8_t qubit = 0;
    std::uint64_t instr_id = 0;
    std::uint64_t qargs_idx = 0;
    friend bool operator==(const Port&, const Port&) = default;
};

// A selection of instructions of an identity (one flag per instruction).
struct IdentitySubcircuit {
    const IdentityCirc* circuit;
    std::vector<bool> gates;

    std::vector<Port> inputs() const;
    std::vector<Port> outputs() const;
    bool is_convex() const;
    bool is_connected() const;
    // (S, R): the selection brought together as one circuit, then the rest, so that S
    // followed by R is a rotation of the identity; nothing when it cannot be brought
    // together by exchanging disjoint neighbours and rotating.
    std::optional<std::pair<Circ, Circ>> split() const;

    // Every connected, convex selection of the identity's row that splits, in row order,
    // computed on the thread pool.
    static std::vector<std::pair<Circ, Circ>> par_subcircuit_splits(const IdentityCirc& identity);
};

// The wire neighbours of every instruction, read once per identity so that selections
// can be tested on masks without touching the circuit.
class WireTable {
public:
    explicit WireTable(const IdentityCirc& identity);

    std::size_t len() const noexcept { return n_; }
    std::span<const std::uint32_t> forward(std::size_t g) const { return {wires_.at(g).forward, wires_.at(g).nargs}; }
    std::span<const std::uint32_t> backward(std::size_t g) const { return {wires_.at(g).backward, wires_.at(g).nargs}; }
    bool is_connected(std::uint32_t mask) const noexcept;
    bool is_convex(std::uint32_t mask) const noexcept;
    // The non-empty connected selections of at most `max_size` instructions, in the order
    // of the subset table's row: exactly the row's subsets that pass is_connected. They are
    // grown from single instructions one wire neighbour at a time, so a round never looks
    // at the (far more numerous) subsets that fall apart.
    std::vector<std::uint32_t> connected_subsets(std::size_t max_size) const;

    // The same selections cut into independent pieces of work: each piece visits its own
    // share (in no particular order) through grow(); together they visit every connected
    // selection of at most max_size instructions exactly once.
    struct Piece {
        std::uint32_t set, ext, closed, above;
        std::uint32_t size;
        bool self_only;  // visits its own set, its larger sets are other pieces
    };
    std::vector<Piece> pieces(std::size_t max_size, std::size_t want) const;
    template <class F>
    void grow(const Piece& piece, std::size_t max_size, F&& visit) const {
        if (piece.self_only) {
            visit(piece.set);
            return;
        }
        grow(piece.set, piece.ext, piece.closed, piece.above, piece.size, max_size, visit);
    }

    // Row order among selections: fewer instructions first, then the lexicographic order of
    // their index lists (of two masks of one size, the one holding the lowest index where
    // they differ).
    static bool row_before(std::uint32_t a, std::uint32_t b) noexcept {
        const unsigned pa = selection_size(a), pb = selection_size(b);
        if (pa != pb) return pa < pb;
        const std::uint32_t d = a ^ b;
        return (a & d & (~d + 1)) != 0;
    }

private:
    // Every connected set whose smallest index is that of `above`'s lowest missing bit, each
    // exactly once: a set grows by one instruction of its extension at a time, and an
    // instruction joins the extension only when it is above the start and next to the
    // newest member but to no earlier one.
    template <class F>
    void grow(std::uint32_t set, std::uint32_t ext, std::uint32_t closed, std::uint32_t above, std::size_t size,
              std::size_t max_size, F& visit) const {
        visit(set);
        if (size >= max_size) return;
        while (ext) {
            const std::uint32_t w = ext & (~ext + 1);
            ext &= ext - 1;
            const std::uint32_t nw = others_[static_cast<unsigned>(__builtin_ctz(w))];
            grow(set | w, ext | (nw & ~closed & above), closed | nw, above, size + 1, max_size, visit);
        }
    }
    Piece root(std::size_t v) const noexcept;

    struct Wires {
        std::uint8_t nargs = 0;
        std::uint8_t qubit[2] = {0, 0};
        std::uint32_t forward[2] = {0, 0};   // instruction indices
        std::uint32_t backward[2] = {0, 0};
        std::uint32_t neighbours = 0;        // mask of every wire neighbour
    };
    std::size_t n_;
    std::array<Wires, 32> wires_{};
    std::array<std::uint32_t, 32> others_{};  // wire neighbours other than the instruction itself
};

// Splits a selection given as a mask (n < 32).
std::optional<std::pair<Circ, Circ>> split_mask(const IdentityCirc& identity, std::uint32_t mask);

// The largest selection tried on an identity of n instructions.
inline std::size_t max_selection(std::size_t n) noexcept { return n / 2 + 1; }

}  // namespace brimsel
