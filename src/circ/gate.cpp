// Gate registration, lookup, adjoints and display over the locked, append-only table.
#include "circ/gate.hpp"

#include <array>

#include <mutex>

#include "circ/gate/gates.hpp"

namespace brimsel {

Matrix Matrix::from_rows(std::size_t n, std::initializer_list<QComplex> entries) {
    check(entries.size() == n * n, "Matrix must be squared");
    Matrix m(n, n);
    std::size_t k = 0;
    for (const QComplex& e : entries) {
        m.at(k / n, k % n) = e;
        ++k;
    }
    return m;
}

Matrix Matrix::conjugate_transpose() const {
    Matrix r(cols, rows);
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t rr = 0; rr < rows; ++rr) {
            const QComplex& e = at(rr, c);
            r.at(c, rr) = QComplex{e.re, Qreal(-e.im.value)};
        }
    return r;
}

void Matrix::hash(StableHasher& h) const noexcept {
    h.write_len(rows);
    h.write_len(cols);
    for (const QComplex& e : data) e.hash(h);  // column by column, top to bottom
}

std::uint64_t GateData::hash_value() const noexcept {
    StableHasher h;
    if (matrix.rows == 0 || matrix.cols == 0)
        h.write_str(name);
    else
        matrix.hash(h);
    return h.finish();
}

std::string GateData::display() const {
    std::string s = name;
    if (!params.empty()) {
        s += '(';
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (i) s += ", ";
            s += params[i];
        }
        s += ')';
    }
    return s;
}

namespace gate_table {

Table& instance() {
    static Table* table = [] {
        auto* t = new Table;  // lives until the process ends
        t->entries = initial_gates();
        return t;
    }();
    return *table;
}

std::size_t size() {
    Table& t = instance();
    t.lock.lock_shared();
    std::size_t n = t.entries.size();
    t.lock.unlock_shared();
    return n;
}

}  // namespace gate_table

namespace {

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

struct ReadGuard {
    SpinRwLock& lock;
    explicit ReadGuard(SpinRwLock& l) : lock(l) { lock.lock_shared(); }
    ~ReadGuard() { lock.unlock_shared(); }
};

struct WriteGuard {
    SpinRwLock& lock;
    explicit WriteGuard(SpinRwLock& l) : lock(l) { lock.lock(); }
    ~WriteGuard() { lock.unlock(); }
};

}  // namespace

void Gate16::check_matrix_shape(std::size_t rows, std::size_t cols) {
    if (!is_power_of_two(rows)) panic("Matrix must have a number of rows that is a power of two");
    if (rows != cols) panic("Matrix must be squared");
}

Gate16 Gate16::new_(std::string name, std::vector<std::string> params, Matrix matrix) {
    check_matrix_shape(matrix.rows, matrix.cols);
    GateData entry = GateData::new_(std::move(name), std::move(params), std::move(matrix));
    const std::uint64_t hash = entry.hash_value();

    gate_table::Table& t = gate_table::instance();
    WriteGuard guard(t.lock);
    for (std::size_t i = 0; i < t.entries.size(); ++i)
        if (t.entries[i].hash_value() == hash) return Gate16(static_cast<std::uint16_t>(i));
    const std::size_t index = t.entries.size();
    // Refuse before appending: an index must never be handed out twice.
    if (index >= kMaxGates) panic("Gate table is full: no index is left for a new gate");
    t.entries.push_back(std::move(entry));
    return Gate16(static_cast<std::uint16_t>(index));
}

std::optional<Gate16> Gate16::from_name(std::string_view text) {
    gate_table::Table& t = gate_table::instance();
    ReadGuard guard(t.lock);
    for (std::size_t i = 0; i < t.entries.size(); ++i)
        if (t.entries[i].display() == text) return Gate16(static_cast<std::uint16_t>(i));
    return std::nullopt;
}

Gate16 Gate16::deserialize(std::string_view text) {
    if (auto g = from_name(text)) return *g;
    panic("Failed to deserialize Gate16 from " + std::string(text));
}

std::string Gate16::name() const {
    return gate_table::with_entry(index, [](const GateData& d) { return d.name; });
}

std::vector<std::string> Gate16::params() const {
    return gate_table::with_entry(index, [](const GateData& d) { return d.params; });
}

std::size_t Gate16::nqargs() const {
    return gate_table::with_entry(index, [](const GateData& d) -> std::size_t {
        return static_cast<std::size_t>(__builtin_ctzll(d.matrix.rows));
    });
}

Matrix Gate16::matrix_copy() const {
    return matrix([](const Matrix& m) { return m; });
}

Gate16 Gate16::adjoint() const {
    // Each thread remembers the adjoints it has looked up: a known adjoint never changes,
    // and the prover's workers ask for them millions of times, which would otherwise keep
    // the table lock's word bouncing between cores.
    struct Seen {
        std::uint16_t gate = 0;
        std::uint16_t adjoint = 0;
        bool valid = false;
    };
    thread_local std::array<Seen, 64> seen{};
    Seen& slot = seen[index & 63u];
    if (slot.valid && slot.gate == index) return Gate16(slot.adjoint);
    auto cached = gate_table::with_entry(index, [](const GateData& d) { return d.adjoint; });
    if (cached) {
        slot = Seen{index, *cached, true};
        return Gate16(*cached);
    }
    std::string adj_name = name() + "\xE2\x80\xA0";  // U+2020 DAGGER
    std::vector<std::string> adj_params = params();
    Matrix adj_matrix = matrix([](const Matrix& m) { return m.conjugate_transpose(); });
    Gate16 result = Gate16::new_(std::move(adj_name), std::move(adj_params), std::move(adj_matrix));
    gate_table::Table& t = gate_table::instance();
    {
        WriteGuard guard(t.lock);
        t.entries[index].adjoint = result.index;
    }
    return result;
}

std::string Gate16::to_string() const {
    // Name and parameters under two separate read acquisitions.
    std::string s = name();
    std::vector<std::string> ps = params();
    if (!ps.empty()) {
        s += '(';
        for (std::size_t i = 0; i < ps.size(); ++i) {
            if (i) s += ", ";
            s += ps[i];
        }
        s += ')';
    }
    return s;
}

std::string Gate16::debug() const {
    return "Gate(" + std::to_string(index) + " -> " + to_string() + ")";
}

}  // namespace brimsel
