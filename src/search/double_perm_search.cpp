// Evaluating circuits into canonical states, and the breadth-first search over placements.
#include "search/double_perm_search.hpp"

#include <algorithm>
#include <bit>
#include <deque>

#include "search/search_kernel.hpp"
#include "state/order_info.hpp"
#include "utils/fmt_join.hpp"
#include "utils/memory.hpp"
#include "utils/progress.hpp"

namespace brimsel {

namespace {

void relabel(StateVec& s, Permut32 p) {
    reserve_state_vec_cache(s.nqubits());
    s.apply_permutation(p);
}

std::uint32_t checked_qubits(std::uint64_t n) {
    if (n >= (std::uint64_t{1} << 32))
        panic("Number of qubits too large, resulting in overflow for state vector size.");
    return static_cast<std::uint32_t>(n);
}

}  // namespace

// ---- Evaluator ------------------------------------------------------------------------------

Evaluator Evaluator::from_random(std::uint64_t nqubits, Rng& gen) {
    const std::uint32_t n = checked_qubits(nqubits);
    StateVec::check_qubit_count(n);
    // Relabelling into key order takes a permutation of all n qubits, which
    // holds at most 8: refuse more before any state is drawn.
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    // Everything the construction allocates, at once: the two states and the
    // scratch states of 0 to n qubits that the relabelling reserves.
    check_allocation(std::uint64_t{4} << n, 2 * sizeof(Qreal));
    StateVec initial = StateVec::from_random_symmetric(gen, n);
    StateVec s = StateVec::from_random(gen, n);
    s.normalize_arg();
    const Permut32 p = s.get_permutation();
    relabel(s, p.inv());
    return Evaluator{std::move(initial), std::move(s)};
}

namespace {

// src[j] = the index whose amplitude lands on j when a state is relabelled by inverse(p).
void relabel_sources(Permut32 p, std::size_t n, std::uint32_t* src) noexcept {
    std::uint32_t flip[8] = {};
    std::uint32_t acc = 0;
    for (std::size_t t = 0; t < n; ++t) {
        acc |= std::uint32_t{1} << p.get(t);
        flip[t] = acc;
    }
    src[0] = 0;
    for (std::size_t j = 1, len = std::size_t{1} << n; j < len; ++j)
        src[j] = src[j - 1] ^ flip[std::countr_zero(j)];
}

}  // namespace

Evaluator::Scratch::Scratch(const Evaluator& ev)
    : b(ev.backtrack_state), best(ev.backtrack_state), best_front(Permut32::identity(ev.nqubits())) {}

void Evaluator::canonicalize(StateVec& f, std::span<const Instr32> adjoints, Scratch& s,
                             const CompiledGates* compiled) const {
    f.normalize_arg();
    const OrderInfo order = f.get_orderinfo();
    s.pairs.clear();
    bool have_best = false;
    const std::size_t n = nqubits();
    if (n > kMaxEvaluatorQubits) {
        // Runs of ties beyond the table fail as an index; shorter ones would be
        // cut to relabellings that are no permutations.
        (void)order.as_perms();
        panic("The evaluator handles at most 5 qubits: its permutation table has no "
              "relabelling for more");
    }
    const std::size_t len = std::size_t{1} << n;
    if (s.backtrack_by_rank.empty()) {
        std::size_t perms = 1;
        for (std::size_t k = 2; k <= n; ++k) perms *= k;
        s.backtrack_by_rank.resize(perms, backtrack_state);
        s.have_rank.assign(perms, false);
    }
    std::uint64_t* cand = s.cand.data();
    std::uint64_t* won = s.won.data();
    std::uint32_t src[1u << kMaxEvaluatorQubits];
    order.for_each_perm([&](Permut32 back_perm) {
        const Permut32 back_inv = back_perm.inv();
        const std::size_t rank = perm_rank(back_perm);
        check_index(rank, s.backtrack_by_rank.size());
        if (!s.have_rank[rank]) {
            relabel(s.backtrack_by_rank[rank], back_perm);
            s.have_rank[rank] = true;
        }
        s.b = s.backtrack_by_rank[rank];
        if (compiled)
            compiled->apply_reversed(s.b);
        else
            for (std::size_t i = adjoints.size(); i-- > 0;) s.b.apply(adjoints[i].qargs.as_slice(), adjoints[i].gate);
        s.b.normalize_arg();
        const std::span<const Qreal> re = s.b.re(), im = s.b.im();
        for (std::size_t k = 0; k < len; ++k) {
            cand[k] = re[k].percision_repr();
            cand[len + k] = im[k].percision_repr();
        }
        // The qubit order of b, from the keys just taken.
        OrderInfo border = OrderInfo::new_(n);
        const std::size_t all = len - 1;
        border.sort_eqclass_by_key(0, [&](std::uint8_t q) {
            const std::size_t only = std::size_t{1} << q, others = all & ~only;
            return std::array<std::uint64_t, 4>{cand[only], cand[len + only], cand[others], cand[len + others]};
        });
        const auto [front_perm, eqmask] = border.as_bits();
        if (eqmask != 0) panic("Non-deterministic front permutation detected during evaluation");
        relabel_sources(front_perm, n, src);
        // Compare b relabelled by inverse(front_perm) with the best so far: real parts, then imaginary.
        int c = have_best ? 0 : -1;
        for (std::size_t j = 0; c == 0 && j < len; ++j)
            if (cand[src[j]] != won[j]) c = cand[src[j]] < won[j] ? -1 : 1;
        for (std::size_t j = 0; c == 0 && j < len; ++j)
            if (cand[len + src[j]] != won[len + j]) c = cand[len + src[j]] < won[len + j] ? -1 : 1;
        if (c < 0) {
            for (std::size_t j = 0; j < len; ++j) {
                won[j] = cand[src[j]];
                won[len + j] = cand[len + src[j]];
            }
            std::swap(s.best, s.b);
            s.best_front = front_perm;
            s.pairs.clear();
            have_best = true;
        }
        if (c <= 0) s.pairs.push_back({front_perm, back_inv});
    });
    // The hash of the canonical state, fed as StateVec::hash feeds it.
    StableHasher h;
    h.write_len(len);
    h.write_u64s(won, len);
    h.write_len(len);
    h.write_u64s(won + len, len);
    s.key = h.finish();
}

StateVec Evaluator::canonical_state(const Scratch& s) const {
    StateVec c = s.best;
    relabel(c, s.best_front.inv());
    return c;
}

namespace {

std::vector<Instr32> adjoints_of(std::span<const Instr32> instrs) {
    std::vector<Instr32> adj;
    adj.reserve(instrs.size());
    for (const Instr32& i : instrs) adj.push_back(i.adjoint());
    return adj;
}

}  // namespace

Evaluator::Multiple Evaluator::evaluate_multiple(std::span<const Instr32> instrs) const {
    StateVec f = initial_state;
    for (const Instr32& i : instrs) f.apply(i.qargs.as_slice(), i.gate);
    const std::vector<Instr32> adj = adjoints_of(instrs);
    Scratch s(*this);
    canonicalize(f, adj, s);
    return Multiple{canonical_state(s), std::move(s.pairs), std::move(f)};
}

Evaluator::Single Evaluator::evaluate(std::span<const Instr32> instrs) const {
    Multiple m = evaluate_multiple(instrs);
    const auto [front, back] = m.pairs[0];
    return Single{std::move(m.canonical), front, back, std::move(m.forward)};
}

std::uint64_t Evaluator::initial_key() const { return evaluate({}).canonical.hash_value(); }

// ---- stored circuits and raw classes ------------------------------------------------------------

std::vector<Instr32> circuit_get_surface_gates(std::span<const Instr32> instrs, bool reversed) {
    std::vector<Instr32> out;
    circuit_get_surface_gates(instrs, reversed, out);
    return out;
}

void circuit_get_surface_gates(std::span<const Instr32> instrs, bool reversed, std::vector<Instr32>& out) {
    out.clear();
    std::uint32_t seen = 0;
    const std::size_t n = instrs.size();
    for (std::size_t k = 0; k < n; ++k) {
        const Instr32& i = instrs[reversed ? n - 1 - k : k];
        if (mark_surface(i, seen)) out.push_back(i);
    }
}

EccMember CircTriple::simplify() const {
    const Permut32 r = front_perm.inv();
    // One allocation of the exact size, filled from the back (the list is newest first).
    std::vector<Instr32> instrs(circ.size());
    auto out = instrs.rbegin();
    for (Instr32 i : circ) *out++ = i.apply_permutation(r);
    return EccMember{std::move(instrs), back_perm * front_perm};
}

std::string CircTriple::to_string() const {
    const EccMember m = simplify();
    return fmt_join(m.instrs, {" "}) + " " + m.perm.to_string();
}

std::string CircTriple::debug() const {
    return front_perm.to_string() + " " + fmt_join(circ.to_vec(), {" "}) + " " + back_perm.to_string();
}

std::string CircuitECC::to_string() const {
    std::string s = "CircuitECC {";
    for (std::size_t i = 0; i < circuits.size(); ++i) {
        if (i) s += ", ";
        s += circuits[i].to_string();
    }
    return s + "}";
}

std::string CircuitECC::debug() const {
    auto set = [](const InstrSet& v) {
        std::string s = "{";
        for (std::size_t i = 0; i < v.items().size(); ++i) {
            if (i) s += ", ";
            s += v.items()[i].to_string();
        }
        return s + "}";
    };
    std::string s = "CircuitECC { size: " + std::to_string(size) + ", front_gates: " + set(front_gates) +
                    ", back_gates: " + set(back_gates) + ", circuits: [";
    for (std::size_t i = 0; i < circuits.size(); ++i) {
        if (i) s += ", ";
        s += circuits[i].debug();
    }
    return s + "] }";
}

ECC CircuitECC::simplify() const {
    if (circuits.size() == 1) {
        // The common class of one circuit: the qubits its representative uses
        // are known from the stored list, so both relabellings go in one pass.
        const CircTriple& t = circuits[0];
        const Permut32 front_inv = t.front_perm.inv();
        std::size_t len = 0;
        std::uint8_t used = 0;
        for (Instr32 i : t.circ) {
            ++len;
            for (std::uint8_t q : i.qargs.as_slice()) used = static_cast<std::uint8_t>(used | (1u << front_inv.at(q)));
        }
        const Permut32 perm = t.back_perm * t.front_perm;
        const Permut32 uniform = Permut32::from_iter_with_ext(perm.len(), used);
        const Permut32 r = uniform.inv();
        // Both relabellings of a qubit at once; a qubit of 8 or more fails as Permut32::at does.
        std::uint8_t to[8];
        for (std::uint8_t q = 0; q < 8; ++q) to[q] = r.get(front_inv.get(q));
        auto relabel = [&](Instr32 i) {
            for (std::size_t k = 0; k < i.qargs.len(); ++k) {
                if (i.qargs.q[k] >= 8) panic("assertion failed: idx < 8");
                i.qargs.q[k] = to[i.qargs.q[k]];
            }
            return i;
        };
        std::vector<EccMember> members(1);
        EccMember& m = members[0];
        m.instrs.resize(len);
        auto out = m.instrs.rbegin();
        for (Instr32 i : t.circ) *out++ = relabel(i);
        m.perm = r * perm * uniform;
        return ECC{std::move(members)};
    }
    std::vector<EccMember> members;
    members.reserve(circuits.size());
    for (const CircTriple& t : circuits) members.push_back(t.simplify());
    auto less = [](const EccMember& a, const EccMember& b) {
        if (a.instrs.size() != b.instrs.size()) return a.instrs.size() < b.instrs.size();
        return a < b;
    };
    // Most classes hold one circuit or a few: a stable insertion sort needs no buffer.
    if (members.size() <= 16) {
        for (std::size_t j = 1; j < members.size(); ++j) {
            if (!less(members[j], members[j - 1])) continue;
            EccMember m = std::move(members[j]);
            std::size_t i = j;
            for (; i > 0 && less(m, members[i - 1]); --i) members[i] = std::move(members[i - 1]);
            members[i] = std::move(m);
        }
    } else {
        std::stable_sort(members.begin(), members.end(), less);
    }
    check_index(0, members.size());
    std::uint8_t used = 0;
    for (const Instr32& i : members[0].instrs)
        for (std::uint8_t q : i.qargs.as_slice()) {
            if (q >= 8) panic("assertion failed: idx < 8");
            used = static_cast<std::uint8_t>(used | (1u << q));
        }
    const Permut32 uniform = Permut32::from_iter_with_ext(members[0].perm.len(), used);
    const Permut32 r = uniform.inv();
    for (EccMember& m : members) {
        for (Instr32& i : m.instrs) i = i.apply_permutation(r);
        m.perm = r * m.perm * uniform;
    }
    return ECC{std::move(members)};
}

void CircuitECC::representative(std::vector<Instr32>& out, std::vector<Instr32>& scratch) const {
    // The first member in member order, as simplify sorts them: fewest
    // instructions, then the instructions; the permutation would only decide
    // between equal instruction lists. Members are made as CircTriple::simplify
    // makes them, so that a bad qubit fails here as it would there.
    check_index(0, circuits.size());
    bool first = true;
    for (const CircTriple& t : circuits) {
        std::vector<Instr32>& m = first ? out : scratch;
        const Permut32 r = t.front_perm.inv();
        m.resize(t.circ.size());
        auto at = m.rbegin();
        for (Instr32 i : t.circ) *at++ = i.apply_permutation(r);
        if (!first && (scratch.size() < out.size() || (scratch.size() == out.size() && scratch < out)))
            out.swap(scratch);
        first = false;
    }
    std::uint8_t used = 0;
    for (const Instr32& i : out)
        for (std::uint8_t q : i.qargs.as_slice()) {
            if (q >= 8) panic("assertion failed: idx < 8");
            used = static_cast<std::uint8_t>(used | (1u << q));
        }
    const Permut32 r = Permut32::from_iter_with_ext(circuits[0].front_perm.len(), used).inv();
    for (Instr32& i : out) i = i.apply_permutation(r);
}

RawECCs RawECCs::new_(const Evaluator& ev) {
    RawECCs raw;
    raw.nqubits = ev.nqubits();
    const std::uint64_t key = ev.evaluate({}).canonical.hash_value();
    const Permut32 id = Permut32::identity(raw.nqubits);
    CircuitECC c;
    c.circuits.push_back(CircTriple{id, AliasList(), id});
    raw.inner.emplace(key, std::move(c));
    return raw;
}

std::pair<bool, AliasList> RawECCs::add_entry(std::uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                              AliasList parent, std::span<const Instr32> instr_vec) {
    if (instr_vec.empty()) panic_unwrap_none();
    circuit_get_surface_gates(instr_vec, false, front_layer_);
    circuit_get_surface_gates(instr_vec, true, back_layer_);
    return offer(key, front_perm, back_perm, parent, instr_vec.back(), instr_vec.size(), front_layer_,
                 back_layer_);
}

std::pair<bool, AliasList> RawECCs::offer(std::uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                          AliasList parent, Instr32 last, std::size_t size,
                                          std::span<const Instr32> front, std::span<const Instr32> back) {
    const Permut32 front_inv = front_perm.inv();
    auto it = inner.find(key);
    const bool is_new = it == inner.end();
    // A qubit no permutation has fails in the relabelling below, whatever the class holds.
    auto relabels = [](std::span<const Instr32> layer) {
        std::uint8_t any = 0;
        for (const Instr32& g : layer)
            for (std::uint8_t q : g.qargs.as_slice()) any |= q;
        return any < 8;
    };
    if (!is_new && relabels(front) && relabels(back)) {
        // The offer joins an existing class only if none of its layers' gates,
        // relabelled, is there yet; most offers meet one and end at it.
        const CircuitECC& c = it->second;
        for (const Instr32& g : front)
            if (c.front_gates.contains(g.apply_permutation(front_inv))) return {false, AliasList()};
        for (const Instr32& g : back)
            if (c.back_gates.contains(g.apply_permutation(back_perm))) return {false, AliasList()};
    }
    // The layers relabelled for the inserts; a qubit no permutation has fails
    // here, so an existing class is only reached past this with the test above done.
    front_scratch_.clear();
    for (const Instr32& g : front) front_scratch_.push_back(g.apply_permutation(front_inv));
    back_scratch_.clear();
    for (const Instr32& g : back) back_scratch_.push_back(g.apply_permutation(back_perm));
    if (is_new) {
        if (size > UINT32_MAX) panic("A stored circuit holds at most 4294967295 instructions");
        it = inner.insert_new(key);
        it->second.size = static_cast<std::uint32_t>(size);
    }
    CircuitECC& c = it->second;
    for (const Instr32& g : front_scratch_) c.front_gates.insert(g);
    for (const Instr32& g : back_scratch_) c.back_gates.insert(g);
    const AliasList node = AliasList::cons(*arena, parent, last);
    c.circuits.push_back(CircTriple{front_perm, node, back_perm});
    return {is_new, is_new ? node : AliasList()};
}

namespace {

void progress(const SearchCounters& counters, const std::vector<Instr32>& circuit, std::size_t queued,
              std::size_t classes) {
    std::string line = "#" + std::to_string(counters[0]) + " Exploring ";
    for (std::size_t i = 0; i < circuit.size(); ++i) {
        if (i) line += ' ';
        line += circuit[i].to_string();
    }
    line += " (" + std::to_string(queued) + " queued, " + std::to_string(classes) + " ECCs, " +
            std::to_string(counters[1]) + " circs, " + std::to_string(counters[2]) + " circs perm)\n";
    print_stdout(line);
}

// Pops circuits in first-in-first-out order; `step` evaluates the popped circuit's
// one-placement extensions and queues the ones that open a class.
template <class Step>
std::pair<RawECCs, SearchCounters> breadth_first(const Evaluator& ev, Step&& step) {
    RawECCs raw = RawECCs::new_(ev);
    std::deque<AliasList> queue{AliasList()};
    std::vector<Instr32> circuit;
    SearchCounters counters{0, 0, 0};
    while (!queue.empty()) {
        const AliasList node = queue.front();
        queue.pop_front();
        // Materialised into the reused list: newest first, then turned around.
        circuit.clear();
        for (Instr32 i : node) circuit.push_back(i);
        std::reverse(circuit.begin(), circuit.end());
        if (counters[0] % 400 == 0) progress(counters, circuit, queue.size(), raw.inner.size());
        step(raw, node, circuit, queue, counters);
        ++counters[0];
    }
    return {std::move(raw), counters};
}

}  // namespace

std::pair<RawECCs, SearchCounters> RawECCs::search(const Evaluator& ev, std::vector<Instr32> instrs,
                                                   std::uint64_t max_size) {
    // Adjoints of the placements, asked once.
    const std::vector<Instr32> placement_adj = adjoints_of(instrs);
    Evaluator::Scratch scratch(ev);
    StateVec prefix = ev.initial_state;  // the popped circuit's forward state, not yet phase-fixed
    StateVec forward = ev.initial_state;
    std::vector<Instr32> adj;
    // Per placement of the popped circuit: its key and its pairs (from pair_start[p] on).
    std::vector<std::uint64_t> keys(instrs.size());
    std::vector<std::size_t> pair_start(instrs.size() + 1);
    std::vector<PairList::Pair> pairs;
    std::vector<Instr32> front;
    CompiledGates compiled;
    // Without a kernel for every placement: the evaluator's general step.
    auto evaluate_general = [&](RawECCs& raw, const std::vector<Instr32>& circuit, SearchCounters& counters) {
        // Applying the placements one after another reproduces the full forward
        // pass bit for bit, so the popped circuit's part is computed once.
        prefix = ev.initial_state;
        for (const Instr32& i : circuit) prefix.apply(i.qargs.as_slice(), i.gate);
        adj = adjoints_of(circuit);
        // Kernel gates are prepared once per popped circuit; anything else takes
        // the general path, which also reports bad arguments as it always has.
        compiled.reset(ev.nqubits());
        bool prepared = true;
        for (const Instr32& a : adj) prepared = prepared && compiled.push(a);
        // The evaluations do not depend on the classes: all of them come first,
        // each starting to load its class's slot, and then the offers in order.
        for (std::size_t p = 0; p < instrs.size(); ++p) {
            adj.push_back(placement_adj[p]);
            forward = prefix;
            forward.apply(instrs[p].qargs.as_slice(), instrs[p].gate);
            if (prepared && compiled.push(placement_adj[p])) {
                ev.canonicalize(forward, adj, scratch, &compiled);
                compiled.pop();
            } else {
                ev.canonicalize(forward, adj, scratch);
            }
            adj.pop_back();
            keys[p] = scratch.key;
            raw.inner.prefetch(scratch.key);
            pair_start[p] = pairs.size();
            for (std::size_t k = 0; k < scratch.pairs.size(); ++k) pairs.push_back(scratch.pairs[k]);
            ++counters[1];
        }
        pair_start[instrs.size()] = pairs.size();
    };
    const std::unique_ptr<SearchKernel> kernel = SearchKernel::make(ev, instrs);
    // Per placement: the qubits it marks (as mark_surface marks them), whether
    // they are distinct (which puts it on the surface of any walk that has seen
    // none of them), and the index of its set of marked qubits.
    std::vector<std::uint32_t> place_mask(instrs.size());
    std::vector<bool> place_distinct(instrs.size());
    std::vector<std::size_t> mask_index(instrs.size());
    {
        std::vector<std::uint32_t> masks;
        for (std::size_t p = 0; p < instrs.size(); ++p) {
            std::uint32_t m = 0;
            place_distinct[p] = mark_surface(instrs[p], m);
            place_mask[p] = m;
            const auto at = std::find(masks.begin(), masks.end(), m);
            mask_index[p] = static_cast<std::size_t>(at - masks.begin());
            if (at == masks.end()) masks.push_back(m);
        }
    }
    // Per set of marked qubits: a free first slot for the placement, then the rest of the back layer.
    std::vector<std::vector<Instr32>> backs(instrs.size());
    std::vector<bool> back_done(instrs.size());
    return breadth_first(ev, [&](RawECCs& raw, AliasList node, std::vector<Instr32>& circuit,
                                           std::deque<AliasList>& queue, SearchCounters& counters) {
        pairs.clear();
        if (kernel) {
            kernel->evaluate_extensions(circuit, keys.data(), pairs, pair_start.data());
            for (std::size_t p = 0; p < instrs.size(); ++p) raw.inner.prefetch(keys[p]);
            counters[1] += instrs.size();
        } else {
            evaluate_general(raw, circuit, counters);
        }
        // The layers of the popped circuit's extensions: its own front layer and
        // the qubits it covers, extended by the placement; the back layer starts
        // from the placement, and the rest of it depends only on the qubits the
        // placement marks, so it is walked once for each set of them. Each
        // placement only writes itself into the slot at the end or the start.
        std::uint32_t covered = 0;
        front.clear();
        for (const Instr32& i : circuit)
            if (mark_surface(i, covered)) front.push_back(i);
        const std::size_t prefix_front = front.size();
        front.emplace_back();
        std::fill(back_done.begin(), back_done.end(), false);
        for (std::size_t p = 0; p < instrs.size(); ++p) {
            const Instr32 last = instrs[p];
            front[prefix_front] = last;
            const bool last_in_front = place_distinct[p] && (covered & place_mask[p]) == 0;
            const std::span<const Instr32> front_layer(front.data(), prefix_front + last_in_front);
            const bool last_in_back = place_distinct[p];
            const std::size_t d = mask_index[p];
            std::vector<Instr32>& back = backs[d];
            if (!back_done[d]) {
                std::uint32_t seen = place_mask[p];
                back.assign(1, last);
                for (std::size_t i = circuit.size(); i-- > 0;)
                    if (mark_surface(circuit[i], seen)) back.push_back(circuit[i]);
                back_done[d] = true;
            }
            back[0] = last;
            const std::span<const Instr32> back_layer =
                std::span<const Instr32>(back).subspan(last_in_back ? 0 : 1);
            const std::size_t size = circuit.size() + 1;
            for (std::size_t k = pair_start[p]; k < pair_start[p + 1]; ++k) {
                const auto [f, b] = pairs[k];
                auto [is_new, child] = raw.offer(keys[p], f, b, node, last, size, front_layer, back_layer);
                if (is_new && size < max_size) queue.push_back(child);
                ++counters[2];
            }
        }
    });
}

std::pair<RawECCs, SearchCounters> RawECCs::search_naive(const Evaluator& ev, std::vector<Instr32> instrs,
                                                         std::uint64_t max_size) {
    const Permut32 id = Permut32::identity(ev.nqubits());
    StateVec s = ev.backtrack_state;
    return breadth_first(ev, [&](RawECCs& raw, AliasList node, std::vector<Instr32>& circuit,
                                           std::deque<AliasList>& queue, SearchCounters& counters) {
        for (const Instr32& p : instrs) {
            circuit.push_back(p);
            s = ev.backtrack_state;
            for (const Instr32& i : circuit) s.apply(i.qargs.as_slice(), i.gate);
            s.normalize_arg();
            const std::uint64_t key = s.hash_value();
            auto [is_new, child] = raw.add_entry(key, id, id, node, circuit);
            if (is_new && circuit.size() < max_size) queue.push_back(child);
            ++counters[2];
            circuit.pop_back();
            ++counters[1];
        }
    });
}

std::vector<Instr32> RawECCs::placements(const Evaluator& ev, std::vector<Gate16> gates) {
    std::vector<Gate16> adjoints;
    adjoints.reserve(gates.size());
    for (Gate16 g : gates) adjoints.push_back(g.adjoint());
    for (Gate16 a : adjoints)
        if (std::find(gates.begin(), gates.end(), a) == gates.end()) gates.push_back(a);
    std::vector<std::pair<std::size_t, Gate16>> keyed;
    for (Gate16 g : gates) keyed.emplace_back(g.nqargs(), g);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return a.second.index < b.second.index;
    });
    const std::uint64_t n = ev.nqubits();
    std::vector<Instr32> out;
    for (const auto& [arity, g] : keyed) {
        if (arity == 1) {
            for (std::uint64_t q = 0; q < n; ++q)
                out.emplace_back(g, QArgs16::one(static_cast<std::uint8_t>(q)));
        } else if (arity == 2) {
            for (std::uint64_t i = 0; i < n; ++i)
                for (std::uint64_t j = 0; j < n; ++j)
                    if (i != j)
                        out.emplace_back(g, QArgs16::two(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j)));
        } else {
            panic("Only 1 and 2 qubit instructions are supported");
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Instr32& a, const Instr32& b) {
        return a.largest_qubit() < b.largest_qubit();
    });
    return out;
}

