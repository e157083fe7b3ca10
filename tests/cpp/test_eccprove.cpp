// The prover: construction from classes, rewriting rounds and the two bounded searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "circuit_support.hpp"
#include "prover_support.hpp"
#include "identity/eccprove.hpp"
#include "identity/subcircuit.hpp"
#include "panic_matchers.hpp"
#include "search/double_perm_search.hpp"
#include "search/mod.hpp"
#include "state/rng.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

EccMember M(std::vector<Instr32> instrs, Permut32 perm) { return EccMember{std::move(instrs), perm}; }

}  // namespace

TEST(IdentitySet, StoresDistinctIdentitiesInInsertionOrder) {
    IdentitySet set;
    std::vector<IdentityCirc> expect;
    std::mt19937_64 gen(1);
    for (int i = 0; i < 5000; ++i) {
        const Circ c = random_circuit(gen, 1 + i % 4, static_cast<std::size_t>(i % 9));
        const IdentityCirc id = IdentityCirc::new_(c);
        const bool fresh = std::find(expect.begin(), expect.end(), id) == expect.end();
        const auto pos = set.insert(id);
        ASSERT_EQ(pos.has_value(), fresh) << i;
        if (fresh) {
            expect.push_back(id);
            EXPECT_EQ(set.at(*pos), id);
        }
    }
    EXPECT_EQ(set.size(), expect.size());
    EXPECT_EQ(set.to_vector(), expect);
    for (const IdentityCirc& id : expect) EXPECT_TRUE(set.contains(id));
    // Same instructions, another permutation word; one more instruction.
    IdentityCirc other = expect.back();
    other.circ.perm.raw ^= 1u << 24;
    EXPECT_EQ(set.contains(other), std::find(expect.begin(), expect.end(), other) != expect.end());

    const IdentitySet copy = set;
    EXPECT_EQ(copy.to_vector(), expect);
    IdentitySet joined;
    joined.insert(expect[3]);
    joined.insert_all(set);
    EXPECT_EQ(joined.size(), expect.size());
    EXPECT_EQ(joined.to_vector().front(), expect[3]);

    // Records longer than a block keep their neighbours' positions sound.
    IdentitySet big;
    const Circ small = C({I1("h", 0)}, Permut32::identity(1));
    big.insert(IdentityCirc::new_(small));
    const Circ huge = C(std::vector<Instr32>((1u << 20) + 5, I1("x", 0)), Permut32::identity(1));
    const auto huge_pos = big.insert(IdentityCirc::new_(huge));
    ASSERT_TRUE(huge_pos);
    const auto after = big.insert(IdentityCirc::new_(C({I1("t", 0)}, Permut32::identity(1))));
    ASSERT_TRUE(after);
    EXPECT_EQ(big.at(*huge_pos).circ, huge);
    EXPECT_EQ(big.at(*after).circ, C({I1("t", 0)}, Permut32::identity(1)));
    EXPECT_TRUE(big.contains(IdentityCirc::new_(huge)));
    EXPECT_EQ(big.to_vector().size(), 3u);
}

TEST(IdentitySet, MovedFromSetIsEmptyAndUsable) {
    const IdentityCirc hh = IdentityCirc::new_(C({I1("h", 0), I1("h", 0)}, Permut32::identity(1)));
    const IdentityCirc tt = IdentityCirc::new_(C({I1("t", 0), I1("tdg", 0)}, Permut32::identity(1)));
    IdentitySet a;
    a.insert(hh);
    IdentitySet b(std::move(a));
    IdentitySet c;
    c = std::move(b);
    EXPECT_EQ(c.to_vector(), std::vector<IdentityCirc>{hh});
    for (IdentitySet* moved : {&a, &b}) {
        EXPECT_TRUE(moved->empty());
        EXPECT_FALSE(moved->contains(hh));
        EXPECT_TRUE(moved->insert(tt));
        EXPECT_TRUE(moved->contains(tt));
        EXPECT_EQ(moved->to_vector(), std::vector<IdentityCirc>{tt});
    }
}

TEST(IdentitySet, FirstBlockGrowsNoFurtherThanABlock) {
    // A first record of a size that is no power of two, then enough records to fill more
    // than a block: every record must still be found where it was stored.
    IdentitySet set;
    std::vector<IdentityCirc> expect;
    const std::vector<Instr32> gates{I1("h", 0), I1("t", 0), I1("x", 0), I1("s", 0)};
    for (std::size_t i = 0; i < 1100; ++i) {
        std::vector<Instr32> instrs(1100 - 2, I1("h", 0));
        for (std::size_t k = 0, v = i; k < 8; ++k, v /= 4) instrs[k] = gates[v % 4];
        expect.push_back(IdentityCirc::new_(C(std::move(instrs), Permut32::identity(1))));
        const auto pos = set.insert(expect.back());
        ASSERT_TRUE(pos) << i;
        ASSERT_EQ(set.at(*pos), expect.back()) << i;
    }
    for (const IdentityCirc& id : expect) ASSERT_TRUE(set.contains(id));
    EXPECT_EQ(set.to_vector(), expect);
}

