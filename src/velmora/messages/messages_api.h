// Native interface of velmora.messages for the modules built on it (keystone,
// scribe): the object layouts of Message, Request and Response, their
// direct-call method tables in a fixed slot order, and the native entry
// points of the module (request helpers, pools, scratchpad).
//
//     const vel::messages::CAPI *api = vel::messages::bind();   // in exec
//     PyObject *v = api->message_methods->get_first_header(msg, key);
//
// Layouts and slot orders never change within a CAPI_VERSION.
//
// Conventions of the tables: entries returning an object give a new
// reference, or NULL with an exception set; entries returning int give
// 0 (or 1/0 for tests), or -1 with an exception set.  Every slot whose
// method is also a Python method runs the Python override when the object's
// class redefines that method by name; the direct-call-only slots
// (`_has_header`, `_add_header`, `_add_header_if_missing`,
// `_ensure_raw_headers`, `remove_headers`, `get_headers_tuples`,
// `init_prop`, `alloc_scratchpad`) always run the native code.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "scratchpad.h"
#include "vel/capi.hpp"

namespace vel::messages {

// ---------------------------------------------------------------- layouts

// Every object field is a strong reference, Py_None when unset (NULL only
// in an object that was allocated and not yet set up).
struct MessageObject {
    PyObject_HEAD
    PyObject *_raw_headers;   // list of (name, value) tuples, or None until built
    PyObject *_headers;       // Headers view sharing _raw_headers, or None
    PyObject *content;        // Content or None
    PyObject *scope_protocol; // RSGI protocol object or None
    PyObject *_form_data;     // parsed multipart form cache or None
    PyObject *context;        // free slot
    PyObject *weakreflist;
};

struct RequestObject {
    MessageObject base;
    PyObject *method;              // str (interned) or None
    PyObject *_url;                // URL or None (cache)
    PyObject *_path;               // bytes, str or None
    PyObject *_raw_query;          // bytes, str or None, without "?"
    PyObject *route_values;
    PyObject *scope;               // ASGI scope dict or RSGI scope object
    PyObject *_user;               // identity cache
    PyObject *_di_scope;
    PyObject *state;
    PyObject *_session;
    PyObject *_base_path;          // str or None
    PyObject *_original_client_ip; // str or None
    PyObject *_host;               // str or None (cache or override)
    PyObject *_scheme;             // str or None
    PyObject *_context;            // free slot, distinct from base.context
    PyObject *services;
    PyObject *_is_disconnected;
    ScratchpadArena _arena;
    int32_t _arena_initialized;
};

struct ResponseObject {
    MessageObject base;
    int32_t status;
    PyObject *state;
    PyObject *_context;  // free slot, distinct from base.context
};

// ---------------------------------------------------------- method tables

struct MessageMethods {
    PyObject *(*get_headers)(MessageObject *self, PyObject *key);                     // list
    PyObject *(*get_first_header)(MessageObject *self, PyObject *key);                // value or None
    PyObject *(*get_single_header)(MessageObject *self, PyObject *key);
    int (*remove_header)(MessageObject *self, PyObject *key);
    int (*_has_header)(MessageObject *self, PyObject *key);                           // 1/0/-1
    int (*has_header)(MessageObject *self, PyObject *key);                            // 1/0/-1
    int (*_add_header)(MessageObject *self, PyObject *key, PyObject *value);
    int (*_add_header_if_missing)(MessageObject *self, PyObject *key, PyObject *value);
    int (*add_header)(MessageObject *self, PyObject *key, PyObject *value);
    int (*set_header)(MessageObject *self, PyObject *key, PyObject *value);
    PyObject *(*content_type)(MessageObject *self);                                   // bytes or None
    int (*_ensure_raw_headers)(MessageObject *self);
    int (*remove_headers)(MessageObject *self, PyObject *headers);                    // list of tuples
    PyObject *(*get_headers_tuples)(MessageObject *self, PyObject *key);              // list
    int (*init_prop)(MessageObject *self, PyObject *name, PyObject *value);
    PyObject *(*with_content)(MessageObject *self, PyObject *content);                // the message
    int (*has_body)(MessageObject *self);                                             // 1/0/-1
    int (*declares_content_type)(MessageObject *self, PyObject *type);                // 1/0/-1
    int (*declares_json)(MessageObject *self);                                        // 1/0/-1
    int (*declares_xml)(MessageObject *self);                                         // 1/0/-1
};

struct RequestMethods {
    MessageMethods message;
    int (*expect_100_continue)(RequestObject *self);                                  // 1/0/-1
    int (*reset)(RequestObject *self);
    // `size` bytes of scratch memory aligned to `alignment`, living until the
    // request is reset or destroyed; NULL (no exception) on any failure.
    void *(*alloc_scratchpad)(RequestObject *self, size_t size, size_t alignment);
    PyObject *(*get_query_param)(RequestObject *self, PyObject *name, PyObject *default_);
    PyObject *(*get_query_params)(RequestObject *self, PyObject *name);               // list
};

struct ResponseMethods {
    MessageMethods message;
    int (*is_redirect)(ResponseObject *self);                                         // 1/0/-1
    int (*reset)(ResponseObject *self);
};

// Optional arguments of acquire_response: the first `n_given` of status,
// headers and content are given, the others take their defaults (200,
// None, None).  A NULL record means all defaults.
struct AcquireResponseArgs {
    int n_given;
    int32_t status;
    PyObject *headers;
    PyObject *content;
};

// ---------------------------------------------------------- the table

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.messages._C_API";

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *Message_Type;
    PyTypeObject *Request_Type;
    PyTypeObject *Response_Type;
    const MessageMethods *message_methods;
    const RequestMethods *request_methods;
    const ResponseMethods *response_methods;

    // str -> UTF-8 bytes, bytes unchanged; ValueError for other types,
    // TypeError for subclasses of bytes or str.
    PyObject *(*ensure_bytes)(PyObject *value);
    // 1 for "GET", "HEAD", "TRACE", else 0; -1 on error.
    int (*method_without_body)(PyObject *method);
    int (*is_cors_preflight_request)(RequestObject *request);
    int (*is_cors_request)(RequestObject *request);
    PyObject *(*get_absolute_url_to_path)(RequestObject *request, PyObject *path);   // URL
    PyObject *(*get_request_absolute_url)(RequestObject *request);                   // URL
    // Pooled constructors and release; release leaves the exception set when
    // the object's reset fails (callers check PyErr_Occurred()).
    RequestObject *(*acquire_request)(PyObject *method, PyObject *path, PyObject *raw_query,
                                      PyObject *headers, PyObject *scope);
    ResponseObject *(*acquire_response)(const AcquireResponseArgs *optional);
    void (*release_request)(RequestObject *request);
    void (*release_response)(ResponseObject *response);

    // The shared str for a method (the method itself when not known); new
    // reference.
    PyObject *(*intern_method_str)(PyObject *method);
    // The shared bytes for a header name as written (no lower-casing), or
    // the name itself; new reference.
    PyObject *(*intern_header_name_bytes)(PyObject *name);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind()
{
    PyObject *mod = PyImport_ImportModule("velmora.messages");
    if (mod == nullptr) {
        return nullptr;
    }
    Py_DECREF(mod);
    return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION);
}

}  // namespace vel::messages
