// What velmora.cookies publishes to its sibling modules: the Cookie object
// layout, its method table, the types and exceptions, and the native entry
// points, in one versioned table found in the capsule
// "velmora.cookies._C_API".
//
//     const vel::cookies::CAPI *api = vel::cookies::bind();   // in exec
//     PyObject *header = api->write_cookie_for_response(cookie);
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::cookies {

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.cookies._C_API";

// The SameSite mode as stored in a Cookie.  Any other stored value is
// written like UNDEFINED.
enum class CookieSameSiteMode : uint32_t {
    UNDEFINED = 0,
    LAX = 1,
    STRICT = 2,
    NONE = 3,
};

// Fields in declared order.  `name` is a non-empty str once the object has
// been initialised; `value` is str or None; `expires` a datetime or None;
// `domain` and `path` str or None.  A negative max_age means no Max-Age.
struct CookieObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *value;
    PyObject *expires;
    PyObject *domain;
    PyObject *path;
    int http_only;
    int secure;
    int64_t max_age;
    uint32_t same_site;  // a CookieSameSiteMode value
    PyObject *weakreflist;
};

// Direct-call methods of Cookie.  Each entry runs the Python override when
// the object's class redefines the method of the same name.
struct CookieMethods {
    PyObject *(*clone)(CookieObject *self);
};

// Every function returns a new reference, or NULL with an exception set;
// same_site_mode_from_bytes returns UNDEFINED with the exception set.
struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *cookie_type;
    PyObject *same_site_mode_type;  // the IntEnum class CookieSameSiteMode
    PyObject *cookie_error;
    PyObject *cookie_value_exceeds_maximum_length;
    const CookieMethods *cookie_methods;

    // bytes -> naive datetime (UTC)
    PyObject *(*datetime_from_cookie_format)(PyObject *value);
    // datetime -> bytes "Wdy, DD Mon YYYY HH:MM:SS GMT"
    PyObject *(*datetime_to_cookie_format)(PyObject *value);
    // (bytes, one-byte separator bytes) -> (before, after); ValueError when absent
    PyObject *(*split_value)(PyObject *raw_value, PyObject *separator);
    // Cookie -> the Set-Cookie header value as bytes
    PyObject *(*write_cookie_for_response)(PyObject *cookie);
    // bytes or None -> mode
    CookieSameSiteMode (*same_site_mode_from_bytes)(PyObject *raw_value);
    // a Set-Cookie header value (bytes) -> Cookie
    PyObject *(*parse_cookie)(PyObject *raw_value);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::cookies
