#include "routing/text.h"

#include <new>
#include <vector>

#include "vel/ref.hpp"

namespace velmora::routing {

namespace {

inline Py_UCS4 at(int kind, const void *data, Py_ssize_t i) { return PyUnicode_READ(kind, data, i); }

inline bool is_digit(bool unicode, Py_UCS4 c)
{
    // sre's \d on str patterns is Py_UNICODE_ISDECIMAL; on bytes, ASCII only.
    return unicode ? Py_UNICODE_ISDECIMAL(c) != 0 : (c >= '0' && c <= '9');
}

inline bool is_hex(Py_UCS4 c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline int hex_value(Py_UCS4 c)
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
            bool ok = (i == 8 || i == 13 || i == 18 || i == 23) ? c == '-' : is_hex(c);
            if (!ok) {
                return false;
            }
        }
        return true;
    }
    return false;
}

namespace {

// unquote() decodes each maximal run of ASCII characters on its own: the
// escapes of a run become bytes, decoded as UTF-8 with errors="replace";
// other characters are copied as they are.  Appends the run [start, end).
bool append_ascii_run(int kind, const void *data, Py_ssize_t start, Py_ssize_t end, std::vector<char> &bytes,
                      std::vector<Py_UCS4> &out)
{
    bytes.clear();
    bool high = false;
    for (Py_ssize_t i = start; i < end; ++i) {
        Py_UCS4 c = at(kind, data, i);
        if (c == '%') {
            int hi = i + 1 < end ? hex_value(at(kind, data, i + 1)) : -1;
            int lo = i + 2 < end ? hex_value(at(kind, data, i + 2)) : -1;
            if (hi >= 0 && lo >= 0) {
                char b = static_cast<char>(hi * 16 + lo);
                high = high || (hi >= 8);
                bytes.push_back(b);
                i += 2;
                continue;
            }
        }
        bytes.push_back(static_cast<char>(c));
    }
    if (!high) {
        for (char b : bytes) {
            out.push_back(static_cast<unsigned char>(b));
        }
        return true;
    }
    vel::Ref decoded = vel::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
    if (!decoded) {
        return false;
    }
    int dkind = PyUnicode_KIND(decoded.get());
    const void *ddata = PyUnicode_DATA(decoded.get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(decoded.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.push_back(at(dkind, ddata, i));
    }
    return true;
}

PyObject *unquote_slow(PyObject *text)
{
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    PyObject *result = nullptr;
    try {
        std::vector<char> bytes;
        std::vector<Py_UCS4> out;
        out.reserve(static_cast<size_t>(n));
        bool ok = true;
        Py_ssize_t i = 0;
        while (ok && i < n) {
            if (at(kind, data, i) >= 0x80) {
                out.push_back(at(kind, data, i));
                ++i;
                continue;
            }
            Py_ssize_t run_end = i;
            while (run_end < n && at(kind, data, run_end) < 0x80) {
                ++run_end;
            }
            ok = append_ascii_run(kind, data, i, run_end, bytes, out);
            i = run_end;
        }
        if (ok) {
            result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size()));
        }
    } catch (const std::bad_alloc &) {
        Py_CLEAR(result);
        PyErr_NoMemory();
    }
    return result;
}

}  // namespace

PyObject *fast_unquote_str(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t pos = PyUnicode_FindChar(text, '%', 0, n, 1);
    if (pos == -1) {
        return Py_NewRef(text);
    }
    return pos == -2 ? nullptr : unquote_slow(text);
}

PyObject *fast_unquote_bytes(const char *data, Py_ssize_t length)
{
    vel::Ref text = vel::steal(PyUnicode_DecodeUTF8(data, length, "replace"));
    return text ? fast_unquote_str(text.get()) : nullptr;
}

namespace {

// Applies `map` to every byte of `src` (ASCII only) into a new object of
// the same kind, or returns NULL with no error when nothing would change.
template <class Pred, class Map>
PyObject *map_ascii(PyObject *text, Pred needs, Map map)
{
    bool is_bytes = PyBytes_CheckExact(text);
    const char *src = is_bytes ? PyBytes_AS_STRING(text) : static_cast<const char *>(PyUnicode_DATA(text));
    Py_ssize_t n = is_bytes ? PyBytes_GET_SIZE(text) : PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = 0;
    while (first < n && !needs(src[first])) {
        ++first;
    }
    if (first == n) {
        return Py_NewRef(text);
    }
    PyObject *result = is_bytes ? PyBytes_FromStringAndSize(nullptr, n) : PyUnicode_New(n, 127);
    if (result != nullptr) {
        char *dst = is_bytes ? PyBytes_AS_STRING(result) : static_cast<char *>(PyUnicode_DATA(result));
        for (Py_ssize_t i = 0; i < n; ++i) {
            dst[i] = i < first ? src[i] : map(src[i]);
        }
    }
    return result;
}

inline bool ascii_fast(PyObject *text)
{
    return PyBytes_CheckExact(text) || (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text));
}

}  // namespace

PyObject *lower_text(PyObject *text, PyObject *lower_name)
{
    if (!ascii_fast(text)) {
        return PyObject_CallMethodNoArgs(text, lower_name);
    }
    return map_ascii(
        text, [](char c) { return c >= 'A' && c <= 'Z'; },
        [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
}

PyObject *upper_text(PyObject *text, PyObject *upper_name)
{
    if (!ascii_fast(text)) {
        return PyObject_CallMethodNoArgs(text, upper_name);
    }
    return map_ascii(
        text, [](char c) { return c >= 'a' && c <= 'z'; },
        [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
}

}  // namespace velmora::routing
