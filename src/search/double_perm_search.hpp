// The circuit evaluator and the breadth-first search into raw classes keyed by canonical-state hashes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "circ/mod.hpp"
#include "groups/permutation.hpp"
#include "search/mod.hpp"
#include "state/mod.hpp"
#include "state/rng.hpp"
#include "utils/alias_list.hpp"
#include "utils/hash_table64.hpp"
#include "utils/small_vec.hpp"

namespace brimsel {

// The evaluator's permutation table covers this many qubits.
inline constexpr std::uint64_t kMaxEvaluatorQubits = 5;

// (front, back) permutation pairs; the first is kept inline.
class PairList {
public:
    using Pair = std::pair<Permut32, Permut32>;
    void clear() noexcept {
        n_ = 0;
        more_.clear();
    }
    void push_back(Pair p) {
        if (n_ == 0)
            first_ = p;
        else
            more_.push_back(p);
        ++n_;
    }
    std::size_t size() const noexcept { return n_; }
    const Pair& operator[](std::size_t i) const {
        check_index(i, n_);
        return i == 0 ? first_ : more_[i - 1];
    }

private:
    Pair first_{};
    std::vector<Pair> more_;
    std::size_t n_ = 0;
};

class Evaluator {
public:
    StateVec initial_state;
    StateVec backtrack_state;

    static Evaluator from_random(std::uint64_t nqubits, Rng& gen);

    struct Multiple {
        StateVec canonical;
        PairList pairs;
        StateVec forward;
    };
    Multiple evaluate_multiple(std::span<const Instr32> instrs) const;

    struct Single {
        StateVec canonical;
        Permut32 front;
        Permut32 back;
        StateVec forward;
    };
    Single evaluate(std::span<const Instr32> instrs) const;

    std::uint64_t initial_key() const;
    std::uint64_t nqubits() const noexcept { return initial_state.nqubits(); }

    // The search's inner step: `forward` holds the circuit's forward state before
    // phase canonicalisation; `adjoints` the circuit's instructions with adjoint
    // gates, in circuit order. Leaves the canonical state in `best`.
    struct Scratch {
        StateVec b;
        StateVec best;
        PairList pairs;
    };
    void canonicalize(StateVec& forward, std::span<const Instr32> adjoints, Scratch& s) const;

    friend bool operator==(const Evaluator&, const Evaluator&) = default;
};

struct CircTriple {
    Permut32 front_perm;
    AliasList circ;
    Permut32 back_perm;

    EccMember simplify() const;
    std::string to_string() const;  // simplified instructions, then the permutation
    std::string debug() const;
};

// Insertion-ordered small set of instructions.
class InstrSet {
public:
    bool contains(const Instr32& i) const noexcept {
        for (const Instr32& x : items_)
            if (x == i) return true;
        return false;
    }
    void insert(const Instr32& i) {
        if (!contains(i)) items_.push_back(i);
    }
    const SmallVec<Instr32, 4>& items() const noexcept { return items_; }

private:
    SmallVec<Instr32, 4> items_;
};

struct CircuitECC {
    std::uint64_t size = 0;
    InstrSet front_gates;
    InstrSet back_gates;
    SmallVec<CircTriple, 1> circuits;  // never empty once stored

    ECC simplify() const;
    std::string to_string() const;
    std::string debug() const;
};

using SearchCounters = std::array<std::uint64_t, 3>;

// Marks the qubits of `i` in `seen` (qubit q is bit q mod 32) and tells whether all
// of them were new there, which makes `i` a surface gate of the walk so far.
inline bool mark_surface(const Instr32& i, std::uint32_t& seen) noexcept {
    std::size_t fresh = 0;
    for (std::uint8_t q : i.qargs.as_slice()) {
        const std::uint32_t bit = std::uint32_t{1} << (q % 32);
        if (!(seen & bit)) {
            ++fresh;
            seen |= bit;
        }
    }
    return fresh == i.qargs.len();
}

// Surface gates of a sequence: those all of whose qubits appear for the first time.
// `reversed` walks the sequence from its last instruction (the back layer).
std::vector<Instr32> circuit_get_surface_gates(std::span<const Instr32> instrs, bool reversed = false);
// The same into a caller's buffer (cleared first), for the search's inner loop.
void circuit_get_surface_gates(std::span<const Instr32> instrs, bool reversed, std::vector<Instr32>& out);

class RawECCs {
public:
    std::unordered_map<std::uint64_t, CircuitECC, IdentityHash> inner;
    std::uint64_t nqubits = 0;
    // The nodes of every stored circuit; shared by every RawECCs that refers to them.
    std::shared_ptr<AliasArena> arena = std::make_shared<AliasArena>();

    static RawECCs new_(const Evaluator& ev);

    // Returns whether the key was new, and then the node of the stored circuit.
    std::pair<bool, AliasList> add_entry(std::uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                         AliasList parent, std::span<const Instr32> instr_vec);

    static std::pair<RawECCs, SearchCounters> search(const Evaluator& ev, std::vector<Instr32> instrs,
                                                     std::uint64_t max_size);
    static std::pair<RawECCs, SearchCounters> search_naive(const Evaluator& ev,
                                                           std::vector<Instr32> instrs,
                                                           std::uint64_t max_size);
    static std::vector<Instr32> placements(const Evaluator& ev, std::vector<Gate16> gates);
    static std::pair<RawECCs, SearchCounters> generate(const Evaluator& ev, std::vector<Gate16> gates,
                                                       std::uint64_t max_size);
    static std::pair<RawECCs, SearchCounters> generate_naive(const Evaluator& ev,
                                                             std::vector<Gate16> gates,
                                                             std::uint64_t max_size);

    ECCs simplify() const;

private:
    // Reused by add_entry so that offering a circuit allocates nothing.
    std::vector<Instr32> front_scratch_, back_scratch_;
};

// Writes a line to the process's standard output directly.
void print_stdout(std::string_view text);

}  // namespace brimsel
