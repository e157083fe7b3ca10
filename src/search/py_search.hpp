// The Python classes ECC, ECCs, RawECCs and Evaluator.
#pragma once

#include "binding/class.hpp"
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

// An argument object of another class, only read for the length of the call.
template <class T>
struct Borrowed {
    PyObject* obj;
};

template <class T>
struct FromPy<Borrowed<T>> {
    static Borrowed<T> convert(PyObject* o) {
        if (!is_instance<T>(o)) raise_downcast(o, PyClass<T>::name);
        return Borrowed<T>{o};
    }
};

// Holds the shared borrow of such an argument while the call runs.
template <class T>
struct ArgBorrow {
    SharedBorrow<T> borrow;
    explicit ArgBorrow(const Borrowed<T>& b) : borrow(b.obj) {}
    const T& get() const { return borrow.get(); }
};

// The query and cross-check members of RawECCs, added to its class (py_queries.cpp).
void add_raweccs_queries(ClassBuilder<RawECCs>& c);

}  // namespace brimsel::py
