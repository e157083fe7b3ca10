// The prover's rewriting rounds on the thread pool and its bounded searches.
#include "identity/eccprove.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <set>

#include "identity/subcircuit.hpp"
#include "state/rng.hpp"
#include "utils/pool.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

struct MapKey {
    std::uint64_t k0, k1;
    MapKey() {
        Rng r = Rng::from_entropy();
        k0 = r.next_u64();
        k1 = r.next_u64();
    }
};

// Subsets handed to one task of a round: enough to pay for scheduling, few enough that
// the splits that survive (the expensive part) spread over every worker, also in the
// short rows of short identities.
std::size_t subsets_per_task(std::size_t row) {
    return std::clamp<std::size_t>(row / (pool::num_threads() * 8), 4, 256);
}

// One round over the identity's row: `per_split(c1, c2, out)` appends the results of
// one split; the per-task lists are joined in row order.
template <class Out, class PerSplit>
std::vector<Out> run_round(const IdentityCirc& identity, PerSplit per_split) {
    const std::size_t n = identity.len();
    if (n >= kCombinationRows) panic_index(kCombinationRows, n);
    register_adjoints_of(identity.circ.instrs);
    const std::span<const std::uint32_t> row = COMBINATIONS().row(n);
    const WireTable wires(identity);
    const std::size_t chunk = subsets_per_task(row.size());
    const std::size_t tasks = (row.size() + chunk - 1) / chunk;
    std::vector<std::vector<Out>> parts = pool::map(tasks, [&](std::size_t t) {
        std::vector<Out> out;
        const std::size_t begin = t * chunk;
        for_each_split(identity, wires, row.subspan(begin, std::min(chunk, row.size() - begin)),
                       [&](Circ c1, Circ c2) { per_split(c1, c2, out); });
        return out;
    });
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    std::vector<Out> all;
    all.reserve(total);
    for (auto& p : parts)
        for (auto& x : p) all.push_back(std::move(x));
    return all;
}

// The rewrites of one split: for every candidate of the canonical subcircuit's list
// that the allowance admits, `each(candidate, c1_reversed, c2_permuted)`.
template <class Each>
void rewrites(const CircMap& circ_map, const Circ& c1, const Circ& c2, std::uint64_t additional_size, Each each) {
    auto [c1_rep, perm] = c1.representative_with_perm();
    const auto it = circ_map.find(c1_rep);
    if (it == circ_map.end()) return;
    const Circ c1_reversed = c1_rep.inverse();
    const Circ c2_permuted = c2.permut(perm);
    const std::uint64_t limit = saturating_add(c1_rep.len(), additional_size);
    for (const Circ& candidate : it->second) {
        if (candidate.len() > limit) continue;
        each(candidate, c1_reversed, c2_permuted);
    }
}

}  // namespace

std::size_t CircHasher::operator()(const Circ& c) const noexcept {
    static const MapKey key;
    StableHasher h(key.k0, key.k1);
    c.hash(h);
    return static_cast<std::size_t>(h.finish());
}

void register_adjoints_of(const std::vector<Instr32>& instrs) {
    std::uint16_t last = 0;
    bool any = false;
    for (const Instr32& i : instrs) {
        if (any && i.gate.index == last) continue;
        last = i.gate.index;
        any = true;
        i.gate.adjoint().adjoint();
    }
}

void IdentityProver::register_rule_adjoints() const {
    // In ascending gate order: the map's own order changes from run to run, and so
    // would the indices of adjoints registered in it.
    std::set<std::uint16_t> gates;
    for (const auto& [key, list] : circ_map) {
        for (const Instr32& i : key.instrs) gates.insert(i.gate.index);
        for (const Circ& c : list)
            for (const Instr32& i : c.instrs) gates.insert(i.gate.index);
    }
    for (std::uint16_t g : gates) Gate16(g).adjoint().adjoint();
}

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity,
                                                          std::uint64_t additional_size) const {
    return run_round<IdentityCirc>(identity, [&](const Circ& c1, const Circ& c2, std::vector<IdentityCirc>& out) {
        rewrites(circ_map, c1, c2, additional_size,
                 [&](const Circ& candidate, const Circ& c1_reversed, const Circ& c2_permuted) {
                     // The rule first: a candidate whose rule is not proved costs one canonical form.
                     const IdentityCirc rule = (candidate + c1_reversed).rotate_representative();
                     if (!proved.contains(rule)) return;
                     out.push_back((candidate + c2_permuted).rotate_representative());
                 });
    });
}

