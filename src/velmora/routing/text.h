// Text helpers of the router: the native forms of the six validator
// patterns, percent-decoding and ASCII case mapping.
#pragma once

#include <Python.h>

namespace velmora::routing {

enum class Shape { Int, Float, Uuid };

// The verdict of re.match(<shape's pattern>, text) for the exact semantics
// of a str pattern (`unicode`: \d is any decimal digit) or a bytes pattern
// (\d is 0-9), `$` also matching before one final newline.  `kind` is a
// PyUnicode kind, or 1 for bytes.
bool shape_matches(Shape shape, bool unicode, int kind, const void *data, Py_ssize_t length);

// urllib.parse.unquote(text) for a str; returns `text` itself (a new
// reference) when it holds no "%".
PyObject *fast_unquote_str(PyObject *text);

// The same after decoding UTF-8 bytes with errors="replace"; always a str.
PyObject *fast_unquote_bytes(const char *data, Py_ssize_t length);

// text.lower() for a str or bytes (bytes: ASCII letters only), reusing the
// object when nothing changes.  `lower_name` is the interned "lower".
PyObject *lower_text(PyObject *text, PyObject *lower_name);

// text.upper() for a str or bytes, reusing the object when nothing changes.
PyObject *upper_text(PyObject *text, PyObject *upper_name);

}  // namespace velmora::routing