std::pair<RawECCs, SearchCounters> RawECCs::generate(const Evaluator& ev, std::vector<Gate16> gates,
                                                     std::uint64_t max_size) {
    return search(ev, placements(ev, std::move(gates)), max_size);
}

std::pair<RawECCs, SearchCounters> RawECCs::generate_naive(const Evaluator& ev, std::vector<Gate16> gates,
                                                           std::uint64_t max_size) {
    return search_naive(ev, placements(ev, std::move(gates)), max_size);
}

namespace {

// Codes of instructions that keep their order: 0 ends a list (a proper prefix
// comes first), then the first qubit, the second qubit (the empty slot after
// every qubit) and the gate, each as its rank among the values that can occur.
// A key packs the codes of as many leading instructions as fit in 64 bits.
class KeyCoder {
public:
    // Qubits of representatives lie below nqubits (or are the empty slot);
    // `gates` lists the gates that occur.
    KeyCoder(std::uint64_t nqubits, const std::vector<bool>& gates) : nqubits_(nqubits) {
        gate_rank_.assign(gates.size(), 0);
        std::uint64_t next = 0;
        for (std::size_t g = 0; g < gates.size(); ++g)
            if (gates[g]) gate_rank_[g] = static_cast<std::uint16_t>(next++);
        const unsigned bq = static_cast<unsigned>(std::bit_width(nqubits));
        const unsigned bg = static_cast<unsigned>(std::bit_width(next == 0 ? 0 : next - 1));
        bits_ = 2 * bq + bg + 1;
        per_key_ = bits_ > 64 ? 0 : 64 / bits_;
        shift1_ = bg;
        shift0_ = bg + bq;
    }

