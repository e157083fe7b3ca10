// The NumPy C API, loaded on first use from its _ARRAY_API capsule.
#include "binding/numpy.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL brimsel_ARRAY_API
#define NO_IMPORT_ARRAY  // the table is loaded by ensure_numpy below
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

void** brimsel_ARRAY_API = nullptr;

#include <cstring>

#include "panic.hpp"
#include "utils/memory.hpp"

namespace brimsel::py {

namespace {

// Loads the API table: numpy._core (NumPy 2 and later) first, then numpy.core.
void ensure_numpy() {
    if (PyArray_API) return;
    Ref mod = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (!mod) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        mod = Ref::check(PyImport_ImportModule("numpy.core.multiarray"));
    }
    Ref capsule = Ref::check(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get()))
        raise(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
    void* api = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!api) throw ErrorAlreadySet{};
    void** table = static_cast<void**>(api);
    // The first entry reports the ABI version the table follows.
    auto abi = reinterpret_cast<unsigned int (*)(void)>(table[0])();
    if (abi != NPY_ABI_VERSION)
        raise(PyExc_ImportError, "the installed NumPy has an ABI this module was not built for");
    PyArray_API = table;
}

bool is_complex_matrix(PyObject* o) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 2) return false;
    PyArray_Descr* want = PyArray_DescrFromType(NPY_CDOUBLE);
    bool ok = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    return ok;
}

}  // namespace

Matrix FromPy<Matrix>::convert(PyObject* o) {
    ensure_numpy();
    Ref array;
    if (is_complex_matrix(o)) {
        array = Ref::borrow(o);
    } else {
        Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
        Ref asarray = Ref::check(PyObject_GetAttrString(numpy.get(), "asarray"));
        array = Ref::check(PyObject_CallOneArg(asarray.get(), o));
        if (!is_complex_matrix(array.get())) raise_downcast(o, "PyArray<T, D>");
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const npy_intp* shape = PyArray_SHAPE(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    if (strides[0] < 0 || strides[1] < 0) panic_unwrap_none();
    const auto rows = static_cast<std::size_t>(shape[0]);
    const auto cols = static_cast<std::size_t>(shape[1]);
    // A shape that registration refuses is refused before anything is copied.
    Gate16::check_matrix_shape(rows, cols);
    check_allocation(rows, cols);  // the entry count itself must not overflow
    check_allocation(rows * cols, sizeof(QComplex));
    Matrix m(rows, cols);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            double parts[2];
            std::memcpy(parts, base + static_cast<npy_intp>(i) * strides[0] +
                                   static_cast<npy_intp>(j) * strides[1],
                        sizeof parts);
            m.at(i, j) = QComplex{parts[0], parts[1]};
        }
    return m;
}

PyObject* ToPy<Matrix>::convert(const Matrix& m) {
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyObject* o = PyArray_New(&PyArray_Type, 2, dims, NPY_CDOUBLE, nullptr, nullptr, 0,
                              NPY_ARRAY_F_CONTIGUOUS, nullptr);
    if (!o) throw ErrorAlreadySet{};
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(o)));
    for (std::size_t k = 0; k < m.data.size(); ++k) {  // both column-major
        data[2 * k] = m.data[k].re.value;
        data[2 * k + 1] = m.data[k].im.value;
    }
    return o;
}

}  // namespace brimsel::py
