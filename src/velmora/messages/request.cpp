// Request: construction, the derived properties (URL, path, host, scheme,
// client, identity, session, htmx values), its methods and its table.
#include <Python.h>

#include <cstring>
#include <string>

#include "messages/messages_internal.h"
#include "vel/args.hpp"
#include "vel/module.hpp"

namespace vel::messages {

#define REQ_FIELD(f) static_cast<Py_ssize_t>(offsetof(RequestObject, f))
const Py_ssize_t REQUEST_FIELDS[] = {
    REQ_FIELD(method),   REQ_FIELD(_url),       REQ_FIELD(_path),      REQ_FIELD(_raw_query),
    REQ_FIELD(route_values), REQ_FIELD(scope),  REQ_FIELD(_user),      REQ_FIELD(_di_scope),
    REQ_FIELD(state),    REQ_FIELD(_session),   REQ_FIELD(_base_path), REQ_FIELD(_original_client_ip),
    REQ_FIELD(_host),    REQ_FIELD(_scheme),    REQ_FIELD(_context),   REQ_FIELD(services),
    REQ_FIELD(_is_disconnected),
};
const Py_ssize_t REQUEST_FIELD_COUNT = sizeof REQUEST_FIELDS / sizeof REQUEST_FIELDS[0];

namespace {

inline bool is_set(PyObject *field) { return field != nullptr && field != Py_None; }

inline vel::url::URLObject *as_url(PyObject *url) { return reinterpret_cast<vel::url::URLObject *>(url); }

// A field set to `value` (None allowed), dropping what it held.
inline void store(PyObject **field, PyObject *value) { Py_XSETREF(*field, Py_NewRef(value)); }

PyObject *bad_request(const char *message)
{
    Ref text = steal(PyUnicode_FromString(message));
    Ref exc = text ? steal(PyObject_CallOneArg(g_state->bad_request, text.get())) : Ref();
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    }
    return nullptr;
}

// ---------------------------------------------------------------- path and URL

PyObject *raw_path_of(RequestObject *self)
{
    PyObject *path = self->_path;
    if (path != nullptr && PyBytes_Check(path)) {
        return Py_NewRef(path);
    }
    if (path != nullptr && PyUnicode_Check(path)) {
        return PyUnicode_AsUTF8String(path);
    }
    return Py_NewRef(g_state->b_empty);
}

inline bool url_path_safe(unsigned char c) { return c > 0x20 && c < 0x7F; }

}  // namespace

// The path as it goes into a URL: bytes as the server sent them; a str
// path (RSGI servers pass it decoded) as UTF-8 with the bytes a URL cannot
// hold written as percent-escapes.
PyObject *url_path_of(RequestObject *self)
{
    PyObject *path = self->_path;
    if (path == nullptr || !PyUnicode_Check(path)) {
        return raw_path_of(self);
    }
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(path, &n);
    if (s == nullptr) {
        return nullptr;
    }
    std::string out;
    percent_encode(s, n, url_path_safe, out);
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

namespace {

PyObject *path_of(RequestObject *self)
{
    PyObject *path = self->_path;
    if (path != nullptr && PyUnicode_Check(path)) {
        return Py_NewRef(path);
    }
    if (path != nullptr && PyBytes_Check(path)) {
        // A client's bad byte becomes U+FFFD rather than an error.
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(path), PyBytes_GET_SIZE(path), "replace");
    }
    return Py_NewRef(g_state->str_empty);
}

}  // namespace

PyObject *url_of(RequestObject *self)
{
    if (is_set(self->_url)) {
        return Py_NewRef(self->_url);
    }
    Ref path = steal(url_path_of(self));
    if (!path) {
        return nullptr;
    }
    Ref query;
    PyObject *q = self->_raw_query;
    if (q != nullptr && PyUnicode_Check(q)) {
        query = steal(PyUnicode_AsLatin1String(q));
    } else if (q != nullptr && PyBytes_Check(q)) {
        query = borrow(q);
    }
    if (q != nullptr && PyUnicode_Check(q) && !query) {
        return nullptr;
    }
    Ref value = path;
    if (query && PyBytes_GET_SIZE(query.get()) > 0) {
        Py_ssize_t pn = PyBytes_GET_SIZE(path.get());
        Py_ssize_t qn = PyBytes_GET_SIZE(query.get());
        value = steal(PyBytes_FromStringAndSize(nullptr, pn + 1 + qn));
        if (!value) {
            return nullptr;
        }
        char *out = PyBytes_AS_STRING(value.get());
        std::memcpy(out, PyBytes_AS_STRING(path.get()), static_cast<size_t>(pn));
        out[pn] = '?';
        std::memcpy(out + pn + 1, PyBytes_AS_STRING(query.get()), static_cast<size_t>(qn));
    }
    PyObject *url = g_state->url->url_from_bytes(value.get());
    if (url != nullptr) {
        store(&self->_url, url);
    }
    return url;
}

