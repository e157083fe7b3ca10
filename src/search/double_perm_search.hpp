// The circuit evaluator and the breadth-first search into raw classes keyed by canonical-state hashes.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circ/mod.hpp"
#include "groups/permutation.hpp"
#include "search/class_map.hpp"
#include "search/mod.hpp"
#include "state/mod.hpp"
#include "state/gates.hpp"
#include "state/rng.hpp"
#include "utils/alias_list.hpp"
#include "utils/hash_table64.hpp"
#include "utils/small_vec.hpp"

namespace brimsel {

// The evaluator's permutation table covers this many qubits.
inline constexpr std::uint64_t kMaxEvaluatorQubits = 5;

// The rank of a permutation of at most kMaxEvaluatorQubits positions among all of its length.
inline std::size_t perm_rank(Permut32 p) noexcept {
    const std::size_t n = p.len();
    std::size_t rank = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t smaller = 0;
        for (std::size_t j = i + 1; j < n; ++j) smaller += p.get(j) < p.get(i);
        rank = rank * (n - i) + smaller;
    }
    return rank;
}

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
    // gates, in circuit order. Leaves the pairs and the canonical state's hash
    // in the scratch; `canonical_state` builds the state itself.
    //
    // Candidates are compared through the rounded keys of their parts (the
    // values that state order, equality and hash are made of), read through the
    // candidate's final relabelling instead of relabelling it; only the winner
    // is kept, unrelabelled, with the relabelling that makes it canonical.
    struct Scratch {
        explicit Scratch(const Evaluator& ev);
        StateVec b;
        StateVec best;  // the winning candidate before its last relabelling
        Permut32 best_front;
        PairList pairs;
        std::uint64_t key = 0;
        // Rounded keys: the candidate's in its own index order, the winner's in canonical order.
        std::array<std::uint64_t, 64> cand{}, won{};
        // The backtrack state relabelled by each candidate permutation met so far, by rank.
        std::vector<StateVec> backtrack_by_rank;
        std::vector<bool> have_rank;
    };
    // With `compiled` (the same adjoint gates, prepared) the gates are applied from it.
    void canonicalize(StateVec& forward, std::span<const Instr32> adjoints, Scratch& s,
                      const CompiledGates* compiled = nullptr) const;
    StateVec canonical_state(const Scratch& s) const;

    friend bool operator==(const Evaluator&, const Evaluator&) = default;
};

// The two permutations sit side by side, so that a stored circuit takes 16 bytes.
struct CircTriple {
    Permut32 front_perm;
    Permut32 back_perm;
    AliasList circ;

    CircTriple() = default;
    CircTriple(Permut32 front, AliasList c, Permut32 back) noexcept : front_perm(front), back_perm(back), circ(c) {}

    EccMember simplify() const;
    std::string to_string() const;  // simplified instructions, then the permutation
    std::string debug() const;
};

// Insertion-ordered small set of instructions: two inline, more on the heap.
// The heap pointer shares the inline bytes and the capacity follows the count,
// so the set takes 12 bytes and packs at 4-byte alignment.
class InstrSet {
public:
    InstrSet() noexcept = default;
    InstrSet(const InstrSet& o) { assign(o.items()); }
    InstrSet& operator=(const InstrSet& o) {
        if (this != &o) {
            release();
            n_ = 0;
            assign(o.items());
        }
        return *this;
    }
    ~InstrSet() { release(); }

    bool contains(const Instr32& i) const noexcept {
        for (const Instr32& x : items())
            if (x == i) return true;
        return false;
    }
    void insert(const Instr32& i) {
        if (contains(i)) return;
        if (n_ == UINT32_MAX) throw std::bad_alloc();
        if (n_ == capacity_for(n_)) {
            grow();  // at two or more: the heap holds them from now on
            heap()[n_++] = i;
            return;
        }
        data()[n_++] = i;
    }
    std::span<const Instr32> items() const noexcept { return {data(), n_}; }

private:
    static constexpr std::size_t kInline = 2;
    static std::size_t capacity_for(std::size_t n) noexcept { return n <= kInline ? kInline : std::bit_ceil(n); }
    bool on_heap() const noexcept { return n_ > kInline; }
    Instr32* heap() const noexcept {
        Instr32* p;
        std::memcpy(&p, bytes_, sizeof p);
        return p;
    }
    void set_heap(Instr32* p) noexcept { std::memcpy(bytes_, &p, sizeof p); }
    Instr32* data() noexcept { return on_heap() ? heap() : reinterpret_cast<Instr32*>(bytes_); }
    const Instr32* data() const noexcept {
        return on_heap() ? heap() : reinterpret_cast<const Instr32*>(bytes_);
    }
    void grow() {
        auto* fresh = new Instr32[capacity_for(n_) * 2];
        std::copy(items().begin(), items().end(), fresh);
        release();
        set_heap(fresh);
    }
    void assign(std::span<const Instr32> v) {
        if (v.size() > kInline) {
            auto* fresh = new Instr32[capacity_for(v.size())];
            std::copy(v.begin(), v.end(), fresh);
            set_heap(fresh);
        } else {
            std::copy(v.begin(), v.end(), reinterpret_cast<Instr32*>(bytes_));
        }
        n_ = static_cast<std::uint32_t>(v.size());
    }
    void release() noexcept {
        if (on_heap()) delete[] heap();
    }

    std::uint32_t n_ = 0;
    alignas(Instr32) unsigned char bytes_[sizeof(Instr32*)] = {};
};

// 48 bytes: the count of `circuits` leaves four bytes of its last word free, which `size` takes.
struct CircuitECC {
    [[no_unique_address]] SmallVec<CircTriple, 1> circuits;  // never empty once stored
    std::uint32_t size = 0;  // instructions of the circuit that opened the class
    InstrSet front_gates;
    InstrSet back_gates;

    ECC simplify() const;
    // The instructions of the first member of simplify(), made without the
    // other members; `scratch` is working space. Both are reused by the caller.
    void representative(std::vector<Instr32>& out, std::vector<Instr32>& scratch) const;
    std::string to_string() const;
    std::string debug() const;
};
static_assert(sizeof(void*) != 8 || sizeof(CircuitECC) == 48);

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
    KeyMap64<CircuitECC> inner;
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

    // Up to `direct_limit` classes are sorted after they are built (fast while
    // they fit in the caches); more are put in order first, which holds less
    // memory beside them. The result is the same.
    static constexpr std::size_t kDirectSimplifyLimit = std::size_t{1} << 20;
    ECCs simplify(std::size_t direct_limit = kDirectSimplifyLimit) const;

private:
    // add_entry with the circuit's front and back layers already taken: `last`
    // is its last instruction and `size` its length.
    std::pair<bool, AliasList> offer(std::uint64_t key, Permut32 front_perm, Permut32 back_perm, AliasList parent,
                                     Instr32 last, std::size_t size, std::span<const Instr32> front,
                                     std::span<const Instr32> back);

    // Reused so that offering a circuit allocates nothing: the layers of
    // add_entry's circuit, and the relabelled layers of an offer.
    std::vector<Instr32> front_layer_, back_layer_, front_scratch_, back_scratch_;
};

}  // namespace brimsel
