// Argument checks with the messages every velmora module uses, and a parser
// for vectorcall / METH_FASTCALL|METH_KEYWORDS arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace vel {

// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
// Always returns false so that callers can write `return arg_type_error(...)`.
inline bool arg_type_error(const char *name, const char *expected, PyObject *got)
{
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got)->tp_name);
    return false;
}

// TypeError "Expected <type>, got <type>" for a value stored into a typed slot.
inline bool expected_type_error(const char *expected, PyObject *got)
{
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return false;
}

// An argument of exactly `type` (or None when allowed).
inline bool check_arg_exact(PyObject *obj, PyTypeObject *type, const char *name, bool none_ok = true)
{
    if (Py_IS_TYPE(obj, type) || (none_ok && obj == Py_None)) {
        return true;
    }
    return arg_type_error(name, type->tp_name, obj);
}

// An argument that is an instance of `type` (or None when allowed).
inline bool check_arg(PyObject *obj, PyTypeObject *type, const char *name, bool none_ok = true)
{
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, type)) {
        return true;
    }
    return arg_type_error(name, type->tp_name, obj);
}

// A value for a typed slot: an instance of `type` (or None when allowed).
inline bool check_value(PyObject *obj, PyTypeObject *type, bool none_ok = true)
{
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, type)) {
        return true;
    }
    return expected_type_error(type->tp_name, obj);
}

// A call signature: `names` lists every parameter, the first `required` of
// which must be given.  All parameters are positional-or-keyword.
struct Signature {
    const char *function;
    const char *const *names;
    int count;
    int required;
};

namespace detail {

inline int keyword_index(const Signature &sig, PyObject *key)
{
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

inline bool too_many_positional(const Signature &sig, Py_ssize_t given)
{
    if (sig.count == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", sig.function, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d positional argument%s (%zd given)",
                     sig.function, sig.required == sig.count ? "exactly" : "at most", sig.count,
                     sig.count == 1 ? "" : "s", given);
    }
    return false;
}

inline bool place_keyword(const Signature &sig, PyObject *key, PyObject *value, PyObject **out)
{
    int index = keyword_index(sig, key);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'",
                     sig.function, key);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%s'",
                     sig.function, sig.names[index]);
        return false;
    }
    out[index] = value;
    return true;
}

inline bool check_required(const Signature &sig, PyObject **out)
{
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)",
                         sig.function, sig.names[i], i + 1);
            return false;
        }
    }
    return true;
}

// The parser for the calls that are not plain positional ones.
[[gnu::noinline]] inline bool parse_fastcall_keywords(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames, PyObject **out)
{
    for (int i = 0; i < sig.count; ++i) {
        out[i] = nullptr;
    }
    if (nargs > sig.count) {
        return too_many_positional(sig, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
                return false;
            }
        }
    }
    return check_required(sig, out);
}

}  // namespace detail

// Fills out[0..count) with borrowed references; parameters not given stay
// NULL.  Returns false with TypeError set on a bad call.  A positional call
// that gives every required argument takes no parser at all.
inline bool parse_fastcall(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **out)
{
    if (kwnames == nullptr && nargs >= sig.required && nargs <= sig.count) {
        Py_ssize_t i = 0;
        for (; i < nargs; ++i) {
            out[i] = args[i];
        }
        for (; i < sig.count; ++i) {
            out[i] = nullptr;
        }
        return true;
    }
    return detail::parse_fastcall_keywords(sig, args, nargs, kwnames, out);
}

// The same for tp_init / tp_new style arguments (tuple and optional dict).
inline bool parse_tuple_dict(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out)
{
    for (int i = 0; i < sig.count; ++i) {
        out[i] = nullptr;
    }
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) {
        return detail::too_many_positional(sig, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!detail::place_keyword(sig, key, value, out)) {
                return false;
            }
        }
    }
    return detail::check_required(sig, out);
}

