// The built-in gates at their fixed indices 0..22, and the named gates other code refers to.
#pragma once

#include <vector>

#include "circ/gate.hpp"

namespace brimsel {

// The 23 built-in entries in index order; the table is created holding them.
std::vector<GateData> initial_gates();

inline constexpr std::size_t kBuiltinGateCount = 23;

namespace gates {

// Resolved once, on first use, by display text.
Gate16 H();
Gate16 X();
Gate16 Z();
Gate16 T();
Gate16 TDG();
Gate16 S();
Gate16 SDG();
Gate16 CX();
Gate16 SWAP();

}  // namespace gates
}  // namespace brimsel