TEST(ProverBuild, EmptyClassList) {
    auto [p, err] = build_quietly(ECCs{{}, 3});
    EXPECT_EQ(err, "Building identity prover from 0 ECCs\nProving Identities\n");
    EXPECT_TRUE(p.assume.empty());
    EXPECT_TRUE(p.proved.empty());
    EXPECT_TRUE(p.circ_map.empty());
}

TEST(ProverBuild, RuleTableFromMembers) {
    const Permut32 two = Permut32::identity(2);
    // h(1) h(1) ~ nothing; a single-member class; a later class that lists the empty circuit again.
    const ECC pair{{M({}, two), M({I1("h", 1), I1("h", 1)}, two)}};
    const ECC single{{M({I2("cx", 0, 1)}, two)}};
    const ECC swaps{{M({I2("cx", 0, 1), I2("cx", 1, 0), I2("cx", 0, 1)}, two),
                     M({I2("cx", 1, 0), I2("cx", 0, 1), I2("cx", 1, 0)}, two)}};
    const ECC again{{M({}, two), M({I1("x", 0), I1("x", 0)}, two)}};
    auto [p, err] = build_quietly(ECCs{{pair, single, swaps, again}, 2});
    EXPECT_EQ(err, "Building identity prover from 4 ECCs\nProving Identities\n");

    // The pair: both keys, each listing the other member re-expressed; the empty circuit's
    // list is the one of the later class, not merged.
    const Circ empty_key = Circ::new_no_perm({}).representative();
    const auto hh = Circ::new_no_perm({I1("h", 1), I1("h", 1)}).representative_with_perm();
    ASSERT_TRUE(p.circ_map.find(empty_key));
    ASSERT_TRUE(p.circ_map.find(hh.first));
    EXPECT_EQ(*p.circ_map.list(empty_key), std::vector<Circ>{C({I1("x", 0), I1("x", 0)}, two)});
    EXPECT_EQ(*p.circ_map.list(hh.first), std::vector<Circ>{C({}, two).permut(hh.second)});
    // The single member: its key with an empty list.
    EXPECT_EQ(*p.circ_map.list(Circ::new_no_perm({I2("cx", 0, 1)}).representative()), std::vector<Circ>{});
    // The two SWAP forms relabel into one key: the second member's list replaced the first's.
    const auto k3 = Circ::new_no_perm(swaps.members[1].instrs).representative_with_perm();
    const Circ other = Circ::new_(swaps.members[0].instrs, two).permut(k3.second);
    EXPECT_EQ(*p.circ_map.list(k3.first), std::vector<Circ>{other});
    EXPECT_EQ(p.circ_map.size(), 5u);  // the empty circuit, h h, x x, cx, the SWAP form

    // Every drawn identity is proved, and the ones whose search gave up are also assumed.
    for (const IdentityCirc& a : p.assume) EXPECT_TRUE(p.proved.contains(a));
    const IdentityCirc hh_id = (Circ::new_({}, two).inverse() + C({I1("h", 1), I1("h", 1)}, two)).rotate_representative();
    EXPECT_TRUE(p.proved.contains(hh_id));
}

TEST(ProverBuild, FailuresOfBadClasses) {
    const Permut32 one = Permut32::identity(1);
    testing::internal::CaptureStderr();
    EXPECT_PANIC(IdentityProver::build(ECCs{{ECC{}}, 1}), "index out of bounds: the len is 0 but the index is 0");
    EXPECT_PANIC(IdentityProver::build(ECCs{{ECC{{M({I1("h", 0)}, one), M({I1("x", 0)}, Permut32::identity(2))}}}, 1}),
                 "assertion failed: self.len() == other.len()");
    testing::internal::GetCapturedStderr();
    // A drawn identity of 20 instructions fails before any search.
    std::vector<Instr32> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(I1(i % 2 ? "t" : "h", 0));
    testing::internal::CaptureStderr();
    EXPECT_PANIC(IdentityProver::build(ECCs{{ECC{{M({}, one), M({I1("h", 0), I1("h", 0)}, one)}},
                                              ECC{{M(ten, one), M(ten, one)}}},
                                             1}),
                 "index out of bounds: the len is 20 but the index is 20");
    testing::internal::GetCapturedStderr();
}

