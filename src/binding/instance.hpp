// Instance layout of the wrapped values, borrow flags, and conversion of wrapped classes by copy.
#pragma once

#include "binding/convert.hpp"
#include "binding/core.hpp"

#include <new>
#include <utility>

namespace brimsel::py {

// The value lives inline after the object header. `borrow` counts shared
// borrows; -1 marks the exclusive one.
template <class T>
struct Instance {
    PyObject_HEAD
    Py_ssize_t borrow;
    PyObject* dict;  // only used by classes that carry a __dict__
    T value;
};

template <class T>
constexpr bool has_borrow_flag() {
    return PyClass<T>::borrow_flag;
}

template <class T>
Instance<T>* instance_of(PyObject* o) noexcept {
    return reinterpret_cast<Instance<T>*>(o);
}

template <class T>
bool is_instance(PyObject* o) {
    PyTypeObject* t = PyClass<T>::type();
    if (!t) throw ErrorAlreadySet{};
    return Py_IS_TYPE(o, t);
}

// Shared access to a value for the length of a call.
template <class T>
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* o) : inst_(instance_of<T>(o)) {
        if constexpr (has_borrow_flag<T>()) {
            if (inst_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
            ++inst_->borrow;
        }
    }
    // Non-raising form: ok() tells whether the borrow was taken.
    SharedBorrow(PyObject* o, std::nothrow_t) noexcept : inst_(instance_of<T>(o)) {
        if constexpr (has_borrow_flag<T>()) {
            if (inst_->borrow < 0) {
                inst_ = nullptr;
                return;
            }
            ++inst_->borrow;
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if constexpr (has_borrow_flag<T>())
            if (inst_) --inst_->borrow;
    }
    bool ok() const noexcept { return inst_ != nullptr; }
    const T& get() const noexcept { return inst_->value; }

private:
    Instance<T>* inst_;
};

template <class T>
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* o) : inst_(instance_of<T>(o)) {
        static_assert(has_borrow_flag<T>(), "a value that never changes has no exclusive access");
        if (inst_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        inst_->borrow = -1;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { inst_->borrow = 0; }
    T& get() const noexcept { return inst_->value; }

private:
    Instance<T>* inst_;
};

// A new Python object of T's class holding `value`.
template <class T>
PyObject* wrap_new(T value) {
    PyTypeObject* type = PyClass<T>::type();
    if (!type) throw ErrorAlreadySet{};
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) throw ErrorAlreadySet{};
    auto* inst = instance_of<T>(o);
    inst->borrow = 0;
    inst->dict = nullptr;
    new (&inst->value) T(std::move(value));
    return o;
}

template <class T>
void dealloc(PyObject* o) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(o);
    auto* inst = instance_of<T>(o);
    Py_CLEAR(inst->dict);
    inst->value.~T();
    type->tp_free(o);
    Py_DECREF(type);
}

// Instances with a __dict__ take part in garbage collection, so that a cycle
// through their attributes is collected.
template <class T>
int traverse_dict(PyObject* o, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(instance_of<T>(o)->dict);
    return 0;
}

template <class T>
int clear_dict(PyObject* o) noexcept {
    Py_CLEAR(instance_of<T>(o)->dict);
    return 0;
}

// Values of wrapped classes convert by copy, under a shared borrow.
template <WrappedClass T>
struct FromPy<T> {
    static T convert(PyObject* o) {
        if (!is_instance<T>(o)) raise_downcast(o, PyClass<T>::name);
        SharedBorrow<T> b(o);
        return b.get();
    }
};

template <WrappedClass T>
struct ToPy<T> {
    static PyObject* convert(T v) { return wrap_new<T>(std::move(v)); }
};

}  // namespace brimsel::py
