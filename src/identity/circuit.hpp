// Circ: an instruction list followed by a trailing qubit permutation, with its canonical forms.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circ/mod.hpp"
#include "groups/permutation.hpp"
#include "utils/postcard.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

class IdentityCirc;

// The instructions act in list order; then the permutation moves the content
// of qubit k to qubit perm[k]. The qubit count is the permutation's length.
class Circ {
public:
    std::vector<Instr32> instrs;
    Permut32 perm;

    Circ() = default;
    // Every used qubit argument must be below the permutation's length.
    static Circ new_(std::vector<Instr32> instrs, Permut32 perm);
    // The identity permutation just long enough for the used qubits.
    static Circ new_no_perm(std::vector<Instr32> instrs);

    std::size_t nqubits() const noexcept { return perm.len(); }
    std::size_t len() const noexcept { return instrs.size(); }
    bool is_empty() const noexcept { return instrs.empty(); }
    const Instr32& operator[](std::size_t i) const {
        check_index(i, instrs.size());
        return instrs[i];
    }

    // Used qubit arguments in list order, then the positions the permutation moves.
    std::vector<std::uint8_t> affected_qubits() const;
    Circ compact_qubits() const;
    Circ reorder_instrs() const;
    Circ permut(Permut32 p) const;
    Circ rotate(std::int64_t n) const;
    Circ remove_swaps() const;
    Circ inverse() const;
    std::vector<Instr32> instrs_with_swaps() const;
    friend Circ operator+(const Circ& a, const Circ& b);

    // Canonical forms: minima over every relabelling of the qubits.
    Circ representative() const;
    std::pair<Circ, Permut32> representative_with_perm() const;
    // The canonical identity over relabellings and rotations; runs the identity check.
    IdentityCirc rotate_representative() const;

    void hash(StableHasher& h) const noexcept;
    std::uint64_t stable_hash() const noexcept {
        StableHasher h;
        hash(h);
        return h.finish();
    }

    std::string to_string() const;  // Circuit { h(0) cx(0, 1) (0 1) }
    std::string debug() const;      // Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }

    // Saved form: count, instructions, permutation word. Reading checks the
    // encoding, the qubit bytes and that the word is a permutation.
    void serialize(postcard::Writer& w) const { serialize(w, instrs, perm); }
    // The same bytes for a circuit held in other storage.
    static void serialize(postcard::Writer& w, std::span<const Instr32> instrs, Permut32 perm);
    static Circ deserialize(postcard::Reader& r);

    friend bool operator==(const Circ&, const Circ&) = default;
    // Fewer instructions first, then the instructions, then the permutation word.
    friend std::strong_ordering operator<=>(const Circ& a, const Circ& b) noexcept;
};

// The refusal of a permutation word read from storage, or nothing when the word
// is sound: a length n of at most 8, images below n and distinct (so exactly
// 0 .. n-1), nothing stored past the length.
std::optional<std::string> permutation_word_error(Permut32 p);

}  // namespace brimsel
