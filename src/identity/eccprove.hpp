// IdentityProver: assumed and proved identities and the rule table of equivalent circuits,
// with the rewriting rounds and the bounded searches that derive identities from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "identity/circuit.hpp"
#include "identity/eccprove/proof.hpp"
#include "identity/idcircuit.hpp"
#include "identity/identity_set.hpp"
#include "utils/postcard.hpp"

namespace brimsel {

struct ECCs;

// Hashes circuits for in-memory maps under the process's own random key.
struct CircHasher {
    std::size_t operator()(const Circ& c) const noexcept;
};

// The rule table: a canonical circuit -> the circuits known to be equivalent to it.
class RuleTable {
public:
    // One key's list, with the rule identities of its circuits (each circuit followed by
    // the key's inverse, in canonical form), made on first use by whichever worker needs
    // them and kept: they depend on nothing but the key and the circuit.
    class Entry {
    public:
        explicit Entry(std::vector<Circ> circs);
        Entry(const Entry& other) : Entry(other.circs_) {}
        Entry(Entry&&) noexcept = default;
        Entry& operator=(const Entry& other);
        Entry& operator=(Entry&&) noexcept = default;
        ~Entry();
        const std::vector<Circ>& circs() const noexcept { return circs_; }
        // Checks the rule identity (an identity check) the first time it is made.
        const IdentityCirc& rule(std::size_t j, const Circ& key_inverse) const;

    private:
        std::vector<Circ> circs_;
        std::unique_ptr<std::atomic<const IdentityCirc*>[]> rules_;
    };
    using Map = std::unordered_map<Circ, Entry, CircHasher>;

    RuleTable() = default;
    RuleTable(const RuleTable& other) : map_(other.map_), lengths_(other.lengths_), long_keys_(other.long_keys_) {}
    RuleTable(RuleTable&& other) noexcept
        : map_(std::move(other.map_)), lengths_(other.lengths_), long_keys_(other.long_keys_), id_(other.id_) {
        other.id_ = next_id();
    }
    RuleTable& operator=(const RuleTable& other) {
        if (this != &other) *this = RuleTable(other);
        return *this;
    }
    RuleTable& operator=(RuleTable&& other) noexcept {
        map_ = std::move(other.map_);
        lengths_ = other.lengths_;
        long_keys_ = other.long_keys_;
        id_ = other.id_;
        other.id_ = next_id();
        return *this;
    }

    // Names this table's present contents for lookups remembered elsewhere: a new value
    // whenever an entry may have moved or changed, never one used before.
    std::uint64_t id() const noexcept { return id_; }

    std::size_t size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }
    const Entry* find(const Circ& key) const {
        const auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    // The list stored under an equal key, or null.
    const std::vector<Circ>* list(const Circ& key) const {
        const Entry* e = find(key);
        return e ? &e->circs() : nullptr;
    }
    // Stores the list under the key, replacing the list of an equal key.
    void insert_or_assign(Circ key, std::vector<Circ> circs);
    // f(key, list) for every key, in the map's order (which changes from run to run).
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [key, entry] : map_) f(key, entry.circs());
    }
    // Same keys, each with the same list (the rule identities made so far do not count).
    friend bool operator==(const RuleTable& a, const RuleTable& b) {
        if (a.size() != b.size()) return false;
        for (const auto& [key, entry] : a.map_) {
            const std::vector<Circ>* other = b.list(key);
            if (!other || *other != entry.circs()) return false;
        }
        return true;
    }
    // False when no key has `len` instructions, so that a subcircuit of that length has no rule.
    bool has_key_length(std::size_t len) const noexcept {
        return len < 64 ? (lengths_ >> len) & 1u : long_keys_;
    }

private:
    static std::uint64_t next_id() noexcept;

    Map map_;
    std::uint64_t lengths_ = 0;  // bit k: some key has k instructions (a superset after replacements)
    bool long_keys_ = false;     // some key has 64 or more
    std::uint64_t id_ = next_id();
};

// No instructions and the identity permutation: true without any rule or assumption.
inline bool is_empty_identity(const IdentityCirc& identity) noexcept {
    return identity.len() == 0 && identity.circ.perm.is_identity();
}

