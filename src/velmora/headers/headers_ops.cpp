// The operations of Headers: the scans over the entry list, the native
// implementation of each method, and the method table the siblings call.
#include "headers/headers_internal.h"

#include <utility>

#include "vel/args.hpp"

namespace vel::headers {

namespace {

// The errors of iterating or appending to a missing list, in Python's words.
void values_not_iterable()
{
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
}

int values_cannot_append()
{
    PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'append'");
    return -1;
}

// The list of entries, or NULL with the "not iterable" TypeError when the
// object holds none.
inline PyObject *values_for_scan(HeadersObject *self)
{
    PyObject *values = values_of(self);
    if (!PyList_Check(values)) {
        values_not_iterable();
        return nullptr;
    }
    return values;
}

int append_entry(HeadersObject *self, PyObject *name, PyObject *value)
{
    if (!PyList_Check(values_of(self))) {
        return values_cannot_append();
    }
    Ref entry = steal(PyTuple_New(2));
    if (!entry) {
        return -1;
    }
    PyTuple_SET_ITEM(entry.get(), 0, Py_NewRef(name));
    PyTuple_SET_ITEM(entry.get(), 1, Py_NewRef(value));
    // Read only now: allocating the entry may collect garbage, and a
    // finaliser may give the object another list.
    PyObject *values = values_of(self);
    return PyList_Check(values) ? PyList_Append(values, entry.get()) : values_cannot_append();
}

// The scan of the live list; entries must be exact tuples.
template <class F>
int scan(HeadersObject *self, const Key &key, F on_match)
{
    PyObject *values = values_for_scan(self);
    return values != nullptr ? vel::scan_header_list<true>(values, key, on_match) : -1;
}

// Exact bytes and str names: equal means same type and same contents, so
// they are compared without rich comparison.
inline bool is_simple_name(PyObject *name)
{
    return PyBytes_CheckExact(name) || PyUnicode_CheckExact(name);
}

// Whether `name` is among `seen` (all simple names): 1 or 0, or -2 when
// `name` itself needs a rich comparison.
int seen_simple(PyObject *seen, PyObject *name)
{
    if (!is_simple_name(name)) {
        return -2;
    }
    bool bytes = PyBytes_CheckExact(name);
    Py_ssize_t size = bytes ? PyBytes_GET_SIZE(name) : PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seen); ++i) {
        PyObject *other = PyList_GET_ITEM(seen, i);
        if (other == name) {
            return 1;
        }
        if (Py_TYPE(other) != Py_TYPE(name)) {
            continue;
        }
        if (bytes) {
            if (PyBytes_GET_SIZE(other) == size &&
                std::memcmp(PyBytes_AS_STRING(other), PyBytes_AS_STRING(name), static_cast<size_t>(size)) == 0) {
                return 1;
            }
        } else if (PyUnicode_GET_LENGTH(other) == size && PyUnicode_KIND(other) == PyUnicode_KIND(name) &&
                   std::memcmp(PyUnicode_DATA(other), PyUnicode_DATA(name),
                               static_cast<size_t>(size) * PyUnicode_KIND(name)) == 0) {
            return 1;
        }
    }
    return 0;
}

// Both halves of a cloned entry must be bytes or None.
inline bool clone_part_ok(PyObject *part)
{
    return part == Py_None || PyBytes_CheckExact(part) || vel::expected_type_error("bytes", part);
}

// list.remove(entry): deletes the first element equal to it.
int remove_equal(PyObject *values, PyObject *entry)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref item = borrow(PyList_GET_ITEM(values, i));
        int eq = PyObject_RichCompareBool(item.get(), entry, Py_EQ);
        if (eq < 0) {
            return -1;
        }
        if (eq > 0) {
            return PyList_SetSlice(values, i, i + 1, nullptr);
        }
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}

// remove() for the common list: exact tuples named by bytes or Latin-1 str.
// Every entry equal to a match has an equal name and so is a match itself,
// which makes "remove each match by equality" the same as dropping the
// matches in place, without comparing tuples.  Returns 1 when done, 0 when
// the list needs the general path, -1 on error.
int remove_simple(PyObject *values, const Key &key)
{
    Py_ssize_t n = PyList_GET_SIZE(values);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = PyList_GET_ITEM(values, i);
        if (!Py_IS_TYPE(entry, &PyTuple_Type) || Py_SIZE(entry) < 2) {
            return 0;
        }
        int found = key.fast_match(PyTuple_GET_ITEM(entry, 0));
        if (found == Key::kSlow) {
            return 0;
        }
        count += found;
    }
    if (count == 0) {
        return 1;
    }
    PyObject *local[16];
    PyObject **removed = count <= 16 ? local : PyMem_New(PyObject *, static_cast<size_t>(count));
    if (removed == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    // Keep the others in order at the front, move the matches to the tail
    // and cut it off (which releases them once the list is consistent).
    PyObject **items = PySequence_Fast_ITEMS(values);
    Py_ssize_t kept = 0, dropped = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = items[i];
        if (key.fast_match(PyTuple_GET_ITEM(entry, 0))) {
            removed[dropped++] = entry;
        } else {
            items[kept++] = entry;
        }
    }
    std::memcpy(items + kept, removed, static_cast<size_t>(dropped) * sizeof(PyObject *));
    if (removed != local) {
        PyMem_Free(removed);
    }
    return PyList_SetSlice(values, kept, n, nullptr) < 0 ? -1 : 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Native implementations of the methods (no override dispatch)

