// The Response type: construction, status and reason, the cookies kept as
// Set-Cookie headers, and its lifetime.
#include <Python.h>

#include "messages/messages_internal.h"
#include "vel/args.hpp"
#include "vel/module.hpp"

namespace vel::messages {

#define RESP_FIELD(f) static_cast<Py_ssize_t>(offsetof(ResponseObject, f))
const Py_ssize_t RESPONSE_FIELDS[] = {RESP_FIELD(state), RESP_FIELD(_context)};
const Py_ssize_t RESPONSE_FIELD_COUNT = 2;

PyObject *response_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = alloc_message(type);
    if (self != nullptr) {
        fields_to_none(self, RESPONSE_FIELDS, RESPONSE_FIELD_COUNT);
    }
    return self;
}

bool response_status(PyObject *value, int32_t *out)
{
    long status = PyLong_AsLong(value);
    if (status == -1 && PyErr_Occurred()) {
        return false;
    }
    if (status < INT32_MIN || status > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(status);
    return true;
}

PyObject *response_header_list(PyObject *headers, bool keep_empty)
{
    if (headers == Py_None || (!keep_empty && PyList_GET_SIZE(headers) == 0)) {
        return PyList_New(0);
    }
    // The writers append content headers to a response's list: a list the
    // module hands to every caller must never become one.
    PyObject *shared = g_state->shared_lists;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shared); ++i) {
        if (PyTuple_GET_ITEM(shared, i) == headers) {
            return PyList_GetSlice(headers, 0, PyList_GET_SIZE(headers));
        }
    }
    return Py_NewRef(headers);
}

namespace {

// The fields a new response gets from its (checked) constructor arguments.
int response_setup(PyObject *self, int32_t status, PyObject *headers, PyObject *content)
{
    PyObject *raw = response_header_list(headers, false);
    if (raw == nullptr) {
        return -1;
    }
    Py_XSETREF(M(self)->_raw_headers, raw);
    RS(self)->status = status;
    Py_XSETREF(M(self)->content, Py_NewRef(content));
    return 0;
}

}  // namespace

ResponseObject *response_create(int32_t status, PyObject *headers, PyObject *content)
{
    Ref self = steal(response_new(g_state->Response_Type, nullptr, nullptr));
    return self && response_setup(self.get(), status, headers, content) == 0 ? RS(self.release()) : nullptr;
}

namespace {

const char *const RESPONSE_ARGS[] = {"status", "headers", "content"};
const vel::Signature RESPONSE_SIG = {"Response", RESPONSE_ARGS, 3, 1};

int response_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[3];
    if (!vel::parse_tuple_dict(RESPONSE_SIG, args, kwargs, a)) {
        return -1;
    }
    PyObject *headers = a[1] != nullptr ? a[1] : Py_None;
    PyObject *content = a[2] != nullptr ? a[2] : Py_None;
    int32_t status;
    if (!response_status(a[0], &status) || !vel::check_arg_exact(headers, &PyList_Type, "headers") ||
        !vel::check_arg(content, g_state->contents->Content_Type, "content")) {
        return -1;
    }
    return response_setup(self, status, headers, content);
}

int response_traverse(PyObject *self, visitproc visit, void *arg)
{
    int rc = fields_traverse(self, RESPONSE_FIELDS, RESPONSE_FIELD_COUNT, visit, arg);
    return rc != 0 ? rc : fields_traverse(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT, visit, arg);
}

int response_clear(PyObject *self)
{
    fields_clear(self, RESPONSE_FIELDS, RESPONSE_FIELD_COUNT);
    fields_clear(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT);
    return 0;
}

void response_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    fields_release(self, RESPONSE_FIELDS, RESPONSE_FIELD_COUNT);
    message_dealloc(self);
}

PyObject *response_repr(PyObject *self) { return PyUnicode_FromFormat("<Response %d>", RS(self)->status); }

PyObject *get_status(PyObject *self, void *) { return PyLong_FromLong(RS(self)->status); }

int set_status(PyObject *self, PyObject *value, void *)
{
    return value == nullptr ? not_deletable() : response_status(value, &RS(self)->status) ? 0 : -1;
}

// The standard phrase of the status.  A status of the 100..599 range that
// the enumeration does not list (299, 499, ...) has no phrase rather than
// an error; others raise the enumeration's ValueError.
PyObject *get_reason(PyObject *self, void *)
{
    int32_t status = RS(self)->status;
    Ref code = steal(PyLong_FromLong(status));
    Ref member = code ? steal(PyObject_CallOneArg(g_state->http_status, code.get())) : Ref();
    if (!member) {
        if (code && status >= 100 && status <= 599 && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return Py_NewRef(g_state->str_empty);
        }
        return nullptr;
    }
    return PyObject_GetAttr(member.get(), g_state->str_phrase);
}

