// Message: the base type of Request and Response, its direct-call table and
// its Python methods; and the field helpers the three types share.
#include <Python.h>

#include <cstring>

#include "messages/header_key.h"
#include "messages/messages_internal.h"
#include "vel/args.hpp"
#include "vel/module.hpp"

namespace vel::messages {

// ---------------------------------------------------------------- fields

int not_deletable()
{
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

namespace {

inline PyObject **slot_at(PyObject *self, Py_ssize_t offset)
{
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
}

}  // namespace

PyObject *field_get(PyObject *self, void *closure)
{
    PyObject *value = *slot_at(self, static_cast<const Field *>(closure)->offset);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int field_set(PyObject *self, PyObject *value, void *closure)
{
    const auto *field = static_cast<const Field *>(closure);
    if (value == nullptr) {
        return not_deletable();
    }
    if (value != Py_None) {
        if (field->kind == Field::STR && !PyUnicode_CheckExact(value)) {
            return vel::expected_type_error("str", value) ? 0 : -1;
        }
        if (field->kind == Field::TYPED && !PyObject_TypeCheck(value, field->type())) {
            return vel::expected_type_error(field->type_name, value) ? 0 : -1;
        }
    }
    Py_XSETREF(*slot_at(self, field->offset), Py_NewRef(value));
    return 0;
}

void fields_to_none(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        *slot_at(self, offsets[i]) = Py_NewRef(Py_None);
    }
}

int fields_traverse(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n, visitproc visit, void *arg)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_VISIT(*slot_at(self, offsets[i]));
    }
    return 0;
}

void fields_release(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_CLEAR(*slot_at(self, offsets[i]));
    }
}

// Leaves None rather than NULL: a finaliser elsewhere in the same cycle
// may still use the object.
void fields_clear(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_XSETREF(*slot_at(self, offsets[i]), Py_NewRef(Py_None));
    }
}

#define MSG_FIELD(f) static_cast<Py_ssize_t>(offsetof(MessageObject, f))
const Py_ssize_t MESSAGE_FIELDS[] = {MSG_FIELD(_raw_headers), MSG_FIELD(_headers), MSG_FIELD(content),
                                     MSG_FIELD(scope_protocol), MSG_FIELD(_form_data), MSG_FIELD(context)};
const Py_ssize_t MESSAGE_FIELD_COUNT = sizeof MESSAGE_FIELDS / sizeof MESSAGE_FIELDS[0];

PyObject *not_implemented(const char *what)
{
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", what);
    return nullptr;
}

namespace {

// ---------------------------------------------------------------- native bodies

// The content when it is truthy (held in *out), 1/0/-1.  The truth test
// may run Python code that replaces the field, so callers use *out.
int truthy_content(MessageObject *self, Ref *out)
{
    PyObject *content = self->content;
    if (content == nullptr || content == Py_None) {
        return 0;
    }
    *out = borrow(content);
    return PyObject_IsTrue(content);
}

inline vel::contents::ContentObject *as_content(const Ref &content)
{
    return reinterpret_cast<vel::contents::ContentObject *>(content.get());
}

PyObject *content_type_impl(MessageObject *self)
{
    Ref content;
    int truth = truthy_content(self, &content);
    if (truth < 0) {
        return nullptr;
    }
    if (truth) {
        Ref type = borrow(as_content(content)->type);
        int given = type ? PyObject_IsTrue(type.get()) : 0;
        if (given != 0) {
            return given < 0 ? nullptr : type.release();
        }
    }
    return t_get_first_header(self, g_state->b_content_type);
}

// The text of `value` for the content-type test: Latin-1 bytes when it
// is bytes or a one-byte str (no object built), else str(value).lower().
struct LowerText {
    const unsigned char *data = nullptr;
    Py_ssize_t len = 0;
    bool latin1 = false;  // data still needs lower-casing byte by byte
    Ref owner;

