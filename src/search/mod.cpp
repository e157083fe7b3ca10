// Materialising, displaying, filtering and checking equivalent-circuit classes.
#include "search/mod.hpp"

#include "circ/gate/gates.hpp"
#include "state/mod.hpp"
#include "state/rng.hpp"

namespace brimsel {

std::vector<Instr32> ECC::materialized(std::size_t j) const {
    check_index(0, members.size());
    check_index(j, members.size());
    const Permut32 inv = members[0].perm.inv();
    const Permut32 r = inv * members[j].perm;
    std::vector<Instr32> out = members[j].instrs;
    for (auto [a, b] : r.generate_swaps()) out.emplace_back(gates::SWAP(), QArgs16::two(a, b));
    return out;
}

std::vector<std::vector<Instr32>> ECC::circuits() const {
    check_index(0, members.size());
    std::vector<std::vector<Instr32>> out;
    out.reserve(members.size());
    for (std::size_t j = 0; j < members.size(); ++j) out.push_back(materialized(j));
    return out;
}

ECC ECC::simplify_permute() && {
    check_index(0, members.size());
    const Permut32 inv = members[0].perm.inv();
    for (EccMember& m : members) m.perm = inv * m.perm;
    return std::move(*this);
}

std::string ECC::to_string() const {
    check_index(0, members.size());
    std::string s = "ECC {\n";
    for (std::size_t j = 0; j < members.size(); ++j) {
        s += '\t';
        bool first = true;
        for (const Instr32& i : materialized(j)) {
            if (!first) s += ' ';
            first = false;
            s += i.to_string();
        }
        s += ",\n";
    }
    s += '}';
    return s;
}

std::string ECCs::to_string() const {
    std::string s;
    bool first = true;
    for (const ECC& e : eccs) {
        if (e.members.size() < 2) continue;
        if (!first) s += " & ";
        first = false;
        s += e.to_string();
    }
    return s;
}

ECCs ECCs::filter_single() const {
    ECCs out;
    out.nqubits = nqubits;
    for (const ECC& e : eccs)
        if (e.members.size() > 1) out.eccs.push_back(e);
    return out;
}

std::vector<ECC> ECCs::check() const {
    if (nqubits >= 64) panic("Number of qubits too large, resulting in overflow for state vector size.");
    Rng rng = Rng::from_entropy();
    const StateVec state = StateVec::from_random(rng, static_cast<std::uint32_t>(nqubits));
    std::vector<ECC> failed;
    StateVec work = state;
    for (const ECC& e : eccs) {
        check_index(0, e.members.size());
        std::uint64_t first = 0;
        for (std::size_t j = 0; j < e.members.size(); ++j) {
            work = state;
            for (const Instr32& i : e.materialized(j)) work.apply(i.qargs.as_slice(), i.gate);
            work.normalize_arg();
            const std::uint64_t h = work.hash_value();
            if (j == 0) {
                first = h;
            } else if (h != first) {
                failed.push_back(e);
                break;
            }
        }
    }
    return failed;
}

}  // namespace brimsel
