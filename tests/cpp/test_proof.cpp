// Proofs: the tracker's links and walks, export_proof on a real prover, and prover files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "identity/eccprove.hpp"
#include "identity/subcircuit.hpp"
#include "panic_matchers.hpp"
#include "prover_support.hpp"

using namespace brimsel;
using namespace brimsel::test;

namespace {

using Dep = std::pair<std::uint64_t, std::uint64_t>;

// Distinct circuits, one per number (the tracker never checks that they are identities).
IdentityCirc numbered(std::size_t i) {
    static const char* names[] = {"h", "x", "z", "t", "tdg", "s", "sdg"};
    std::vector<Instr32> v{I1("y", 0)};
    for (; i > 0; i /= 7) v.push_back(I1(names[i % 7], 0));
    return IdentityCirc::new_(C(std::move(v), Permut32::identity(1)));
}

const ProofResult& result_of(const ProofTracker& t, const IdentityCirc& id) {
    const ProofFuture* f = t.state(id.hash_value());
    EXPECT_NE(f, nullptr);
    return std::get<ProofResult>(*f);
}

std::string bytes_of(const IdentityProver& p) {
    postcard::Writer w;
    p.serialize(w);
    return w.take();
}

IdentityProver from_bytes(const std::string& bytes) {
    postcard::Reader r(bytes);
    return IdentityProver::deserialize(r);
}

// Same assumptions in order, same proved set, same rule table.
void expect_same(const IdentityProver& a, const IdentityProver& b) {
    EXPECT_EQ(a.assume, b.assume);
    EXPECT_EQ(a.proved.size(), b.proved.size());
    a.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) { EXPECT_TRUE(b.proved.contains(instrs, perm)); });
    EXPECT_EQ(a.circ_map, b.circ_map);
}

// export_proof with standard output captured.
std::pair<std::optional<Proof>, std::string> export_quietly(const IdentityProver& p, const IdentityCirc& id,
                                                            std::uint64_t extra, std::uint64_t limit) {
    testing::internal::CaptureStdout();
    try {
        auto proof = p.export_proof(id, extra, limit);
        return {std::move(proof), testing::internal::GetCapturedStdout()};
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
}

std::string hex(std::uint64_t h) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(h));
    return buf;
}

}  // namespace

// ---- the exported proof -------------------------------------------------------------------------

TEST(Proof, DisplayAndOrder) {
    const IdentityCirc hh = IdentityCirc::new_(C({I1("h", 0), I1("h", 0)}, Permut32::identity(1)));
    const IdentityCirc xx = IdentityCirc::new_(C({I1("x", 0), I1("x", 0)}, Permut32::identity(1)));
    const Proof proof{{{hh, Dep{1, 12}}, {xx, std::nullopt}}};
    EXPECT_EQ(proof.to_string(), "0: " + hh.to_string() + " <- 1, 12\n1: " + xx.to_string() + " <- ASSUME\n");
    EXPECT_EQ(Proof{}.to_string(), "");

    const Proof assumed{{{hh, std::nullopt}}};
    const Proof derived{{{hh, Dep{0, 0}}}};
    const Proof later{{{hh, Dep{0, 1}}}};
    const Proof longer{{{hh, std::nullopt}, {hh, std::nullopt}}};
    EXPECT_LT(Proof{}, assumed);
    EXPECT_LT(assumed, derived);  // an assumption before any pair
    EXPECT_LT(derived, later);
    EXPECT_LT(assumed, longer);  // a prefix before the longer proof
    EXPECT_LT(longer, derived);  // entries first, length only for a prefix
    EXPECT_LT((Proof{{{hh, Dep{9, 9}}}}), (Proof{{{xx, std::nullopt}}}));
}

TEST(ProofFuture, DebugForms) {
    EXPECT_EQ(debug(ProofFuture{}), "Waiting { expanded: false, notify: [] }");
    EXPECT_EQ(debug(ProofFuture{ProofWaiting{true, {{1, 2}, {3, 18446744073709551615u}}}}),
              "Waiting { expanded: true, notify: [(1, 2), (3, 18446744073709551615)] }");
    EXPECT_EQ(debug(ProofFuture{ProofResult{}}), "Result(None)");
    EXPECT_EQ(debug(ProofFuture{ProofResult{HashPair{5, 7}}}), "Result(Some((5, 7)))");
}

// ---- the tracker's links -------------------------------------------------------------------------

