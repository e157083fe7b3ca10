// Lookups, next keys, re-evaluation and the parallel cross-check of raw classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "search/double_perm_search.hpp"

namespace brimsel {

// Instruction masks hold one bit per instruction.
inline constexpr std::size_t kMaxMaskedInstrs = 63;

// Nesting of checked_equivalent beyond which the cross-check gives up: every level works on
// circuits with a gate stripped, so real classes stay far below it, while a worker's stack
// holds it with room to spare.
inline constexpr std::size_t kMaxEquivalenceDepth = 256;

// Classes handed to the pool at once by check_identity_subset.
inline constexpr std::size_t kCrossCheckChunk = 4096;

// Insertion-ordered; a repeated instruction keeps its first place and takes the later position.
using SurfaceMap = std::vector<std::pair<Instr32, std::uint64_t>>;

// The surface gates among the positions whose mask bit is set, with their positions.
SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circuit, std::uint64_t filtering_mask);

// Strips matching front-layer gates from both circuits until none match; returns the masks
// of what is left (bit i = instruction i).
std::pair<std::uint64_t, std::uint64_t> reduce_equivalence_front(std::span<const Instr32> a,
                                                                 std::span<const Instr32> b);

// Keeps instruction i when bit i of `front` and bit n-1-i of `back` are set; returns the
// number removed.
std::size_t retain_by_masks(std::vector<Instr32>& list, std::uint64_t front, std::uint64_t back);

// Strips the gates that both circuits share at their fronts and (after their permutations)
// at their backs; returns the number removed from each.
std::size_t reduce_equivalence(std::vector<Instr32>& i1, Permut32 p1, std::vector<Instr32>& i2, Permut32 p2);

// Two circuits left to compare after stripping; both empty for an exact match.
struct Equivalence {
    std::vector<Instr32> t1;
    Permut32 p1;
    std::vector<Instr32> t2;
    Permut32 p2;
};
Equivalence export_equivalence(const CircuitECC& e, std::span<const Instr32> prefix, Permut32 front,
                               Permut32 back);

// The stored circuit t read for the evaluation pair (f, b) of another circuit of its class.
EccMember reexpress(const CircTriple& t, Permut32 f, Permut32 b);

std::optional<ECC> find_equivalents(const RawECCs& raw, const Evaluator& ev, std::span<const Instr32> instrs);

std::optional<std::uint64_t> compute_next_key(const RawECCs& raw, const Evaluator& ev,
                                              std::uint64_t current_key, Instr32 instr);

// Shares the source's stored lists (and their arena).
RawECCs switch_evaluator(const RawECCs& raw, const Evaluator& new_evaluator);

// The smallest re-expression of the circuit's class for it, after checking that every
// prefix of the circuit rebuilds deterministically from the classes of `self`.
EccMember checked_equivalent(const RawECCs& self, std::span<const Instr32> instrs, Permut32 perm,
                             const Evaluator& ev, std::size_t max_depth = kMaxEquivalenceDepth);

// Every member of every class of `self` must be found and rebuilt in `ecc1`. Runs on the pool.
void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& ev);

}  // namespace brimsel
