// Declarative Python classes: the builder that turns a list of C++ functions into a type object.
#pragma once

#include "binding/instance.hpp"
#include "binding/wrappers.hpp"

#include <structmember.h>

#include <deque>
#include <string>
#include <vector>

namespace brimsel::py {

// Collects slots, methods and attributes; the tables live as long as the type (forever).
class ClassBuilderBase {
public:
    ClassBuilderBase(std::string name, std::string doc, int basicsize)
        : name_(std::move(name)), doc_(std::move(doc)), basicsize_(basicsize) {}
    ClassBuilderBase(const ClassBuilderBase&) = delete;

    // Creates the type; null with a pending error on failure.
    PyTypeObject* create();

protected:
    const char* keep(std::string s) { return strings_.emplace_back(std::move(s)).c_str(); }
    // "name($self, a, b=None)\n--\n\n" + description
    const char* method_doc(const char* name, bool with_self, const char* const* params,
                           const bool* required, const bool* none_default, std::size_t n,
                           const char* description);
    void add_slot(int slot, void* fn) { slots_.push_back(PyType_Slot{slot, fn}); }

    std::string name_;
    std::string doc_;
    int basicsize_;
    bool has_ctor_ = false;
    bool has_dict_ = false;
    std::string ctor_signature_;
    std::deque<std::string> strings_;
    std::vector<PyType_Slot> slots_;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
    std::vector<PyMemberDef> members_;
    std::string qualified_name_;
    std::string doc_storage_;
    PyType_Spec spec_{};
};

template <class L>
struct none_defaults;
template <class... A>
struct none_defaults<type_list<A...>> {
    static constexpr bool list[sizeof...(A) ? sizeof...(A) : 1] = {
        is_std_optional<std::remove_cvref_t<A>>::value...};
};

template <class T>
class ClassBuilder : public ClassBuilderBase {
public:
    // `description` is the class docstring without its text signature.
    explicit ClassBuilder(const char* description)
        : ClassBuilderBase(PyClass<T>::name, description, static_cast<int>(sizeof(Instance<T>))) {
        add_slot(Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>));
    }

    template <auto F, fixed_string... P>
    ClassBuilder& constructor() {
        using W = ConstructorWrapper<T, F, P...>;
        using params = typename fn_info<decltype(F)>::params;
        has_ctor_ = true;
        std::string sig = method_doc("", false, names_of<P...>::list, W::conv::required,
                                     none_defaults<params>::list, sizeof...(P), "");
        ctor_signature_ = sig.substr(0, sig.find("\n--"));
        add_slot(Py_tp_new, reinterpret_cast<void*>(&W::tp_new));
        return *this;
    }

