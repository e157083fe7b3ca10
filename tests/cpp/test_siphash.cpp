// Stable hashing: SipHash-1-3 vectors and the independence of the feed from how it is cut.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "utils/siphash.hpp"

using namespace brimsel;

namespace {

std::uint64_t hash_bytes(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> v(bytes);
    return siphash13(v.data(), v.size());
}

}  // namespace

TEST(StableHash, KnownFeeds) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint64_t hash;
    } cases[] = {
        {{0x00, 0x00}, 0x558F3FD350EA8CEFull},                 // gate 0
        {{0x01, 0x00}, 0x91BA6B64380021F9ull},                 // gate 1
        {{0x01, 0x00, 2, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xFF},     // h on qubit 0
         0x5C7949229934D439ull},
        {std::vector<std::uint8_t>(12, 0), 0x21CE683A865794DFull},  // empty circuit
    };
    for (const auto& c : cases) EXPECT_EQ(siphash13(c.bytes.data(), c.bytes.size()), c.hash);
}

TEST(StableHash, TypedWritesMatchByteFeed) {
    StableHasher h;
    h.write_u16(1);
    h.write_len(2);
    h.write_u8(0);
    h.write_u8(0xFF);
    EXPECT_EQ(h.finish(), 0x5C7949229934D439ull);

    StableHasher a;
    a.write_str("q");
    a.write_u64(0);
    EXPECT_EQ(python_hash(a.finish()), -821178323704636666LL);
    EXPECT_EQ(python_hash(0x91BA6B64380021F9ull), -7945920514361384455LL);
}

TEST(StableHash, PythonHashAvoidsMinusOne) {
    EXPECT_EQ(python_hash(~0ull), -2);
    EXPECT_EQ(python_hash(~0ull - 1), -2);
    EXPECT_EQ(python_hash(5), 5);
}

TEST(StableHash, SplitPointsDoNotMatter) {
    std::mt19937_64 rng(7);
    for (std::size_t len = 0; len < 40; ++len) {
        std::vector<std::uint8_t> data(len);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        const std::uint64_t whole = siphash13(data.data(), data.size());
        for (int trial = 0; trial < 20; ++trial) {
            StableHasher h;
            std::size_t pos = 0;
            while (pos < len) {
                std::size_t n = std::min<std::size_t>(len - pos, rng() % 9);
                h.write(data.data() + pos, n);
                pos += n;
            }
            ASSERT_EQ(h.finish(), whole) << "len " << len;
        }
    }
    EXPECT_EQ(hash_bytes({}), siphash13(nullptr, 0));
}

TEST(StableHash, WordRunsMatchByteFeed) {
    // A run of words hashes as its little-endian bytes, whether the hasher holds a partial word or not.
    std::mt19937_64 rng(11);
    for (std::size_t lead : {0u, 3u}) {
        for (std::size_t n : {0u, 1u, 7u, 64u}) {
            std::vector<std::uint64_t> words(n);
            for (auto& w : words) w = rng();
            std::vector<std::uint8_t> bytes(lead, 0xA5);
            for (std::uint64_t w : words)
                for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
            StableHasher h;
            h.write(bytes.data(), lead);
            h.write_u64s(words.data(), words.size());
            EXPECT_EQ(h.finish(), siphash13(bytes.data(), bytes.size())) << lead << " " << n;
        }
    }
}

TEST(StableHash, WholeWordRunsMatchTheHasher) {
    // The one-shot forms of runs of words, alone and in pairs, against the streaming hasher.
    std::mt19937_64 rng(5);
    for (std::size_t n : {0u, 1u, 2u, 18u, 31u, 32u, 33u, 66u}) {
        std::vector<std::uint64_t> a(n), b(n);
        for (auto& w : a) w = rng();
        for (auto& w : b) w = rng();
        StableHasher ha, hb;
        ha.write_u64s(a.data(), n);
        hb.write_u64s(b.data(), n);
        EXPECT_EQ(stable_hash_words(a.data(), n), ha.finish()) << n;
        std::uint64_t both[2];
        stable_hash_words2(a.data(), b.data(), n, both);
        EXPECT_EQ(both[0], ha.finish()) << n;
        EXPECT_EQ(both[1], hb.finish()) << n;
    }
}

TEST(StableHash, ManyRunsAtOnce) {
    // Every count around the groups of eight and lengths around the blocks of
    // four words, through the dispatching form and the portable one.
    std::mt19937_64 rng(7);
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 66u, 67u}) {
        std::vector<std::vector<std::uint64_t>> data(19, std::vector<std::uint64_t>(n));
        std::vector<const std::uint64_t*> runs;
        for (auto& d : data) {
            for (auto& w : d) w = rng();
            runs.push_back(d.data());
        }
        for (std::size_t count = 0; count <= runs.size(); ++count) {
            std::vector<std::uint64_t> fast(count), portable(count);
            stable_hash_words_many(runs.data(), count, n, fast.data());
            stable_hash_words_many_portable(runs.data(), count, n, portable.data());
            for (std::size_t k = 0; k < count; ++k) {
                const std::uint64_t expected = stable_hash_words(runs[k], n);
                ASSERT_EQ(fast[k], expected) << n << " words, run " << k << " of " << count;
                ASSERT_EQ(portable[k], expected) << n << " words, run " << k << " of " << count;
            }
        }
    }
}
