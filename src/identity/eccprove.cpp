// The prover's rewriting rounds on the thread pool and its bounded searches.
#include "identity/eccprove.hpp"

#include <algorithm>
#include <bit>
#include <deque>
#include <limits>
#include <set>
#include <unordered_map>

#include "circ/gate/gates.hpp"
#include "identity/subcircuit.hpp"
#include "utils/pool.hpp"
#include "utils/siphash.hpp"

namespace brimsel {

namespace {

// Identities shorter than this have too few selections to pay for waking the pool.
constexpr std::size_t kParallelLength = 9;

// One round over the identity's connected selections (the row's subsets that hold
// together): `per_split(c1, c2, out)` appends the results of one split, and the result is
// the sequential walk's, in row order.
//
// The selections are found as connected sets grow, in pieces of that growth (spread over
// the pool when `parallel`), each result is tagged with its selection, and the tagged
// results are put in row order at the end: far fewer results than selections need
// sorting, and on the pool the calling thread's share of a short round stays small. A
// failure sends the round to a walk in row order on the calling thread, so that the
// failure raised is the one that walk meets first.
template <class Out, class PerSplit>
std::vector<Out> run_round(const IdentityCirc& identity, const RuleTable& rules, bool parallel, PerSplit per_split) {
    const std::size_t n = identity.len();
    if (n >= kCombinationRows) panic_index(kCombinationRows, n);
    register_adjoints_of(identity.circ.instrs);
    const WireTable wires(identity);
    // A subcircuit's canonical form keeps all but its SWAP gates: when no key has that many
    // instructions, the selection has no rule and need not be split.
    std::uint32_t swaps = 0;
    const Gate16 swap = gates::SWAP();
    for (std::size_t i = 0; i < n; ++i)
        if (identity.circ.instrs[i].gate == swap) swaps |= std::uint32_t{1} << i;
    auto has_rules = [&](std::uint32_t mask) {
        return rules.has_key_length(selection_size(mask & ~swaps));
    };
    auto visit = [&](std::uint32_t mask, std::vector<Out>& out) {
        if (!has_rules(mask) || !wires.is_convex(mask)) return;
        if (auto s = split_mask(identity, mask)) per_split(s->first, s->second, out);
    };
    const std::size_t max_size = max_selection(n);
    auto in_row_order = [&] {
        std::vector<Out> out;
        for (std::uint32_t mask : wires.connected_subsets(max_size)) visit(mask, out);
        return out;
    };
    parallel = parallel && pool::num_threads() > 1 && n >= kParallelLength;

    struct Part {
        std::vector<Out> out;
        std::vector<std::uint32_t> tags;  // the selection of each result
        bool failed = false;
    };
    const std::vector<WireTable::Piece> pieces = wires.pieces(max_size, parallel ? pool::num_threads() * 16 : 1);
    std::vector<Part> parts(pieces.size());
    auto run_piece = [&](std::size_t i) {
        Part& part = parts[i];
        try {
            const DeferredReports deferred;  // reported, if at all, by the walk in row order
            wires.grow(pieces[i], max_size, [&](std::uint32_t mask) {
                visit(mask, part.out);
                part.tags.resize(part.out.size(), mask);
            });
        } catch (...) {
            part.failed = true;
        }
    };
    if (parallel)
        pool::for_each(pieces.size(), run_piece);
    else
        for (std::size_t i = 0; i < pieces.size(); ++i) run_piece(i);
    std::size_t total = 0;
    for (const Part& p : parts) {
        if (p.failed) return in_row_order();
        total += p.out.size();
    }
    // Results of one selection are adjacent and in candidate order: a stable sort by
    // selection puts everything in row order.
    std::vector<std::pair<std::uint32_t, Out*>> tagged;
    tagged.reserve(total);
    for (Part& p : parts)
        for (std::size_t j = 0; j < p.out.size(); ++j) tagged.emplace_back(p.tags[j], &p.out[j]);
    std::stable_sort(tagged.begin(), tagged.end(),
                     [](const auto& a, const auto& b) { return WireTable::row_before(a.first, b.first); });
    std::vector<Out> all;
    all.reserve(total);
    for (auto& [tag, out] : tagged) all.push_back(std::move(*out));
    return all;
}

// The rewrites of one split: for every candidate j of the canonical subcircuit's list
// that the allowance admits, `each(entry, j, c1_reversed, c2_permuted)`.
//
// What a subcircuit's canonical form finds in the table is remembered per thread: the same
// subcircuits turn up again and again in the identities of a search, and their canonical
// forms and lookups are much of a round's work.
struct Lookup {
    std::uint64_t table = 0;  // RuleTable::id, 0 for an empty slot
    Circ c1;
    const RuleTable::Entry* entry = nullptr;
    Permut32 perm;
    Circ c1_reversed;
    std::size_t rep_len = 0;
};

const Lookup& look_up(const RuleTable& circ_map, const Circ& c1) {
    static constexpr std::size_t kSlots = 16384;
    thread_local std::vector<Lookup> slots(kSlots);
    std::uint64_t h = c1.perm.raw;
    for (const Instr32& i : c1.instrs) h = (h ^ std::bit_cast<std::uint32_t>(i)) * 0x100000001B3ULL;
    Lookup& slot = slots[(h ^ (h >> 29)) & (kSlots - 1)];
    if (slot.table == circ_map.id() && slot.c1 == c1) return slot;
    auto [c1_rep, perm] = c1.representative_with_perm();
    slot.table = 0;  // in case what follows fails
    slot.entry = circ_map.find(c1_rep);
    slot.perm = perm;
    slot.rep_len = c1_rep.len();
    slot.c1_reversed = slot.entry ? c1_rep.inverse() : Circ();
    slot.c1 = c1;
    slot.table = circ_map.id();
    return slot;
}

// How much longer than the canonical subcircuit a candidate may be: `grow` more
// instructions, or, for an identity that is already too long, `shrink` fewer.
struct Allowance {
    std::uint64_t grow = 0;
    std::uint64_t shrink = 0;
};

template <class Each>
void rewrites(const RuleTable& circ_map, const Circ& c1, const Circ& c2, Allowance allowance, Each each) {
    const Lookup& found = look_up(circ_map, c1);
    const RuleTable::Entry* entry = found.entry;
    if (!entry || found.rep_len < allowance.shrink) return;
    const Circ& c1_reversed = found.c1_reversed;
    const Circ c2_permuted = c2.permut(found.perm);
    const std::uint64_t limit = saturating_add(found.rep_len - allowance.shrink, allowance.grow);
    const std::vector<Circ>& candidates = entry->circs();
    for (std::size_t j = 0; j < candidates.size(); ++j) {
        if (candidates[j].len() > limit) continue;
        each(*entry, j, c1_reversed, c2_permuted);
    }
}

}  // namespace

std::size_t CircHasher::operator()(const Circ& c) const noexcept {
    // Equal circuits have equal instruction bytes and permutation words.
    const TableKey& key = process_table_key();
    StableHasher h(key.k0, key.k1);
    h.write_u32(c.perm.raw);
    if (!c.instrs.empty()) h.write(c.instrs.data(), c.instrs.size() * sizeof(Instr32));
    return static_cast<std::size_t>(h.finish());
}

RuleTable::Entry::Entry(std::vector<Circ> circs)
    : circs_(std::move(circs)), rules_(std::make_unique<std::atomic<const IdentityCirc*>[]>(circs_.size())) {}

RuleTable::Entry& RuleTable::Entry::operator=(const Entry& other) {
    if (this != &other) {
        Entry copy(other);
        std::swap(circs_, copy.circs_);
        std::swap(rules_, copy.rules_);
    }
    return *this;
}

RuleTable::Entry::~Entry() {
    if (!rules_) return;
    for (std::size_t j = 0; j < circs_.size(); ++j) delete rules_[j].load(std::memory_order_acquire);
}

const IdentityCirc& RuleTable::Entry::rule(std::size_t j, const Circ& key_inverse) const {
    std::atomic<const IdentityCirc*>& slot = rules_[j];
    if (const IdentityCirc* known = slot.load(std::memory_order_acquire)) return *known;
    auto made = std::make_unique<const IdentityCirc>((circs_[j] + key_inverse).rotate_representative());
    const IdentityCirc* expected = nullptr;
    if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *made.release();
    return *expected;  // another worker made the same one first
}

std::uint64_t RuleTable::next_id() noexcept {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

void RuleTable::insert_or_assign(Circ key, std::vector<Circ> circs) {
    id_ = next_id();
    const std::size_t len = key.len();
    if (len < 64)
        lengths_ |= std::uint64_t{1} << len;
    else
        long_keys_ = true;
    map_.insert_or_assign(std::move(key), Entry(std::move(circs)));
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
    circ_map.for_each([&](const Circ& key, const std::vector<Circ>& list) {
        for (const Instr32& i : key.instrs) gates.insert(i.gate.index);
        for (const Circ& c : list)
            for (const Instr32& i : c.instrs) gates.insert(i.gate.index);
    });
    for (std::uint16_t g : gates) Gate16(g).adjoint().adjoint();
}

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity,
                                                          std::uint64_t additional_size) const {
    return apply_rules(identity, additional_size, true);
}

std::vector<IdentityCirc> IdentityProver::apply_rules(const IdentityCirc& identity, std::uint64_t additional_size,
                                                      bool parallel) const {
    return run_round<IdentityCirc>(identity, circ_map, parallel, [&](const Circ& c1, const Circ& c2, std::vector<IdentityCirc>& out) {
        rewrites(circ_map, c1, c2, Allowance{additional_size, 0},
                 [&](const RuleTable::Entry& entry, std::size_t j, const Circ& c1_reversed,
                     const Circ& c2_permuted) {
                     // The rule first: a candidate whose rule is not proved costs no canonical form.
                     if (!proved.contains(entry.rule(j, c1_reversed))) return;
                     out.push_back((entry.circs()[j] + c2_permuted).rotate_representative());
                 });
    });
}

namespace {

using TransitionPair = std::pair<IdentityCirc, IdentityCirc>;

std::vector<TransitionPair> transition_pairs(const RuleTable& circ_map, const IdentityCirc& identity,
                                             Allowance allowance) {
    return run_round<TransitionPair>(identity, circ_map, true, [&](const Circ& c1, const Circ& c2,
                                                                   std::vector<TransitionPair>& out) {
        rewrites(circ_map, c1, c2, allowance,
                 [&](const RuleTable::Entry& entry, std::size_t j, const Circ& c1_reversed,
                     const Circ& c2_permuted) {
                     const IdentityCirc& rule = entry.rule(j, c1_reversed);
                     out.emplace_back((entry.circs()[j] + c2_permuted).rotate_representative(), rule);
                 });
    });
}

}  // namespace

std::vector<std::pair<IdentityCirc, IdentityCirc>> IdentityProver::par_transition_pairs(
    const IdentityCirc& identity, std::uint64_t additional_size) const {
    return transition_pairs(circ_map, identity, Allowance{additional_size, 0});
}

std::vector<std::pair<IdentityCirc, IdentityCirc>> IdentityProver::par_transition_pairs_within(
    const IdentityCirc& identity, std::uint64_t max_size) const {
    const std::uint64_t len = identity.len();
    return transition_pairs(circ_map, identity,
                            len <= max_size ? Allowance{max_size - len, 0} : Allowance{0, len - max_size});
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

    // Up to `count` identities in the order in which pop() would hand them out now.
    void peek(std::size_t count, std::vector<IdentitySet::Pos>& out) const {
        for (std::size_t k = first_; k < queues_.size() && out.size() < count; ++k)
            for (std::size_t j = 0; j < queues_[k].size() && out.size() < count; ++j) out.push_back(queues_[k][j]);
    }

private:
    std::uint64_t min_size_;
    std::size_t first_ = 0;
    std::vector<std::deque<IdentitySet::Pos>> queues_;
};

// Hands out the rewriting round of each identity a search expands. A round depends only on
// its identity and on the prover, which no search changes before it ends, so the rounds of
// the identities queued next can run ahead of time: a batch of them, one per task, fills the
// pool where a single short round could not, and the search then walks each round's result
// in its own turn, exactly as if it had been computed then. A failure in a round run ahead
// is kept and raised only if the search reaches that identity. The first round of a search,
// with nothing queued behind it, runs alone with its selections spread over the pool.
class Expander {
public:
    Expander(const IdentityProver& prover, const IdentitySet& visited, const SearchQueue& queue,
             std::uint64_t max_size)
        : prover_(prover), visited_(visited), queue_(queue), max_size_(max_size),
          width_(pool::num_threads() > 1 ? pool::num_threads() : 0) {}