    bool init(PyObject *value)
    {
        if (PyBytes_Check(value)) {
            data = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value));
            len = PyBytes_GET_SIZE(value);
            latin1 = true;
            return true;
        }
        Ref text = PyUnicode_Check(value) ? borrow(value) : steal(PyObject_Str(value));
        if (text && PyUnicode_KIND(text.get()) == PyUnicode_1BYTE_KIND) {
            owner = text;
            data = PyUnicode_1BYTE_DATA(text.get());
            len = PyUnicode_GET_LENGTH(text.get());
            latin1 = true;
            return true;
        }
        owner = text ? steal(PyObject_CallMethodNoArgs(text.get(), g_state->str_lower)) : Ref();
        return static_cast<bool>(owner);
    }
};

// Whether `needle` occurs in `hay`, both Latin-1 and compared lower-cased.
bool folded_contains(const LowerText &hay, const LowerText &needle)
{
    const auto &map = kLatin1Lower.map;
    for (Py_ssize_t i = 0; i + needle.len <= hay.len; ++i) {
        Py_ssize_t j = 0;
        while (j < needle.len && map[hay.data[i + j]] == map[needle.data[j]]) {
            ++j;
        }
        if (j == needle.len) {
            return true;
        }
    }
    return false;
}

int declares_content_type_impl(MessageObject *self, PyObject *type)
{
    Ref ct = steal(t_content_type(self));
    if (!ct) {
        return -1;
    }
    int truth = PyObject_IsTrue(ct.get());
    if (truth <= 0) {
        return truth;
    }
    LowerText hay;
    LowerText needle;
    if (!hay.init(ct.get()) || !needle.init(type)) {
        return -1;
    }
    if (hay.latin1 && needle.latin1) {
        return folded_contains(hay, needle);
    }
    // A wider string: str.lower() on both sides, then a substring test.
    Ref h = hay.latin1 ? steal(PyUnicode_DecodeLatin1(reinterpret_cast<const char *>(hay.data), hay.len, nullptr))
                       : hay.owner;
    Ref n = needle.latin1
                ? steal(PyUnicode_DecodeLatin1(reinterpret_cast<const char *>(needle.data), needle.len, nullptr))
                : needle.owner;
    if (hay.latin1 && h) {
        h = steal(PyObject_CallMethodNoArgs(h.get(), g_state->str_lower));
    }
    if (needle.latin1 && n) {
        n = steal(PyObject_CallMethodNoArgs(n.get(), g_state->str_lower));
    }
    return h && n ? PySequence_Contains(h.get(), n.get()) : -1;
}

int has_body_impl(MessageObject *self)
{
    Ref content;
    int truth = truthy_content(self, &content);
    return truth <= 0 ? truth : as_content(content)->length != 0;
}

PyObject *with_content_impl(MessageObject *self, PyObject *content)
{
    if (!vel::check_arg(content, g_state->contents->Content_Type, "content")) {
        return nullptr;
    }
    Py_XSETREF(self->content, Py_NewRef(content));
    return Py_NewRef(O(self));
}

int init_prop_impl(MessageObject *self, PyObject *name, PyObject *value)
{
    Ref current = steal(PyObject_GetAttr(O(self), name));
    if (current) {
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return PyObject_SetAttr(O(self), name, value);
}

// ---------------------------------------------------------------- table entries

int add_header_if_missing_impl(MessageObject *self, PyObject *key, PyObject *value)
{
    int present = has_header_impl(self, key);
    return present != 0 ? (present < 0 ? -1 : 0) : add_header_impl(self, key, value);
}

int set_header_impl(MessageObject *self, PyObject *key, PyObject *value)
{
    return t_remove_header(self, key) < 0 ? -1 : add_header_impl(self, key, value);
}

int declares_json_impl(MessageObject *self) { return declares_content_type_impl(self, g_state->b_json); }
int declares_xml_impl(MessageObject *self) { return declares_content_type_impl(self, g_state->b_xml); }

using vel::override_result_bool;

}  // namespace

