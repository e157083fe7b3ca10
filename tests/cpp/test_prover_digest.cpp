// Provers built from stored class files against recorded digests: what a build assumes,
// proves and keeps as rules must stay the same whatever the searches' internals become,
// at any thread count (meson runs this file at 1 and at 8 threads).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "identity/eccprove.hpp"
#include "prover_support.hpp"
#include "search/mod.hpp"
#include "utils/postcard.hpp"
#include "utils/siphash.hpp"

using namespace brimsel;

namespace {

struct Recorded {
    const char* file;  // under tests/data/eccs
    std::size_t assumed;
    std::size_t proved;
    std::size_t rules;
    std::uint64_t assume_digest;  // SipHash-1-3 of the assumptions' postcard bytes, in order
    std::uint64_t proved_digest;  // the same of the proved identities, sorted
    std::uint64_t rules_digest;   // the same of the rule table's keys, sorted, each with its list
};

std::uint64_t digest(postcard::Writer& w) { return siphash13(w.bytes().data(), w.bytes().size()); }

Recorded measure(const char* file) {
    const ECCs eccs = ECCs::from_postcard(std::string(BRIMSEL_TEST_DATA "/eccs/") + file);
    const IdentityProver p = test::build_quietly(eccs).first;
    Recorded got{file, p.assume.size(), p.proved.size(), p.circ_map.size(), 0, 0, 0};
    postcard::Writer assume;
    for (const IdentityCirc& a : p.assume) a.serialize(assume);
    got.assume_digest = digest(assume);
    std::vector<Circ> proved;
    p.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        proved.push_back(Circ::new_(std::vector<Instr32>(instrs.begin(), instrs.end()), perm));
    });
    std::sort(proved.begin(), proved.end());
    postcard::Writer proved_bytes;
    for (const Circ& c : proved) c.serialize(proved_bytes);
    got.proved_digest = digest(proved_bytes);
    std::vector<std::pair<Circ, std::vector<Circ>>> rules;
    p.circ_map.for_each([&](const Circ& key, const std::vector<Circ>& list) { rules.emplace_back(key, list); });
    std::sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    postcard::Writer rule_bytes;
    for (const auto& [key, list] : rules) {
        key.serialize(rule_bytes);
        rule_bytes.varint(list.size());
        for (const Circ& c : list) c.serialize(rule_bytes);
    }
    got.rules_digest = digest(rule_bytes);
    return got;
}

// Recorded before the proving search learnt that the empty identity and the assumptions hold.
const std::vector<Recorded>& recorded() {
    static const std::vector<Recorded> table = {
        {"h_t_cx_3q_3.postcard", 9, 1511, 258, 0x0273262411a94634ULL, 0xcd258e9db52b2cf5ULL, 0x84ef29b8bba5d85bULL},
        {"h_t_cx_3q_4.postcard", 10, 2189, 1538, 0x347dcedfdc0a8474ULL, 0x4b7b0ca28c04d5cdULL, 0x5bd14f970162cd47ULL},
        {"h_s_cx_2q_4.postcard", 9, 4825, 412, 0x06aa8b030b36d8beULL, 0x7128a5d0f7da4c7fULL, 0x90e63b4c9f1a7e49ULL},
        {"h_t_1q_6.postcard", 4, 15, 161, 0x2e702538332db081ULL, 0xee7c94e122d324eaULL, 0x82ae3d0d3ee3eb9dULL},
        {"h_s_t_cx_3q_3.postcard", 14, 3374, 553, 0x8da69d30127094d7ULL, 0xeb0597e53689aaadULL, 0xfcb75fdb059bce10ULL},
        {"h_x_cz_2q_4.postcard", 6, 485, 116, 0x10f95a27f38c33a7ULL, 0x548b84e21c2b02c8ULL, 0xd5af036b98116609ULL},
        {"t_cx_2q_5.postcard", 5, 238, 207, 0xf7cd2753506a8229ULL, 0x021b8d359ca4a456ULL, 0xe4375394d468e196ULL},
        {"h_cx_3q_5.postcard", 7, 2227, 640, 0xa30d0511df3a2e2eULL, 0xa5f1ae4e0d549506ULL, 0x3761490a9e5ff87aULL},
    };
    return table;
}

}  // namespace

TEST(ProverDigest, BuildsFromStoredClassesMatchTheirRecords) {
    for (const Recorded& r : recorded()) {
        const Recorded o = measure(r.file);
        // On a mismatch the message shows the figures in the table's form.
        char got[200];
        std::snprintf(got, sizeof got, "got {\"%s\", %zu, %zu, %zu, 0x%016llxULL, 0x%016llxULL, 0x%016llxULL}",
                      r.file, o.assumed, o.proved, o.rules, static_cast<unsigned long long>(o.assume_digest),
                      static_cast<unsigned long long>(o.proved_digest),
                      static_cast<unsigned long long>(o.rules_digest));
        EXPECT_EQ(o.assumed, r.assumed) << got;
        EXPECT_EQ(o.proved, r.proved) << got;
        EXPECT_EQ(o.rules, r.rules) << got;
        EXPECT_EQ(o.assume_digest, r.assume_digest) << got;
        EXPECT_EQ(o.proved_digest, r.proved_digest) << got;
        EXPECT_EQ(o.rules_digest, r.rules_digest) << got;
    }
}
