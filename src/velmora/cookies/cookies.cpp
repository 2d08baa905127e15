// velmora.cookies: the Cookie value type, CookieSameSiteMode, the cookie
// exceptions and the module, with its table for the sibling modules.  The
// text work (dates, the Set-Cookie writer and parser) is in cookie_text.cpp.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <new>

#include "cookies/cookies_internal.h"
#include "vel/args.hpp"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"
#include "vel/ref.hpp"

namespace vel::cookies {

State *g_state = nullptr;

namespace {

using vel::Ref;
using vel::steal;
using vel::borrow;

constexpr const char TOO_LONG_MESSAGE[] =
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be "
    "ignored or truncated by clients. See: https://datatracker.ietf.org/doc/html/rfc6265#section-6.1";

CookieObject *as_cookie(PyObject *self) { return reinterpret_cast<CookieObject *>(self); }

// ------------------------------------------------------------ exceptions

const char *const ERROR_ARGS[] = {"message"};
const vel::Signature ERROR_SIG = {"CookieError", ERROR_ARGS, 1, 1};

int cookie_error_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *message;
    if (!vel::parse_tuple_dict(ERROR_SIG, args, kwargs, &message) ||
        !vel::check_arg(message, &PyUnicode_Type, "message")) {
        return -1;
    }
    return vel::init_exception(self, message);
}

const vel::Signature TOO_LONG_SIG = {"CookieValueExceedsMaximumLength", nullptr, 0, 0};

int too_long_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    if (!vel::parse_tuple_dict(TOO_LONG_SIG, args, kwargs, nullptr)) {
        return -1;
    }
    return vel::init_exception(self, g_state->too_long_message);
}

PyType_Slot cookie_error_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(cookie_error_init)},
    {Py_tp_doc, const_cast<char *>("A cookie that cannot be built or written.")},
    {0, nullptr},
};

// The GC flag, traverse and clear come from Exception; the dealloc of a
// heap type (which releases the type) is given to both exceptions.
PyType_Spec cookie_error_spec = {
    "velmora.cookies.CookieError", 0, 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, cookie_error_slots,
};

PyType_Slot too_long_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(too_long_init)},
    {Py_tp_doc, const_cast<char *>("A cookie value longer than 4096 bytes in UTF-8.")},
    {0, nullptr},
};

PyType_Spec too_long_spec = {
    "velmora.cookies.CookieValueExceedsMaximumLength", 0, 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, too_long_slots,
};

// ------------------------------------------------------ field checks

int not_deletable()
{
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// str or None for name, value, domain and path; a datetime or None for
// expires (constructor arguments).
bool check_text_arg(PyObject *v, const char *name)
{
    return v == Py_None || PyUnicode_Check(v) || vel::arg_type_error(name, "str", v);
}

bool check_expires_arg(PyObject *v)
{
    return vel::check_arg(v, reinterpret_cast<PyTypeObject *>(g_state->datetime_type), "expires");
}

// int(x) for the integer fields: floats are truncated; objects with
// neither __index__ nor __int__ (str included) are refused.
PyObject *as_integer(PyObject *v)
{
    if (PyLong_Check(v)) {
        return Py_NewRef(v);
    }
    PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
    if (nb == nullptr || (nb->nb_index == nullptr && nb->nb_int == nullptr)) {
        PyErr_Format(PyExc_TypeError, "an integer is required, got %.200s", Py_TYPE(v)->tp_name);
        return nullptr;
    }
    return PyNumber_Long(v);
}

bool to_max_age(PyObject *v, int64_t *out) { return take_max_age(as_integer(v), out); }

bool to_same_site(PyObject *v, uint32_t *out)
{
    Ref number = steal(as_integer(v));
    if (!number) {
        return false;
    }
    unsigned long value = PyLong_AsUnsignedLong(number.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return false;
    }
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to a 32-bit SameSite mode");
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// What the UTF-8 encoding of `text` would take, surrogates counted as
// three bytes, so that the check itself never fails on them.
Py_ssize_t utf8_length(PyObject *text)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return n;
    }
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        total += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return total;
}

int set_name(CookieObject *self, PyObject *v)
{
    if (v == nullptr) {
        return not_deletable();
    }
    int truth = PyUnicode_Check(v) ? PyUnicode_GET_LENGTH(v) != 0 : PyObject_IsTrue(v);
    if (truth < 0) {
        return -1;
    }
    if (!truth) {
        PyErr_SetString(PyExc_ValueError, "A cookie name is required");
        return -1;
    }
    if (!PyUnicode_Check(v)) {
        vel::expected_type_error("str", v);
        return -1;
    }
    Py_SETREF(self->name, Py_NewRef(v));
    return 0;
}

