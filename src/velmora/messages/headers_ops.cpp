// The header operations of Message, working directly on the raw header
// list, and the building of raw lists from server values.
#include <Python.h>

#include "messages/header_key.h"
#include "messages/messages_internal.h"
#include "vel/args.hpp"

namespace vel::messages {

namespace {

inline PyObject *raw_list(MessageObject *self)
{
    return ensure_raw_headers(self) < 0 ? nullptr : self->_raw_headers;
}

// The scan of the raw list (vel::scan_header_list); tuple subclasses are
// entries too.
template <class F>
int scan(MessageObject *self, const HeaderKey &key, F on_match)
{
    PyObject *values = raw_list(self);
    if (values == nullptr) {
        return -1;
    }
    if (!PyList_Check(values)) {
        return vel::expected_type_error("list", values) ? 0 : -1;
    }
    return vel::scan_header_list<false>(values, key, on_match);
}

// The pair of a 2-item sequence, with the interpreter's unpacking errors.
bool unpack_pair(PyObject *item, Ref *first, Ref *second)
{
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        *first = borrow(PyTuple_GET_ITEM(item, 0));
        *second = borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref it = steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref parts[2];
    for (int i = 0; i < 2; ++i) {
        parts[i] = steal(PyIter_Next(it.get()));
        if (!parts[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra || PyErr_Occurred()) {
        if (extra) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        }
        return false;
    }
    *first = parts[0];
    *second = parts[1];
    return true;
}

// (name, value) as a new tuple.
PyObject *pair(PyObject *name, PyObject *value)
{
    PyObject *entry = PyTuple_New(2);
    if (entry != nullptr) {
        PyTuple_SET_ITEM(entry, 0, Py_NewRef(name));
        PyTuple_SET_ITEM(entry, 1, Py_NewRef(value));
    }
    return entry;
}

// Removes the first item of `list` equal to `item` (list.remove).
int list_remove(PyObject *list, PyObject *item)
{
    Ref hold = borrow(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *candidate = PyList_GET_ITEM(list, i);
        int eq = candidate == item ? 1 : PyObject_RichCompareBool(Ref(borrow(candidate)).get(), item, Py_EQ);
        if (eq < 0) {
            return -1;
        }
        if (eq > 0 && i < PyList_GET_SIZE(list)) {
            return PyList_SetSlice(list, i, i + 1, nullptr);
        }
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}

}  // namespace

// ---------------------------------------------------------------- interning

PyObject *intern_header_name_bytes(PyObject *name)
{
    if (name != Py_None && PyBytes_Check(name)) {
        PyObject *shared = get_interned_header_name_bytes(PyBytes_AS_STRING(name),
                                                          static_cast<size_t>(PyBytes_GET_SIZE(name)));
        if (shared != nullptr) {
            return Py_NewRef(shared);
        }
    }
    return Py_NewRef(name);
}

PyObject *intern_method_str(PyObject *method)
{
    if (PyUnicode_Check(method) && PyUnicode_GET_LENGTH(method) > 0) {
        Py_ssize_t n;
        const char *text = PyUnicode_AsUTF8AndSize(method, &n);
        if (text == nullptr) {
            return nullptr;
        }
        PyObject *shared = get_interned_method_str(text, static_cast<size_t>(n));
        if (shared != nullptr) {
            return Py_NewRef(shared);
        }
    }
    return Py_NewRef(method);
}

// ---------------------------------------------------------------- building raw lists

PyObject *copy_header_list(PyObject *headers)
{
    if (headers == Py_None) {
        return PyList_New(0);
    }
    Ref hold = borrow(headers);
    Py_ssize_t n = PyList_GET_SIZE(headers);
    Ref result = steal(PyList_New(n));
    if (!result) {
        return nullptr;
    }
    // Allocations may run a collection, and finalisers may change the
    // caller's list: its size is read on every step and the item is held.
    Py_ssize_t filled = 0;
    for (; filled < n && filled < PyList_GET_SIZE(headers); ++filled) {
        Ref item = borrow(PyList_GET_ITEM(headers, filled));
        PyObject *entry = item.get();
        PyObject *stored;
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 && PyBytes_Check(PyTuple_GET_ITEM(entry, 0))) {
            PyObject *name = PyTuple_GET_ITEM(entry, 0);
            if (!PyBytes_CheckExact(name)) {
                vel::expected_type_error("bytes", name);
                return nullptr;
            }
            Ref shared = steal(intern_header_name_bytes(name));
            stored = shared.get() == name ? item.release() : pair(shared.get(), PyTuple_GET_ITEM(entry, 1));
            if (stored == nullptr) {
                return nullptr;
            }
        } else {
            stored = item.release();
        }
        PyList_SET_ITEM(result.get(), filled, stored);
    }
    if (filled < n && PyList_SetSlice(result.get(), filled, n, nullptr) < 0) {
        return nullptr;
    }
    return result.release();
}

namespace {

// A scope header name as stored: bytes shared, str and others as Latin-1
// bytes (others through str()).
PyObject *scope_header_name(PyObject *name)
{
    if (PyBytes_CheckExact(name)) {
        return intern_header_name_bytes(name);
    }
    Ref text = PyUnicode_Check(name) ? borrow(name) : steal(PyObject_Str(name));
    Ref raw = text ? steal(PyUnicode_AsLatin1String(text.get())) : Ref();
    return raw ? intern_header_name_bytes(raw.get()) : nullptr;
}

int append_scope_item(PyObject *result, PyObject *item)
{
    Ref hold = borrow(item);
    Ref name = steal(PySequence_GetItem(item, 0));
    Ref value = name ? steal(PySequence_GetItem(item, 1)) : Ref();
    Ref stored = value ? steal(scope_header_name(name.get())) : Ref();
    Ref entry = stored ? steal(pair(stored.get(), value.get())) : Ref();
    return entry ? PyList_Append(result, entry.get()) : -1;
}

}  // namespace

PyObject *extract_headers_from_scope(PyObject *headers)
{
    Ref result = steal(PyList_New(0));
    if (!result || headers == Py_None) {
        return result.release();
    }
    Ref items;
    if (get_optional_attr(headers, g_state->str_items, items.out()) < 0) {
        return nullptr;
    }
    Ref source = borrow(headers);
    if (items && items.get() != Py_None) {
        source = steal(PyObject_CallNoArgs(items.get()));
        if (!source) {
            return nullptr;
        }
    }
    Ref it = steal(PyObject_GetIter(source.get()));
    if (!it) {
        return nullptr;
    }
    while (Ref item = steal(PyIter_Next(it.get()))) {
        if (append_scope_item(result.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : result.release();
}

// ---------------------------------------------------------------- the raw list

int ensure_raw_headers(MessageObject *self)
{
    if (self->_raw_headers != nullptr && self->_raw_headers != Py_None) {
        return 0;
    }
    PyObject *made = nullptr;
    Ref scope;
    if (get_optional_attr(O(self), g_state->str_scope, scope.out()) < 0) {
        return -1;
    }
    Ref scope_headers;
    if (scope && scope.get() != Py_None &&
        get_optional_attr(scope.get(), g_state->str_headers, scope_headers.out()) < 0) {
        return -1;
    }
    made = scope_headers ? extract_headers_from_scope(scope_headers.get()) : PyList_New(0);
    if (made == nullptr) {
        return -1;
    }
    Py_XSETREF(self->_raw_headers, made);
    return 0;
}

// ---------------------------------------------------------------- reads

PyObject *get_headers_impl(MessageObject *self, PyObject *key)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return nullptr;
    }
    Ref result = steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    int rc = scan(self, k, [&](PyObject *entry) {
        // Converting may run Python code (str()) that changes the list.
        Ref raw = borrow(PyTuple_GET_ITEM(entry, 1));
        Ref value = steal(convert_header_value(raw.get(), k.bytes_key()));
        return value && PyList_Append(result.get(), value.get()) == 0 ? 0 : -1;
    });
    return rc < 0 ? nullptr : result.release();
}

int visit_header_values(MessageObject *self, PyObject *key, int (*visit)(PyObject *value, void *context),
                        void *context)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return -1;
    }
    return scan(self, k, [&](PyObject *entry) {
        Ref raw = borrow(PyTuple_GET_ITEM(entry, 1));
        Ref value = steal(convert_header_value(raw.get(), k.bytes_key()));
        return value ? visit(value.get(), context) : -1;
    });
}

PyObject *get_first_header_impl(MessageObject *self, PyObject *key)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return nullptr;
    }
    Ref found;
    int rc = scan(self, k, [&](PyObject *entry) {
        found = borrow(PyTuple_GET_ITEM(entry, 1));
        return 1;
    });
    if (rc < 0) {
        return nullptr;
    }
    return found ? convert_header_value(found.get(), k.bytes_key()) : Py_NewRef(Py_None);
}

