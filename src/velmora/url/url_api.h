// Native interface of `velmora.url`, for the modules built against it
// (messages, keystone, scribe).  Bind it from the importer's exec function:
//
//     const vel::url::CAPI *api = vel::url::bind();   // in exec
//     PyObject *u = api->url_from_bytes(value);
//
// Importers may read the fields of a URLObject directly; they never change
// after construction.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::url {

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.url._C_API";

struct URLObject {
    PyObject_HEAD
    PyObject *value;     // bytes: the whole URL (after "./x" became "/./x")
    PyObject *schema;    // bytes or None
    PyObject *host;      // bytes or None (an IPv6 host comes without brackets)
    int port;            // 0 when the URL names none
    PyObject *path;      // bytes or None (None for "http://host")
    PyObject *query;     // bytes or None, without "?"
    PyObject *fragment;  // bytes or None, without "#"
    char is_absolute;    // 1 when the URL has a scheme
    PyObject *weakreflist;
};

// Direct-call methods of URL, in their fixed slot order.  Every slot honours
// an override of the same name in a Python subclass.  Each returns a new
// reference (a URL for the exact type), or NULL with an exception set.
struct UrlMethods {
    PyObject *(*join)(PyObject *self, PyObject *other);
    PyObject *(*base_url)(PyObject *self);
    PyObject *(*with_host)(PyObject *self, PyObject *host);
    PyObject *(*with_scheme)(PyObject *self, PyObject *schema);
    PyObject *(*with_query)(PyObject *self, PyObject *query);
};

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *url_type;
    PyObject *invalid_url;  // the InvalidURL exception class
    const UrlMethods *methods;
    // join_prefix(prefix: str | None, path: str | None) -> new str reference.
    PyObject *(*join_prefix)(PyObject *prefix, PyObject *path);
    // build_absolute_url(scheme, host, base_path, path: bytes | None) -> new URL.
    PyObject *(*build_absolute_url)(PyObject *scheme, PyObject *host, PyObject *base_path,
                                    PyObject *path);
    // URL(value) for a bytes value (or None, which raises InvalidURL), without
    // going through the type call.
    PyObject *(*url_from_bytes)(PyObject *value);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::url