// ---------------------------------------------------------------- cookies

// The Cookie of a Set-Cookie value: bytes, or str taken as Latin-1 the way
// get_headers returns it, so that every cookie reader sees the same
// headers.
PyObject *parse_set_cookie(PyObject *value)
{
    if (PyUnicode_Check(value)) {
        Ref raw = steal(PyUnicode_AsLatin1String(value));
        return raw ? g_state->cookies->parse_cookie(raw.get()) : nullptr;
    }
    if (!PyBytes_Check(value)) {
        vel::expected_type_error("bytes", value);
        return nullptr;
    }
    return g_state->cookies->parse_cookie(value);
}

PyObject *cookie_name(PyObject *cookie) { return reinterpret_cast<vel::cookies::CookieObject *>(cookie)->name; }

PyObject *get_cookies_impl(ResponseObject *self)
{
    Ref values = steal(t_get_headers(&self->base, g_state->b_set_cookie));
    Ref out = values ? steal(PyDict_New()) : Ref();
    if (!out || !vel::check_arg_exact(values.get(), &PyList_Type, "get_headers", false)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref cookie = steal(parse_set_cookie(PyList_GET_ITEM(values.get(), i)));
        if (!cookie || PyDict_SetItem(out.get(), cookie_name(cookie.get()), cookie.get()) < 0) {
            return nullptr;
        }
    }
    return out.release();
}

PyObject *get_cookies_prop(PyObject *self, void *) { return get_cookies_impl(RS(self)); }

// 1 when the Set-Cookie value names the cookie `name`, 0 when not, -1 on
// error; the parsed cookie goes to *out.
int names_cookie(PyObject *value, PyObject *name, Ref *out)
{
    *out = steal(parse_set_cookie(value));
    if (!*out) {
        return -1;
    }
    PyObject *have = cookie_name(out->get());
    return have == name ? 1 : PyUnicode_Check(have) ? PyUnicode_Compare(have, name) == 0 : 0;
}

