// Declarative Python classes: instance layout, borrow flags, and wrappers generated from C++ functions.
#pragma once

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/core.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace brimsel::py {

// ---- compile-time names ----------------------------------------------------------------------

template <std::size_t N>
struct fixed_string {
    char s[N]{};
    constexpr fixed_string(const char (&v)[N]) { std::copy_n(v, N, s); }  // NOLINT
    constexpr const char* c_str() const { return s; }
};

// ---- instance layout and borrow flags --------------------------------------------------------

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

// ---- function introspection ------------------------------------------------------------------

template <class... A>
struct type_list {
    static constexpr std::size_t size = sizeof...(A);
};

template <class F>
struct fn_info;
template <class R, class... A>
struct fn_info<R (*)(A...)> {
    using ret = R;
    using params = type_list<A...>;
};
template <class R, class... A>
struct fn_info<R (*)(A...) noexcept> : fn_info<R (*)(A...)> {};
template <class C, class R, class... A>
struct fn_info<R (C::*)(A...) const> {
    using ret = R;
    using params = type_list<const C&, A...>;
};
template <class C, class R, class... A>
struct fn_info<R (C::*)(A...) const noexcept> : fn_info<R (C::*)(A...) const> {};
template <class C, class R, class... A>
struct fn_info<R (C::*)(A...)> {
    using ret = R;
    using params = type_list<C&, A...>;
};
template <class C, class R, class... A>
struct fn_info<R (C::*)(A...) noexcept> : fn_info<R (C::*)(A...)> {};

template <class L>
struct split_self;
template <class S, class... A>
struct split_self<type_list<S, A...>> {
    using self = S;
    using rest = type_list<A...>;
};

template <class T>
struct is_std_optional : std::false_type {};
template <class T>
struct is_std_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_default : std::false_type {};
template <class T>
struct is_default<Default<T>> : std::true_type {};

template <class A>
constexpr bool param_required() {
    using D = std::remove_cvref_t<A>;
    return !is_std_optional<D>::value && !is_default<D>::value;
}

// Converts one argument; `o` is null when the caller left it out.
template <class A>
std::remove_cvref_t<A> convert_arg(PyObject* o, const char* name) {
    using D = std::remove_cvref_t<A>;
    if constexpr (is_std_optional<D>::value) {
        if (!o || o == Py_None) return std::nullopt;
        return convert_arg<typename D::value_type>(o, name);
    } else if constexpr (is_default<D>::value) {
        if (!o) return D{};
        return D{convert_arg<decltype(*std::declval<D>().value)>(o, name)};
    } else {
        try {
            return FromPy<D>::convert(o);
        } catch (const ErrorAlreadySet&) {
            wrap_argument_error(name);
            throw;
        }
    }
}

template <class L>
struct converted_args;
template <class... A>
struct converted_args<type_list<A...>> {
    using tuple = std::tuple<std::remove_cvref_t<A>...>;
    template <std::size_t... I>
    static tuple convert(PyObject* const* raw, const char* const* names,
                         std::index_sequence<I...>) {
        // Braced initialisation converts in parameter order.
        return tuple{convert_arg<A>(raw[I], names[I])...};
    }
    static tuple convert(PyObject* const* raw, const char* const* names) {
        return convert(raw, names, std::index_sequence_for<A...>{});
    }
    static constexpr bool required[sizeof...(A) ? sizeof...(A) : 1] = {param_required<A>()...};
};

// The Python result of calling f with the converted arguments.
template <auto F, class... Pre, class Tuple>
PyObject* call_and_convert(Tuple&& args, Pre&&... pre) {
    using R = typename fn_info<decltype(F)>::ret;
    auto invoke = [&](auto&&... a) -> decltype(auto) {
        return std::invoke(F, std::forward<Pre>(pre)..., std::move(a)...);
    };
    if constexpr (std::is_void_v<R>) {
        std::apply(invoke, std::forward<Tuple>(args));
        Py_RETURN_NONE;
    } else {
        return to_py(std::apply(invoke, std::forward<Tuple>(args)));
    }
}

template <fixed_string... P>
struct names_of {
    static constexpr const char* list[sizeof...(P) ? sizeof...(P) : 1] = {P.c_str()...};
};

// ---- wrappers CPython calls ------------------------------------------------------------------

const std::string& intern_qualname(const char* cls, const char* method);

template <class T, fixed_string M>
const char* qualname() {
    static const std::string& q = intern_qualname(PyClass<T>::name, M.c_str());
    return q.c_str();
}

template <class T, fixed_string M, auto F, fixed_string... P>
struct MethodWrapper {
    using info = fn_info<decltype(F)>;
    using self_t = typename split_self<typename info::params>::self;
    using rest = typename split_self<typename info::params>::rest;
    using conv = converted_args<rest>;
    static_assert(rest::size == sizeof...(P), "one name per parameter");
    static constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<self_t>>;

    static const Signature& signature() {
        static const Signature sig{qualname<T, M>(), names_of<P...>::list, conv::required,
                                   sizeof...(P)};
        return sig;
    }

    template <class Borrow>
    static PyObject* run(PyObject* self, PyObject* const* raw) {
        Borrow b(self);
        auto args = conv::convert(raw, names_of<P...>::list);
        return call_and_convert<F>(std::move(args), b.get());
    }

    static PyObject* body(PyObject* self, PyObject* const* raw) {
        if constexpr (exclusive)
            return run<ExclusiveBorrow<T>>(self, raw);
        else
            return run<SharedBorrow<T>>(self, raw);
    }

    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
        return guard(
            [&]() -> PyObject* {
                PyObject* raw[sizeof...(P) ? sizeof...(P) : 1] = {};
                unpack_fastcall(signature(), args, nargs, kwnames, raw);
                return body(self, raw);
            },
            static_cast<PyObject*>(nullptr));
    }

    static PyObject* noargs(PyObject* self, PyObject*) noexcept {
        return guard([&]() -> PyObject* { return body(self, nullptr); },
                     static_cast<PyObject*>(nullptr));
    }
};

