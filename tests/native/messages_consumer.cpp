// `velmora._messages_consumer`: a module built against messages_api.h the
// way keystone and scribe are, so that the tests can read the published
// layouts and call every table slot and entry point by name.
#include <Python.h>

#include <cstring>

#include "messages/messages_api.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::messages::MessageObject;
using vel::messages::RequestObject;
using vel::messages::ResponseObject;

const vel::messages::CAPI *api = nullptr;

inline MessageObject *M(PyObject *o) { return reinterpret_cast<MessageObject *>(o); }
inline RequestObject *R(PyObject *o) { return reinterpret_cast<RequestObject *>(o); }
inline ResponseObject *RS(PyObject *o) { return reinterpret_cast<ResponseObject *>(o); }

inline PyObject *from_int(int rc) { return rc < 0 ? nullptr : PyLong_FromLong(rc); }
inline PyObject *from_void() { return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None); }

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

// fields(obj) -> dict of the published fields of a Message, Request or
// Response, read straight from the layout.
PyObject *fields(PyObject *, PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, api->Message_Type)) {
        PyErr_SetString(PyExc_TypeError, "a Message is required");
        return nullptr;
    }
    vel::Ref d = vel::steal(PyDict_New());
    if (!d) {
        return nullptr;
    }
    MessageObject *m = M(obj);
    PyObject *out = d.get();
    int rc = put(out, "_raw_headers", field(m->_raw_headers)) | put(out, "_headers", field(m->_headers)) |
             put(out, "content", field(m->content)) | put(out, "scope_protocol", field(m->scope_protocol)) |
             put(out, "_form_data", field(m->_form_data)) | put(out, "context", field(m->context));
    if (PyObject_TypeCheck(obj, api->Request_Type)) {
        RequestObject *r = R(obj);
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
    } else if (PyObject_TypeCheck(obj, api->Response_Type)) {
        ResponseObject *r = RS(obj);
        rc |= put(out, "status", PyLong_FromLong(r->status)) | put(out, "state", field(r->state)) |
              put(out, "_context", field(r->_context));
    }
    return rc != 0 ? nullptr : d.release();
}

bool is_name(PyObject *name, const char *text) { return PyUnicode_CompareWithASCIIString(name, text) == 0; }

PyObject *bad_call(PyObject *name)
{
    PyErr_Format(PyExc_ValueError, "no slot %R taking these arguments", name);
    return nullptr;
}

// The Message slots of `t`, called by name with 0, 1 or 2 arguments.
PyObject *message_slot(const vel::messages::MessageMethods &t, PyObject *name, MessageObject *self,
                       PyObject *const *a, Py_ssize_t n)
{
    if (n == 0) {
        if (is_name(name, "content_type")) return t.content_type(self);
        if (is_name(name, "_ensure_raw_headers")) return from_int(t._ensure_raw_headers(self));
        if (is_name(name, "has_body")) return from_int(t.has_body(self));
        if (is_name(name, "declares_json")) return from_int(t.declares_json(self));
        if (is_name(name, "declares_xml")) return from_int(t.declares_xml(self));
    } else if (n == 1) {
        if (is_name(name, "get_headers")) return t.get_headers(self, a[0]);
        if (is_name(name, "get_first_header")) return t.get_first_header(self, a[0]);
        if (is_name(name, "get_single_header")) return t.get_single_header(self, a[0]);
        if (is_name(name, "remove_header")) return from_int(t.remove_header(self, a[0]));
        if (is_name(name, "_has_header")) return from_int(t._has_header(self, a[0]));
        if (is_name(name, "has_header")) return from_int(t.has_header(self, a[0]));
        if (is_name(name, "remove_headers")) return from_int(t.remove_headers(self, a[0]));
        if (is_name(name, "get_headers_tuples")) return t.get_headers_tuples(self, a[0]);
        if (is_name(name, "with_content")) return t.with_content(self, a[0]);
        if (is_name(name, "declares_content_type")) return from_int(t.declares_content_type(self, a[0]));
    } else if (n == 2) {
        if (is_name(name, "_add_header")) return from_int(t._add_header(self, a[0], a[1]));
        if (is_name(name, "_add_header_if_missing")) return from_int(t._add_header_if_missing(self, a[0], a[1]));
        if (is_name(name, "add_header")) return from_int(t.add_header(self, a[0], a[1]));
        if (is_name(name, "set_header")) return from_int(t.set_header(self, a[0], a[1]));
        if (is_name(name, "init_prop")) return from_int(t.init_prop(self, a[0], a[1]));
    }
    return bad_call(name);
}

