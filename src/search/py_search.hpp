// The Python classes ECC, ECCs, RawECCs and Evaluator.
#pragma once

#include "binding/convert.hpp"
#include "search/double_perm_search.hpp"
#include "search/mod.hpp"

namespace brimsel::py {

template <>
struct PyClass<ECC> {
    static constexpr const char* name = "ECC";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

template <>
struct PyClass<ECCs> {
    static constexpr const char* name = "ECCs";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

template <>
struct PyClass<RawECCs> {
    static constexpr const char* name = "RawECCs";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

template <>
struct PyClass<Evaluator> {
    static constexpr const char* name = "Evaluator";
    static constexpr bool borrow_flag = true;
    static PyTypeObject* type();
};

}  // namespace brimsel::py
