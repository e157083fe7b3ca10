// Random generators for drawing states: xoshiro256** seeded from operating-system entropy.
#pragma once

#include <cstdint>

namespace brimsel {

// A fast 64-bit generator with 256 bits of state. Callers own their instance;
// thread_rng() hands out one per thread for code that has none of its own.
class Rng {
public:
    // Seeds all 256 bits from getrandom (or /dev/urandom where that is missing).
    static Rng from_entropy();
    // Reproducible streams for tests and benchmarks: the seed is spread by splitmix64.
    static Rng from_seed(std::uint64_t seed) noexcept;

    std::uint64_t next_u64() noexcept {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, 1) with 53 random bits: the top 53 bits of one output times 2^-53.
    double next_f64() noexcept {
        return static_cast<double>(next_u64() >> 11) * 0x1p-53;
    }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept {
        return (x << k) | (x >> (64 - k));
    }
    std::uint64_t s_[4] = {0, 0, 0, 0};
};

// The calling thread's generator, seeded from entropy on first use and seeded
// afresh in a child process after fork, so parent and child never share a stream.
Rng& thread_rng();

}  // namespace brimsel
