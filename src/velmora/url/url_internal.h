// Shared by the files of velmora.url: the module state with its parse
// cache, the small helpers on bytes fields, the bytes builder, and URL
// construction (url_parse.cpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "url/url_api.h"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace vel::url {

enum Slot { SLOT_JOIN, SLOT_BASE_URL, SLOT_WITH_HOST, SLOT_WITH_SCHEME, SLOT_WITH_QUERY, SLOT_COUNT };

// The parts of one parsed value.  The same values arrive over and over (a
// server sees the same paths all day), so the last parse of each is kept in
// a small direct-mapped table: a hit copies the parts into the new URL
// instead of running the parser again.  Only exact bytes values are kept,
// short ones, that need no dot rule; a collision simply replaces the entry.
struct Parts {
    PyObject *value;  // NULL: empty entry
    PyObject *schema;
    PyObject *host;
    PyObject *path;
    PyObject *query;
    PyObject *fragment;
    int port;
    char is_absolute;
};

class ParseCache {
public:
    static constexpr size_t kSlots = 512;
    static constexpr Py_ssize_t kMaxLength = 256;

    static bool cacheable(PyObject *value)
    {
        return PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) <= kMaxLength &&
               PyBytes_AS_STRING(value)[0] != '.';
    }

    // The entry for `value` when it holds that value, else NULL.
    const Parts *find(PyObject *value) const
    {
        const Parts &e = entries_[index(value)];
        if (e.value == nullptr) {
            return nullptr;
        }
        if (e.value != value && (PyBytes_GET_SIZE(e.value) != PyBytes_GET_SIZE(value) ||
                                 std::memcmp(PyBytes_AS_STRING(e.value), PyBytes_AS_STRING(value),
                                             static_cast<size_t>(PyBytes_GET_SIZE(value))) != 0)) {
            return nullptr;
        }
        return &e;
    }

    void store(const URLObject *u)
    {
        Parts &e = entries_[index(u->value)];
        release(e);
        e = Parts{Py_NewRef(u->value), Py_NewRef(u->schema), Py_NewRef(u->host),     Py_NewRef(u->path),
                  Py_NewRef(u->query), Py_NewRef(u->fragment), u->port, u->is_absolute};
    }

    void clear()
    {
        for (Parts &e : entries_) {
            release(e);
        }
    }

    // Bytes and None only, which take no part in cycles.
    int traverse(visitproc, void *) const { return 0; }

private:
    static void release(Parts &e)
    {
        Py_CLEAR(e.value);
        Py_CLEAR(e.schema);
        Py_CLEAR(e.host);
        Py_CLEAR(e.path);
        Py_CLEAR(e.query);
        Py_CLEAR(e.fragment);
    }

    // A quick word-at-a-time mix; collisions only cost a parse.
    static size_t index(PyObject *value)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value));
        size_t n = static_cast<size_t>(PyBytes_GET_SIZE(value));
        uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 29;
        }
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 32;
        return static_cast<size_t>(h) & (kSlots - 1);
    }

    Parts entries_[kSlots] = {};
};

struct State {
    PyTypeObject *url_type = nullptr;
    PyObject *invalid_url = nullptr;
    PyObject *parse_url = nullptr;  // httptools.parse_url
    // attribute names of parse_url's result
    PyObject *s_schema = nullptr;
    PyObject *s_host = nullptr;
    PyObject *s_port = nullptr;
    PyObject *s_path = nullptr;
    PyObject *s_query = nullptr;
    PyObject *s_fragment = nullptr;
    vel::OverrideSlot slots[SLOT_COUNT];
    ParseCache cache;

    template <class F>
    void fields(F &&f)
    {
        f(url_type);
        f(invalid_url);
        f(parse_url);
        f(s_schema);
        f(s_host);
        f(s_port);
        f(s_path);
        f(s_query);
        f(s_fragment);
        f(slots);
        f(cache);
    }
};

// Set at exec: the hot paths reach the state without a module lookup.
extern State *g_state;

inline URLObject *as_url(PyObject *o) { return reinterpret_cast<URLObject *>(o); }

inline bool is_url(PyObject *o) { return PyObject_TypeCheck(o, g_state->url_type); }

// Truthiness of a bytes-or-None field.
inline bool non_empty(PyObject *o) { return o != Py_None && PyBytes_GET_SIZE(o) > 0; }

inline bool bytes_equal(PyObject *b, const char *text, Py_ssize_t n)
{
    return PyBytes_GET_SIZE(b) == n && std::memcmp(PyBytes_AS_STRING(b), text, static_cast<size_t>(n)) == 0;
}

inline bool is_http(PyObject *schema) { return bytes_equal(schema, "http", 4); }
inline bool is_https(PyObject *schema) { return bytes_equal(schema, "https", 5); }

// Concatenation of a few pieces into one new bytes object.  A piece that is
// not bytes (a None field) fails the way `b"..." + None` does.
class Builder {
public:
    void lit(const char *text, Py_ssize_t size) { add(text, size); }

    void obj(PyObject *o)
    {
        if (!ok_) {
            return;
        }
        if (!PyBytes_Check(o)) {
            PyErr_Format(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(o)->tp_name);
            ok_ = false;
            return;
        }
        add(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    }

    // The host as it goes into an authority: an IPv6 address (the parser
    // hands it over without its brackets) gets them back.
    void host(PyObject *o)
    {
        bool bracket = ok_ && PyBytes_Check(o) && std::memchr(PyBytes_AS_STRING(o), ':', PyBytes_GET_SIZE(o));
        if (bracket) {
            lit("[", 1);
        }
        obj(o);
        if (bracket) {
            lit("]", 1);
        }
    }

    void port(int port)
    {
        char digits[16];
        int n = PyOS_snprintf(digits, sizeof digits, ":%d", port);
        add(nullptr, n);
        if (ok_) {
            // The digits live in this frame only: the piece keeps a copy.
            std::memcpy(pieces_[count_ - 1].inline_text, digits, static_cast<size_t>(n));
        }
    }

    PyObject *finish()
    {
        if (!ok_) {
            return nullptr;
        }
        PyObject *out = PyBytes_FromStringAndSize(nullptr, total_);
        if (out == nullptr) {
            return nullptr;
        }
        char *p = PyBytes_AS_STRING(out);
        for (int i = 0; i < count_; ++i) {
            const Piece &piece = pieces_[i];
            std::memcpy(p, piece.data != nullptr ? piece.data : piece.inline_text, static_cast<size_t>(piece.size));
            p += piece.size;
        }
        return out;
    }

private:
    struct Piece {
        const char *data;
        Py_ssize_t size;
        char inline_text[16];  // used when data is NULL
    };

    void add(const char *data, Py_ssize_t size)
    {
        if (!ok_) {
            return;
        }
        if (count_ == kMax) {
            PyErr_SetString(PyExc_SystemError, "too many URL pieces");
            ok_ = false;
            return;
        }
        pieces_[count_++] = Piece{data, size, {}};
        total_ += size;
    }

    static constexpr int kMax = 16;
    Piece pieces_[kMax];
    int count_ = 0;
    Py_ssize_t total_ = 0;
    bool ok_ = true;
};

// ---------------------------------------------------------------------------
// Construction (url_parse.cpp)

// Schemes other than http and https are refused with InvalidURL; None and
// empty pass.
bool valid_schema(PyObject *schema);

// URL(value) for an instance of `type`; `value` is bytes or None (checked).
PyObject *construct(PyTypeObject *type, PyObject *value);

// A URL of the exact type from the builder's bytes.
PyObject *finish_url(Builder &b);

}  // namespace vel::url
