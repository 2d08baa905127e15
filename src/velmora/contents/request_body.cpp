// ASGIContent and RSGIContent: request bodies read from the server on
// demand.  The coroutines that await the server are Python functions
// (velmora/_contents_async.py); this file keeps what they share: every
// chunk received, the byte count against the body limit, and the state
// that makes a second read see the same body or the same failure.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>

#include "contents/contents_internal.h"
#include "vel/args.hpp"
#include "vel/compat.hpp"
#include "vel/ref.hpp"

namespace vel::contents {

namespace {

BodyReaderObject *as_reader(PyObject *self) { return reinterpret_cast<BodyReaderObject *>(self); }

PyObject *reader_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    BodyReaderObject *r = self.as<BodyReaderObject>();
    r->base.type = Py_NewRef(Py_None);
    r->base.body = Py_NewRef(Py_None);
    r->base.length = -1;
    r->max_size = -1;
    r->state = READING;
    r->chunks = PyList_New(0);
    return r->chunks != nullptr ? self.release() : nullptr;
}

// Starts over on `source` (the constructors).
int reader_setup(BodyReaderObject *self, PyObject *source)
{
    PyObject *chunks = PyList_New(0);
    if (chunks == nullptr) {
        return -1;
    }
    PyObject *old[4] = {self->source, self->iterator, self->chunks, self->base.body};
    self->source = Py_NewRef(source);
    self->iterator = nullptr;
    self->chunks = chunks;
    self->base.body = Py_NewRef(Py_None);
    self->received = 0;
    self->state = READING;
    for (PyObject *o : old) {
        Py_XDECREF(o);
    }
    return 0;
}

const char *const ASGI_ARGS[] = {"receive"};
const Signature ASGI_SIG = {"ASGIContent", ASGI_ARGS, 1, 1};
const char *const RSGI_ARGS[] = {"protocol"};
const Signature RSGI_SIG = {"RSGIContent", RSGI_ARGS, 1, 1};

int asgi_setup(PyObject *self, PyObject **argv)
{
    if (!PyCallable_Check(argv[0])) {
        arg_type_error("receive", "callable", argv[0]);
        return -1;
    }
    return reader_setup(as_reader(self), argv[0]);
}

int rsgi_setup(PyObject *self, PyObject **argv) { return reader_setup(as_reader(self), argv[0]); }

using ASGINew = Constructor<ASGI_SIG, 1, asgi_setup>;
using RSGINew = Constructor<RSGI_SIG, 1, rsgi_setup>;

// Raises the exception `cls(message)` (message NULL: no argument).
void raise_new(PyObject *cls, PyObject *message)
{
    PyObject *exc = message != nullptr ? PyObject_CallOneArg(cls, message) : PyObject_CallNoArgs(cls);
    if (exc != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
}

void raise_too_large(BodyReaderObject *self)
{
    Ref message = steal(PyUnicode_FromFormat("The request body exceeds the maximum size of %lld bytes.",
                                             static_cast<long long>(self->max_size)));
    if (message) {
        raise_new(g_state->payload_too_large, message.get());
    }
}

// The exception for a reader that cannot give its body (any state but
// READING and a complete one).  Always NULL.
PyObject *raise_state(BodyReaderObject *self)
{
    switch (self->state) {
    case ABORTED:
        raise_new(g_state->message_aborted, nullptr);
        break;
    case TOO_LARGE:
        raise_too_large(self);
        break;
    case DISPOSED: {
        Ref message = steal(PyUnicode_FromString("The content was disposed before its body was read."));
        if (message) {
            raise_new(g_state->invalid_operation, message.get());
        }
        break;
    }
    default:
        PyErr_SetString(PyExc_RuntimeError, "the request body is not complete");
        break;
    }
    return nullptr;
}

// Reads the limit of the settings unless one was set on the object.
int resolve_limit(BodyReaderObject *self)
{
    if (self->max_size >= 0) {
        return 0;
    }
    Ref value = steal(PyObject_GetAttr(g_state->limits, g_state->str_max_body_size));
    long long limit = value ? PyLong_AsLongLong(value.get()) : -1;
    if (limit == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (self->max_size < 0) {
        self->max_size = limit >= 0 ? limit : INT64_MAX;
    }
    return 0;
}

// Keeps one chunk (bytes), counting it against the limit.  The limit is
// read first: it may run Python code, after which the state is checked.
int append_chunk(BodyReaderObject *self, PyObject *chunk)
{
    if (resolve_limit(self) < 0) {
        return -1;
    }
    if (self->state != READING || self->chunks == nullptr) {
        raise_state(self);
        return -1;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(chunk);
    if (n > self->max_size - self->received) {
        PyObject *chunks = self->chunks;
        self->chunks = nullptr;
        self->state = TOO_LARGE;
        Py_DECREF(chunks);
        raise_too_large(self);
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    if (PyList_Append(self->chunks, chunk) < 0) {
        return -1;
    }
    self->received += n;
    return 0;
}

// ------------------------------------------------- Python-level helpers

// _ready(): True once every chunk is in, False while reading; raises
// when the body was given up.
PyObject *ready(BodyReaderObject *r)
{
    if (r->state == READING) {
        Py_RETURN_FALSE;
    }
    if (r->state == COMPLETE) {
        Py_RETURN_TRUE;
    }
    return raise_state(r);
}

bool is_str(PyObject *value, PyObject *interned)
{
    return value == interned || (PyUnicode_CheckExact(value) && PyUnicode_Compare(value, interned) == 0);
}

// _feed(message): takes one message of ASGI receive().  True when the
// body is complete; MessageAborted on http.disconnect, also after the body
// (a complete body stays readable then).
PyObject *py_feed(PyObject *self, PyObject *message)
{
    BodyReaderObject *r = as_reader(self);
    if (r->state != READING && r->state != COMPLETE) {
        return ready(r);
    }
    if (!PyDict_Check(message)) {
        PyErr_Format(PyExc_TypeError, "ASGI receive() returned %.200s, expected a message dict",
                     Py_TYPE(message)->tp_name);
        return nullptr;
    }
    Ref type, body, more;
    if (compat::dict_get_ref(message, g_state->str_type, type.out()) < 0) {
        return nullptr;
    }
    if (type && is_str(type.get(), g_state->str_http_disconnect)) {
        r->disconnected = 1;
        if (r->state == READING) {
            PyObject *chunks = r->chunks;
            r->chunks = nullptr;
            r->state = ABORTED;
            Py_XDECREF(chunks);
        }
        raise_new(g_state->message_aborted, nullptr);
        return nullptr;
    }
    if (r->state == COMPLETE) {  // nothing after the body is of interest but a disconnect
        Py_RETURN_TRUE;
    }
    if (!type || !is_str(type.get(), g_state->str_http_request)) {
        PyErr_Format(PyExc_ValueError, "Unexpected ASGI message while reading the request body: %R",
                     type ? type.get() : Py_None);
        return nullptr;
    }
    if (compat::dict_get_ref(message, g_state->str_body, body.out()) < 0 ||
        compat::dict_get_ref(message, g_state->str_more_body, more.out()) < 0) {
        return nullptr;
    }
    if (body && !PyBytes_Check(body.get())) {
        PyErr_Format(PyExc_TypeError, "The body of an http.request message must be bytes, got %.200s",
                     Py_TYPE(body.get())->tp_name);
        return nullptr;
    }
    int more_body = more ? PyObject_IsTrue(more.get()) : 0;
    if (more_body < 0 || (body && append_chunk(r, body.get()) < 0)) {
        return nullptr;
    }
    if (more_body) {
        Py_RETURN_FALSE;
    }
    if (r->state != READING) {  // changed by code that ran above
        return ready(r);
    }
    r->state = COMPLETE;
    Py_RETURN_TRUE;
}

// _add(chunk): one chunk of the RSGI protocol's iterator.
PyObject *py_add(PyObject *self, PyObject *chunk)
{
    Ref data;
    if (PyBytes_Check(chunk)) {
        data = borrow(chunk);
    } else if (PyByteArray_Check(chunk) || PyMemoryView_Check(chunk)) {
        data = steal(PyBytes_FromObject(chunk));
    } else {
        PyErr_Format(PyExc_TypeError, "The request body stream gave %.200s, expected bytes",
                     Py_TYPE(chunk)->tp_name);
        return nullptr;
    }
    if (!data || append_chunk(as_reader(self), data.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _finish(): the RSGI iterator ended.
PyObject *finish(BodyReaderObject *r)
{
    if (r->state != READING && r->state != COMPLETE) {
        return raise_state(r);
    }
    r->state = COMPLETE;
    Py_RETURN_NONE;
}

// The chunks as one bytes object (the chunk itself when there is one).
PyObject *join_chunks(BodyReaderObject *self)
{
    PyObject *chunks = self->chunks;
    Py_ssize_t count = PyList_GET_SIZE(chunks);
    if (count == 0) {
        return Py_NewRef(g_state->empty_bytes);
    }
    if (count == 1 && PyBytes_Check(PyList_GET_ITEM(chunks, 0))) {
        return Py_NewRef(PyList_GET_ITEM(chunks, 0));
    }
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *chunk = PyList_GET_ITEM(chunks, i);
        if (!PyBytes_Check(chunk)) {  // the list is reachable from Python code
            PyErr_Format(PyExc_TypeError, "a request body chunk is %.200s, expected bytes", Py_TYPE(chunk)->tp_name);
            return nullptr;
        }
        total += PyBytes_GET_SIZE(chunk);
    }
    PyObject *body = PyBytes_FromStringAndSize(nullptr, total);
    if (body != nullptr) {
        char *out = PyBytes_AS_STRING(body);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *chunk = PyList_GET_ITEM(chunks, i);
            std::memcpy(out, PyBytes_AS_STRING(chunk), PyBytes_GET_SIZE(chunk));
            out += PyBytes_GET_SIZE(chunk);
        }
    }
    return body;
}

// _join(): the whole body, kept as `body`; the chunk list becomes a new
// list holding only the body, so a stream running meanwhile notices.
PyObject *join(BodyReaderObject *r)
{
    if (r->base.body != nullptr && r->base.body != Py_None) {
        return Py_NewRef(r->base.body);
    }
    if (r->state != COMPLETE || r->chunks == nullptr) {
        return raise_state(r);
    }
    Ref body = steal(join_chunks(r));
    Ref single = body ? steal(PyList_New(1)) : Ref();
    if (!single) {
        return nullptr;
    }
    PyList_SET_ITEM(single.get(), 0, Py_NewRef(body.get()));
    PyObject *old_chunks = r->chunks;
    PyObject *old_body = r->base.body;
    r->chunks = single.release();
    r->base.body = Py_NewRef(body.get());
    Py_XDECREF(old_chunks);
    Py_XDECREF(old_body);
    return body.release();
}

// _aiter(): the protocol's asynchronous iterator, made once.
PyObject *aiter(BodyReaderObject *r)
{
    if (r->iterator == nullptr) {
        if (r->source == nullptr) {
            return raise_state(r);
        }
        Ref source = borrow(r->source);
        PyObject *iterator = PyObject_GetAIter(source.get());
        if (iterator == nullptr) {
            return nullptr;
        }
        if (r->iterator != nullptr) {  // made by code that ran meanwhile
            Py_DECREF(iterator);
        } else {
            r->iterator = iterator;
        }
    }
    return Py_NewRef(r->iterator);
}

PyObject *get_max_body_size(PyObject *self, void *)
{
    int64_t size = as_reader(self)->max_size;
    return size >= 0 ? PyLong_FromLongLong(size) : Py_NewRef(Py_None);
}

int set_max_body_size(PyObject *self, PyObject *value, void *)
{
    long long size = -1;
    if (value != nullptr && value != Py_None) {
        size = PyLong_AsLongLong(value);
        if (size == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (size < 0) {
            PyErr_SetString(PyExc_ValueError, "max_body_size must not be negative");
            return -1;
        }
    }
    as_reader(self)->max_size = size;
    return 0;
}

PyMethodDef asgi_methods[] = {
    {"_ready", noargs_method<ready>, METH_NOARGS, nullptr},
    {"_feed", py_feed, METH_O, nullptr},
    {"_join", noargs_method<join>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rsgi_methods[] = {
    {"_ready", noargs_method<ready>, METH_NOARGS, nullptr},
    {"_add", py_add, METH_O, nullptr},
    {"_finish", noargs_method<finish>, METH_NOARGS, nullptr},
    {"_join", noargs_method<join>, METH_NOARGS, nullptr},
    {"_aiter", noargs_method<aiter>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *get_disconnected(PyObject *self, void *) { return PyBool_FromLong(as_reader(self)->disconnected); }

PyGetSetDef reader_getset[] = {
    {"_disconnected", get_disconnected, nullptr, nullptr, nullptr},
    {"_chunks", get_field<&BodyReaderObject::chunks>, nullptr, nullptr, nullptr},
    {"_source", get_field<&BodyReaderObject::source>, nullptr, nullptr, nullptr},
    {"max_body_size", get_max_body_size, set_max_body_size,
     "The largest body accepted, in bytes; None: the limit of the settings.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using ReaderFields =
    OffsetFields<offsetof(BodyReaderObject, base.type), offsetof(BodyReaderObject, base.body),
                 offsetof(BodyReaderObject, source), offsetof(BodyReaderObject, iterator),
                 offsetof(BodyReaderObject, chunks)>;

#define VEL_READER_SLOTS(init, methods, doc)                                                        \
    {                                                                                               \
        {Py_tp_new, reinterpret_cast<void *>(reader_tp_new)},                                       \
        {Py_tp_init, reinterpret_cast<void *>(init)},                                               \
        {Py_tp_dealloc,                                                                             \
         reinterpret_cast<void *>(ReaderFields::dealloc<offsetof(ContentObject, weakreflist)>)},    \
        {Py_tp_traverse, reinterpret_cast<void *>(ReaderFields::traverse)},                         \
        {Py_tp_clear, reinterpret_cast<void *>(ReaderFields::clear)},                               \
        {Py_tp_methods, methods},                                                                   \
        {Py_tp_getset, reader_getset},                                                              \
        {Py_tp_doc, const_cast<char *>(doc)},                                                       \
        {0, nullptr},                                                                               \
    }

PyType_Slot asgi_slots[] = VEL_READER_SLOTS(
    ASGINew::init, asgi_methods,
    "ASGIContent(receive)\n--\n\nThe body of an ASGI request, read from receive() on demand and kept.");
PyType_Slot rsgi_slots[] = VEL_READER_SLOTS(
    RSGINew::init, rsgi_methods,
    "RSGIContent(protocol)\n--\n\nThe body of an RSGI request, read from the protocol on demand and kept.");

}  // namespace

// Drops the server's objects and the chunks.  A body already read is kept;
// one not read can no longer be.
int body_reader_dispose(BodyReaderObject *self)
{
    PyObject *old[3] = {self->source, self->iterator, self->chunks};
    self->source = nullptr;
    self->iterator = nullptr;
    self->chunks = nullptr;
    bool kept = self->state == COMPLETE && self->base.body != nullptr && self->base.body != Py_None;
    if (!kept && (self->state == READING || self->state == COMPLETE)) {
        self->state = DISPOSED;
    }
    for (PyObject *o : old) {
        Py_XDECREF(o);
    }
    return 0;
}

void set_reader_vectorcalls(PyTypeObject **types)
{
    types[T_ASGI]->tp_vectorcall = ASGINew::vectorcall;
    types[T_RSGI]->tp_vectorcall = RSGINew::vectorcall;
}

PyObject *rsgi_content_new(PyObject *protocol)
{
    PyTypeObject *tp = type_of(T_RSGI);
    Ref self = steal(reader_tp_new(tp, nullptr, nullptr));
    return self && reader_setup(self.as<BodyReaderObject>(), protocol) == 0 ? self.release() : nullptr;
}

PyType_Spec asgi_spec = {"velmora.contents.ASGIContent", sizeof(BodyReaderObject), 0, TYPE_FLAGS, asgi_slots};
PyType_Spec rsgi_spec = {"velmora.contents.RSGIContent", sizeof(BodyReaderObject), 0, TYPE_FLAGS, rsgi_slots};

}  // namespace vel::contents