PyObject *t_get_headers(MessageObject *self, PyObject *key)
{
    return entry<S_GET_HEADERS, get_headers_impl>(self, key);
}

PyObject *t_get_first_header(MessageObject *self, PyObject *key)
{
    return entry<S_GET_FIRST_HEADER, get_first_header_impl>(self, key);
}

int t_remove_header(MessageObject *self, PyObject *key)
{
    return entry<S_REMOVE_HEADER, remove_header_impl>(self, key);
}

int t_set_header(MessageObject *self, PyObject *key, PyObject *value)
{
    return entry<S_SET_HEADER, set_header_impl>(self, key, value);
}

PyObject *t_content_type(MessageObject *self)
{
    return entry<S_CONTENT_TYPE, content_type_impl>(self);
}

const MessageMethods MESSAGE_METHODS = {
    t_get_headers,
    t_get_first_header,
    entry<S_GET_SINGLE_HEADER, get_single_header_impl>,
    t_remove_header,
    has_header_impl,
    entry<S_HAS_HEADER, has_header_impl, override_result_bool>,
    add_header_impl,
    add_header_if_missing_impl,
    entry<S_ADD_HEADER, add_header_impl>,
    t_set_header,
    t_content_type,
    ensure_raw_headers,
    remove_headers_impl,
    get_headers_tuples_impl,
    init_prop_impl,
    entry<S_WITH_CONTENT, with_content_impl>,
    entry<S_HAS_BODY, has_body_impl, override_result_bool>,
    entry<S_DECLARES_CONTENT_TYPE, declares_content_type_impl, override_result_bool>,
    entry<S_DECLARES_JSON, declares_json_impl, override_result_bool>,
    entry<S_DECLARES_XML, declares_xml_impl, override_result_bool>,
};

