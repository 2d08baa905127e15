// Publishing and binding of a module's native interface.  A module puts a
// versioned table (types, method tables, entry points) into a capsule named
// "<module>._C_API"; importers bind it while they are imported and refuse to
// import when it is missing or of another version.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "vel/compat.hpp"

namespace vel {

// Every published table starts with this header.
struct CapiHeader {
    uint32_t version;
    uint32_t size;  // sizeof the whole table, so that a shorter one is refused
};

// `capsule_name` must be a string literal of the form "velmora.x._C_API".
inline int publish_capi(PyObject *module, const char *capsule_name, CapiHeader *table)
{
    PyObject *capsule = PyCapsule_New(table, capsule_name, nullptr);
    if (capsule == nullptr) {
        return -1;
    }
    int rc = PyModule_AddObjectRef(module, "_C_API", capsule);
    Py_DECREF(capsule);
    return rc;
}

namespace detail {

// Imports the module that publishes "<module>._C_API", so that the capsule
// lookup finds it as an attribute of its package.
inline bool import_publisher(const char *capsule_name)
{
    const char *dot = std::strrchr(capsule_name, '.');
    char module[128];
    size_t n = dot != nullptr ? static_cast<size_t>(dot - capsule_name) : 0;
    if (n == 0 || n >= sizeof module) {
        return true;  // the capsule lookup reports the bad name
    }
    std::memcpy(module, capsule_name, n);
    module[n] = '\0';
    PyObject *mod = PyImport_ImportModule(module);
    Py_XDECREF(mod);
    return mod != nullptr;
}

}  // namespace detail

// Returns the table, or NULL with ImportError set.
template <class Table>
const Table *bind_capi(const char *capsule_name, uint32_t version)
{
    auto *table = detail::import_publisher(capsule_name)
                      ? static_cast<const Table *>(PyCapsule_Import(capsule_name, 0))
                      : nullptr;
    if (table == nullptr) {
        PyObject *cause = compat::take_exception();
        PyErr_Format(PyExc_ImportError, "cannot bind the native interface %s", capsule_name);
        if (cause != nullptr) {
            PyObject *exc = compat::take_exception();
            PyException_SetCause(exc, cause);
            compat::restore_exception(exc);
        }
        return nullptr;
    }
    const auto *header = reinterpret_cast<const CapiHeader *>(table);
    if (header->version != version || header->size != sizeof(Table)) {
        PyErr_Format(PyExc_ImportError,
                     "%s has version %u (size %u); this module was built for version %u (size %u)",
                     capsule_name, header->version, header->size, version,
                     static_cast<unsigned>(sizeof(Table)));
        return nullptr;
    }
    return table;
}

// The table header a module fills in before publishing `Table`.
template <class Table>
constexpr CapiHeader capi_header(uint32_t version)
{
    return CapiHeader{version, static_cast<uint32_t>(sizeof(Table))};
}

}  // namespace vel
