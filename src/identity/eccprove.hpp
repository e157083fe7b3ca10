// IdentityProver: assumed and proved identities and the rule table of equivalent circuits,
// with the rewriting rounds and the bounded searches that derive identities from them.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "identity/identity_set.hpp"

namespace brimsel {

struct ECCs;

// Hashes circuits for in-memory maps under the process's own random key.
struct CircHasher {
    std::size_t operator()(const Circ& c) const noexcept;
};

using CircMap = std::unordered_map<Circ, std::vector<Circ>, CircHasher>;

class IdentityProver {
public:
    // Axioms, in the order in which they were assumed.
    std::vector<IdentityCirc> assume;
    // Every identity known to follow from the axioms and the rules.
    IdentitySet proved;
    // Canonical circuit -> circuits equivalent to it (trailing permutations included).
    CircMap circ_map;

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

    // The adding search: true when it ended by assuming an identity.
    bool add_identity(IdentityCirc identity, std::uint64_t additional_size, std::uint64_t count_limit);
    // The adding search without marking its visited set proved: (visited, assumed).
    std::pair<IdentitySet, bool> add_identity_search(IdentityCirc identity, std::uint64_t additional_size,
                                                     std::uint64_t count_limit);
    // The proving search: (nothing when proved, else the identity where it gave up; visited).
    std::pair<std::optional<IdentityCirc>, IdentitySet> prove_identity_with_visited(IdentityCirc identity,
                                                                                     std::uint64_t additional_size,
                                                                                     std::uint64_t count_limit) const;
    std::optional<IdentityCirc> prove_identity(IdentityCirc identity, std::uint64_t additional_size,
                                               std::uint64_t count_limit) const;

    bool is_assumed(const IdentityCirc& identity) const;
};

// Registers the adjoint of each gate and the adjoint of that on the calling thread.
void register_adjoints_of(const std::vector<Instr32>& instrs);

}  // namespace brimsel
