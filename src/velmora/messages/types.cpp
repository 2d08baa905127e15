// The Request type (construction, lifetime, Python methods) and the
// direct-call tables of Request and Response.
#include <Python.h>

#include "messages/messages_internal.h"
#include "vel/args.hpp"
#include "vel/module.hpp"

namespace vel::messages {

namespace {

// ---------------------------------------------------------------- Request natives

int expect_100_continue_native(RequestObject *self)
{
    Ref value = steal(t_get_first_header(&self->base, g_state->b_expect));
    if (!value) {
        return -1;
    }
    if (value.get() == Py_None) {
        return 0;
    }
    if (!PyBytes_Check(value.get())) {
        return vel::expected_type_error("bytes", value.get()) ? 0 : -1;
    }
    static const char expected[] = "100-continue";
    Py_ssize_t n = PyBytes_GET_SIZE(value.get());
    if (n != static_cast<Py_ssize_t>(sizeof expected - 1)) {
        return 0;
    }
    const char *s = PyBytes_AS_STRING(value.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] + 32) : s[i];
        if (c != expected[i]) {
            return 0;
        }
    }
    return 1;
}

}  // namespace

int is_redirect_impl(ResponseObject *self)
{
    switch (self->status) {
    case 301: case 302: case 303: case 307: case 308:
        return 1;
    default:
        return 0;
    }
}

namespace {

using vel::override_result_bool;

}  // namespace

const RequestMethods REQUEST_METHODS = {
    MESSAGE_METHODS,
    entry<S_EXPECT_100_CONTINUE, expect_100_continue_native, override_result_bool>,
    entry<S_REQUEST_RESET, request_reset_impl>,
    alloc_scratchpad_impl,
    entry<S_GET_QUERY_PARAM, get_query_param_impl>,
    entry<S_GET_QUERY_PARAMS, get_query_params_impl>,
};

const ResponseMethods RESPONSE_METHODS = {
    MESSAGE_METHODS,
    entry<S_IS_REDIRECT, is_redirect_impl, override_result_bool>,
    entry<S_RESPONSE_RESET, response_reset_impl>,
};

namespace {

// ---------------------------------------------------------------- Request Python methods

PyObject *py_get_query_param(RequestObject *self, PyObject *name, PyObject *default_)
{
    return get_query_param_impl(self, name, default_ != nullptr ? default_ : Py_None);
}

PyObject *py_scratchpad_arena_stats(RequestObject *r)
{
    if (!r->_arena_initialized) {
        return Py_BuildValue("(iiO)", 0, 0, Py_False);
    }
    return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(r->_arena.capacity),
                         static_cast<Py_ssize_t>(r->_arena.offset), Py_True);
}

// Request.incoming: a bytes method (as servers may pass it) is Latin-1 text.
PyObject *py_incoming(PyTypeObject *, PyObject *method, PyObject *path, PyObject *query, PyObject *headers,
                      PyObject *scope)
{
    Ref text = PyBytes_Check(method)
                   ? steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(method), PyBytes_GET_SIZE(method), nullptr))
                   : borrow(method);
    if (!text || !vel::check_arg_exact(text.get(), &PyUnicode_Type, "method", false)) {
        return nullptr;
    }
    return O(acquire_request(text.get(), path, query, headers, scope != nullptr ? scope : Py_None));
}

constexpr const char *kName[] = {"name"};
constexpr const char *kNameDefault[] = {"name", "default"};
constexpr const char *kNameValue[] = {"name", "value"};
constexpr const char *kIncoming[] = {"method", "path", "query", "headers", "scope"};
constexpr vel::Signature kGetQueryParam{"get_query_param", kNameDefault, 2, 1};
constexpr vel::Signature kGetQueryParams{"get_query_params", kName, 1, 1};
constexpr vel::Signature kGetCookie{"get_cookie", kName, 1, 1};
constexpr vel::Signature kSetCookie{"set_cookie", kNameValue, 2, 2};
constexpr vel::Signature kIncomingSig{"incoming", kIncoming, 5, 4};

