// The Python class Circ, wrapping a Circ value.
#pragma once

#include "binding/convert.hpp"
#include "identity/circuit.hpp"

namespace brimsel::py {

template <>
struct PyClass<Circ> {
    static constexpr const char* name = "Circ";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

}  // namespace brimsel::py