template <class T, fixed_string M, auto F, fixed_string... P>
struct StaticWrapper {
    using info = fn_info<decltype(F)>;
    using conv = converted_args<typename info::params>;
    static_assert(info::params::size == sizeof...(P), "one name per parameter");

    static const Signature& signature() {
        static const Signature sig{qualname<T, M>(), names_of<P...>::list, conv::required,
                                   sizeof...(P)};
        return sig;
    }
    static PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
        return guard(
            [&]() -> PyObject* {
                PyObject* raw[sizeof...(P) ? sizeof...(P) : 1] = {};
                unpack_fastcall(signature(), args, nargs, kwnames, raw);
                return call_and_convert<F>(conv::convert(raw, names_of<P...>::list));
            },
            static_cast<PyObject*>(nullptr));
    }
    static PyObject* noargs(PyObject*, PyObject*) noexcept {
        return guard([&]() -> PyObject* { return call_and_convert<F>(std::tuple<>{}); },
                     static_cast<PyObject*>(nullptr));
    }
};

template <class T, auto F, fixed_string... P>
struct ConstructorWrapper {
    using info = fn_info<decltype(F)>;
    using conv = converted_args<typename info::params>;
    static_assert(info::params::size == sizeof...(P), "one name per parameter");

    static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
        return guard(
            [&]() -> PyObject* {
                static const Signature sig{qualname<T, "__new__">(), names_of<P...>::list,
                                           conv::required, sizeof...(P)};
                PyObject* raw[sizeof...(P) ? sizeof...(P) : 1] = {};
                unpack_tuple(sig, args, kwargs, raw);
                auto converted = conv::convert(raw, names_of<P...>::list);
                return wrap_new<T>(std::apply(
                    [](auto&&... a) -> T { return std::invoke(F, std::move(a)...); },
                    std::move(converted)));
            },
            static_cast<PyObject*>(nullptr));
    }
};

template <class T, auto F>
struct GetterWrapper {
    static PyObject* get(PyObject* self, void*) noexcept {
        return guard(
            [&]() -> PyObject* {
                SharedBorrow<T> b(self);
                return to_py(std::invoke(F, b.get()));
            },
            static_cast<PyObject*>(nullptr));
    }
};

template <class T, auto Set, fixed_string Name>
struct SetterWrapper {
    using info = fn_info<decltype(Set)>;

    template <class L>
    struct first;
    template <class V>
    struct first<type_list<V>> {
        using type = std::remove_cvref_t<V>;
    };
    using V = typename first<typename split_self<typename info::params>::rest>::type;

    static int set(PyObject* self, PyObject* value, void*) noexcept {
        return guard(
            [&]() -> int {
                if (!value) raise(PyExc_AttributeError, "can't delete attribute");
                // The new value is converted before the borrow is taken.
                V v = convert_arg<V>(value, Name.c_str());
                ExclusiveBorrow<T> b(self);
                std::invoke(Set, b.get(), std::move(v));
                return 0;
            },
            -1);
    }
};

