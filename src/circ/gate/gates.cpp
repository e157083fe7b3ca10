// Built-in gate matrices with their exact double values.
#include "circ/gate/gates.hpp"

#include <bit>

namespace brimsel {

namespace {

// 1/sqrt(2) and the double-precision cosines and sines of the phases.
constexpr double r = 0x1.6a09e667f3bcdp-1;
constexpr double c4 = 0x1.6a09e667f3bcdp-1, s4 = 0x1.6a09e667f3bccp-1;
constexpr double c8 = 0x1.d906bcf328d46p-1, s8 = 0x1.87de2a6aea963p-2;
constexpr double c3 = 0x1.0000000000001p-1, s3 = 0x1.bb67ae8584caap-1;
constexpr double c5 = 0x1.9e3779b97f4a8p-1, s5 = 0x1.2cf2304755a5ep-1;
constexpr double c16 = 0x1.f6297cff75cb0p-1, s16 = 0x1.8f8b83c69a60ap-3;

static_assert(std::bit_cast<std::uint64_t>(r) == 0x3FE6A09E667F3BCDull);
static_assert(std::bit_cast<std::uint64_t>(s4) == 0x3FE6A09E667F3BCCull);
static_assert(std::bit_cast<std::uint64_t>(c8) == 0x3FED906BCF328D46ull);
static_assert(std::bit_cast<std::uint64_t>(s8) == 0x3FD87DE2A6AEA963ull);
static_assert(std::bit_cast<std::uint64_t>(c3) == 0x3FE0000000000001ull);
static_assert(std::bit_cast<std::uint64_t>(s3) == 0x3FEBB67AE8584CAAull);
static_assert(std::bit_cast<std::uint64_t>(c5) == 0x3FE9E3779B97F4A8ull);
static_assert(std::bit_cast<std::uint64_t>(s5) == 0x3FE2CF2304755A5Eull);
static_assert(std::bit_cast<std::uint64_t>(c16) == 0x3FEF6297CFF75CB0ull);
static_assert(std::bit_cast<std::uint64_t>(s16) == 0x3FC8F8B83C69A60Aull);

constexpr QComplex O{0.0, 0.0};
constexpr QComplex I1{1.0, 0.0};
constexpr QComplex M1{-1.0, 0.0};
constexpr QComplex Ii{0.0, 1.0};
constexpr QComplex Mi{0.0, -1.0};

GateData g(const char* name, std::initializer_list<QComplex> rows, std::size_t n,
           std::vector<std::string> params = {}) {
    return GateData::new_(name, std::move(params), Matrix::from_rows(n, rows));
}

GateData phase(const char* name, double c, double s, std::vector<std::string> params = {}) {
    return g(name, {I1, O, O, QComplex{c, s}}, 2, std::move(params));
}

Gate16 named(const char* text) {
    auto found = Gate16::from_name(text);
    if (!found) panic_unwrap_none();
    return *found;
}

}  // namespace

std::vector<GateData> initial_gates() {
    std::vector<GateData> v;
    v.reserve(kBuiltinGateCount);
    v.push_back(g("i", {I1, O, O, I1}, 2));
    v.push_back(g("h", {QComplex{r, 0.0}, QComplex{r, 0.0}, QComplex{r, 0.0}, QComplex{-r, 0.0}}, 2));
    v.push_back(g("x", {O, I1, I1, O}, 2));
    v.push_back(g("z", {I1, O, O, M1}, 2));
    v.push_back(g("y", {O, Mi, Ii, O}, 2));
    v.push_back(g("s", {I1, O, O, Ii}, 2));
    v.push_back(g("sdg", {I1, O, O, Mi}, 2));
    v.push_back(phase("t", c4, s4));
    v.push_back(phase("tdg", c4, -s4));
    v.push_back(g("cx", {I1, O, O, O, O, I1, O, O, O, O, O, I1, O, O, I1, O}, 4));
    v.push_back(g("cz", {I1, O, O, O, O, I1, O, O, O, O, I1, O, O, O, O, M1}, 4));
    v.push_back(g("cy", {I1, O, O, O, O, I1, O, O, O, O, O, Mi, O, O, Ii, O}, 4));
    v.push_back(g("cs", {I1, O, O, O, O, I1, O, O, O, O, I1, O, O, O, O, Ii}, 4));
    v.push_back(g("csdg", {I1, O, O, O, O, I1, O, O, O, O, I1, O, O, O, O, Mi}, 4));
    v.push_back(g("swap", {I1, O, O, O, O, O, I1, O, O, I1, O, O, O, O, O, I1}, 4));
    v.push_back(phase("t1/2", c8, s8));
    v.push_back(phase("tdg1/2", c8, -s8));
    v.push_back(phase("rz", c3, s3, {"pi/3"}));
    v.push_back(phase("rz", c3, -s3, {"-pi/3"}));
    v.push_back(phase("rz", c5, s5, {"pi/5"}));
    v.push_back(phase("rz", c5, -s5, {"-pi/5"}));
    v.push_back(phase("rz", c16, s16, {"pi/16"}));
    v.push_back(phase("rz", c16, -s16, {"-pi/16"}));
    return v;
}

namespace gates {

Gate16 H() { static const Gate16 g = named("h"); return g; }
Gate16 X() { static const Gate16 g = named("x"); return g; }
Gate16 Z() { static const Gate16 g = named("z"); return g; }
Gate16 T() { static const Gate16 g = named("t"); return g; }
Gate16 TDG() { static const Gate16 g = named("tdg"); return g; }
Gate16 S() { static const Gate16 g = named("s"); return g; }
Gate16 SDG() { static const Gate16 g = named("sdg"); return g; }
Gate16 CX() { static const Gate16 g = named("cx"); return g; }
Gate16 SWAP() { static const Gate16 g = named("swap"); return g; }

}  // namespace gates
}  // namespace brimsel
