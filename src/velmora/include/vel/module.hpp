// Pieces every extension module of the package needs while it is imported.
#pragma once

#include <Python.h>

#include "interning.h"
#include "vel/compat.hpp"
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

}  // namespace vel

// The module-definition slots shared by every module: exec, and the
// declarations that the lock is needed and only one interpreter is supported.
#define VEL_MODULE_SLOTS(exec_fn)                                     \
    {Py_mod_exec, reinterpret_cast<void *>(exec_fn)},                 \
    VEL_MOD_SLOT_INTERPRETERS VEL_MOD_SLOT_GIL {0, nullptr}
