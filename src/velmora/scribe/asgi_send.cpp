// send_asgi_response as a native awaitable: it sends the start message and
// the one body message itself, and hands a streamed or sliced body to the
// Python coroutine _send_asgi_rest.  Nothing happens before it is first
// resumed, as with a coroutine.
#include "scribe/scribe_internal.h"

#include "vel/object.hpp"

namespace vel::scribe {

namespace {

struct AsgiSendObject {
    PyObject_HEAD
    PyObject *response;  // until started
    PyObject *send;
    PyObject *body;      // the body message still to send
    PyObject *inner;     // the awaitable's iterator being driven
    int stage;           // STAGE_*
};

enum { STAGE_NEW, STAGE_START, STAGE_LAST, STAGE_DONE };

AsgiSendObject *as_send(PyObject *o) { return reinterpret_cast<AsgiSendObject *>(o); }

void finish(AsgiSendObject *self)
{
    self->stage = STAGE_DONE;
    Py_CLEAR(self->response);
    Py_CLEAR(self->send);
    Py_CLEAR(self->body);
    Py_CLEAR(self->inner);
}

// The iterator that `await obj` drives.
PyObject *await_iter(PyObject *obj)
{
    if (PyCoro_CheckExact(obj)) {
        return Py_NewRef(obj);
    }
    PyAsyncMethods *am = Py_TYPE(obj)->tp_as_async;
    if (am == nullptr || am->am_await == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyObject *it = am->am_await(obj);
    if (it != nullptr && !PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_CLEAR(it);
    }
    return it;
}

// inner = the iterator of `fn(arg...)`'s awaitable.
bool start_inner(AsgiSendObject *self, PyObject *awaitable)
{
    if (awaitable == nullptr) {
        return false;
    }
    self->inner = await_iter(awaitable);
    Py_DECREF(awaitable);
    return self->inner != nullptr;
}

PySendResult step(PyObject *obj, PyObject *value, PyObject **result)
{
    AsgiSendObject *self = as_send(obj);
    Ref keep = borrow(obj);
    for (;;) {
        switch (self->stage) {
        case STAGE_NEW: {
            Ref pair = steal(asgi_messages_pair(self->response));
            if (!pair) {
                break;
            }
            PyObject *start = PyTuple_GET_ITEM(pair.get(), 0);
            PyObject *body = PyTuple_GET_ITEM(pair.get(), 1);
            if (body == Py_None) {
                PyObject *args[] = {self->response, self->send, start};
                self->stage = STAGE_LAST;
                if (!start_inner(self, call_module_global(g_state->s_send_asgi_rest, args, 3))) {
                    break;
                }
            } else {
                self->body = Py_NewRef(body);
                self->stage = STAGE_START;
                if (!start_inner(self, PyObject_CallOneArg(self->send, start))) {
                    break;
                }
            }
            Py_CLEAR(self->response);
            value = Py_None;
            continue;
        }
        case STAGE_START:
        case STAGE_LAST: {
            PyObject *res = nullptr;
            PySendResult r = PyIter_Send(self->inner, value, &res);
            if (r == PYGEN_NEXT) {
                *result = res;
                return r;
            }
            if (r == PYGEN_ERROR) {
                break;
            }
            Py_DECREF(res);
            Py_CLEAR(self->inner);
            if (self->stage == STAGE_LAST) {
                finish(self);
                *result = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            Ref body = steal(self->body);
            self->body = nullptr;
            self->stage = STAGE_LAST;
            if (!start_inner(self, PyObject_CallOneArg(self->send, body.get()))) {
                break;
            }
            value = Py_None;
            continue;
        }
        default:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited send_asgi_response");
            *result = nullptr;
            return PYGEN_ERROR;
        }
        finish(self);
        *result = nullptr;
        return PYGEN_ERROR;
    }
}

PyObject *iternext(PyObject *self)
{
    PyObject *result = nullptr;
    PySendResult r = step(self, Py_None, &result);
    if (r == PYGEN_RETURN) {
        Py_DECREF(result);  // None: a bare StopIteration
        return nullptr;
    }
    return result;
}

PyObject *py_send(PyObject *self, PyObject *value)
{
    PyObject *result = nullptr;
    PySendResult r = step(self, value, &result);
    if (r == PYGEN_RETURN) {
        Py_DECREF(result);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    return result;
}

// throw(exc) / throw(type[, value[, traceback]]): into the awaitable being
// driven, else raised here.
PyObject *py_throw(PyObject *obj, PyObject *const *args, Py_ssize_t nargs)
{
    AsgiSendObject *self = as_send(obj);
    if (!check_nargs("throw", nargs, 1, 3)) {
        return nullptr;
    }
    Ref keep = borrow(obj);
    Ref method;
    if (self->inner != nullptr && !optional_attr(self->inner, g_state->s_throw, method)) {
        return nullptr;
    }
    if (method) {
        PyObject *res = PyObject_Vectorcall(method.get(), args, nargs, nullptr);
        if (res != nullptr) {
            return res;
        }
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
            finish(self);
            return nullptr;
        }
        // The awaitable finished: go on with the next message.
        PyErr_Clear();
        Py_CLEAR(self->inner);
        if (self->stage == STAGE_LAST) {
            finish(self);
            PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        }
        Ref body = steal(self->body);
        self->body = nullptr;
        self->stage = STAGE_LAST;
        if (!start_inner(self, PyObject_CallOneArg(self->send, body.get()))) {
            finish(self);
            return nullptr;
        }
        return py_send(obj, Py_None);
    }
    finish(self);
    PyObject *exc = args[0];
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    } else if (PyExceptionClass_Check(exc)) {
        PyErr_SetObject(exc, nargs > 1 ? args[1] : Py_None);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    }
    return nullptr;
}

PyObject *py_close(PyObject *obj, PyObject *)
{
    AsgiSendObject *self = as_send(obj);
    Ref inner = borrow(self->inner);
    finish(self);
    if (inner) {
        Ref method;
        if (!optional_attr(inner.get(), g_state->s_close, method)) {
            return nullptr;
        }
        if (method) {
            return PyObject_CallNoArgs(method.get());
        }
    }
    return Py_NewRef(Py_None);
}

PyObject *await_self(PyObject *self) { return Py_NewRef(self); }

using SendFields = Fields<&AsgiSendObject::response, &AsgiSendObject::send, &AsgiSendObject::body,
                          &AsgiSendObject::inner>;

PyMethodDef send_methods[] = {
    {"send", py_send, METH_O, nullptr},
    {"throw", VEL_METH(py_throw), METH_FASTCALL, nullptr},
    {"close", py_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot send_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(SendFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(SendFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(SendFields::clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iternext)},
    {Py_am_await, reinterpret_cast<void *>(await_self)},
    {Py_am_send, reinterpret_cast<void *>(step)},
    {Py_tp_methods, send_methods},
    {0, nullptr},
};

PyType_Spec send_spec = {"velmora.scribe._AsgiSend", sizeof(AsgiSendObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, send_slots};

}  // namespace

int init_asgi_send(PyObject *module, State *st)
{
    st->AsgiSend_Type = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &send_spec, nullptr));
    return st->AsgiSend_Type != nullptr ? 0 : -1;
}

PyObject *send_asgi_response_native(PyObject *response, PyObject *send)
{
    AsgiSendObject *self = PyObject_GC_New(AsgiSendObject, g_state->AsgiSend_Type);
    if (self == nullptr) {
        return nullptr;
    }
    self->response = Py_NewRef(response);
    self->send = Py_NewRef(send);
    self->body = nullptr;
    self->inner = nullptr;
    self->stage = STAGE_NEW;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

}  // namespace vel::scribe
