// SipHash-1-3 (one compression round per word, three finalisation rounds), key zero.
#include "utils/siphash.hpp"

#include <cstring>

namespace brimsel {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

inline void sipround(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                     std::uint64_t& v3) noexcept {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

void StableHasher::compress(std::uint64_t m) noexcept {
    v3_ ^= m;
    sipround(v0_, v1_, v2_, v3_);
    v0_ ^= m;
}

void StableHasher::write(const void* data, std::size_t len) noexcept {
    auto p = static_cast<const unsigned char*>(data);
    length_ += len;
    // Top up the pending word first.
    while (ntail_ != 0 && len > 0) {
        tail_ |= std::uint64_t{*p} << (8 * ntail_);
        ++p;
        --len;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    if (ntail_ != 0) return;  // all input went into the pending word
    while (len >= 8) {
        compress(load_le64(p));
        p += 8;
        len -= 8;
    }
    for (std::size_t i = 0; i < len; ++i) tail_ |= std::uint64_t{p[i]} << (8 * i);
    ntail_ = static_cast<unsigned>(len);
}

void StableHasher::write_u16(std::uint16_t v) noexcept {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    write(b, 2);
}

void StableHasher::write_u32(std::uint32_t v) noexcept {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    write(b, 4);
}

void StableHasher::write_u64(std::uint64_t v) noexcept {
    if (ntail_ == 0) {  // the common, aligned case of the state hashes
        length_ += 8;
        compress(v);
        return;
    }
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    write(b, 8);
}

void StableHasher::write_u64s(const std::uint64_t* words, std::size_t n) noexcept {
    if (ntail_ != 0) {
        for (std::size_t i = 0; i < n; ++i) write_u64(words[i]);
        return;
    }
    // Aligned: every word is one compression, kept in registers.
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    for (std::size_t i = 0; i < n; ++i) {
        v3 ^= words[i];
        sipround(v0, v1, v2, v3);
        v0 ^= words[i];
    }
    v0_ = v0;
    v1_ = v1;
    v2_ = v2;
    v3_ = v3;
    length_ += 8 * n;
}

void StableHasher::write_str(std::string_view s) noexcept {
    write(s.data(), s.size());
    write_u8(0xFF);
}

std::uint64_t StableHasher::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    std::uint64_t b = tail_ | ((length_ & 0xFF) << 56);
    v3 ^= b;
    sipround(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xFF;
    sipround(v0, v1, v2, v3);
    sipround(v0, v1, v2, v3);
    sipround(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

namespace {

constexpr std::uint64_t kV0 = 0x736f6d6570736575ULL, kV1 = 0x646f72616e646f6dULL, kV2 = 0x6c7967656e657261ULL,
                        kV3 = 0x7465646279746573ULL;

struct SipState {
    std::uint64_t v0 = kV0, v1 = kV1, v2 = kV2, v3 = kV3;
    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        sipround(v0, v1, v2, v3);
        v0 ^= m;
    }
    // The finish of n whole words: no pending bytes, the length's low byte on top.
    std::uint64_t finish(std::size_t n) noexcept {
        compress(static_cast<std::uint64_t>((8 * n) & 0xFF) << 56);
        v2 ^= 0xFF;
        sipround(v0, v1, v2, v3);
        sipround(v0, v1, v2, v3);
        sipround(v0, v1, v2, v3);
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace

std::uint64_t stable_hash_words(const std::uint64_t* words, std::size_t n) noexcept {
    SipState s;
    for (std::size_t i = 0; i < n; ++i) s.compress(words[i]);
    return s.finish(n);
}

void stable_hash_words2(const std::uint64_t* a, const std::uint64_t* b, std::size_t n,
                        std::uint64_t out[2]) noexcept {
    SipState s, t;
    for (std::size_t i = 0; i < n; ++i) {
        s.compress(a[i]);
        t.compress(b[i]);
    }
    out[0] = s.finish(n);
    out[1] = t.finish(n);
}

std::uint64_t siphash13(const void* data, std::size_t len) noexcept {
    StableHasher h;
    h.write(data, len);
    return h.finish();
}

}  // namespace brimsel
