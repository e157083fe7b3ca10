// The Python class IdentityCirc, wrapping an IdentityCirc value.
#pragma once

#include "binding/convert.hpp"
#include "identity/idcircuit.hpp"

namespace brimsel::py {

template <>
struct PyClass<IdentityCirc> {
    static constexpr const char* name = "IdentityCirc";
    static constexpr bool borrow_flag = false;  // the value never changes after construction
    static PyTypeObject* type();
};

}  // namespace brimsel::py