TEST(ProofTracker, WaitNotifyAndExport) {
    const IdentityProver prover;
    ProofTracker t(prover);
    const IdentityCirc a = numbered(1), b = numbered(2), root = numbered(3), other = numbered(4);
    const std::uint64_t ha = a.hash_value(), hb = b.hash_value(), hr = root.hash_value(), ho = other.hash_value();
    EXPECT_TRUE(t.wait(root, {ho, hr}));  // new: queued
    EXPECT_TRUE(t.wait(root, {ha, hr}));  // still unexpanded
    EXPECT_EQ(debug(*t.state(hr)), "Waiting { expanded: false, notify: [(" + std::to_string(ho) + ", " +
                                       std::to_string(hr) + "), (" + std::to_string(ha) + ", " +
                                       std::to_string(hr) + ")] }");
    t.assume(a);
    EXPECT_FALSE(t.wait(a, {hb, hr}));  // proved already: nothing to wait for
    EXPECT_EQ(debug(*t.state(ha)), "Result(None)");

    // Only a waiting target with both premises proved becomes proved.
    EXPECT_FALSE(t.notify(ha, hb, hr));   // b is waiting
    EXPECT_FALSE(t.notify(ha, 12345, hr));  // no such entry
    t.assume(b);
    EXPECT_TRUE(t.notify(hb, ha, hr));
    EXPECT_FALSE(t.notify(ha, hb, hr));  // proved once
    EXPECT_EQ(result_of(t, root).premises, (HashPair{hb, ha}));

    const Proof proof = t.export_(hr);
    ASSERT_EQ(proof.entries.size(), 3u);
    EXPECT_EQ(proof.entries[0], (ProofEntry{root, Dep{1, 2}}));
    EXPECT_EQ(proof.entries[1], (ProofEntry{b, std::nullopt}));
    EXPECT_EQ(proof.entries[2], (ProofEntry{a, std::nullopt}));

    // An identity that is not proved cannot be exported.
    t.wait(other, {ha, hr});
    testing::internal::CaptureStderr();
    EXPECT_PANIC(t.export_(ho), "(" + other.debug() + ", " + debug(*t.state(ho)) + ")");
    testing::internal::GetCapturedStderr();
}

// Chains far longer than a machine stack could follow by recursion: a proof passed up
// a waiting chain, reachability along it, and the export of the resulting proof.
TEST(ProofTracker, LongChainsNeedNoRecursion) {
    constexpr std::size_t n = 100000;
    const IdentityProver prover;
    ProofTracker t(prover);
    const IdentityCirc leaf = numbered(0);
    const std::uint64_t hl = leaf.hash_value();
    std::vector<std::uint64_t> h(n + 1);
    for (std::size_t i = 0; i <= n; ++i) h[i] = numbered(i + 1).hash_value();
    // x[i] and the leaf prove x[i + 1].
    for (std::size_t i = 0; i < n; ++i) t.wait(numbered(i + 1), {hl, h[i + 1]});
    t.wait(numbered(n + 1), {hl, hl});
    EXPECT_TRUE(t.prune(h[0], h[n]));
    EXPECT_TRUE(t.prune(h[n / 2], h[n]));
    EXPECT_FALSE(t.prune(h[n], h[0]));  // links lead up the chain only

    t.assume(leaf);
    ASSERT_TRUE(t.notify(hl, hl, h[0]));
    for (std::size_t i = 1; i <= n; ++i) ASSERT_EQ(result_of(t, numbered(i + 1)).premises, (HashPair{h[i - 1], hl})) << i;
    EXPECT_FALSE(t.prune(h[0], h[n]));  // proved identities lead nowhere

    const Proof proof = t.export_(h[n]);
    ASSERT_EQ(proof.entries.size(), n + 2);
    for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(proof.entries[k].first, numbered(n + 1 - k)) << k;
        ASSERT_EQ(proof.entries[k].second, (Dep{k + 1, n + 1})) << k;
    }
    EXPECT_EQ(proof.entries[n].second, (Dep{n + 1, n + 1}));
    EXPECT_EQ(proof.entries[n + 1], (ProofEntry{leaf, std::nullopt}));
}

// Reachability follows each waiting list in order and stops at proved identities.
TEST(ProofTracker, PruneFollowsWaitingTargetsOnly) {
    const IdentityProver prover;
    ProofTracker t(prover);
    const IdentityCirc a = numbered(1), b = numbered(2), c = numbered(3), root = numbered(4), proved = numbered(5);
    const std::uint64_t ha = a.hash_value(), hb = b.hash_value(), hc = c.hash_value(), hr = root.hash_value(),
                        hp = proved.hash_value();
    t.wait(root, {0, 0});
    t.assume(proved);
    t.wait(a, {0, hb});     // a -> b -> root
    t.wait(b, {0, hr});
    t.wait(c, {0, hp});     // c -> an assumption: nowhere
    t.wait(c, {0, 99999});  // c -> nothing tracked
    EXPECT_TRUE(t.prune(ha, hr));
    EXPECT_TRUE(t.prune(hr, hr));
    EXPECT_FALSE(t.prune(hc, hr));
    EXPECT_FALSE(t.prune(hp, hr));
    t.wait(b, {0, hb});  // a cycle does not trap the walk
    EXPECT_TRUE(t.prune(ha, hr));
}

