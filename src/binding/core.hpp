// Binding layer basics: owned references, raising Python errors from C++, and the one translator of C++ failures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace brimsel::py {

// Thrown after a Python exception has been set; the translator leaves it pending.
struct ErrorAlreadySet {};

// An owned (strong) reference.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Steals a new reference; a null result means a Python error is pending.
    static Ref check(PyObject* p) {
        if (!p) throw ErrorAlreadySet{};
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets a Python exception and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Throws ErrorAlreadySet if a Python error is pending (after a C API call that may fail).
inline void throw_if_error() {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// The exception type of internal failures: derives from BaseException.
PyObject* panic_exception_type();

// Turns the C++ exception being handled into a pending Python exception.
// Call only from inside a catch block.
void translate_current_exception() noexcept;

// Runs f, answering every C++ exception with a pending Python error and `on_error`.
template <class F, class R>
R guard(F&& f, R on_error) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return on_error;
    }
}

// The qualified name of an object's type, as Python error texts show it ("int", "Gate").
std::string type_qualname(PyObject* obj);

// str(obj) as UTF-8.
std::string str_of(PyObject* obj);

}  // namespace brimsel::py
