// Non-template parts of the binding layer: error translation, argument unpacking, type creation.
#include "binding/core.hpp"
#include "binding/args.hpp"
#include "binding/class.hpp"

#include <new>
#include <stdexcept>

#include "panic.hpp"

namespace brimsel::py {

void raise(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(),
                                                      static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw ErrorAlreadySet{};
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once, under the interpreter lock
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "brimsel.PanicException",
            "Raised when an internal failure ends a call (a violated invariant or refused input).\n\n"
            "Derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

namespace {

void set_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the creation error is pending
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic("error indicator was not set after a failed call");
    } catch (const Panic& p) {
        report_once(p);
        set_panic(p.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // Not raised through panic(): report it the same way.
        try {
            panic(e.what());
        } catch (const Panic& p) {
            set_panic(p.message());
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (...) {
        set_panic("unknown C++ exception");
    }
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
}

std::string str_of(PyObject* obj) {
    Ref s = Ref::check(PyObject_Str(obj));
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &len);
    if (!data) throw ErrorAlreadySet{};
    return std::string(data, static_cast<std::size_t>(len));
}

// ---- argument unpacking -------------------------------------------------------------------

namespace {

std::string list_names(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

[[noreturn]] void shape_error(const Signature& sig, const std::string& what) {
    raise(PyExc_TypeError, std::string(sig.qualname) + "() " + what);
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t klen = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &klen);
    if (!k) throw ErrorAlreadySet{};
    std::string_view kv(k, static_cast<std::size_t>(klen));
    for (std::size_t i = 0; i < sig.nparams; ++i) {
        if (kv == sig.names[i]) {
            if (out[i]) shape_error(sig, "got multiple values for argument '" + std::string(kv) + "'");
            out[i] = value;
            return;
        }
    }
    shape_error(sig, "got an unexpected keyword argument '" + std::string(kv) + "'");
}

void check_missing(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.nparams; ++i)
        if (!out[i] && sig.required[i]) missing.push_back(sig.names[i]);
    if (missing.empty()) return;
    shape_error(sig, "missing " + std::to_string(missing.size()) + " required positional argument" +
                         (missing.size() == 1 ? "" : "s") + ": " + list_names(missing));
}

void check_positional_count(const Signature& sig, std::size_t given) {
    if (given > sig.nparams)
        shape_error(sig, "takes " + std::to_string(sig.nparams) + " positional arguments but " +
                             std::to_string(given) + " were given");
}

}  // namespace

void unpack_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
    const auto npos = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    check_positional_count(sig, npos);
    for (std::size_t i = 0; i < sig.nparams; ++i) out[i] = i < npos ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[npos + static_cast<std::size_t>(j)],
                          out);
    }
    check_missing(sig, out);
}

void unpack_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const auto npos = static_cast<std::size_t>(args ? PyTuple_GET_SIZE(args) : 0);
    check_positional_count(sig, npos);
    for (std::size_t i = 0; i < sig.nparams; ++i)
        out[i] = i < npos ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
    }
    check_missing(sig, out);
}

namespace {

// The pending exception as one object, and back: the calls of Python 3.12 and
// later, made from the older triple-based ones before that.
PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void set_raised_exception(PyObject* exc) noexcept {  // steals exc
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace

void wrap_argument_error(const char* name) {
    // Only type errors are wrapped with the parameter name; others pass unchanged.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* original = take_raised_exception();
    if (!original) return;
    std::string message;
    try {
        message = str_of(original);
    } catch (const ErrorAlreadySet&) {
        PyErr_Clear();
    }
    Ref text = Ref::steal(PyUnicode_FromString(("argument '" + std::string(name) + "': " + message).c_str()));
    PyObject* wrapped = text ? PyObject_CallOneArg(PyExc_TypeError, text.get()) : nullptr;
    if (!wrapped) {
        Py_DECREF(original);
        return;  // the error of building the new one is pending
    }
    // Keep the original error as the cause, as a reader of the traceback expects.
    PyException_SetCause(wrapped, original);  // steals original
    set_raised_exception(wrapped);
}

// ---- type creation --------------------------------------------------------------------------

PyTypeObject* ClassBuilderBase::create() {
    auto& self = *this;
    // The tables must outlive the type: they are kept with the builder, which lives forever.
    std::string doc = self.has_ctor_ ? self.name_ + self.ctor_signature_ + "\n--\n\n" + self.doc_
                                     : self.doc_;
    self.doc_storage_ = std::move(doc);
    self.methods_.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    self.getsets_.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
    self.slots_.push_back(PyType_Slot{Py_tp_doc, const_cast<char*>(self.doc_storage_.c_str())});
    if (self.methods_.size() > 1) self.slots_.push_back(PyType_Slot{Py_tp_methods, self.methods_.data()});
    if (self.getsets_.size() > 1) self.slots_.push_back(PyType_Slot{Py_tp_getset, self.getsets_.data()});
    if (!self.members_.empty()) {
        self.members_.push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
        self.slots_.push_back(PyType_Slot{Py_tp_members, self.members_.data()});
    }
    self.slots_.push_back(PyType_Slot{0, nullptr});
    self.qualified_name_ = "builtins." + self.name_;
    unsigned flags = Py_TPFLAGS_DEFAULT;
    if (!self.has_ctor_) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    if (self.has_dict_) flags |= Py_TPFLAGS_HAVE_GC;
    self.spec_ = PyType_Spec{self.qualified_name_.c_str(), self.basicsize_, 0, flags, self.slots_.data()};
    PyObject* type = PyType_FromSpec(&self.spec_);
    return reinterpret_cast<PyTypeObject*>(type);
}

const char* ClassBuilderBase::method_doc(const char* name, bool with_self,
                                         const char* const* params, const bool* required,
                                         const bool* none_default, std::size_t n,
                                         const char* description) {
    std::string s = name;
    s += '(';
    bool first = true;
    if (with_self) {
        s += "$self";
        first = false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!first) s += ", ";
        first = false;
        s += params[i];
        if (!required[i]) s += none_default[i] ? "=None" : "=...";
    }
    s += ")\n--\n\n";
    s += description;
    return keep(std::move(s));
}

const std::string& intern_qualname(const char* cls, const char* method) {
    static std::deque<std::string> names;  // stable addresses; guarded by the interpreter lock
    return names.emplace_back(std::string(cls) + "." + method);
}

void raise_downcast(PyObject* obj, const char* target) {
    raise(PyExc_TypeError,
          "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

std::string FromPy<std::string>::convert(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_downcast(o, "PyString");
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &len);
    if (!data) throw ErrorAlreadySet{};
    return std::string(data, static_cast<std::size_t>(len));
}

PyObject* ToPy<std::string>::convert(const std::string& s) {
    PyObject* r = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!r) throw ErrorAlreadySet{};
    return r;
}

PyObject* ToPy<Bytes>::convert(const Bytes& b) {
    PyObject* r = PyBytes_FromStringAndSize(b.data.data(), static_cast<Py_ssize_t>(b.data.size()));
    if (!r) throw ErrorAlreadySet{};
    return r;
}

void for_each_sequence_item(PyObject* o, void (*each)(PyObject* item, void* ctx), void* ctx) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_downcast(o, "Sequence");
    Ref it = Ref::check(PyObject_GetIter(o));
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            throw_if_error();
            return;
        }
        each(item.get(), ctx);
    }
}

}  // namespace brimsel::py
