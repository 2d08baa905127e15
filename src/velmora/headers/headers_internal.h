// Shared by the files of velmora.headers: the module state, the name
// helpers, the look-up key, and the operations of Headers that the method
// table, the Python methods and the type slots all use.
//
// Look-ups are linear scans with the name key of vel/header_name.hpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "headers/headers_api.h"
#include "interning.h"
#include "simd_ops.h"
#include "vel/header_name.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"
#include "vel/text.hpp"

namespace vel::headers {

enum Slot { S_KEYS, S_CLONE, S_GET, S_GET_TUPLES, S_ADD, S_SET, S_GET_SINGLE, S_GET_FIRST, S_REMOVE,
            S_MERGE, S_CONTAINS, S_COUNT };

struct State {
    PyTypeObject *Header_Type;
    PyTypeObject *Headers_Type;
    PyObject *MutableSequence;
    PyObject *Mapping;
    PyObject *str_add;
    PyObject *str_lower;
    PyObject *str_items;
    PyObject *zero;
    vel::OverrideSlot slots[S_COUNT];
    // The look-up keys' cache (vel/header_name.hpp), cleared with the module.
    vel::HeaderKeyCache key_cache;

    template <class F>
    void fields(F &&f)
    {
        f(Header_Type);
        f(Headers_Type);
        f(MutableSequence);
        f(Mapping);
        f(str_add);
        f(str_lower);
        f(str_items);
        f(zero);
        f(slots);
        for (vel::HeaderKeyCacheEntry &entry : key_cache) {
            f(entry.key);  // a cleared key never matches, so its ident is never read
        }
    }
};

// Set at exec; the module supports one interpreter only.
extern State *g_state;

inline HeadersObject *as_headers(PyObject *self) { return reinterpret_cast<HeadersObject *>(self); }
inline HeaderObject *as_header(PyObject *self) { return reinterpret_cast<HeaderObject *>(self); }

// ---------------------------------------------------------------------------
// Names (header_names.cpp; the first two are published to the siblings)

PyObject *simd_lower_bytes(PyObject *name);
PyObject *intern_header_name_bytes(PyObject *name);

// The name as it is stored by add(): bytes interned, anything else as is.
inline PyObject *stored_name(PyObject *name)
{
    return PyBytes_CheckExact(name) ? intern_header_name_bytes(name) : Py_NewRef(name);
}

// ---------------------------------------------------------------------------
// The look-up key: the shared name test, with this module's key cache.

class Key : public vel::HeaderNameKey {
public:
    bool init(PyObject *key) { return HeaderNameKey::init(key, g_state->str_lower, g_state->key_cache); }
};

// ---------------------------------------------------------------------------
// Operations of Headers (headers_ops.cpp)

// The live list, or None when the object holds none.
inline PyObject *values_of(HeadersObject *self)
{
    return self->values != nullptr ? self->values : Py_None;
}

PyObject *keys_impl(HeadersObject *self);
PyObject *clone_impl(HeadersObject *self);
PyObject *get_impl(HeadersObject *self, PyObject *name);
PyObject *get_tuples_impl(HeadersObject *self, PyObject *name);
int add_impl(HeadersObject *self, PyObject *name, PyObject *value);
int set_impl(HeadersObject *self, PyObject *name, PyObject *value);
PyObject *get_single_impl(HeadersObject *self, PyObject *key);
PyObject *get_first_impl(HeadersObject *self, PyObject *key);
int remove_impl(HeadersObject *self, PyObject *key);
int merge_impl(HeadersObject *self, PyObject *values);
int contains_impl(HeadersObject *self, PyObject *key);  // 1, 0, or -1 with an exception set

// One entry unpacked into exactly two items, as `name, value = entry` does.
bool unpack_pair(PyObject *entry, Ref *first, Ref *second);

// The method table: each entry runs a subclass's Python override when
// there is one.  contains_dispatch is its contains() giving 1, 0 or -1.
extern const HeadersMethods kMethods;
int contains_dispatch(HeadersObject *self, PyObject *key);

// ---------------------------------------------------------------------------
// The types (headers.cpp)

// A new exact Headers over `values` (held, not copied).
PyObject *new_headers(PyObject *values);

}  // namespace vel::headers