template <class T, auto F>
struct HashWrapper {
    static Py_hash_t hash(PyObject* self) noexcept {
        return guard(
            [&]() -> Py_hash_t {
                SharedBorrow<T> b(self);
                auto h = static_cast<std::int64_t>(std::invoke(F, b.get()));
                return static_cast<Py_hash_t>(h == -1 ? -2 : h);
            },
            static_cast<Py_hash_t>(-1));
    }
};

template <class T, auto F>
struct TextWrapper {
    static PyObject* text(PyObject* self) noexcept {
        return guard(
            [&]() -> PyObject* {
                SharedBorrow<T> b(self);
                return to_py(std::invoke(F, b.get()));
            },
            static_cast<PyObject*>(nullptr));
    }
};

template <class T, bool Ordered>
struct CompareWrapper {
    static PyObject* richcmp(PyObject* a, PyObject* b, int op) noexcept {
        return guard(
            [&]() -> PyObject* {
                if (!is_instance<T>(b)) Py_RETURN_NOTIMPLEMENTED;
                if (!Ordered && op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
                SharedBorrow<T> ba(a, std::nothrow);
                SharedBorrow<T> bb(b, std::nothrow);
                if (!ba.ok() || !bb.ok()) Py_RETURN_NOTIMPLEMENTED;
                const T& x = ba.get();
                const T& y = bb.get();
                bool r = false;
                switch (op) {
                    case Py_EQ: r = x == y; break;
                    case Py_NE: r = !(x == y); break;
                    default:
                        if constexpr (Ordered) {
                            auto c = x <=> y;
                            r = op == Py_LT ? c < 0 : op == Py_LE ? c <= 0 : op == Py_GT ? c > 0 : c >= 0;
                        }
                }
                return Py_NewRef(r ? Py_True : Py_False);
            },
            static_cast<PyObject*>(nullptr));
    }
};

template <class T, auto F>
struct LenWrapper {
    static Py_ssize_t len(PyObject* self) noexcept {
        return guard(
            [&]() -> Py_ssize_t {
                SharedBorrow<T> b(self);
                auto n = std::invoke(F, b.get());
                if (n > static_cast<decltype(n)>(PY_SSIZE_T_MAX))
                    raise(PyExc_OverflowError, "length too large for a Python size");
                return static_cast<Py_ssize_t>(n);
            },
            static_cast<Py_ssize_t>(-1));
    }
};

// __getitem__ answered through both the mapping and the sequence slot.
template <class T, auto F, fixed_string Key>
struct GetItemWrapper {
    using info = fn_info<decltype(F)>;
    using rest = typename split_self<typename info::params>::rest;
    template <class L>
    struct first;
    template <class K>
    struct first<type_list<K>> {
        using type = K;
    };
    using K = typename first<rest>::type;

    static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
        return guard(
            [&]() -> PyObject* {
                SharedBorrow<T> b(self);
                auto k = convert_arg<K>(key, Key.c_str());
                return to_py(std::invoke(F, b.get(), std::move(k)));
            },
            static_cast<PyObject*>(nullptr));
    }
    static PyObject* item(PyObject* self, Py_ssize_t i) noexcept {
        PyObject* key = PyLong_FromSsize_t(i);
        if (!key) return nullptr;
        PyObject* r = subscript(self, key);
        Py_DECREF(key);
        return r;
    }
};

// __setitem__ through both slots; deleting an item is refused.
template <class T, auto F, fixed_string Key, fixed_string Value>
struct SetItemWrapper {
    using info = fn_info<decltype(F)>;
    using rest = typename split_self<typename info::params>::rest;
    template <class L>
    struct two;
    template <class K, class V>
    struct two<type_list<K, V>> {
        using key = K;
        using value = V;
    };
    using K = typename two<rest>::key;
    using V = typename two<rest>::value;

    static int assign(PyObject* self, PyObject* key, PyObject* value) noexcept {
        return guard(
            [&]() -> int {
                if (!value) raise(PyExc_NotImplementedError, "can't delete item");
                ExclusiveBorrow<T> b(self);
                auto k = convert_arg<K>(key, Key.c_str());
                auto v = convert_arg<V>(value, Value.c_str());
                std::invoke(F, b.get(), std::move(k), std::move(v));
                return 0;
            },
            -1);
    }
    static int assign_item(PyObject* self, Py_ssize_t i, PyObject* value) noexcept {
        PyObject* key = PyLong_FromSsize_t(i);
        if (!key) return -1;
        int r = assign(self, key, value);
        Py_DECREF(key);
        return r;
    }
};

// ---- the class builder -----------------------------------------------------------------------

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
