// Permutations at the Python boundary: out as a tuple of ints, in from any sequence of ints.
#pragma once

#include "binding/convert.hpp"
#include "groups/permutation.hpp"

namespace brimsel::py {

template <>
struct FromPy<Permut32> {
    // Items convert as 8-bit unsigned integers; the values then go through the
    // validating construction, whose refusals are internal failures.
    static Permut32 convert(PyObject* o) {
        std::vector<std::uint8_t> values = FromPy<std::vector<std::uint8_t>>::convert(o);
        return Permut32::from_iter(values);
    }
};

template <>
struct ToPy<Permut32> {
    static PyObject* convert(Permut32 p) {
        Ref t = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(p.len() < 8 ? p.len() : 8)));
        Permut32Iter it{p, 0};
        std::uint8_t v;
        Py_ssize_t i = 0;
        while (it.next(v)) PyTuple_SET_ITEM(t.get(), i++, PyLong_FromLong(v));
        return t.release();
    }
};

}  // namespace brimsel::py
