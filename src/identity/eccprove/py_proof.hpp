// The Python class Proof, wrapping a Proof value.
#pragma once

#include "binding/convert.hpp"
#include "identity/eccprove/proof.hpp"

namespace brimsel::py {

template <>
struct PyClass<Proof> {
    static constexpr const char* name = "Proof";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

}  // namespace brimsel::py
