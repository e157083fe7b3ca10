// The functions CPython calls, generated from plain C++ functions: unpacking, borrowing, conversion, result.
#pragma once

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/core.hpp"
#include "binding/instance.hpp"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace brimsel::py {

// ---- compile-time names ----------------------------------------------------------------------

template <std::size_t N>
struct fixed_string {
    char s[N]{};
    constexpr fixed_string(const char (&v)[N]) { std::copy_n(v, N, s); }  // NOLINT
    constexpr const char* c_str() const { return s; }
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

// __iter__: one pass over a list of the items F(const T&) returns, taken
// under the shared borrow. Without it the sequence protocol would walk
// __getitem__ with 0, 1, 2, ... and run into its failure at the end, or never
// end where indexing wraps around.
template <class T, auto F>
struct IterWrapper {
    static PyObject* iter(PyObject* self) noexcept {
        return guard(
            [&]() -> PyObject* {
                Ref items;
                {
                    SharedBorrow<T> b(self);
                    items = Ref::check(to_py(std::invoke(F, b.get())));
                }
                return PyObject_GetIter(items.get());
            },
            static_cast<PyObject*>(nullptr));
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

}  // namespace brimsel::py
