// Proofs: the numbered DAG of identities that export_proof returns, and the tracker that
// finds one by recording, for every identity it meets, which two identities would prove it.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "identity/idcircuit.hpp"
#include "identity/identity_set.hpp"
#include "utils/hash_table64.hpp"

namespace brimsel {

class IdentityProver;

// ---- the exported proof -------------------------------------------------------------------------

// Entry numbers of the two premises of a derived entry; none for an assumption.
using ProofDependency = std::optional<std::pair<std::uint64_t, std::uint64_t>>;
using ProofEntry = std::pair<IdentityCirc, ProofDependency>;

// Entry 0 is the identity that was asked for; each other entry is a premise, numbered in
// the order in which a depth-first walk from entry 0 first reaches it.
struct Proof {
    std::vector<ProofEntry> entries;

    // One line per entry: "0: Identity { ... } <- 1, 2" or "1: Identity { ... } <- ASSUME".
    std::string to_string() const;

    friend bool operator==(const Proof&, const Proof&) = default;
    // Entry by entry; an assumption orders before any pair; a prefix before the longer proof.
    friend std::strong_ordering operator<=>(const Proof& a, const Proof& b) noexcept {
        return a.entries <=> b.entries;
    }
};

// ---- the tracker --------------------------------------------------------------------------------

// A pair of identity hashes: premises (first, second), or in a waiting list (other, target).
using HashPair = std::pair<std::uint64_t, std::uint64_t>;

// Not proved yet. Each (other, target) of `notify` says: once this identity and the one
// hashed `other` are both proved, the one hashed `target` follows.
struct ProofWaiting {
    bool expanded = false;  // its transition pairs have been generated
    std::vector<HashPair> notify;
};

// Proved: from the two identities with these hashes, or (none) outright, as an assumption
// or the empty identity.
struct ProofResult {
    std::optional<HashPair> premises;
};

// The state of one identity; a new entry is waiting and unexpanded.
using ProofFuture = std::variant<ProofWaiting, ProofResult>;

// "Waiting { expanded: true, notify: [(1, 2)] }", "Result(Some((1, 2)))", "Result(None)".
std::string debug(const ProofFuture& f);

// Identities by stable hash with their proof states. Searches shortest identities first,
// expanding only those from which a chain of waiting targets still leads to the root;
// a proof found for an identity is passed up its waiting lists at once. Lives for one export.
class ProofTracker {
public:
    // (instruction count, hash), the smallest first.
    using Queue = std::priority_queue<HashPair, std::vector<HashPair>, std::greater<>>;

    explicit ProofTracker(const IdentityProver& prover);
    ProofTracker(const ProofTracker&) = delete;
    ProofTracker& operator=(const ProofTracker&) = delete;

    // Searches until `identity` is proved (true) or nothing is left to expand (false).
    // Rewrites are followed only into identities that the prover has proved, that
    // `filter_set` holds, or that hold outright; each is expanded at most once, so the
    // search ends. Progress lines go to standard output.
    bool prove(const IdentityCirc& identity, std::uint64_t additional_size, const IdentitySet& filter_set);

    // Proved by nothing: the empty identity (no instructions, the identity permutation)
    // and the prover's assumptions.
    bool holds_outright(const IdentityCirc& identity) const;

    // Whether a chain of waiting targets leads from `key` to `initial`.
    bool prune(std::uint64_t key, std::uint64_t initial) const;
    bool check_reach(std::uint64_t key, std::uint64_t initial,
                     std::unordered_set<std::uint64_t, IdentityHash>& seen) const;
    // Generates the transition pairs of a waiting, unexpanded identity (rewrites that keep
    // within `max_size`) and records what each pair would prove.
    void expand(std::uint64_t key, std::uint64_t max_size, Queue& queue, const IdentitySet& filter_set);
    // Tracks an identity that holds outright: proved by nothing.
    void assume(IdentityCirc identity) { table_.insert(std::move(identity), ProofResult{}); }
    // Adds (other, target) to the waiting list of `identity`, tracking it first if it is
    // new; true when it has yet to be expanded. A different identity of the same hash is a
    // collision.
    bool wait(IdentityCirc identity, HashPair pair);
    // Proves `target` from `first` and `second` when both are proved and it is waiting,
    // then everything waiting on it in turn; true when `target` became proved here.
    bool notify(std::uint64_t first, std::uint64_t second, std::uint64_t target);

    // The proof of the identity hashed `key`, numbered from 0 in pre-order.
    Proof export_(std::uint64_t key) const;

    std::size_t size() const noexcept { return table_.size(); }
    const ProofFuture* state(std::uint64_t key) const;

private:
    // Numbers in the order given, by hash.
    struct Numbering {
        std::vector<std::uint64_t> order;
        std::unordered_map<std::uint64_t, std::uint64_t, IdentityHash> number;
        bool has(std::uint64_t h) const { return number.count(h) != 0; }
        void add(std::uint64_t h) {
            number.emplace(h, order.size());
            order.push_back(h);
        }
    };
    void export_inner(std::uint64_t key, Numbering& numbers) const;
    // Makes `target` proved by (first, second) if that is due, handing back its old waiting list.
    bool resolve(std::uint64_t first, std::uint64_t second, std::uint64_t target, std::vector<HashPair>& waiting);
    // Tracks one identity of a transition pair: one that holds outright is proved; any
    // other identity waits for (other, key) and is queued if it has yet to be expanded.
    void track(IdentityCirc identity, HashPair pair, std::uint64_t key, Queue& queue, const char* same_key);

    const IdentityProver& prover_;
    IdentitySet assumed_;  // the prover's assumptions, looked up once per rewrite
    HashTable64<IdentityCirc, ProofFuture> table_;
};

}  // namespace brimsel