PyObject *get_cookie_impl(ResponseObject *self, PyObject *name)
{
    if (!vel::check_arg(name, &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    Ref values = steal(t_get_headers(&self->base, g_state->b_set_cookie));
    if (!values || !vel::check_arg_exact(values.get(), &PyList_Type, "get_headers", false)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref cookie;
        int found = names_cookie(PyList_GET_ITEM(values.get(), i), name, &cookie);
        if (found != 0) {
            return found < 0 ? nullptr : cookie.release();
        }
    }
    return Py_NewRef(Py_None);
}

PyObject *set_cookie_impl(ResponseObject *self, PyObject *cookie)
{
    if (!vel::check_arg(cookie, g_state->cookies->cookie_type, "cookie", false) ||
        ensure_raw_headers(&self->base) < 0) {
        return nullptr;
    }
    Ref value = steal(g_state->cookies->write_cookie_for_response(cookie));
    Ref pair = value ? steal(PyTuple_Pack(2, g_state->b_set_cookie, value.get())) : Ref();
    Ref raw = borrow(self->base._raw_headers);  // ensured above; the write may run code
    if (!pair || !vel::check_arg_exact(raw.get(), &PyList_Type, "_raw_headers", false) ||
        PyList_Append(raw.get(), pair.get()) < 0) {
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

PyObject *set_cookies_impl(ResponseObject *self, PyObject *cookies)
{
    if (!vel::check_arg(cookies, &PyList_Type, "cookies", false)) {
        return nullptr;
    }
    Ref hold = borrow(cookies);
    // Re-read the size on each turn: an override may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cookies); ++i) {
        Ref item = borrow(PyList_GET_ITEM(cookies, i));
        Ref done = steal(PyObject_CallMethodOneArg(O(self), g_state->str_set_cookie, item.get()));
        if (!done) {
            return nullptr;
        }
    }
    return Py_NewRef(Py_None);
}

PyObject *unset_cookie_impl(ResponseObject *self, PyObject *name)
{
    if (!vel::check_arg(name, &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    State *st = g_state;
    Ref now = steal(PyObject_CallNoArgs(st->utcnow));
    Ref expires = now ? steal(PyNumber_Subtract(now.get(), st->year)) : Ref();
    PyObject *args[] = {name, st->str_empty, expires.get()};
    Ref cookie = expires ? steal(PyObject_Vectorcall(O(st->cookies->cookie_type), args, 3, nullptr)) : Ref();
    return cookie ? PyObject_CallMethodOneArg(O(self), st->str_set_cookie, cookie.get()) : nullptr;
}

PyObject *remove_cookie_impl(ResponseObject *self, PyObject *name)
{
    if (!vel::check_arg(name, &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    Ref tuples = steal(get_headers_tuples_impl(&self->base, g_state->b_set_cookie));
    Ref matching = tuples ? steal(PyList_New(0)) : Ref();
    if (!matching) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tuples.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(tuples.get(), i);
        Ref cookie;
        int found = PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2
                        ? names_cookie(PyTuple_GET_ITEM(pair, 1), name, &cookie)
                        : 0;
        if (found < 0 || (found > 0 && PyList_Append(matching.get(), pair) < 0)) {
            return nullptr;
        }
    }
    return remove_headers_impl(&self->base, matching.get()) < 0 ? nullptr : Py_NewRef(Py_None);
}

const Field F_RESP_STATE = {Field::ANY, RESP_FIELD(state), nullptr, nullptr};
const Field F_RESP_CONTEXT = {Field::ANY, RESP_FIELD(_context), nullptr, nullptr};

PyGetSetDef response_getset[] = {
    {"status", get_status, set_status, "The HTTP status code.", nullptr},
    {"state", field_get, field_set, nullptr, const_cast<Field *>(&F_RESP_STATE)},
    {"_context", field_get, field_set, nullptr, const_cast<Field *>(&F_RESP_CONTEXT)},
    {"reason", get_reason, nullptr, "The standard phrase of the status (empty for an unlisted status).", nullptr},
    {"cookies", get_cookies_prop, nullptr, "The cookies set by the response, by name (see get_cookies).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *kName[] = {"name"};
constexpr const char *kCookie[] = {"cookie"};
constexpr const char *kCookies[] = {"cookies"};
constexpr vel::Signature kGetCookie{"get_cookie", kName, 1, 1};
constexpr vel::Signature kSetCookie{"set_cookie", kCookie, 1, 1};
constexpr vel::Signature kSetCookies{"set_cookies", kCookies, 1, 1};
constexpr vel::Signature kUnsetCookie{"unset_cookie", kName, 1, 1};
constexpr vel::Signature kRemoveCookie{"remove_cookie", kName, 1, 1};

#define FASTCALL(impl, sig) VEL_METH((vel::fastcall_method<impl, sig>)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef response_methods[] = {
    {"is_redirect", vel::noargs_method<is_redirect_impl, vel::bool_result>, METH_NOARGS,
     "is_redirect($self)\n--\n\nWhether the status is 301, 302, 303, 307 or 308."},
    {"reset", vel::noargs_method<response_reset_impl>, METH_NOARGS,
     "reset($self)\n--\n\nClears the response for reuse."},
    {"get_cookies", vel::noargs_method<get_cookies_impl>, METH_NOARGS,
     "get_cookies($self)\n--\n\nA new dict of the cookies of the Set-Cookie headers by name; a later header "
     "wins."},
    {"get_cookie", FASTCALL(get_cookie_impl, kGetCookie),
     "get_cookie($self, name)\n--\n\nThe first cookie named `name` among the Set-Cookie headers, or None."},
    {"set_cookie", FASTCALL(set_cookie_impl, kSetCookie),
     "set_cookie($self, cookie)\n--\n\nAppends a Set-Cookie header for `cookie`; cookies of the same name are "
     "all kept."},
    {"set_cookies", FASTCALL(set_cookies_impl, kSetCookies),
     "set_cookies($self, cookies)\n--\n\nCalls set_cookie for each cookie of the list, in order."},
    {"unset_cookie", FASTCALL(unset_cookie_impl, kUnsetCookie),
     "unset_cookie($self, name)\n--\n\nSets an empty cookie `name` that expired a year ago."},
    {"remove_cookie", FASTCALL(remove_cookie_impl, kRemoveCookie),
     "remove_cookie($self, name)\n--\n\nRemoves the Set-Cookie headers of the cookie `name`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot response_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(response_new)},
    {Py_tp_init, reinterpret_cast<void *>(response_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(response_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(response_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(response_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(response_repr)},
    {Py_tp_getset, response_getset},
    {Py_tp_methods, response_methods},
    {Py_tp_doc, const_cast<char *>(
                    "Response(status, headers=None, content=None)\n--\n\n"
                    "An outgoing HTTP response.\n\n"
                    "A non-empty `headers` list is kept, not copied: later changes to it are the\n"
                    "response's, and the writers append the content headers to it, so pass a new\n"
                    "list for each response.  The module's shared STATIC_*_HEADERS lists are copied.")},
    {0, nullptr},
};

PyType_Spec response_spec = {
    "velmora.messages.Response", sizeof(PooledResponse), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, response_slots,
};

}  // namespace

int init_response_type(PyObject *module, State *st)
{
    st->Response_Type = add_subtype(module, &response_spec, st->Message_Type);
    return st->Response_Type != nullptr ? 0 : -1;
}

}  // namespace vel::messages
