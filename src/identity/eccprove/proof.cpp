// Proof tracking: the search that records why each identity holds, and the export of the
// proof of one identity as a numbered DAG. Every walk over the tracker's links keeps its
// own stack: a long chain of identities must not exhaust the machine stack.
#include "identity/eccprove/proof.hpp"

#include <cstdio>

#include "identity/eccprove.hpp"
#include "utils/progress.hpp"

namespace brimsel {

namespace {

const ProofWaiting* waiting_of(const HashTable64<IdentityCirc, ProofFuture>::Entry* e) {
    return e ? std::get_if<ProofWaiting>(&e->second) : nullptr;
}

bool is_result(const HashTable64<IdentityCirc, ProofFuture>::Entry* e) {
    return e && std::holds_alternative<ProofResult>(e->second);
}

std::string pair_text(const HashPair& p) {
    return "(" + std::to_string(p.first) + ", " + std::to_string(p.second) + ")";
}

}  // namespace

std::string Proof::to_string() const {
    std::string s;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [identity, dependency] = entries[i];
        s += std::to_string(i) + ": " + identity.to_string() + " <- ";
        if (dependency)
            s += std::to_string(dependency->first) + ", " + std::to_string(dependency->second);
        else
            s += "ASSUME";
        s += '\n';
    }
    return s;
}

std::string debug(const ProofFuture& f) {
    if (const auto* r = std::get_if<ProofResult>(&f))
        return r->premises ? "Result(Some(" + pair_text(*r->premises) + "))" : "Result(None)";
    const auto& w = std::get<ProofWaiting>(f);
    std::string s = std::string("Waiting { expanded: ") + (w.expanded ? "true" : "false") + ", notify: [";
    for (std::size_t i = 0; i < w.notify.size(); ++i) {
        if (i) s += ", ";
        s += pair_text(w.notify[i]);
    }
    return s + "] }";
}

ProofTracker::ProofTracker(const IdentityProver& prover) : prover_(prover) {
    for (const IdentityCirc& a : prover.assume) assumed_.insert(a);
}

const ProofFuture* ProofTracker::state(std::uint64_t key) const {
    const auto* e = table_.address(key);
    return e ? &e->second : nullptr;
}

bool ProofTracker::holds_outright(const IdentityCirc& identity) const {
    return is_empty_identity(identity) || assumed_.contains(identity);
}

bool ProofTracker::prove(const IdentityCirc& identity, std::uint64_t additional_size, const IdentitySet& filter_set) {
    if (holds_outright(identity)) {
        assume(identity);
        return true;
    }
    const std::uint64_t initial = identity.hash_value();
    Queue queue;
    queue.push({identity.len(), initial});
    table_.insert(identity, ProofFuture{});
    const std::uint64_t max_size = saturating_add(additional_size, identity.len());
    std::uint64_t counter = 0;
    for (;;) {
        if (queue.empty()) return false;
        const auto [len, key] = queue.top();
        queue.pop();
        if (prune(key, initial)) {
            if (counter % 50 == 0) {
                char hex[17];
                std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(key));
                print_stdout(std::string("Exploring ") + hex + " " + std::to_string(len) + " " +
                             table_.address(key)->first.to_string() + " (" + std::to_string(queue.size()) +
                             " queued)\n");
            }
            expand(key, max_size, queue, filter_set);
            ++counter;
        }
        if (is_result(table_.address(initial))) return true;
    }
}

bool ProofTracker::prune(std::uint64_t key, std::uint64_t initial) const {
    std::unordered_set<std::uint64_t, IdentityHash> seen{key};
    return check_reach(key, initial, seen);
}

bool ProofTracker::check_reach(std::uint64_t key, std::uint64_t initial,
                               std::unordered_set<std::uint64_t, IdentityHash>& seen) const {
    // Depth first, each waiting list in order: the walk a recursion would make.
    struct Frame {
        const std::vector<HashPair>* notify;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto enter = [&](std::uint64_t k) {
        if (k == initial) return true;
        if (const ProofWaiting* w = waiting_of(table_.address(k))) stack.push_back(Frame{&w->notify, 0});
        return false;
    };
    if (enter(key)) return true;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.notify->size()) {
            stack.pop_back();
            continue;
        }
        const std::uint64_t target = (*f.notify)[f.next++].second;
        if (seen.insert(target).second && enter(target)) return true;
    }
    return false;
}

void ProofTracker::expand(std::uint64_t key, std::uint64_t max_size, Queue& queue, const IdentitySet& filter_set) {
    auto* entry = table_.address_mut(key);
    if (!entry) panic_unwrap_none();
    auto* w = std::get_if<ProofWaiting>(&entry->second);
    if (!w || w->expanded) return;
    w->expanded = true;
    // Entries never move: the identity stays in place while the table grows below.
    const IdentityCirc& id0 = entry->first;
    auto known = [&](const IdentityCirc& x) {
        return prover_.proved.contains(x) || filter_set.contains(x) || holds_outright(x);
    };
    for (auto& [id1, id2] : prover_.par_transition_pairs_within(id0, max_size)) {
        if (!known(id1) || !known(id2)) continue;
        const std::uint64_t id1hash = id1.hash_value();
        const std::uint64_t id2hash = id2.hash_value();
        track(std::move(id1), {id2hash, key}, key, queue, "assertion failed: id1hash != key");
        track(std::move(id2), {id1hash, key}, key, queue, "assertion failed: id2hash != key");
        if (notify(id1hash, id2hash, key)) break;
    }
}

