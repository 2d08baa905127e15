// _format_validation_details: validation details of any shape normalised into
// the body of a 422 response, {"detail": [{"loc", "msg", "type"}, ...]}.
#include <Python.h>

#include "keystone/keystone_internal.h"
#include "vel/args.hpp"
#include "vel/object.hpp"
#include "vel/ref.hpp"

namespace vel::keystone {

namespace {

// [item]
PyObject *list_of(PyObject *item)
{
    PyObject *out = PyList_New(1);
    if (out != nullptr) {
        PyList_SET_ITEM(out, 0, Py_NewRef(item));
    }
    return out;
}

// {"detail": items}
PyObject *wrap(PyObject *items)
{
    PyObject *out = PyDict_New();
    if (out != nullptr && PyDict_SetItem(out, g_state->str_detail, items) < 0) {
        Py_CLEAR(out);
    }
    return out;
}

// {"loc": loc, "msg": msg, "type": "validation_error"}
Ref entry(PyObject *loc, PyObject *msg)
{
    State *st = g_state;
    Ref out = steal(PyDict_New());
    if (!out || PyDict_SetItem(out.get(), st->str_loc, loc) < 0 || PyDict_SetItem(out.get(), st->str_msg, msg) < 0 ||
        PyDict_SetItem(out.get(), st->str_type, st->str_validation_error) < 0) {
        return Ref();
    }
    return out;
}

Ref body_loc() { return steal(list_of(g_state->str_body)); }

// {"detail": [entry(loc, msg)]}
PyObject *single(PyObject *loc, PyObject *msg)
{
    Ref e = loc != nullptr && msg != nullptr ? entry(loc, msg) : Ref();
    Ref items = e ? steal(list_of(e.get())) : Ref();
    return items ? wrap(items.get()) : nullptr;
}

PyObject *single_body(PyObject *msg)
{
    Ref loc = body_loc();
    return single(loc.get(), msg);
}

bool is_ascii_digits(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return n > 0;
}

// A path token: an int for a list index, else the field name.
int append_token(PyObject *loc, PyObject *text, Py_ssize_t start, Py_ssize_t end)
{
    Ref token = steal(PyUnicode_Substring(text, start, end));
    if (!token) {
        return -1;
    }
    if (is_ascii_digits(token.get())) {
        Ref number = steal(PyLong_FromUnicodeObject(token.get(), 10));
        if (number) {
            token = number;
        } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();  // beyond the interpreter's digit limit: kept as text
        } else {
            return -1;
        }
    }
    return PyList_Append(loc, token.get());
}

// A text ending in "<message> - at `$.path[0]`" (msgspec's errors): the
// message, and the path as location tokens after "body".
PyObject *from_text(PyObject *text)
{
    State *st = g_state;
    Ref loc = body_loc();
    if (!loc) {
        return nullptr;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t at = PyUnicode_Find(text, st->str_marker, 0, length, -1);
    if (at == -2) {
        return nullptr;
    }
    if (at < 0) {
        return single(loc.get(), text);
    }
    Ref msg = steal(PyUnicode_Substring(text, 0, at));
    if (!msg) {
        return nullptr;
    }
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t start = at + PyUnicode_GET_LENGTH(st->str_marker);
    Py_ssize_t end = length;
    while (end > start && PyUnicode_READ(kind, data, end - 1) == '`') {
        --end;
    }
    if (start < end && PyUnicode_READ(kind, data, start) == '$') {
        ++start;
    }
    if (start < end && PyUnicode_READ(kind, data, start) == '.') {
        ++start;
    }
    Py_ssize_t token_start = -1;
    for (Py_ssize_t i = start; i <= end; ++i) {
        Py_UCS4 c = i < end ? PyUnicode_READ(kind, data, i) : '.';
        bool separator = c == '.' || c == '[' || c == ']';
        if (!separator && token_start < 0) {
            token_start = i;
        } else if (separator && token_start >= 0) {
            if (append_token(loc.get(), text, token_start, i) < 0) {
                return nullptr;
            }
            token_start = -1;
        }
    }
    return single(loc.get(), msg.get());
}

PyObject *from_dict(PyObject *details)
{
    State *st = g_state;
    int has = PySequence_Contains(details, st->str_detail);
    if (has != 0) {
        return has < 0 ? nullptr : Py_NewRef(details);
    }
    int has_loc = PySequence_Contains(details, st->str_loc);
    int has_msg = has_loc > 0 ? PySequence_Contains(details, st->str_msg) : has_loc;
    if (has_msg < 0) {
        return nullptr;
    }
    if (has_msg > 0) {
        Ref items = steal(list_of(details));
        return items ? wrap(items.get()) : nullptr;
    }
    Ref text = steal(PyObject_Str(details));
    return text ? single_body(text.get()) : nullptr;
}

PyObject *from_list(PyObject *details)
{
    State *st = g_state;
    if (PyList_GET_SIZE(details) > 0) {
        Ref first = borrow(PyList_GET_ITEM(details, 0));
        int has_loc = PyDict_Check(first.get()) ? PySequence_Contains(first.get(), st->str_loc) : 0;
        if (has_loc != 0) {
            return has_loc < 0 ? nullptr : wrap(details);
        }
    }
    Ref items = steal(PyList_New(0));
    if (!items) {
        return nullptr;
    }
    // str(item) may change the list: its length is read again every time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(details); ++i) {
        Ref item = borrow(PyList_GET_ITEM(details, i));
        Ref text = steal(PyObject_Str(item.get()));
        Ref loc = text ? body_loc() : Ref();
        Ref e = loc ? entry(loc.get(), text.get()) : Ref();
        if (!e || PyList_Append(items.get(), e.get()) < 0) {
            return nullptr;
        }
    }
    return wrap(items.get());
}

const char *const FORMAT_ARGS[] = {"details", "default_msg"};
constexpr Signature FORMAT_SIG = {"_format_validation_details", FORMAT_ARGS, 2, 1};

PyObject *py_format_validation_details(PyObject *details, PyObject *default_msg)
{
    return format_validation_details(details, default_msg != nullptr ? default_msg : Py_None);
}

}  // namespace

PyObject *format_validation_details(PyObject *details, PyObject *default_msg)
{
    if (PyDict_Check(details)) {
        return from_dict(details);
    }
    if (PyList_Check(details)) {
        return from_list(details);
    }
    if (PyUnicode_Check(details)) {
        Ref text = PyUnicode_CheckExact(details) ? borrow(details) : steal(PyObject_Str(details));
        return text ? from_text(text.get()) : nullptr;
    }
    int truth = PyObject_IsTrue(default_msg);
    if (truth < 0) {
        return nullptr;
    }
    Ref msg = truth ? steal(PyObject_Str(default_msg)) : borrow(g_state->str_default_msg);
    return msg ? single_body(msg.get()) : nullptr;
}

PyMethodDef details_functions[] = {
    {"_format_validation_details",
     VEL_METH((fastcall_function<py_format_validation_details, FORMAT_SIG>)), METH_FASTCALL | METH_KEYWORDS,
     "_format_validation_details(details, default_msg=None)\n--\n\n"
     "Validation details as the body of a 422 response: {\"detail\": [...]}."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::keystone