#define FASTCALL(impl, sig) VEL_METH((vel::fastcall_method<impl, sig>)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef request_methods[] = {
    {"get_query_param", FASTCALL(py_get_query_param, kGetQueryParam),
     "get_query_param($self, name, default=None)\n--\n\nThe first value of the query parameter `name`, or "
     "`default`."},
    {"get_query_params", FASTCALL(get_query_params_impl, kGetQueryParams),
     "get_query_params($self, name)\n--\n\nEvery value of the query parameter `name`, in order."},
    {"get_cookie", FASTCALL(request_get_cookie, kGetCookie),
     "get_cookie($self, name)\n--\n\nThe value of the request cookie `name`, or None."},
    {"set_cookie", FASTCALL(request_set_cookie, kSetCookie),
     "set_cookie($self, name, value)\n--\n\nSets a cookie in the request and ensures that a single `cookie` "
     "header is set on the request."},
    {"expect_100_continue", vel::noargs_method<expect_100_continue_native, vel::bool_result>, METH_NOARGS,
     "expect_100_continue($self)\n--\n\nWhether the Expect header is exactly 100-continue (any case)."},
    {"reset", vel::noargs_method<request_reset_impl>, METH_NOARGS, "reset($self)\n--\n\nClears the request for reuse."},
    {"dispose", vel::noargs_method<request_dispose>, METH_NOARGS,
     "dispose($self)\n--\n\nCloses the uploaded form files and disposes the content; the fields stay set."},
    {"scratchpad_arena_stats", vel::noargs_method<py_scratchpad_arena_stats>, METH_NOARGS,
     "scratchpad_arena_stats($self)\n--\n\nReturns (capacity, offset, is_initialized) for arena "
     "debugging/monitoring."},
    {"incoming", VEL_METH((vel::fastcall_method<py_incoming, kIncomingSig>)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "incoming($cls, method, path, query, headers, scope=None)\n--\n\nA pooled request for the server's "
     "values."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- Request type

PyObject *alloc_request(PyTypeObject *type)
{
    PyObject *self = alloc_message(type);
    if (self != nullptr) {
        fields_to_none(self, REQUEST_FIELDS, REQUEST_FIELD_COUNT);
    }
    return self;
}

PyObject *request_new(PyTypeObject *type, PyObject *, PyObject *) { return alloc_request(type); }

const char *const REQUEST_ARGS[] = {"method", "url", "headers"};
const vel::Signature REQUEST_SIG = {"Request", REQUEST_ARGS, 3, 3};

int request_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[3];
    if (!vel::parse_tuple_dict(REQUEST_SIG, args, kwargs, a) ||
        !vel::check_arg_exact(a[0], &PyUnicode_Type, "method") ||
        !vel::check_arg_exact(a[1], &PyBytes_Type, "url") || !vel::check_arg_exact(a[2], &PyList_Type, "headers")) {
        return -1;
    }
    RequestObject *r = R(self);
    Ref url = a[1] != Py_None && PyBytes_GET_SIZE(a[1]) > 0 ? steal(g_state->url->url_from_bytes(a[1]))
                                                           : borrow(Py_None);
    Ref raw = url ? steal(copy_header_list(a[2])) : Ref();
    Ref method = raw ? steal(intern_method_str(a[0])) : Ref();
    if (!method) {
        return -1;
    }
    Py_XSETREF(r->base._raw_headers, raw.release());
    Py_XSETREF(r->method, method.release());
    Py_XSETREF(r->_session, Py_NewRef(Py_None));
    Py_XSETREF(r->_url, Py_NewRef(url.get()));
    if (url.get() != Py_None) {
        auto *u = reinterpret_cast<vel::url::URLObject *>(url.get());
        Py_XSETREF(r->_path, Py_NewRef(u->path != nullptr ? u->path : Py_None));
        Py_XSETREF(r->_raw_query, Py_NewRef(u->query != nullptr ? u->query : Py_None));
    }
    return 0;
}

int request_traverse(PyObject *self, visitproc visit, void *arg)
{
    int rc = fields_traverse(self, REQUEST_FIELDS, REQUEST_FIELD_COUNT, visit, arg);
    return rc != 0 ? rc : fields_traverse(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT, visit, arg);
}

int request_clear(PyObject *self)
{
    fields_clear(self, REQUEST_FIELDS, REQUEST_FIELD_COUNT);
    fields_clear(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT);
    return 0;
}

void request_dealloc(PyObject *self)
{
    RequestObject *r = R(self);
    PyObject_GC_UnTrack(self);
    if (r->_arena_initialized) {
        PyObject *pending = compat::take_exception();
        scratchpad_destroy(&r->_arena);
        r->_arena_initialized = 0;
        compat::restore_exception(pending);
    }
    fields_release(self, REQUEST_FIELDS, REQUEST_FIELD_COUNT);
    message_dealloc(self);
}

PyObject *request_repr(PyObject *self)
{
    RequestObject *r = R(self);
    Ref url = steal(request_url(r));
    if (!url) {
        return nullptr;
    }
    PyObject *value = reinterpret_cast<vel::url::URLObject *>(url.get())->value;
    Ref text = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "replace"));
    if (!text) {
        return nullptr;
    }
    PyObject *method = r->method != nullptr && r->method != Py_None ? r->method : nullptr;
    return method != nullptr ? PyUnicode_FromFormat("<Request %S %U>", method, text.get())
                             : PyUnicode_FromFormat("<Request None %U>", text.get());
}

PyType_Slot request_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(request_new)},
    {Py_tp_init, reinterpret_cast<void *>(request_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(request_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(request_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(request_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(request_repr)},
    {Py_tp_methods, request_methods},
    {Py_tp_getset, REQUEST_GETSET},
    {Py_tp_doc, const_cast<char *>("Request(method, url, headers)\n--\n\nAn incoming HTTP request.")},
    {0, nullptr},
};

PyType_Spec request_spec = {
    "velmora.messages.Request", sizeof(PooledRequest), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, request_slots,
};


}  // namespace

PyTypeObject *add_subtype(PyObject *module, PyType_Spec *spec, PyTypeObject *base)
{
    Ref bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(base)));
    return bases ? vel::add_type(module, spec, bases.get()) : nullptr;
}

PyObject *request_alloc_bare() { return alloc_request(g_state->Request_Type); }

int init_request_type(PyObject *module, State *st)
{
    st->Request_Type = add_subtype(module, &request_spec, st->Message_Type);
    return st->Request_Type != nullptr ? 0 : -1;
}

}  // namespace vel::messages
