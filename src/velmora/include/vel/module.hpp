// Pieces every extension module of the package needs while it is imported.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>

#include "interning.h"
#include "vel/compat.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace vel {

// Checks that the companion library loaded through the run path is the one
// this module was built against, and builds its tables.
inline int init_companion()
{
    if (vel_core_abi_version() != VEL_CORE_ABI_VERSION) {
        PyErr_Format(PyExc_ImportError, "velmora._vel_core has interface version %d, expected %d",
                     vel_core_abi_version(), VEL_CORE_ABI_VERSION);
        return -1;
    }
    return vel_core_init();
}

// Creates a heap type from `spec`, bound to `module`, and adds it to the
// module under its short name.  Returns a new reference, or NULL.
inline PyTypeObject *add_type(PyObject *module, PyType_Spec *spec, PyObject *bases = nullptr)
{
    PyObject *type = PyType_FromModuleAndSpec(module, spec, bases);
    if (type == nullptr) {
        return nullptr;
    }
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject *>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

// An interned str for attribute names and keys; NULL on failure.
inline PyObject *intern(const char *text) { return PyUnicode_InternFromString(text); }

// `from <module> import <name>` as a new reference; NULL on failure.
inline PyObject *import_attr(const char *module, const char *name)
{
    Ref mod = steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

// A bytes constant built from a literal.
inline PyObject *bytes_const(const char *text) { return PyBytes_FromString(text); }

// ---------------------------------------------------------------------------
// Module state

// The state struct of `module`, as allocated by the module definition.
template <class State>
inline State *state_of(PyObject *module)
{
    return static_cast<State *>(PyModule_GetState(module));
}

// A module state lists what it owns once, in a member template
//
//     template <class F> void fields(F &&f) { f(type); f(str_name); f(slots); }
//
// where each argument is an object pointer, an object with traverse(visit,
// arg) and clear() members (an OverrideSlot, a cache), or an array of these.  The module definition then takes its traverse, clear and free
// functions from module_def<State, &g_state>() below.
namespace detail {

struct StateVisitor {
    visitproc visit;
    void *arg;
    int rc = 0;

    template <class P>
    void operator()(P *&field)
    {
        if (rc == 0 && field != nullptr) {
            rc = visit(reinterpret_cast<PyObject *>(field), arg);
        }
    }
    template <class T>
        requires requires(const T &t, visitproc v, void *a) { t.traverse(v, a); }
    void operator()(T &member)
    {
        if (rc == 0) {
            rc = member.traverse(visit, arg);
        }
    }
    template <class E, size_t N>
    void operator()(E (&items)[N])
    {
        for (E &item : items) {
            (*this)(item);
        }
    }
};

struct StateClearer {
    template <class P>
    void operator()(P *&field)
    {
        P *old = field;
        if (old != nullptr) {
            field = nullptr;
            Py_DECREF(reinterpret_cast<PyObject *>(old));
        }
    }
    template <class T>
        requires requires(T &t) { t.clear(); }
    void operator()(T &member)
    {
        member.clear();
    }
    template <class E, size_t N>
    void operator()(E (&items)[N])
    {
        for (E &item : items) {
            (*this)(item);
        }
    }
};

}  // namespace detail

template <class State>
int traverse_state(PyObject *module, visitproc visit, void *arg)
{
    State *st = state_of<State>(module);
    if (st == nullptr) {
        return 0;
    }
    detail::StateVisitor visitor{visit, arg};
    st->fields(visitor);
    return visitor.rc;
}

template <class State>
int clear_state(PyObject *module)
{
    State *st = state_of<State>(module);
    if (st != nullptr) {
        detail::StateClearer clearer;
        st->fields(clearer);
    }
    return 0;
}

// Clears the state and forgets it as the module's current one (`Global`,
// the pointer the hot paths use, may be NULL when the module keeps none).
template <class State, State **Global>
void free_state(void *module)
{
    PyObject *m = static_cast<PyObject *>(module);
    clear_state<State>(m);
    if constexpr (Global != nullptr) {
        if (*Global == state_of<State>(m)) {
            *Global = nullptr;
        }
    }
}

// Starts the exec function: the companion library, then the state memory
// (zeroed by the interpreter) given its members' initial values.  Returns
// NULL with an exception set on failure.
template <class State>
State *init_state(PyObject *module, State **global = nullptr)
{
    if (init_companion() < 0) {
        return nullptr;
    }
    static_assert(std::is_trivially_destructible_v<State>, "a module state is never destroyed");
    State *st = new (state_of<State>(module)) State{};
    if (global != nullptr) {
        *global = st;
    }
    return st;
}

// The module definition of a module with state `State`.
template <class State, State **Global = nullptr>
inline PyModuleDef module_def(const char *name, const char *doc, PyMethodDef *methods, PyModuleDef_Slot *slots)
{
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, doc, static_cast<Py_ssize_t>(sizeof(State)), methods, slots,
        traverse_state<State>, clear_state<State>, free_state<State, Global>,
    };
}

}  // namespace vel

// The module-definition slots shared by every module: exec, and the
// declarations that the lock is needed and only one interpreter is supported.
#define VEL_MODULE_SLOTS(exec_fn)                                     \
    {Py_mod_exec, reinterpret_cast<void *>(exec_fn)},                 \
    VEL_MOD_SLOT_INTERPRETERS VEL_MOD_SLOT_GIL {0, nullptr}
