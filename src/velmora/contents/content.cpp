// Content and the contents whose body is known when they are built
// (TextContent, HTMLContent, JSONContent, FormContent), StreamedContent and
// MultiPartFormData, whose body is produced while it is sent, and dispose.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <random>

#include "contents/contents_internal.h"
#include "vel/args.hpp"
#include "vel/ref.hpp"

namespace vel::contents {

namespace {

ContentObject *as_content(PyObject *self) { return reinterpret_cast<ContentObject *>(self); }

// Byte length of a body: bytes-like and str bodies have one (str counted
// in UTF-8), None is empty, anything else is open (-1).  -2 on error.
int64_t body_length(PyObject *body)
{
    if (PyBytes_CheckExact(body)) {
        return PyBytes_GET_SIZE(body);
    }
    if (body == Py_None) {
        return 0;
    }
    if (PyUnicode_Check(body)) {
        Py_ssize_t size;
        return PyUnicode_AsUTF8AndSize(body, &size) != nullptr ? size : -2;
    }
    if (PyByteArray_Check(body)) {
        return PyByteArray_GET_SIZE(body);
    }
    if (PyObject_CheckBuffer(body)) {
        Py_buffer view;
        if (PyObject_GetBuffer(body, &view, PyBUF_SIMPLE) < 0) {
            return -2;
        }
        int64_t n = view.len;
        PyBuffer_Release(&view);
        return n;
    }
    return -1;
}

// Stores the fields of a fixed body; steals nothing.
int set_fixed(ContentObject *self, PyObject *type, PyObject *body)
{
    int64_t length = body_length(body);
    if (length == -2) {
        return -1;
    }
    PyObject *old_type = self->type;
    PyObject *old_body = self->body;
    self->type = Py_NewRef(type);
    self->body = Py_NewRef(body);
    self->length = length;
    Py_XDECREF(old_type);
    Py_XDECREF(old_body);
    return 0;
}

// As set_fixed, consuming `body` (NULL: a failed conversion).
int take_fixed(ContentObject *self, PyObject *type, PyObject *body)
{
    if (body == nullptr) {
        return -1;
    }
    int rc = set_fixed(self, type, body);
    Py_DECREF(body);
    return rc;
}

PyObject *content_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        ContentObject *c = as_content(self);
        c->type = Py_NewRef(Py_None);
        c->body = Py_NewRef(Py_None);
        c->length = -1;
    }
    return self;
}

const char *const CONTENT_ARGS[] = {"content_type", "body"};
const Signature CONTENT_SIG = {"Content", CONTENT_ARGS, 2, 2};

int content_setup(PyObject *self, PyObject **argv)
{
    return check_bytes_arg(argv[0], "content_type") ? set_fixed(as_content(self), argv[0], argv[1]) : -1;
}

// TextContent(text) and HTMLContent(html): UTF-8 of a str.
template <const Signature &Sig, PyObject *State::*MediaType>
int text_setup(PyObject *self, PyObject **argv)
{
    if (!check_arg(argv[0], &PyUnicode_Type, Sig.names[0], false)) {
        return -1;
    }
    return take_fixed(as_content(self), g_state->*MediaType, PyUnicode_AsUTF8String(argv[0]));
}

const char *const TEXT_ARGS[] = {"text"};
const char *const HTML_ARGS[] = {"html"};
const Signature TEXT_SIG = {"TextContent", TEXT_ARGS, 1, 1};
const Signature HTML_SIG = {"HTMLContent", HTML_ARGS, 1, 1};

const char *const JSON_ARGS[] = {"data", "dumps"};
const Signature JSON_SIG = {"JSONContent", JSON_ARGS, 2, 1};

int json_setup(PyObject *self, PyObject **argv)
{
    return take_fixed(as_content(self), g_state->ct_json, json_bytes(argv[0], argv[1]));
}

using ContentNew = Constructor<CONTENT_SIG, 2, content_setup>;
using TextNew = Constructor<TEXT_SIG, 1, text_setup<TEXT_SIG, &State::ct_text>>;
using HTMLNew = Constructor<HTML_SIG, 1, text_setup<HTML_SIG, &State::ct_html>>;
using JSONNew = Constructor<JSON_SIG, 2, json_setup>;