std::vector<std::pair<IdentityCirc, IdentityCirc>> IdentityProver::par_transition_pairs(
    const IdentityCirc& identity, std::uint64_t additional_size) const {
    using Pair = std::pair<IdentityCirc, IdentityCirc>;
    return run_round<Pair>(identity, [&](const Circ& c1, const Circ& c2, std::vector<Pair>& out) {
        rewrites(circ_map, c1, c2, additional_size,
                 [&](const Circ& candidate, const Circ& c1_reversed, const Circ& c2_permuted) {
                     IdentityCirc rule = (candidate + c1_reversed).rotate_representative();
                     out.emplace_back((candidate + c2_permuted).rotate_representative(), std::move(rule));
                 });
    });
}

// ---- searches ----------------------------------------------------------------------------------

namespace {

// Identities waiting to be expanded, one queue per length above the root's; a queue is
// created when its length is first reached, never ahead for the whole allowance.
class SearchQueue {
public:
    explicit SearchQueue(std::uint64_t min_size) : min_size_(min_size) {}
    void push(std::uint64_t len, IdentitySet::Pos pos) {
        const std::uint64_t k = len - min_size_;
        if (k >= queues_.size()) queues_.resize(k + 1);
        queues_[k].push_back(pos);
        first_ = std::min<std::size_t>(first_, k);
    }
    // The front of the first non-empty queue: shortest first, then first queued.
    std::optional<IdentitySet::Pos> pop() {
        for (; first_ < queues_.size(); ++first_) {
            auto& q = queues_[first_];
            if (!q.empty()) {
                const IdentitySet::Pos pos = q.front();
                q.pop_front();
                return pos;
            }
        }
        return std::nullopt;
    }

private:
    std::uint64_t min_size_;
    std::size_t first_ = 0;
    std::vector<std::deque<IdentitySet::Pos>> queues_;
};

}  // namespace

bool IdentityProver::add_identity(IdentityCirc identity, std::uint64_t additional_size,
                                  std::uint64_t count_limit) {
    if (identity.len() == 0 || proved.contains(identity)) return false;
    auto [visited, assumed] = add_identity_search(std::move(identity), additional_size, count_limit);
    proved.insert_all(visited);
    return assumed;
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(IdentityCirc identity,
                                                                 std::uint64_t additional_size,
                                                                 std::uint64_t count_limit) {
    const std::uint64_t min_size = identity.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    SearchQueue queue(min_size);
    IdentitySet visited;
    std::uint64_t counter = 0;
    queue.push(min_size, *visited.insert(identity));
    while (const auto pos = queue.pop()) {
        const IdentityCirc current = visited.at(*pos);
        for (IdentityCirc& new_id : par_apply_rules(current, max_size - current.len())) {
            check(new_id.len() <= max_size, "assertion failed: new_id.len() <= max_size");
            const auto stored = visited.insert(new_id);
            if (!stored) continue;
            if (new_id.len() < min_size) {
                const bool assumed = add_identity(std::move(new_id), additional_size, count_limit);
                return {std::move(visited), assumed};
            }
            if (proved.contains(new_id)) return {std::move(visited), false};
            queue.push(new_id.len(), *stored);
            if (++counter > count_limit) {
                assume.push_back(std::move(identity));
                return {std::move(visited), true};
            }
        }
    }
    assume.push_back(std::move(identity));
    return {std::move(visited), true};
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    IdentityCirc identity, std::uint64_t additional_size, std::uint64_t count_limit) const {
    const std::uint64_t min_size = identity.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    SearchQueue queue(min_size);
    IdentitySet visited;
    queue.push(min_size, *visited.insert(identity));
    while (const auto pos = queue.pop()) {
        const IdentityCirc current = visited.at(*pos);
        for (IdentityCirc& new_id : par_apply_rules(current, max_size - current.len())) {
            check(new_id.len() <= max_size, "assertion failed: new_id.len() <= max_size");
            const auto stored = visited.insert(new_id);
            if (!stored) continue;
            if (new_id.len() < min_size) {
                auto [result, inner] = prove_identity_with_visited(std::move(new_id), additional_size, count_limit);
                visited.insert_all(inner);
                return {std::move(result), std::move(visited)};
            }
            if (proved.contains(new_id)) return {std::nullopt, std::move(visited)};
            queue.push(new_id.len(), *stored);
            if (visited.size() > count_limit) return {std::move(identity), std::move(visited)};
        }
    }
    return {std::move(identity), std::move(visited)};
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity, std::uint64_t additional_size,
                                                           std::uint64_t count_limit) const {
    return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

bool IdentityProver::is_assumed(const IdentityCirc& identity) const {
    return std::find(assume.begin(), assume.end(), identity) != assume.end();
}

}  // namespace brimsel
