// Text helpers shared by the modules: hexadecimal digits, ASCII case
// mapping of str and bytes objects, and percent-decoding with the results
// of urllib.parse.unquote (escapes decoded as UTF-8 with replacement, a "%"
// without two hexadecimal digits kept, "+" untouched).
#pragma once

#include <Python.h>

#include <cstring>

#include "vel/ref.hpp"

namespace vel {

// The value of a hexadecimal digit, or -1.  Any code unit may be given: a
// negative char converts to a large value and is no digit.
constexpr int hex_value(Py_UCS4 c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

constexpr bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_ascii_lower(char c) { return c >= 'a' && c <= 'z'; }
constexpr char ascii_lower(char c) { return is_ascii_upper(c) ? static_cast<char>(c + 32) : c; }
constexpr char ascii_upper(char c) { return is_ascii_lower(c) ? static_cast<char>(c - 32) : c; }

namespace detail {

// `text` (exact bytes, or an ASCII str) with `map` applied to every
// character; the object itself when `needs` holds for none of them.
template <bool (*Needs)(char), char (*Map)(char)>
PyObject *map_ascii(PyObject *text)
{
    bool is_bytes = PyBytes_CheckExact(text);
    const char *src = is_bytes ? PyBytes_AS_STRING(text) : static_cast<const char *>(PyUnicode_DATA(text));
    Py_ssize_t n = is_bytes ? PyBytes_GET_SIZE(text) : PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = 0;
    while (first < n && !Needs(src[first])) {
        ++first;
    }
    if (first == n) {
        return Py_NewRef(text);
    }
    PyObject *result = is_bytes ? PyBytes_FromStringAndSize(nullptr, n) : PyUnicode_New(n, 127);
    if (result != nullptr) {
        char *dst = is_bytes ? PyBytes_AS_STRING(result) : static_cast<char *>(PyUnicode_DATA(result));
        std::memcpy(dst, src, static_cast<size_t>(first));
        for (Py_ssize_t i = first; i < n; ++i) {
            dst[i] = Map(src[i]);
        }
    }
    return result;
}

inline bool ascii_mappable(PyObject *text)
{
    return PyBytes_CheckExact(text) || (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text));
}

// Escapes of `s[first:n]` decoded into bytes (s[:first] copied as it is),
// then the bytes decoded as UTF-8 with replacement.  `s` is ASCII, so
// nothing but the escapes can produce non-ASCII bytes.
inline PyObject *unquote_ascii(const char *s, Py_ssize_t n, Py_ssize_t first)
{
    char local[256];
    char *buffer = n <= static_cast<Py_ssize_t>(sizeof local) ? local
                                                               : static_cast<char *>(PyMem_Malloc(static_cast<size_t>(n)));
    if (buffer == nullptr) {
        return PyErr_NoMemory();
    }
    std::memcpy(buffer, s, static_cast<size_t>(first));
    Py_ssize_t length = first;
    for (Py_ssize_t i = first; i < n; ++i) {
        int high = s[i] == '%' && i + 2 < n ? hex_value(static_cast<unsigned char>(s[i + 1])) : -1;
        int low = high >= 0 ? hex_value(static_cast<unsigned char>(s[i + 2])) : -1;
        if (low >= 0) {
            buffer[length++] = static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            buffer[length++] = s[i];
        }
    }
    PyObject *result = PyUnicode_DecodeUTF8(buffer, length, "replace");
    if (buffer != local) {
        PyMem_Free(buffer);
    }
    return result;
}

// unquote() of a str with non-ASCII characters: each maximal run of ASCII
// characters is decoded on its own (its escapes as UTF-8 bytes with
// replacement); other characters are copied.  Neither step makes the text
// longer, so both buffers hold the length of the input.
inline PyObject *unquote_runs(PyObject *text)
{
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_UCS4 *out = PyMem_New(Py_UCS4, static_cast<size_t>(n));
    char *bytes = PyMem_New(char, static_cast<size_t>(n));
    PyObject *result = nullptr;
    Py_ssize_t k = 0;
    bool ok = out != nullptr && bytes != nullptr;
    if (!ok) {
        PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; ok && i < n;) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0x80) {
            out[k++] = c;
            ++i;
            continue;
        }
        Py_ssize_t m = 0;
        bool high = false;
        for (; i < n && (c = PyUnicode_READ(kind, data, i)) < 0x80; ++i) {
            int hi = c == '%' && i + 2 < n ? hex_value(PyUnicode_READ(kind, data, i + 1)) : -1;
            int lo = hi >= 0 ? hex_value(PyUnicode_READ(kind, data, i + 2)) : -1;
            if (lo >= 0) {
                bytes[m++] = static_cast<char>(hi << 4 | lo);
                high = high || hi >= 8;
                i += 2;
            } else {
                bytes[m++] = static_cast<char>(c);
            }
        }
        if (!high) {
            for (Py_ssize_t j = 0; j < m; ++j) {
                out[k++] = static_cast<unsigned char>(bytes[j]);
            }
            continue;
        }
        Ref decoded = steal(PyUnicode_DecodeUTF8(bytes, m, "replace"));
        ok = static_cast<bool>(decoded);
        for (Py_ssize_t j = 0; ok && j < PyUnicode_GET_LENGTH(decoded.get()); ++j) {
            out[k++] = PyUnicode_READ_CHAR(decoded.get(), j);
        }
    }
    if (ok) {
        result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out, k);
    }
    PyMem_Free(out);
    PyMem_Free(bytes);
    return result;
}

}  // namespace detail

