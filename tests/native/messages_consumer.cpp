// `velmora._messages_consumer`: a module built against messages_api.h the
// way keystone and scribe are.  It binds the interface with bind() while it
// is imported and exposes the published layouts, every slot of the three
// tables (`message_<slot>`, `request_<slot>`, `response_<slot>`) and the
// entry points to the test suite.
#include <Python.h>

#include <cstring>

#include "consumer.hpp"
#include "messages/messages_api.h"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::messages::AcquireResponseArgs;
using vel::messages::CAPI;
using vel::messages::MessageMethods;
using vel::messages::MessageObject;
using vel::messages::RequestMethods;
using vel::messages::RequestObject;
using vel::messages::ResponseMethods;
using vel::messages::ResponseObject;

const CAPI *g_api = nullptr;

const CAPI *api() { return g_api; }
const MessageMethods *message_methods() { return g_api->message_methods; }
const MessageMethods *request_message_methods() { return &g_api->request_methods->message; }
const MessageMethods *response_message_methods() { return &g_api->response_methods->message; }
const RequestMethods *request_methods() { return g_api->request_methods; }
const ResponseMethods *response_methods() { return g_api->response_methods; }

}  // namespace

template <>
PyTypeObject *consumer::type_of<MessageObject>()
{
    return g_api->Message_Type;
}

template <>
PyTypeObject *consumer::type_of<RequestObject>()
{
    return g_api->Request_Type;
}

template <>
PyTypeObject *consumer::type_of<ResponseObject>()
{
    return g_api->Response_Type;
}

