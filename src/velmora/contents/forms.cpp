// Form data: FormPart and its two variants for writing multipart bodies
// (FileBuffer, StreamedFormPart), the URL-encoded form parser and the
// simplification of parsed multipart data.
#include <Python.h>
#include <structmember.h>

#include <cstddef>

#include "contents/contents_internal.h"
#include "vel/args.hpp"
#include "vel/ref.hpp"
#include "vel/text.hpp"

namespace vel::contents {

namespace {

FormPartObject *as_part(PyObject *self) { return reinterpret_cast<FormPartObject *>(self); }

PyObject *part_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        FormPartObject *p = as_part(self);
        for (PyObject **field : {&p->name, &p->data, &p->file_name, &p->content_type, &p->charset}) {
            *field = Py_NewRef(Py_None);
        }
        p->size = -1;
    }
    return self;
}

bool is_bytes_like(PyObject *v) { return PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v); }

// Stores the fields; `size` NULL or None: the length of a bytes-like data.
int set_part(FormPartObject *self, PyObject *name, PyObject *data, PyObject *file_name, PyObject *content_type,
             PyObject *size, PyObject *charset)
{
    long long n = -1;
    if (size != nullptr && size != Py_None) {
        n = PyLong_AsLongLong(size);
        if (n == -1 && PyErr_Occurred()) {
            return -1;
        }
    } else if (is_bytes_like(data)) {
        n = PyObject_Length(data);
        if (n < 0) {
            return -1;
        }
    }
    PyObject *values[5] = {name, data, file_name, content_type, charset};
    PyObject **fields[5] = {&self->name, &self->data, &self->file_name, &self->content_type, &self->charset};
    PyObject *old[5];
    for (int i = 0; i < 5; ++i) {
        old[i] = *fields[i];
        *fields[i] = Py_NewRef(values[i] != nullptr ? values[i] : Py_None);
    }
    self->size = n;
    for (PyObject *o : old) {
        Py_XDECREF(o);
    }
    return 0;
}

bool no_positional(const char *function, PyObject *args, Py_ssize_t allowed)
{
    if (PyTuple_GET_SIZE(args) <= allowed) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s (%zd given)", function, allowed,
                 allowed == 1 ? "" : "s", PyTuple_GET_SIZE(args));
    return false;
}

const char *const PART_ARGS[] = {"name", "data", "file_name", "content_type", "size", "charset"};
const Signature PART_SIG = {"FormPart", PART_ARGS, 6, 2};

int part_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *argv[6];
    if (!no_positional("FormPart", args, 0) || !parse_tuple_dict(PART_SIG, args, kwargs, argv)) {
        return -1;
    }
    return set_part(as_part(self), argv[0], argv[1], argv[2], argv[3], argv[4], argv[5]);
}

const char *const FILE_BUFFER_ARGS[] = {"name", "file", "file_name", "content_type", "charset"};
const Signature FILE_BUFFER_SIG = {"FileBuffer", FILE_BUFFER_ARGS, 5, 2};

int file_buffer_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *argv[5];
    if (!no_positional("FileBuffer", args, 2) || !parse_tuple_dict(FILE_BUFFER_SIG, args, kwargs, argv)) {
        return -1;
    }
    return set_part(as_part(self), argv[0], argv[1], argv[2], argv[3], nullptr, argv[4]);
}

StreamedFormPartObject *as_streamed_part(PyObject *self) { return reinterpret_cast<StreamedFormPartObject *>(self); }

const char *const STREAMED_PART_ARGS[] = {"name", "data_provider", "file_name", "content_type", "charset"};
const Signature STREAMED_PART_SIG = {"StreamedFormPart", STREAMED_PART_ARGS, 5, 2};

int streamed_part_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *argv[5];
    if (!no_positional("StreamedFormPart", args, 2) || !parse_tuple_dict(STREAMED_PART_SIG, args, kwargs, argv)) {
        return -1;
    }
    if (!PyCallable_Check(argv[1])) {
        arg_type_error("data_provider", "callable", argv[1]);
        return -1;
    }
    if (set_part(as_part(self), argv[0], Py_None, argv[2], argv[3], nullptr, argv[4]) < 0) {
        return -1;
    }
    Py_XSETREF(as_streamed_part(self)->generator, Py_NewRef(argv[1]));
    return 0;
}