namespace {

// ---------------------------------------------------------------- Python methods

constexpr const char *kKey[] = {"key"};
constexpr const char *kKeyValue[] = {"key", "value"};
constexpr const char *kContent[] = {"content"};
constexpr const char *kType[] = {"type"};
constexpr vel::Signature kGetHeaders{"get_headers", kKey, 1, 1};
constexpr vel::Signature kGetFirst{"get_first_header", kKey, 1, 1};
constexpr vel::Signature kGetSingle{"get_single_header", kKey, 1, 1};
constexpr vel::Signature kRemove{"remove_header", kKey, 1, 1};
constexpr vel::Signature kHas{"has_header", kKey, 1, 1};
constexpr vel::Signature kAdd{"add_header", kKeyValue, 2, 2};
constexpr vel::Signature kSet{"set_header", kKeyValue, 2, 2};
constexpr vel::Signature kWithContent{"with_content", kContent, 1, 1};
constexpr vel::Signature kDeclares{"declares_content_type", kType, 1, 1};

#define FASTCALL(impl, sig, ...) VEL_METH((vel::fastcall_method<impl, sig, ##__VA_ARGS__>)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef message_methods[] = {
    {"get_headers", FASTCALL(get_headers_impl, kGetHeaders),
     "get_headers($self, key)\n--\n\nThe values of every header named `key`, bytes for a bytes key, else str."},
    {"get_first_header", FASTCALL(get_first_header_impl, kGetFirst),
     "get_first_header($self, key)\n--\n\nThe value of the first header named `key`, or None."},
    {"get_single_header", FASTCALL(get_single_header_impl, kGetSingle),
     "get_single_header($self, key)\n--\n\nThe value of the only header named `key`; ValueError otherwise."},
    {"remove_header", FASTCALL(remove_header_impl, kRemove),
     "remove_header($self, key)\n--\n\nRemoves every header named `key`."},
    {"has_header", FASTCALL(has_header_impl, kHas, vel::bool_result),
     "has_header($self, key)\n--\n\nWhether a header named `key` is present."},
    {"add_header", FASTCALL(add_header_impl, kAdd),
     "add_header($self, key, value)\n--\n\nAppends a header."},
    {"set_header", FASTCALL(set_header_impl, kSet),
     "set_header($self, key, value)\n--\n\nReplaces every header named `key` with one, at the end."},
    {"content_type", vel::noargs_method<content_type_impl>, METH_NOARGS,
     "content_type($self)\n--\n\nThe content's type, else the Content-Type header (bytes or None)."},
    {"with_content", FASTCALL(with_content_impl, kWithContent),
     "with_content($self, content)\n--\n\nSets the content and returns the message."},
    {"has_body", vel::noargs_method<has_body_impl, vel::bool_result>, METH_NOARGS,
     "has_body($self)\n--\n\nWhether the content is set and its length is not zero."},
    {"declares_content_type", FASTCALL(declares_content_type_impl, kDeclares, vel::bool_result),
     "declares_content_type($self, type)\n--\n\nWhether the content type contains `type`, ignoring case."},
    {"declares_json", vel::noargs_method<declares_json_impl, vel::bool_result>, METH_NOARGS,
     "declares_json($self)\n--\n\nWhether the content type mentions json."},
    {"declares_xml", vel::noargs_method<declares_xml_impl, vel::bool_result>, METH_NOARGS,
     "declares_xml($self)\n--\n\nWhether the content type mentions xml."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- properties

PyObject *get_headers_view(PyObject *self, void *)
{
    MessageObject *m = M(self);
    if (m->_headers != nullptr && m->_headers != Py_None) {
        return Py_NewRef(m->_headers);
    }
    if (ensure_raw_headers(m) < 0) {
        return nullptr;
    }
    PyObject *view =
        PyObject_CallOneArg(reinterpret_cast<PyObject *>(g_state->headers->Headers_Type), m->_raw_headers);
    if (view == nullptr) {
        return nullptr;
    }
    Py_XSETREF(m->_headers, view);
    return Py_NewRef(view);
}

PyObject *empty_view() { return PyMemoryView_FromObject(g_state->b_empty); }

PyObject *get_body_buffer(PyObject *self, void *)
{
    Ref content;
    int truth = truthy_content(M(self), &content);
    if (truth <= 0) {
        return truth < 0 ? nullptr : empty_view();
    }
    Ref buffer;
    int found = get_optional_attr(content.get(), g_state->str_body_buffer, buffer.out());
    if (found != 0) {
        return found < 0 ? nullptr : buffer.release();
    }
    return empty_view();
}

PyObject *get_charset(PyObject *self, void *)
{
    Ref ct = steal(t_content_type(M(self)));
    int truth = ct ? PyObject_IsTrue(ct.get()) : -1;
    if (truth < 0) {
        return nullptr;
    }
    if (truth) {
        Ref name = steal(parse_charset(ct.get()));
        if (!name) {
            return nullptr;
        }
        if (name.get() != Py_None && PyUnicode_GET_LENGTH(name.get()) > 0) {
            return name.release();
        }
    }
    return Py_NewRef(g_state->str_utf8);
}

PyTypeObject *headers_type() { return g_state->headers->Headers_Type; }
PyTypeObject *content_type_of_state() { return g_state->contents->Content_Type; }

const Field F_HEADERS = {Field::TYPED, MSG_FIELD(_headers), headers_type, "Headers"};
const Field F_CONTENT = {Field::TYPED, MSG_FIELD(content), content_type_of_state, "Content"};
const Field F_SCOPE_PROTOCOL = {Field::ANY, MSG_FIELD(scope_protocol), nullptr, nullptr};
const Field F_FORM_DATA = {Field::ANY, MSG_FIELD(_form_data), nullptr, nullptr};
const Field F_CONTEXT = {Field::ANY, MSG_FIELD(context), nullptr, nullptr};

#define FIELD_DEF(name, f, doc) {name, field_get, field_set, doc, const_cast<Field *>(&f)}

PyGetSetDef message_getset[] = {
    FIELD_DEF("_headers", F_HEADERS, "The Headers view once built (Headers or None)."),
    FIELD_DEF("content", F_CONTENT, "The body (Content or None)."),
    FIELD_DEF("scope_protocol", F_SCOPE_PROTOCOL, "The RSGI protocol object the body is read from, or None."),
    FIELD_DEF("_form_data", F_FORM_DATA, "The parsed multipart form, once read."),
    FIELD_DEF("context", F_CONTEXT, "Free slot for the framework and the application."),
    {"headers", get_headers_view, nullptr, "The headers as a Headers view sharing the message's list.", nullptr},
    {"body_buffer", get_body_buffer, nullptr,
     "Returns a memoryview over the body buffer, supporting zero-copy operations.", nullptr},
    {"charset", get_charset, nullptr, "The charset named by the content type, else \"utf8\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- type

PyObject *message_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return alloc_message(type);
}

const char *const MESSAGE_ARGS[] = {"headers"};
const vel::Signature MESSAGE_SIG = {"Message", MESSAGE_ARGS, 1, 1};

int message_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *headers;
    if (!vel::parse_tuple_dict(MESSAGE_SIG, args, kwargs, &headers) ||
        !vel::check_arg_exact(headers, &PyList_Type, "headers")) {
        return -1;
    }
    PyObject *raw = copy_header_list(headers);
    if (raw == nullptr) {
        return -1;
    }
    Py_XSETREF(M(self)->_raw_headers, raw);
    return 0;
}

int message_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return fields_traverse(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT, visit, arg);
}

int message_clear(PyObject *self)
{
    fields_clear(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT);
    return 0;
}

PyType_Slot message_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(message_new)},
    {Py_tp_init, reinterpret_cast<void *>(message_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(message_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(message_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(message_clear)},
    {Py_tp_getset, message_getset},
    {Py_tp_methods, message_methods},
    {Py_tp_members, vel::weakref_members<MessageObject>},
    {Py_tp_doc, const_cast<char *>("Message(headers)\n--\n\nAn HTTP message: a raw header list and a content.")},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "velmora.messages.Message", sizeof(MessageObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, message_slots,
};

}  // namespace

// ---------------------------------------------------------------- shared with the subtypes

PyObject *alloc_message(PyTypeObject *type)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        fields_to_none(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT);
    }
    return self;
}