void ProofTracker::track(IdentityCirc identity, HashPair pair, std::uint64_t key, Queue& queue,
                         const char* same_key) {
    const std::uint64_t hash = identity.hash_value();
    const std::uint64_t len = identity.len();
    if (holds_outright(identity)) {
        assume(std::move(identity));
    } else if (wait(std::move(identity), pair)) {
        check(hash != key, same_key);
        queue.push({len, hash});
    }
}

bool ProofTracker::wait(IdentityCirc identity, HashPair pair) {
    const std::uint64_t hash = identity.hash_value();
    // A different identity under this hash is refused here, not shared.
    auto& entry = table_.address_or(hash, {std::move(identity), ProofFuture{}});
    auto* w = std::get_if<ProofWaiting>(&entry.second);
    if (!w) return false;
    w->notify.push_back(pair);
    return !w->expanded;
}

bool ProofTracker::resolve(std::uint64_t first, std::uint64_t second, std::uint64_t target,
                           std::vector<HashPair>& waiting) {
    auto* t = table_.address_mut(target);
    auto* w = t ? std::get_if<ProofWaiting>(&t->second) : nullptr;
    if (!is_result(table_.address(first)) || !is_result(table_.address(second)) || !w) return false;
    waiting = std::move(w->notify);
    t->second = ProofResult{HashPair{first, second}};
    return true;
}

bool ProofTracker::notify(std::uint64_t first, std::uint64_t second, std::uint64_t target) {
    std::vector<HashPair> waiting;
    if (!resolve(first, second, target, waiting)) return false;
    // Each proved identity tells its waiting list in order, depth first.
    struct Frame {
        std::uint64_t proved;
        std::vector<HashPair> waiting;
        std::size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{target, std::move(waiting), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.waiting.size()) {
            check(is_result(table_.address(f.proved)),
                  "assertion failed: matches!(self.0.address(id2).unwrap().1, ProofFuture::Result(_))");
            stack.pop_back();
            continue;
        }
        const auto [other, next] = f.waiting[f.next++];
        const std::uint64_t proved = f.proved;
        std::vector<HashPair> more;
        if (resolve(proved, other, next, more)) stack.push_back(Frame{next, std::move(more), 0});
    }
    return true;
}

void ProofTracker::export_inner(std::uint64_t key, Numbering& numbers) const {
    // Pre-order: an identity, then its first premise's proof, then its second's.
    struct Frame {
        std::uint64_t key;
        int premise;  // the next premise to visit: 0, 1, or 2 when done
    };
    numbers.add(key);
    std::vector<Frame> stack{Frame{key, 0}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        const auto* e = table_.address(f.key);
        const ProofResult* r = e ? std::get_if<ProofResult>(&e->second) : nullptr;
        if (!r || !r->premises || f.premise == 2) {
            stack.pop_back();
            continue;
        }
        const std::uint64_t premise = f.premise++ == 0 ? r->premises->first : r->premises->second;
        if (!numbers.has(premise)) {
            numbers.add(premise);
            stack.push_back(Frame{premise, 0});
        }
    }
}

Proof ProofTracker::export_(std::uint64_t key) const {
    Numbering numbers;
    export_inner(key, numbers);
    Proof proof;
    proof.entries.reserve(numbers.order.size());
    for (const std::uint64_t h : numbers.order) {
        const auto* e = table_.address(h);
        if (!e) panic_unwrap_none();
        const auto* r = std::get_if<ProofResult>(&e->second);
        if (!r) panic("(" + e->first.debug() + ", " + debug(e->second) + ")");
        ProofDependency dependency;
        if (r->premises)
            dependency.emplace(numbers.number.at(r->premises->first), numbers.number.at(r->premises->second));
        proof.entries.emplace_back(e->first, dependency);
    }
    return proof;
}

std::optional<Proof> IdentityProver::export_proof(const IdentityCirc& identity, std::uint64_t additional_size,
                                                  std::uint64_t count_limit) const {
    const auto [result, visited] = prove_identity_with_visited(identity, additional_size, count_limit);
    if (result) return std::nullopt;
    // The search has proved it: the tracker follows only what that search and the prover
    // know, expanding each identity once, and needs no limit of its own.
    ProofTracker tracker(*this);
    if (!tracker.prove(identity, additional_size, visited))
        panic("Failed to export proof for proved identity");
    return tracker.export_(identity.hash_value());
}

}  // namespace brimsel
