// The Python class StateVec, wrapping a StateVec.
#pragma once

#include "binding/convert.hpp"
#include "state/mod.hpp"

namespace brimsel::py {

template <>
struct PyClass<StateVec> {
    static constexpr const char* name = "StateVec";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

}  // namespace brimsel::py
