// libFuzzer target: the prover-file decoder must refuse bad data cleanly, round-trip what it
// accepts, and leave a prover on which a rewriting round and a proof export stay defined.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "identity/eccprove.hpp"
#include "panic.hpp"
#include "round_trip.hpp"

using namespace brimsel;

namespace {

bool same(const IdentityProver& a, const IdentityProver& b) {
    if (a.assume != b.assume || a.circ_map != b.circ_map || a.proved.size() != b.proved.size()) return false;
    bool all = true;
    a.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) { all = all && b.proved.contains(instrs, perm); });
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = fuzz::decode_and_round_trip<IdentityProver>(
        data, size, [](postcard::Reader& r) { return IdentityProver::deserialize(r); }, same);
    if (!decoded) return 0;
    IdentityProver& value = *decoded;
    // Nothing read is checked to be an identity or a sound rule, but rounds over it must stay
    // defined: a short assumption rewritten with the stored rules, and the proof of a short
    // proved identity exported.
    try {
        value.register_rule_adjoints();
        for (const IdentityCirc& a : value.assume) {
            if (a.len() > 6) continue;
            (void)value.par_transition_pairs(a, 1);
            (void)value.par_apply_rules(a, 0);
            break;
        }
    } catch (const Panic&) {
    }
    std::optional<IdentityCirc> target;
    value.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        if (target || instrs.empty() || instrs.size() > 6) return;
        IdentityCirc id = IdentityCirc::new_(Circ{});
        id.circ.instrs.assign(instrs.begin(), instrs.end());
        id.circ.perm = perm;
        if (std::find(value.assume.begin(), value.assume.end(), id) == value.assume.end()) target = std::move(id);
    });
    try {
        if (target) (void)value.export_proof(*target, 1, 50);
    } catch (const Panic&) {
    }
    return 0;
}
