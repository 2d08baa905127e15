// velmora.headers: `Header`, one name/value pair, and `Headers`, the ordered,
// multi-valued collection over a plain list of (name, value) tuples that
// looks names up without regard to ASCII case.
//
// Look-ups are linear scans.  A key is normalised once into its lower-case
// Latin-1 bytes (on the stack when it is short), and each stored name is
// compared with it in place: identity with the interned name first, then
// length and a case-folded byte compare.  The bytes and str forms of the
// lower-cased key have the same Latin-1 bytes, so one buffer serves names of
// either kind without building temporaries.
#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "headers/headers_api.h"
#include "interning.h"
#include "simd_ops.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace {

using vel::Ref;
using vel::headers::HeaderObject;
using vel::headers::HeadersObject;

enum Slot { S_KEYS, S_CLONE, S_GET, S_GET_TUPLES, S_ADD, S_SET, S_GET_SINGLE, S_GET_FIRST, S_REMOVE,
            S_MERGE, S_CONTAINS, S_COUNT };

const char *const kSlotNames[S_COUNT] = {"keys", "clone", "get", "get_tuples", "add", "set",
                                         "get_single", "get_first", "remove", "merge", "contains"};

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
};

// Set at exec; the module supports one interpreter only.
State *g_state = nullptr;

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

inline unsigned char ascii_lower(unsigned char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
}

// ---------------------------------------------------------------------------
// Name helpers (also published to the sibling modules)

PyObject *simd_lower_bytes(PyObject *name)
{
    if (name == Py_None || PyBytes_GET_SIZE(name) == 0 ||
        simd_is_ascii_lowercase(PyBytes_AS_STRING(name), static_cast<size_t>(PyBytes_GET_SIZE(name)))) {
        return Py_NewRef(name);
    }
    Py_ssize_t n = PyBytes_GET_SIZE(name);
    PyObject *lowered = PyBytes_FromStringAndSize(nullptr, n);
    if (lowered != nullptr) {
        simd_lowercase_ascii(PyBytes_AS_STRING(name), PyBytes_AS_STRING(lowered), static_cast<size_t>(n));
    }
    return lowered;
}

PyObject *intern_header_name_bytes(PyObject *name)
{
    if (name == Py_None) {
        return Py_NewRef(name);
    }
    const char *data = PyBytes_AS_STRING(name);
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(name));
    PyObject *shared = get_interned_header_name_bytes(data, n);
    if (shared != nullptr) {
        return Py_NewRef(shared);
    }
    if (simd_is_ascii_lowercase(data, n)) {
        return Py_NewRef(name);
    }
    PyObject *lowered = simd_lower_bytes(name);
    if (lowered == nullptr) {
        return nullptr;
    }
    shared = get_interned_header_name_bytes(PyBytes_AS_STRING(lowered), n);
    if (shared != nullptr) {
        Py_SETREF(lowered, Py_NewRef(shared));
    }
    return lowered;
}

// The name as it is stored by add(): bytes interned, anything else as is.
inline PyObject *stored_name(PyObject *name)
{
    return PyBytes_CheckExact(name) ? intern_header_name_bytes(name) : Py_NewRef(name);
}

// ---------------------------------------------------------------------------
// Key normalisation and the name test

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
        Ref text = PyUnicode_CheckExact(key) ? vel::borrow(key) : vel::steal(PyObject_Str(key));
        if (!text) {
            return false;
        }
        Ref lowered = vel::steal(PyObject_CallMethodNoArgs(text.get(), g_state->str_lower));
        if (!lowered) {
            return false;
        }
        if (!PyUnicode_Check(lowered.get())) {
            PyErr_Format(PyExc_TypeError, "lower() returned %.200s", Py_TYPE(lowered.get())->tp_name);
            return false;
        }
        owner_ = vel::steal(PyUnicode_AsLatin1String(lowered.get()));
        if (!owner_) {
            return false;
        }
        data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(owner_.get()));
        len_ = PyBytes_GET_SIZE(owner_.get());
        return true;
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
            owner_ = vel::steal(PyBytes_FromStringAndSize(nullptr, n));
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
            if (c != data_[i] && ascii_lower(c) != data_[i]) {
                return false;
            }
        }
        return true;
    }

    // str name: name.lower() == key.
    int match_str(PyObject *name) const
    {
        if (PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND) {
            return PyUnicode_GET_LENGTH(name) == len_ && same_folded(PyUnicode_1BYTE_DATA(name), true);
        }
        // Wider strings may lower to Latin-1 (U+212A KELVIN SIGN gives 'k')
        // or change length, so they take str.lower() itself.
        Ref lowered = vel::steal(PyObject_CallMethodNoArgs(name, g_state->str_lower));
        if (!lowered) {
            return -1;
        }
        PyObject *s = lowered.get();
        return PyUnicode_Check(s) && PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND &&
               PyUnicode_GET_LENGTH(s) == len_ &&
               std::memcmp(PyUnicode_1BYTE_DATA(s), data_, static_cast<size_t>(len_)) == 0;
    }

    // Any other name: str(name).lower() == key.
    int match_other(PyObject *name) const
    {
        Ref text = vel::steal(PyObject_Str(name));
        if (!text) {
            return -1;
        }
        return match_str(text.get());
    }

    const unsigned char *data_ = nullptr;
    Py_ssize_t len_ = 0;
    PyObject *ident_ = nullptr;  // borrowed: the key itself or a shared table object
    bool bytes_key_ = false;
    Ref owner_;                  // holds data_ when it is not the key's or local_
    char local_[128];
};