    template <fixed_string M, auto F, fixed_string... P>
    ClassBuilder& method(const char* description) {
        using W = MethodWrapper<T, M, F, P...>;
        const char* doc = method_doc(M.c_str(), true, names_of<P...>::list, W::conv::required,
                                     none_defaults<typename W::rest>::list, sizeof...(P),
                                     description);
        if constexpr (sizeof...(P) == 0)
            methods_.push_back(PyMethodDef{M.c_str(), reinterpret_cast<PyCFunction>(&W::noargs),
                                           METH_NOARGS, doc});
        else
            methods_.push_back(PyMethodDef{
                M.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&W::fastcall)),
                METH_FASTCALL | METH_KEYWORDS, doc});
        return *this;
    }

    template <fixed_string M, auto F, fixed_string... P>
    ClassBuilder& static_method(const char* description) {
        using W = StaticWrapper<T, M, F, P...>;
        const char* doc = method_doc(M.c_str(), false, names_of<P...>::list, W::conv::required,
                                     none_defaults<typename fn_info<decltype(F)>::params>::list,
                                     sizeof...(P), description);
        if constexpr (sizeof...(P) == 0)
            methods_.push_back(PyMethodDef{M.c_str(), reinterpret_cast<PyCFunction>(&W::noargs),
                                           METH_NOARGS | METH_STATIC, doc});
        else
            methods_.push_back(PyMethodDef{
                M.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&W::fastcall)),
                METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc});
        return *this;
    }

    // A computed read-only attribute; `doc` may be null.
    template <fixed_string Name, auto Get>
    ClassBuilder& getter(const char* doc) {
        getsets_.push_back(PyGetSetDef{Name.c_str(), &GetterWrapper<T, Get>::get, nullptr, doc, nullptr});
        return *this;
    }

    // A stored field exposed for reading and writing (no docstring).
    template <fixed_string Name, auto Get, auto Set>
    ClassBuilder& property() {
        getsets_.push_back(PyGetSetDef{Name.c_str(), &GetterWrapper<T, Get>::get,
                                       &SetterWrapper<T, Set, Name>::set, nullptr, nullptr});
        return *this;
    }

    template <auto F>
    ClassBuilder& hash() {
        add_slot(Py_tp_hash, reinterpret_cast<void*>(&HashWrapper<T, F>::hash));
        return *this;
    }
    ClassBuilder& eq() {
        add_slot(Py_tp_richcompare, reinterpret_cast<void*>(&CompareWrapper<T, false>::richcmp));
        return *this;
    }
    ClassBuilder& ordered() {
        add_slot(Py_tp_richcompare, reinterpret_cast<void*>(&CompareWrapper<T, true>::richcmp));
        return *this;
    }
    template <auto F>
    ClassBuilder& str() {
        add_slot(Py_tp_str, reinterpret_cast<void*>(&TextWrapper<T, F>::text));
        return *this;
    }
    template <auto F>
    ClassBuilder& repr() {
        add_slot(Py_tp_repr, reinterpret_cast<void*>(&TextWrapper<T, F>::text));
        return *this;
    }
    template <auto F>
    ClassBuilder& len() {
        add_slot(Py_sq_length, reinterpret_cast<void*>(&LenWrapper<T, F>::len));
        add_slot(Py_mp_length, reinterpret_cast<void*>(&LenWrapper<T, F>::len));
        return *this;
    }
    // F(const T&, K) -> R; the key is converted as the parameter named Key.
    template <auto F, fixed_string Key = "index">
    ClassBuilder& getitem() {
        using W = GetItemWrapper<T, F, Key>;
        add_slot(Py_mp_subscript, reinterpret_cast<void*>(&W::subscript));
        add_slot(Py_sq_item, reinterpret_cast<void*>(&W::item));
        return *this;
    }
    // F(const T&) -> a list of the items, iterated once.
    template <auto F>
    ClassBuilder& iter() {
        add_slot(Py_tp_iter, reinterpret_cast<void*>(&IterWrapper<T, F>::iter));
        return *this;
    }
    // F(T&, K, V) under the exclusive borrow.
    template <auto F, fixed_string Key = "index", fixed_string Value = "value">
    ClassBuilder& setitem() {
        using W = SetItemWrapper<T, F, Key, Value>;
        add_slot(Py_mp_ass_subscript, reinterpret_cast<void*>(&W::assign));
        add_slot(Py_sq_ass_item, reinterpret_cast<void*>(&W::assign_item));
        return *this;
    }
    // Instances carry a __dict__. A type made from a spec gets attribute storage
    // from the offset alone; `obj.__dict__` and `vars(obj)` need the descriptor too.
    ClassBuilder& with_dict() {
        members_.push_back(PyMemberDef{"__dictoffset__", T_PYSSIZET,
                                       static_cast<Py_ssize_t>(offsetof(Instance<T>, dict)),
                                       READONLY, nullptr});
        getsets_.push_back(PyGetSetDef{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                       nullptr, nullptr});
        add_slot(Py_tp_traverse, reinterpret_cast<void*>(&traverse_dict<T>));
        add_slot(Py_tp_clear, reinterpret_cast<void*>(&clear_dict<T>));
        has_dict_ = true;
        return *this;
    }
    // A raw slot function, for the few members whose shape no wrapper covers.
    ClassBuilder& slot(int which, void* fn) {
        add_slot(which, fn);
        return *this;
    }
};

// The type object of T, built by `build` on first use; a failed build is retried next time.
template <class T, class Build>
PyTypeObject* lazy_type(Build&& build) {
    static PyTypeObject* type = nullptr;
    if (!type) type = build();
    return type;
}

}  // namespace brimsel::py
