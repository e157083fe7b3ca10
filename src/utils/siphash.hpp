// Streaming SipHash-1-3; with its all-zero key, the stable hash of every value the system hashes as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brimsel {

// Feeds are concatenated: only the byte string matters, not how it is cut.
// The state lives on the stack; nothing is allocated.
class StableHasher {
public:
    StableHasher() noexcept = default;
    // The same function under a key of its own, for in-memory tables that must not be
    // predictable from outside.
    StableHasher(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0_(k0 ^ 0x736f6d6570736575ULL),
          v1_(k1 ^ 0x646f72616e646f6dULL),
          v2_(k0 ^ 0x6c7967656e657261ULL),
          v3_(k1 ^ 0x7465646279746573ULL) {}

    void write(const void* data, std::size_t len) noexcept;
    void write_u8(std::uint8_t v) noexcept { write(&v, 1); }
    void write_u16(std::uint16_t v) noexcept;
    void write_u32(std::uint32_t v) noexcept;
    void write_u64(std::uint64_t v) noexcept;
    // write_u64 of each word in turn, in one pass.
    void write_u64s(const std::uint64_t* words, std::size_t n) noexcept;
    // A length or count: 8 bytes little-endian.
    void write_len(std::uint64_t n) noexcept { write_u64(n); }
    // A text: its UTF-8 bytes, then one 0xFF byte, no length.
    void write_str(std::string_view s) noexcept;

    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t m) noexcept;

    std::uint64_t v0_ = 0x736f6d6570736575ULL;
    std::uint64_t v1_ = 0x646f72616e646f6dULL;
    std::uint64_t v2_ = 0x6c7967656e657261ULL;
    std::uint64_t v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;      // pending bytes, little-endian
    unsigned ntail_ = 0;          // number of pending bytes (0..7)
    std::uint64_t length_ = 0;    // total bytes fed
};

// One-shot hashes of runs of words, each fed as write_u64 feeds it. The pair
// form hashes two runs of the same length at once, their rounds interleaved.
std::uint64_t stable_hash_words(const std::uint64_t* words, std::size_t n) noexcept;
void stable_hash_words2(const std::uint64_t* a, const std::uint64_t* b, std::size_t n,
                        std::uint64_t out[2]) noexcept;
// The hashes of `count` runs of n words each, out[k] that of runs[k]: eight at
// a time in vector lanes where use_avx2() allows, in pairs otherwise. The
// portable form never takes the vector path.
void stable_hash_words_many(const std::uint64_t* const* runs, std::size_t count, std::size_t n,
                            std::uint64_t* out) noexcept;
void stable_hash_words_many_portable(const std::uint64_t* const* runs, std::size_t count, std::size_t n,
                                     std::uint64_t* out) noexcept;

// One-shot hash of a byte string.
std::uint64_t siphash13(const void* data, std::size_t len) noexcept;

// The Python hash of a stable hash: its bits as a signed integer, -1 becoming -2.
inline std::int64_t python_hash(std::uint64_t h) noexcept {
    auto s = static_cast<std::int64_t>(h);
    return s == -1 ? -2 : s;
}

}  // namespace brimsel