// ---- export_proof on real classes ------------------------------------------------------------------

TEST(ExportProof, ProofsOfRealIdentities) {
    const IdentityProver& p = RealProver::get().prover;
    IdentitySet assumed;
    for (const IdentityCirc& a : p.assume) assumed.insert(a);
    std::vector<IdentityCirc> roots;
    for (const auto& w : RealProver::get().eccs.to_identity_circuits()) roots.push_back(w.identity);
    std::mt19937_64 gen(31);
    for (int i = 0; i < 12; ++i) roots.push_back(random_identity(gen, 3, 2 + i % 3));
    int exported = 0, derivations = 0;
    for (const IdentityCirc& root : roots) {
        if (root.len() == 0) continue;
        const auto [proof, out] = export_quietly(p, root, 2, 5000);
        ASSERT_EQ(proof.has_value(), !p.prove_identity(root, 2, 5000).has_value()) << root.to_string();
        if (!proof) {
            EXPECT_EQ(out, "");
            continue;
        }
        ++exported;
        const auto& entries = proof->entries;
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries[0].first, root);
        std::set<IdentityCirc> distinct;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& [id, dep] = entries[i];
            EXPECT_TRUE(distinct.insert(id).second) << "listed twice: " << id.to_string();
            EXPECT_TRUE(id.check());
            if (dep) {
                EXPECT_LT(dep->first, entries.size());
                EXPECT_LT(dep->second, entries.size());
                EXPECT_NE(dep->first, i);
                EXPECT_NE(dep->second, i);
                // One rewrite step: its premises are a rewrite of it and the rule that justifies
                // that rewrite, in either order, within the export's bound.
                if (dep->first < entries.size() && dep->second < entries.size()) {
                    const IdentityCirc& x = entries[dep->first].first;
                    const IdentityCirc& y = entries[dep->second].first;
                    const auto steps = p.par_transition_pairs_within(id, root.len() + 2);
                    ++derivations;
                    EXPECT_TRUE(std::find(steps.begin(), steps.end(), std::pair(x, y)) != steps.end() ||
                                std::find(steps.begin(), steps.end(), std::pair(y, x)) != steps.end())
                        << id.to_string() << " <- " << x.to_string() << ", " << y.to_string();
                }
            } else {
                // Proved by nothing: an assumption or the empty identity.
                EXPECT_TRUE(assumed.contains(id) || is_empty_identity(id))
                    << id.to_string();
            }
        }
        if (assumed.contains(root)) {
            EXPECT_EQ(entries.size(), 1u);
            EXPECT_EQ(out, "");
        } else {
            // The first line names the root, alone in the queue.
            const std::string first = "Exploring " + hex(root.hash_value()) + " " + std::to_string(root.len()) +
                                      " " + root.to_string() + " (0 queued)\n";
            EXPECT_EQ(out.substr(0, first.size()), first);
        }
    }
    EXPECT_GT(exported, 5);
    EXPECT_GT(derivations, 20);
}

// The count limit bounds the proving search only: whatever it proves at count limit 0, the
// tracker goes on to export.
TEST(ExportProof, CountLimitBoundsOnlyTheProvingSearch) {
    const IdentityProver& p = RealProver::get().prover;
    int checked = 0;
    for (const auto& w : RealProver::get().eccs.to_identity_circuits()) {
        const IdentityCirc& root = w.identity;
        if (p.holds_outright(root) || p.prove_identity(root, 2, 0)) continue;
        const auto [proof, out] = export_quietly(p, root, 2, 0);
        ASSERT_TRUE(proof) << root.to_string();
        EXPECT_EQ(proof->entries[0].first, root);
        EXPECT_EQ(out.find("exceeded"), std::string::npos);
        ++checked;
    }
    EXPECT_GT(checked, 3);
}

