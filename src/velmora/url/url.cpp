// `velmora.url`: the immutable URL value over a bytes string, parsed once by
// httptools.parse_url, and the helpers that build absolute URLs and prefix
// paths for the request objects.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "url/url_api.h"
#include "vel/args.hpp"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace {

using vel::Ref;
using vel::url::URLObject;

enum Slot { SLOT_JOIN, SLOT_BASE_URL, SLOT_WITH_HOST, SLOT_WITH_SCHEME, SLOT_WITH_QUERY, SLOT_COUNT };

const char *const slot_names[SLOT_COUNT] = {"join", "base_url", "with_host", "with_scheme", "with_query"};

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
};

// Set at exec: the hot paths reach the state without a module lookup.
State *g_state = nullptr;

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

// Raises `type(arg)` with `context` (stolen, may be NULL) as its __context__,
// the way a raise inside an except block chains.
void raise_chained(PyObject *type, PyObject *arg, PyObject *context)
{
    PyObject *exc = PyObject_CallOneArg(type, arg);
    if (exc == nullptr) {
        Py_XDECREF(context);
        return;
    }
    if (context != nullptr) {
        PyException_SetContext(exc, context);
    }
    vel::compat::restore_exception(exc);
}

// ---------------------------------------------------------------- bytes building

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

// ---------------------------------------------------------------- construction

// Schemes other than http and https are refused; None and empty pass.
bool valid_schema(PyObject *schema)
{
    if (schema == Py_None || PyBytes_GET_SIZE(schema) == 0 || is_http(schema) || is_https(schema)) {
        return true;
    }
    Ref text = vel::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(schema), PyBytes_GET_SIZE(schema), nullptr));
    if (text) {
        Ref message = vel::steal(PyUnicode_FromFormat("Expected http or https schema; got instead %U", text.get()));
        if (message) {
            PyErr_SetObject(g_state->invalid_url, message.get());
        }
    }
    return false;
}

// One bytes-or-None attribute of the parser's result, stored into `*slot`.
bool read_part(PyObject *parsed, PyObject *name, PyObject **slot)
{
    PyObject *v = PyObject_GetAttr(parsed, name);
    if (v == nullptr) {
        return false;
    }
    if (v != Py_None && !PyBytes_Check(v)) {
        vel::expected_type_error("bytes", v);
        Py_DECREF(v);
        return false;
    }
    *slot = v;
    return true;
}

bool read_port(PyObject *parsed, int *port)
{
    Ref v = vel::steal(PyObject_GetAttr(parsed, g_state->s_port));
    if (!v) {
        return false;
    }
    *port = 0;
    if (v.get() == Py_None) {
        return true;
    }
    int truth = PyObject_IsTrue(v.get());
    if (truth <= 0) {
        return truth == 0;
    }
    long n = PyLong_AsLong(v.get());
    if (n == -1 && PyErr_Occurred()) {
        return false;
    }
    if (n < 0 || n > 65535) {
        PyErr_Format(PyExc_ValueError, "port %ld out of range", n);
        return false;
    }
    *port = static_cast<int>(n);
    return true;
}

