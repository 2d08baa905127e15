// The module functions: request helpers (CORS tests, absolute URLs, bytes
// conversion), the pools' entry points, parse_charset; each one a native
// entry point and a Python function.
#include <Python.h>

#include "messages/messages_internal.h"
#include "vel/args.hpp"

namespace vel::messages {

PyObject *ensure_bytes(PyObject *value)
{
    if (PyBytes_CheckExact(value)) {
        return Py_NewRef(value);
    }
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_AsUTF8String(value);
    }
    if (PyBytes_Check(value) || PyUnicode_Check(value)) {
        vel::arg_type_error("value", PyBytes_Check(value) ? "bytes" : "str", value);
        return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "Input value must be bytes or str");
    return nullptr;
}

int method_without_body(PyObject *method)
{
    State *st = g_state;
    if (method == st->method_get || method == st->method_head || method == st->method_trace) {
        return 1;
    }
    if (!PyUnicode_Check(method)) {
        return 0;
    }
    return PyUnicode_Compare(method, st->method_get) == 0 || PyUnicode_Compare(method, st->method_head) == 0 ||
           PyUnicode_Compare(method, st->method_trace) == 0;
}

namespace {

// The truth of the request's first header `key` (through the table, so a
// subclass's get_first_header is used).
int first_header_truth(RequestObject *request, PyObject *key)
{
    Ref value = steal(t_get_first_header(&request->base, key));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// A property of the request: the native getter for the module's own class,
// attribute access (honouring overrides) for subclasses.
PyObject *request_attr(RequestObject *request, PyObject *(*native)(RequestObject *), const char *name)
{
    if (Py_IS_TYPE(O(request), g_state->Request_Type)) {
        return native(request);
    }
    return PyObject_GetAttrString(O(request), name);
}

PyObject *bytes_attr(RequestObject *request, PyObject *(*native)(RequestObject *), const char *name)
{
    Ref value = steal(request_attr(request, native, name));
    return value ? ensure_bytes(value.get()) : nullptr;
}

// build_absolute_url(scheme, host, base_path, path) from the request.
PyObject *absolute_url(RequestObject *request, PyObject *path)
{
    Ref scheme = steal(bytes_attr(request, request_scheme, "scheme"));
    Ref host = scheme ? steal(bytes_attr(request, request_host, "host")) : Ref();
    Ref base = host ? steal(bytes_attr(request, request_base_path, "base_path")) : Ref();
    return base ? g_state->url->build_absolute_url(scheme.get(), host.get(), base.get(), path) : nullptr;
}

}  // namespace

int is_cors_request(RequestObject *request) { return first_header_truth(request, g_state->b_origin); }

int is_cors_preflight_request(RequestObject *request)
{
    PyObject *method = request->method;
    int options = method == g_state->method_options ||
                  (method != nullptr && PyUnicode_Check(method) &&
                   PyUnicode_Compare(method, g_state->method_options) == 0);
    if (!options) {
        return 0;
    }
    int cors = is_cors_request(request);
    return cors <= 0 ? cors : first_header_truth(request, g_state->b_acr_method);
}

// The path as bytes is used, so that requests holding a str path (RSGI)
// work too.
PyObject *get_request_absolute_url(RequestObject *request)
{
    Ref url = steal(request_attr(request, request_url, "url"));
    if (!url) {
        return nullptr;
    }
    if (PyObject_TypeCheck(url.get(), g_state->url->url_type) &&
        reinterpret_cast<vel::url::URLObject *>(url.get())->is_absolute) {
        return url.release();
    }
    Ref raw = steal(url_path_of(request));
    return raw ? absolute_url(request, raw.get()) : nullptr;
}

PyObject *get_absolute_url_to_path(RequestObject *request, PyObject *path)
{
    Ref raw = steal(ensure_bytes(path));
    return raw ? absolute_url(request, raw.get()) : nullptr;
}

// ---------------------------------------------------------------- pools

// The last idle object of a pool, or NULL when it is empty.
PyObject *pool_pop(PyObject *pool)
{
    Py_ssize_t n = PyList_GET_SIZE(pool);
    if (n == 0) {
        return nullptr;
    }
    PyObject *item = Py_NewRef(PyList_GET_ITEM(pool, n - 1));
    if (PyList_SetSlice(pool, n - 1, n, nullptr) < 0) {
        Py_DECREF(item);
        PyErr_Clear();
        return nullptr;
    }
    return item;
}

RequestObject *acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                               PyObject *scope)
{
    if (!vel::check_arg(method, &PyUnicode_Type, "method", false) ||
        !vel::check_arg_exact(headers, &PyList_Type, "headers")) {
        return nullptr;
    }
    Ref interned = steal(intern_method_str(method));
    Ref raw = interned && headers != Py_None ? steal(copy_header_list(headers)) : borrow(Py_None);
    if (!interned || !raw) {
        return nullptr;
    }
    PyObject *obj = pool_pop(g_state->req_freelist);
    if (obj == nullptr && (obj = request_alloc_bare()) == nullptr) {
        return nullptr;
    }
    RequestObject *r = R(obj);
    Py_XSETREF(r->method, interned.release());
    Py_XSETREF(r->_path, Py_NewRef(path));
    Py_XSETREF(r->_raw_query, Py_NewRef(raw_query));
    Py_XSETREF(r->base._raw_headers, raw.release());
    Py_XSETREF(r->scope, Py_NewRef(scope));
    Py_XSETREF(r->base.scope_protocol, Py_NewRef(Py_None));
    Py_XSETREF(r->base.content, Py_NewRef(Py_None));
    Py_XSETREF(r->_url, Py_NewRef(Py_None));
    Py_XSETREF(r->route_values, Py_NewRef(Py_None));
    return r;
}