const char *const FORM_ARGS[] = {"data"};
const Signature FORM_SIG = {"FormContent", FORM_ARGS, 1, 1};

// The fields of a mapping or of a sequence of pairs, URL-encoded; a list
// or tuple value gives the key once per item.
int form_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *data;
    if (!parse_tuple_dict(FORM_SIG, args, kwargs, &data)) {
        return -1;
    }
    Ref text = steal(PyObject_CallFunctionObjArgs(g_state->urlencode, data, Py_True, nullptr));
    if (!text) {
        return -1;
    }
    return take_fixed(as_content(self), g_state->ct_form, PyUnicode_AsASCIIString(text.get()));
}

// ------------------------------------------------------------ getters

PyObject *get_body_buffer(PyObject *self, void *)
{
    Ref body = borrow(as_content(self)->body);  // a buffer export may run Python code
    if (!body || body.get() == Py_None) {
        return PyMemoryView_FromObject(g_state->empty_bytes);
    }
    if (PyObject_CheckBuffer(body.get())) {
        return PyMemoryView_FromObject(body.get());
    }
    if (PyUnicode_Check(body.get())) {
        Ref encoded = steal(PyUnicode_AsUTF8String(body.get()));
        return encoded ? PyMemoryView_FromObject(encoded.get()) : nullptr;
    }
    PyErr_Format(PyExc_AttributeError, "a %.200s body offers no buffer", Py_TYPE(body.get())->tp_name);
    return nullptr;
}

PyObject *content_repr(PyObject *self)
{
    Ref name = steal(PyType_GetName(Py_TYPE(self)));
    ContentObject *c = as_content(self);
    return name ? PyUnicode_FromFormat("<%U type=%R length=%lld>", name.get(), c->type ? c->type : Py_None,
                                       static_cast<long long>(c->length))
                : nullptr;
}

