// `velmora.url`: the immutable URL value over a bytes string, parsed once by
// httptools.parse_url, and the helpers that build absolute URLs and prefix
// paths for the request objects.  This file holds the type, its operations
// and the module; construction is in url_parse.cpp.
#include <Python.h>
#include <structmember.h>

#include <cstddef>

#include "url/url_internal.h"
#include "vel/args.hpp"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace vel::url {

State *g_state = nullptr;

namespace {

const char *const slot_names[SLOT_COUNT] = {"join", "base_url", "with_host", "with_scheme", "with_query"};

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
    if (!vel::parse_fastcall(url_sig, args, nargs, kwnames, &value)) {
        return nullptr;
    }
    if (!PyBytes_CheckExact(value) && !check_value_arg(value)) {
        return nullptr;
    }
    return construct(reinterpret_cast<PyTypeObject *>(type), value);
}

// URL holds only bytes and None, which cannot form cycles: no GC.
using UrlFields = vel::Fields<&URLObject::value, &URLObject::schema, &URLObject::host, &URLObject::path,
                              &URLObject::query, &URLObject::fragment>;

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

PyObject *join_impl(PyObject *self, PyObject *other);

template <int S>
vel::OverrideSlot &slot()
{
    return g_state->slots[S];
}

// url + other joins through the table, so that a subclass's join() applies.
constexpr auto slot_join = vel::overridable<slot<SLOT_JOIN>, join_impl>;

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

const UrlMethods url_methods_table = {
    slot_join,
    vel::overridable<slot<SLOT_BASE_URL>, base_url_impl>,
    vel::overridable<slot<SLOT_WITH_HOST>, with_host_impl>,
    vel::overridable<slot<SLOT_WITH_SCHEME>, with_scheme_impl>,
    vel::overridable<slot<SLOT_WITH_QUERY>, with_query_impl>,
};

// ---------------------------------------------------------------- Python methods

constexpr const char *kOther[] = {"other"};
constexpr const char *kHost[] = {"host"};
constexpr const char *kQuery[] = {"query"};
constexpr const char *kSchema[] = {"schema"};
constexpr vel::Signature kJoin{"join", kOther, 1, 1};
constexpr vel::Signature kWithHost{"with_host", kHost, 1, 1};
constexpr vel::Signature kWithQuery{"with_query", kQuery, 1, 1};
constexpr vel::Signature kWithScheme{"with_scheme", kSchema, 1, 1};
constexpr int FASTCALL_KW = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef url_methods[] = {
    {"join", VEL_METH((vel::fastcall_method<join_impl, kJoin>)), FASTCALL_KW, "join($self, other)\n--\n\nThis URL followed by the relative URL other."},
    {"base_url", vel::noargs_method<base_url_impl>, METH_NOARGS, "base_url($self, /)\n--\n\nScheme, host and a non-default port only."},
    {"with_host", VEL_METH((vel::fastcall_method<with_host_impl, kWithHost>)), FASTCALL_KW, "with_host($self, host)\n--\n\nThis URL with another host."},
    {"with_scheme", VEL_METH((vel::fastcall_method<with_scheme_impl, kWithScheme>)), FASTCALL_KW,
     "with_scheme($self, schema)\n--\n\nThis URL with scheme http or https."},
    {"with_query", VEL_METH((vel::fastcall_method<with_query_impl, kWithQuery>)), FASTCALL_KW,
     "with_query($self, query)\n--\n\nThis URL with another query; an empty one drops it."},
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
    {Py_tp_dealloc, reinterpret_cast<void *>(UrlFields::plain_dealloc)},
    {Py_tp_str, reinterpret_cast<void *>(url_str)},
    {Py_tp_repr, reinterpret_cast<void *>(url_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(url_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void *>(url_add)},
    {Py_tp_methods, url_methods},
    {Py_tp_members, url_members},
    {0, nullptr},
};

PyType_Spec url_spec = {"velmora.url.URL", sizeof(URLObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                        url_slots};

// ---------------------------------------------------------------- InvalidURL

const char *const message_names[] = {"message"};
const vel::Signature invalid_url_sig = {"InvalidURL", message_names, 1, 1};

int invalid_url_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *message;
    return vel::parse_tuple_dict(invalid_url_sig, args, kwargs, &message) ? vel::init_exception(self, message) : -1;
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

constexpr const char *kBuildNames[] = {"scheme", "host", "base_path", "path"};
constexpr vel::Signature kBuild{"build_absolute_url", kBuildNames, 4, 4};
constexpr const char *kPrefixNames[] = {"prefix", "path"};
constexpr vel::Signature kPrefix{"join_prefix", kPrefixNames, 2, 2};

PyMethodDef module_methods[] = {
    {"build_absolute_url", VEL_METH((vel::fastcall_function<build_absolute_url, kBuild>)), FASTCALL_KW,
     "build_absolute_url(scheme, host, base_path, path)\n--\n\nscheme://host/base_path/path as a URL."},
    {"join_prefix", VEL_METH((vel::fastcall_function<join_prefix, kPrefix>)), FASTCALL_KW,
     "join_prefix(prefix, path)\n--\n\nThe path under the prefix, with one slash between."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

CAPI capi_table = {
    vel::capi_header<CAPI>(CAPI_VERSION), nullptr, nullptr, &url_methods_table,
    join_prefix, build_absolute_url, url_from_bytes,
};

int url_exec(PyObject *module)
{
    State *st = vel::init_state<State>(module, &g_state);
    if (st == nullptr) {
        return -1;
    }
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
    return vel::publish_capi(module, CAPI_NAME, &capi_table.header);
}

PyModuleDef_Slot url_module_slots[] = {VEL_MODULE_SLOTS(url_exec)};

PyModuleDef url_module = vel::module_def<State, &g_state>(
    "velmora.url", "The immutable URL value, InvalidURL, build_absolute_url and join_prefix.", module_methods,
    url_module_slots);

}  // namespace
}  // namespace vel::url

PyMODINIT_FUNC PyInit_url(void) { return PyModuleDef_Init(&vel::url::url_module); }
