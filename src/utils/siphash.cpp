// SipHash-1-3 (one compression round per word, three finalisation rounds), key zero.
#include "utils/siphash.hpp"

#include <cstring>

#include "utils/cpu.hpp"

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
#include <immintrin.h>
#endif

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

void stable_hash_words_many_portable(const std::uint64_t* const* runs, std::size_t count, std::size_t n,
                                     std::uint64_t* out) noexcept {
    std::size_t k = 0;
    for (; k + 1 < count; k += 2) stable_hash_words2(runs[k], runs[k + 1], n, out + k);
    if (k < count) out[k] = stable_hash_words(runs[k], n);
}

#if defined(BRIMSEL_HAVE_AVX2_PATHS)
namespace {

// The same rounds on four states at once, one per 64-bit lane; integer
// operations only, so every lane ends exactly as the scalar state would.
#define BRIMSEL_AVX2 __attribute__((target("avx2")))

BRIMSEL_AVX2 inline __m256i rotl4(__m256i x, int b) noexcept {
    return _mm256_or_si256(_mm256_slli_epi64(x, b), _mm256_srli_epi64(x, 64 - b));
}

struct Lanes4 {
    __m256i v0, v1, v2, v3;
    BRIMSEL_AVX2 Lanes4() noexcept
        : v0(_mm256_set1_epi64x(static_cast<long long>(kV0))),
          v1(_mm256_set1_epi64x(static_cast<long long>(kV1))),
          v2(_mm256_set1_epi64x(static_cast<long long>(kV2))),
          v3(_mm256_set1_epi64x(static_cast<long long>(kV3))) {}
    BRIMSEL_AVX2 void round() noexcept {
        // Rotations by 16 and 32 move whole bytes; the others shift.
        const __m256i by16 = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13, 6, 7, 0, 1, 2,
                                              3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
        v0 = _mm256_add_epi64(v0, v1);
        v1 = _mm256_xor_si256(rotl4(v1, 13), v0);
        v0 = _mm256_shuffle_epi32(v0, 0xB1);
        v2 = _mm256_add_epi64(v2, v3);
        v3 = _mm256_xor_si256(_mm256_shuffle_epi8(v3, by16), v2);
        v0 = _mm256_add_epi64(v0, v3);
        v3 = _mm256_xor_si256(rotl4(v3, 21), v0);
        v2 = _mm256_add_epi64(v2, v1);
        v1 = _mm256_xor_si256(rotl4(v1, 17), v2);
        v2 = _mm256_shuffle_epi32(v2, 0xB1);
    }
    BRIMSEL_AVX2 void compress(__m256i m) noexcept {
        v3 = _mm256_xor_si256(v3, m);
        round();
        v0 = _mm256_xor_si256(v0, m);
    }
    BRIMSEL_AVX2 void finish(std::size_t n, std::uint64_t* out) noexcept {
        compress(_mm256_set1_epi64x(static_cast<long long>(static_cast<std::uint64_t>((8 * n) & 0xFF) << 56)));
        v2 = _mm256_xor_si256(v2, _mm256_set1_epi64x(0xFF));
        round();
        round();
        round();
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_xor_si256(_mm256_xor_si256(v0, v1), _mm256_xor_si256(v2, v3)));
    }
};

// Words i..i+3 of four runs, turned so that vector j holds word i+j of each run.
BRIMSEL_AVX2 inline void transpose4(const std::uint64_t* const* runs, std::size_t i, __m256i m[4]) noexcept {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs[0] + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs[1] + i));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs[2] + i));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs[3] + i));
    const __m256i ab0 = _mm256_unpacklo_epi64(a, b), ab1 = _mm256_unpackhi_epi64(a, b);
    const __m256i cd0 = _mm256_unpacklo_epi64(c, d), cd1 = _mm256_unpackhi_epi64(c, d);
    m[0] = _mm256_permute2x128_si256(ab0, cd0, 0x20);
    m[1] = _mm256_permute2x128_si256(ab1, cd1, 0x20);
    m[2] = _mm256_permute2x128_si256(ab0, cd0, 0x31);
    m[3] = _mm256_permute2x128_si256(ab1, cd1, 0x31);
}

BRIMSEL_AVX2 inline __m256i column4(const std::uint64_t* const* runs, std::size_t i) noexcept {
    return _mm256_setr_epi64x(static_cast<long long>(runs[0][i]), static_cast<long long>(runs[1][i]),
                              static_cast<long long>(runs[2][i]), static_cast<long long>(runs[3][i]));
}

// Eight runs as two independent groups of four, so that one group's rounds
// fill the other's waits.
BRIMSEL_AVX2 void hash8_avx2(const std::uint64_t* const* runs, std::size_t n, std::uint64_t* out) noexcept {
    Lanes4 s, t;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256i a[4], b[4];
        transpose4(runs, i, a);
        transpose4(runs + 4, i, b);
        for (int j = 0; j < 4; ++j) {
            s.compress(a[j]);
            t.compress(b[j]);
        }
    }
    for (; i < n; ++i) {
        s.compress(column4(runs, i));
        t.compress(column4(runs + 4, i));
    }
    s.finish(n, out);
    t.finish(n, out + 4);
}

#undef BRIMSEL_AVX2

}  // namespace
#endif

void stable_hash_words_many(const std::uint64_t* const* runs, std::size_t count, std::size_t n,
                            std::uint64_t* out) noexcept {
#if defined(BRIMSEL_HAVE_AVX2_PATHS)
    if (use_avx2())
        for (; count >= 8; count -= 8, runs += 8, out += 8) hash8_avx2(runs, n, out);
#endif
    stable_hash_words_many_portable(runs, count, n, out);
}

std::uint64_t siphash13(const void* data, std::size_t len) noexcept {
    StableHasher h;
    h.write(data, len);
    return h.finish();
}

}  // namespace brimsel