TEST(ProverRound, EdgeCases) {
    const IdentityProver& p = RealProver::get().prover;
    EXPECT_TRUE(p.par_apply_rules(IdentityCirc::new_(Circ()), 3).empty());
    // An identity of 20 instructions fails with the subset table's message.
    std::vector<Instr32> twenty(20, I1("h", 0));
    EXPECT_PANIC(p.par_apply_rules(IdentityCirc::new_(C(twenty, Permut32::identity(1))), 0),
                 "index out of bounds: the len is 20 but the index is 20");
    // Nothing is proved: no rewrite passes, though transition pairs exist.
    IdentityProver bare;
    bare.circ_map = p.circ_map;
    const IdentityCirc id = IdentityCirc::unchecked(C({I1("h", 0), I1("h", 0), I1("t", 1), I1("tdg", 1)}, Permut32::identity(2)))
                                .circ.rotate_representative();
    EXPECT_TRUE(bare.par_apply_rules(id, 2).empty());
    EXPECT_FALSE(bare.par_transition_pairs(id, 2).empty());

    // A rule that is no equivalence fails in a worker's identity check; the caller sees it.
    IdentityProver wrong;
    wrong.circ_map.insert_or_assign(Circ::new_no_perm({I1("h", 0)}).representative(),
                                    {C({I1("x", 0)}, Permut32::identity(1))});
    // Long enough for the round to spread over the pool.
    const IdentityCirc hs = IdentityCirc::unchecked(C(std::vector<Instr32>(10, I1("h", 0)), Permut32::identity(1)));
    // Retried in row order after the parallel attempt, it is reported once, for the
    // failure raised; so are the failures of searches, whose rounds run ahead in batches.
    for (int way = 0; way < 3; ++way) {
        testing::internal::CaptureStderr();
        try {
            if (way == 0) wrong.par_apply_rules(hs, 0);
            if (way == 1) (void)wrong.prove_identity(hs, 0, 100);
            if (way == 2) (void)wrong.apply_rules(hs, 0, false);
            ADD_FAILURE() << "expected the identity check to fail";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message().rfind("IdentityCirc: circuit is not identity ", 0), 0u) << p.message();
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("panicked at"), std::string::npos) << way;
        EXPECT_EQ(err.find("panicked at"), err.rfind("panicked at")) << way << ": " << err;
    }
}

TEST(ProverRound, RewritesAreBoundedIdentitiesAndMatchTransitionPairs) {
    const IdentityProver& p = RealProver::get().prover;
    std::mt19937_64 gen(3);
    for (int round = 0; round < 12; ++round) {
        const IdentityCirc id = random_identity(gen, 3, 3 + round % 7);
        if (id.len() >= kCombinationRows) continue;
        for (std::uint64_t extra : {0u, 1u, 3u}) {
            const auto rewrites = p.par_apply_rules(id, extra);
            for (const IdentityCirc& r : rewrites) {
                EXPECT_LE(r.len(), id.len() + extra);
                EXPECT_TRUE(r.check());
            }
            // Spread over the pool or walked on the calling thread: one result, one order.
            EXPECT_EQ(p.apply_rules(id, extra, false), rewrites);
            std::vector<IdentityCirc> expect;
            for (auto& [n, rule] : p.par_transition_pairs(id, extra))
                if (p.proved.contains(rule)) expect.push_back(n);
            EXPECT_EQ(rewrites, expect);
        }
    }
}

TEST(ProverBuild, AssumedIdentitiesAreProved) {
    RealProver& real = RealProver::get();
    IdentityProver p = real.prover;
    EXPECT_FALSE(p.assume.empty());
    EXPECT_FALSE(p.proved.empty());
    for (const IdentityCirc& a : real.prover.assume) {
        EXPECT_TRUE(p.proved.contains(a));
        EXPECT_FALSE(p.add_identity(a, 3, 1000));
    }
    EXPECT_EQ(p.assume.size(), real.prover.assume.size());
}

TEST(ProverSearch, EmptyAndProvedIdentitiesChangeNothing) {
    IdentityProver p = RealProver::get().prover;
    const std::size_t assumed = p.assume.size(), proved = p.proved.size();
    EXPECT_FALSE(p.add_identity(IdentityCirc::new_(Circ()), 3, 100));
    EXPECT_FALSE(p.add_identity(p.assume.front(), 3, 100));
    EXPECT_EQ(p.assume.size(), assumed);
    EXPECT_EQ(p.proved.size(), proved);
}