    std::uint64_t key(const std::vector<Instr32>& instrs) const noexcept {
        std::uint64_t k = 0;
        for (std::size_t j = 0; j < per_key_; ++j) {
            std::uint64_t code = 0;
            if (j < instrs.size()) {
                const Instr32& i = instrs[j];
                code = 1 + ((rank(i.qargs.q[0]) << shift0_) | (rank(i.qargs.q[1]) << shift1_) |
                            gate_rank_[i.gate.index]);
            }
            k = (k << bits_) | code;
        }
        return k;
    }

private:
    std::uint64_t rank(std::uint8_t q) const noexcept { return q < nqubits_ ? q : nqubits_; }

    std::uint64_t nqubits_;
    std::vector<std::uint16_t> gate_rank_;
    unsigned bits_ = 0, shift0_ = 0, shift1_ = 0;
    std::size_t per_key_ = 0;
};

struct Keyed {
    std::uint64_t key;
    std::uint32_t index;
};

// Stable least-significant-digit radix sort by key, a byte at a time; bytes in
// which all keys agree take no pass.
void radix_sort(std::vector<Keyed>& items) {
    std::vector<std::array<std::uint32_t, 256>> counts(8);
    for (const Keyed& it : items)
        for (unsigned d = 0; d < 8; ++d) ++counts[d][(it.key >> (8 * d)) & 0xFF];
    std::vector<Keyed> other(items.size());
    for (unsigned d = 0; d < 8; ++d) {
        std::array<std::uint32_t, 256>& c = counts[d];
        if (std::find(c.begin(), c.end(), items.size()) != c.end()) continue;
        std::uint32_t at = 0;
        for (std::uint32_t& n : c) at += std::exchange(n, at);
        for (const Keyed& it : items) other[c[(it.key >> (8 * d)) & 0xFF]++] = it;
        items.swap(other);
    }
}

}  // namespace