int first_raw_value(MessageObject *self, PyObject *key, Ref *out)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return -1;
    }
    return scan(self, k, [&](PyObject *entry) {
        *out = borrow(PyTuple_GET_ITEM(entry, 1));
        return 1;
    });
}

PyObject *get_single_header_impl(MessageObject *self, PyObject *key)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return nullptr;
    }
    Ref found;
    int count = 0;
    int rc = scan(self, k, [&](PyObject *entry) {
        if (++count > 1) {
            return 1;
        }
        found = borrow(PyTuple_GET_ITEM(entry, 1));
        return 0;
    });
    if (rc < 0) {
        return nullptr;
    }
    if (count != 1) {
        PyErr_SetString(PyExc_ValueError, count > 1 ? "Headers contains more than one header with the given key"
                                                    : "Headers does not contain one header with the given key");
        return nullptr;
    }
    return convert_header_value(found.get(), k.bytes_key());
}

PyObject *get_headers_tuples_impl(MessageObject *self, PyObject *key)
{
    HeaderKey k;
    if (!k.init(key, g_state->str_lower)) {
        return nullptr;
    }
    Ref result = steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    int rc = scan(self, k, [&](PyObject *entry) { return PyList_Append(result.get(), entry) == 0 ? 0 : -1; });
    return rc < 0 ? nullptr : result.release();
}