// Positional-only call with an exact count, for the tightest hot paths.
inline bool check_nargs(const char *function, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max)
{
    if (nargs >= min && nargs <= max) {
        return true;
    }
    if (min == max) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%s (%zd given)",
                     function, min, min == 1 ? "" : "s", nargs);
    } else if (nargs < min) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at least %zd positional argument%s (%zd given)",
                     function, min, min == 1 ? "" : "s", nargs);
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd positional argument%s (%zd given)",
                     function, max, max == 1 ? "" : "s", nargs);
    }
    return false;
}

inline bool no_keywords(const char *function, PyObject *kwnames)
{
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
    return false;
}

// ---------------------------------------------------------------------------
// Python methods and functions from native implementations

// Converters from an implementation's result to a Python result.
inline PyObject *object_result(PyObject *result) { return result; }
inline PyObject *none_result(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }
inline PyObject *bool_result(int rc) { return rc < 0 ? nullptr : Py_NewRef(rc ? Py_True : Py_False); }

namespace detail {

template <class R>
inline PyObject *default_result(R result)
{
    if constexpr (std::is_same_v<R, int>) {
        return none_result(result);
    } else {
        return object_result(result);
    }
}

inline constexpr Signature kNoParameters{"", nullptr, 0, 0};

template <auto Impl, const Signature &Sig, auto Convert, bool Method, class F = decltype(Impl)>
struct Fastcall;

template <auto Impl, const Signature &Sig, auto Convert, bool Method, class R, class First, class... A>
struct Fastcall<Impl, Sig, Convert, Method, R (*)(First *, A...)> {
    // Parameters after `self` for a method; all of them for a function.
    static constexpr size_t kArgs = Method ? sizeof...(A) : sizeof...(A) + 1;

    static PyObject *call(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
    {
        static_assert(static_cast<size_t>(Sig.count) == kArgs, "the signature names every parameter");
        PyObject *a[kArgs + 1];
        if (!parse_fastcall(Sig, args, nargs, kwnames, a)) {
            return nullptr;
        }
        return apply(self, a, std::make_index_sequence<kArgs>{});
    }

    template <size_t... I>
    static PyObject *apply(PyObject *self, PyObject **a, std::index_sequence<I...>)
    {
        R result;
        if constexpr (Method) {
            result = Impl(reinterpret_cast<First *>(self), a[I]...);
        } else {
            (void)self;
            result = Impl(a[I]...);
        }
        if constexpr (std::is_same_v<decltype(Convert), std::nullptr_t>) {
            return default_result(result);
        } else {
            return Convert(result);
        }
    }
};

}  // namespace detail

// A METH_FASTCALL | METH_KEYWORDS method from `Impl(Self *self, PyObject *...)`
// and its signature: the arguments are parsed (a parameter not given is
// NULL), and the result converted: objects pass, int results give None or
// NULL, unless `Convert` (e.g. vel::bool_result) says otherwise.
//
//     PyObject *get_impl(HeadersObject *self, PyObject *name);
//     constexpr const char *kName[] = {"name"};
//     constexpr vel::Signature kGet{"get", kName, 1, 1};   // constexpr: checked against Impl
//     {"get", VEL_METH((vel::fastcall_method<get_impl, kGet>)), METH_FASTCALL | METH_KEYWORDS, doc},
template <auto Impl, const Signature &Sig, auto Convert = nullptr>
inline constexpr auto fastcall_method = &detail::Fastcall<Impl, Sig, Convert, true>::call;

// A METH_NOARGS method from `Impl(Self *self)`.
template <auto Impl, auto Convert = nullptr>
inline constexpr auto noargs_method = +[](PyObject *self, PyObject *) -> PyObject * {
    return detail::Fastcall<Impl, detail::kNoParameters, Convert, true>::apply(self, nullptr,
                                                                             std::index_sequence<>{});
};

// The same for a module function `Impl(PyObject *...)` (the module is not passed).
template <auto Impl, const Signature &Sig, auto Convert = nullptr>
inline constexpr auto fastcall_function = &detail::Fastcall<Impl, Sig, Convert, false>::call;

}  // namespace vel