int set_value(CookieObject *self, PyObject *v)
{
    if (v == nullptr) {
        return not_deletable();
    }
    if (v != Py_None && !PyUnicode_Check(v)) {
        vel::expected_type_error("str", v);
        return -1;
    }
    // At most four bytes a character: short values need no counting.
    if (v != Py_None && PyUnicode_GET_LENGTH(v) > MAX_VALUE_BYTES / 4 && utf8_length(v) > MAX_VALUE_BYTES) {
        PyErr_SetNone(g_state->value_too_long);
        return -1;
    }
    Py_SETREF(self->value, Py_NewRef(v));
    return 0;
}

// Stores the fields once every argument has been converted.
int setup(CookieObject *self, PyObject *name, PyObject *value, PyObject *expires, PyObject *domain,
          PyObject *path, int http_only, int secure, int64_t max_age, uint32_t same_site)
{
    if (set_name(self, name) < 0 || set_value(self, value) < 0) {
        return -1;
    }
    Py_SETREF(self->expires, Py_NewRef(expires));
    Py_SETREF(self->domain, Py_NewRef(domain));
    Py_SETREF(self->path, Py_NewRef(path));
    self->http_only = http_only;
    self->secure = secure;
    self->max_age = max_age;
    self->same_site = same_site;
    return 0;
}

// ----------------------------------------------------------- Cookie

PyObject *cookie_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        CookieObject *c = as_cookie(self);
        c->name = Py_NewRef(g_state->empty_str);
        c->value = Py_NewRef(Py_None);
        c->expires = Py_NewRef(Py_None);
        c->domain = Py_NewRef(Py_None);
        c->path = Py_NewRef(Py_None);
        c->max_age = -1;
    }
    return self;
}

const char *const COOKIE_ARGS[] = {"name", "value", "expires", "domain", "path",
                                   "http_only", "secure", "max_age", "same_site"};
const vel::Signature COOKIE_SIG = {"Cookie", COOKIE_ARGS, 9, 2};

int cookie_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[9];
    if (!vel::parse_tuple_dict(COOKIE_SIG, args, kwargs, a)) {
        return -1;
    }
    PyObject *expires = a[2] ? a[2] : Py_None;
    PyObject *domain = a[3] ? a[3] : Py_None;
    PyObject *path = a[4] ? a[4] : Py_None;
    if (!check_text_arg(a[0], "name") || !check_text_arg(a[1], "value") || !check_expires_arg(expires) ||
        !check_text_arg(domain, "domain") || !check_text_arg(path, "path")) {
        return -1;
    }
    int http_only = a[5] ? PyObject_IsTrue(a[5]) : 0;
    int secure = http_only >= 0 && a[6] ? PyObject_IsTrue(a[6]) : 0;
    int64_t max_age = -1;
    uint32_t same_site = 0;
    if (http_only < 0 || secure < 0 || (a[7] && !to_max_age(a[7], &max_age)) ||
        (a[8] && !to_same_site(a[8], &same_site))) {
        return -1;
    }
    return setup(as_cookie(self), a[0], a[1], expires, domain, path, http_only, secure, max_age, same_site);
}

using CookieFields = vel::Fields<&CookieObject::name, &CookieObject::value, &CookieObject::expires,
                                  &CookieObject::domain, &CookieObject::path>;

PyObject *clone_impl(CookieObject *self)
{
    // Held: allocating the copy may collect garbage, and a finaliser may
    // assign new values to the fields.
    Ref name = borrow(self->name), value = borrow(self->value), expires = borrow(self->expires),
        domain = borrow(self->domain), path = borrow(self->path);
    return cookie_create(name.get(), value.get(), expires.get(), domain.get(), path.get(), self->http_only,
                         self->secure, self->max_age, self->same_site);
}

