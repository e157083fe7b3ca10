// Lookups, next keys, re-evaluation and the parallel cross-check of raw classes.
#include "search/queries.hpp"

#include <algorithm>
#include <string>

#include "utils/fmt_join.hpp"
#include "utils/pool.hpp"

namespace brimsel {

namespace {

std::vector<Instr32> relabelled(std::span<const Instr32> instrs, Permut32 p) {
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (const Instr32& i : instrs) out.push_back(i.apply_permutation(p));
    return out;
}

std::string joined(std::span<const Instr32> instrs, std::string_view sep) {
    return fmt_join(instrs, JoinOpts{.sep = sep});
}

void check_maskable(std::size_t n) {
    if (n > kMaxMaskedInstrs)
        panic("Instruction masks hold at most " + std::to_string(kMaxMaskedInstrs) +
              " instructions, the circuit has " + std::to_string(n));
}

std::uint64_t low_bits(std::size_t n) { return n == 0 ? 0 : ~std::uint64_t{0} >> (64 - n); }

std::string binary(std::uint64_t v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + (v & 1)));
        v >>= 1;
    } while (v);
    return s;
}

// `whole`, when given, is the evaluation of all of `instrs`, already made by the caller.
EccMember checked_equivalent_at(const RawECCs& self, std::span<const Instr32> instrs, Permut32 perm,
                                const Evaluator& ev, std::size_t depth, std::size_t max_depth,
                                const Evaluator::Multiple* whole = nullptr) {
    std::vector<Instr32> prefix;
    Permut32 current = perm;
    for (const Instr32& instr : instrs) {
        prefix.push_back(instr.apply_permutation(current.inv()));
        const Evaluator::Single s = ev.evaluate(prefix);
        const auto it = self.inner.find(s.canonical.hash_value());
        if (it == self.inner.end()) continue;
        const CircuitECC& e = it->second;
        const Equivalence q = export_equivalence(e, prefix, s.front, s.back);
        if (!q.t1.empty() || !q.t2.empty()) {
            // Tampered classes can send the walk round in circles; end it before the stack does.
            if (depth >= max_depth)
                panic("Checked equivalence nested deeper than " + std::to_string(max_depth) + " levels");
            const EccMember r1 = checked_equivalent_at(self, q.t1, q.p1, ev, depth + 1, max_depth);
            const EccMember r2 = checked_equivalent_at(self, q.t2, q.p2, ev, depth + 1, max_depth);
            if (r1 != r2)
                panic("Non-deterministic equivalence detected during checked equivalence: \n " + e.to_string() +
                      " vs " + joined(relabelled(prefix, s.front.inv()), " ") + " \n " + joined(q.t1, ", ") +
                      " " + q.p1.to_string() + " vs " + joined(q.t2, ", ") + " " + q.p2.to_string() + " \n " +
                      joined(r1.instrs, ", ") + " " + r1.perm.to_string() + " vs " + joined(r2.instrs, ", ") +
                      " " + r2.perm.to_string());
        }
        // Continue from the class's first circuit, so prefixes stay as short as representatives.
        check_index(0, e.circuits.size());
        const CircTriple& t0 = e.circuits[0];
        const Permut32 p = t0.front_perm * s.front.inv();
        prefix = relabelled(t0.circ.to_vec(), p.inv());
        current = current * s.back.inv() * t0.back_perm * p;
    }
    std::optional<Evaluator::Multiple> own;
    const Evaluator::Multiple& m = whole ? *whole : own.emplace(ev.evaluate_multiple(instrs));
    const auto it = self.inner.find(m.canonical.hash_value());
    if (it == self.inner.end()) panic("no entry found for key");
    std::optional<EccMember> best;
    for (std::size_t k = 0; k < m.pairs.size(); ++k) {
        const auto [f, b] = m.pairs[k];
        for (const CircTriple& t : it->second.circuits) {
            EccMember c = reexpress(t, f, b);
            c.perm = perm * c.perm;
            if (!best || c < *best) best = std::move(c);
        }
    }
    if (!best) panic_unwrap_none();
    return std::move(*best);
}