// _convert_header_val_matching_key: the value in the kind of the key.
PyObject *convert_value(PyObject *value, bool bytes_key)
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
        Ref text = vel::steal(PyObject_Str(value));
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
// Headers internals

inline PyObject *values_of(HeadersObject *self)
{
    return self->values != nullptr ? self->values : Py_None;
}

// The errors of iterating or appending to a missing list, produced by
// the operations themselves so that the texts are Python's own.
PyObject *values_not_iterable()
{
    return PyObject_GetIter(Py_None);
}

int values_cannot_append()
{
    Ref attr = vel::steal(PyObject_GetAttrString(Py_None, "append"));
    return -1;
}

// The list of entries, or NULL with the "not iterable" TypeError when the
// object holds none.
inline PyObject *values_for_scan(HeadersObject *self)
{
    PyObject *values = values_of(self);
    if (!PyList_Check(values)) {
        Py_XDECREF(values_not_iterable());
        return nullptr;
    }
    return values;
}

int append_entry(HeadersObject *self, PyObject *name, PyObject *value)
{
    if (!PyList_Check(values_of(self))) {
        return values_cannot_append();
    }
    Ref entry = vel::steal(PyTuple_New(2));
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

// A scanned entry must be exactly a tuple holding a name and a value.
bool check_entry(PyObject *entry)
{
    if (PyTuple_CheckExact(entry)) {
        if (PyTuple_GET_SIZE(entry) >= 2) {
            return true;
        }
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    if (entry == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    return vel::expected_type_error("tuple", entry);
}

// Calls on_match(entry) for each entry whose name matches the key, in order;
// on_match returns 0 to go on, 1 to stop, -1 on error.  Returns -1 on error,
// else 0.  A comparison or on_match may run Python code (str() of a name or
// a value) that changes or replaces the list, so the scan holds the list it
// walks and the entry in use, and reads the size on every step.
template <class F>
int scan(HeadersObject *self, const Key &key, F on_match)
{
    Ref values = vel::borrow(values_for_scan(self));
    if (!values) {
        return -1;
    }
    PyObject *list = values.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (!Py_IS_TYPE(entry, &PyTuple_Type) || Py_SIZE(entry) < 2) {
            check_entry(entry);
            return -1;
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        int found = key.fast_match(name);
        if (found == 0) {
            continue;
        }
        Ref hold = vel::borrow(entry);
        if (found == Key::kSlow) {
            found = key.match(name);
        }
        int rc = found > 0 ? on_match(entry) : found;
        if (rc != 0) {
            return rc < 0 ? -1 : 0;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Native implementations of the table methods (no override dispatch)

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

PyObject *keys_impl(HeadersObject *self)
{
    bool simple = true;  // every name collected so far is exact bytes or str
    Ref iter = vel::steal(PyObject_GetIter(values_of(self)));
    Ref result = vel::steal(PyList_New(0));
    if (!iter || !result) {
        return nullptr;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref entry = vel::steal(item);
        Ref name = PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 0
                       ? vel::borrow(PyTuple_GET_ITEM(item, 0))
                       : vel::steal(PyObject_GetItem(item, g_state->zero));
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

// Both halves of a cloned entry must be bytes or None.
inline bool clone_part_ok(PyObject *part)
{
    return part == Py_None || PyBytes_CheckExact(part) || vel::expected_type_error("bytes", part);
}

// One entry unpacked into exactly two items, as `name, value = entry` does.
bool unpack_pair(PyObject *entry, Ref *first, Ref *second)
{
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
        *first = vel::borrow(PyTuple_GET_ITEM(entry, 0));
        *second = vel::borrow(PyTuple_GET_ITEM(entry, 1));
        return true;
    }
    Ref iter = vel::steal(PyObject_GetIter(entry));
    if (!iter) {
        return false;
    }
    Ref *out[2] = {first, second};
    for (int got = 0; got < 2; ++got) {
        *out[got] = vel::steal(PyIter_Next(iter.get()));
        if (!*out[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
            }
            return false;
        }
    }
    Ref extra = vel::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

PyObject *new_headers(PyObject *values);

PyObject *clone_impl(HeadersObject *self)
{
    Ref iter = vel::steal(PyObject_GetIter(values_of(self)));
    Ref copy = vel::steal(PyList_New(0));
    if (!iter || !copy) {
        return nullptr;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref entry = vel::steal(item);
        Ref name, value;
        if (!unpack_pair(item, &name, &value) || !clone_part_ok(name.get()) || !clone_part_ok(value.get())) {
            return nullptr;
        }
        Ref pair = vel::steal(PyTuple_Pack(2, name.get(), value.get()));
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
        Ref value = vel::steal(convert_value(PyTuple_GET_ITEM(entry, 1), key.bytes_key()));
        if (!value) {
            return -1;
        }
        if (count < kLocal) {
            local[count++] = std::move(value);
            return 0;
        }
        if (!more) {
            more = vel::steal(PyList_New(0));
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
    Ref result = vel::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    int rc = scan(self, key, [&](PyObject *entry) { return PyList_Append(result.get(), entry); });
    return rc < 0 ? nullptr : result.release();
}

int add_impl(HeadersObject *self, PyObject *name, PyObject *value)
{
    Ref stored = vel::steal(stored_name(name));
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
        result = convert_value(PyTuple_GET_ITEM(entry, 1), key.bytes_key());
        return result != nullptr ? 1 : -1;
    });
    if (rc < 0) {
        return nullptr;
    }
    return result != nullptr ? result : Py_NewRef(Py_None);
}

// list.remove(entry): deletes the first element equal to it.
int remove_equal(PyObject *values, PyObject *entry)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref item = vel::borrow(PyList_GET_ITEM(values, i));
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

int remove_impl(HeadersObject *self, PyObject *name)
{
    Key key;
    if (!key.init(name)) {
        return -1;
    }
    // Held: dropping the matches may run finalisers that replace the list.
    Ref values = vel::borrow(values_of(self));
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
            matches = vel::steal(PyList_New(0));
            if (!matches) {
                return -1;
            }
        }
        return PyList_Append(matches.get(), entry);
    });
    if (rc < 0 || !matches) {
        return rc;
    }
    Ref list = vel::borrow(values_of(self));
    if (!PyList_Check(list.get())) {
        Py_XDECREF(values_not_iterable());
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
        Py_XDECREF(values_not_iterable());
        return -1;
    }
    Ref source = vel::borrow(values);
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
                hold_list = vel::borrow(values);
            }
            // Any subscriptable entry serves here.
            Ref hold = vel::borrow(entry);
            Ref item = vel::steal(PyObject_GetItem(entry, g_state->zero));
            found = item ? key.match(item.get()) : -1;
        }
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The direct-call table: each entry runs a Python override when there is one.

inline PyObject *pass_result(PyObject *result) { return result; }

vel::OverrideSlot &slot(Slot s) { return g_state->slots[s]; }

PyObject *t_keys(HeadersObject *self)
{
    VEL_DISPATCH(slot(S_KEYS), self, pass_result);
    return keys_impl(self);
}

PyObject *t_clone(HeadersObject *self)
{
    VEL_DISPATCH(slot(S_CLONE), self, pass_result);
    return clone_impl(self);
}

PyObject *t_get(HeadersObject *self, PyObject *name)
{
    VEL_DISPATCH(slot(S_GET), self, pass_result, name);
    return get_impl(self, name);
}

PyObject *t_get_tuples(HeadersObject *self, PyObject *name)
{
    VEL_DISPATCH(slot(S_GET_TUPLES), self, pass_result, name);
    return get_tuples_impl(self, name);
}

int t_add(HeadersObject *self, PyObject *name, PyObject *value)
{
    VEL_DISPATCH(slot(S_ADD), self, vel::override_result_void, name, value);
    return add_impl(self, name, value);
}

int contains_dispatch(HeadersObject *self, PyObject *key);
int t_remove(HeadersObject *self, PyObject *key);

int set_impl(HeadersObject *self, PyObject *name, PyObject *value)
{
    int present = contains_dispatch(self, name);
    if (present < 0 || (present > 0 && t_remove(self, name) < 0)) {
        return -1;
    }
    return t_add(self, name, value);
}

int t_set(HeadersObject *self, PyObject *name, PyObject *value)
{
    VEL_DISPATCH(slot(S_SET), self, vel::override_result_void, name, value);
    return set_impl(self, name, value);
}

PyObject *get_single_impl(HeadersObject *self, PyObject *key)
{
    Ref found = vel::steal(t_get(self, key));
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

PyObject *t_get_single(HeadersObject *self, PyObject *key)
{
    VEL_DISPATCH(slot(S_GET_SINGLE), self, pass_result, key);
    return get_single_impl(self, key);
}

PyObject *t_get_first(HeadersObject *self, PyObject *key)
{
    VEL_DISPATCH(slot(S_GET_FIRST), self, pass_result, key);
    return get_first_impl(self, key);
}

int t_remove(HeadersObject *self, PyObject *key)
{
    VEL_DISPATCH(slot(S_REMOVE), self, vel::override_result_void, key);
    return remove_impl(self, key);
}

int t_merge(HeadersObject *self, PyObject *values)
{
    VEL_DISPATCH(slot(S_MERGE), self, vel::override_result_void, values);
    return merge_impl(self, values);
}

// contains() with override dispatch: 1, 0, or -1 with an exception set.
int contains_dispatch(HeadersObject *self, PyObject *key)
{
    VEL_DISPATCH(slot(S_CONTAINS), self, vel::override_result_bool, key);
    return contains_impl(self, key);
}

bool t_contains(HeadersObject *self, PyObject *key) { return contains_dispatch(self, key) > 0; }

const vel::headers::HeadersMethods kMethods = {
    t_keys, t_clone, t_get, t_get_tuples, t_add, t_set, t_get_single, t_get_first, t_remove, t_merge,
    t_contains,
};

vel::headers::CAPI g_capi = {};

// ---------------------------------------------------------------------------
// Headers: Python methods

inline HeadersObject *H(PyObject *self) { return reinterpret_cast<HeadersObject *>(self); }

inline PyObject *none_or_null(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }

// Parses the arguments of a Python method with positional-or-keyword
// parameters, taking the plain positional call without the parser.
template <int N>
bool method_args(const char *fn, const char *const (&names)[N], PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames, PyObject **out)
{
    if (kwnames == nullptr && nargs == N) {
        for (int i = 0; i < N; ++i) {
            out[i] = args[i];
        }
        return true;
    }
    vel::Signature sig{fn, names, N, N};
    return vel::parse_fastcall(sig, args, nargs, kwnames, out);
}

const char *const kNameArg[] = {"name"};
const char *const kKeyArg[] = {"key"};
const char *const kValuesArg[] = {"values"};
const char *const kNameValueArgs[] = {"name", "value"};
const char *const kAddToInstanceArgs[] = {"instance", "other"};

#define VEL_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyObject *py_keys(PyObject *self, PyObject *) { return keys_impl(H(self)); }

PyObject *py_clone(PyObject *self, PyObject *) { return clone_impl(H(self)); }

PyObject *py_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("get", kNameArg, args, nargs, kwnames, a) ? get_impl(H(self), a[0]) : nullptr;
}

PyObject *py_get_tuples(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("get_tuples", kNameArg, args, nargs, kwnames, a) ? get_tuples_impl(H(self), a[0])
                                                                        : nullptr;
}

PyObject *py_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[2];
    return method_args("add", kNameValueArgs, args, nargs, kwnames, a) ? none_or_null(add_impl(H(self), a[0], a[1]))
                                                                       : nullptr;
}

PyObject *py_set(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[2];
    return method_args("set", kNameValueArgs, args, nargs, kwnames, a) ? none_or_null(set_impl(H(self), a[0], a[1]))
                                                                       : nullptr;
}

PyObject *py_get_single(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("get_single", kKeyArg, args, nargs, kwnames, a) ? get_single_impl(H(self), a[0]) : nullptr;
}

PyObject *py_get_first(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("get_first", kKeyArg, args, nargs, kwnames, a) ? get_first_impl(H(self), a[0]) : nullptr;
}

PyObject *py_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("remove", kKeyArg, args, nargs, kwnames, a) ? none_or_null(remove_impl(H(self), a[0]))
                                                                   : nullptr;
}

PyObject *py_merge(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    return method_args("merge", kValuesArg, args, nargs, kwnames, a) ? none_or_null(merge_impl(H(self), a[0]))
                                                                     : nullptr;
}

PyObject *py_contains(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    if (!method_args("contains", kKeyArg, args, nargs, kwnames, a)) {
        return nullptr;
    }
    int found = contains_impl(H(self), a[0]);
    return found < 0 ? nullptr : Py_NewRef(found ? Py_True : Py_False);
}

// self.add(*args) through attribute lookup, so that a subclass's add applies.
int call_add(PyObject *instance, PyObject *args_tuple)
{
    Ref add = vel::steal(PyObject_GetAttr(instance, g_state->str_add));
    Ref result = add ? vel::steal(PyObject_Call(add.get(), args_tuple, nullptr)) : Ref();
    return result ? 0 : -1;
}

int call_add2(PyObject *instance, PyObject *name, PyObject *value)
{
    PyObject *stack[] = {instance, name, value};
    Ref result = vel::steal(PyObject_VectorcallMethod(g_state->str_add, stack,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

// instance.add(*item)
int call_add_star(PyObject *instance, PyObject *item)
{
    Ref args = vel::steal(PySequence_Tuple(item));
    return args ? call_add(instance, args.get()) : -1;
}

// instance.add(*item) for each item of `source`, taken as a snapshot first
// so that adding a collection (or its list) to itself ends.
int add_each_star(PyObject *instance, PyObject *source)
{
    Ref items = vel::steal(PySequence_List(source));
    if (!items) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        if (call_add_star(instance, PyList_GET_ITEM(items.get(), i)) < 0) {
            return -1;
        }
    }
    return 0;
}

// For each pair of mapping.items(): instance.add(key, value).
int add_items(PyObject *instance, PyObject *mapping)
{
    Ref items = vel::steal(PyObject_CallMethodNoArgs(mapping, g_state->str_items));
    Ref iter = items ? vel::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) {
        return -1;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref pair = vel::steal(item);
        Ref key, value;
        if (!unpack_pair(item, &key, &value) || call_add2(instance, key.get(), value.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject *py_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    if (!method_args("update", kValuesArg, args, nargs, kwnames, a) ||
        !vel::check_arg_exact(a[0], &PyDict_Type, "values")) {
        return nullptr;
    }
    if (a[0] == Py_None) {
        Ref attr = vel::steal(PyObject_GetAttr(Py_None, g_state->str_items));
        return nullptr;
    }
    // A snapshot of the pairs: item assignment may run Python code.
    Ref items = vel::steal(PyDict_Items(a[0]));
    if (!items) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i);
        if (PyObject_SetItem(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *py_add_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[1];
    if (!method_args("add_many", kValuesArg, args, nargs, kwnames, a)) {
        return nullptr;
    }
    PyObject *values = a[0];
    int is_seq = PyObject_IsInstance(values, g_state->MutableSequence);
    if (is_seq < 0) {
        return nullptr;
    }
    if (is_seq) {
        return add_each_star(self, values) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    int is_map = PyObject_IsInstance(values, g_state->Mapping);
    if (is_map < 0) {
        return nullptr;
    }
    if (!is_map) {
        PyErr_SetString(PyExc_ValueError, "values must be dict[bytes, bytes] or list[Header]");
        return nullptr;
    }
    return add_items(self, values) < 0 ? nullptr : Py_NewRef(Py_None);
}

// The engine of the + operators; a new reference to `instance`, to
// NotImplemented, or NULL.
PyObject *add_to_instance(PyObject *instance, PyObject *other)
{
    State *st = g_state;
    if (PyObject_TypeCheck(other, st->Headers_Type)) {
        return add_each_star(instance, other) < 0 ? nullptr : Py_NewRef(instance);
    }
    if (PyObject_TypeCheck(other, st->Header_Type)) {
        auto *h = reinterpret_cast<HeaderObject *>(other);
        Ref name = vel::borrow(h->name != nullptr ? h->name : Py_None);
        Ref value = vel::borrow(h->value != nullptr ? h->value : Py_None);
        return call_add2(instance, name.get(), value.get()) < 0 ? nullptr : Py_NewRef(instance);
    }
    if (PyTuple_Check(other)) {
        if (PyTuple_GET_SIZE(other) != 2) {
            Ref text = vel::steal(PyObject_Str(other));
            if (text) {
                PyErr_Format(PyExc_ValueError, "Cannot add, an invalid tuple %U.", text.get());
            }
            return nullptr;
        }
        return call_add2(instance, PyTuple_GET_ITEM(other, 0), PyTuple_GET_ITEM(other, 1)) < 0
                   ? nullptr
                   : Py_NewRef(instance);
    }
    int is_seq = PyObject_IsInstance(other, st->MutableSequence);
    if (is_seq <= 0) {
        return is_seq < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    }
    Ref items = vel::steal(PySequence_List(other));  // a snapshot, as above
    if (!items) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            Ref text = vel::steal(PyObject_Str(item));
            Ref cls = vel::steal(PyType_GetName(Py_TYPE(instance)));
            if (text && cls) {
                PyErr_Format(PyExc_ValueError, "The sequence contains invalid elements: cannot add %U to %U",
                             text.get(), cls.get());
            }
            return nullptr;
        }
        if (call_add2(instance, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
            return nullptr;
        }
    }
    return Py_NewRef(instance);
}

PyObject *py_add_to_instance(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[2];
    return method_args("_add_to_instance", kAddToInstanceArgs, args, nargs, kwnames, a)
               ? add_to_instance(a[0], a[1])
               : nullptr;
}

PyObject *py_items(PyObject *self, PyObject *) { return PyObject_GetIter(values_of(H(self))); }

PyObject *headers_iter(PyObject *self) { return PyObject_GetIter(values_of(H(self))); }

PyMethodDef headers_methods[] = {
    {"keys", py_keys, METH_NOARGS, "Distinct names in order of first appearance."},
    {"clone", py_clone, METH_NOARGS, "A new Headers with copies of the (bytes) entries."},
    {"get", VEL_FASTCALL(py_get), METH_FASTCALL | METH_KEYWORDS, "All values of a name, in the key's kind."},
    {"get_tuples", VEL_FASTCALL(py_get_tuples), METH_FASTCALL | METH_KEYWORDS, "The entries of a name."},
    {"add", VEL_FASTCALL(py_add), METH_FASTCALL | METH_KEYWORDS, "Appends one entry."},
    {"set", VEL_FASTCALL(py_set), METH_FASTCALL | METH_KEYWORDS,
     "Replaces every entry of a name by one entry at the end."},
    {"get_single", VEL_FASTCALL(py_get_single), METH_FASTCALL | METH_KEYWORDS,
     "The value of the only entry of a name."},
    {"get_first", VEL_FASTCALL(py_get_first), METH_FASTCALL | METH_KEYWORDS,
     "The value of the first entry of a name, or None."},
    {"remove", VEL_FASTCALL(py_remove), METH_FASTCALL | METH_KEYWORDS, "Removes every entry of a name."},
    {"merge", VEL_FASTCALL(py_merge), METH_FASTCALL | METH_KEYWORDS, "Appends the given tuples as they are."},
    {"contains", VEL_FASTCALL(py_contains), METH_FASTCALL | METH_KEYWORDS, "Whether any entry has the name."},
    {"update", VEL_FASTCALL(py_update), METH_FASTCALL | METH_KEYWORDS, "Sets every pair of a dict."},
    {"add_many", VEL_FASTCALL(py_add_many), METH_FASTCALL | METH_KEYWORDS,
     "Adds the pairs of a list or a mapping."},
    {"_add_to_instance", VEL_FASTCALL(py_add_to_instance), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "Adds `other` to `instance` for the + operators."},
    {"items", py_items, METH_NOARGS, "Iterates over the entries as stored."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Headers: type slots

// A bare allocation holds None, so that every operation fails cleanly until
// a list is assigned.
PyObject *headers_alloc(PyTypeObject *type, Py_ssize_t nitems)
{
    PyObject *self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) {
        H(self)->values = Py_NewRef(Py_None);
    }
    return self;
}

PyObject *headers_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr && H(self)->values == nullptr) {
        H(self)->values = Py_NewRef(Py_None);
    }
    return self;
}

int headers_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const names[] = {"values"};
    vel::Signature sig{"Headers", names, 1, 0};
    PyObject *a[1];
    if (!vel::parse_tuple_dict(sig, args, kwargs, a)) {
        return -1;
    }
    PyObject *values = a[0] != nullptr ? a[0] : Py_None;
    if (!vel::check_arg_exact(values, &PyList_Type, "values")) {
        return -1;
    }
    PyObject *list = values == Py_None ? PyList_New(0) : Py_NewRef(values);
    if (list == nullptr) {
        return -1;
    }
    Py_XSETREF(H(self)->values, list);
    return 0;
}

PyObject *new_headers(PyObject *values)
{
    PyTypeObject *type = g_state->Headers_Type;
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Py_XSETREF(H(self)->values, Py_NewRef(values));
    }
    return self;
}

int headers_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(H(self)->values);
    return 0;
}

int headers_clear(PyObject *self)
{
    Py_CLEAR(H(self)->values);
    return 0;
}

// Shared by both types: they hold arbitrary objects and weak references.
template <class T, int (*clear)(PyObject *)>
void gc_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<T *>(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *headers_getitem(PyObject *self, PyObject *key) { return t_get(H(self), key); }

int headers_setitem(PyObject *self, PyObject *key, PyObject *value)
{
    return value == nullptr ? t_remove(H(self), key) : t_set(H(self), key, value);
}

int headers_sq_contains(PyObject *self, PyObject *key)
{
    return contains_dispatch(H(self), key);
}

PyObject *headers_repr(PyObject *self)
{
    Ref values = vel::borrow(values_of(H(self)));
    Ref text = vel::steal(PyObject_Repr(values.get()));
    return text ? PyUnicode_FromFormat("<Headers %U>", text.get()) : nullptr;
}

// headers + other and other + headers: the entries of the Headers first.
PyObject *headers_nb_add(PyObject *left, PyObject *right)
{
    bool left_is_headers = PyObject_TypeCheck(left, g_state->Headers_Type);
    PyObject *self = left_is_headers ? left : right;
    PyObject *other = left_is_headers ? right : left;
    Ref copy = vel::steal(t_clone(H(self)));
    return copy ? add_to_instance(copy.get(), other) : nullptr;
}

PyObject *headers_nb_inplace_add(PyObject *self, PyObject *other) { return add_to_instance(self, other); }

PyObject *headers_get_values(PyObject *self, void *) { return Py_NewRef(values_of(H(self))); }

PyGetSetDef headers_getset[] = {
    {"values", headers_get_values, nullptr, "The live list of (name, value) entries.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef headers_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HeadersObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot headers_slots[] = {
    {Py_tp_doc, const_cast<char *>("Headers(values: list | None = None)\n--\n\n"
                                   "Ordered, case-insensitive, multi-valued header collection over a "
                                   "list of (name, value) tuples.")},
    {Py_tp_alloc, reinterpret_cast<void *>(headers_alloc)},
    {Py_tp_new, reinterpret_cast<void *>(headers_new)},
    {Py_tp_init, reinterpret_cast<void *>(headers_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<HeadersObject, headers_clear>)},
    {Py_tp_traverse, reinterpret_cast<void *>(headers_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(headers_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(headers_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(headers_iter)},
    {Py_tp_methods, headers_methods},
    {Py_tp_getset, headers_getset},
    {Py_tp_members, headers_members},
    {Py_mp_subscript, reinterpret_cast<void *>(headers_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void *>(headers_setitem)},
    {Py_sq_contains, reinterpret_cast<void *>(headers_sq_contains)},
    {Py_nb_add, reinterpret_cast<void *>(headers_nb_add)},
    {Py_nb_inplace_add, reinterpret_cast<void *>(headers_nb_inplace_add)},
    {0, nullptr},
};

PyType_Spec headers_spec = {
    "velmora.headers.Headers", sizeof(HeadersObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, headers_slots,
};

// ---------------------------------------------------------------------------
// Header

inline HeaderObject *HD(PyObject *self) { return reinterpret_cast<HeaderObject *>(self); }

inline PyObject *field(PyObject *obj) { return obj != nullptr ? obj : Py_None; }

int header_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const names[] = {"name", "value"};
    vel::Signature sig{"Header", names, 2, 2};
    PyObject *a[2];
    if (!vel::parse_tuple_dict(sig, args, kwargs, a)) {
        return -1;
    }
    PyObject *name = stored_name(a[0]);
    if (name == nullptr) {
        return -1;
    }
    Py_XSETREF(HD(self)->name, name);
    Py_XSETREF(HD(self)->value, Py_NewRef(a[1]));
    return 0;
}

int header_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(HD(self)->name);
    Py_VISIT(HD(self)->value);
    return 0;
}

int header_clear(PyObject *self)
{
    Py_CLEAR(HD(self)->name);
    Py_CLEAR(HD(self)->value);
    return 0;
}

// Both fields, held: what a comparison or a conversion works on while
// Python code it runs may re-initialise the header.
struct HeaderFields {
    Ref name;
    Ref value;
    explicit HeaderFields(PyObject *self)
        : name(vel::borrow(field(HD(self)->name))), value(vel::borrow(field(HD(self)->value)))
    {
    }
};

PyObject *header_iter(PyObject *self)
{
    HeaderFields f(self);
    Ref pair = vel::steal(PyTuple_Pack(2, f.name.get(), f.value.get()));
    return pair ? PyObject_GetIter(pair.get()) : nullptr;
}

PyObject *header_repr(PyObject *self)
{
    HeaderFields f(self);
    Ref empty = vel::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref name = empty ? vel::steal(PyObject_Format(f.name.get(), empty.get())) : Ref();
    Ref value = name ? vel::steal(PyObject_Format(f.value.get(), empty.get())) : Ref();
    return value ? PyUnicode_FromFormat("<Header %U: %U>", name.get(), value.get()) : nullptr;
}

// str(x).lower() of a name, for the last of the name tests.
PyObject *lowered_str(PyObject *obj)
{
    Ref text = vel::steal(PyObject_Str(obj));
    return text ? PyObject_CallMethodNoArgs(text.get(), g_state->str_lower) : nullptr;
}

// 1 when the names of two headers match, 0 when not, -1 on error.
int header_names_match(PyObject *mine, PyObject *theirs)
{
    if (theirs == mine) {
        return 1;
    }
    Ref eq = vel::steal(PyObject_RichCompare(theirs, mine, Py_EQ));
    int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
    if (truth != 0) {
        return truth;
    }
    Ref a = vel::steal(lowered_str(theirs));
    Ref b = a ? vel::steal(lowered_str(mine)) : Ref();
    return b ? PyObject_RichCompareBool(a.get(), b.get(), Py_EQ) : -1;
}

PyObject *header_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, g_state->Header_Type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    HeaderFields mine(self);
    HeaderFields theirs(other);
    int names = header_names_match(mine.name.get(), theirs.name.get());
    if (names <= 0) {
        return names < 0 ? nullptr : Py_NewRef(op == Py_EQ ? Py_False : Py_True);
    }
    PyObject *eq = PyObject_RichCompare(theirs.value.get(), mine.value.get(), Py_EQ);
    if (op == Py_EQ || eq == nullptr || eq == Py_NotImplemented) {
        return eq;
    }
    int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    return truth < 0 ? nullptr : Py_NewRef(truth ? Py_False : Py_True);
}

PyObject *header_get_name(PyObject *self, void *) { return Py_NewRef(field(HD(self)->name)); }

PyObject *header_get_value(PyObject *self, void *) { return Py_NewRef(field(HD(self)->value)); }

PyGetSetDef header_getset[] = {
    {"name", header_get_name, nullptr, "Header name; bytes names are lower-case and interned.", nullptr},
    {"value", header_get_value, nullptr, "Header value, as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef header_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HeaderObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot header_slots[] = {
    {Py_tp_doc, const_cast<char *>("Header(name, value)\n--\n\nOne header field.")},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(header_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<HeaderObject, header_clear>)},
    {Py_tp_traverse, reinterpret_cast<void *>(header_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(header_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(header_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(header_iter)},
    {Py_tp_richcompare, reinterpret_cast<void *>(header_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_getset, header_getset},
    {Py_tp_members, header_members},
    {0, nullptr},
};

PyType_Spec header_spec = {
    "velmora.headers.Header", sizeof(HeaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, header_slots,
};

// ---------------------------------------------------------------------------
// Module

State *state_of(PyObject *module) { return static_cast<State *>(PyModule_GetState(module)); }

// A list holding one shared (b"content-type", value) tuple.
int add_static_headers(PyObject *module, const char *name, const char *content_type)
{
    Ref key = vel::steal(vel::bytes_const("content-type"));
    Ref interned = key ? vel::steal(intern_header_name_bytes(key.get())) : Ref();
    size_t n = std::strlen(content_type);
    PyObject *shared = get_interned_content_type_bytes(content_type, n);
    Ref value = shared != nullptr ? vel::borrow(shared) : vel::steal(vel::bytes_const(content_type));
    if (!interned || !value) {
        return -1;
    }
    Ref entry = vel::steal(PyTuple_Pack(2, interned.get(), value.get()));
    Ref list = entry ? vel::steal(PyList_New(1)) : Ref();
    if (!list) {
        return -1;
    }
    PyList_SET_ITEM(list.get(), 0, entry.release());
    return PyModule_AddObjectRef(module, name, list.get());
}

int headers_exec(PyObject *module)
{
    if (vel::init_companion() < 0) {
        return -1;
    }
    State *st = new (state_of(module)) State{};
    st->Header_Type = vel::add_type(module, &header_spec);
    st->Headers_Type = st->Header_Type ? vel::add_type(module, &headers_spec) : nullptr;
    if (st->Headers_Type == nullptr) {
        return -1;
    }
    st->MutableSequence = vel::import_attr("collections.abc", "MutableSequence");
    st->Mapping = vel::import_attr("collections.abc", "Mapping");
    st->str_add = vel::intern("add");
    st->str_lower = vel::intern("lower");
    st->str_items = vel::intern("items");
    st->zero = PyLong_FromLong(0);
    if (!st->MutableSequence || !st->Mapping || !st->str_add || !st->str_lower || !st->str_items ||
        !st->zero) {
        return -1;
    }
    for (int i = 0; i < S_COUNT; ++i) {
        if (st->slots[i].init(st->Headers_Type, kSlotNames[i]) < 0) {
            return -1;
        }
    }
    g_state = st;
    if (add_static_headers(module, "STATIC_JSON_HEADERS", "application/json") < 0 ||
        add_static_headers(module, "STATIC_TEXT_HEADERS", "text/plain; charset=utf-8") < 0 ||
        add_static_headers(module, "STATIC_HTML_HEADERS", "text/html; charset=utf-8") < 0 ||
        add_static_headers(module, "STATIC_NOT_FOUND_HEADERS", "text/plain") < 0) {
        return -1;
    }
    g_capi.header = {vel::headers::CAPI_VERSION, sizeof(vel::headers::CAPI)};
    g_capi.Header_Type = st->Header_Type;
    g_capi.Headers_Type = st->Headers_Type;
    g_capi.methods = &kMethods;
    g_capi.intern_header_name_bytes = intern_header_name_bytes;
    g_capi.simd_lower_bytes = simd_lower_bytes;
    return vel::publish_capi(module, vel::headers::CAPI_NAME, &g_capi.header);
}

int headers_traverse_module(PyObject *module, visitproc visit, void *arg)
{
    State *st = state_of(module);
    Py_VISIT(st->Header_Type);
    Py_VISIT(st->Headers_Type);
    Py_VISIT(st->MutableSequence);
    Py_VISIT(st->Mapping);
    for (const auto &s : st->slots) {
        if (int rc = s.traverse(visit, arg)) {
            return rc;
        }
    }
    return 0;
}

int headers_clear_module(PyObject *module)
{
    State *st = state_of(module);
    if (st == nullptr) {
        return 0;
    }
    for (auto &s : st->slots) {
        s.clear();
    }
    Py_CLEAR(st->Header_Type);
    Py_CLEAR(st->Headers_Type);
    Py_CLEAR(st->MutableSequence);
    Py_CLEAR(st->Mapping);
    Py_CLEAR(st->str_add);
    Py_CLEAR(st->str_lower);
    Py_CLEAR(st->str_items);
    Py_CLEAR(st->zero);
    for (auto &cached : st->key_cache) {
        Py_CLEAR(cached.key);
        cached.ident = nullptr;
    }
    if (g_state == st) {
        g_state = nullptr;
    }
    return 0;
}

void headers_free_module(void *module) { headers_clear_module(static_cast<PyObject *>(module)); }

PyModuleDef_Slot headers_module_slots[] = {VEL_MODULE_SLOTS(headers_exec)};

PyModuleDef headers_module = {
    PyModuleDef_HEAD_INIT,
    "velmora.headers",
    "HTTP header fields: Header, the case-insensitive multi-valued Headers and prebuilt header lists.",
    sizeof(State),
    nullptr,
    headers_module_slots,
    headers_traverse_module,
    headers_clear_module,
    headers_free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_headers(void) { return PyModuleDef_Init(&headers_module); }