// The empty identity and every assumption hold without a search; an identity that is only
// proved is still searched from, and a shorter identity that holds outright ends a search.
TEST(ProverSearch, RootsThatHoldOutrightAreProvedAtOnce) {
    const IdentityProver& p = RealProver::get().prover;
    struct Case {
        const char* what;
        IdentityCirc root;
    };
    std::vector<Case> cases = {
        {"no instructions, no qubits", IdentityCirc::new_(Circ())},
        {"no instructions, identity on 3 qubits", IdentityCirc::new_(C({}, Permut32::identity(3)))},
    };
    for (const IdentityCirc& a : p.assume) cases.push_back({"assumed", a});
    for (const Case& c : cases) {
        ASSERT_TRUE(p.holds_outright(c.root)) << c.what;
        auto [result, visited] = p.prove_identity_with_visited(c.root, 2, 0);
        EXPECT_EQ(result, std::nullopt) << c.what << ": " << c.root.to_string();
        EXPECT_EQ(visited.size(), 1u) << c.what;
        EXPECT_TRUE(visited.contains(c.root)) << c.what;
    }
    // No instructions but a swap of two qubits: not an identity, nothing to rewrite.
    const IdentityCirc swapped = IdentityCirc::new_(C({}, Permut32::from_iter({1, 0})));
    EXPECT_FALSE(p.holds_outright(swapped));
    EXPECT_EQ(p.prove_identity(swapped, 2, 100), swapped);

    // Circuits followed by their inverse shorten to nothing, step by step.
    const Permut32 three = Permut32::identity(3);
    for (const std::vector<Instr32>& body : std::vector<std::vector<Instr32>>{
             {I1("h", 0)}, {I1("t", 0)}, {I2("cx", 0, 1), I1("h", 1)}, {I1("t", 2), I2("cx", 2, 0), I1("h", 0)}}) {
        const Circ c = C(body, three);
        const IdentityCirc root = (c + c.inverse()).rotate_representative();
        EXPECT_EQ(p.prove_identity(root, 2, 20000), std::nullopt) << root.to_string();
    }
}

// Walks the first round of a root as both searches do, to find a root whose first round
// queues two fresh identities before anything else ends the search.
TEST(ProverSearch, CountLimitsDifferByOne) {
    const IdentityProver& p = RealProver::get().prover;
    std::mt19937_64 gen(17);
    int checked = 0;
    for (int attempt = 0; attempt < 200 && checked < 3; ++attempt) {
        const IdentityCirc root = random_identity(gen, 3, 4 + attempt % 3);
        if (root.len() == 0 || root.len() >= kCombinationRows || p.proved.contains(root)) continue;
        IdentitySet seen;
        seen.insert(root);
        int queued = 0;
        bool ended = false;
        for (const IdentityCirc& r : p.par_apply_rules(root, 0)) {
            if (!seen.insert(r)) continue;
            if (r.len() < root.len() || p.proved.contains(r)) {
                ended = true;
                break;
            }
            if (++queued == 2) break;
        }
        if (ended || queued < 2) continue;
        ++checked;
        IdentityProver adding = p;
        auto [visited, assumed] = adding.add_identity_search(root, 0, 1);
        EXPECT_TRUE(assumed);
        EXPECT_EQ(visited.size(), 3u);
        EXPECT_EQ(adding.assume.back(), root);
        EXPECT_EQ(adding.proved.size(), p.proved.size());  // the search alone marks nothing

        auto [result, pvisited] = p.prove_identity_with_visited(root, 0, 1);
        EXPECT_EQ(result, root);
        EXPECT_EQ(pvisited.size(), 2u);
        EXPECT_EQ(p.prove_identity(root, 0, 1), root);
        // Count limit 0: both give up at the first queued identity.
        EXPECT_EQ(adding.add_identity_search(root, 0, 0).first.size(), 2u);
        EXPECT_EQ(p.prove_identity_with_visited(root, 0, 0).second.size(), 2u);
    }
    EXPECT_GT(checked, 0);
}

TEST(ProverSearch, AddingAndProvingAgree) {
    IdentityProver p = RealProver::get().prover;
    std::mt19937_64 gen(23);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const IdentityCirc root = random_identity(gen, 3, 2 + attempt % 3);
        if (root.len() == 0) continue;
        auto [result, visited] = p.prove_identity_with_visited(root, 2, 2000);
        EXPECT_EQ(p.prove_identity(root, 2, 2000), result);
        EXPECT_TRUE(visited.contains(root));
        IdentityProver q = p;
        const bool assumed = q.add_identity(root, 2, 2000);
        EXPECT_TRUE(q.proved.contains(root));
        if (assumed) {
            EXPECT_TRUE(q.proved.contains(q.assume.back()));
        }
        // Huge allowances behave as unlimited ones instead of wrapping or allocating.
        EXPECT_EQ(p.prove_identity(root, ~std::uint64_t{0}, 50), p.prove_identity(root, 1000, 50));
    }
}
