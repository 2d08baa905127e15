// Shared between the two halves of velmora.cookies: the Cookie type and
// module (cookies.cpp) and the text work, i.e. dates, percent-encoding, the
// Set-Cookie writer and parser (cookie_text.cpp).
#pragma once

#include <Python.h>

#include <cstdint>

#include "cookies/cookies_api.h"
#include "vel/override.hpp"

namespace vel::cookies {

struct State {
    PyTypeObject *cookie_type;
    PyObject *cookie_error;
    PyObject *value_too_long;
    PyObject *same_site_enum;
    PyObject *same_site_members[4];  // indexed by the mode's value
    PyObject *parsedate_to_datetime;
    PyObject *datetime_type;
    PyObject *too_long_message;
    PyObject *empty_str;
    PyObject *str_utcoffset;
    vel::OverrideSlot clone_slot;

    template <class F>
    void fields(F &&f)
    {
        f(cookie_type);
        f(cookie_error);
        f(value_too_long);
        f(same_site_enum);
        f(same_site_members);
        f(parsedate_to_datetime);
        f(datetime_type);
        f(too_long_message);
        f(empty_str);
        f(str_utcoffset);
        f(clone_slot);
    }
};

// Set while the module is imported; the module supports one interpreter.
extern State *g_state;

inline constexpr Py_ssize_t MAX_VALUE_BYTES = 4096;

// A Python int (or NULL from a failed conversion) as Max-Age; false with
// an exception set, OverflowError beyond 64 bits.  Consumes `number`.
inline bool take_max_age(PyObject *number, int64_t *out)
{
    if (number == nullptr) {
        return false;
    }
    long long value = PyLong_AsLongLong(number);
    Py_DECREF(number);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = value;
    return true;
}

// A cookie built and validated as the constructor does (name and value
// through their property checks).  Borrows every argument.
PyObject *cookie_create(PyObject *name, PyObject *value, PyObject *expires, PyObject *domain,
                        PyObject *path, int http_only, int secure, int64_t max_age,
                        uint32_t same_site);

// The exported entry points (cookie_text.cpp).
PyObject *datetime_from_cookie_format(PyObject *value);
PyObject *datetime_to_cookie_format(PyObject *value);
PyObject *split_value(PyObject *raw_value, PyObject *separator);
PyObject *write_cookie_for_response(PyObject *cookie);
CookieSameSiteMode same_site_mode_from_bytes(PyObject *raw_value);
PyObject *parse_cookie(PyObject *raw_value);

// Imports the datetime C API into cookie_text.cpp; 0 or -1.
int init_text();

}  // namespace vel::cookies
