// Building a prover from classes: the rule table from every member, then every identity
// that two members of a class give, added shortest first.
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "identity/eccprove.hpp"
#include "identity/subcircuit.hpp"
#include "search/mod.hpp"
#include "utils/progress.hpp"

namespace brimsel {

namespace {

// The size allowance and count limit of every search the construction runs.
constexpr std::uint64_t kBuildAdditionalSize = 3;
constexpr std::uint64_t kBuildCountLimit = 50000000;

}  // namespace

IdentityProver IdentityProver::build(const ECCs& eccs) {
    IdentityProver prover;
    std::vector<IdentityCirc> identities;
    write_quietly(STDERR_FILENO, "Building identity prover from " + std::to_string(eccs.eccs.size()) + " ECCs\n");
    {
        ProgressBar bar(eccs.eccs.size());
        for (const ECC& original : eccs.eccs) {
            bar.inc(1);
            const ECC ecc = ECC(original).simplify_permute();
            const std::vector<EccMember>& members = ecc.members;
            for (const EccMember& c : members) {
                auto [c_rep, perm] = Circ::new_no_perm(c.instrs).representative_with_perm();
                const Permut32 c_perm_inv = c.perm.inv();
                std::vector<Circ> circs;
                for (const EccMember& m : members) {
                    if (m.instrs == c.instrs) continue;
                    circs.push_back(Circ::new_(m.instrs, c_perm_inv * m.perm).permut(perm));
                }
                prover.circ_map.insert_or_assign(std::move(c_rep), std::move(circs));
            }
            const Circ initial = Circ::new_(members[0].instrs, members[0].perm).inverse();
            for (std::size_t j = 1; j < members.size(); ++j)
                identities.push_back((initial + Circ::new_(members[j].instrs, members[j].perm)).rotate_representative());
        }
        bar.finish();
    }
    std::sort(identities.begin(), identities.end());
    identities.erase(std::unique(identities.begin(), identities.end()), identities.end());
    prover.register_rule_adjoints();

    write_quietly(STDERR_FILENO, "Proving Identities\n");
    // A drawn identity too long for the subset table fails now, not after hours of searching.
    for (const IdentityCirc& id : identities)
        if (id.len() >= kCombinationRows) panic_index(kCombinationRows, id.len());
    ProgressBar bar(identities.size());
    for (IdentityCirc& id : identities) {
        bar.inc(1);
        prover.add_identity(std::move(id), kBuildAdditionalSize, kBuildCountLimit);
    }
    bar.finish();
    return prover;
}

}  // namespace brimsel