void message_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (M(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    fields_release(self, MESSAGE_FIELDS, MESSAGE_FIELD_COUNT);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// parse_charset(value): the charset=... parameter of a bytes content type,
// as str, or None.  Only exact bytes (or None, which fails in the search).
PyObject *parse_charset(PyObject *value)
{
    if (value != Py_None && !PyBytes_CheckExact(value)) {
        vel::arg_type_error("value", "bytes", value);
        return nullptr;
    }
    if (value == Py_None) {
        return PyObject_CallMethodOneArg(g_state->charset_rx, g_state->str_search, value);
    }
    // rb"charset=([\w\-]+)" with IGNORECASE: the first "charset=" followed
    // by at least one word character or hyphen.
    const char *s = PyBytes_AS_STRING(value);
    Py_ssize_t n = PyBytes_GET_SIZE(value);
    static const char needle[] = "charset=";
    constexpr Py_ssize_t k = sizeof needle - 1;
    for (Py_ssize_t i = 0; i + k < n; ++i) {
        Py_ssize_t j = 0;
        while (j < k && ascii_lower(static_cast<unsigned char>(s[i + j])) == needle[j]) {
            ++j;
        }
        if (j < k) {
            continue;
        }
        Py_ssize_t end = i + k;
        while (end < n && (Py_ISALNUM(static_cast<unsigned char>(s[end])) || s[end] == '_' || s[end] == '-')) {
            ++end;
        }
        if (end > i + k) {
            return PyUnicode_DecodeASCII(s + i + k, end - i - k, "strict");
        }
    }
    Py_RETURN_NONE;
}

int init_message_type(PyObject *module, State *st)
{
    st->Message_Type = vel::add_type(module, &message_spec);
    return st->Message_Type != nullptr ? 0 : -1;
}

}  // namespace vel::messages