namespace {

int put(PyObject *dict, const char *key, PyObject *value)
{
    if (value == nullptr) {
        return -1;
    }
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc;
}

inline PyObject *field(PyObject *v) { return Py_NewRef(v != nullptr ? v : Py_None); }

// layout(obj) -> dict of the published fields of a Message, Request or
// Response, read straight from the layout.
PyObject *layout(PyObject *, PyObject *obj)
{
    if (!vel::check_arg(obj, g_api->Message_Type, "obj", false)) {
        return nullptr;
    }
    vel::Ref d = vel::steal(PyDict_New());
    if (!d) {
        return nullptr;
    }
    auto *m = reinterpret_cast<MessageObject *>(obj);
    PyObject *out = d.get();
    int rc = put(out, "_raw_headers", field(m->_raw_headers)) | put(out, "_headers", field(m->_headers)) |
             put(out, "content", field(m->content)) | put(out, "scope_protocol", field(m->scope_protocol)) |
             put(out, "_form_data", field(m->_form_data)) | put(out, "context", field(m->context));
    if (PyObject_TypeCheck(obj, g_api->Request_Type)) {
        auto *r = reinterpret_cast<RequestObject *>(obj);
        rc |= put(out, "method", field(r->method)) | put(out, "_url", field(r->_url)) |
              put(out, "_path", field(r->_path)) | put(out, "_raw_query", field(r->_raw_query)) |
              put(out, "route_values", field(r->route_values)) | put(out, "scope", field(r->scope)) |
              put(out, "_user", field(r->_user)) | put(out, "_di_scope", field(r->_di_scope)) |
              put(out, "state", field(r->state)) | put(out, "_session", field(r->_session)) |
              put(out, "_base_path", field(r->_base_path)) |
              put(out, "_original_client_ip", field(r->_original_client_ip)) | put(out, "_host", field(r->_host)) |
              put(out, "_scheme", field(r->_scheme)) | put(out, "_context", field(r->_context)) |
              put(out, "services", field(r->services)) | put(out, "_is_disconnected", field(r->_is_disconnected)) |
              put(out, "arena_capacity", PyLong_FromSize_t(r->_arena.capacity)) |
              put(out, "arena_offset", PyLong_FromSize_t(r->_arena.offset)) |
              put(out, "_arena_initialized", PyLong_FromLong(r->_arena_initialized));
    } else if (PyObject_TypeCheck(obj, g_api->Response_Type)) {
        auto *r = reinterpret_cast<ResponseObject *>(obj);
        rc |= put(out, "status", PyLong_FromLong(r->status)) | put(out, "state", field(r->state)) |
              put(out, "_context", field(r->_context));
    }
    return rc != 0 ? nullptr : d.release();
}

// alloc_scratchpad(request, size, alignment) -> the address (the memory is
// written to once), or None.
PyObject *alloc_scratchpad(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("alloc_scratchpad", nargs, 3, 3) ||
        !vel::check_arg(args[0], g_api->Request_Type, "request", false)) {
        return nullptr;
    }
    size_t size = PyLong_AsSize_t(args[1]);
    size_t alignment = size == static_cast<size_t>(-1) ? 0 : PyLong_AsSize_t(args[2]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    void *p = g_api->request_methods->alloc_scratchpad(reinterpret_cast<RequestObject *>(args[0]), size, alignment);
    if (p == nullptr) {
        Py_RETURN_NONE;
    }
    std::memset(p, 0xAB, size);
    return PyLong_FromVoidPtr(p);
}

// acquire_response(*given): the optional-arguments record with as many
// fields as arguments are given (none: a NULL record).
PyObject *acquire_response(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("acquire_response", nargs, 0, 3)) {
        return nullptr;
    }
    AcquireResponseArgs optional{static_cast<int>(nargs), 200, nullptr, nullptr};
    if (nargs > 0) {
        optional.status = static_cast<int32_t>(PyLong_AsLong(args[0]));
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    optional.headers = nargs > 1 ? args[1] : nullptr;
    optional.content = nargs > 2 ? args[2] : nullptr;
    return reinterpret_cast<PyObject *>(g_api->acquire_response(nargs == 0 ? nullptr : &optional));
}

// release_request / release_response with None as a NULL object.
template <class T, void (*CAPI::*Release)(T *)>
PyObject *release(PyObject *, PyObject *arg)
{
    if (arg != Py_None && !vel::check_arg(arg, consumer::type_of<T>(), "obj", false)) {
        return nullptr;
    }
    (g_api->*Release)(arg == Py_None ? nullptr : reinterpret_cast<T *>(arg));
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

// Whether the Message part of the Request and Response tables is the
// Message table itself, slot for slot.
PyObject *tables_share_message_slots(PyObject *, PyObject *)
{
    return PyBool_FromLong(
        std::memcmp(request_message_methods(), message_methods(), sizeof(MessageMethods)) == 0 &&
        std::memcmp(response_message_methods(), message_methods(), sizeof(MessageMethods)) == 0);
}

PyObject *bound_types(PyObject *, PyObject *)
{
    return PyTuple_Pack(3, g_api->Message_Type, g_api->Request_Type, g_api->Response_Type);
}

// One request/response exchange the way the writers run it, through the
// table only: acquire both, read and write headers, take scratch memory,
// release both.  0, or -1 with an exception set.
int one_exchange(PyObject *method, PyObject *path, PyObject *query, PyObject *name)
{
    vel::Ref host = vel::steal(Py_BuildValue("[(yy)]", "host", "example.org"));
    vel::Ref r = host ? vel::steal(reinterpret_cast<PyObject *>(g_api->acquire_request(method, path, query,
                                                                                        host.get(), Py_None)))
                      : vel::Ref();
    if (!r) {
        return -1;
    }
    auto *req = reinterpret_cast<RequestObject *>(r.get());
    const RequestMethods &rt = *g_api->request_methods;
    vel::Ref value = vel::steal(rt.get_query_param(req, name, Py_None));
    if (!value || rt.message.add_header(&req->base, name, value.get()) < 0) {
        return -1;
    }
    void *scratch = rt.alloc_scratchpad(req, 256, 32);
    if (scratch == nullptr || reinterpret_cast<uintptr_t>(scratch) % 32 != 0) {
        PyErr_SetString(PyExc_AssertionError, "scratchpad allocation");
        return -1;
    }
    std::memset(scratch, 0, 256);
    AcquireResponseArgs args{1, 201, nullptr, nullptr};
    vel::Ref resp = vel::steal(reinterpret_cast<PyObject *>(g_api->acquire_response(&args)));
    auto *res = reinterpret_cast<ResponseObject *>(resp.get());
    if (!resp || g_api->response_methods->message.set_header(&res->base, name, value.get()) < 0) {
        return -1;
    }
    g_api->release_request(req);
    if (!PyErr_Occurred()) {
        g_api->release_response(res);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// exchange_cycles(n): n exchanges; returns n.
PyObject *exchange_cycles(PyObject *, PyObject *arg)
{
    long n = PyLong_AsLong(arg);
    vel::Ref method = vel::steal(PyUnicode_FromString("GET"));
    vel::Ref path = vel::steal(PyBytes_FromString("/items"));
    vel::Ref query = vel::steal(PyBytes_FromString("q=1&page=2"));
    vel::Ref name = vel::steal(PyUnicode_FromString("page"));
    if (PyErr_Occurred() || !method || !path || !query || !name) {
        return nullptr;
    }
    for (long i = 0; i < n; ++i) {
        if (one_exchange(method.get(), path.get(), query.get(), name.get()) < 0) {
            return nullptr;
        }
    }
    return PyLong_FromLong(n);
}

#define FN(name, table, member) {name, VEL_METH((consumer::call<table, member>)), METH_FASTCALL, nullptr}
#define MESSAGE_SLOTS(prefix, table)                                                                  \
    FN(prefix "get_headers", table, &MessageMethods::get_headers),                                     \
    FN(prefix "get_first_header", table, &MessageMethods::get_first_header),                           \
    FN(prefix "get_single_header", table, &MessageMethods::get_single_header),                         \
    FN(prefix "remove_header", table, &MessageMethods::remove_header),                                 \
    FN(prefix "_has_header", table, &MessageMethods::_has_header),                                     \
    FN(prefix "has_header", table, &MessageMethods::has_header),                                       \
    FN(prefix "_add_header", table, &MessageMethods::_add_header),                                     \
    FN(prefix "_add_header_if_missing", table, &MessageMethods::_add_header_if_missing),               \
    FN(prefix "add_header", table, &MessageMethods::add_header),                                       \
    FN(prefix "set_header", table, &MessageMethods::set_header),                                       \
    FN(prefix "content_type", table, &MessageMethods::content_type),                                   \
    FN(prefix "_ensure_raw_headers", table, &MessageMethods::_ensure_raw_headers),                     \
    FN(prefix "remove_headers", table, &MessageMethods::remove_headers),                               \
    FN(prefix "get_headers_tuples", table, &MessageMethods::get_headers_tuples),                       \
    FN(prefix "init_prop", table, &MessageMethods::init_prop),                                         \
    FN(prefix "with_content", table, &MessageMethods::with_content),                                   \
    FN(prefix "has_body", table, &MessageMethods::has_body),                                           \
    FN(prefix "declares_content_type", table, &MessageMethods::declares_content_type),                 \
    FN(prefix "declares_json", table, &MessageMethods::declares_json),                                 \
    FN(prefix "declares_xml", table, &MessageMethods::declares_xml)

PyMethodDef module_methods[] = {
    MESSAGE_SLOTS("message_", message_methods),
    MESSAGE_SLOTS("request_", request_message_methods),
    MESSAGE_SLOTS("response_", response_message_methods),
    FN("request_expect_100_continue", request_methods, &RequestMethods::expect_100_continue),
    FN("request_reset", request_methods, &RequestMethods::reset),
    FN("request_get_query_param", request_methods, &RequestMethods::get_query_param),
    FN("request_get_query_params", request_methods, &RequestMethods::get_query_params),
    FN("response_is_redirect", response_methods, &ResponseMethods::is_redirect),
    FN("response_reset", response_methods, &ResponseMethods::reset),
    FN("ensure_bytes", api, &CAPI::ensure_bytes),
    FN("method_without_body", api, &CAPI::method_without_body),
    FN("is_cors_preflight_request", api, &CAPI::is_cors_preflight_request),
    FN("is_cors_request", api, &CAPI::is_cors_request),
    FN("get_absolute_url_to_path", api, &CAPI::get_absolute_url_to_path),
    FN("get_request_absolute_url", api, &CAPI::get_request_absolute_url),
    FN("intern_method_str", api, &CAPI::intern_method_str),
    FN("intern_header_name_bytes", api, &CAPI::intern_header_name_bytes),
    {"acquire_request", VEL_METH(+[](PyObject *, PyObject *const *args, Py_ssize_t nargs) -> PyObject * {
         return vel::check_nargs("acquire_request", nargs, 5, 5)
                    ? reinterpret_cast<PyObject *>(g_api->acquire_request(args[0], args[1], args[2], args[3], args[4]))
                    : nullptr;
     }),
     METH_FASTCALL, nullptr},
    {"acquire_response", VEL_METH(acquire_response), METH_FASTCALL, nullptr},
    {"release_request", release<RequestObject, &CAPI::release_request>, METH_O, nullptr},
    {"release_response", release<ResponseObject, &CAPI::release_response>, METH_O, nullptr},
    {"alloc_scratchpad", VEL_METH(alloc_scratchpad), METH_FASTCALL, nullptr},
    {"layout", layout, METH_O, nullptr},
    {"tables_share_message_slots", tables_share_message_slots, METH_NOARGS, nullptr},
    {"bound_types", bound_types, METH_NOARGS, nullptr},
    {"exchange_cycles", exchange_cycles, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__messages_consumer()
{
    return consumer::init<CAPI, vel::messages::bind, &g_api>(
        "velmora._messages_consumer", "Calls the messages interface as a sibling would.", module_methods);
}