namespace {

// The URL a value for the `url` setter stands for; None for a falsy value.
PyObject *url_from_value(PyObject *value)
{
    int truth = PyObject_IsTrue(value);
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (PyBytes_CheckExact(value)) {
        return g_state->url->url_from_bytes(value);
    }
    if (PyUnicode_CheckExact(value)) {
        Ref raw = steal(PyUnicode_AsUTF8String(value));
        return raw ? g_state->url->url_from_bytes(raw.get()) : nullptr;
    }
    if (PyObject_TypeCheck(value, g_state->url->url_type)) {
        return Py_NewRef(value);
    }
    PyErr_SetString(PyExc_TypeError, "Invalid value type, expected bytes, str, or URL");
    return nullptr;
}

// ---------------------------------------------------------------- host

// A Host value usable in URLs: no spaces or control characters inside.
bool valid_host_text(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c <= 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// The host text of raw bytes; BadRequest when they are not UTF-8 or hold
// characters no host has.
PyObject *host_text(PyObject *raw)
{
    PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict");
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return nullptr;
        }
        PyErr_Clear();
        return bad_request("Invalid Host header");
    }
    if (!valid_host_text(text)) {
        Py_DECREF(text);
        return bad_request("Invalid Host header");
    }
    return text;
}

}  // namespace

PyObject *request_host(RequestObject *self)
{
    if (is_set(self->_host)) {
        return Py_NewRef(self->_host);
    }
    PyObject *text = nullptr;
    Ref url = borrow(self->_url);
    if (is_set(url.get()) && as_url(url.get())->is_absolute) {
        PyObject *host = as_url(url.get())->host;
        text = is_set(host) ? host_text(host) : Py_NewRef(g_state->str_empty);
    } else {
        Ref value = steal(t_get_first_header(&self->base, g_state->b_host));
        if (!value) {
            // A str value beyond Latin-1 cannot be a host either.
            if (PyErr_ExceptionMatches(PyExc_UnicodeError)) {
                PyErr_Clear();
                return bad_request("Invalid Host header");
            }
            return nullptr;
        }
        if (value.get() == Py_None) {
            return bad_request("Missing Host header");
        }
        text = host_text(value.get());
    }
    if (text != nullptr) {
        store(&self->_host, text);
    }
    return text;
}

int request_set_url(RequestObject *self, PyObject *value)
{
    Ref url = steal(url_from_value(value));
    if (!url) {
        return -1;
    }
    bool absolute = url.get() != Py_None && as_url(url.get())->is_absolute;
    PyObject *path = url.get() != Py_None ? as_url(url.get())->path : Py_None;
    PyObject *query = url.get() != Py_None ? as_url(url.get())->query : Py_None;
    store(&self->_path, path != nullptr ? path : Py_None);
    store(&self->_raw_query, query != nullptr ? query : Py_None);
    store(&self->_url, url.get());
    // Only an absolute URL names the host; a relative one keeps the request's.
    if (absolute) {
        store(&self->_host, Py_None);
        return t_remove_header(&self->base, g_state->b_host);
    }
    return 0;
}

namespace {

// ---------------------------------------------------------------- scope values

// scope.get(key, default) for mappings; for RSGI scope objects (no `get`)
// the attribute `attr` (NULL: none), else `fallback`.
PyObject *scope_value(PyObject *scope, PyObject *key, PyObject *attr, PyObject *fallback)
{
    Ref hold = borrow(scope);
    if (PyDict_CheckExact(scope)) {
        PyObject *found;
        if (compat::dict_get_ref(scope, key, &found) < 0) {
            return nullptr;
        }
        return found != nullptr ? found : Py_NewRef(fallback);
    }
    Ref get;
    if (get_optional_attr(scope, g_state->str_get, get.out()) < 0) {
        return nullptr;
    }
    if (get) {
        PyObject *args[] = {key, fallback};
        return PyObject_Vectorcall(get.get(), args, 2, nullptr);
    }
    Ref value;
    if (attr != nullptr && get_optional_attr(scope, attr, value.out()) < 0) {
        return nullptr;
    }
    return value ? value.release() : Py_NewRef(fallback);
}

}  // namespace