// Size bounds: a sum past the 64-bit range is no bound at all.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

class IdentityProver {
public:
    // Axioms, in the order in which they were assumed.
    std::vector<IdentityCirc> assume;
    // Every identity known to follow from the axioms and the rules.
    IdentitySet proved;
    // Canonical circuit -> circuits equivalent to it (trailing permutations included).
    RuleTable circ_map;

    // Fills the rule table from the classes and adds every identity they give; messages
    // and progress bars go to standard error.
    static IdentityProver build(const ECCs& eccs);

    // Registers, on the calling thread, the adjoints of every gate that rounds over this
    // rule table can invert, so that no worker ever adds a gate to the table.
    void register_rule_adjoints() const;

    // One rewriting round: every identity obtained by replacing a connected, convex
    // subcircuit by an equivalent circuit of at most its length plus `additional_size`
    // whose rule identity is proved, in the order of the subset table.
    std::vector<IdentityCirc> par_apply_rules(const IdentityCirc& identity, std::uint64_t additional_size) const;
    // The same round without the test against `proved`: (new identity, rule identity) pairs.
    std::vector<std::pair<IdentityCirc, IdentityCirc>> par_transition_pairs(const IdentityCirc& identity,
                                                                            std::uint64_t additional_size) const;
    // The transition pairs whose rewrite keeps within `max_size` instructions. An identity
    // longer than that (a rule identity met by the proof tracker) may only be shortened:
    // its candidates are shorter than the subcircuit they replace by the excess at least.
    std::vector<std::pair<IdentityCirc, IdentityCirc>> par_transition_pairs_within(const IdentityCirc& identity,
                                                                                   std::uint64_t max_size) const;

    // The adding search: true when it ended by assuming an identity.
    bool add_identity(IdentityCirc identity, std::uint64_t additional_size, std::uint64_t count_limit);
    // The adding search without marking its visited set proved: (visited, assumed).
    std::pair<IdentitySet, bool> add_identity_search(IdentityCirc identity, std::uint64_t additional_size,
                                                     std::uint64_t count_limit);
    // True without a search: the empty identity (no instructions, the identity permutation)
    // and every assumed identity.
    bool holds_outright(const IdentityCirc& identity) const;

    // The proving search: (nothing when proved, else the identity where it gave up; visited).
    // A root that holds outright is proved at once, with itself alone visited; so is the root
    // of every recursive search on a shorter identity.
    std::pair<std::optional<IdentityCirc>, IdentitySet> prove_identity_with_visited(IdentityCirc identity,
                                                                                     std::uint64_t additional_size,
                                                                                     std::uint64_t count_limit) const;
    std::optional<IdentityCirc> prove_identity(IdentityCirc identity, std::uint64_t additional_size,
                                               std::uint64_t count_limit) const;

    // The proving search, then the proof of what it proved: none when it did not prove
    // `identity`. Progress lines go to standard output.
    std::optional<Proof> export_proof(const IdentityCirc& identity, std::uint64_t additional_size,
                                      std::uint64_t count_limit) const;

    // par_apply_rules, with the selections spread over the pool or all on the calling thread.
    std::vector<IdentityCirc> apply_rules(const IdentityCirc& identity, std::uint64_t additional_size,
                                          bool parallel) const;

    // The prover file: assumptions, proved identities, then the rule table, in postcard
    // encoding. Reading checks the encoding, counts against the bytes left, qubit bytes,
    // permutation words and gate texts (postcard::Error), nothing about the identities.
    void serialize(postcard::Writer& w) const;
    static IdentityProver deserialize(postcard::Reader& r);
    // Throw FileError; WriteError / postcard::Error for the format. Loading registers the
    // adjoints of the rule table's gates on the calling thread.
    void dump_postcard(const std::string& path) const;
    static IdentityProver from_postcard(const std::string& path);

private:
    // Writes the file's fields in order, handing the writer to `flushed` after each item.
    template <class Flushed>
    void encode(postcard::Writer& w, Flushed&& flushed) const;
};

// Registers the adjoint of each gate and the adjoint of that on the calling thread.
void register_adjoints_of(const std::vector<Instr32>& instrs);

}  // namespace brimsel
