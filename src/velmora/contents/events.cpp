// ServerSentEvent and TextServerSentEvent: the fields of one event and the
// text of its data line.  The wire format is written by velmora.scribe.
#include <Python.h>
#include <structmember.h>

#include <cstddef>

#include "contents/contents_internal.h"
#include "vel/args.hpp"
#include "vel/ref.hpp"

namespace vel::contents {

namespace {

ServerSentEventObject *as_event(PyObject *self) { return reinterpret_cast<ServerSentEventObject *>(self); }

PyObject *event_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        ServerSentEventObject *e = as_event(self);
        e->data = Py_NewRef(Py_None);
        e->event = Py_NewRef(Py_None);
        e->id = Py_NewRef(Py_None);
        e->comment = Py_NewRef(Py_None);
        e->retry = -1;
    }
    return self;
}

bool check_text(PyObject *value, const char *name)
{
    return value == nullptr || value == Py_None || PyUnicode_Check(value) || arg_type_error(name, "str", value);
}

const char *const EVENT_ARGS[] = {"data", "event", "id", "retry", "comment"};
const char *const TEXT_EVENT_ARGS[] = {"text", "event", "id", "retry", "comment"};
const Signature EVENT_SIG = {"ServerSentEvent", EVENT_ARGS, 5, 1};
const Signature TEXT_EVENT_SIG = {"TextServerSentEvent", TEXT_EVENT_ARGS, 5, 1};

template <bool Text>
int event_setup(PyObject *self, PyObject **argv)
{
    if ((Text && !check_arg(argv[0], &PyUnicode_Type, "text", false)) ||
        !check_text(argv[1], "event") || !check_text(argv[2], "id") || !check_text(argv[4], "comment")) {
        return -1;
    }
    long long retry = -1;
    if (argv[3] != nullptr) {
        if (!PyLong_Check(argv[3])) {
            arg_type_error("retry", "int", argv[3]);
            return -1;
        }
        retry = PyLong_AsLongLong(argv[3]);
        if (retry == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    ServerSentEventObject *e = as_event(self);
    PyObject *old[4] = {e->data, e->event, e->id, e->comment};
    e->data = Py_NewRef(argv[0]);
    e->event = Py_NewRef(argv[1] != nullptr ? argv[1] : Py_None);
    e->id = Py_NewRef(argv[2] != nullptr ? argv[2] : Py_None);
    e->comment = Py_NewRef(argv[4] != nullptr ? argv[4] : Py_None);
    e->retry = retry;
    for (PyObject *o : old) {
        Py_XDECREF(o);
    }
    return 0;
}

// The data line's text: the data itself for a TextServerSentEvent, else
// its compact JSON.
using EventNew = Constructor<EVENT_SIG, 5, event_setup<false>>;
using TextEventNew = Constructor<TEXT_EVENT_SIG, 5, event_setup<true>>;

PyObject *write_data_impl(ServerSentEventObject *self)
{
    PyObject *data = self->data != nullptr ? self->data : Py_None;
    if (PyObject_TypeCheck(self, type_of(T_TEXT_SSE))) {
        return Py_NewRef(data);
    }
    Ref keep = borrow(data);
    Ref encoded = steal(json_bytes(data, nullptr));
    return encoded ? PyUnicode_FromStringAndSize(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()))
                   : nullptr;
}

PyObject *event_repr(PyObject *self)
{
    ServerSentEventObject *e = as_event(self);
    Ref name = steal(PyType_GetName(Py_TYPE(self)));
    Ref data = borrow(e->data), event = borrow(e->event), id = borrow(e->id);
    return name ? PyUnicode_FromFormat("<%U data=%R event=%R id=%R retry=%lld>", name.get(), data.get(), event.get(),
                                       id.get(), static_cast<long long>(e->retry))
                : nullptr;
}

PyGetSetDef event_getset[] = {
    {"data", get_field<&ServerSentEventObject::data>, nullptr, "The event's data.", nullptr},
    {"event", get_field<&ServerSentEventObject::event>, nullptr, "The event name (str or None).", nullptr},
    {"id", get_field<&ServerSentEventObject::id>, nullptr, "The event id (str or None).", nullptr},
    {"comment", get_field<&ServerSentEventObject::comment>, nullptr, "A comment (str or None).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef event_members[] = {
    {"retry", T_LONGLONG, offsetof(ServerSentEventObject, retry), READONLY,
     "Reconnection time in milliseconds; negative: not sent."},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ServerSentEventObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef event_methods[] = {
    {"write_data", noargs_method<write_data_impl>, METH_NOARGS,
     "The text of the data line: the compact JSON of data (the text itself for a TextServerSentEvent)."},
    {nullptr, nullptr, 0, nullptr},
};

using EventFields = Fields<&ServerSentEventObject::data, &ServerSentEventObject::event, &ServerSentEventObject::id,
                           &ServerSentEventObject::comment>;

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(event_tp_new)},
    {Py_tp_init, reinterpret_cast<void *>(EventNew::init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(EventFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(EventFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(EventFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(event_repr)},
    {Py_tp_getset, event_getset},
    {Py_tp_members, event_members},
    {Py_tp_methods, event_methods},
    {Py_tp_doc, const_cast<char *>("ServerSentEvent(data, event=None, id=None, retry=-1, comment=None)\n--\n\n"
                                   "One server-sent event whose data is written as JSON.")},
    {0, nullptr},
};

PyType_Slot text_event_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(TextEventNew::init)},
    {Py_tp_traverse, reinterpret_cast<void *>(EventFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(EventFields::clear)},
    {Py_tp_doc, const_cast<char *>("TextServerSentEvent(text, event=None, id=None, retry=-1, comment=None)\n--\n\n"
                                   "One server-sent event whose data is the text itself; the writer turns "
                                   "its line breaks into separate data lines.")},
    {0, nullptr},
};

}  // namespace

void set_event_vectorcalls(PyTypeObject **types)
{
    types[T_SSE]->tp_vectorcall = EventNew::vectorcall;
    types[T_TEXT_SSE]->tp_vectorcall = TextEventNew::vectorcall;
}

// The table entry: the Python override of write_data when a subclass
// defines one.
PyObject *sse_write_data(ServerSentEventObject *self)
{
    if (!is_native(Py_TYPE(self))) {
        OverrideSlot &slot = g_state->write_data_slot;
        int overridden = slot.overridden(reinterpret_cast<PyObject *>(self));
        if (overridden != 0) {
            return overridden < 0 ? nullptr : slot.call_with(reinterpret_cast<PyObject *>(self));
        }
    }
    return write_data_impl(self);
}

PyType_Spec sse_spec = {"velmora.contents.ServerSentEvent", sizeof(ServerSentEventObject), 0, TYPE_FLAGS,
                        event_slots};
PyType_Spec text_sse_spec = {"velmora.contents.TextServerSentEvent", sizeof(ServerSentEventObject), 0, TYPE_FLAGS,
                             text_event_slots};

}  // namespace vel::contents