PyGetSetDef content_getset[] = {
    {"type", get_field<&ContentObject::type>, nullptr, "The media type (bytes or None).", nullptr},
    {"body", get_field<&ContentObject::body>, nullptr, "The body, or None while it is not known.", nullptr},
    {"body_buffer", get_body_buffer, nullptr, "A memoryview over the body.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef content_members[] = {
    {"length", T_LONGLONG, offsetof(ContentObject, length), READONLY,
     "Body length in bytes; negative while it is open."},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ContentObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef content_methods[] = {
    {"dispose", noargs_method<content_dispose>, METH_NOARGS,
     "Releases what the content holds; safe to call more than once. A fixed body is kept."},
    {nullptr, nullptr, 0, nullptr},
};

using ContentFields = Fields<&ContentObject::type, &ContentObject::body>;

PyType_Slot content_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(content_tp_new)},
    {Py_tp_init, reinterpret_cast<void *>(ContentNew::init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ContentFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(ContentFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(ContentFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(content_repr)},
    {Py_tp_getset, content_getset},
    {Py_tp_members, content_members},
    {Py_tp_methods, content_methods},
    {Py_tp_doc, const_cast<char *>("Content(content_type, body)\n--\n\n"
                                   "A message body with its media type.")},
    {0, nullptr},
};

// The subclasses with a fixed body only bring their constructor.
#define VEL_FIXED_SLOTS(init, doc)                                   \
    {                                                                \
        {Py_tp_init, reinterpret_cast<void *>(init)},                \
        {Py_tp_traverse, reinterpret_cast<void *>(ContentFields::traverse)}, \
        {Py_tp_clear, reinterpret_cast<void *>(ContentFields::clear)}, \
        {Py_tp_doc, const_cast<char *>(doc)}, {0, nullptr},          \
    }

PyType_Slot text_slots[] = VEL_FIXED_SLOTS(TextNew::init,
                                           "TextContent(text)\n--\n\nA text/plain body in UTF-8.");
PyType_Slot html_slots[] = VEL_FIXED_SLOTS(HTMLNew::init,
                                           "HTMLContent(html)\n--\n\nA text/html body in UTF-8.");
PyType_Slot json_slots[] = VEL_FIXED_SLOTS(
    JSONNew::init, "JSONContent(data, dumps=None)\n--\n\n"
               "An application/json body: compact msgspec encoding, or `dumps` (or the one of the JSON "
               "settings) when given.");
PyType_Slot form_slots[] = VEL_FIXED_SLOTS(
    form_init, "FormContent(data)\n--\n\nAn application/x-www-form-urlencoded body from a mapping or pairs.");

// ------------------------------------------------------ StreamedContent

StreamedContentObject *as_streamed(PyObject *self) { return reinterpret_cast<StreamedContentObject *>(self); }

PyObject *streamed_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyObject *self = content_tp_new(type, args, kwargs);
    if (self != nullptr) {
        StreamedContentObject *s = as_streamed(self);
        s->generator = Py_NewRef(Py_None);
        s->file_path = Py_NewRef(Py_None);
        s->file_range = Py_NewRef(Py_None);
    }
    return self;
}

const char *const STREAMED_ARGS[] = {"content_type", "data_provider", "data_length", "file_path", "file_range"};
const Signature STREAMED_SIG = {"StreamedContent", STREAMED_ARGS, 5, 2};

bool check_provider(PyObject *provider, const char *name)
{
    return PyCallable_Check(provider) || arg_type_error(name, "callable", provider);
}

// None, or a str path (os.PathLike objects give theirs).
PyObject *as_file_path(PyObject *value)
{
    if (value == nullptr || value == Py_None || PyUnicode_CheckExact(value)) {
        return Py_NewRef(value != nullptr ? value : Py_None);
    }
    Ref path = steal(PyOS_FSPath(value));
    if (path && !PyUnicode_Check(path.get())) {
        arg_type_error("file_path", "str", value);
        return nullptr;
    }
    return path.release();
}

// None, or a (start, end) tuple of two ints.
PyObject *as_file_range(PyObject *value)
{
    if (value == nullptr || value == Py_None) {
        return Py_NewRef(Py_None);
    }
    Ref items = steal(PySequence_Tuple(value));
    if (!items || PyTuple_GET_SIZE(items.get()) != 2) {
        if (items || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "file_range must be a (start, end) pair of ints");
        }
        return nullptr;
    }
    Ref start = steal(PyNumber_Index(PyTuple_GET_ITEM(items.get(), 0)));
    Ref end = start ? steal(PyNumber_Index(PyTuple_GET_ITEM(items.get(), 1))) : Ref();
    return end ? PyTuple_Pack(2, start.get(), end.get()) : nullptr;
}

int set_streamed(StreamedContentObject *self, PyObject *type, PyObject *provider, int64_t length,
                 PyObject *file_path, PyObject *file_range)
{
    Ref path = steal(as_file_path(file_path));
    Ref range = path ? steal(as_file_range(file_range)) : Ref();
    if (!range) {
        return -1;
    }
    ContentObject *c = &self->base;
    Py_XSETREF(c->type, Py_NewRef(type));
    Py_XSETREF(c->body, Py_NewRef(Py_None));
    c->length = length;
    Py_XSETREF(self->generator, Py_NewRef(provider));
    Py_XSETREF(self->file_path, path.release());
    Py_XSETREF(self->file_range, range.release());
    return 0;
}

int streamed_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *argv[5];
    if (PyTuple_GET_SIZE(args) > 3) {
        PyErr_Format(PyExc_TypeError, "StreamedContent() takes at most 3 positional arguments (%zd given)",
                     PyTuple_GET_SIZE(args));
        return -1;
    }
    if (!parse_tuple_dict(STREAMED_SIG, args, kwargs, argv) || !check_bytes_arg(argv[0], "content_type") ||
        !check_provider(argv[1], "data_provider")) {
        return -1;
    }
    long long length = -1;
    if (argv[2] != nullptr) {
        length = PyLong_AsLongLong(argv[2]);
        if (length == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    return set_streamed(as_streamed(self), argv[0], argv[1], length, argv[3], argv[4]);
}

// get_parts() and stream(): what the data provider returns, an
// asynchronous iterable of bytes.
PyObject *streamed_parts(PyObject *self, PyObject *)
{
    PyObject *provider = as_streamed(self)->generator;
    if (provider == nullptr || provider == Py_None) {
        PyErr_SetString(PyExc_TypeError, "this content has no data provider");
        return nullptr;
    }
    Ref keep = borrow(provider);
    return PyObject_CallNoArgs(provider);
}

PyGetSetDef streamed_getset[] = {
    {"generator", get_field<&StreamedContentObject::generator>, nullptr,
     "The callable whose call returns an asynchronous iterable of bytes.", nullptr},
    {"file_path", get_field<&StreamedContentObject::file_path>, nullptr,
     "A file a server may send instead of calling the provider (str or None).", nullptr},
    {"file_range", get_field<&StreamedContentObject::file_range>, nullptr,
     "The (start, end) range of the file to send, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef streamed_methods[] = {
    {"get_parts", streamed_parts, METH_NOARGS, "The asynchronous iterable of the body's bytes parts."},
    {"stream", streamed_parts, METH_NOARGS, "The asynchronous iterable of the body's bytes parts."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr size_t WEAK = offsetof(ContentObject, weakreflist);

using StreamedFields =
    OffsetFields<offsetof(StreamedContentObject, base.type), offsetof(StreamedContentObject, base.body),
                 offsetof(StreamedContentObject, generator), offsetof(StreamedContentObject, file_path),
                 offsetof(StreamedContentObject, file_range)>;

PyType_Slot streamed_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(streamed_tp_new)},
    {Py_tp_init, reinterpret_cast<void *>(streamed_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(StreamedFields::dealloc<WEAK>)},
    {Py_tp_traverse, reinterpret_cast<void *>(StreamedFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(StreamedFields::clear)},
    {Py_tp_getset, streamed_getset},
    {Py_tp_methods, streamed_methods},
    {Py_tp_doc, const_cast<char *>(
                    "StreamedContent(content_type, data_provider, data_length=-1, *, file_path=None, "
                    "file_range=None)\n--\n\n"
                    "A body produced while it is sent: data_provider() returns an asynchronous iterable "
                    "of bytes.")},
    {0, nullptr},
};

// ---------------------------------------------------- MultiPartFormData

MultiPartFormDataObject *as_multipart(PyObject *self) { return reinterpret_cast<MultiPartFormDataObject *>(self); }

// 32 random hexadecimal digits.
PyObject *new_boundary()
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::random_device random;
    char text[32];
    for (int i = 0; i < 32; i += 8) {
        uint32_t bits = random();
        for (int j = 0; j < 8; ++j) {
            text[i + j] = HEX[(bits >> (4 * j)) & 15];
        }
    }
    return PyBytes_FromStringAndSize(text, sizeof text);
}

const char *const MULTIPART_ARGS[] = {"parts"};
const Signature MULTIPART_SIG = {"MultiPartFormData", MULTIPART_ARGS, 1, 1};

int multipart_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *arg;
    if (!parse_tuple_dict(MULTIPART_SIG, args, kwargs, &arg)) {
        return -1;
    }
    Ref parts = steal(PySequence_List(arg));
    Ref boundary = parts ? steal(new_boundary()) : Ref();
    Ref type = boundary ? steal(PyBytes_FromFormat("multipart/form-data; boundary=%s",
                                                   PyBytes_AS_STRING(boundary.get())))
                        : Ref();
    Ref provider = type ? steal(PyObject_CallFunctionObjArgs(g_state->multipart_provider, parts.get(),
                                                             boundary.get(), nullptr))
                        : Ref();
    if (!provider || set_streamed(as_streamed(self), type.get(), provider.get(), -1, nullptr, nullptr) < 0) {
        return -1;
    }
    MultiPartFormDataObject *m = as_multipart(self);
    Py_XSETREF(m->parts, parts.release());
    Py_XSETREF(m->boundary, boundary.release());
    return 0;
}

PyGetSetDef multipart_getset[] = {
    {"parts", get_field<&MultiPartFormDataObject::parts>, nullptr, "The list of parts written.", nullptr},
    {"boundary", get_field<&MultiPartFormDataObject::boundary>, nullptr, "The boundary (bytes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using MultipartFields =
    OffsetFields<offsetof(MultiPartFormDataObject, base.base.type), offsetof(MultiPartFormDataObject, base.base.body),
                 offsetof(MultiPartFormDataObject, base.generator), offsetof(MultiPartFormDataObject, base.file_path),
                 offsetof(MultiPartFormDataObject, base.file_range), offsetof(MultiPartFormDataObject, parts),
                 offsetof(MultiPartFormDataObject, boundary)>;

PyType_Slot multipart_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(multipart_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(MultipartFields::dealloc<WEAK>)},
    {Py_tp_traverse, reinterpret_cast<void *>(MultipartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(MultipartFields::clear)},
    {Py_tp_getset, multipart_getset},
    {Py_tp_doc, const_cast<char *>("MultiPartFormData(parts)\n--\n\n"
                                   "A multipart/form-data body written from FormPart objects.")},
    {0, nullptr},
};

}  // namespace

bool check_bytes_arg(PyObject *value, const char *name)
{
    return value == Py_None || PyBytes_Check(value) || arg_type_error(name, "bytes", value);
}

// Only the request body readers hold anything to release; a fixed body
// stays, so that one content object can serve several responses.
int content_dispose(ContentObject *self)
{
    if (PyObject_TypeCheck(self, type_of(T_ASGI)) || PyObject_TypeCheck(self, type_of(T_RSGI))) {
        return body_reader_dispose(reinterpret_cast<BodyReaderObject *>(self));
    }
    return 0;
}

void set_content_vectorcalls(PyTypeObject **types)
{
    types[T_CONTENT]->tp_vectorcall = ContentNew::vectorcall;
    types[T_TEXT]->tp_vectorcall = TextNew::vectorcall;
    types[T_HTML]->tp_vectorcall = HTMLNew::vectorcall;
    types[T_JSON]->tp_vectorcall = JSONNew::vectorcall;
}

PyObject *content_new(PyObject *content_type, PyObject *body)
{
    if (!check_bytes_arg(content_type, "content_type")) {
        return nullptr;
    }
    PyTypeObject *tp = type_of(T_CONTENT);
    Ref self = steal(content_tp_new(tp, nullptr, nullptr));
    return self && set_fixed(self.as<ContentObject>(), content_type, body) == 0 ? self.release() : nullptr;
}

PyObject *text_content_new(PyObject *text)
{
    if (!check_arg(text, &PyUnicode_Type, "text", false)) {
        return nullptr;
    }
    PyTypeObject *tp = type_of(T_TEXT);
    Ref self = steal(content_tp_new(tp, nullptr, nullptr));
    return self && take_fixed(self.as<ContentObject>(), g_state->ct_text, PyUnicode_AsUTF8String(text)) == 0
               ? self.release()
               : nullptr;
}

PyType_Spec content_spec = {"velmora.contents.Content", sizeof(ContentObject), 0, TYPE_FLAGS, content_slots};
PyType_Spec text_spec = {"velmora.contents.TextContent", sizeof(ContentObject), 0, TYPE_FLAGS, text_slots};
PyType_Spec html_spec = {"velmora.contents.HTMLContent", sizeof(ContentObject), 0, TYPE_FLAGS, html_slots};
PyType_Spec json_spec = {"velmora.contents.JSONContent", sizeof(ContentObject), 0, TYPE_FLAGS, json_slots};
PyType_Spec form_spec = {"velmora.contents.FormContent", sizeof(ContentObject), 0, TYPE_FLAGS, form_slots};
PyType_Spec streamed_spec = {"velmora.contents.StreamedContent", sizeof(StreamedContentObject), 0, TYPE_FLAGS,
                             streamed_slots};
PyType_Spec multipart_spec = {"velmora.contents.MultiPartFormData", sizeof(MultiPartFormDataObject), 0,
                              TYPE_FLAGS, multipart_slots};

}  // namespace vel::contents
