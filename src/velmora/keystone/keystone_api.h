// Native interface of velmora.keystone for the modules that run requests
// through an application (scribe): the layout of KeystoneApplication and its
// direct-call method table in a fixed slot order.
//
//     const vel::keystone::CAPI *api = vel::keystone::bind();   // in exec
//     PyObject *r = api->methods->handle(app, request);
//
// Entries returning an object give a new reference, or NULL with an
// exception set; `is_handled_exception` gives 1/0, or -1 with an exception
// set.  `handle` and `get_http_exception_handler` run the Python override
// when the object's class redefines that method by name;
// `get_exception_handler` and `is_handled_exception` have no Python method
// and always run the native code.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::keystone {

// Every object field is a strong reference, Py_None when unset.
struct KeystoneApplicationObject {
    PyObject_HEAD
    int show_error_details;        // 0 or 1
    PyObject *router;              // the router object: get_match(request)
    PyObject *logger;              // logging.Logger
    PyObject *exceptions_handlers; // ExceptionHandlersDict, or any mapping-like object
    PyObject *weakreflist;
};

struct KeystoneMethods {
    // A Response, an awaitable of one, or what a synchronous handler returned.
    PyObject *(*handle)(KeystoneApplicationObject *self, PyObject *request);
    // `http_exception`: an HTTPException or None.
    PyObject *(*get_http_exception_handler)(KeystoneApplicationObject *self, PyObject *http_exception);
    // `exception`: an Exception or None; `stop_at`: a class or None.  The
    // handler, or None.
    PyObject *(*get_exception_handler)(KeystoneApplicationObject *self, PyObject *exception, PyObject *stop_at);
    int (*is_handled_exception)(KeystoneApplicationObject *self, PyObject *exception);
};

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.keystone._C_API";

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *KeystoneApplication_Type;
    const KeystoneMethods *methods;
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::keystone
