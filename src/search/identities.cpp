// Identity circuits drawn from classes: member 0 inverted, followed by each other member.
#include <algorithm>
#include <tuple>

#include "identity/idcircuit.hpp"
#include "search/mod.hpp"

namespace brimsel {

std::vector<IdentityWitness> ECCs::to_identity_circuits() const {
    std::vector<IdentityWitness> out;
    for (const ECC& e : eccs) {
        check_index(0, e.members.size());
        const Circ c0 = Circ::new_(e.members[0].instrs, e.members[0].perm);
        const Circ inv0 = c0.inverse();
        for (std::size_t j = 1; j < e.members.size(); ++j) {
            Circ cj = Circ::new_(e.members[j].instrs, e.members[j].perm);
            IdentityCirc id = (inv0 + cj).rotate_representative();
            out.push_back(IdentityWitness{std::move(id), inv0, std::move(cj)});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const IdentityWitness& a, const IdentityWitness& b) {
        return std::tie(a.identity, a.inverse_first, a.member) < std::tie(b.identity, b.inverse_first, b.member);
    });
    return out;
}

}  // namespace brimsel
