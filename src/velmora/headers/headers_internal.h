// Shared by the files of velmora.headers: the module state, the name
// helpers, the look-up key, and the operations of Headers that the method
// table, the Python methods and the type slots all use.
//
// Look-ups are linear scans.  A key is normalised once into its lower-case
// Latin-1 bytes (on the stack when it is short), and each stored name is
// compared with it in place: identity with the interned name first, then
// length and a case-folded byte compare.  The bytes and str forms of the
// lower-cased key have the same Latin-1 bytes, so one buffer serves names of
// either kind without building temporaries.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "headers/headers_api.h"
#include "interning.h"
#include "simd_ops.h"
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
    // Lower-case bytes keys seen recently (mostly constants in the caller's
    // code) with what the interning table answered for them, so that a
    // repeated look-up skips the table.  Each entry holds its key.
    struct KeyCacheEntry {
        PyObject *key;
        PyObject *ident;  // the shared table object, or the key itself
    } key_cache[32];

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
        for (KeyCacheEntry &entry : key_cache) {
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

// str.lower() restricted to Latin-1: every character up to U+00FF lowers to
// one character up to U+00FF (A-Z and U+00C0..U+00DE except U+00D7 move by
// 0x20), so a Latin-1 string lowers in place, byte for byte.
struct Latin1Lower {
    unsigned char map[256];
    constexpr Latin1Lower() : map()
    {
        for (int c = 0; c < 256; ++c) {
            bool upper = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
            map[c] = static_cast<unsigned char>(upper ? c + 0x20 : c);
        }
    }
};
constexpr Latin1Lower kLatin1Lower;

// simd_is_ascii_lowercase, inline for the short names of look-up keys
// where a call costs more than the test.
inline bool is_ascii_lowercase(const char *data, Py_ssize_t n)
{
    if (n > 24) {
        return simd_is_ascii_lowercase(data, static_cast<size_t>(n)) != 0;
    }
    unsigned upper = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        upper |= static_cast<unsigned>(static_cast<unsigned char>(data[i]) - 'A') < 26u;
    }
    return upper == 0;
}

// ---------------------------------------------------------------------------
// The look-up key and the name test

class Key {
public:
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    // Derives the lower-case Latin-1 bytes of `key`; false with an exception
    // set (UnicodeEncodeError for characters above U+00FF).
    bool init(PyObject *key)
    {
        bytes_key_ = PyBytes_CheckExact(key);
        if (bytes_key_) {
            return init_bytes(key);
        }
        if (PyUnicode_CheckExact(key) && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            return init_latin1(key);
        }
        return init_other(key);
    }

    // Whether the key was exactly bytes (decides the kind of the results).
    bool bytes_key() const { return bytes_key_; }

    // The test for the names that need no Python code: 1 match, 0 no
    // match, kSlow when match() must decide.
    static constexpr int kSlow = 2;
    [[gnu::always_inline]] int fast_match(PyObject *name) const
    {
        if (name == ident_) {
            return 1;
        }
        if (Py_IS_TYPE(name, &PyBytes_Type)) {
            return Py_SIZE(name) == len_ &&
                   same_folded(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name)), false);
        }
        if (Py_IS_TYPE(name, &PyUnicode_Type) && PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND) {
            return PyUnicode_GET_LENGTH(name) == len_ && same_folded(PyUnicode_1BYTE_DATA(name), true);
        }
        return kSlow;
    }

    // 1 when `name` matches, 0 when not, -1 with an exception set; may run
    // Python code (str(), lower()) for names other than bytes and Latin-1 str.
    int match(PyObject *name) const
    {
        int found = fast_match(name);
        if (found != kSlow) {
            return found;
        }
        return PyUnicode_CheckExact(name) ? match_str(name) : match_other(name);
    }

