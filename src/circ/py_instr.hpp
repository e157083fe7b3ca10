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

}  // namespace brimsel::py
