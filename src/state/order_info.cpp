// Qubit order information: splitting classes, the equality mask and the candidate permutations.
#include "state/order_info.hpp"

#include <algorithm>
#include <string>

namespace brimsel {

OrderInfo OrderInfo::new_(std::size_t size) {
    if (size > kCapacity)
        panic("OrderInfo holds at most " + std::to_string(kCapacity) + " qubits, not " +
              std::to_string(size));
    OrderInfo o;
    for (std::size_t i = 0; i < size; ++i) o.permut_[i] = static_cast<std::uint8_t>(i);
    o.n_ = size;
    o.eq_classes_[0] = static_cast<std::uint8_t>(size);
    o.n_classes_ = 1;
    return o;
}

void OrderInfo::insert_boundary(std::size_t at, std::uint8_t position) {
    // A class splits into at most as many classes as it has qubits, so the
    // list never outgrows n entries (one, for n = 0).
    check_index(n_classes_, eq_classes_.size());
    for (std::size_t i = n_classes_; i > at; --i) eq_classes_[i] = eq_classes_[i - 1];
    eq_classes_[at] = position;
    ++n_classes_;
}

std::pair<Permut32, std::uint8_t> OrderInfo::as_bits() const {
    const std::size_t n = n_;
    if (n <= 1) return {Permut32::identity(n), 0};
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    unsigned mask = ((1u << n) - 2u) & 0xFFu;
    for (std::size_t c = 0; c < n_classes_; ++c)
        if (eq_classes_[c] < 8) mask &= ~(1u << eq_classes_[c]);
    return {Permut32::from_iter_unchecked(permut()), static_cast<std::uint8_t>(mask >> 1)};
}

const std::vector<Permut32>& OrderInfo::perms_for_mask(std::uint8_t mask) {
    const auto& table = EQMASK_TO_PERMS();
    check_index(mask, table.size());
    return table[mask];
}

Permut32 OrderInfo::fit_to(Permut32 p, std::size_t n) noexcept {
    Permut32 r;
    for (std::size_t i = 0; i < n && i < 8; ++i)
        r.raw |= static_cast<std::uint32_t>(i < 5 ? p.get(i) : i) << (3 * i);
    r.set_len(n);
    return r;
}

std::vector<Permut32> OrderInfo::as_perms() const {
    std::vector<Permut32> out;
    for_each_perm([&](Permut32 p) { out.push_back(p); });
    return out;
}

bool operator==(const OrderInfo& a, const OrderInfo& b) noexcept {
    auto pa = a.permut(), pb = b.permut();
    auto ea = a.eq_classes(), eb = b.eq_classes();
    return std::equal(pa.begin(), pa.end(), pb.begin(), pb.end()) &&
           std::equal(ea.begin(), ea.end(), eb.begin(), eb.end());
}

const std::array<std::vector<Permut32>, 16>& EQMASK_TO_PERMS() {
    static const std::array<std::vector<Permut32>, 16> table = [] {
        std::array<std::vector<Permut32>, 16> t;
        // Only the row of 5 positions: the whole table holds 46,234 permutations.
        const std::vector<Permut32> all5 = heap_row(5);
        for (unsigned m = 0; m < 16; ++m) {
            // run_of[i] names the run that position i belongs to.
            unsigned run_of[5] = {0, 0, 0, 0, 0};
            for (unsigned i = 1; i < 5; ++i)
                run_of[i] = (m >> (i - 1)) & 1u ? run_of[i - 1] : run_of[i - 1] + 1;
            for (Permut32 p : all5) {
                bool keeps_runs = true;
                for (unsigned i = 0; i < 5; ++i) keeps_runs = keeps_runs && run_of[p.get(i)] == run_of[i];
                if (keeps_runs) t[m].push_back(p);
            }
        }
        return t;
    }();
    return table;
}

}  // namespace brimsel
