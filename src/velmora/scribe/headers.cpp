// Header entries as the writers see them: pairs of bytes or str, checked
// for line breaks, converted to str for RSGI servers.
#include "scribe/scribe_internal.h"

#include "vel/text.hpp"

namespace vel::scribe {

bool name_equals(PyObject *name, const char *lower, size_t n)
{
    const char *s;
    size_t size;
    if (PyBytes_Check(name)) {
        s = PyBytes_AS_STRING(name);
        size = static_cast<size_t>(PyBytes_GET_SIZE(name));
    } else if (PyUnicode_Check(name) && PyUnicode_IS_ASCII(name)) {
        s = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(name));
        size = static_cast<size_t>(PyUnicode_GET_LENGTH(name));
    } else {
        return false;
    }
    if (size != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (ascii_lower(s[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

int scan_declared(PyObject *raw, Declared *out)
{
    if (raw == nullptr || !PyList_Check(raw)) {
        return 0;
    }
    // Names are bytes or str: comparing them runs no Python code, so the
    // list cannot change under the loop.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        PyObject *entry = PyList_GET_ITEM(raw, i);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 1) {
            continue;  // reported by the writer that walks the list
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (name_equals(name, "content-type", 12)) {
            out->content_type = true;
        } else if (name_equals(name, "content-length", 14)) {
            out->content_length = true;
        } else if (name_equals(name, "transfer-encoding", 17)) {
            out->transfer_encoding = true;
        }
    }
    return 0;
}

bool unpack_pair(PyObject *entry, Ref &name, Ref &value)
{
    if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2) {
        name = borrow(PyTuple_GET_ITEM(entry, 0));
        value = borrow(PyTuple_GET_ITEM(entry, 1));
        return true;
    }
    if (PyList_Check(entry) && PyList_GET_SIZE(entry) == 2) {
        name = borrow(PyList_GET_ITEM(entry, 0));
        value = borrow(PyList_GET_ITEM(entry, 1));
        return true;
    }
    PyErr_Format(PyExc_TypeError, "a header must be a (name, value) pair, got %.200s", Py_TYPE(entry)->tp_name);
    return false;
}

namespace {

inline bool breaks_line(Py_UCS4 c) { return c == '\r' || c == '\n' || c == '\0'; }

bool forbidden_char(bool is_name, PyObject *shown)
{
    PyErr_Format(PyExc_ValueError, "header %s %R holds CR, LF or NUL", is_name ? "name" : "value", shown);
    return false;
}

}  // namespace

bool check_header_bytes(const char *data, Py_ssize_t n, bool is_name, PyObject *shown)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (breaks_line(static_cast<unsigned char>(data[i]))) {
            return forbidden_char(is_name, shown);
        }
    }
    return true;
}

bool check_header_str(PyObject *text, bool is_name)
{
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (breaks_line(PyUnicode_READ(kind, data, i))) {
            return forbidden_char(is_name, text);
        }
    }
    return true;
}

PyObject *header_text(PyObject *value, PyObject *table)
{
    if (PyUnicode_CheckExact(value)) {
        return Py_NewRef(value);
    }
    if (PyBytes_Check(value)) {
        if (table != nullptr && PyBytes_CheckExact(value)) {
            PyObject *hit = PyDict_GetItemWithError(table, value);
            if (hit != nullptr) {
                return Py_NewRef(hit);
            }
            if (PyErr_Occurred()) {
                return nullptr;
            }
        }
        return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
    }
    return PyObject_Str(value);
}

PyObject *extract_rsgi_headers(PyObject *raw_headers)
{
    Ref source = borrow(raw_headers);
    Ref items;
    if (!optional_attr(raw_headers, g_state->s_items, items)) {
        return nullptr;
    }
    if (items && items.get() != Py_None) {
        source = steal(PyObject_CallNoArgs(items.get()));
        if (!source) {
            return nullptr;
        }
    }
    Ref it = steal(PyObject_GetIter(source.get()));
    Ref result = it ? steal(PyList_New(0)) : Ref();
    if (!result) {
        return nullptr;
    }
    for (;;) {
        Ref entry = steal(PyIter_Next(it.get()));
        if (!entry) {
            return PyErr_Occurred() ? nullptr : result.release();
        }
        Ref name, value;
        if (!unpack_pair(entry.get(), name, value)) {
            return nullptr;
        }
        Ref n = steal(header_text(name.get(), nullptr));
        Ref v = n ? steal(header_text(value.get(), nullptr)) : Ref();
        Ref pair = v ? steal(PyTuple_Pack(2, n.get(), v.get())) : Ref();
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
}

bool attr_or_none(PyObject *obj, PyObject *name, Ref &out)
{
    if (!optional_attr(obj, name, out)) {
        return false;
    }
    if (!out) {
        out = borrow(Py_None);
    }
    return true;
}

}  // namespace vel::scribe