PyObject *keys_impl(HeadersObject *self)
{
    bool simple = true;  // every name collected so far is exact bytes or str
    Ref iter = steal(PyObject_GetIter(values_of(self)));
    Ref result = steal(PyList_New(0));
    if (!iter || !result) {
        return nullptr;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref entry = steal(item);
        Ref name = PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 0
                       ? borrow(PyTuple_GET_ITEM(item, 0))
                       : steal(PyObject_GetItem(item, g_state->zero));
        if (!name) {
            return nullptr;
        }
        int seen = simple ? seen_simple(result.get(), name.get()) : -2;
        if (seen == -2) {
            simple = false;
            seen = PySequence_Contains(result.get(), name.get());
        }
        if (seen < 0 || (seen == 0 && PyList_Append(result.get(), name.get()) < 0)) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : PyList_AsTuple(result.get());
}

// One entry unpacked into exactly two items, as `name, value = entry` does.
bool unpack_pair(PyObject *entry, Ref *first, Ref *second)
{
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
        *first = borrow(PyTuple_GET_ITEM(entry, 0));
        *second = borrow(PyTuple_GET_ITEM(entry, 1));
        return true;
    }
    Ref iter = steal(PyObject_GetIter(entry));
    if (!iter) {
        return false;
    }
    Ref *out[2] = {first, second};
    for (int got = 0; got < 2; ++got) {
        *out[got] = steal(PyIter_Next(iter.get()));
        if (!*out[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
            }
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

PyObject *clone_impl(HeadersObject *self)
{
    Ref iter = steal(PyObject_GetIter(values_of(self)));
    Ref copy = steal(PyList_New(0));
    if (!iter || !copy) {
        return nullptr;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref entry = steal(item);
        Ref name, value;
        if (!unpack_pair(item, &name, &value) || !clone_part_ok(name.get()) || !clone_part_ok(value.get())) {
            return nullptr;
        }
        Ref pair = steal(PyTuple_Pack(2, name.get(), value.get()));
        if (!pair || PyList_Append(copy.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : new_headers(copy.get());
}

PyObject *get_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return nullptr;
    }
    // A name rarely occurs more than a few times: the values wait on the
    // stack and go straight into the result tuple; a list takes the rest.
    constexpr Py_ssize_t kLocal = 8;
    Ref local[kLocal];
    Py_ssize_t count = 0;
    Ref more;
    int rc = scan(self, key, [&](PyObject *entry) {
        Ref value = steal(convert_header_value(PyTuple_GET_ITEM(entry, 1), key.bytes_key()));
        if (!value) {
            return -1;
        }
        if (count < kLocal) {
            local[count++] = std::move(value);
            return 0;
        }
        if (!more) {
            more = steal(PyList_New(0));
            if (!more) {
                return -1;
            }
        }
        ++count;
        return PyList_Append(more.get(), value.get());
    });
    PyObject *result = rc < 0 ? nullptr : PyTuple_New(count);
    for (Py_ssize_t i = 0; result != nullptr && i < count; ++i) {
        PyTuple_SET_ITEM(result, i, i < kLocal ? local[i].release() : Py_NewRef(PyList_GET_ITEM(more.get(), i - kLocal)));
    }
    return result;
}

PyObject *get_tuples_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return nullptr;
    }
    Ref result = steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    int rc = scan(self, key, [&](PyObject *entry) { return PyList_Append(result.get(), entry); });
    return rc < 0 ? nullptr : result.release();
}

int add_impl(HeadersObject *self, PyObject *name, PyObject *value)
{
    Ref stored = steal(stored_name(name));
    return stored ? append_entry(self, stored.get(), value) : -1;
}

PyObject *get_first_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return nullptr;
    }
    PyObject *result = nullptr;
    int rc = scan(self, key, [&](PyObject *entry) {
        result = convert_header_value(PyTuple_GET_ITEM(entry, 1), key.bytes_key());
        return result != nullptr ? 1 : -1;
    });
    if (rc < 0) {
        return nullptr;
    }
    return result != nullptr ? result : Py_NewRef(Py_None);
}