// call(name, obj, *args): the slot `name` of the table for obj's type
// (Request, Response or Message slots).
PyObject *call(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("call", nargs, 2, 4) || !vel::check_arg_exact(args[0], &PyUnicode_Type, "name", false) ||
        !vel::check_arg(args[1], api->Message_Type, "obj", false)) {
        return nullptr;
    }
    PyObject *name = args[0];
    PyObject *obj = args[1];
    PyObject *const *a = args + 2;
    Py_ssize_t n = nargs - 2;
    if (PyObject_TypeCheck(obj, api->Request_Type)) {
        const auto &t = *api->request_methods;
        if (n == 0 && is_name(name, "expect_100_continue")) return from_int(t.expect_100_continue(R(obj)));
        if (n == 0 && is_name(name, "reset")) return from_int(t.reset(R(obj)));
        if (n == 2 && is_name(name, "get_query_param")) return t.get_query_param(R(obj), a[0], a[1]);
        if (n == 1 && is_name(name, "get_query_params")) return t.get_query_params(R(obj), a[0]);
        if (n == 2 && is_name(name, "alloc_scratchpad")) {
            size_t size = PyLong_AsSize_t(a[0]);
            size_t alignment = PyLong_AsSize_t(a[1]);
            if (PyErr_Occurred()) {
                return nullptr;
            }
            void *p = t.alloc_scratchpad(R(obj), size, alignment);
            if (p != nullptr) {
                std::memset(p, 0xAB, size);  // the memory must be writable
            }
            return p != nullptr ? PyLong_FromVoidPtr(p) : Py_NewRef(Py_None);
        }
        return message_slot(t.message, name, M(obj), a, n);
    }
    if (PyObject_TypeCheck(obj, api->Response_Type)) {
        const auto &t = *api->response_methods;
        if (n == 0 && is_name(name, "is_redirect")) return from_int(t.is_redirect(RS(obj)));
        if (n == 0 && is_name(name, "reset")) return from_int(t.reset(RS(obj)));
        return message_slot(t.message, name, M(obj), a, n);
    }
    return message_slot(*api->message_methods, name, M(obj), a, n);
}

RequestObject *request_arg(PyObject *obj)
{
    return vel::check_arg(obj, api->Request_Type, "request", false) ? R(obj) : nullptr;
}

// entry(name, *args): a native entry point of the table.
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("entry", nargs, 1, 6) || !vel::check_arg_exact(args[0], &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    PyObject *name = args[0];
    PyObject *const *a = args + 1;
    Py_ssize_t n = nargs - 1;
    if (n == 1 && is_name(name, "ensure_bytes")) return api->ensure_bytes(a[0]);
    if (n == 1 && is_name(name, "method_without_body")) return from_int(api->method_without_body(a[0]));
    if (n == 1 && is_name(name, "intern_method_str")) return api->intern_method_str(a[0]);
    if (n == 1 && is_name(name, "intern_header_name_bytes")) return api->intern_header_name_bytes(a[0]);
    if (n == 5 && is_name(name, "acquire_request")) {
        return reinterpret_cast<PyObject *>(api->acquire_request(a[0], a[1], a[2], a[3], a[4]));
    }
    if (n <= 3 && is_name(name, "acquire_response")) {
        int32_t status = n > 0 ? static_cast<int32_t>(PyLong_AsLong(a[0])) : 200;
        if (PyErr_Occurred()) {
            return nullptr;
        }
        vel::messages::AcquireResponseArgs optional{static_cast<int>(n), status, n > 1 ? a[1] : nullptr,
                                                     n > 2 ? a[2] : nullptr};
        return reinterpret_cast<PyObject *>(api->acquire_response(n == 0 ? nullptr : &optional));
    }
    if (n == 1 && is_name(name, "release_request")) {
        api->release_request(a[0] == Py_None ? nullptr : R(a[0]));
        return from_void();
    }
    if (n == 1 && is_name(name, "release_response")) {
        api->release_response(a[0] == Py_None ? nullptr : RS(a[0]));
        return from_void();
    }
    RequestObject *r = n >= 1 ? request_arg(a[0]) : nullptr;
    if (n >= 1 && r == nullptr) {
        return nullptr;
    }
    if (n == 1 && is_name(name, "is_cors_request")) return from_int(api->is_cors_request(r));
    if (n == 1 && is_name(name, "is_cors_preflight_request")) return from_int(api->is_cors_preflight_request(r));
    if (n == 1 && is_name(name, "get_request_absolute_url")) return api->get_request_absolute_url(r);
    if (n == 2 && is_name(name, "get_absolute_url_to_path")) return api->get_absolute_url_to_path(r, a[1]);
    return bad_call(name);
}

