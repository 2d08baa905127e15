// The ASGI side: content headers, the start message and the body message of
// a response whose body is sent whole.  The coroutine that sends them lives
// in velmora._scribe_async.
#include "scribe/scribe_internal.h"

#include <cstdio>

#include "vel/text.hpp"

namespace vel::scribe {

ResponseObject *response_arg(PyObject *obj, const char *name)
{
    if (!PyObject_TypeCheck(obj, g_state->messages->Response_Type)) {
        arg_type_error(name, "Response", obj);
        return nullptr;
    }
    return reinterpret_cast<ResponseObject *>(obj);
}

namespace {

// content.type and content.length, from the layout for Content objects.
bool content_type_and_length(PyObject *content, Ref &type, long long *length)
{
    if (PyObject_TypeCheck(content, g_state->contents->Content_Type)) {
        auto *c = reinterpret_cast<contents::ContentObject *>(content);
        type = borrow(c->type != nullptr ? c->type : Py_None);
        *length = c->length;
        return true;
    }
    type = steal(PyObject_GetAttr(content, g_state->s_type));
    Ref len = type ? steal(PyObject_GetAttr(content, g_state->s_length)) : Ref();
    if (!len) {
        return false;
    }
    *length = PyLong_AsLongLong(len.get());
    return !(*length == -1 && PyErr_Occurred());
}

// The shared bytes for a content type the companion knows, else the type.
PyObject *intern_ct_bytes(PyObject *ct)
{
    if (PyBytes_CheckExact(ct)) {
        PyObject *shared = get_interned_content_type_bytes(PyBytes_AS_STRING(ct), PyBytes_GET_SIZE(ct));
        if (shared != nullptr) {
            return Py_NewRef(shared);
        }
    }
    return Py_NewRef(ct);
}

inline PyObject *content_body(PyObject *content)
{
    PyObject *body = reinterpret_cast<contents::ContentObject *>(content)->body;
    return body != nullptr ? body : Py_None;
}

inline bool should_use_chunked_encoding(long long length) { return length < 0; }

int add(ResponseObject *response, PyObject *name, PyObject *value)
{
    return g_state->messages->message_methods->_add_header(&response->base, name, value);
}

}  // namespace

int set_headers_for_response_content(ResponseObject *response)
{
    Ref content = borrow(response->base.content != nullptr ? response->base.content : Py_None);
    Declared declared;
    scan_declared(response->base._raw_headers, &declared);
    bool framed = declared.content_length || declared.transfer_encoding;
    State *st = g_state;
    if (content.get() == Py_None) {
        return framed ? 0 : add(response, st->b_content_length, st->b_zero);
    }
    Ref type;
    long long length = 0;
    if (!content_type_and_length(content.get(), type, &length)) {
        return -1;
    }
    if (!declared.content_type) {
        int empty = type.get() == Py_None ? 1 : PyObject_Not(type.get());
        if (empty < 0) {
            return -1;
        }
        Ref value = steal(empty ? Py_NewRef(st->b_octet_stream) : intern_ct_bytes(type.get()));
        if (add(response, st->b_content_type, value.get()) < 0) {
            return -1;
        }
    }
    if (framed) {
        return 0;
    }
    if (should_use_chunked_encoding(length)) {
        return add(response, st->b_transfer_encoding, st->b_chunked);
    }
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lld", length);
    Ref value = steal(PyBytes_FromStringAndSize(digits, n));
    return value ? add(response, st->b_content_length, value.get()) : -1;
}

PyObject *body_bytes(PyObject *body)
{
    if (PyBytes_CheckExact(body)) {
        return Py_NewRef(body);
    }
    if (body == Py_None) {
        return Py_NewRef(g_state->b_empty);
    }
    if (PyUnicode_Check(body)) {
        return PyUnicode_AsUTF8String(body);
    }
    if (PyObject_CheckBuffer(body)) {
        return PyBytes_FromObject(body);
    }
    Ref text = steal(PyObject_Str(body));
    return text ? PyUnicode_AsUTF8String(text.get()) : nullptr;
}

namespace {

// The raw list itself when every name and value is bytes; else a new list
// of bytes pairs (str as Latin-1 with names lower-cased, bytes-likes
// copied, other objects through str()).  Either way no name or value may
// hold CR, LF or NUL.
PyObject *asgi_header_bytes(PyObject *item, bool is_name)
{
    Ref text;
    if (PyBytes_Check(item)) {
        text = borrow(item);
    } else if (PyObject_CheckBuffer(item) && !PyUnicode_Check(item)) {
        text = steal(PyBytes_FromObject(item));
    } else {
        Ref s = steal(PyUnicode_Check(item) ? Py_NewRef(item) : PyObject_Str(item));
        text = s ? steal(PyUnicode_AsLatin1String(s.get())) : Ref();
    }
    if (!text) {
        return nullptr;
    }
    return is_name ? lower_text(text.get(), g_state->s_lower) : text.release();
}

PyObject *asgi_headers(PyObject *raw)
{
    if (!PyList_Check(raw)) {
        PyErr_Format(PyExc_TypeError, "the raw header list must be a list, got %.200s", Py_TYPE(raw)->tp_name);
        return nullptr;
    }
    bool convert = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        PyObject *entry = PyList_GET_ITEM(raw, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) {
            convert = true;
            continue;
        }
        for (int k = 0; k < 2; ++k) {
            PyObject *part = PyTuple_GET_ITEM(entry, k);
            if (!PyBytes_CheckExact(part)) {
                convert = true;
            } else if (!check_header_bytes(PyBytes_AS_STRING(part), PyBytes_GET_SIZE(part), k == 0, part)) {
                return nullptr;
            }
        }
    }
    if (!convert) {
        return Py_NewRef(raw);
    }
    Ref result = steal(PyList_New(0));
    // str() of a name or value runs Python code: the list is re-read on
    // every step and each entry held while it is converted.
    for (Py_ssize_t i = 0; result && i < PyList_GET_SIZE(raw); ++i) {
        Ref entry = borrow(PyList_GET_ITEM(raw, i));
        Ref name, value;
        if (!unpack_pair(entry.get(), name, value)) {
            return nullptr;
        }
        Ref n = steal(asgi_header_bytes(name.get(), true));
        Ref v = n ? steal(asgi_header_bytes(value.get(), false)) : Ref();
        if (!v || !check_header_bytes(PyBytes_AS_STRING(n.get()), PyBytes_GET_SIZE(n.get()), true, n.get()) ||
            !check_header_bytes(PyBytes_AS_STRING(v.get()), PyBytes_GET_SIZE(v.get()), false, v.get())) {
            return nullptr;
        }
        Ref pair = steal(PyTuple_Pack(2, n.get(), v.get()));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject *body_message(PyObject *body, PyObject *more_body)
{
    State *st = g_state;
    Ref msg = steal(PyDict_New());
    if (!msg || PyDict_SetItem(msg.get(), st->s_type, st->s_body_type) < 0 ||
        PyDict_SetItem(msg.get(), st->s_body, body) < 0 ||
        (more_body != nullptr && PyDict_SetItem(msg.get(), st->s_more_body, more_body) < 0)) {
        return nullptr;
    }
    return msg.release();
}

// _asgi_messages(response) -> (start, body): the content headers appended,
// the start message, and the one body message when the body goes out
// whole (None when it is streamed or sliced).
PyObject *asgi_messages(PyObject *, PyObject *arg)
{
    ResponseObject *response = response_arg(arg, "response");
    if (response == nullptr || set_headers_for_response_content(response) < 0) {
        return nullptr;
    }
    State *st = g_state;
    Ref raw = borrow(response->base._raw_headers != nullptr ? response->base._raw_headers : Py_None);
    Ref headers = steal(asgi_headers(raw.get()));
    Ref status = headers ? steal(PyLong_FromLong(response->status)) : Ref();
    Ref start = status ? steal(PyDict_New()) : Ref();
    if (!start || PyDict_SetItem(start.get(), st->s_type, st->s_start) < 0 ||
        PyDict_SetItem(start.get(), st->s_status, status.get()) < 0 ||
        PyDict_SetItem(start.get(), st->s_headers, headers.get()) < 0) {
        return nullptr;
    }
    Ref content = borrow(response->base.content != nullptr ? response->base.content : Py_None);
    Ref body;
    if (content.get() == Py_None) {
        body = steal(body_message(st->b_empty, nullptr));
    } else {
        Ref type;
        long long length = 0;
        if (!content_type_and_length(content.get(), type, &length)) {
            return nullptr;
        }
        if (length < 0 || length > MAX_RESPONSE_CHUNK_SIZE ||
            PyObject_TypeCheck(content.get(), st->contents->StreamedContent_Type)) {
            body = borrow(Py_None);
        } else {
            Ref data = PyObject_TypeCheck(content.get(), st->contents->Content_Type)
                           ? borrow(content_body(content.get()))
                           : steal(PyObject_GetAttr(content.get(), st->s_body));
            Ref bytes = data ? steal(body_bytes(data.get())) : Ref();
            body = bytes ? steal(body_message(bytes.get(), Py_False)) : Ref();
        }
    }
    return body ? PyTuple_Pack(2, start.get(), body.get()) : nullptr;
}

PyObject *py_set_headers(PyObject *, PyObject *arg)
{
    ResponseObject *response = response_arg(arg, "message");
    return response != nullptr && set_headers_for_response_content(response) == 0 ? Py_NewRef(Py_None) : nullptr;
}

PyObject *py_body_bytes(PyObject *, PyObject *arg) { return body_bytes(arg); }

PyObject *py_write_response_cookie(PyObject *, PyObject *arg)
{
    if (!check_arg(arg, g_state->cookies->cookie_type, "cookie", false)) {
        return nullptr;
    }
    return g_state->cookies->write_cookie_for_response(arg);
}

}  // namespace

PyMethodDef asgi_functions[] = {
    {"set_headers_for_response_content", py_set_headers, METH_O,
     "set_headers_for_response_content(message, /)\n--\n\nAppends the content-type and the content-length "
     "(or transfer-encoding) headers that the response does not declare yet."},
    {"write_response_cookie", py_write_response_cookie, METH_O,
     "write_response_cookie(cookie, /)\n--\n\nThe value of a set-cookie header for the cookie."},
    {"_asgi_messages", asgi_messages, METH_O,
     "_asgi_messages(response, /)\n--\n\nAppends the content headers and returns the start message and "
     "the single body message (None when the body is streamed or sliced)."},
    {"_body_bytes", py_body_bytes, METH_O, "_body_bytes(body, /)\n--\n\nA fixed body as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::scribe
