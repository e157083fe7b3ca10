// Conversions between Python objects and the core's value types.
#pragma once

#include "binding/core.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace brimsel::py {

// A Python class wrapping the value type T. Each class file specialises it with
//   static constexpr const char* name;      // the Python class name
//   static constexpr bool borrow_flag;      // false for values that never change
//   static PyTypeObject* type();            // created on first use
template <class T>
struct PyClass;

template <class T>
concept WrappedClass = requires {
    { PyClass<T>::name } -> std::convertible_to<const char*>;
    PyClass<T>::type();
};

// A parameter that may be left out; None given explicitly is converted like any value.
template <class T>
struct Default {
    std::optional<T> value;
    T value_or(T fallback) && { return value ? std::move(*value) : std::move(fallback); }
};

// A byte string result (returned to Python as `bytes`).
struct Bytes {
    std::string data;
};

// A borrowed Python object passed through unconverted.
struct Object {
    PyObject* ptr;
};

template <class T, class Enable = void>
struct FromPy;  // static T convert(PyObject*): raises a Python error on failure

template <class T, class Enable = void>
struct ToPy;  // static PyObject* convert(T): a new reference, or raises

template <class T>
PyObject* to_py(T&& v) {
    return ToPy<std::remove_cvref_t<T>>::convert(std::forward<T>(v));
}

template <class T>
T from_py(PyObject* o) {
    return FromPy<T>::convert(o);
}

[[noreturn]] void raise_downcast(PyObject* obj, const char* target);

// ---- integers --------------------------------------------------------------------------------

template <class T>
struct FromPy<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static T convert(PyObject* o) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) {
            Ref index = Ref::check(PyNumber_Index(o));
            unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
            return static_cast<T>(v);
        } else if constexpr (sizeof(T) == 8) {
            long long v = PyLong_AsLongLong(o);
            if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
            return static_cast<T>(v);
        } else {
            // Every value outside T's range gets the one text, also those
            // beyond a C long, for which PyLong_AsLong has a text of its own.
            int overflow = 0;
            long v = PyLong_AsLongAndOverflow(o, &overflow);
            if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
            if (overflow != 0 || v < static_cast<long>(std::numeric_limits<T>::min()) ||
                v > static_cast<long>(std::numeric_limits<T>::max()))
                raise(PyExc_OverflowError, "out of range integral type conversion attempted");
            return static_cast<T>(v);
        }
    }
};

template <class T>
struct ToPy<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static PyObject* convert(T v) {
        PyObject* r;
        if constexpr (std::is_unsigned_v<T>)
            r = PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
        else
            r = PyLong_FromLongLong(static_cast<long long>(v));
        if (!r) throw ErrorAlreadySet{};
        return r;
    }
};

template <>
struct FromPy<bool> {
    static bool convert(PyObject* o) {
        if (!PyBool_Check(o)) raise_downcast(o, "PyBool");
        return o == Py_True;
    }
};

template <>
struct ToPy<bool> {
    static PyObject* convert(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

template <>
struct FromPy<double> {
    static double convert(PyObject* o) {
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return v;
    }
};

template <>
struct ToPy<double> {
    static PyObject* convert(double v) {
        PyObject* r = PyFloat_FromDouble(v);
        if (!r) throw ErrorAlreadySet{};
        return r;
    }
};

// ---- texts -----------------------------------------------------------------------------------

template <>
struct FromPy<std::string> {
    static std::string convert(PyObject* o);
};

template <>
struct ToPy<std::string> {
    static PyObject* convert(const std::string& s);
};

template <>
struct ToPy<Bytes> {
    static PyObject* convert(const Bytes& b);
};

// ---- sequences -------------------------------------------------------------------------------

// Iterates a Python sequence (not a str) and hands each item to `each`.
void for_each_sequence_item(PyObject* o, void (*each)(PyObject* item, void* ctx), void* ctx);

template <class T>
struct FromPy<std::vector<T>> {
    static std::vector<T> convert(PyObject* o) {
        std::vector<T> out;
        for_each_sequence_item(
            o, [](PyObject* item, void* ctx) {
                static_cast<std::vector<T>*>(ctx)->push_back(FromPy<T>::convert(item));
            },
            &out);
        return out;
    }
};

template <class T>
struct ToPy<std::vector<T>> {
    static PyObject* convert(const std::vector<T>& v) {
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (std::size_t i = 0; i < v.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), ToPy<T>::convert(v[i]));
        return list.release();
    }
};

template <class T>
struct ToPy<std::optional<T>> {
    static PyObject* convert(const std::optional<T>& v) {
        if (!v) Py_RETURN_NONE;
        return ToPy<T>::convert(*v);
    }
};

// None, or the value converted as T.
template <class T>
struct FromPy<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return FromPy<T>::convert(o);
    }
};

// ---- pairs as 2-tuples -----------------------------------------------------------------------

template <class A, class B>
struct FromPy<std::pair<A, B>> {
    static std::pair<A, B> convert(PyObject* o) {
        if (!PyTuple_Check(o)) raise_downcast(o, "PyTuple");
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n != 2)
            raise(PyExc_ValueError,
                  "expected tuple of length 2, but got tuple of length " + std::to_string(n));
        A a = FromPy<A>::convert(PyTuple_GET_ITEM(o, 0));
        B b = FromPy<B>::convert(PyTuple_GET_ITEM(o, 1));
        return {std::move(a), std::move(b)};
    }
};

template <class A, class B>
struct ToPy<std::pair<A, B>> {
    static PyObject* convert(const std::pair<A, B>& p) {
        Ref a = Ref::check(ToPy<A>::convert(p.first));
        Ref b = Ref::check(ToPy<B>::convert(p.second));
        return Ref::check(PyTuple_Pack(2, a.get(), b.get())).release();
    }
};

template <>
struct ToPy<Ref> {
    static PyObject* convert(Ref r) { return r.release(); }
};

template <>
struct FromPy<Object> {
    static Object convert(PyObject* o) { return Object{o}; }
};

}  // namespace brimsel::py