PyObject *request_scheme(RequestObject *self)
{
    if (is_set(self->_scheme)) {
        return Py_NewRef(self->_scheme);
    }
    int truth = is_set(self->scope) ? PyObject_IsTrue(self->scope) : 0;
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(g_state->str_empty);
    }
    return scope_value(self->scope, g_state->str_scheme, g_state->str_scheme, g_state->str_empty);
}

PyObject *request_base_path(RequestObject *self)
{
    if (is_set(self->_base_path)) {
        return Py_NewRef(self->_base_path);
    }
    if (!is_set(self->scope)) {
        return Py_NewRef(g_state->str_empty);
    }
    PyObject *value = scope_value(self->scope, g_state->str_root_path, nullptr, g_state->str_empty);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_NewRef(g_state->str_empty);
    }
    return value;
}

namespace {

// The host part of an RSGI client address "host:port" ("[v6]:port" or a
// bare v6 address with its port after the last colon).
PyObject *client_host_of_text(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 0 && PyUnicode_READ_CHAR(text, 0) == '[') {
        Py_ssize_t close = PyUnicode_FindChar(text, ']', 1, n, 1);
        return close > 0 ? PyUnicode_Substring(text, 1, close) : Py_NewRef(text);
    }
    Py_ssize_t colon = PyUnicode_FindChar(text, ':', 0, n, -1);
    return colon >= 0 ? PyUnicode_Substring(text, 0, colon) : Py_NewRef(text);
}

PyObject *client_ip_impl(RequestObject *self)
{
    if (!is_set(self->scope)) {
        return Py_NewRef(g_state->str_empty);
    }
    Ref fallback = steal(Py_BuildValue("(Oi)", g_state->str_empty, 0));
    Ref client = fallback ? steal(scope_value(self->scope, g_state->str_client, g_state->str_client, fallback.get()))
                          : Ref();
    PyObject *result = nullptr;
    if (client && PyUnicode_Check(client.get())) {
        result = client_host_of_text(client.get());
    } else if (client) {
        Ref pair = steal(PySequence_Tuple(client.get()));
        if (pair && PyTuple_GET_SIZE(pair.get()) == 2) {
            result = Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0));
        }
    }
    if (result == nullptr) {
        // Whatever the scope holds, a missing client is an empty address.
        PyErr_Clear();
        result = Py_NewRef(g_state->str_empty);
    }
    return result;
}

// ---------------------------------------------------------------- properties

PyObject *get_url(PyObject *self, void *) { return url_of(R(self)); }

int set_url(PyObject *self, PyObject *value, void *)
{
    return value == nullptr ? not_deletable() : request_set_url(R(self), value);
}

PyObject *get_path(PyObject *self, void *) { return path_of(R(self)); }
PyObject *get_raw_path(PyObject *self, void *) { return raw_path_of(R(self)); }

PyObject *get_raw_query(PyObject *self, void *)
{
    PyObject *q = R(self)->_raw_query;
    return Py_NewRef(q != nullptr ? q : Py_None);
}

PyObject *get_query(PyObject *self, void *) { return request_query(R(self)); }

int set_query(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return not_deletable();
    }
    RequestObject *r = R(self);
    Ref text = steal(PyObject_CallFunctionObjArgs(g_state->urlencode, value, Py_True, nullptr));
    Ref raw = text ? steal(PyUnicode_AsUTF8String(text.get())) : Ref();
    if (!raw) {
        return -1;
    }
    store(&r->_raw_query, raw.get());
    Ref url = steal(url_of(r));
    Ref changed = url ? steal(g_state->url->methods->with_query(url.get(), raw.get())) : Ref();
    return changed ? request_set_url(r, changed.get()) : -1;
}

PyObject *get_host(PyObject *self, void *) { return request_host(R(self)); }
PyObject *get_scheme(PyObject *self, void *) { return request_scheme(R(self)); }
PyObject *get_base_path(PyObject *self, void *) { return request_base_path(R(self)); }
PyObject *get_client_ip(PyObject *self, void *) { return client_ip_impl(R(self)); }

PyObject *get_original_client_ip(PyObject *self, void *)
{
    RequestObject *r = R(self);
    return is_set(r->_original_client_ip) ? Py_NewRef(r->_original_client_ip) : client_ip_impl(r);
}