// Classes are sorted by a key packed from their representatives, and only
// classes whose keys tie are compared in full; equal classes are equal values,
// so the order among those does not show. Up to `direct_limit` classes, each
// is built in the map's order and the built classes are then moved into
// order. Beyond it the classes are put in order before any is built, from
// their representatives alone, and each is built straight into its place:
// that costs a pass but holds nothing beside the classes but their places.
ECCs RawECCs::simplify(std::size_t direct_limit) const {
    ECCs out;
    out.nqubits = nqubits;
    const std::size_t n = inner.size();
    if (n >= UINT32_MAX) throw std::bad_alloc();
    // Qubits beyond the state's (no search makes them) get no code: one key for all.
    bool plain = nqubits > 8;
    std::vector<bool> gates(65536);
    for (const auto& [key, c] : inner)
        for (const CircTriple& t : c.circuits)
            if (const std::optional<Instr32> head = t.circ.head()) {
                gates[head->gate.index] = true;
                for (std::uint8_t q : head->qargs.as_slice()) plain = plain || q >= nqubits;
            }
    const KeyCoder coder(nqubits, gates);
    std::vector<Keyed> items(n);
    // Where each class goes, and whether its key ties with the one before it there.
    std::vector<std::uint32_t> position(n);
    std::vector<bool> ties_previous(n);
    auto place = [&] {
        radix_sort(items);
        for (std::size_t k = 0; k < n; ++k) {
            position[items[k].index] = static_cast<std::uint32_t>(k);
            ties_previous[k] = k > 0 && items[k].key == items[k - 1].key;
        }
        std::vector<Keyed>().swap(items);
    };
    if (n <= direct_limit) {
        out.eccs.reserve(n);
        for (const auto& [key, c] : inner) {
            out.eccs.push_back(c.simplify());
            items[out.eccs.size() - 1] = Keyed{plain ? 0 : coder.key(out.eccs.back().members[0].instrs),
                                               static_cast<std::uint32_t>(out.eccs.size() - 1)};
        }
        place();
        // Class i goes to position[i]: follow each cycle once.
        for (std::size_t start = 0; start < n; ++start) {
            if (position[start] == start) continue;
            ECC held = std::move(out.eccs[start]);
            std::size_t from = start;
            for (;;) {
                const std::size_t to = position[from];
                position[from] = static_cast<std::uint32_t>(from);
                if (to == start) {
                    out.eccs[to] = std::move(held);
                    break;
                }
                std::swap(held, out.eccs[to]);
                from = to;
            }
        }
    } else {
        std::vector<Instr32> rep, scratch;
        for (std::size_t i = 0; i < n; ++i) {
            inner.entry(i).second.representative(rep, scratch);
            items[i] = Keyed{plain ? 0 : coder.key(rep), static_cast<std::uint32_t>(i)};
        }
        place();
        out.eccs.resize(n);
        std::size_t i = 0;
        for (const auto& [key, c] : inner) out.eccs[position[i++]] = c.simplify();
    }
    for (std::size_t start = 0, end; start < n; start = end) {
        for (end = start + 1; end < n && ties_previous[end]; ++end) {
        }
        if (end - start > 1)
            std::sort(out.eccs.begin() + static_cast<std::ptrdiff_t>(start),
                      out.eccs.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return out;
}

}  // namespace brimsel
