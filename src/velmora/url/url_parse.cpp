// Construction of a URL: the value parsed by httptools.parse_url into its
// parts (or copied from the parse cache), and the InvalidURL that names a
// value the parser refuses.
#include "url/url_internal.h"

#include "vel/args.hpp"
#include "vel/compat.hpp"

namespace vel::url {

namespace {

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
    Ref v = steal(PyObject_GetAttr(parsed, g_state->s_port));
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
        prefixed = steal(b.finish());
        if (!prefixed) {
            return false;
        }
        value = prefixed.get();
    } else if (!PyBytes_CheckExact(value)) {
        prefixed = steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
        if (!prefixed) {
            return false;
        }
        value = prefixed.get();
    }
    self->value = Py_NewRef(value);

    PyObject *argv[2] = {nullptr, value};
    Ref parsed = steal(PyObject_Vectorcall(g_state->parse_url, argv + 1,
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

}  // namespace

bool valid_schema(PyObject *schema)
{
    if (schema == Py_None || PyBytes_GET_SIZE(schema) == 0 || is_http(schema) || is_https(schema)) {
        return true;
    }
    Ref text = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(schema), PyBytes_GET_SIZE(schema), nullptr));
    if (text) {
        Ref message = steal(PyUnicode_FromFormat("Expected http or https schema; got instead %U", text.get()));
        if (message) {
            PyErr_SetObject(g_state->invalid_url, message.get());
        }
    }
    return false;
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

PyObject *finish_url(Builder &b)
{
    Ref bytes = steal(b.finish());
    return bytes ? construct(g_state->url_type, bytes.get()) : nullptr;
}

}  // namespace vel::url