// Setters of the str overrides: a str (exact type) or None.
int set_str_field(PyObject **field, PyObject *value)
{
    if (value == nullptr) {
        return not_deletable();
    }
    if (value != Py_None && !PyUnicode_CheckExact(value)) {
        vel::arg_type_error("value", "str", value);
        return -1;
    }
    store(field, value);
    return 0;
}

int set_host(PyObject *self, PyObject *v, void *) { return set_str_field(&R(self)->_host, v); }
int set_scheme(PyObject *self, PyObject *v, void *) { return set_str_field(&R(self)->_scheme, v); }
int set_base_path(PyObject *self, PyObject *v, void *) { return set_str_field(&R(self)->_base_path, v); }
int set_original_client_ip(PyObject *self, PyObject *v, void *)
{
    return set_str_field(&R(self)->_original_client_ip, v);
}

PyObject *get_user(PyObject *self, void *)
{
    RequestObject *r = R(self);
    if (!is_set(r->_user)) {
        PyObject *identity = PyObject_CallNoArgs(g_state->identity);
        if (identity == nullptr) {
            return nullptr;
        }
        Py_XSETREF(r->_user, identity);
    }
    return Py_NewRef(r->_user);
}

int set_user(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return not_deletable();
    }
    store(&R(self)->_user, value);
    return 0;
}

PyObject *get_session(PyObject *self, void *)
{
    RequestObject *r = R(self);
    if (!is_set(r->_session)) {
        PyErr_SetString(PyExc_TypeError, "A session is not configured for this request, activate sessions using "
                                         "`app.use_sessions` method.");
        return nullptr;
    }
    return Py_NewRef(r->_session);
}

int set_session(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return not_deletable();
    }
    store(&R(self)->_session, value);
    return 0;
}

PyObject *get_cookies(PyObject *self, void *) { return request_cookies(R(self)); }

PyObject *first_header(PyObject *self, PyObject *key) { return t_get_first_header(M(self), key); }
PyObject *get_etag(PyObject *self, void *) { return first_header(self, g_state->b_etag); }
PyObject *get_if_none_match(PyObject *self, void *) { return first_header(self, g_state->b_if_none_match); }

PyObject *get_is_htmx(PyObject *self, void *)
{
    int present = has_header_impl(M(self), g_state->b_hx_request);
    return present < 0 ? nullptr : PyBool_FromLong(present);
}

// An htmx header as text: None when absent, bytes as UTF-8 (bad bytes
// replaced), str unchanged, anything else through str().
PyObject *htmx_value(PyObject *self, PyObject *key)
{
    Ref raw;
    if (first_raw_value(M(self), key, &raw) < 0) {
        return nullptr;
    }
    if (!raw || raw.get() == Py_None) {
        Py_RETURN_NONE;
    }
    if (PyBytes_Check(raw.get())) {
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace");
    }
    return PyUnicode_Check(raw.get()) ? raw.release() : PyObject_Str(raw.get());
}

PyObject *get_htmx_target(PyObject *self, void *) { return htmx_value(self, g_state->b_hx_target); }
PyObject *get_htmx_trigger(PyObject *self, void *) { return htmx_value(self, g_state->b_hx_trigger); }
PyObject *get_htmx_current_url(PyObject *self, void *) { return htmx_value(self, g_state->b_hx_current_url); }
PyObject *get_htmx_prompt(PyObject *self, void *) { return htmx_value(self, g_state->b_hx_prompt); }