int remove_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return -1;
    }
    // Held: dropping the matches may run finalisers that replace the list.
    Ref values = borrow(values_of(self));
    if (PyList_Check(values.get())) {
        int done = remove_simple(values.get(), key);
        if (done != 0) {
            return done < 0 ? -1 : 0;
        }
    }
    // Collected first, removed afterwards, so the scan sees a stable list.
    Ref matches;
    int rc = scan(self, key, [&](PyObject *entry) {
        if (!matches) {
            matches = steal(PyList_New(0));
            if (!matches) {
                return -1;
            }
        }
        return PyList_Append(matches.get(), entry);
    });
    if (rc < 0 || !matches) {
        return rc;
    }
    Ref list = borrow(values_of(self));
    if (!PyList_Check(list.get())) {
        values_not_iterable();
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(matches.get()); ++i) {
        if (remove_equal(list.get(), PyList_GET_ITEM(matches.get(), i)) < 0) {
            return -1;
        }
    }
    return 0;
}

int merge_impl(HeadersObject *self, PyObject *values)
{
    if (!vel::check_arg_exact(values, &PyList_Type, "values")) {
        return -1;
    }
    if (values == Py_None) {
        values_not_iterable();
        return -1;
    }
    Ref source = borrow(values);
    // Only what the list holds now, so that merging a list into itself ends.
    Py_ssize_t count = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(values); ++i) {
        PyObject *item = PyList_GET_ITEM(values, i);
        if (item == Py_None) {
            continue;
        }
        if (!PyTuple_CheckExact(item)) {
            vel::expected_type_error("tuple", item);
            return -1;
        }
        PyObject *target = values_of(self);
        if (!PyList_Check(target)) {
            return values_cannot_append();
        }
        if (PyList_Append(target, item) < 0) {
            return -1;
        }
    }
    return 0;
}

// 1, 0, or -1 with an exception set.
int contains_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return -1;
    }
    PyObject *values = values_for_scan(self);
    if (values == nullptr) {
        return -1;
    }
    Ref hold_list;  // taken once a comparison may run Python code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        PyObject *entry = PyList_GET_ITEM(values, i);
        int found = Key::kSlow;
        if (Py_IS_TYPE(entry, &PyTuple_Type) && Py_SIZE(entry) > 0) {
            found = key.fast_match(PyTuple_GET_ITEM(entry, 0));
        }
        if (found == Key::kSlow) {
            if (!hold_list) {
                hold_list = borrow(values);
            }
            // Any subscriptable entry serves here.
            Ref hold = borrow(entry);
            Ref item = steal(PyObject_GetItem(entry, g_state->zero));
            found = item ? key.match(item.get()) : -1;
        }
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The method table: each entry runs a subclass's Python override of the
// method when there is one, else the native implementation.

namespace {

template <int S>
vel::OverrideSlot &slot()
{
    return g_state->slots[S];
}

constexpr auto t_get = vel::overridable<slot<S_GET>, get_impl>;
constexpr auto t_add = vel::overridable<slot<S_ADD>, add_impl>;
constexpr auto t_remove = vel::overridable<slot<S_REMOVE>, remove_impl>;

bool t_contains(HeadersObject *self, PyObject *key) { return contains_dispatch(self, key) > 0; }

}  // namespace

int contains_dispatch(HeadersObject *self, PyObject *key)
{
    return vel::overridable<slot<S_CONTAINS>, contains_impl, vel::override_result_bool>(self, key);
}

// set() and get_single() are built on the other methods through the table,
// so that a subclass overriding those changes these as well.
int set_impl(HeadersObject *self, PyObject *name, PyObject *value)
{
    int present = contains_dispatch(self, name);
    if (present < 0 || (present > 0 && t_remove(self, name) < 0)) {
        return -1;
    }
    return t_add(self, name, value);
}

PyObject *get_single_impl(HeadersObject *self, PyObject *key)
{
    Ref found = steal(t_get(self, key));
    if (!found) {
        return nullptr;
    }
    Py_ssize_t n = PyObject_Length(found.get());
    if (n < 0) {
        return nullptr;
    }
    if (n > 1) {
        PyErr_SetString(PyExc_ValueError, "Headers contains more than one header with the given key");
        return nullptr;
    }
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "Headers does not contain one header with the given key");
        return nullptr;
    }
    return PySequence_GetItem(found.get(), 0);
}

const HeadersMethods kMethods = {
    vel::overridable<slot<S_KEYS>, keys_impl>,
    vel::overridable<slot<S_CLONE>, clone_impl>,
    t_get,
    vel::overridable<slot<S_GET_TUPLES>, get_tuples_impl>,
    t_add,
    vel::overridable<slot<S_SET>, set_impl>,
    vel::overridable<slot<S_GET_SINGLE>, get_single_impl>,
    vel::overridable<slot<S_GET_FIRST>, get_first_impl>,
    t_remove,
    vel::overridable<slot<S_MERGE>, merge_impl>,
    t_contains,
};

}  // namespace vel::headers
