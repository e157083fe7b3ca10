// The Python classes Instr (a packed Instr32), Argument and Instruction.
#pragma once

#include "binding/convert.hpp"
#include "circ/mod.hpp"

namespace brimsel::py {

template <>
struct PyClass<Instr32> {
    static constexpr const char* name = "Instr";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

template <>
struct PyClass<Argument> {
    static constexpr const char* name = "Argument";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

template <>
struct PyClass<Instruction> {
    static constexpr const char* name = "Instruction";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

// Qubits given by callers: at most two, each below 8.
QArgs16 checked_qargs(std::span<const std::uint8_t> qubits);

}  // namespace brimsel::py
