// Permutation words, Heap's order table and sorting networks.
#include "groups/permutation.hpp"

namespace brimsel {

namespace {

using Cmp = std::pair<std::uint8_t, std::uint8_t>;

constexpr Cmp net2[] = {{0, 1}};
constexpr Cmp net3[] = {{0, 2}, {0, 1}, {1, 2}};
constexpr Cmp net4[] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}, {1, 2}};
constexpr Cmp net5[] = {{0, 3}, {1, 4}, {0, 2}, {1, 3}, {0, 1},
                        {2, 4}, {1, 2}, {3, 4}, {2, 3}};
constexpr Cmp net6[] = {{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                        {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}};
constexpr Cmp net7[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6}, {0, 1}, {2, 5},
                        {3, 4}, {1, 2}, {4, 6}, {2, 3}, {4, 5}, {1, 2}, {3, 4}, {5, 6}};
constexpr Cmp net8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6},
                        {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}, {2, 4}, {3, 5},
                        {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};

}  // namespace

void panic_position(SourceLocation where) { panic("assertion failed: idx < 8", where); }

std::vector<Permut32> heap_row(std::size_t n) {
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    std::vector<Permut32> row;
    std::uint8_t a[8];
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<std::uint8_t>(i);
    auto emit = [&] { row.push_back(Permut32::from_iter_unchecked({a, n})); };
    emit();
    std::size_t c[8] = {0};
    std::size_t k = 0;
    while (k + 1 < n) {
        if (c[k] <= k) {
            std::size_t j = (k % 2 == 0) ? c[k] : 0;
            std::swap(a[j], a[k + 1]);
            ++c[k];
            emit();
            k = 0;
        } else {
            c[k] = 0;
            ++k;
        }
    }
    return row;
}

const std::array<std::span<const Cmp>, 9> SORTING_NETWORKS = {
    std::span<const Cmp>{}, std::span<const Cmp>{}, std::span<const Cmp>(net2),
    std::span<const Cmp>(net3), std::span<const Cmp>(net4), std::span<const Cmp>(net5),
    std::span<const Cmp>(net6), std::span<const Cmp>(net7), std::span<const Cmp>(net8),
};

const std::array<std::vector<Permut32>, 9>& ALL_PERMUTATIONS() {
    // Function-local static: concurrent first readers wait for one complete table.
    static const std::array<std::vector<Permut32>, 9> table = [] {
        std::array<std::vector<Permut32>, 9> t;
        for (std::size_t n = 0; n < 9; ++n) t[n] = heap_row(n);
        return t;
    }();
    return table;
}

Permut32 Permut32::identity(std::size_t n) {
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    Permut32 p;
    for (std::size_t i = 0; i < n; ++i) p.raw |= static_cast<std::uint32_t>(i) << (3 * i);
    p.set_len(n);
    return p;
}

Permut32 Permut32::from_iter(std::span<const std::uint8_t> values) {
    Permut32 p;
    unsigned used = 0;
    std::size_t i = 0;
    for (std::uint8_t v : values) {
        if (v >= 8) panic("Permutation values must be less than 8");
        if (used & (1u << v)) panic("Permutation values must be unique");
        used |= 1u << v;
        // Fewer than 9 values can pass both checks.
        p.raw |= std::uint32_t{v} << (3 * i);
        ++i;
    }
    p.set_len(i);
    return p;
}

Permut32 Permut32::from_iter_unchecked(std::span<const std::uint8_t> values) noexcept {
    Permut32 p;
    std::size_t n = values.size() < 8 ? values.size() : 8;
    for (std::size_t i = 0; i < n; ++i) p.raw |= std::uint32_t{values[i] & 7u} << (3 * i);
    p.set_len(n);
    return p;
}

Permut32 Permut32::from_iter_with_ext(std::size_t n, std::uint8_t set) {
    if (n > 8) panic("Permutation length must be less than or equal to 8");
    Permut32 p;
    p.set_len(n);
    unsigned used = 0;
    unsigned rest = set;  // values not taken yet, ascending by bit
    for (std::size_t i = 0; i < n; ++i) {
        unsigned v;
        if (rest != 0) {
            v = static_cast<unsigned>(__builtin_ctz(rest));
            rest &= rest - 1;
        } else if (!(used & (1u << i))) {
            v = static_cast<unsigned>(i);
        } else {
            v = static_cast<unsigned>(__builtin_ctz(~used));
        }
        if (used & (1u << v)) panic("Permutation values must be unique");
        used |= 1u << v;
        p.raw |= v << (3 * i);
    }
    return p;
}

std::vector<std::uint8_t> Permut32::images() const {
    std::vector<std::uint8_t> out;
    Permut32Iter it{*this, 0};
    std::uint8_t v;
    while (it.next(v)) out.push_back(v);
    return out;
}

const std::vector<Permut32>& Permut32::all(std::size_t n) {
    check_index(n, 9);
    return ALL_PERMUTATIONS()[n];
}

std::pair<Permut32, Permut32> Permut32::coordinate_permute(Permut32 a, Permut32 b) noexcept {
    auto extend = [](Permut32 p, std::size_t n) {
        for (std::size_t k = p.len(); k < n && k < 8; ++k)
            p.raw |= static_cast<std::uint32_t>(k) << (3 * k);
        p.set_len(n);
        return p;
    };
    if (a.len() < b.len()) return {extend(a, b.len()), b};
    if (b.len() < a.len()) return {a, extend(b, a.len())};
    return {a, b};
}

Permut32 operator*(Permut32 a, Permut32 b) {
    if (a.len() != b.len()) panic("assertion failed: self.len() == other.len()");
    Permut32 r;
    std::size_t n = a.len() < 8 ? a.len() : 8;
    for (std::size_t i = 0; i < n; ++i) r.raw |= std::uint32_t{a.get(b.get(i))} << (3 * i);
    r.set_len(a.len());
    return r;
}

void Permut32::swap_inputs(std::size_t a, std::size_t b) {
    std::uint8_t va = at(a), vb = at(b);
    set(a, vb);
    set(b, va);
}

std::uint64_t Permut32::permut_bv(std::uint64_t x) const noexcept {
    std::uint64_t r = 0;
    std::size_t n = len() < 8 ? len() : 8;
    for (std::size_t i = 0; i < n; ++i) r |= ((x >> i) & 1u) << get(i);
    return r;
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> Permut32::generate_swaps() const {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> out;
    if (len() > 8) return out;  // no network for such a word; nothing to sort
    Permut32 p = *this;
    for (auto [a, b] : SORTING_NETWORKS[len()]) {
        if (p.get(a) > p.get(b)) {
            p.swap_inputs(a, b);
            out.emplace_back(a, b);
        }
    }
    return out;
}

bool Permut32::is_identity() const noexcept {
    std::size_t n = len() < 8 ? len() : 8;
    for (std::size_t i = 0; i < n; ++i)
        if (get(i) != i) return false;
    return true;
}

std::string Permut32::to_string() const {
    std::string s = "(";
    Permut32Iter it{*this, 0};
    std::uint8_t v;
    bool first = true;
    while (it.next(v)) {
        if (!first) s += ' ';
        first = false;
        s += static_cast<char>('0' + v);
    }
    s += ')';
    return s;
}

}  // namespace brimsel
