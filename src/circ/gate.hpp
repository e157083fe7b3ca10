// The process-wide gate table and Gate16, the 16-bit index that names a gate everywhere.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "panic.hpp"
#include "qreal_f64.hpp"
#include "utils/postcard.hpp"
#include "utils/siphash.hpp"
#include "utils/spin_rwlock.hpp"

namespace brimsel {

// A dense complex matrix stored column by column.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<QComplex> data;  // entry (r, c) at c * rows + r

    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c) {}
    // From rows listed top to bottom, each left to right.
    static Matrix from_rows(std::size_t n, std::initializer_list<QComplex> entries);

    QComplex& at(std::size_t r, std::size_t c) { return data[c * rows + r]; }
    const QComplex& at(std::size_t r, std::size_t c) const { return data[c * rows + r]; }
    Matrix conjugate_transpose() const;
    void hash(StableHasher& h) const noexcept;
    friend bool operator==(const Matrix&, const Matrix&) = default;
};

class Gate16;

struct GateData {
    std::string name;
    std::vector<std::string> params;
    Matrix matrix;
    std::optional<std::uint16_t> adjoint;

    static GateData new_(std::string name, std::vector<std::string> params, Matrix matrix) {
        return GateData{std::move(name), std::move(params), std::move(matrix), std::nullopt};
    }
    std::uint64_t hash_value() const noexcept;
    std::string display() const;
};

// The gate table holds at most this many entries (16-bit indices).
inline constexpr std::size_t kMaxGates = std::size_t{1} << 16;

class Gate16 {
public:
    std::uint16_t index = 0;

    constexpr Gate16() noexcept = default;
    constexpr explicit Gate16(std::uint16_t i) noexcept : index(i) {}

    // Registers a gate, or returns the existing one whose matrix hashes alike.
    static Gate16 new_(std::string name, std::vector<std::string> params, Matrix matrix);
    // The two checks of registration: a power-of-two row count, then a square matrix.
    static void check_matrix_shape(std::size_t rows, std::size_t cols);
    // The first gate whose whole display text equals `text`.
    static std::optional<Gate16> from_name(std::string_view text);
    // Loading of the saved form: a text that names no gate is an internal failure.
    static Gate16 deserialize(std::string_view text);

    std::string name() const;
    std::vector<std::string> params() const;
    std::size_t nqargs() const;
    Gate16 adjoint() const;
    Matrix matrix_copy() const;
    // Runs f on the matrix with the read lock held; f must not touch the table.
    template <class F>
    decltype(auto) matrix(F&& f) const;

    std::string to_string() const;  // display text, e.g. rz(pi/3)
    std::string debug() const;      // Gate(17 -> rz(pi/3))

    // Saved form: the display text. Loading resolves it with from_name and never registers.
    void serialize(postcard::Writer& w) const { w.str(to_string()); }
    // A text longer than the reader's scratch area cannot be read.
    static Gate16 deserialize(postcard::Reader& r) { return deserialize(r.str()); }

    void hash(StableHasher& h) const noexcept { h.write_u16(index); }
    std::uint64_t stable_hash() const noexcept {
        StableHasher h;
        hash(h);
        return h.finish();
    }

    friend bool operator==(Gate16, Gate16) noexcept = default;
    friend std::strong_ordering operator<=>(Gate16, Gate16) noexcept = default;
};

// Access to the table itself: a lock and the entries it guards.
namespace gate_table {

struct Table {
    SpinRwLock lock;
    std::vector<GateData> entries;
};

Table& instance();

// Shared access to one entry for the duration of f.
template <class F>
decltype(auto) with_entry(std::uint16_t index, F&& f) {
    Table& t = instance();
    t.lock.lock_shared();
    struct Release {
        Table& t;
        ~Release() { t.lock.unlock_shared(); }
    } release{t};
    check_index(index, t.entries.size());
    return f(static_cast<const GateData&>(t.entries[index]));
}

std::size_t size();

}  // namespace gate_table

template <class F>
decltype(auto) Gate16::matrix(F&& f) const {
    return gate_table::with_entry(index, [&](const GateData& d) -> decltype(auto) {
        return f(static_cast<const Matrix&>(d.matrix));
    });
}

}  // namespace brimsel