// Whether the Message part of the Request and Response tables is the
// Message table itself, slot for slot.
PyObject *tables_share_message_slots(PyObject *, PyObject *)
{
    bool same = std::memcmp(&api->request_methods->message, api->message_methods,
                            sizeof(vel::messages::MessageMethods)) == 0 &&
                std::memcmp(&api->response_methods->message, api->message_methods,
                            sizeof(vel::messages::MessageMethods)) == 0;
    return PyBool_FromLong(same);
}

// One request/response exchange the way the writers run it, through the
// table only: acquire both, read and write headers, take scratch memory,
// release both.  0, or -1 with an exception set.
int one_exchange(PyObject *method, PyObject *path, PyObject *query, PyObject *name)
{
    vel::Ref host = vel::steal(Py_BuildValue("[(yy)]", "host", "example.org"));
    vel::Ref r = host ? vel::steal(reinterpret_cast<PyObject *>(api->acquire_request(method, path, query,
                                                                                      host.get(), Py_None)))
                      : vel::Ref();
    if (!r) {
        return -1;
    }
    const auto &rt = *api->request_methods;
    vel::Ref value = vel::steal(rt.get_query_param(R(r.get()), name, Py_None));
    if (!value || !PyUnicode_Check(value.get()) || rt.message.add_header(M(r.get()), name, value.get()) < 0) {
        return PyErr_Occurred() ? -1 : (PyErr_SetString(PyExc_AssertionError, "query value"), -1);
    }
    void *scratch = rt.alloc_scratchpad(R(r.get()), 256, 32);
    if (scratch == nullptr || reinterpret_cast<uintptr_t>(scratch) % 32 != 0) {
        PyErr_SetString(PyExc_AssertionError, "scratchpad allocation");
        return -1;
    }
    std::memset(scratch, 0, 256);
    vel::messages::AcquireResponseArgs args{1, 201, nullptr, nullptr};
    vel::Ref resp = vel::steal(reinterpret_cast<PyObject *>(api->acquire_response(&args)));
    if (!resp || api->response_methods->message.set_header(M(resp.get()), name, value.get()) < 0) {
        return -1;
    }
    api->release_request(R(r.get()));
    if (!PyErr_Occurred()) {
        api->release_response(RS(resp.get()));
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

PyMethodDef methods[] = {
    {"exchange_cycles", exchange_cycles, METH_O, "exchange_cycles(n): n pooled exchanges through the table."},
    {"fields", fields, METH_O, "The published fields of a message object."},
    {"call", VEL_METH(call), METH_FASTCALL, "call(name, obj, *args): a table slot by name."},
    {"entry", VEL_METH(entry), METH_FASTCALL, "entry(name, *args): a native entry point by name."},
    {"tables_share_message_slots", tables_share_message_slots, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int consumer_exec(PyObject *module)
{
    api = vel::messages::bind();
    if (api == nullptr) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "REQUEST_SIZE", static_cast<long>(sizeof(RequestObject))) < 0 ||
                   PyModule_AddIntConstant(module, "RESPONSE_SIZE", static_cast<long>(sizeof(ResponseObject))) < 0
               ? -1
               : 0;
}

PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(consumer_exec)};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velmora._messages_consumer", nullptr, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__messages_consumer(void) { return PyModuleDef_Init(&module_def); }
