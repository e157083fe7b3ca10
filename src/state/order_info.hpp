// OrderInfo: qubits sorted by a per-qubit key, with the runs of tied keys; EQMASK_TO_PERMS for the ties.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "groups/permutation.hpp"
#include "panic.hpp"

namespace brimsel {

// `permut` holds the qubit at each sorted position; `eq_classes` the exclusive
// end positions of the classes of tied qubits, ascending, the last one equal
// to the qubit count. The lists live inline: states have fewer than 64 qubits,
// and the search builds one of these per evaluated circuit.
class OrderInfo {
public:
    static constexpr std::size_t kCapacity = 64;

    // One class holding every qubit, in ascending order.
    static OrderInfo new_(std::size_t size);

    std::span<const std::uint8_t> permut() const noexcept { return {permut_.data(), n_}; }
    std::span<const std::uint8_t> eq_classes() const noexcept {
        return {eq_classes_.data(), n_classes_};
    }
    std::size_t n_eqclasses() const noexcept { return n_classes_; }

    // Sorted positions [start, end) of class `index`.
    std::pair<std::size_t, std::size_t> get_eqclass_range(std::size_t index) const {
        check_index(index, n_classes_);
        return {index == 0 ? 0 : eq_classes_[index - 1], eq_classes_[index]};
    }
    std::span<const std::uint8_t> get_eqclass(std::size_t index) const {
        auto [start, end] = get_eqclass_range(index);
        return {permut_.data() + start, end - start};
    }

    // Sorts class `index` stably by key(qubit) and splits it where the key
    // changes; later classes are renumbered. The key must depend on the qubit
    // alone and support == and <.
    template <class Key>
    void sort_eqclass_by_key(std::size_t index, Key&& key) {
        auto [start, end] = get_eqclass_range(index);
        using K = decltype(key(std::uint8_t{0}));
        std::array<K, kCapacity> keys;
        std::array<std::uint8_t, kCapacity> qubits;
        const std::size_t m = end - start;
        for (std::size_t j = 0; j < m; ++j) {
            qubits[j] = permut_[start + j];
            keys[j] = key(qubits[j]);
        }
        // Insertion sort: stable, and the classes are a handful of qubits.
        for (std::size_t j = 1; j < m; ++j) {
            K k = keys[j];
            std::uint8_t q = qubits[j];
            std::size_t i = j;
            while (i > 0 && k < keys[i - 1]) {
                keys[i] = keys[i - 1];
                qubits[i] = qubits[i - 1];
                --i;
            }
            keys[i] = k;
            qubits[i] = q;
        }
        for (std::size_t j = 0; j < m; ++j) permut_[start + j] = qubits[j];
        for (std::size_t j = 0; j + 1 < m; ++j) {
            if (!(keys[j] == keys[j + 1])) {
                insert_boundary(index, static_cast<std::uint8_t>(start + j + 1));
                ++index;
            }
        }
    }

    // (the permutation whose image at position k is permut[k], the equality
    // mask: bit j set when positions j and j+1 share a class).
    std::pair<Permut32, std::uint8_t> as_bits() const;

    // The permutations that reorder only tied positions, each composed after
    // the sorting permutation, in the order of EQMASK_TO_PERMS.
    template <class F>
    void for_each_perm(F&& f) const {
        auto [perm, mask] = as_bits();
        const std::vector<Permut32>& row = perms_for_mask(mask);
        for (Permut32 p : row) f(perm * fit_to(p, perm.len()));
    }
    std::vector<Permut32> as_perms() const;

    friend bool operator==(const OrderInfo& a, const OrderInfo& b) noexcept;

private:
    void insert_boundary(std::size_t at, std::uint8_t position);
    static const std::vector<Permut32>& perms_for_mask(std::uint8_t mask);
    // A row permutation of 5 positions cut or extended to n positions; the
    // positions from 5 on are never tied when the mask fits the table, so
    // they map to themselves.
    static Permut32 fit_to(Permut32 p, std::size_t n) noexcept;

    std::array<std::uint8_t, kCapacity> permut_{};
    std::array<std::uint8_t, kCapacity + 1> eq_classes_{};
    std::size_t n_ = 0;
    std::size_t n_classes_ = 0;
};

// Row m (m = 0..15): the permutations of 5 positions, in Heap's order, that
// map every run of tied positions of the 4-bit equality mask m onto itself.
const std::array<std::vector<Permut32>, 16>& EQMASK_TO_PERMS();

}  // namespace brimsel
