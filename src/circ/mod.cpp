// Display and saved form of packed instructions.
#include "circ/mod.hpp"

namespace brimsel {

std::string Instr32::to_string() const {
    std::string s = gate.to_string();
    s += '(';
    bool first = true;
    for (std::uint8_t x : qargs.as_slice()) {
        if (!first) s += ", ";
        first = false;
        s += std::to_string(x);
    }
    s += ')';
    return s;
}

Instr32 Instr32::deserialize(postcard::Reader& r) {
    Gate16 g = Gate16::deserialize(r);
    std::uint8_t a = r.u8();
    std::uint8_t b = r.u8();
    auto valid = [](std::uint8_t q) { return q < kMaxQubits || q == kNoQubit; };
    if (!valid(a) || !valid(b)) throw postcard::Error("Qubit index must be less than 8");
    return Instr32(g, QArgs16(a, b));
}

}  // namespace brimsel