void check_class(const CircuitECC& c, const RawECCs& ecc1, const Evaluator& ev) {
    const ECC e = c.simplify();
    for (const EccMember& m : e.members) {
        // The lookup's evaluation also serves the final step of the walk.
        const Evaluator::Multiple whole = ev.evaluate_multiple(m.instrs);
        if (!ecc1.inner.contains(whole.canonical.hash_value()))
            panic("assertion failed: ecc1.contains_key(&bv.hash_value())");
        (void)checked_equivalent_at(ecc1, m.instrs, m.perm, ev, 0, kMaxEquivalenceDepth, &whole);
    }
}

}  // namespace

SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circuit, std::uint64_t filtering_mask) {
    check_maskable(circuit.size());
    SurfaceMap out;
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < circuit.size(); ++i) {
        if (!((filtering_mask >> i) & 1)) continue;
        const Instr32& g = circuit[i];
        if (!mark_surface(g, seen)) continue;
        auto at = std::find_if(out.begin(), out.end(), [&](const auto& e) { return e.first == g; });
        if (at != out.end())
            at->second = i;
        else
            out.emplace_back(g, i);
    }
    return out;
}

std::pair<std::uint64_t, std::uint64_t> reduce_equivalence_front(std::span<const Instr32> a,
                                                                 std::span<const Instr32> b) {
    check_maskable(a.size());
    check_maskable(b.size());
    std::uint64_t ma = low_bits(a.size());
    std::uint64_t mb = low_bits(b.size());
    for (;;) {
        const SurfaceMap sa = circuit_get_surface_gates_hashmap(a, ma);
        const SurfaceMap sb = circuit_get_surface_gates_hashmap(b, mb);
        std::size_t matches = 0;
        for (const auto& entry : sa) {
            const Instr32& g = entry.first;
            const auto pa = entry.second;
            const auto hit = std::find_if(sb.begin(), sb.end(), [&](const auto& e) { return e.first == g; });
            if (hit == sb.end()) continue;
            mb &= ~(std::uint64_t{1} << hit->second);
            ma &= ~(std::uint64_t{1} << pa);
            ++matches;
        }
        if (matches == 0) return {ma, mb};
    }
}

std::size_t retain_by_masks(std::vector<Instr32>& list, std::uint64_t front, std::uint64_t back) {
    const std::size_t n = list.size();
    check_maskable(n);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (((front >> i) & 1) && ((back >> (n - 1 - i)) & 1)) list[kept++] = list[i];
    list.resize(kept);
    return n - kept;
}

std::size_t reduce_equivalence(std::vector<Instr32>& i1, Permut32 p1, std::vector<Instr32>& i2, Permut32 p2) {
    const auto [mask1f, mask2f] = reduce_equivalence_front(i1, i2);
    // The tails, read backwards in the frame after each circuit's permutation.
    std::vector<Instr32> r1 = relabelled(std::vector<Instr32>(i1.rbegin(), i1.rend()), p1);
    std::vector<Instr32> r2 = relabelled(std::vector<Instr32>(i2.rbegin(), i2.rend()), p2);
    const auto [mask1b, mask2b] = reduce_equivalence_front(r1, r2);
    const std::size_t changed1 = retain_by_masks(i1, mask1f, mask1b);
    const std::size_t changed2 = retain_by_masks(i2, mask2f, mask2b);
    if (changed1 != changed2)
        panic("mask1f: " + binary(mask1f) + ", mask1b: " + binary(mask1b) + ", mask2f: " + binary(mask2f) +
              ", mask2b: " + binary(mask2b));
    return changed1;
}

Equivalence export_equivalence(const CircuitECC& e, std::span<const Instr32> prefix, Permut32 front,
                               Permut32 back) {
    const std::vector<Instr32> x = relabelled(prefix, front.inv());
    const Permut32 xp = back * front;
    for (const CircTriple& t : e.circuits) {
        EccMember u = t.simplify();
        std::vector<Instr32> a = x;
        if (u.instrs == a && u.perm == xp) return {{}, xp, {}, xp};
        if (reduce_equivalence(u.instrs, u.perm, a, xp) > 0) return {std::move(u.instrs), u.perm, std::move(a), xp};
    }
    panic("No equivalence found during export_equivalence: " + fmt_join(e.circuits, JoinOpts{.sep = ", "}) +
          " = " + joined(x, ", ") + " " + xp.to_string());
}

EccMember reexpress(const CircTriple& t, Permut32 f, Permut32 b) {
    const Permut32 f_inv = f.inv();
    const Permut32 r = (t.front_perm * f_inv).inv();
    return EccMember{relabelled(t.circ.to_vec(), r), b.inv() * t.back_perm * t.front_perm * f_inv};
}

