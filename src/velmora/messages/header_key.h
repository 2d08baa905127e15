// The look-up key of the message header operations and the name test they
// share: a key (bytes, str or anything else) becomes its lower-case Latin-1
// bytes once, and each stored name is compared against them without
// building objects for the common names (exact bytes and Latin-1 str).
//
// Self-contained (no module state), so that it can serve any module that
// searches raw header lists.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "interning.h"
#include "simd_ops.h"
#include "vel/ref.hpp"

namespace vel::messages {

// str.lower() restricted to Latin-1: every character up to U+00FF lowers to
// one character up to U+00FF, so a Latin-1 string lowers byte for byte.
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

inline unsigned char ascii_lower(unsigned char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
}

class HeaderKey {
public:
    HeaderKey() = default;
    HeaderKey(const HeaderKey &) = delete;
    HeaderKey &operator=(const HeaderKey &) = delete;

    // `str_lower` is the interned "lower".  False with an exception set
    // (UnicodeEncodeError for a str key with characters above U+00FF).
    bool init(PyObject *key, PyObject *str_lower)
    {
        str_lower_ = str_lower;
        bytes_key_ = PyBytes_CheckExact(key);
        if (bytes_key_) {
            return init_bytes(key);
        }
        if (PyUnicode_CheckExact(key) && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            return init_latin1(PyUnicode_1BYTE_DATA(key), PyUnicode_GET_LENGTH(key));
        }
        Ref text = PyUnicode_CheckExact(key) ? borrow(key) : steal(PyObject_Str(key));
        Ref lowered = text ? steal(PyObject_CallMethodNoArgs(text.get(), str_lower)) : Ref();
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

    // Whether values come back as bytes (the key was exactly bytes).
    bool bytes_key() const { return bytes_key_; }

    // 1 match, 0 no match, kSlow when match() must run Python code.
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

    // 1, 0, or -1 with an exception set; may run Python code (str(),
    // lower()) for names other than exact bytes and Latin-1 str.
    int match(PyObject *name) const
    {
        int found = fast_match(name);
        if (found != kSlow) {
            return found;
        }
        Ref text = PyUnicode_CheckExact(name) ? borrow(name) : steal(PyObject_Str(name));
        if (!text) {
            return -1;
        }
        PyObject *s = text.get();
        if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
            return PyUnicode_GET_LENGTH(s) == len_ && same_folded(PyUnicode_1BYTE_DATA(s), true);
        }
        Ref lowered = steal(PyObject_CallMethodNoArgs(s, str_lower_));
        if (!lowered) {
            return -1;
        }
        s = lowered.get();
        return PyUnicode_Check(s) && PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(s) == len_ &&
               std::memcmp(PyUnicode_1BYTE_DATA(s), data_, static_cast<size_t>(len_)) == 0;
    }

private:
    // simd_is_ascii_lowercase, inline for the short keys of look-ups.
    static bool is_lowercase(const char *s, Py_ssize_t n)
    {
        if (n > 32) {
            return simd_is_ascii_lowercase(s, static_cast<size_t>(n)) != 0;
        }
        unsigned upper = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            upper |= static_cast<unsigned>(static_cast<unsigned char>(s[i]) - 'A') < 26u;
        }
        return upper == 0;
    }

    bool init_bytes(PyObject *key)
    {
        const char *src = PyBytes_AS_STRING(key);
        Py_ssize_t n = PyBytes_GET_SIZE(key);
        len_ = n;
        if (is_lowercase(src, n)) {
            // Keys are mostly the same few constants: the shared name a key
            // stands for is remembered per key object (held, so that its
            // address is not reused while cached).
            data_ = reinterpret_cast<const unsigned char *>(src);
            static struct {
                PyObject *key;
                PyObject *ident;  // borrowed: the key or a table object
            } cache[32];
            auto &entry = cache[(reinterpret_cast<uintptr_t>(key) >> 4) % 32];
            if (entry.key != key) {
                PyObject *shared = get_interned_header_name_bytes(src, static_cast<size_t>(n));
                Py_XSETREF(entry.key, Py_NewRef(key));
                entry.ident = shared != nullptr ? shared : key;
            }
            ident_ = entry.ident;
            return true;
        }
        char *dst = buffer(n);
        if (dst == nullptr) {
            return false;
        }
        simd_lowercase_ascii(src, dst, static_cast<size_t>(n));
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

    // The key (lower-case already) against `s` folded by bytes.lower()
    // (ASCII) or str.lower() (Latin-1) rules.
    [[gnu::always_inline]] bool same_folded(const unsigned char *s, bool latin1) const
    {
        if (latin1) {
            for (Py_ssize_t i = 0; i < len_; ++i) {
                if (kLatin1Lower.map[s[i]] != data_[i]) {
                    return false;
                }
            }
            return true;
        }
        for (Py_ssize_t i = 0; i < len_; ++i) {
            if (s[i] != data_[i] && ascii_lower(s[i]) != data_[i]) {
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
    Ref owner_;
    char local_[96];
};

// A stored value in the kind of the key: bytes for a bytes key (str
// encoded as Latin-1), str otherwise; None stays None.
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

}  // namespace vel::messages
