// The common part of the test-only modules that bind a published interface
// the way a sibling module does: a Python function for any slot of a bound
// table, with its arguments checked against the published types.
//
//     const vel::headers::HeadersMethods *methods() { return g_api->methods; }
//     template <> PyTypeObject *consumer::type_of<HeadersObject>() { return g_api->Headers_Type; }
//     {"get", VEL_METH((consumer::call<methods, &HeadersMethods::get>)), METH_FASTCALL, nullptr},
#pragma once

#include <Python.h>

#include <tuple>
#include <type_traits>
#include <utility>

#include "vel/args.hpp"
#include "vel/module.hpp"

namespace consumer {

// The published type of a layout, for the arguments that are not PyObject *.
template <class T>
PyTypeObject *type_of();

template <class P>
bool convert(PyObject *obj, P *out)
{
    if constexpr (std::is_same_v<P, PyObject *>) {
        *out = obj;
        return true;
    } else {
        if (!vel::check_arg(obj, type_of<std::remove_pointer_t<P>>(), "self", false)) {
            return false;
        }
        *out = reinterpret_cast<P>(obj);
        return true;
    }
}

// Objects pass; other results (int, bool, an enumeration) become a Python
// int, or NULL when the slot left an exception pending.
template <class R>
PyObject *result(R value)
{
    if constexpr (std::is_same_v<R, PyObject *>) {
        return value;
    } else {
        return PyErr_Occurred() ? nullptr : PyLong_FromLong(static_cast<long>(value));
    }
}

template <auto Table, auto Slot, class = decltype(Slot)>
struct Call;

template <auto Table, auto Slot, class T, class R, class... P>
struct Call<Table, Slot, R (*T::*)(P...)> {
    static PyObject *fn(PyObject *, PyObject *const *args, Py_ssize_t nargs)
    {
        constexpr auto n = static_cast<Py_ssize_t>(sizeof...(P));
        return vel::check_nargs("slot", nargs, n, n) ? apply(args, std::index_sequence_for<P...>{}) : nullptr;
    }

    template <size_t... I>
    static PyObject *apply(PyObject *const *args, std::index_sequence<I...>)
    {
        std::tuple<P...> a;
        if (!(convert(args[I], &std::get<I>(a)) && ...)) {
            return nullptr;
        }
        return result((Table()->*Slot)(std::get<I>(a)...));
    }
};

// A METH_FASTCALL function calling slot `Slot` of the table `Table()`.
template <auto Table, auto Slot>
inline constexpr auto call = &Call<Table, Slot>::fn;

// The module: binds the table into `*Api` while it is imported.
//
//     PyMODINIT_FUNC PyInit__x_consumer() { return consumer::init<CAPI, vel::x::bind, &g_api>(name, doc, methods); }
template <class Table, const Table *(*Bind)(), const Table **Api>
PyObject *init(const char *name, const char *doc, PyMethodDef *methods)
{
    static int (*exec)(PyObject *) = [](PyObject *) {
        *Api = Bind();
        return *Api != nullptr ? 0 : -1;
    };
    static PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(exec)};
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
}

}  // namespace consumer