// Parses `value` (non-empty bytes) into `self`.
bool fill(URLObject *self, PyObject *value)
{
    Ref prefixed;
    if (PyBytes_AS_STRING(value)[0] == '.') {
        // "./a" is relative to the current directory; the parser wants a path.
        Builder b;
        b.lit("/", 1);
        b.obj(value);
        prefixed = vel::steal(b.finish());
        if (!prefixed) {
            return false;
        }
        value = prefixed.get();
    } else if (!PyBytes_CheckExact(value)) {
        prefixed = vel::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
        if (!prefixed) {
            return false;
        }
        value = prefixed.get();
    }
    self->value = Py_NewRef(value);

    PyObject *argv[2] = {nullptr, value};
    Ref parsed = vel::steal(PyObject_Vectorcall(g_state->parse_url, argv + 1,
                                                1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!parsed) {
        return false;
    }
    PyObject *p = parsed.get();
    State *st = g_state;
    if (!read_part(p, st->s_schema, &self->schema) || !valid_schema(self->schema)) {
        return false;
    }
    if (!read_part(p, st->s_host, &self->host) || !read_port(p, &self->port) ||
        !read_part(p, st->s_path, &self->path) || !read_part(p, st->s_query, &self->query) ||
        !read_part(p, st->s_fragment, &self->fragment)) {
        return false;
    }
    self->is_absolute = self->schema != Py_None;
    return true;
}

// Replaces the pending exception by InvalidURL naming the value and the cause.
void wrap_parse_error(PyObject *value)
{
    PyObject *cause = vel::compat::take_exception();
    if (cause == nullptr || !PyObject_TypeCheck(cause, reinterpret_cast<PyTypeObject *>(PyExc_Exception))) {
        vel::compat::restore_exception(cause);  // KeyboardInterrupt and the like pass through
        return;
    }
    PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
    if (text == nullptr) {
        // A value that is not UTF-8 cannot be quoted: the decoding error is
        // what the caller sees, chained to the parser's.
        PyObject *decode_error = vel::compat::take_exception();
        PyException_SetContext(decode_error, cause);
        vel::compat::restore_exception(decode_error);
        return;
    }
    PyObject *reason = PyObject_Str(cause);
    PyObject *message = reason != nullptr
                            ? PyUnicode_FromFormat("The value cannot be parsed as URL (%U): %U", text, reason)
                            : nullptr;
    if (message != nullptr) {
        raise_chained(g_state->invalid_url, message, cause);
    } else {
        Py_DECREF(cause);
    }
    Py_XDECREF(message);
    Py_XDECREF(reason);
    Py_DECREF(text);
}

// URL(value) for an instance of `type`; `value` is bytes or None (checked).
PyObject *construct(PyTypeObject *type, PyObject *value)
{
    if (value == Py_None || PyBytes_GET_SIZE(value) == 0) {
        PyErr_SetString(g_state->invalid_url, "Input empty or null.");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    // Looked up only now: allocating a subclass instance may collect
    // garbage, and a finaliser could build URLs that replace the entry.
    bool cacheable = ParseCache::cacheable(value);
    const Parts *hit = cacheable ? g_state->cache.find(value) : nullptr;
    URLObject *u = as_url(self);
    if (hit != nullptr) {
        u->value = Py_NewRef(hit->value);
        u->schema = Py_NewRef(hit->schema);
        u->host = Py_NewRef(hit->host);
        u->port = hit->port;
        u->path = Py_NewRef(hit->path);
        u->query = Py_NewRef(hit->query);
        u->fragment = Py_NewRef(hit->fragment);
        u->is_absolute = hit->is_absolute;
    } else if (fill(u, value)) {
        if (cacheable) {
            g_state->cache.store(u);
        }
    } else {
        // The quoted value is the one after the dot rule.
        wrap_parse_error(u->value != nullptr ? u->value : value);
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

inline PyObject *new_url(PyObject *bytes)
{
    return bytes != nullptr ? construct(g_state->url_type, bytes) : nullptr;
}

inline PyObject *finish_url(Builder &b)
{
    Ref bytes = vel::steal(b.finish());
    return new_url(bytes.get());
}

bool check_value_arg(PyObject *value) { return vel::check_arg(value, &PyBytes_Type, "value"); }

const char *const value_names[] = {"value"};
const vel::Signature url_sig = {"URL", value_names, 1, 1};

PyObject *url_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyObject *value;
    if (!vel::parse_tuple_dict(url_sig, args, kwargs, &value) || !check_value_arg(value)) {
        return nullptr;
    }
    return construct(type, value);
}

// Calls of the exact type skip tp_new's tuple and dict.
PyObject *url_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *value;
    if (nargs == 1 && kwnames == nullptr) {
        value = args[0];
    } else if (!vel::parse_fastcall(url_sig, args, nargs, kwnames, &value)) {
        return nullptr;
    }
    if (!PyBytes_CheckExact(value) && !check_value_arg(value)) {
        return nullptr;
    }
    return construct(reinterpret_cast<PyTypeObject *>(type), value);
}

void url_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    URLObject *u = as_url(self);
    if (u->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Py_XDECREF(u->value);
    Py_XDECREF(u->schema);
    Py_XDECREF(u->host);
    Py_XDECREF(u->path);
    Py_XDECREF(u->query);
    Py_XDECREF(u->fragment);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------- operators

PyObject *url_str(PyObject *self)
{
    PyObject *v = as_url(self)->value;
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), nullptr);
}

PyObject *url_repr(PyObject *self) { return PyUnicode_FromFormat("<URL %R>", as_url(self)->value); }

PyObject *url_richcompare(PyObject *a, PyObject *b, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !is_url(a) || !is_url(b)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    PyObject *va = as_url(a)->value;
    PyObject *vb = as_url(b)->value;
    bool equal = bytes_equal(va, PyBytes_AS_STRING(vb), PyBytes_GET_SIZE(vb));
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject *slot_join(PyObject *self, PyObject *other);

PyObject *url_add(PyObject *a, PyObject *b)
{
    if (!is_url(a)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (PyBytes_Check(b)) {
        Ref other = vel::steal(construct(g_state->url_type, b));
        return other ? slot_join(a, other.get()) : nullptr;
    }
    if (is_url(b)) {
        return slot_join(a, b);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// ---------------------------------------------------------------- operations

PyObject *join_impl(PyObject *self, PyObject *other)
{
    if (!vel::check_arg(other, g_state->url_type, "other", false)) {
        return nullptr;
    }
    URLObject *u = as_url(self);
    URLObject *o = as_url(other);
    if (o->is_absolute) {
        return PyErr_Format(PyExc_ValueError, "Cannot concatenate to an absolute URL (%R + %R)", u->value, o->value);
    }
    if (non_empty(u->query) || non_empty(u->fragment)) {
        PyErr_SetString(PyExc_ValueError, "Cannot concatenate a URL with query or fragment to another URL portion");
        return nullptr;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(u->value);
    const char *left = PyBytes_AS_STRING(u->value);
    if (n > 0 && PyBytes_GET_SIZE(o->value) > 0 && left[n - 1] == '/' && PyBytes_AS_STRING(o->value)[0] == '/') {
        --n;  // one slash between the two, not two
    }
    Builder b;
    b.lit(left, n);
    b.obj(o->value);
    return finish_url(b);
}

// The default port of the scheme, 0 when it has none known here.
int default_port(PyObject *schema)
{
    if (schema == Py_None) {
        return 0;
    }
    return is_http(schema) ? 80 : is_https(schema) ? 443 : 0;
}

PyObject *base_url_impl(PyObject *self)
{
    URLObject *u = as_url(self);
    if (!u->is_absolute) {
        PyErr_SetString(PyExc_ValueError, "This URL is relative. Cannot extract a base URL (without path).");
        return nullptr;
    }
    Builder b;
    b.obj(u->schema);
    b.lit("://", 3);
    b.host(u->host);
    int standard = default_port(u->schema);
    if (u->port != 0 && standard != 0 && u->port != standard) {
        b.port(u->port);
    }
    return finish_url(b);
}

// Path, query and fragment of `u` after an authority.  A URL such as
// "http://host" has no path: it contributes nothing.
void tail(Builder &b, URLObject *u, PyObject *query)
{
    if (u->path != Py_None) {
        b.obj(u->path);
    }
    if (non_empty(query)) {
        b.lit("?", 1);
        b.obj(query);
    }
    if (non_empty(u->fragment)) {
        b.lit("#", 1);
        b.obj(u->fragment);
    }
}

// Whether a host given to with_host carries its own port ("h:8080",
// "[::1]:8080").
bool host_has_port(PyObject *host)
{
    if (!PyBytes_Check(host)) {
        return false;
    }
    const char *s = PyBytes_AS_STRING(host);
    Py_ssize_t n = PyBytes_GET_SIZE(host);
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (s[i] == ':') {
            return true;
        }
        if (s[i] == ']') {
            return false;
        }
    }
    return false;
}

bool check_bytes_arg(PyObject *o, const char *name) { return vel::check_arg(o, &PyBytes_Type, name); }

PyObject *with_host_impl(PyObject *self, PyObject *host)
{
    if (!check_bytes_arg(host, "host")) {
        return nullptr;
    }
    URLObject *u = as_url(self);
    if (!u->is_absolute) {
        PyErr_SetString(PyExc_ValueError, "This URL is not absolute.");
        return nullptr;
    }
    Builder b;
    b.obj(u->schema);
    b.lit("://", 3);
    b.obj(host);  // the caller's authority text, as given
    if (u->port != 0 && !host_has_port(host)) {
        b.port(u->port);
    }
    tail(b, u, u->query);
    return finish_url(b);
}

PyObject *with_query_impl(PyObject *self, PyObject *query)
{
    if (!check_bytes_arg(query, "query")) {
        return nullptr;
    }
    URLObject *u = as_url(self);
    Builder b;
    if (u->is_absolute) {
        b.obj(u->schema);
        b.lit("://", 3);
        b.host(u->host);
        if (u->port != 0) {
            b.port(u->port);
        }
    }
    tail(b, u, query);
    return finish_url(b);
}

PyObject *with_scheme_impl(PyObject *self, PyObject *schema)
{
    if (!check_bytes_arg(schema, "schema")) {
        return nullptr;
    }
    URLObject *u = as_url(self);
    if (!u->is_absolute) {
        PyErr_SetString(PyExc_ValueError, "This URL is not absolute.");
        return nullptr;
    }
    if (!valid_schema(schema)) {
        return nullptr;
    }
    Builder b;
    b.obj(schema);
    b.lit("://", 3);
    b.host(u->host);
    // A port written out as the old scheme's default means "the default";
    // under the new scheme that is the new default, so it is left out.
    if (u->port != 0 && u->port != default_port(u->schema)) {
        b.port(u->port);
    }
    tail(b, u, u->query);
    return finish_url(b);
}

// ---------------------------------------------------------------- method table

inline PyObject *pass_result(PyObject *result) { return result; }

PyObject *slot_join(PyObject *self, PyObject *other)
{
    VEL_DISPATCH(g_state->slots[SLOT_JOIN], self, pass_result, other);
    return join_impl(self, other);
}

PyObject *slot_base_url(PyObject *self)
{
    VEL_DISPATCH(g_state->slots[SLOT_BASE_URL], self, pass_result);
    return base_url_impl(self);
}

PyObject *slot_with_host(PyObject *self, PyObject *host)
{
    VEL_DISPATCH(g_state->slots[SLOT_WITH_HOST], self, pass_result, host);
    return with_host_impl(self, host);
}

PyObject *slot_with_scheme(PyObject *self, PyObject *schema)
{
    VEL_DISPATCH(g_state->slots[SLOT_WITH_SCHEME], self, pass_result, schema);
    return with_scheme_impl(self, schema);
}

PyObject *slot_with_query(PyObject *self, PyObject *query)
{
    VEL_DISPATCH(g_state->slots[SLOT_WITH_QUERY], self, pass_result, query);
    return with_query_impl(self, query);
}

const vel::url::UrlMethods url_methods_table = {slot_join, slot_base_url, slot_with_host, slot_with_scheme, slot_with_query};

// ---------------------------------------------------------------- Python methods

// One positional-or-keyword argument, with the common positional case first.
bool one_arg(const vel::Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
             PyObject **out)
{
    if (nargs == 1 && kwnames == nullptr) {
        *out = args[0];
        return true;
    }
    return vel::parse_fastcall(sig, args, nargs, kwnames, out);
}

#define URL_METHOD(fn, param)                                                                    \
    PyObject *py_##fn(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) \
    {                                                                                            \
        static const char *const names[] = {param};                                              \
        static const vel::Signature sig = {#fn, names, 1, 1};                                    \
        PyObject *arg;                                                                           \
        return one_arg(sig, args, nargs, kwnames, &arg) ? fn##_impl(self, arg) : nullptr;        \
    }

URL_METHOD(join, "other")
URL_METHOD(with_host, "host")
URL_METHOD(with_query, "query")
URL_METHOD(with_scheme, "schema")

PyObject *py_base_url(PyObject *self, PyObject *) { return base_url_impl(self); }

#define FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef url_methods[] = {
    {"join", FASTCALL_KW(py_join), "join($self, other)\n--\n\nThis URL followed by the relative URL other."},
    {"base_url", py_base_url, METH_NOARGS, "base_url($self, /)\n--\n\nScheme, host and a non-default port only."},
    {"with_host", FASTCALL_KW(py_with_host), "with_host($self, host)\n--\n\nThis URL with another host."},
    {"with_scheme", FASTCALL_KW(py_with_scheme), "with_scheme($self, schema)\n--\n\nThis URL with scheme http or https."},
    {"with_query", FASTCALL_KW(py_with_query), "with_query($self, query)\n--\n\nThis URL with another query; an empty one drops it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef url_members[] = {
    {"value", T_OBJECT, offsetof(URLObject, value), READONLY, "the whole URL as bytes"},
    {"schema", T_OBJECT, offsetof(URLObject, schema), READONLY, "scheme (bytes) or None for a relative URL"},
    {"host", T_OBJECT, offsetof(URLObject, host), READONLY, "host (bytes) or None"},
    {"port", T_INT, offsetof(URLObject, port), READONLY, "port, 0 when the URL names none"},
    {"path", T_OBJECT, offsetof(URLObject, path), READONLY, "path (bytes) or None"},
    {"query", T_OBJECT, offsetof(URLObject, query), READONLY, "query without '?' (bytes) or None"},
    {"fragment", T_OBJECT, offsetof(URLObject, fragment), READONLY, "fragment without '#' (bytes) or None"},
    {"is_absolute", T_BOOL, offsetof(URLObject, is_absolute), READONLY, "whether the URL has a scheme"},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(URLObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot url_slots[] = {
    {Py_tp_doc, const_cast<char *>("URL(value)\n--\n\nAn immutable URL parsed from bytes.")},
    {Py_tp_new, reinterpret_cast<void *>(url_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(url_dealloc)},
    {Py_tp_str, reinterpret_cast<void *>(url_str)},
    {Py_tp_repr, reinterpret_cast<void *>(url_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(url_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void *>(url_add)},
    {Py_tp_methods, url_methods},
    {Py_tp_members, url_members},
    {0, nullptr},
};

// URL holds only bytes and None, which cannot form cycles: no GC.
PyType_Spec url_spec = {"velmora.url.URL", sizeof(URLObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                        url_slots};

// ---------------------------------------------------------------- InvalidURL

const char *const message_names[] = {"message"};
const vel::Signature invalid_url_sig = {"InvalidURL", message_names, 1, 1};

int invalid_url_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *message;
    if (!vel::parse_tuple_dict(invalid_url_sig, args, kwargs, &message)) {
        return -1;
    }
    Ref base_args = vel::steal(PyTuple_Pack(1, message));
    if (!base_args) {
        return -1;
    }
    return reinterpret_cast<PyTypeObject *>(PyExc_Exception)->tp_init(self, base_args.get(), nullptr);
}

PyType_Slot invalid_url_slots[] = {
    {Py_tp_doc, const_cast<char *>("InvalidURL(message)\n--\n\nA value that cannot be used as a URL.")},
    {Py_tp_init, reinterpret_cast<void *>(invalid_url_init)},
    {0, nullptr},
};

// Size and GC support come from Exception.
PyType_Spec invalid_url_spec = {"velmora.url.InvalidURL", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                invalid_url_slots};

// ---------------------------------------------------------------- module functions

PyObject *build_absolute_url(PyObject *scheme, PyObject *host, PyObject *base_path, PyObject *path)
{
    if (!check_bytes_arg(scheme, "scheme") || !check_bytes_arg(host, "host") ||
        !check_bytes_arg(base_path, "base_path") || !check_bytes_arg(path, "path")) {
        return nullptr;
    }
    Builder b;
    b.obj(scheme);
    b.lit("://", 3);
    b.obj(host);
    if (non_empty(base_path)) {
        const char *s = PyBytes_AS_STRING(base_path);
        Py_ssize_t n = PyBytes_GET_SIZE(base_path);
        if (s[0] != '/') {
            b.lit("/", 1);
        }
        b.lit(s, s[n - 1] == '/' ? n - 1 : n);
    }
    if (!non_empty(path)) {
        b.lit("/", 1);
    } else {
        if (PyBytes_AS_STRING(path)[0] != '/') {
            b.lit("/", 1);
        }
        b.obj(path);
    }
    return finish_url(b);
}

inline bool str_non_empty(PyObject *s) { return s != Py_None && PyUnicode_GET_LENGTH(s) > 0; }

inline Py_UCS4 first_char(PyObject *s) { return PyUnicode_READ_CHAR(s, 0); }
inline Py_UCS4 last_char(PyObject *s) { return PyUnicode_READ_CHAR(s, PyUnicode_GET_LENGTH(s) - 1); }

PyObject *join_prefix(PyObject *prefix, PyObject *path)
{
    if (!vel::check_arg(prefix, &PyUnicode_Type, "prefix") || !vel::check_arg(path, &PyUnicode_Type, "path")) {
        return nullptr;
    }
    if (!str_non_empty(prefix)) {
        return Py_NewRef(path);
    }
    Ref slash = vel::steal(PyUnicode_FromOrdinal('/'));
    if (!slash) {
        return nullptr;
    }
    Ref head = vel::borrow(prefix);
    if (first_char(prefix) != '/') {
        head = vel::steal(PyUnicode_Concat(slash.get(), prefix));
        if (!head) {
            return nullptr;
        }
    }
    if (!str_non_empty(path)) {
        return PyUnicode_Concat(head.get(), slash.get());
    }
    bool ends = last_char(head.get()) == '/';
    bool starts = first_char(path) == '/';
    if (ends && starts) {
        Ref rest = vel::steal(PyUnicode_Substring(path, 1, PyUnicode_GET_LENGTH(path)));
        return rest ? PyUnicode_Concat(head.get(), rest.get()) : nullptr;
    }
    if (!ends && !starts) {
        Ref with_slash = vel::steal(PyUnicode_Concat(head.get(), slash.get()));
        return with_slash ? PyUnicode_Concat(with_slash.get(), path) : nullptr;
    }
    return PyUnicode_Concat(head.get(), path);
}

PyObject *url_from_bytes(PyObject *value)
{
    if (!check_value_arg(value)) {
        return nullptr;
    }
    return construct(g_state->url_type, value);
}

const char *const build_names[] = {"scheme", "host", "base_path", "path"};
const vel::Signature build_sig = {"build_absolute_url", build_names, 4, 4};

PyObject *py_build_absolute_url(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[4];
    if (!vel::parse_fastcall(build_sig, args, nargs, kwnames, a)) {
        return nullptr;
    }
    return build_absolute_url(a[0], a[1], a[2], a[3]);
}

const char *const prefix_names[] = {"prefix", "path"};
const vel::Signature prefix_sig = {"join_prefix", prefix_names, 2, 2};

PyObject *py_join_prefix(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[2];
    if (!vel::parse_fastcall(prefix_sig, args, nargs, kwnames, a)) {
        return nullptr;
    }
    return join_prefix(a[0], a[1]);
}

PyMethodDef module_methods[] = {
    {"build_absolute_url", FASTCALL_KW(py_build_absolute_url),
     "build_absolute_url(scheme, host, base_path, path)\n--\n\nscheme://host/base_path/path as a URL."},
    {"join_prefix", FASTCALL_KW(py_join_prefix), "join_prefix(prefix, path)\n--\n\nThe path under the prefix, with one slash between."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

vel::url::CAPI capi_table = {
    {vel::url::CAPI_VERSION, sizeof(vel::url::CAPI)}, nullptr, nullptr, &url_methods_table,
    join_prefix, build_absolute_url, url_from_bytes,
};

State *get_state(PyObject *module) { return static_cast<State *>(PyModule_GetState(module)); }

int url_exec(PyObject *module)
{
    if (vel::init_companion() < 0) {
        return -1;
    }
    State *st = new (get_state(module)) State{};
    g_state = st;
    st->parse_url = vel::import_attr("httptools", "parse_url");
    if (st->parse_url == nullptr) {
        return -1;
    }
    {
        Ref urlparse = vel::steal(vel::import_attr("urllib.parse", "urlparse"));
        if (!urlparse || PyModule_AddObjectRef(module, "urlparse", urlparse.get()) < 0) {
            return -1;
        }
    }
    PyObject **names[] = {&st->s_schema, &st->s_host, &st->s_port, &st->s_path, &st->s_query, &st->s_fragment};
    const char *texts[] = {"schema", "host", "port", "path", "query", "fragment"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        *names[i] = vel::intern(texts[i]);
        if (*names[i] == nullptr) {
            return -1;
        }
    }
    st->url_type = vel::add_type(module, &url_spec);
    if (st->url_type == nullptr) {
        return -1;
    }
    // Not inherited: subclasses are built through tp_new and their __init__.
    st->url_type->tp_vectorcall = url_vectorcall;
    st->invalid_url = reinterpret_cast<PyObject *>(vel::add_type(module, &invalid_url_spec, PyExc_Exception));
    if (st->invalid_url == nullptr) {
        return -1;
    }
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (st->slots[i].init(st->url_type, slot_names[i]) < 0) {
            return -1;
        }
    }
    capi_table.url_type = st->url_type;
    capi_table.invalid_url = st->invalid_url;
    return vel::publish_capi(module, vel::url::CAPI_NAME, &capi_table.header);
}

int url_traverse(PyObject *module, visitproc visit, void *arg)
{
    State *st = get_state(module);
    Py_VISIT(st->url_type);
    Py_VISIT(st->invalid_url);
    Py_VISIT(st->parse_url);
    for (const vel::OverrideSlot &slot : st->slots) {
        if (int rc = slot.traverse(visit, arg)) {
            return rc;
        }
    }
    return 0;
}

int url_clear(PyObject *module)
{
    State *st = get_state(module);
    Py_CLEAR(st->url_type);
    Py_CLEAR(st->invalid_url);
    Py_CLEAR(st->parse_url);
    Py_CLEAR(st->s_schema);
    Py_CLEAR(st->s_host);
    Py_CLEAR(st->s_port);
    Py_CLEAR(st->s_path);
    Py_CLEAR(st->s_query);
    Py_CLEAR(st->s_fragment);
    for (auto &slot : st->slots) {
        slot.clear();
    }
    st->cache.clear();
    return 0;
}

void url_free(void *module)
{
    url_clear(static_cast<PyObject *>(module));
    if (g_state == get_state(static_cast<PyObject *>(module))) {
        g_state = nullptr;
    }
}

PyModuleDef_Slot url_module_slots[] = {VEL_MODULE_SLOTS(url_exec)};

PyModuleDef url_module = {
    PyModuleDef_HEAD_INIT,
    "velmora.url",
    "The immutable URL value, InvalidURL, build_absolute_url and join_prefix.",
    sizeof(State),
    module_methods,
    url_module_slots,
    url_traverse,
    url_clear,
    url_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_url(void) { return PyModuleDef_Init(&url_module); }