std::optional<ECC> find_equivalents(const RawECCs& raw, const Evaluator& ev, std::span<const Instr32> instrs) {
    const Evaluator::Single s = ev.evaluate(instrs);
    const auto it = raw.inner.find(s.canonical.hash_value());
    if (it == raw.inner.end()) return std::nullopt;
    ECC out;
    out.members.reserve(it->second.circuits.size());
    for (const CircTriple& t : it->second.circuits) out.members.push_back(reexpress(t, s.front, s.back));
    return out;
}

std::optional<std::uint64_t> compute_next_key(const RawECCs& raw, const Evaluator& ev,
                                              std::uint64_t current_key, Instr32 instr) {
    const auto it = raw.inner.find(current_key);
    if (it == raw.inner.end()) return std::nullopt;
    check_index(0, it->second.circuits.size());
    std::vector<Instr32> circuit = it->second.circuits[0].circ.to_vec();
    circuit.push_back(instr);
    const std::uint64_t key = ev.evaluate(circuit).canonical.hash_value();
    if (!raw.inner.contains(key)) return std::nullopt;
    return key;
}

RawECCs switch_evaluator(const RawECCs& raw, const Evaluator& new_evaluator) {
    RawECCs out = RawECCs::new_(new_evaluator);
    out.arena = raw.arena;
    // The empty circuit's class made above may give way to a re-evaluated class once; a
    // second class on any key, that one included, would lose circuits.
    const std::uint64_t placeholder = out.inner.begin()->first;
    bool placeholder_live = true;
    for (const auto& [key, c] : raw.inner) {
        check_index(0, c.circuits.size());
        CircuitECC next;
        next.circuits.reserve(c.circuits.size());
        std::uint64_t key2 = 0;
        for (std::size_t k = 0; k < c.circuits.size(); ++k) {
            const CircTriple& t = c.circuits[k];
            const std::vector<Instr32> instrs = t.circ.to_vec();
            const Evaluator::Single s = new_evaluator.evaluate(instrs);
            const std::uint64_t h = s.canonical.hash_value();
            if (k == 0) {
                key2 = h;
                next.size = static_cast<std::uint32_t>(instrs.size());
            } else if (h != key2) {
                panic("Inconsistent ECC detected during evaluator switch");
            }
            next.circuits.push_back(CircTriple{s.front, t.circ, s.back});
        }
        auto [slot, inserted] = out.inner.try_emplace(key2);
        const bool replaces_placeholder = placeholder_live && key2 == placeholder;
        if (!inserted && !replaces_placeholder)
            panic("Hash collision detected during evaluator switch: " + slot->second.debug() + " vs " + c.debug());
        if (key2 == placeholder) placeholder_live = false;
        slot->second = std::move(next);
    }
    return out;
}

EccMember checked_equivalent(const RawECCs& self, std::span<const Instr32> instrs, Permut32 perm,
                             const Evaluator& ev, std::size_t max_depth) {
    return checked_equivalent_at(self, instrs, perm, ev, 0, max_depth);
}

void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& ev) {
    // Runs `check` over the classes of `self` on the pool, a chunk at a time.
    auto each_class = [&](auto&& check) {
        std::vector<const CircuitECC*> chunk;
        chunk.reserve(std::min(self.inner.size(), kCrossCheckChunk));
        auto it = self.inner.begin();
        while (it != self.inner.end()) {
            chunk.clear();
            for (; it != self.inner.end() && chunk.size() < kCrossCheckChunk; ++it) chunk.push_back(&it->second);
            pool::for_each(chunk.size(), [&](std::size_t i) { check(*chunk[i]); });
        }
    };
    // A member without a class in ecc1 is reported before anything that the walks
    // find, whatever order the classes come in: a missing class sends the walks of
    // other members astray, and they would report the damage in its place.
    each_class([&](const CircuitECC& c) {
        for (const EccMember& m : c.simplify().members)
            if (!ecc1.inner.contains(ev.evaluate_multiple(m.instrs).canonical.hash_value()))
                panic("assertion failed: ecc1.contains_key(&bv.hash_value())");
    });
    each_class([&](const CircuitECC& c) { check_class(c, ecc1, ev); });
}

}  // namespace brimsel