// A prover file can hold proved identities that nothing assumed supports: the proving
// search takes them at their word, the tracker finds no proof and fails once nothing is
// left to expand.
TEST(ExportProof, UnsupportedProvedIdentityFailsTheExport) {
    // x z ~ z x (up to a phase), and every identity the rounds reach proved, nothing assumed.
    const Permut32 one = Permut32::identity(1);
    const Circ xz = C({I1("x", 0), I1("z", 0)}, one), zx = C({I1("z", 0), I1("x", 0)}, one);
    IdentityProver p;
    const auto [key, perm] = xz.representative_with_perm();
    p.circ_map.insert_or_assign(key, {zx.permut(perm)});
    const IdentityCirc root = (xz + xz).rotate_representative();
    p.proved.insert(root);
    p.proved.insert((zx + xz).rotate_representative());
    p.proved.insert((xz + zx).rotate_representative());
    ASSERT_FALSE(p.holds_outright(root));
    ASSERT_EQ(p.prove_identity(root, 0, 100), std::nullopt);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_PANIC(p.export_proof(root, 0, 100), "Failed to export proof for proved identity");
    testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Exploring " + hex(root.hash_value()) + " 4 ", 0), 0u) << out;
    EXPECT_EQ(out.find("exceeded"), std::string::npos);
}

// A rule identity longer than the search's bound is only ever shortened: expanding it
// never produces rewrites beyond the bound.
TEST(ExportProof, LongIdentitiesAreOnlyShortened) {
    const IdentityProver& p = RealProver::get().prover;
    std::mt19937_64 gen(9);
    int checked = 0;
    for (int attempt = 0; attempt < 40 && checked < 4; ++attempt) {
        const IdentityCirc id = random_identity(gen, 3, 3 + attempt % 2);
        if (id.len() < 5) continue;
        ++checked;
        for (std::uint64_t max_size : {id.len() - 1, id.len() - 2, std::uint64_t{0}}) {
            const auto pairs = p.par_transition_pairs_within(id, max_size);
            for (const auto& [rewrite, rule] : pairs) EXPECT_LE(rewrite.len(), max_size);
            // The same rewrites as the plain round, without the ones that would not shrink enough.
            std::vector<IdentityCirc> all;
            for (const auto& [rewrite, rule] : p.par_transition_pairs(id, 0)) all.push_back(rewrite);
            for (const auto& [rewrite, rule] : pairs)
                EXPECT_NE(std::find(all.begin(), all.end(), rewrite), all.end());
        }
        const auto within = p.par_transition_pairs_within(id, id.len() + 2);
        EXPECT_EQ(within, p.par_transition_pairs(id, 2));
    }
    EXPECT_GT(checked, 0);
}

// ---- prover files --------------------------------------------------------------------------------

TEST(ProverFile, WorkedExampleAndEmptyProver) {
    const IdentityCirc hh = IdentityCirc::new_(C({I1("h", 0), I1("h", 0)}, Permut32::identity(1)));
    IdentityProver p;
    p.assume.push_back(hh);
    p.proved.insert(hh);
    const std::string expect("\x01\x02\x01h\x00\xff\x01h\x00\xff\x80\x80\x80\x08"
                             "\x01\x02\x01h\x00\xff\x01h\x00\xff\x80\x80\x80\x08\x00",
                             29);
    EXPECT_EQ(bytes_of(p), expect);
    const IdentityProver back = from_bytes(expect);
    expect_same(back, p);
    EXPECT_EQ(bytes_of(back), expect);

    EXPECT_EQ(bytes_of(IdentityProver{}), std::string(3, '\0'));
    expect_same(from_bytes(std::string(3, '\0')), IdentityProver{});
    // Bytes after the record are not read.
    expect_same(from_bytes(expect + "\x05garbage"), p);
}

TEST(ProverFile, RealProverRoundTripsThroughAFile) {
    const IdentityProver& p = RealProver::get().prover;
    const std::string bytes = bytes_of(p);
    ASSERT_GT(bytes.size(), 3 * 8192u);  // written in several pieces
    const IdentityProver back = from_bytes(bytes);
    expect_same(back, p);

    char dir[] = "/tmp/brimsel-proverXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/prover.postcard";
    p.dump_postcard(path);
    std::ifstream in(path, std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, bytes);  // the same object writes its maps in the same order
    const IdentityProver loaded = IdentityProver::from_postcard(path);
    expect_same(loaded, p);
    std::mt19937_64 gen(5);
    for (int i = 0; i < 4; ++i) {
        const IdentityCirc root = random_identity(gen, 3, 2 + i % 3);
        EXPECT_EQ(loaded.prove_identity(root, 2, 2000), p.prove_identity(root, 2, 2000));
        EXPECT_EQ(loaded.par_apply_rules(root, 1), p.par_apply_rules(root, 1));
    }
    std::remove(path.c_str());
    rmdir(dir);

    try {
        p.dump_postcard(std::string(dir) + "/no/such/dir/prover.postcard");
        ADD_FAILURE() << "expected a file error";
    } catch (const FileError& e) {
        EXPECT_STREQ(e.what(), "Failed to create file: No such file or directory (os error 2)");
    }
}

