// The Python class IdentityProver, wrapping an IdentityProver value.
#pragma once

#include "binding/convert.hpp"
#include "identity/eccprove.hpp"

namespace brimsel::py {

template <>
struct PyClass<IdentityProver> {
    static constexpr const char* name = "IdentityProver";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

}  // namespace brimsel::py
