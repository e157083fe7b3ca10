#include <gtest/gtest.h>
#include <random>
#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "search/queries.hpp"
using namespace brimsel;
namespace {
Instr32 one(Gate16 g, std::uint8_t q) { return Instr32(g, QArgs16::one(q)); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32(g, QArgs16::two(a, b)); }
Evaluator make_evaluator(std::uint64_t n, std::uint64_t seed = 1) {
    Rng rng = Rng::from_seed(seed);
    return Evaluator::from_random(n, rng);
}
StateVec run(std::span<const Instr32> c, Permut32 p, const StateVec& s0) {
    StateVec s = s0;
    for (auto& i : c) s.apply(i.qargs.as_slice(), i.gate);
    reserve_state_vec_cache(s.nqubits());
    s.apply_permutation(p);
    s.normalize_arg();
    return s;
}
}
TEST(Exp, Relation) {
    const Evaluator ev = make_evaluator(3);
    auto [raw, c] = RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, 3);
    std::vector<Instr32> pl = RawECCs::placements(ev, {gates::H(), gates::T(), gates::CX()});
    std::mt19937 g(5);
    Rng rng = Rng::from_seed(9);
    const StateVec s0 = StateVec::from_random(rng, 3);
    int counts[4] = {0,0,0,0}; int total = 0;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<Instr32> C;
        int len = g() % 4;
        for (int k = 0; k < len; ++k) C.push_back(pl[g() % pl.size()]);
        if (g() % 2) for (auto [a,b] : std::vector<std::pair<int,int>>{{0,1},{1,2}}) { C.push_back(two(gates::CX(),a,b)); C.push_back(two(gates::CX(),b,a)); C.push_back(two(gates::CX(),a,b)); }
        else for (auto [a,b] : std::vector<std::pair<int,int>>{{1,2},{0,1}}) { C.push_back(two(gates::CX(),a,b)); C.push_back(two(gates::CX(),b,a)); C.push_back(two(gates::CX(),a,b)); }
        if (g() % 2) std::reverse(C.begin(), C.end());
        auto e = find_equivalents(raw, ev, C);
        if (!e) continue;
        const StateVec ref = run(C, Permut32::identity(3), s0);
        for (auto& m : e->members) {
            if (m.perm == m.perm.inv()) continue; ++total;
            if (run(m.instrs, m.perm, s0).loose_eq(ref)) counts[0]++;
            if (run(m.instrs, m.perm.inv(), s0).loose_eq(ref)) counts[1]++;
        }
    }
    printf("total %d direct %d inv %d\n", total, counts[0], counts[1]);
}
