// The RSGI bridge: the request from an RSGI scope, the protocol call that
// fits the response's content, and the pools the two objects go back to.
// The coroutines it hands out live in velmora._scribe_async.
#include "scribe/scribe_internal.h"

#include <cstring>
#include <iterator>

#include "vel/object.hpp"

namespace vel::scribe {

namespace {

const char *const OUTBOUND_NAMES[] = {
    "content-type", "content-length", "server", "date", "set-cookie", "location", "connection",
    "cache-control", "vary", "access-control-allow-origin", "access-control-allow-headers",
    "access-control-allow-methods", "access-control-allow-credentials", "access-control-expose-headers",
    "access-control-max-age", "transfer-encoding", "www-authenticate", "authorization", "accept", "host",
    "etag", "last-modified", "strict-transport-security", "x-content-type-options", "x-frame-options",
};
const char *const OUTBOUND_VALUES[] = {
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html",
    "chunked", "keep-alive", "close", "0",
};
const char *const COMMON_CONTENT_TYPES[COMMON_CT_COUNT] = {
    "text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8",
};

// A dict from the bytes of each text to its str.
PyObject *text_table(const char *const *texts, size_t count)
{
    Ref table = steal(PyDict_New());
    for (size_t i = 0; table && i < count; ++i) {
        Ref key = steal(PyBytes_FromString(texts[i]));
        Ref value = key ? steal(PyUnicode_InternFromString(texts[i])) : Ref();
        if (!value || PyDict_SetItem(table.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return table.release();
}

int add_table(PyObject *module, const char *name, PyObject *table)
{
    return table != nullptr ? PyModule_AddObjectRef(module, name, table) : -1;
}

}  // namespace

int init_rsgi_tables(PyObject *module, State *st)
{
    st->name_str = text_table(OUTBOUND_NAMES, std::size(OUTBOUND_NAMES));
    st->val_str = text_table(OUTBOUND_VALUES, std::size(OUTBOUND_VALUES));
    st->ct_str_cache = text_table(COMMON_CONTENT_TYPES, COMMON_CT_COUNT);
    st->static_by_ct = PyDict_New();
    st->empty_headers = PyList_New(0);
    if (st->name_str == nullptr || st->val_str == nullptr || st->ct_str_cache == nullptr ||
        st->static_by_ct == nullptr || st->empty_headers == nullptr) {
        return -1;
    }
    PyObject *key;
    PyObject *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(st->ct_str_cache, &pos, &key, &value)) {
        Ref pair = steal(PyTuple_Pack(2, st->s_content_type, value));
        Ref list = pair ? steal(PyList_New(1)) : Ref();
        if (!list) {
            return -1;
        }
        PyList_SET_ITEM(list.get(), 0, pair.release());
        if (PyDict_SetItem(st->static_by_ct, key, list.get()) < 0) {
            return -1;
        }
    }
    if (add_table(module, "KNOWN_OUTBOUND_HEADER_NAME_STR", st->name_str) < 0 ||
        add_table(module, "KNOWN_OUTBOUND_HEADER_VAL_STR", st->val_str) < 0 ||
        add_table(module, "CT_STR_CACHE", st->ct_str_cache) < 0 ||
        add_table(module, "STATIC_HEADERS_BY_CT_BYTES", st->static_by_ct) < 0 ||
        add_table(module, "EMPTY_HEADERS", st->empty_headers) < 0) {
        return -1;
    }
    return 0;
}

PyObject *module_global(PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(g_state->module_dict, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Py_XNewRef(value);
}

namespace {

// ------------------------------------------------------------- the request

bool scope_str(PyObject *scope, PyObject *name, Ref &out, bool none_ok)
{
    out = steal(PyObject_GetAttr(scope, name));
    if (!out) {
        return false;
    }
    if (PyUnicode_Check(out.get()) || (none_ok && out.get() == Py_None)) {
        return true;
    }
    return expected_type_error(none_ok ? "str or None" : "str", out.get());
}

bool method_without_reader(PyObject *method)
{
    if (!PyUnicode_Check(method) || !PyUnicode_IS_ASCII(method)) {
        return false;
    }
    const char *s = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(method));
    switch (PyUnicode_GET_LENGTH(method)) {
    case 3: return std::memcmp(s, "GET", 3) == 0;
    case 4: return std::memcmp(s, "HEAD", 4) == 0;
    case 7: return std::memcmp(s, "OPTIONS", 7) == 0;
    default: return false;
    }
}

}  // namespace

RequestObject *instantiate_rsgi_request(PyObject *scope, PyObject *protocol)
{
    State *st = g_state;
    Ref path, query, method;
    if (!scope_str(scope, st->s_path, path, false)) {
        return nullptr;
    }
    query = steal(PyObject_GetAttr(scope, st->s_query_string));
    if (!query) {
        return nullptr;
    }
    int truthy = PyObject_IsTrue(query.get());
    if (truthy < 0) {
        return nullptr;
    }
    if (!truthy) {
        query = steal(PyUnicode_FromStringAndSize("", 0));
    } else if (!PyUnicode_Check(query.get())) {
        expected_type_error("str", query.get());
        return nullptr;
    }
    if (!query || !scope_str(scope, st->s_method, method, true)) {
        return nullptr;
    }
    RequestObject *request = st->messages->acquire_request(method.get(), path.get(), query.get(), Py_None, scope);
    if (request == nullptr || method_without_reader(method.get())) {
        return request;
    }
    PyObject *content = st->contents->rsgi_content_new(protocol);
    if (content == nullptr) {
        Py_DECREF(request);
        return nullptr;
    }
    Py_XSETREF(request->base.content, content);
    return request;
}

// ------------------------------------------------------ the response call

namespace {

PyObject *content_type_of(PyObject *content)
{
    if (content == Py_None) {
        return Py_NewRef(Py_None);
    }
    if (PyObject_TypeCheck(content, g_state->contents->Content_Type)) {
        PyObject *type = reinterpret_cast<contents::ContentObject *>(content)->type;
        return Py_NewRef(type != nullptr ? type : Py_None);
    }
    return PyObject_GetAttr(content, g_state->s_type);
}

// A header name or value for the server: str, without CR, LF or NUL.
PyObject *rsgi_text(PyObject *value, PyObject *table, bool is_name)
{
    Ref text = steal(header_text(value, table));
    return text && check_header_str(text.get(), is_name) ? text.release() : nullptr;
}

PyObject *content_type_pair(PyObject *type)
{
    Ref text = steal(rsgi_text(type, g_state->ct_str_cache, false));
    return text ? PyTuple_Pack(2, g_state->s_content_type, text.get()) : nullptr;
}

// The header list handed to the server (a shared table list when the
// response has no headers of its own).
PyObject *rsgi_headers(PyObject *raw, PyObject *type)
{
    State *st = g_state;
    if (raw != Py_None && !PyList_Check(raw)) {
        PyErr_Format(PyExc_TypeError, "the raw header list must be a list, got %.200s", Py_TYPE(raw)->tp_name);
        return nullptr;
    }
    if (raw == Py_None || PyList_GET_SIZE(raw) == 0) {
        if (type == Py_None) {
            return Py_NewRef(st->empty_headers);
        }
        if (PyBytes_CheckExact(type)) {
            PyObject *shared = PyDict_GetItemWithError(st->static_by_ct, type);
            if (shared != nullptr) {
                return Py_NewRef(shared);
            }
            if (PyErr_Occurred()) {
                return nullptr;
            }
        }
        Ref pair = steal(content_type_pair(type));
        Ref list = pair ? steal(PyList_New(1)) : Ref();
        if (list) {
            PyList_SET_ITEM(list.get(), 0, pair.release());
        }
        return list.release();
    }
    Ref result = steal(PyList_New(0));
    bool has_type = false;
    // str() of a name or value runs Python code: the list is re-read on
    // every step and each entry held while it is converted.
    for (Py_ssize_t i = 0; result && i < PyList_GET_SIZE(raw); ++i) {
        Ref entry = borrow(PyList_GET_ITEM(raw, i));
        Ref name, value;
        if (!unpack_pair(entry.get(), name, value)) {
            return nullptr;
        }
        Ref n = steal(rsgi_text(name.get(), st->name_str, true));
        Ref v = n ? steal(rsgi_text(value.get(), st->val_str, false)) : Ref();
        Ref pair = v ? steal(PyTuple_Pack(2, n.get(), v.get())) : Ref();
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) {
            return nullptr;
        }
        has_type = has_type || name_equals(n.get(), "content-type", 12);
    }
    if (result && !has_type && type != Py_None) {
        Ref pair = steal(content_type_pair(type));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject *call_protocol(PyObject *protocol, PyObject *method, PyObject *status, PyObject *headers,
                        PyObject *a = nullptr, PyObject *b = nullptr, PyObject *c = nullptr)
{
    PyObject *args[] = {protocol, status, headers, a, b, c};
    size_t n = 3 + (a != nullptr) + (b != nullptr) + (c != nullptr);
    return PyObject_VectorcallMethod(method, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// None after a call whose result is dropped.
PyObject *done(PyObject *result)
{
    if (result == nullptr) {
        return nullptr;
    }
    Py_DECREF(result);
    return Py_NewRef(Py_None);
}

// file_path and file_range with a default of None: read from the layout
// for the content types that are known not to redefine them.
bool file_fields(PyObject *content, Ref &path, Ref &range)
{
    const contents::CAPI *c = g_state->contents;
    PyTypeObject *tp = Py_TYPE(content);
    if (tp == c->StreamedContent_Type) {
        auto *s = reinterpret_cast<contents::StreamedContentObject *>(content);
        path = borrow(s->file_path != nullptr ? s->file_path : Py_None);
        range = borrow(s->file_range != nullptr ? s->file_range : Py_None);
        return true;
    }
    if (tp == c->Content_Type || tp == c->TextContent_Type || tp == c->HTMLContent_Type ||
        tp == c->JSONContent_Type) {
        path = borrow(Py_None);
        range = borrow(Py_None);
        return true;
    }
    range = borrow(Py_None);
    if (!attr_or_none(content, g_state->s_file_path, path)) {
        return false;
    }
    return path.get() == Py_None || attr_or_none(content, g_state->s_file_range, range);
}

bool has_attr(PyObject *obj, PyObject *name, int *result)
{
    Ref value;
    if (!optional_attr(obj, name, value)) {
        return false;
    }
    *result = value ? 1 : 0;
    return true;
}

// The coroutine `name`(args...) of the module, looked up now.
PyObject *call_global(PyObject *name, PyObject *const *args, size_t nargs)
{
    Ref fn = steal(module_global(name));
    return fn ? PyObject_Vectorcall(fn.get(), args, nargs, nullptr) : nullptr;
}

PyObject *send_file(ResponseObject *response, PyObject *protocol, PyObject *status, PyObject *headers,
                    PyObject *path, PyObject *range, bool *sent)
{
    State *st = g_state;
    int has_file = 0, has_range = 0;
    if (!has_attr(protocol, st->s_response_file, &has_file) ||
        (range != Py_None && !has_attr(protocol, st->s_response_file_range, &has_range))) {
        return nullptr;
    }
    *sent = true;
    if (range != Py_None) {
        if (has_range) {
            Ref start = steal(PySequence_GetItem(range, 0));
            Ref end = start ? steal(PySequence_GetItem(range, 1)) : Ref();
            return end ? done(call_protocol(protocol, st->s_response_file_range, status, headers, path,
                                            start.get(), end.get()))
                       : nullptr;
        }
        // Only the range may go out under the status and headers set for
        // it: the module streams it when the server cannot.
        PyObject *args[] = {reinterpret_cast<PyObject *>(response), protocol, headers, path, range};
        return call_global(st->s_send_rsgi_range, args, 5);
    }
    if (has_file) {
        return done(call_protocol(protocol, st->s_response_file, status, headers, path));
    }
    *sent = false;
    return nullptr;
}

}  // namespace

PyObject *send_rsgi_response_sync(ResponseObject *response, PyObject *protocol)
{
    State *st = g_state;
    Ref raw = borrow(response->base._raw_headers != nullptr ? response->base._raw_headers : Py_None);
    Ref content = borrow(response->base.content != nullptr ? response->base.content : Py_None);
    Ref status = steal(PyLong_FromLong(response->status));
    Ref type = status ? steal(content_type_of(content.get())) : Ref();
    Ref headers = type ? steal(rsgi_headers(raw.get(), type.get())) : Ref();
    if (!headers) {
        return nullptr;
    }
    if (content.get() == Py_None) {
        return done(call_protocol(protocol, st->s_response_empty, status.get(), headers.get()));
    }
    Ref path, range;
    if (!file_fields(content.get(), path, range)) {
        return nullptr;
    }
    if (path.get() != Py_None) {
        bool sent = false;
        PyObject *result = send_file(response, protocol, status.get(), headers.get(), path.get(), range.get(), &sent);
        if (sent || result != nullptr || PyErr_Occurred()) {
            return result;
        }
    }
    Ref body = PyObject_TypeCheck(content.get(), st->contents->Content_Type)
                   ? borrow(reinterpret_cast<contents::ContentObject *>(content.get())->body)
                   : steal(PyObject_GetAttr(content.get(), st->s_body));
    if (!body) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        body = borrow(Py_None);
    }
    PyObject *b = body.get();
    if (b == Py_None) {
        if (PyObject_TypeCheck(content.get(), st->contents->StreamedContent_Type)) {
            PyObject *args[] = {reinterpret_cast<PyObject *>(response), protocol, headers.get(), content.get()};
            return call_global(st->s_send_rsgi_stream, args, 4);
        }
        return done(call_protocol(protocol, st->s_response_empty, status.get(), headers.get()));
    }
    if (PyBytes_CheckExact(b)) {
        return done(call_protocol(protocol, st->s_response_bytes, status.get(), headers.get(), b));
    }
    if (PyUnicode_CheckExact(b)) {
        return done(call_protocol(protocol, st->s_response_str, status.get(), headers.get(), b));
    }
    if (PyBytes_Check(b) || PyByteArray_Check(b) || PyMemoryView_Check(b)) {
        // Servers take exactly bytes.
        Ref copy = steal(PyBytes_FromObject(b));
        return copy ? done(call_protocol(protocol, st->s_response_bytes, status.get(), headers.get(), copy.get()))
                    : nullptr;
    }
    Ref text = steal(PyObject_Str(b));
    return text ? done(call_protocol(protocol, st->s_response_str, status.get(), headers.get(), text.get()))
                : nullptr;
}

// -------------------------------------------------------------- dispatch

namespace {

// request.scope = None and the request back to its pool; -1 when the
// release failed.
int finish_request(RequestObject *request)
{
    Py_XSETREF(request->scope, Py_NewRef(Py_None));
    g_state->messages->release_request(request);
    return PyErr_Occurred() ? -1 : 0;
}

// The same while an exception is pending: a failing release reports its
// own error with the pending one as its context.
void finish_request_after_error(RequestObject *request)
{
    PyObject *pending = compat::take_exception();
    if (finish_request(request) < 0) {
        PyObject *exc = compat::take_exception();
        PyException_SetContext(exc, pending);
        compat::restore_exception(exc);
        return;
    }
    compat::restore_exception(pending);
}

bool is_awaitable(PyObject *obj)
{
    if (PyCoro_CheckExact(obj)) {
        return true;
    }
    PyAsyncMethods *am = Py_TYPE(obj)->tp_as_async;
    return am != nullptr && am->am_await != nullptr;
}

}  // namespace

PyObject *dispatch_rsgi_http(PyObject *app, PyObject *scope, PyObject *protocol)
{
    State *st = g_state;
    Ref request = steal(instantiate_rsgi_request(scope, protocol));
    if (!request) {
        return nullptr;
    }
    auto *req = request.as<RequestObject>();
    Ref res = steal(PyObject_CallMethodOneArg(app, st->s_handle, request.get()));
    PyObject *result = nullptr;
    if (!res) {
        // fall through to the clean-up
    } else if (PyObject_TypeCheck(res.get(), st->messages->Response_Type)) {
        auto *response = res.as<ResponseObject>();
        Ref res_sync = steal(send_rsgi_response_sync(response, protocol));
        if (res_sync && res_sync.get() == Py_None) {
            st->messages->release_response(response);
            if (PyErr_Occurred()) {
                finish_request_after_error(req);
                return nullptr;
            }
            return finish_request(req) == 0 ? Py_NewRef(Py_None) : nullptr;
        }
        if (res_sync) {
            PyObject *args[] = {res_sync.get(), res.get(), request.get()};
            result = call_global(st->s_await_res_sync, args, 3);
        }
    } else if (is_awaitable(res.get())) {
        PyObject *args[] = {app, request.get(), res.get(), protocol};
        result = call_global(st->s_dispatch_rsgi_async, args, 4);
    } else {
        PyErr_Format(PyExc_TypeError, "handle() must return a Response or an awaitable, got %.200s",
                     Py_TYPE(res.get())->tp_name);
    }
    if (result == nullptr) {
        finish_request_after_error(req);
    }
    return result;
}

// ------------------------------------------------------- Python functions

namespace {

const char *const DISPATCH_ARGS[] = {"app", "scope", "protocol"};
const char *const INSTANTIATE_ARGS[] = {"scope", "protocol"};
const char *const SEND_ARGS[] = {"response", "protocol"};
const char *const EXTRACT_ARGS[] = {"raw_headers"};
constexpr Signature DISPATCH_SIG{"dispatch_rsgi_http", DISPATCH_ARGS, 3, 3};
constexpr Signature INSTANTIATE_SIG{"instantiate_rsgi_request", INSTANTIATE_ARGS, 2, 2};
constexpr Signature SEND_SIG{"send_rsgi_response_sync", SEND_ARGS, 2, 2};
constexpr Signature EXTRACT_SIG{"extract_rsgi_headers", EXTRACT_ARGS, 1, 1};

PyObject *py_instantiate(PyObject *scope, PyObject *protocol)
{
    return reinterpret_cast<PyObject *>(instantiate_rsgi_request(scope, protocol));
}

PyObject *py_send_sync(PyObject *response, PyObject *protocol)
{
    ResponseObject *r = response_arg(response, "response");
    return r != nullptr ? send_rsgi_response_sync(r, protocol) : nullptr;
}

}  // namespace

PyMethodDef rsgi_functions[] = {
    {"dispatch_rsgi_http", VEL_METH((fastcall_function<dispatch_rsgi_http, DISPATCH_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "dispatch_rsgi_http(app, scope, protocol)\n--\n\nServes one RSGI HTTP request: None when the exchange "
     "is over, else an awaitable that completes it."},
    {"instantiate_rsgi_request", VEL_METH((fastcall_function<py_instantiate, INSTANTIATE_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "instantiate_rsgi_request(scope, protocol)\n--\n\nA pooled Request for an RSGI scope."},
    {"send_rsgi_response_sync", VEL_METH((fastcall_function<py_send_sync, SEND_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "send_rsgi_response_sync(response, protocol)\n--\n\nSends the response with the fitting protocol call "
     "and returns None, or returns the coroutine that streams it."},
    {"extract_rsgi_headers", VEL_METH((fastcall_function<extract_rsgi_headers, EXTRACT_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "extract_rsgi_headers(raw_headers)\n--\n\nAny header collection as a list of (str, str) pairs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::scribe
