// The Python class Gate, wrapping a Gate16.
#pragma once

#include "binding/convert.hpp"
#include "circ/gate.hpp"

namespace brimsel::py {

template <>
struct PyClass<Gate16> {
    static constexpr const char* name = "Gate";
    static constexpr bool borrow_flag = false;  // a gate index never changes
    static PyTypeObject* type();
};

}  // namespace brimsel::py