int has_header_impl(MessageObject *self, PyObject *key)
{
    HeaderKey k;
    PyObject *values = k.init(key, g_state->str_lower) ? raw_list(self) : nullptr;
    if (values == nullptr) {
        return -1;
    }
    Ref hold = borrow(values);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        PyObject *item = PyList_GET_ITEM(values, i);
        Ref name;
        Ref value;
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            int fast = k.fast_match(PyTuple_GET_ITEM(item, 0));
            if (fast != HeaderKey::kSlow) {
                if (fast) {
                    return 1;
                }
                continue;
            }
        }
        Ref hold_item = borrow(item);
        if (!unpack_pair(item, &name, &value)) {
            return -1;
        }
        int found = k.match(name.get());
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- writes

int add_header_impl(MessageObject *self, PyObject *key, PyObject *value)
{
    Ref name = PyBytes_CheckExact(key) ? steal(intern_header_name_bytes(key)) : borrow(key);
    Ref entry = steal(pair(name.get(), value));
    // The list is read after allocating: a collection may have run.
    PyObject *values = entry ? raw_list(self) : nullptr;
    return values != nullptr ? PyList_Append(values, entry.get()) : -1;
}

int remove_header_impl(MessageObject *self, PyObject *key)
{
    Ref matched = steal(get_headers_tuples_impl(self, key));
    if (!matched) {
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(matched.get());
    if (n == 0) {
        return 0;
    }
    Ref values = borrow(self->_raw_headers);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (list_remove(values.get(), PyList_GET_ITEM(matched.get(), i)) < 0) {
            return -1;
        }
    }
    return 0;
}

int remove_headers_impl(MessageObject *self, PyObject *headers)
{
    if (!vel::check_arg_exact(headers, &PyList_Type, "headers", false)) {
        return -1;
    }
    PyObject *values = raw_list(self);
    if (values == nullptr) {
        return -1;
    }
    Ref hold_values = borrow(values);
    Ref hold = borrow(headers);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
        Ref item = borrow(PyList_GET_ITEM(headers, i));
        if (list_remove(values, item.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace vel::messages
