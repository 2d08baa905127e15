// Native interface of velmora.headers for the sibling modules: the object
// layouts, the direct-call method table of Headers and the helpers that
// lower-case and intern header names the same way Headers does.
//
//     const vel::headers::CAPI *api = vel::headers::bind();   // in exec
//     api->methods->add(h, name, value);
//
// Every table entry honours a Python subclass that overrides the method of
// the same name.  Entries returning int give 0, or -1 with an exception set;
// entries returning an object give a new reference, or NULL with an
// exception set; `contains` gives false with the exception pending on
// failure, so callers check PyErr_Occurred() after a false result.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::headers {

struct HeaderObject {
    PyObject_HEAD
    PyObject *name;   // never NULL once constructed; a bytes name is lower-cased and interned
    PyObject *value;
    PyObject *weakreflist;
};

struct HeadersObject {
    PyObject_HEAD
    // The live list of entries, normally (name, value) tuples.  Siblings may
    // read it and append to it; appended entries must be tuples of at least
    // two items.  Py_None (or NULL) on an object allocated without __init__:
    // assign a new list (a reference the object owns) before use.
    PyObject *values;
    PyObject *weakreflist;
};

// Slot order is part of the published layout.
struct HeadersMethods {
    PyObject *(*keys)(HeadersObject *self);                                  // tuple
    PyObject *(*clone)(HeadersObject *self);                                 // Headers
    PyObject *(*get)(HeadersObject *self, PyObject *name);                   // tuple
    PyObject *(*get_tuples)(HeadersObject *self, PyObject *name);            // list
    int (*add)(HeadersObject *self, PyObject *name, PyObject *value);
    int (*set)(HeadersObject *self, PyObject *name, PyObject *value);
    PyObject *(*get_single)(HeadersObject *self, PyObject *key);
    PyObject *(*get_first)(HeadersObject *self, PyObject *key);              // value or None
    int (*remove)(HeadersObject *self, PyObject *key);
    int (*merge)(HeadersObject *self, PyObject *values);
    bool (*contains)(HeadersObject *self, PyObject *key);
};

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.headers._C_API";

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *Header_Type;
    PyTypeObject *Headers_Type;
    const HeadersMethods *methods;
    // bytes or None in, new reference out (NULL only on memory failure).
    // The well-known lower-case form of a name is the companion's shared
    // object; other names come back lower-cased (the same object when they
    // hold no upper-case ASCII letter).
    PyObject *(*intern_header_name_bytes)(PyObject *name);
    // bytes or None in, new reference out: ASCII letters lower-cased, the
    // same object when there is nothing to change.
    PyObject *(*simd_lower_bytes)(PyObject *name);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::headers