PyObject *get_htmx_target_id(PyObject *self, void *)
{
    PyObject *target = htmx_value(self, g_state->b_hx_target);
    if (target == nullptr || target == Py_None || !PyUnicode_Check(target)) {
        return target;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(target);
    if (n > 0 && PyUnicode_READ_CHAR(target, 0) == '#') {
        Py_SETREF(target, PyUnicode_Substring(target, 1, n));
    }
    return target;
}

PyTypeObject *url_type() { return g_state->url->url_type; }

const Field F_METHOD = {Field::STR, REQ_FIELD(method), nullptr, nullptr};
const Field F_URL = {Field::TYPED, REQ_FIELD(_url), url_type, "URL"};
const Field F_PATH = {Field::ANY, REQ_FIELD(_path), nullptr, nullptr};
const Field F_RAW_QUERY = {Field::ANY, REQ_FIELD(_raw_query), nullptr, nullptr};
const Field F_ROUTE_VALUES = {Field::ANY, REQ_FIELD(route_values), nullptr, nullptr};
const Field F_SCOPE = {Field::ANY, REQ_FIELD(scope), nullptr, nullptr};
const Field F_USER = {Field::ANY, REQ_FIELD(_user), nullptr, nullptr};
const Field F_DI_SCOPE = {Field::ANY, REQ_FIELD(_di_scope), nullptr, nullptr};
const Field F_STATE = {Field::ANY, REQ_FIELD(state), nullptr, nullptr};
const Field F_SESSION = {Field::ANY, REQ_FIELD(_session), nullptr, nullptr};
const Field F_BASE_PATH = {Field::STR, REQ_FIELD(_base_path), nullptr, nullptr};
const Field F_ORIGINAL_IP = {Field::STR, REQ_FIELD(_original_client_ip), nullptr, nullptr};
const Field F_HOST = {Field::STR, REQ_FIELD(_host), nullptr, nullptr};
const Field F_SCHEME = {Field::STR, REQ_FIELD(_scheme), nullptr, nullptr};
const Field F_CONTEXT = {Field::ANY, REQ_FIELD(_context), nullptr, nullptr};
const Field F_SERVICES = {Field::ANY, REQ_FIELD(services), nullptr, nullptr};
const Field F_DISCONNECTED = {Field::ANY, REQ_FIELD(_is_disconnected), nullptr, nullptr};

#define FIELD_DEF(name, f) {name, field_get, field_set, nullptr, const_cast<Field *>(&f)}
#define PROP(name, get, set, doc) {name, get, set, doc, nullptr}

}  // namespace

PyGetSetDef REQUEST_GETSET[] = {
    FIELD_DEF("method", F_METHOD),
    FIELD_DEF("_url", F_URL),
    FIELD_DEF("_path", F_PATH),
    FIELD_DEF("_raw_query", F_RAW_QUERY),
    FIELD_DEF("route_values", F_ROUTE_VALUES),
    FIELD_DEF("scope", F_SCOPE),
    FIELD_DEF("_user", F_USER),
    FIELD_DEF("_di_scope", F_DI_SCOPE),
    FIELD_DEF("state", F_STATE),
    FIELD_DEF("_session", F_SESSION),
    FIELD_DEF("_base_path", F_BASE_PATH),
    FIELD_DEF("_original_client_ip", F_ORIGINAL_IP),
    FIELD_DEF("_host", F_HOST),
    FIELD_DEF("_scheme", F_SCHEME),
    FIELD_DEF("_context", F_CONTEXT),
    FIELD_DEF("services", F_SERVICES),
    FIELD_DEF("_is_disconnected", F_DISCONNECTED),
    PROP("url", get_url, set_url, "The request URL, built from the raw path and query on first use."),
    PROP("path", get_path, nullptr, "The path as str."),
    PROP("raw_path", get_raw_path, nullptr, "The path as bytes."),
    PROP("raw_query", get_raw_query, nullptr, "The raw query string without \"?\"."),
    PROP("query", get_query, set_query, "The query as a new dict of lists on every read."),
    PROP("host", get_host, set_host, "The host: the absolute URL's, else the Host header's."),
    PROP("scheme", get_scheme, set_scheme, "The scheme: the override, else the server's."),
    PROP("base_path", get_base_path, set_base_path, "The root path the application is mounted at."),
    PROP("client_ip", get_client_ip, nullptr, "The client's address as the server reports it."),
    PROP("original_client_ip", get_original_client_ip, set_original_client_ip,
         "The client's address as set by a proxy layer, else client_ip."),
    PROP("user", get_user, set_user, "The identity of the request (an empty Identity until set)."),
    PROP("identity", get_user, set_user, "The same as user."),
    PROP("session", get_session, set_session, "The session; TypeError when sessions are not configured."),
    PROP("cookies", get_cookies, nullptr, "The request cookies as a new dict on every read."),
    PROP("etag", get_etag, nullptr, "The first ETag header (bytes or None)."),
    PROP("if_none_match", get_if_none_match, nullptr, "The first If-None-Match header (bytes or None)."),
    PROP("is_htmx", get_is_htmx, nullptr, "Whether the HX-Request header is present."),
    PROP("htmx_target", get_htmx_target, nullptr, "The HX-Target header as str, or None."),
    PROP("htmx_trigger", get_htmx_trigger, nullptr, "The HX-Trigger header as str, or None."),
    PROP("htmx_current_url", get_htmx_current_url, nullptr, "The HX-Current-URL header as str, or None."),
    PROP("htmx_prompt", get_htmx_prompt, nullptr, "The HX-Prompt header as str, or None."),
    PROP("htmx_target_id", get_htmx_target_id, nullptr, "htmx_target without a leading \"#\"."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};


}  // namespace vel::messages