    std::vector<IdentityCirc> round(IdentitySet::Pos pos) {
        if (auto it = ahead_.find(pos); it != ahead_.end()) {
            Ahead done = std::move(it->second);
            ahead_.erase(it);
            if (done.failure) raise_failure(done.failure);
            return std::move(done.result);
        }
        std::vector<IdentitySet::Pos> batch{pos};
        if (width_ > 0) {
            std::vector<IdentitySet::Pos> next;
            queue_.peek(width_ * 2, next);
            for (IdentitySet::Pos p : next)
                if (batch.size() < width_ && !ahead_.count(p) && visited_.len_at(p) < kCombinationRows)
                    batch.push_back(p);
        }
        if (batch.size() == 1) {
            const IdentityCirc current = visited_.at(pos);
            return prover_.apply_rules(current, max_size_ - current.len(), true);
        }
        // Gates are registered here, on the calling thread, never by a worker.
        std::vector<IdentityCirc> ids;
        for (IdentitySet::Pos p : batch) {
            ids.push_back(visited_.at(p));
            register_adjoints_of(ids.back().circ.instrs);
        }
        std::vector<Ahead> results(batch.size());
        pool::for_each(batch.size(), [&](std::size_t i) {
            try {
                results[i].result = prover_.apply_rules(ids[i], max_size_ - ids[i].len(), false);
            } catch (...) {
                results[i].failure = std::current_exception();
            }
        });
        for (std::size_t i = 1; i < batch.size(); ++i) ahead_.emplace(batch[i], std::move(results[i]));
        // A search that keeps going earns wider batches.
        width_ = std::min(width_ * 2, pool::num_threads() * 8);
        if (results[0].failure) raise_failure(results[0].failure);
        return std::move(results[0].result);
    }

private:
    struct Ahead {
        std::vector<IdentityCirc> result;
        std::exception_ptr failure;
    };
    const IdentityProver& prover_;
    const IdentitySet& visited_;
    const SearchQueue& queue_;
    std::uint64_t max_size_;
    std::size_t width_;
    std::unordered_map<IdentitySet::Pos, Ahead> ahead_;
};

}  // namespace

