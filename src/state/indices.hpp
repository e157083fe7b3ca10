// Amplitude indices of the groups of 2, 4 or 8 amplitudes that a gate on 1, 2 or 3 qubits mixes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace brimsel {

// The bits of `input` at and above `at` move up by one and `value` fills position `at`.
constexpr std::uint64_t insert_bit(std::uint64_t input, unsigned at, std::uint64_t value) noexcept {
    const std::uint64_t low = (std::uint64_t{1} << at) - 1;
    return ((input >> at) << (at + 1)) | (value << at) | (input & low);
}

// The groups of a K-qubit gate on a state of n qubits (K <= n, distinct
// qubits below 64). Group i, for i = 0 .. 2^(n-K) - 1, has N = 2^K members;
// member k carries bit K-1-m of k at the position of argument m (the first
// argument is the most significant bit of k) and the bits of i elsewhere.
// Inserting zeros at the sorted positions and then setting the argument bits
// gives the same index as inserting each bit in turn, without any per-group
// branching.
template <std::size_t K>
class QubitIndexGroups {
public:
    static constexpr std::size_t N = std::size_t{1} << K;

    QubitIndexGroups(std::uint64_t nqubits, std::span<const std::uint8_t> qubits) noexcept {
        for (std::size_t m = 0; m < K; ++m) sorted_[m] = qubits[m];
        std::sort(sorted_.begin(), sorted_.end());
        for (std::size_t k = 0; k < N; ++k) {
            std::uint64_t off = 0;
            for (std::size_t m = 0; m < K; ++m)
                off |= std::uint64_t{(k >> (K - 1 - m)) & 1u} << qubits[m];
            offsets_[k] = off;
        }
        count_ = std::uint64_t{1} << (nqubits - K);
    }

    std::uint64_t count() const noexcept { return count_; }

    // Member 0 of group i.
    std::uint64_t base(std::uint64_t i) const noexcept {
        for (std::size_t m = 0; m < K; ++m) i = insert_bit(i, sorted_[m], 0);
        return i;
    }
    std::uint64_t offset(std::size_t k) const noexcept { return offsets_[k]; }

    std::array<std::uint64_t, N> members(std::uint64_t i) const noexcept {
        std::array<std::uint64_t, N> out;
        const std::uint64_t b = base(i);
        for (std::size_t k = 0; k < N; ++k) out[k] = b | offsets_[k];
        return out;
    }

private:
    std::array<unsigned, K> sorted_{};
    std::array<std::uint64_t, N> offsets_{};
    std::uint64_t count_ = 0;
};

// The index groups of one, two and three qubit arguments, group by group.
inline QubitIndexGroups<1> qubit_matrix_indices1(std::uint64_t nqubits,
                                                 std::span<const std::uint8_t, 1> q) noexcept {
    return QubitIndexGroups<1>(nqubits, q);
}
inline QubitIndexGroups<2> qubit_matrix_indices2(std::uint64_t nqubits,
                                                 std::span<const std::uint8_t, 2> q) noexcept {
    return QubitIndexGroups<2>(nqubits, q);
}
inline QubitIndexGroups<3> qubit_matrix_indices3(std::uint64_t nqubits,
                                                 std::span<const std::uint8_t, 3> q) noexcept {
    return QubitIndexGroups<3>(nqubits, q);
}

}  // namespace brimsel
