// Header-name look-ups over raw (name, value) lists: a key (bytes, str or
// anything else) becomes its lower-case Latin-1 bytes once (on the stack
// when it is short), and each stored name is compared with them in place:
// identity with the interned name first, then length and a case-folded byte
// compare.  The bytes and str forms of the lower-cased key have the same
// Latin-1 bytes, so one buffer serves names of either kind without building
// temporaries.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "interning.h"
#include "simd_ops.h"
#include "vel/args.hpp"
#include "vel/ref.hpp"
#include "vel/text.hpp"

namespace vel {

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
inline constexpr Latin1Lower kLatin1Lower;

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

// Lower-case bytes keys seen recently (mostly constants in the caller's
// code) with what the interning table answered for them, so that a repeated
// look-up skips the table.  Each entry holds its key; the owner of the
// cache decides its lifetime.
struct HeaderKeyCacheEntry {
    PyObject *key;
    PyObject *ident;  // borrowed: the shared table object, or the key itself
};
inline constexpr size_t kHeaderKeyCacheSize = 32;
using HeaderKeyCache = HeaderKeyCacheEntry[kHeaderKeyCacheSize];

class HeaderNameKey {
public:
    HeaderNameKey() = default;
    HeaderNameKey(const HeaderNameKey &) = delete;
    HeaderNameKey &operator=(const HeaderNameKey &) = delete;

    // Derives the lower-case Latin-1 bytes of `key`; `str_lower` is the
    // interned "lower".  False with an exception set (UnicodeEncodeError for
    // a str key with characters above U+00FF).
    bool init(PyObject *key, PyObject *str_lower, HeaderKeyCache &cache)
    {
        str_lower_ = str_lower;
        bytes_key_ = PyBytes_CheckExact(key);
        if (bytes_key_) {
            return init_bytes(key, cache);
        }
        if (PyUnicode_CheckExact(key) && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            return init_latin1(PyUnicode_1BYTE_DATA(key), PyUnicode_GET_LENGTH(key));
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
        return match_slow(name);
    }

private:
    // str name: name.lower() == key.  Any other name: str(name).lower() == key.
    int match_slow(PyObject *name) const
    {
        Ref text = PyUnicode_CheckExact(name) ? borrow(name) : steal(PyObject_Str(name));
        if (!text) {
            return -1;
        }
        PyObject *s = text.get();
        if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
            return PyUnicode_GET_LENGTH(s) == len_ && same_folded(PyUnicode_1BYTE_DATA(s), true);
        }
        // Wider strings may lower to Latin-1 (U+212A KELVIN SIGN gives 'k')
        // or change length, so they take str.lower() itself.
        Ref lowered = steal(PyObject_CallMethodNoArgs(s, str_lower_));
        if (!lowered) {
            return -1;
        }
        s = lowered.get();
        return PyUnicode_Check(s) && PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(s) == len_ &&
               std::memcmp(PyUnicode_1BYTE_DATA(s), data_, static_cast<size_t>(len_)) == 0;
    }

    bool init_bytes(PyObject *key, HeaderKeyCache &cache)
    {
        const char *src = PyBytes_AS_STRING(key);
        Py_ssize_t n = PyBytes_GET_SIZE(key);
        len_ = n;
        if (is_ascii_lowercase(src, n)) {
            data_ = reinterpret_cast<const unsigned char *>(src);
            auto &cached = cache[(reinterpret_cast<uintptr_t>(key) >> 4) % kHeaderKeyCacheSize];
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

    bool init_latin1(const Py_UCS1 *src, Py_ssize_t n)
    {
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

    // Any key but exact bytes and Latin-1 str: str(key).lower().
    bool init_other(PyObject *key)
    {
        Ref text = PyUnicode_CheckExact(key) ? borrow(key) : steal(PyObject_Str(key));
        Ref lowered = text ? steal(PyObject_CallMethodNoArgs(text.get(), str_lower_)) : Ref();
        if (!lowered) {
            return false;
        }
        if (!PyUnicode_Check(lowered.get())) {
            PyErr_Format(PyExc_TypeError, "lower() returned %.200s", Py_TYPE(lowered.get())->tp_name);
            return false;
        }
        owner_ = steal(PyUnicode_AsLatin1String(lowered.get()));
        if (!owner_) {
            return false;
        }
        data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(owner_.get()));
        len_ = PyBytes_GET_SIZE(owner_.get());
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
    [[gnu::always_inline]] bool same_folded(const unsigned char *s, bool latin1) const
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
            if (c != data_[i] && static_cast<unsigned char>(ascii_lower(static_cast<char>(c))) != data_[i]) {
                return false;
            }
        }
        return true;
    }

    const unsigned char *data_ = nullptr;
    Py_ssize_t len_ = 0;
    PyObject *ident_ = nullptr;  // borrowed: the key itself or a shared table object
    PyObject *str_lower_ = nullptr;
    bool bytes_key_ = false;
    Ref owner_;  // holds data_ when it is not the key's or local_
    char local_[128];
};

// A stored value in the kind of the key: bytes for a bytes key (str
// encoded as Latin-1), str otherwise; None stays None.
inline PyObject *convert_header_value(PyObject *value, bool bytes_key)
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

// A raw entry that is not a tuple (exactly one when kExactTuples) of at
// least two items fails with the error indexing it would give.  Always
// false, with the exception set.
template <bool kExactTuples>
bool reject_header_entry(PyObject *entry)
{
    if (kExactTuples ? PyTuple_CheckExact(entry) : PyTuple_Check(entry)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    if (entry == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    return expected_type_error("tuple", entry);
}

// Calls on_match(entry) for each entry of the raw list whose name matches
// the key, in order; on_match returns 0 to go on, 1 to stop, -1 on error.
// Returns -1 on error, else 0.  A name test or on_match may run Python code
// (str() of a name or a value, or a collection) that changes the list or
// replaces the owner's list, so the scan holds the list it walks and the
// entry in use, and reads the size on every step.
template <bool kExactTuples, class F>
int scan_header_list(PyObject *list, const HeaderNameKey &key, F on_match)
{
    Ref hold_list = borrow(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        bool tuple = Py_IS_TYPE(entry, &PyTuple_Type) || (!kExactTuples && PyTuple_Check(entry));
        if (!tuple || Py_SIZE(entry) < 2) {
            reject_header_entry<kExactTuples>(entry);
            return -1;
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        int found = key.fast_match(name);
        if (found == 0) {
            continue;
        }
        Ref hold = borrow(entry);
        if (found == HeaderNameKey::kSlow) {
            found = key.match(name);
        }
        int rc = found > 0 ? on_match(entry) : found;
        if (rc != 0) {
            return rc < 0 ? -1 : 0;
        }
    }
    return 0;
}

}  // namespace vel
