// Gate matrices to and from two-dimensional complex128 NumPy arrays.
#pragma once

#include "binding/convert.hpp"
#include "circ/gate.hpp"

namespace brimsel::py {

// Accepts a complex128 array of two dimensions, or anything numpy.asarray turns
// into one; any non-negative strides. Raises TypeError otherwise.
template <>
struct FromPy<Matrix> {
    static Matrix convert(PyObject* o);
};

// A new complex128 array of shape (rows, cols) in column-major order.
template <>
struct ToPy<Matrix> {
    static PyObject* convert(const Matrix& m);
};

}  // namespace brimsel::py
