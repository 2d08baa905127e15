// The text side of routing: pattern normalisation, the parameter segment
// grammar, and the native forms of the int, float and uuid validators.
#include <Python.h>

#include <cstring>
#include <utility>

#include "routing/routing_internal.h"
#include "vel/text.hpp"

namespace vel::routing {

using vel::Ref;

namespace {

inline Py_UCS4 at(int kind, const void *data, Py_ssize_t i) { return PyUnicode_READ(kind, data, i); }

inline bool is_digit(bool unicode, Py_UCS4 c)
{
    // sre's \d on str patterns is Py_UNICODE_ISDECIMAL; on bytes, ASCII only.
    return unicode ? Py_UNICODE_ISDECIMAL(c) != 0 : (c >= '0' && c <= '9');
}

// Index after a run of digits starting at `i`.
inline Py_ssize_t skip_digits(bool unicode, int kind, const void *data, Py_ssize_t i, Py_ssize_t end)
{
    while (i < end && is_digit(unicode, at(kind, data, i))) {
        ++i;
    }
    return i;
}

}  // namespace

bool shape_matches(Shape shape, bool unicode, int kind, const void *data, Py_ssize_t length)
{
    // `$` without MULTILINE: the end, or just before a newline that ends the text.
    Py_ssize_t end = length;
    if (end > 0 && at(kind, data, end - 1) == '\n') {
        --end;
    }
    switch (shape) {
    case Shape::Int:
        return end > 0 && skip_digits(unicode, kind, data, 0, end) == end;
    case Shape::Float: {
        Py_ssize_t i = skip_digits(unicode, kind, data, 0, end);
        if (i == 0) {
            return false;
        }
        if (i == end) {
            return true;
        }
        if (at(kind, data, i) != '.') {
            return false;
        }
        Py_ssize_t j = skip_digits(unicode, kind, data, i + 1, end);
        return j > i + 1 && j == end;
    }
    case Shape::Uuid:
        if (end != 36) {
            return false;
        }
        for (Py_ssize_t i = 0; i < 36; ++i) {
            Py_UCS4 c = at(kind, data, i);
            bool ok = (i == 8 || i == 13 || i == 18 || i == 23) ? c == '-' : vel::hex_value(c) >= 0;
            if (!ok) {
                return false;
            }
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Pattern normalisation, shared by the tree and the router's static table.

namespace {

// The pattern as exact str: bytes decoded strictly, other objects via str().
PyObject *pattern_text(PyObject *pattern)
{
    if (PyUnicode_CheckExact(pattern)) {
        return Py_NewRef(pattern);
    }
    if (PyBytes_Check(pattern)) {
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(pattern), PyBytes_GET_SIZE(pattern), "strict");
    }
    if (PyUnicode_Check(pattern)) {
        return PyUnicode_FromObject(pattern);
    }
    return PyObject_Str(pattern);
}

}  // namespace

bool normalise_pattern(PyObject *pattern, Pattern &out)
{
    Ref text = vel::steal(pattern_text(pattern));
    if (!text) {
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n == 0) {
        text = Ref::borrow(g_state->s_slash);
    } else if (n > 1 && PyUnicode_READ_CHAR(text.get(), n - 1) == '/' && PyUnicode_READ_CHAR(text.get(), n - 2) != '*') {
        Py_ssize_t end = n;
        while (end > 0 && PyUnicode_READ_CHAR(text.get(), end - 1) == '/') {
            --end;
        }
        text = vel::steal(PyUnicode_Substring(text.get(), 0, end));
        if (!text) {
            return false;
        }
    }
    out.bytes = vel::steal(PyUnicode_AsUTF8String(text.get()));
    if (!out.bytes) {
        return false;
    }
    const char *b = PyBytes_AS_STRING(out.bytes.get());
    Py_ssize_t bn = PyBytes_GET_SIZE(out.bytes.get());
    out.is_static = true;
    for (Py_ssize_t i = 0; i < bn && out.is_static; ++i) {
        out.is_static = b[i] != '{' && b[i] != ':' && b[i] != '<' && b[i] != '*';
    }
    out.str = std::move(text);
    return true;
}

// The pattern's variant with one "/" appended, or "" for "/" itself.
bool pattern_variant(const Pattern &p, Ref &vstr, Ref &vbytes)
{
    if (PyUnicode_CompareWithASCIIString(p.str.get(), "/") == 0) {
        vstr = Ref::borrow(g_state->s_empty);
        vbytes = Ref::borrow(g_state->b_empty);
        return true;
    }
    vstr = vel::steal(PyUnicode_Concat(p.str.get(), g_state->s_slash));
    vbytes = vel::steal(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(p.bytes.get()) + 1));
    if (!vstr || !vbytes) {
        return false;
    }
    char *dst = PyBytes_AS_STRING(vbytes.get());
    std::memcpy(dst, PyBytes_AS_STRING(p.bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(p.bytes.get())));
    dst[PyBytes_GET_SIZE(p.bytes.get())] = '/';
    return true;
}

// _parse_param_segment: "{id:int}", "<int:id>", ":id" ... -> (name, type).
PyObject *parse_param_segment(RadixTreeObject *, PyObject *segment)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(segment);
    Py_UCS4 first = n > 0 ? PyUnicode_READ_CHAR(segment, 0) : 0;
    Py_UCS4 last = n > 0 ? PyUnicode_READ_CHAR(segment, n - 1) : 0;
    Py_ssize_t start = 0;
    Py_ssize_t end = n;
    if ((first == '{' && last == '}') || (first == '<' && last == '>')) {
        start = n >= 2 ? 1 : n;
        end = n >= 2 ? n - 1 : n;
    } else if (first == ':') {
        start = 1;
    }
    Ref inner = vel::steal(PyUnicode_Substring(segment, start, end));
    if (!inner) {
        return nullptr;
    }
    Py_ssize_t colon = PyUnicode_FindChar(inner.get(), ':', 0, PyUnicode_GET_LENGTH(inner.get()), 1);
    if (colon == -2) {
        return nullptr;
    }
    if (colon == -1) {
        return PyTuple_Pack(2, inner.get(), g_state->s_empty);
    }
    Ref a = vel::steal(PyUnicode_Substring(inner.get(), 0, colon));
    Ref b = vel::steal(PyUnicode_Substring(inner.get(), colon + 1, PyUnicode_GET_LENGTH(inner.get())));
    if (!a || !b) {
        return nullptr;
    }
    static const char *const type_words[] = {"int", "float", "uuid", "str", "string", "path"};
    for (const char *word : type_words) {
        if (PyUnicode_CompareWithASCIIString(a.get(), word) == 0) {
            return PyTuple_Pack(2, b.get(), a.get());
        }
    }
    return PyTuple_Pack(2, a.get(), b.get());
}

}  // namespace vel::routing