ResponseObject *acquire_response(const AcquireResponseArgs *optional)
{
    int given = optional != nullptr ? optional->n_given : 0;
    int32_t status = given > 0 ? optional->status : 200;
    PyObject *headers = given > 1 ? optional->headers : Py_None;
    PyObject *content = given > 2 ? optional->content : Py_None;
    if (!vel::check_arg_exact(headers, &PyList_Type, "headers") ||
        !vel::check_arg(content, g_state->contents->Content_Type, "content")) {
        return nullptr;
    }
    PyObject *obj = pool_pop(g_state->resp_freelist);
    if (obj == nullptr) {
        return response_create(status, headers, content);
    }
    PyObject *raw = headers != Py_None ? Py_NewRef(headers) : PyList_New(0);
    if (raw == nullptr) {
        Py_DECREF(obj);
        return nullptr;
    }
    ResponseObject *resp = RS(obj);
    resp->status = status;
    Py_XSETREF(resp->base._raw_headers, raw);
    Py_XSETREF(resp->base.content, Py_NewRef(content));
    return resp;
}

void release_request(RequestObject *) { not_implemented("release_request"); }
void release_response(ResponseObject *) { not_implemented("release_response"); }

// ---------------------------------------------------------------- Python functions

namespace {

const char *const REQUEST_ARG[] = {"request"};
const char *const REQUEST_PATH_ARGS[] = {"request", "path"};
const char *const VALUE_ARG[] = {"value"};
const char *const METHOD_ARG[] = {"method"};

RequestObject *request_arg(PyObject *arg)
{
    return arg != nullptr && vel::check_arg(arg, g_state->Request_Type, "request", false)
               ? reinterpret_cast<RequestObject *>(arg)
               : nullptr;
}

inline PyObject *bool_or_null(int rc) { return rc < 0 ? nullptr : PyBool_FromLong(rc); }

PyObject *py_ensure_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *value = one_arg("ensure_bytes", VALUE_ARG, args, nargs, kwnames);
    return value != nullptr ? ensure_bytes(value) : nullptr;
}

PyObject *py_method_without_body(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *method = one_arg("method_without_body", METHOD_ARG, args, nargs, kwnames);
    return method != nullptr ? bool_or_null(method_without_body(method)) : nullptr;
}

PyObject *py_is_cors_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    RequestObject *r = request_arg(one_arg("is_cors_request", REQUEST_ARG, args, nargs, kwnames));
    return r != nullptr ? bool_or_null(is_cors_request(r)) : nullptr;
}

PyObject *py_is_cors_preflight_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    RequestObject *r = request_arg(one_arg("is_cors_preflight_request", REQUEST_ARG, args, nargs, kwnames));
    return r != nullptr ? bool_or_null(is_cors_preflight_request(r)) : nullptr;
}