bool IdentityProver::add_identity(IdentityCirc identity, std::uint64_t additional_size,
                                  std::uint64_t count_limit) {
    if (identity.len() == 0 || proved.contains(identity)) return false;
    auto [visited, assumed] = add_identity_search(std::move(identity), additional_size, count_limit);
    proved.insert_all(visited);
    return assumed;
}

namespace {

// The walk both searches share: from the root, shortest identities first, each new
// identity of a round is checked against `visited` and then handed on. A shorter one goes
// to `shorter(it)` and one already proved to `proved_hit()`, which end the walk with their
// outcome; any other is queued, and `queued()` may end the walk too. Nothing comes back
// when no identity is left to expand.
template <class R, class Shorter, class ProvedHit, class Queued>
std::optional<R> walk(const IdentityProver& prover, const IdentityCirc& root, std::uint64_t additional_size,
                      IdentitySet& visited, Shorter shorter, ProvedHit proved_hit, Queued queued) {
    const std::uint64_t min_size = root.len();
    const std::uint64_t max_size = saturating_add(min_size, additional_size);
    SearchQueue queue(min_size);
    queue.push(min_size, *visited.insert(root));
    Expander expander(prover, visited, queue, max_size);
    while (const auto pos = queue.pop()) {
        for (IdentityCirc& new_id : expander.round(*pos)) {
            check(new_id.len() <= max_size, "assertion failed: new_id.len() <= max_size");
            const auto stored = visited.insert(new_id);
            if (!stored) continue;
            if (new_id.len() < min_size) return shorter(std::move(new_id));
            if (prover.proved.contains(new_id)) return proved_hit();
            queue.push(new_id.len(), *stored);
            if (auto end = queued()) return end;
        }
    }
    return std::nullopt;
}

}  // namespace

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(IdentityCirc identity,
                                                                 std::uint64_t additional_size,
                                                                 std::uint64_t count_limit) {
    IdentitySet visited;
    std::uint64_t counter = 0;
    bool gave_up = false;
    // A shorter identity is added (and may be assumed) before this search returns.
    const std::optional<bool> ended = walk<bool>(
        *this, identity, additional_size, visited,
        [&](IdentityCirc shorter) { return add_identity(std::move(shorter), additional_size, count_limit); },
        [] { return false; },
        [&]() -> std::optional<bool> {
            gave_up = ++counter > count_limit;
            return gave_up ? std::optional<bool>(true) : std::nullopt;
        });
    if (!ended) gave_up = true;  // nothing left to expand
    if (gave_up) assume.push_back(std::move(identity));
    return {std::move(visited), ended.value_or(true)};
}

bool IdentityProver::holds_outright(const IdentityCirc& identity) const {
    return is_empty_identity(identity) || std::find(assume.begin(), assume.end(), identity) != assume.end();
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    IdentityCirc identity, std::uint64_t additional_size, std::uint64_t count_limit) const {
    using Result = std::optional<IdentityCirc>;  // the identity where the search gave up, if it did
    IdentitySet visited;
    if (holds_outright(identity)) {
        visited.insert(identity);
        return {Result(), std::move(visited)};
    }
    std::optional<Result> result = walk<Result>(
        *this, identity, additional_size, visited,
        [&](IdentityCirc shorter) {
            auto [inner_result, inner] = prove_identity_with_visited(std::move(shorter), additional_size, count_limit);
            visited.insert_all(inner);
            return inner_result;
        },
        [] { return Result(); },
        [&]() -> std::optional<Result> {
            if (visited.size() > count_limit) return Result(identity);
            return std::nullopt;
        });
    if (!result) result = Result(std::move(identity));
    return {std::move(*result), std::move(visited)};
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity, std::uint64_t additional_size,
                                                           std::uint64_t count_limit) const {
    return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace brimsel