TEST(ProverFile, DecodingIsChecked) {
    // One assumed identity "h(0)" with the identity permutation, then two empty counts.
    const std::string h0("\x01\x01\x01h\x00\xff\x80\x80\x80\x08\x00\x00", 12);
    ASSERT_NO_THROW(from_bytes(h0));
    // Every cut is refused with the same text.
    for (std::size_t n = 0; n < h0.size(); ++n) {
        try {
            from_bytes(h0.substr(0, n));
            ADD_FAILURE() << "cut at " << n;
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), postcard::kEndOfBuffer) << n;
        }
    }
    struct Case {
        const char* what;
        std::string bytes;
        const char* error;
    };
    const Case cases[] = {
        {"a count beyond the bytes left", std::string("\xff\xff\xff\xff\x0f\x00\x00", 7), postcard::kEndOfBuffer},
        {"a rule count beyond the bytes left", std::string("\x00\x00\x05\x00\x80\x80\x80\x08\x00", 9),
         postcard::kEndOfBuffer},
        {"a rule list count beyond the bytes left",
         std::string("\x00\x00\x01\x00\x80\x80\x80\x08\x09\x00\x80\x80\x80\x08", 14), postcard::kEndOfBuffer},
        {"a varint of eleven bytes", std::string("\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01", 11),
         postcard::kBadVarint},
        {"a permutation word past 32 bits", std::string("\x01\x00\x80\x80\x80\x80\x10\x00\x00", 9),
         postcard::kBadVarint},
        {"a qubit byte of 8", std::string("\x01\x01\x01h\x08\xff\x80\x80\x80\x08\x00\x00", 12),
         "Qubit index must be less than 8"},
        {"a gate text that is not UTF-8", std::string("\x01\x01\x01\xff\x00\xff\x80\x80\x80\x08\x00\x00", 12),
         postcard::kBadUtf8},
        {"a permutation with a repeated image", std::string("\x00\x01\x00\x80\x80\x80\x10\x00", 8),
         "Permutation values must be unique"},
        {"a permutation of 9 positions", std::string("\x00\x00\x01\x00\x80\x80\x80\x48\x00", 9),
         "Permutation length must be less than or equal to 8"},
        {"a permutation word with images past its length",
         std::string("\x00\x00\x01\x00\x88\x80\x80\x08\x00", 9),
         "Permutation word holds images past its length"},
    };
    for (const Case& c : cases) {
        try {
            from_bytes(c.bytes);
            ADD_FAILURE() << c.what;
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), c.error) << c.what;
        }
    }
    // A gate that no one registered is an internal failure, not a format error.
    testing::internal::CaptureStderr();
    EXPECT_PANIC(from_bytes(std::string("\x01\x01\x02zz\x00\xff\x80\x80\x80\x08\x00\x00", 13)),
                 "Failed to deserialize Gate16 from zz");
    testing::internal::GetCapturedStderr();
}

TEST(ProverFile, RepeatedIdentitiesAreProvedOnce) {
    // The empty identity twice, then h h twice: the set keeps one of each.
    const std::string bytes("\x00\x04\x00\x80\x80\x80\x08\x00\x80\x80\x80\x08"
                            "\x02\x01h\x00\xff\x01h\x00\xff\x80\x80\x80\x08"
                            "\x02\x01h\x00\xff\x01h\x00\xff\x80\x80\x80\x08\x00",
                            39);
    const IdentityProver p = from_bytes(bytes);
    EXPECT_EQ(p.proved.size(), 2u);
    EXPECT_TRUE(p.proved.contains(IdentityCirc::new_(C({}, Permut32::identity(1)))));
    EXPECT_TRUE(p.proved.contains(IdentityCirc::new_(C({I1("h", 0), I1("h", 0)}, Permut32::identity(1)))));
}

TEST(ProverFile, RepeatedKeysKeepTheListReadLast) {
    const Circ key = C({I1("h", 0)}, Permut32::identity(1));
    const Circ x = C({I1("x", 0)}, Permut32::identity(1));
    postcard::Writer w;
    w.varint(0);
    w.varint(0);
    w.varint(2);
    key.serialize(w);
    w.varint(1);
    x.serialize(w);
    key.serialize(w);
    w.varint(0);
    const IdentityProver p = from_bytes(w.take());
    ASSERT_EQ(p.circ_map.size(), 1u);
    EXPECT_TRUE(p.circ_map.list(key)->empty());
}