PyObject *py_get_request_absolute_url(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    RequestObject *r = request_arg(one_arg("get_request_absolute_url", REQUEST_ARG, args, nargs, kwnames));
    return r != nullptr ? get_request_absolute_url(r) : nullptr;
}

PyObject *py_get_absolute_url_to_path(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[2];
    vel::Signature sig{"get_absolute_url_to_path", REQUEST_PATH_ARGS, 2, 2};
    if (!vel::parse_fastcall(sig, args, nargs, kwnames, a)) {
        return nullptr;
    }
    RequestObject *r = request_arg(a[0]);
    return r != nullptr ? get_absolute_url_to_path(r, a[1]) : nullptr;
}

PyObject *py_parse_charset(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *value = one_arg("parse_charset", VALUE_ARG, args, nargs, kwnames);
    return value != nullptr ? parse_charset(value) : nullptr;
}

PyObject *py_acquire_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"method", "path", "raw_query", "headers", "scope"};
    vel::Signature sig{"acquire_request", names, 5, 5};
    PyObject *a[5];
    if (!vel::parse_fastcall(sig, args, nargs, kwnames, a)) {
        return nullptr;
    }
    return O(acquire_request(a[0], a[1], a[2], a[3], a[4]));
}

PyObject *py_acquire_response(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"status", "headers", "content"};
    vel::Signature sig{"acquire_response", names, 3, 0};
    PyObject *a[3];
    if (!vel::parse_fastcall(sig, args, nargs, kwnames, a)) {
        return nullptr;
    }
    AcquireResponseArgs optional{3, 200, a[1] ? a[1] : Py_None, a[2] ? a[2] : Py_None};
    if (a[0] != nullptr && !response_status(a[0], &optional.status)) {
        return nullptr;
    }
    return O(acquire_response(&optional));
}

PyObject *py_release_request(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    return not_implemented("release_request");
}

PyObject *py_release_response(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    return not_implemented("release_response");
}

}  // namespace

PyMethodDef MODULE_FUNCTIONS[] = {
    {"ensure_bytes", VEL_FASTCALL_KW(py_ensure_bytes),
     "ensure_bytes(value, /)\n--\n\nstr as UTF-8 bytes, bytes unchanged; ValueError for anything else."},
    {"method_without_body", VEL_FASTCALL_KW(py_method_without_body),
     "method_without_body(method, /)\n--\n\nWhether the method is GET, HEAD or TRACE."},
    {"is_cors_request", VEL_FASTCALL_KW(py_is_cors_request),
     "is_cors_request(request, /)\n--\n\nWhether the request has an Origin header."},
    {"is_cors_preflight_request", VEL_FASTCALL_KW(py_is_cors_preflight_request),
     "is_cors_preflight_request(request, /)\n--\n\nWhether the request is an OPTIONS request with Origin and "
     "Access-Control-Request-Method headers."},
    {"get_request_absolute_url", VEL_FASTCALL_KW(py_get_request_absolute_url),
     "get_request_absolute_url(request, /)\n--\n\nThe request's absolute URL, without its query."},
    {"get_absolute_url_to_path", VEL_FASTCALL_KW(py_get_absolute_url_to_path),
     "get_absolute_url_to_path(request, path, /)\n--\n\nAn absolute URL to `path` on the request's host."},
    {"parse_charset", VEL_FASTCALL_KW(py_parse_charset),
     "parse_charset(value, /)\n--\n\nThe charset parameter of a bytes content type, or None."},
    {"acquire_request", VEL_FASTCALL_KW(py_acquire_request),
     "acquire_request(method, path, raw_query, headers, scope, /)\n--\n\nA request from the pool."},
    {"acquire_response", VEL_FASTCALL_KW(py_acquire_response),
     "acquire_response(status=200, headers=None, content=None)\n--\n\nA response from the pool."},
    {"release_request", VEL_FASTCALL_KW(py_release_request),
     "release_request(request, /)\n--\n\nResets the request and returns it to the pool."},
    {"release_response", VEL_FASTCALL_KW(py_release_response),
     "release_response(response, /)\n--\n\nResets the response and returns it to the pool."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::messages
