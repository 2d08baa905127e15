// The module functions: request helpers (CORS tests, absolute URLs, bytes
// conversion), parse_charset and the Python side of the pools' entry
// points (pools.cpp); each one a native entry point and a Python function.
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

// ---------------------------------------------------------------- Python functions

namespace {

RequestObject *request_arg(PyObject *arg)
{
    return vel::check_arg(arg, g_state->Request_Type, "request", false) ? R(arg) : nullptr;
}

int py_is_cors_request(PyObject *request)
{
    RequestObject *r = request_arg(request);
    return r != nullptr ? is_cors_request(r) : -1;
}

int py_is_cors_preflight_request(PyObject *request)
{
    RequestObject *r = request_arg(request);
    return r != nullptr ? is_cors_preflight_request(r) : -1;
}

PyObject *py_get_request_absolute_url(PyObject *request)
{
    RequestObject *r = request_arg(request);
    return r != nullptr ? get_request_absolute_url(r) : nullptr;
}

PyObject *py_get_absolute_url_to_path(PyObject *request, PyObject *path)
{
    RequestObject *r = request_arg(request);
    return r != nullptr ? get_absolute_url_to_path(r, path) : nullptr;
}

PyObject *py_acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                             PyObject *scope)
{
    return O(acquire_request(method, path, raw_query, headers, scope));
}

PyObject *py_acquire_response(PyObject *status, PyObject *headers, PyObject *content)
{
    AcquireResponseArgs optional{3, 200, headers != nullptr ? headers : Py_None,
                                 content != nullptr ? content : Py_None};
    if (status != nullptr && !response_status(status, &optional.status)) {
        return nullptr;
    }
    return O(acquire_response(&optional));
}

PyObject *py_release_request(PyObject *request)
{
    if (request != Py_None && !vel::check_arg(request, g_state->Request_Type, "request", false)) {
        return nullptr;
    }
    release_request(request == Py_None ? nullptr : R(request));
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

PyObject *py_release_response(PyObject *response)
{
    if (response != Py_None && !vel::check_arg(response, g_state->Response_Type, "response", false)) {
        return nullptr;
    }
    release_response(response == Py_None ? nullptr : RS(response));
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

constexpr const char *kValue[] = {"value"};
constexpr const char *kMethod[] = {"method"};
constexpr const char *kRequest[] = {"request"};
constexpr const char *kRequestPath[] = {"request", "path"};
constexpr const char *kResponse[] = {"response"};
constexpr const char *kAcquireRequest[] = {"method", "path", "raw_query", "headers", "scope"};
constexpr const char *kAcquireResponse[] = {"status", "headers", "content"};
constexpr vel::Signature kEnsureBytes{"ensure_bytes", kValue, 1, 1};
constexpr vel::Signature kWithoutBody{"method_without_body", kMethod, 1, 1};
constexpr vel::Signature kIsCors{"is_cors_request", kRequest, 1, 1};
constexpr vel::Signature kIsPreflight{"is_cors_preflight_request", kRequest, 1, 1};
constexpr vel::Signature kAbsoluteUrl{"get_request_absolute_url", kRequest, 1, 1};
constexpr vel::Signature kUrlToPath{"get_absolute_url_to_path", kRequestPath, 2, 2};
constexpr vel::Signature kParseCharset{"parse_charset", kValue, 1, 1};
constexpr vel::Signature kAcquireReq{"acquire_request", kAcquireRequest, 5, 5};
constexpr vel::Signature kAcquireResp{"acquire_response", kAcquireResponse, 3, 0};
constexpr vel::Signature kReleaseReq{"release_request", kRequest, 1, 1};
constexpr vel::Signature kReleaseResp{"release_response", kResponse, 1, 1};

#define FUNCTION(impl, sig, ...) \
    VEL_METH((vel::fastcall_function<impl, sig, ##__VA_ARGS__>)), METH_FASTCALL | METH_KEYWORDS

}  // namespace

PyMethodDef MODULE_FUNCTIONS[] = {
    {"ensure_bytes", FUNCTION(ensure_bytes, kEnsureBytes),
     "ensure_bytes(value)\n--\n\nstr as UTF-8 bytes, bytes unchanged; ValueError for anything else."},
    {"method_without_body", FUNCTION(method_without_body, kWithoutBody, vel::bool_result),
     "method_without_body(method)\n--\n\nWhether the method is GET, HEAD or TRACE."},
    {"is_cors_request", FUNCTION(py_is_cors_request, kIsCors, vel::bool_result),
     "is_cors_request(request)\n--\n\nWhether the request has an Origin header."},
    {"is_cors_preflight_request", FUNCTION(py_is_cors_preflight_request, kIsPreflight, vel::bool_result),
     "is_cors_preflight_request(request)\n--\n\nWhether the request is an OPTIONS request with Origin and "
     "Access-Control-Request-Method headers."},
    {"get_request_absolute_url", FUNCTION(py_get_request_absolute_url, kAbsoluteUrl),
     "get_request_absolute_url(request)\n--\n\nThe request's absolute URL, without its query."},
    {"get_absolute_url_to_path", FUNCTION(py_get_absolute_url_to_path, kUrlToPath),
     "get_absolute_url_to_path(request, path)\n--\n\nAn absolute URL to `path` on the request's host."},
    {"parse_charset", FUNCTION(parse_charset, kParseCharset),
     "parse_charset(value)\n--\n\nThe charset parameter of a bytes content type, or None."},
    {"acquire_request", FUNCTION(py_acquire_request, kAcquireReq),
     "acquire_request(method, path, raw_query, headers, scope)\n--\n\nA request from the pool."},
    {"acquire_response", FUNCTION(py_acquire_response, kAcquireResp),
     "acquire_response(status=200, headers=None, content=None)\n--\n\nA response from the pool."},
    {"release_request", FUNCTION(py_release_request, kReleaseReq),
     "release_request(request)\n--\n\nResets the request and returns it to the pool."},
    {"release_response", FUNCTION(py_release_response, kReleaseResp),
     "release_response(response)\n--\n\nResets the response and returns it to the pool."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::messages