// == against the value as str, the value as UTF-8 bytes, or another
// cookie's name and value.
// The operands are held while they are compared: their __eq__ may assign
// new names and values to either cookie.
int cookie_equals(CookieObject *self, PyObject *other)
{
    Ref value = borrow(self->value);
    if (PyUnicode_Check(other)) {
        return PyObject_RichCompareBool(other, value.get(), Py_EQ);
    }
    if (PyBytes_Check(other)) {
        Ref text = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(other), PyBytes_GET_SIZE(other), "strict"));
        return text ? PyObject_RichCompareBool(text.get(), value.get(), Py_EQ) : -1;
    }
    CookieObject *o = as_cookie(other);
    Ref name = borrow(self->name), other_name = borrow(o->name), other_value = borrow(o->value);
    int same_name = PyObject_RichCompareBool(other_name.get(), name.get(), Py_EQ);
    return same_name <= 0 ? same_name : PyObject_RichCompareBool(other_value.get(), value.get(), Py_EQ);
}

PyObject *cookie_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) ||
        !(PyUnicode_Check(other) || PyBytes_Check(other) || PyObject_TypeCheck(other, g_state->cookie_type))) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int eq = cookie_equals(as_cookie(self), other);
    return eq < 0 ? nullptr : PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

// Only the first three characters of the value: cookie values are often
// secrets and reprs end up in logs.
PyObject *cookie_repr(PyObject *self)
{
    CookieObject *c = as_cookie(self);
    Ref name = borrow(c->name);  // str() of a str subclass may rename the cookie
    if (!PyUnicode_Check(c->value)) {
        return PyUnicode_FromFormat("<Cookie %S: None...>", name.get());
    }
    Ref head = steal(PyUnicode_Substring(c->value, 0, 3));
    return head ? PyUnicode_FromFormat("<Cookie %S: %U...>", name.get(), head.get()) : nullptr;
}

// ---- properties

int put_name(PyObject *self, PyObject *v, void *) { return set_name(as_cookie(self), v); }
int put_value(PyObject *self, PyObject *v, void *) { return set_value(as_cookie(self), v); }

// expires, domain and path: a typed value or None; deleting gives None.
PyObject **optional_field(PyObject *self, void *which)
{
    CookieObject *c = as_cookie(self);
    switch (reinterpret_cast<intptr_t>(which)) {
    case 0: return &c->expires;
    case 1: return &c->domain;
    default: return &c->path;
    }
}

int put_optional(PyObject *self, PyObject *v, void *which)
{
    if (v == nullptr) {
        v = Py_None;
    }
    PyTypeObject *type = which == nullptr ? reinterpret_cast<PyTypeObject *>(g_state->datetime_type)
                                          : &PyUnicode_Type;
    if (!vel::check_value(v, type)) {
        return -1;
    }
    Py_SETREF(*optional_field(self, which), Py_NewRef(v));
    return 0;
}

PyObject *get_http_only(PyObject *self, void *) { return PyBool_FromLong(as_cookie(self)->http_only); }
PyObject *get_secure(PyObject *self, void *) { return PyBool_FromLong(as_cookie(self)->secure); }

int put_flag(int *field, PyObject *v)
{
    if (v == nullptr) {
        return not_deletable();
    }
    int truth = PyObject_IsTrue(v);
    if (truth >= 0) {
        *field = truth;
    }
    return truth < 0 ? -1 : 0;
}

int put_http_only(PyObject *self, PyObject *v, void *) { return put_flag(&as_cookie(self)->http_only, v); }
int put_secure(PyObject *self, PyObject *v, void *) { return put_flag(&as_cookie(self)->secure, v); }

PyObject *get_max_age(PyObject *self, void *) { return PyLong_FromLongLong(as_cookie(self)->max_age); }

int put_max_age(PyObject *self, PyObject *v, void *)
{
    return v == nullptr ? not_deletable() : to_max_age(v, &as_cookie(self)->max_age) ? 0 : -1;
}

// A stored mode outside the enumeration reads back as a plain int.
PyObject *get_same_site(PyObject *self, void *)
{
    uint32_t mode = as_cookie(self)->same_site;
    return mode < 4 ? Py_NewRef(g_state->same_site_members[mode]) : PyLong_FromUnsignedLong(mode);
}

int put_same_site(PyObject *self, PyObject *v, void *)
{
    return v == nullptr ? not_deletable() : to_same_site(v, &as_cookie(self)->same_site) ? 0 : -1;
}