// text.lower() of a str or bytes object (for bytes: ASCII letters only),
// native for bytes and ASCII str, through the method `lower_name` (an
// interned "lower") otherwise.  An ASCII text that needs no change is
// returned itself.  New reference, or NULL with an exception set.
inline PyObject *lower_text(PyObject *text, PyObject *lower_name)
{
    if (!detail::ascii_mappable(text)) {
        return PyObject_CallMethodNoArgs(text, lower_name);
    }
    return detail::map_ascii<is_ascii_upper, ascii_lower>(text);
}

// text.upper(), in the same way.
inline PyObject *upper_text(PyObject *text, PyObject *upper_name)
{
    if (!detail::ascii_mappable(text)) {
        return PyObject_CallMethodNoArgs(text, upper_name);
    }
    return detail::map_ascii<is_ascii_lower, ascii_upper>(text);
}

// urllib.parse.unquote(text) for a str; `text` itself (a new reference)
// when it holds no "%".
inline PyObject *unquote_str(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = PyUnicode_FindChar(text, '%', 0, n, 1);
    if (first == -1) {
        return Py_NewRef(text);
    }
    if (first == -2) {
        return nullptr;
    }
    if (PyUnicode_IS_ASCII(text)) {
        return detail::unquote_ascii(static_cast<const char *>(PyUnicode_DATA(text)), n, first);
    }
    return detail::unquote_runs(text);
}

// unquote(data.decode("utf-8", errors)): `errors` is "strict" (invalid
// UTF-8 raises UnicodeDecodeError) or "replace".  Always a new str.
inline PyObject *unquote_utf8(const char *data, Py_ssize_t n, const char *errors)
{
    const void *percent = std::memchr(data, '%', static_cast<size_t>(n));
    if (percent == nullptr) {
        return PyUnicode_DecodeUTF8(data, n, errors);
    }
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n && ascii; ++i) {
        ascii = static_cast<unsigned char>(data[i]) < 0x80;
    }
    if (ascii) {
        return detail::unquote_ascii(data, n, static_cast<const char *>(percent) - data);
    }
    Ref text = steal(PyUnicode_DecodeUTF8(data, n, errors));
    return text ? unquote_str(text.get()) : nullptr;
}

}  // namespace vel