PyObject *streamed_part_stream(PyObject *self, PyObject *)
{
    Ref provider = borrow(as_streamed_part(self)->generator);
    if (!provider) {
        PyErr_SetString(PyExc_TypeError, "this part has no data provider");
        return nullptr;
    }
    return PyObject_CallNoArgs(provider.get());
}

// `file`: the data when it is a file object (not bytes-like, str or None).
PyObject *get_file(PyObject *self, void *)
{
    PyObject *data = as_part(self)->data;
    bool plain = data == nullptr || data == Py_None || is_bytes_like(data) || PyUnicode_Check(data);
    return Py_NewRef(plain ? Py_None : data);
}

PyObject *part_repr(PyObject *self)
{
    FormPartObject *p = as_part(self);
    Ref type_name = steal(PyType_GetName(Py_TYPE(self)));
    Ref name = borrow(p->name), file_name = borrow(p->file_name), content_type = borrow(p->content_type);
    return type_name ? PyUnicode_FromFormat("<%U name=%R file_name=%R content_type=%R size=%lld>", type_name.get(),
                                            name.get(), file_name.get(), content_type.get(),
                                            static_cast<long long>(p->size))
                     : nullptr;
}

PyGetSetDef part_getset[] = {
    {"name", get_field<&FormPartObject::name>, nullptr, "The part's name.", nullptr},
    {"data", get_field<&FormPartObject::data>, nullptr, "bytes, or a binary file holding the data.", nullptr},
    {"file_name", get_field<&FormPartObject::file_name>, nullptr, "The file name, or None for a field.", nullptr},
    {"content_type", get_field<&FormPartObject::content_type>, nullptr, "The part's media type, or None.", nullptr},
    {"charset", get_field<&FormPartObject::charset>, nullptr, "The part's charset, or None.", nullptr},
    {"file", get_file, nullptr, "The file holding the data, or None when the data is not a file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef part_members[] = {
    {"size", T_LONGLONG, offsetof(FormPartObject, size), READONLY, "Byte count of the data; -1 when unknown."},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FormPartObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

using PartFields = Fields<&FormPartObject::name, &FormPartObject::data, &FormPartObject::file_name,
                          &FormPartObject::content_type, &FormPartObject::charset>;

PyType_Slot part_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(part_tp_new)},
    {Py_tp_init, reinterpret_cast<void *>(part_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PartFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(PartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(PartFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(part_repr)},
    {Py_tp_getset, part_getset},
    {Py_tp_members, part_members},
    {Py_tp_doc, const_cast<char *>("FormPart(*, name, data, file_name=None, content_type=None, size=None, "
                                   "charset=None)\n--\n\nOne part of a multipart form.")},
    {0, nullptr},
};

PyType_Slot file_buffer_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(file_buffer_init)},
    {Py_tp_traverse, reinterpret_cast<void *>(PartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(PartFields::clear)},
    {Py_tp_doc, const_cast<char *>("FileBuffer(name, file, *, file_name=None, content_type=None, charset=None)"
                                   "\n--\n\nA part whose data is read from a binary file when the form is "
                                   "written.")},
    {0, nullptr},
};

using StreamedPartFields =
    OffsetFields<offsetof(StreamedFormPartObject, base.name), offsetof(StreamedFormPartObject, base.data),
                 offsetof(StreamedFormPartObject, base.file_name), offsetof(StreamedFormPartObject, base.content_type),
                 offsetof(StreamedFormPartObject, base.charset), offsetof(StreamedFormPartObject, generator)>;

PyGetSetDef streamed_part_getset[] = {
    {"generator", get_field<&StreamedFormPartObject::generator>, nullptr,
     "The callable whose call returns an asynchronous iterable of bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef streamed_part_methods[] = {
    {"stream", streamed_part_stream, METH_NOARGS, "The asynchronous iterable of the part's bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot streamed_part_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(streamed_part_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(StreamedPartFields::dealloc<offsetof(FormPartObject, weakreflist)>)},
    {Py_tp_traverse, reinterpret_cast<void *>(StreamedPartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(StreamedPartFields::clear)},
    {Py_tp_getset, streamed_part_getset},
    {Py_tp_methods, streamed_part_methods},
    {Py_tp_doc, const_cast<char *>("StreamedFormPart(name, data_provider, *, file_name=None, content_type=None, "
                                   "charset=None)\n--\n\nA part whose data_provider() returns an asynchronous "
                                   "iterable of bytes.")},
    {0, nullptr},
};

// ------------------------------------------------- URL-encoded forms

// One key or value: "+" is a space, then percent-escapes are decoded as
// urllib's unquote does (UTF-8, invalid sequences replaced, a "%" without
// two hexadecimal digits kept).
PyObject *decode_component(PyObject *text, Py_ssize_t start, Py_ssize_t end)
{
    Ref part = steal(PyUnicode_Substring(text, start, end));
    if (!part) {
        return nullptr;
    }
    Py_ssize_t plus = PyUnicode_FindChar(part.get(), '+', 0, end - start, 1);
    if (plus == -2) {
        return nullptr;
    }
    if (plus >= 0) {
        Ref from = steal(PyUnicode_FromOrdinal('+'));
        Ref to = from ? steal(PyUnicode_FromOrdinal(' ')) : Ref();
        part = to ? steal(PyUnicode_Replace(part.get(), from.get(), to.get(), -1)) : Ref();
        if (!part) {
            return nullptr;
        }
    }
    return unquote_str(part.get());
}

// Adds one value: a second value makes a list, later ones are appended.
int add_value(PyObject *result, PyObject *key, PyObject *value)
{
    PyObject *present = PyDict_GetItemWithError(result, key);  // borrowed; keys are str
    if (present == nullptr) {
        return PyErr_Occurred() ? -1 : PyDict_SetItem(result, key, value);
    }
    if (PyList_CheckExact(present)) {
        return PyList_Append(present, value);
    }
    Ref pair = steal(PyList_New(2));
    if (!pair) {
        return -1;
    }
    PyList_SET_ITEM(pair.get(), 0, Py_NewRef(present));
    PyList_SET_ITEM(pair.get(), 1, Py_NewRef(value));
    return PyDict_SetItem(result, key, pair.get());
}

// ----------------------------------------------- multipart simplification

// The charset to decode a field with: the part's, else UTF-8.
Ref charset_of(FormPartObject *part)
{
    PyObject *charset = part->charset;
    if (charset != nullptr && PyBytes_Check(charset) && PyBytes_GET_SIZE(charset) > 0) {
        return steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(charset), PyBytes_GET_SIZE(charset), "replace"));
    }
    if (charset != nullptr && PyUnicode_Check(charset) && PyUnicode_GET_LENGTH(charset) > 0) {
        return borrow(charset);
    }
    return steal(PyUnicode_FromString("utf-8"));
}

// The bytes of a field part: its data, or the content of its file (read
// from the start; the position is put back to the start afterwards).
PyObject *field_bytes(PyObject *data)
{
    if (PyBytes_Check(data)) {
        return Py_NewRef(data);
    }
    if (data == Py_None) {
        return Py_NewRef(g_state->empty_bytes);
    }
    if (is_bytes_like(data)) {
        return PyBytes_FromObject(data);
    }
    Ref zero = steal(PyLong_FromLong(0));
    Ref moved = zero ? steal(PyObject_CallMethodOneArg(data, g_state->str_seek, zero.get())) : Ref();
    Ref content = moved ? steal(PyObject_CallMethodNoArgs(data, g_state->str_read)) : Ref();
    Ref back = content ? steal(PyObject_CallMethodOneArg(data, g_state->str_seek, zero.get())) : Ref();
    if (!back) {
        return nullptr;
    }
    if (!PyBytes_Check(content.get())) {
        PyErr_Format(PyExc_TypeError, "a form part's file gave %.200s, expected bytes",
                     Py_TYPE(content.get())->tp_name);
        return nullptr;
    }
    return content.release();
}

// A field part as str; file parts and other values stay as they are.
PyObject *simplify_item(PyObject *item)
{
    if (!PyObject_TypeCheck(item, type_of(T_FORM_PART))) {
        return Py_NewRef(item);
    }
    FormPartObject *part = as_part(item);
    Ref keep = borrow(item);
    Ref file_name = borrow(part->file_name);
    int is_file = file_name ? PyObject_IsTrue(file_name.get()) : 0;
    if (is_file != 0) {
        return is_file < 0 ? nullptr : Py_NewRef(item);
    }
    Ref data = borrow(part->data);
    Ref raw = steal(field_bytes(data ? data.get() : Py_None));
    Ref charset = raw ? charset_of(part) : Ref();
    const char *encoding = charset ? PyUnicode_AsUTF8(charset.get()) : nullptr;
    if (encoding == nullptr) {
        return nullptr;
    }
    PyObject *text = PyUnicode_Decode(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), encoding, "replace");
    if (text == nullptr && PyErr_ExceptionMatches(PyExc_LookupError)) {  // a charset Python does not know
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace");
    }
    return text;
}

PyObject *simplify_value(PyObject *value)
{
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        return simplify_item(value);
    }
    Ref items = steal(PySequence_List(value));  // a copy: decoding may run Python code
    if (!items) {
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (n == 1) {
        return simplify_item(PyList_GET_ITEM(items.get(), 0));
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *simple = simplify_item(PyList_GET_ITEM(items.get(), i));
        if (simple == nullptr) {
            return nullptr;
        }
        PyList_SetItem(items.get(), i, simple);
    }
    return items.release();
}

// ------------------------------------------------- module functions

constexpr const char *TEXT_ARG[] = {"text"};
constexpr const char *DATA_ARG[] = {"data"};
constexpr Signature PARSE_SIG = {"parse_www_form_urlencoded", TEXT_ARG, 1, 1};
constexpr Signature SIMPLIFY_SIG = {"simplify_multipart_data", DATA_ARG, 1, 1};

}  // namespace

PyObject *parse_www_form_urlencoded(PyObject *text)
{
    if (!PyUnicode_Check(text)) {
        arg_type_error("text", "str", text);
        return nullptr;
    }
    Ref keep = borrow(text);
    Ref result = steal(PyDict_New());
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (result && start < n) {
        Py_ssize_t end = start, eq = -1;
        for (; end < n; ++end) {
            Py_UCS4 c = PyUnicode_READ(kind, data, end);
            if (c == '&') {
                break;
            }
            if (c == '=' && eq < 0) {
                eq = end;
            }
        }
        if (end > start) {
            Ref key = steal(decode_component(text, start, eq >= 0 ? eq : end));
            Ref value = key ? steal(eq >= 0 ? decode_component(text, eq + 1, end) : PyUnicode_FromStringAndSize("", 0))
                            : Ref();
            if (!value || add_value(result.get(), key.get(), value.get()) < 0) {
                return nullptr;
            }
        }
        start = end + 1;
    }
    return result.release();
}

PyObject *simplify_multipart_data(PyObject *data)
{
    Ref items = steal(PyMapping_Items(data));
    Ref result = items ? steal(PyDict_New()) : Ref();
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() must give (key, value) pairs");
            return nullptr;
        }
        PyObject *key = PyTuple_GET_ITEM(pair, 0);
        Ref name = PyBytes_Check(key)
                       ? steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "replace"))
                       : borrow(key);
        Ref value = name ? steal(simplify_value(PyTuple_GET_ITEM(pair, 1))) : Ref();
        if (!value || PyDict_SetItem(result.get(), name.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyMethodDef form_functions[] = {
    {"parse_www_form_urlencoded", VEL_METH((fastcall_function<parse_www_form_urlencoded, PARSE_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_www_form_urlencoded(text)\n--\n\n"
     "The fields of an application/x-www-form-urlencoded text: a str for a key given once, a list of str for a "
     "repeated key."},
    {"simplify_multipart_data", VEL_METH((fastcall_function<simplify_multipart_data, SIMPLIFY_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "simplify_multipart_data(data)\n--\n\n"
     "Parsed multipart data with single field parts as str, repeated ones as lists and file parts as FormPart."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Spec form_part_spec = {"velmora.contents.FormPart", sizeof(FormPartObject), 0, TYPE_FLAGS, part_slots};
PyType_Spec file_buffer_spec = {"velmora.contents.FileBuffer", sizeof(FormPartObject), 0, TYPE_FLAGS,
                                file_buffer_slots};
PyType_Spec streamed_form_part_spec = {"velmora.contents.StreamedFormPart", sizeof(StreamedFormPartObject), 0,
                                       TYPE_FLAGS, streamed_part_slots};

}  // namespace vel::contents