PyGetSetDef cookie_getset[] = {
    {"name", vel::get_field<&CookieObject::name>, put_name, "The cookie name (a non-empty str).", nullptr},
    {"value", vel::get_field<&CookieObject::value>, put_value, "The cookie value, unencoded (str or None).", nullptr},
    {"expires", vel::get_field<&CookieObject::expires>, put_optional, "Expiry instant (datetime or None).", reinterpret_cast<void *>(0)},
    {"domain", vel::get_field<&CookieObject::domain>, put_optional, "Domain attribute (str or None).", reinterpret_cast<void *>(1)},
    {"path", vel::get_field<&CookieObject::path>, put_optional, "Path attribute (str or None).", reinterpret_cast<void *>(2)},
    {"http_only", get_http_only, put_http_only, "HttpOnly flag.", nullptr},
    {"secure", get_secure, put_secure, "Secure flag.", nullptr},
    {"max_age", get_max_age, put_max_age, "Max-Age in seconds; negative means absent.", nullptr},
    {"same_site", get_same_site, put_same_site, "SameSite mode (CookieSameSiteMode).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cookie_methods[] = {
    {"clone", vel::noargs_method<clone_impl>, METH_NOARGS, "A new Cookie with the same fields (the expiry is shared)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cookie_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(cookie_new)},
    {Py_tp_init, reinterpret_cast<void *>(cookie_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(CookieFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CookieFields::traverse)},
    // Breaking a cycle leaves None in the fields rather than NULL: another
    // object's finaliser in the same cycle may still read or write the cookie.
    {Py_tp_clear, reinterpret_cast<void *>(CookieFields::clear_to_none)},
    {Py_tp_richcompare, reinterpret_cast<void *>(cookie_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void *>(cookie_repr)},
    {Py_tp_getset, cookie_getset},
    {Py_tp_methods, cookie_methods},
    {Py_tp_members, vel::weakref_members<CookieObject>},
    {Py_tp_doc, const_cast<char *>("Cookie(name, value, expires=None, domain=None, path=None, http_only=False, "
                                   "secure=False, max_age=-1, same_site=CookieSameSiteMode.UNDEFINED)")},
    {0, nullptr},
};

PyType_Spec cookie_spec = {
    "velmora.cookies.Cookie", sizeof(CookieObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, cookie_slots,
};

// ---------------------------------------------------- module functions

constexpr const char *VALUE_ARG[] = {"value"};
constexpr const char *RAW_VALUE_ARG[] = {"raw_value"};
constexpr const char *COOKIE_ARG[] = {"cookie"};
constexpr vel::Signature TO_FORMAT_SIG = {"datetime_to_cookie_format", VALUE_ARG, 1, 1};
constexpr vel::Signature FROM_FORMAT_SIG = {"datetime_from_cookie_format", VALUE_ARG, 1, 1};
constexpr vel::Signature PARSE_SIG = {"parse_cookie", RAW_VALUE_ARG, 1, 1};
constexpr vel::Signature WRITE_SIG = {"write_cookie_for_response", COOKIE_ARG, 1, 1};
constexpr int FASTCALL_KW = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_methods[] = {
    {"datetime_to_cookie_format", VEL_METH((vel::fastcall_function<datetime_to_cookie_format, TO_FORMAT_SIG>)),
     FASTCALL_KW,
     "datetime_to_cookie_format(value: datetime) -> bytes in the form \"Wdy, DD Mon YYYY HH:MM:SS GMT\"."},
    {"datetime_from_cookie_format",
     VEL_METH((vel::fastcall_function<datetime_from_cookie_format, FROM_FORMAT_SIG>)), FASTCALL_KW,
     "datetime_from_cookie_format(value: bytes) -> naive datetime in UTC."},
    {"parse_cookie", VEL_METH((vel::fastcall_function<parse_cookie, PARSE_SIG>)), FASTCALL_KW,
     "parse_cookie(raw_value: bytes) -> Cookie from a Set-Cookie value."},
    {"write_cookie_for_response", VEL_METH((vel::fastcall_function<write_cookie_for_response, WRITE_SIG>)),
     FASTCALL_KW,
     "write_cookie_for_response(cookie: Cookie) -> the Set-Cookie header value as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

// -------------------------------------------------------------- module

vel::OverrideSlot &clone_slot() { return g_state->clone_slot; }

// The method-table entry: a subclass's clone() wins.
const CookieMethods COOKIE_METHODS = {vel::overridable<clone_slot, clone_impl>};
CAPI capi_table;

// CookieSameSiteMode as a real IntEnum, named as if defined here.
PyObject *make_same_site_enum()
{
    Ref int_enum = steal(vel::import_attr("enum", "IntEnum"));
    Ref members = steal(Py_BuildValue("((si)(si)(si)(si))", "UNDEFINED", 0, "LAX", 1, "STRICT", 2, "NONE", 3));
    Ref name = steal(PyUnicode_FromString("CookieSameSiteMode"));
    Ref kwargs = steal(Py_BuildValue("{ss}", "module", "velmora.cookies"));
    if (!int_enum || !members || !name || !kwargs) {
        return nullptr;
    }
    Ref args = steal(PyTuple_Pack(2, name.get(), members.get()));
    return args ? PyObject_Call(int_enum.get(), args.get(), kwargs.get()) : nullptr;
}

int add_ref(PyObject *module, const char *name, PyObject *obj)
{
    return obj == nullptr ? -1 : PyModule_AddObjectRef(module, name, obj);
}

int load_imports(State *st)
{
    st->parsedate_to_datetime = vel::import_attr("email.utils", "parsedate_to_datetime");
    st->datetime_type = st->parsedate_to_datetime ? vel::import_attr("datetime", "datetime") : nullptr;
    st->empty_str = PyUnicode_FromStringAndSize(nullptr, 0);
    st->str_utcoffset = vel::intern("utcoffset");
    st->too_long_message = PyUnicode_FromString(TOO_LONG_MESSAGE);
    return st->datetime_type && st->empty_str && st->str_utcoffset && st->too_long_message ? 0 : -1;
}

int load_types(PyObject *module, State *st)
{
    st->cookie_error = reinterpret_cast<PyObject *>(vel::add_type(module, &cookie_error_spec, PyExc_Exception));
    st->value_too_long = st->cookie_error
                             ? reinterpret_cast<PyObject *>(vel::add_type(module, &too_long_spec, st->cookie_error))
                             : nullptr;
    st->cookie_type = st->value_too_long ? vel::add_type(module, &cookie_spec) : nullptr;
    st->same_site_enum = st->cookie_type ? make_same_site_enum() : nullptr;
    if (add_ref(module, "CookieSameSiteMode", st->same_site_enum) < 0) {
        return -1;
    }
    for (long i = 0; i < 4; ++i) {
        Ref number = steal(PyLong_FromLong(i));
        st->same_site_members[i] = number ? PyObject_CallOneArg(st->same_site_enum, number.get()) : nullptr;
        if (st->same_site_members[i] == nullptr) {
            return -1;
        }
    }
    return st->clone_slot.init(st->cookie_type, "clone");
}

int publish(PyObject *module, State *st)
{
    capi_table = CAPI{
        vel::capi_header<CAPI>(CAPI_VERSION),
        st->cookie_type,
        st->same_site_enum,
        st->cookie_error,
        st->value_too_long,
        &COOKIE_METHODS,
        datetime_from_cookie_format,
        datetime_to_cookie_format,
        split_value,
        write_cookie_for_response,
        same_site_mode_from_bytes,
        parse_cookie,
    };
    return vel::publish_capi(module, CAPI_NAME, &capi_table.header);
}

int cookies_exec(PyObject *module)
{
    State *st = vel::init_state<State>(module, &g_state);
    if (st == nullptr || init_text() < 0 || load_imports(st) < 0 || load_types(module, st) < 0) {
        return -1;
    }
    return publish(module, st);
}

PyModuleDef_Slot cookies_slots[] = {VEL_MODULE_SLOTS(cookies_exec)};

PyModuleDef cookies_module = vel::module_def<State, &g_state>(
    "velmora.cookies", "Cookie, CookieSameSiteMode, the Set-Cookie writer and parser, and cookie dates.",
    module_methods, cookies_slots);

}  // namespace

PyObject *cookie_create(PyObject *name, PyObject *value, PyObject *expires, PyObject *domain, PyObject *path,
                        int http_only, int secure, int64_t max_age, uint32_t same_site)
{
    PyTypeObject *type = g_state->cookie_type;
    Ref self = steal(cookie_new(type, nullptr, nullptr));
    if (!self || setup(self.as<CookieObject>(), name, value, expires, domain, path, http_only, secure, max_age,
                       same_site) < 0) {
        return nullptr;
    }
    return self.release();
}

}  // namespace vel::cookies

PyMODINIT_FUNC PyInit_cookies(void) { return PyModuleDef_Init(&vel::cookies::cookies_module); }