private:
    bool init_bytes(PyObject *key)
    {
        const char *src = PyBytes_AS_STRING(key);
        Py_ssize_t n = PyBytes_GET_SIZE(key);
        len_ = n;
        if (is_ascii_lowercase(src, n)) {
            data_ = reinterpret_cast<const unsigned char *>(src);
            auto &cached = g_state->key_cache[(reinterpret_cast<uintptr_t>(key) >> 4) % 32];
            if (cached.key != key) {
                PyObject *shared = get_interned_header_name_bytes(src, static_cast<size_t>(n));
                Py_XSETREF(cached.key, Py_NewRef(key));
                cached.ident = shared != nullptr ? shared : key;
            }
            ident_ = cached.ident;
            return true;
        }
        char *dst = buffer(n);
        if (dst == nullptr) {
            return false;
        }
        simd_lowercase_ascii(src, dst, static_cast<size_t>(n));
        // A lowered copy is new, so only a shared name can be identical.
        ident_ = get_interned_header_name_bytes(dst, static_cast<size_t>(n));
        return true;
    }

    bool init_latin1(PyObject *key)
    {
        const Py_UCS1 *src = PyUnicode_1BYTE_DATA(key);
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        len_ = n;
        char *dst = buffer(n);
        if (dst == nullptr) {
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            dst[i] = static_cast<char>(kLatin1Lower.map[src[i]]);
        }
        return true;
    }

    char *buffer(Py_ssize_t n)
    {
        char *dst = local_;
        if (n > static_cast<Py_ssize_t>(sizeof local_)) {
            owner_ = steal(PyBytes_FromStringAndSize(nullptr, n));
            if (!owner_) {
                return nullptr;
            }
            dst = PyBytes_AS_STRING(owner_.get());
        }
        data_ = reinterpret_cast<const unsigned char *>(dst);
        return dst;
    }

    // The key's bytes against `s` folded by ASCII (bytes.lower) or Latin-1
    // (str.lower) rules; the key side is lower-case already.
    bool same_folded(const unsigned char *s, bool latin1) const
    {
        // Names are short: one pass.  The key holds no 'A'..'Z', so bytes
        // fold only where they differ; it may hold U+00C0..U+00DE (from a
        // bytes key), so str characters always fold.
        if (latin1) {
            for (Py_ssize_t i = 0; i < len_; ++i) {
                if (kLatin1Lower.map[s[i]] != data_[i]) {
                    return false;
                }
            }
            return true;
        }
        for (Py_ssize_t i = 0; i < len_; ++i) {
            unsigned char c = s[i];
            if (c != data_[i] && static_cast<unsigned char>(vel::ascii_lower(static_cast<char>(c))) != data_[i]) {
                return false;
            }
        }
        return true;
    }

    // str name: name.lower() == key.  Any other name: str(name).lower() == key.
    int match_str(PyObject *name) const;
    int match_other(PyObject *name) const;
    // Any key but exact bytes and Latin-1 str: str(key).lower().
    bool init_other(PyObject *key);

    const unsigned char *data_ = nullptr;
    Py_ssize_t len_ = 0;
    PyObject *ident_ = nullptr;  // borrowed: the key itself or a shared table object
    bool bytes_key_ = false;
    Ref owner_;                  // holds data_ when it is not the key's or local_
    char local_[128];
};

// _convert_header_val_matching_key: the value in the kind of the key.
inline PyObject *convert_value(PyObject *value, bool bytes_key)
{
    if (value == Py_None) {
        return Py_NewRef(value);
    }
    if (bytes_key) {
        if (PyBytes_Check(value)) {
            return Py_NewRef(value);
        }
        if (PyUnicode_Check(value)) {
            return PyUnicode_AsLatin1String(value);
        }
        Ref text = steal(PyObject_Str(value));
        return text ? PyUnicode_AsLatin1String(text.get()) : nullptr;
    }
    if (PyUnicode_Check(value)) {
        return Py_NewRef(value);
    }
    if (PyBytes_Check(value)) {
        return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
    }
    return PyObject_Str(value);
}

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
