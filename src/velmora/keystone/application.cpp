// KeystoneApplication: construction, its fields, `handle` (one request through
// the router and the request handler) and the exception-handler lookups.
// The coroutine methods come from velmora._keystone_async (see module.cpp).
#include <Python.h>

#include "keystone/keystone_internal.h"
#include "vel/args.hpp"
#include "vel/compat.hpp"
#include "vel/object.hpp"
#include "vel/ref.hpp"

namespace vel::keystone {

namespace {

inline AppObject *A(PyObject *o) { return reinterpret_cast<AppObject *>(o); }

template <int S>
OverrideSlot &slot()
{
    return g_state->slots[S];
}

// A new Response with `status`, no headers and no content.
PyObject *empty_response(int32_t status)
{
    messages::AcquireResponseArgs args{1, status, nullptr, nullptr};
    return reinterpret_cast<PyObject *>(g_state->messages->acquire_response(&args));
}

// self.<name>(request, arg): the coroutine methods are looked up on the
// instance, so that a subclass may replace any of them.
PyObject *call_method(PyObject *self, PyObject *name, PyObject *request, PyObject *arg)
{
    PyObject *args[] = {self, request, arg};
    return PyObject_VectorcallMethod(name, args, 3, nullptr);
}

bool check_exception(PyObject *exception, const char *name)
{
    return exception == Py_None || PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject *>(PyExc_Exception)) ||
           arg_type_error(name, "Exception", exception);
}

// Walks get_class_instance_hierarchy(exception) until `visit(class)` gives
// non-zero: 1 (found) or -1 (error).  Returns that, or 0 at the end.
template <class Visit>
int walk_classes(PyObject *exception, Visit &&visit)
{
    Ref classes = steal(PyObject_CallOneArg(g_state->get_class_instance_hierarchy, exception));
    Ref it = classes ? steal(PyObject_GetIter(classes.get())) : Ref();
    if (!it) {
        return -1;
    }
    int rc = 0;
    while (rc == 0) {
        Ref cls = steal(PyIter_Next(it.get()));
        if (!cls) {
            rc = PyErr_Occurred() ? -1 : 0;
            break;
        }
        rc = visit(cls.get());
        if (rc == 2) {  // stop without a result
            rc = 0;
            break;
        }
    }
    return rc;
}

// `cls in self.exceptions_handlers`; the map is re-read for every class, as
// a handler's __eq__ may replace it.
int handles_class(AppObject *self, PyObject *cls, Ref *map)
{
    *map = borrow(self->exceptions_handlers);
    return PySequence_Contains(map->get(), cls);
}

}  // namespace

// ---------------------------------------------------------------- lookups

PyObject *get_exception_handler_impl(AppObject *self, PyObject *exception, PyObject *stop_at)
{
    if (!check_exception(exception, "exception") ||
        !(stop_at == Py_None || PyType_Check(stop_at) || arg_type_error("stop_at", "type", stop_at))) {
        return nullptr;
    }
    Ref found;
    int rc = walk_classes(exception, [&](PyObject *cls) {
        if (cls == stop_at) {
            return 2;
        }
        Ref map;
        int in = handles_class(self, cls, &map);
        if (in > 0) {
            found = steal(PyObject_GetItem(map.get(), cls));
            return found ? 1 : -1;
        }
        return in;
    });
    return rc < 0 ? nullptr : rc > 0 ? found.release() : Py_NewRef(Py_None);
}

int is_handled_exception_impl(AppObject *self, PyObject *exception)
{
    if (!check_exception(exception, "exception")) {
        return -1;
    }
    return walk_classes(exception, [&](PyObject *cls) {
        Ref map;
        return handles_class(self, cls, &map);
    });
}

PyObject *get_http_exception_handler_impl(AppObject *self, PyObject *http_exception)
{
    State *st = g_state;
    if (!check_arg(http_exception, reinterpret_cast<PyTypeObject *>(st->http_exception), "http_exception")) {
        return nullptr;
    }
    Ref handler = steal(get_exception_handler_impl(self, http_exception, st->http_exception));
    int truth = handler ? PyObject_IsTrue(handler.get()) : -1;
    if (truth != 0) {
        return truth < 0 ? nullptr : handler.release();
    }
    // Fixed-status exception classes hold `status` as a class attribute.
    Ref status = steal(PyObject_GetAttr(http_exception, st->str_status));
    if (!status) {
        return nullptr;
    }
    Ref map = borrow(self->exceptions_handlers);
    PyObject *args[] = {map.get(), status.get(), st->common_http_exception_handler};
    return PyObject_VectorcallMethod(st->str_get, args, 3, nullptr);
}

// ---------------------------------------------------------------- handle

PyObject *handle_impl(AppObject *self, PyObject *request)
{
    State *st = g_state;
    if (!check_arg(request, st->messages->Request_Type, "request")) {
        return nullptr;
    }
    PyObject *obj = reinterpret_cast<PyObject *>(self);
    Ref router = borrow(self->router);
    PyObject *match_args[] = {router.get(), request};
    Ref match = steal(PyObject_VectorcallMethod(st->str_get_match, match_args, 2, nullptr));
    int truth = match ? PyObject_IsTrue(match.get()) : -1;
    if (truth <= 0) {
        return truth < 0 ? nullptr : empty_response(404);
    }
    Ref values = steal(PyObject_GetAttr(match.get(), st->str_values));
    if (!values) {
        return nullptr;
    }
    if (Py_IS_TYPE(request, st->messages->Request_Type)) {
        auto *r = reinterpret_cast<messages::RequestObject *>(request);
        Py_XSETREF(r->route_values, values.release());
    } else if (PyObject_SetAttr(request, st->str_route_values, values.get()) < 0) {
        return nullptr;
    }
    // Only finding and calling the request handler is guarded.
    Ref handler = steal(PyObject_GetAttr(match.get(), st->str_handler));
    Ref result = handler ? steal(PyObject_CallOneArg(handler.get(), request)) : Ref();
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        Ref exc = steal(compat::take_exception());
        return call_method(obj, st->str_handle_request_handler_exception, request, exc.get());
    }
    PyObject *r = result.get();
    if (PyObject_TypeCheck(r, st->messages->Response_Type)) {
        return result.release();
    }
    if (r == Py_None) {
        return empty_response(204);
    }
    int awaitable = 1;
    if (!PyCoro_CheckExact(r)) {
        Ref test = steal(PyObject_CallOneArg(st->isawaitable, r));
        awaitable = test ? PyObject_IsTrue(test.get()) : -1;
    }
    if (awaitable <= 0) {
        return awaitable < 0 ? nullptr : result.release();
    }
    return call_method(obj, st->str_handle_coro, request, r);
}

const KeystoneMethods KEYSTONE_METHODS = {
    overridable<slot<S_HANDLE>, handle_impl>,
    overridable<slot<S_GET_HTTP_EXCEPTION_HANDLER>, get_http_exception_handler_impl>,
    get_exception_handler_impl,
    is_handled_exception_impl,
};

// ---------------------------------------------------------------- construction

PyObject *get_logger()
{
    State *st = g_state;
    Ref logger = steal(PyObject_CallOneArg(st->get_logger_fn, st->str_logger_name));
    PyObject *args[] = {logger.get(), st->logging_info};
    Ref done = logger ? steal(PyObject_VectorcallMethod(st->str_set_level, args, 2, nullptr)) : Ref();
    return done ? logger.release() : nullptr;
}

namespace {

PyObject *app_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        A(self)->router = Py_NewRef(Py_None);
        A(self)->logger = Py_NewRef(Py_None);
        A(self)->exceptions_handlers = Py_NewRef(Py_None);
    }
    return self;
}

const char *const INIT_ARGS[] = {"show_error_details", "router"};
const Signature INIT_SIG = {"KeystoneApplication", INIT_ARGS, 2, 2};

int app_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[2];
    if (!parse_tuple_dict(INIT_SIG, args, kwargs, a)) {
        return -1;
    }
    int show = PyObject_IsTrue(a[0]);
    if (show < 0) {
        return -1;
    }
    Py_XSETREF(A(self)->router, Py_NewRef(a[1]));
    PyObject *call_args[] = {self};
    PyObject *handlers =
        PyObject_VectorcallMethod(g_state->str_init_exceptions_handlers, call_args, 1, nullptr);
    if (handlers == nullptr) {
        return -1;
    }
    Py_XSETREF(A(self)->exceptions_handlers, handlers);
    A(self)->show_error_details = show;
    PyObject *logger = get_logger();
    if (logger == nullptr) {
        return -1;
    }
    Py_XSETREF(A(self)->logger, logger);
    return 0;
}

using AppFields = Fields<&AppObject::router, &AppObject::logger, &AppObject::exceptions_handlers>;

// The default map.  Each item goes through ExceptionHandlersDict's checks.
PyObject *init_exceptions_handlers(AppObject *self)
{
    State *st = g_state;
    Ref map = steal(PyObject_CallNoArgs(st->exception_handlers_dict));
    if (!map) {
        return nullptr;
    }
    PyObject *const items[][2] = {
        {st->int_404, st->handle_not_found},
        {st->int_400, st->handle_bad_request},
        {st->int_422, st->handle_unprocessable_entity},
        {st->unprocessable_entity, st->handle_unprocessable_entity},
    };
    for (const auto &item : items) {
        if (PyObject_SetItem(map.get(), item[0], item[1]) < 0) {
            return nullptr;
        }
    }
    // Only while the module-level name ValidationError is set.
    PyObject *module = PyType_GetModuleByDef(Py_TYPE(self), &keystone_module);  // borrowed
    Ref validation_error = module ? steal(PyObject_GetAttr(module, st->str_validation_error_name)) : Ref();
    if (!validation_error) {
        return nullptr;
    }
    if (validation_error.get() != Py_None && st->pydantic_handler != nullptr &&
        PyObject_SetItem(map.get(), validation_error.get(), st->pydantic_handler) < 0) {
        return nullptr;
    }
    return map.release();
}

PyObject *get_show_error_details(PyObject *self, void *) { return PyBool_FromLong(A(self)->show_error_details); }

int set_show_error_details(PyObject *self, PyObject *value, void *)
{
    int truth = value != nullptr ? PyObject_IsTrue(value) : -1;
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
    }
    if (truth < 0) {
        return -1;
    }
    A(self)->show_error_details = truth;
    return 0;
}

int set_exceptions_handlers(PyObject *self, PyObject *value, void *)
{
    Py_XSETREF(A(self)->exceptions_handlers, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyGetSetDef app_getset[] = {
    {"show_error_details", get_show_error_details, set_show_error_details,
     "Whether internal errors are rendered by server_error_details_handler.", nullptr},
    {"router", get_field<&AppObject::router>, nullptr, "The router object (get_match(request)).", nullptr},
    {"logger", get_field<&AppObject::logger>, nullptr, "The logger of get_logger().", nullptr},
    {"exceptions_handlers", get_field<&AppObject::exceptions_handlers>, set_exceptions_handlers,
     "The map of exception classes and status codes to exception handlers.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char *const REQUEST_ARG[] = {"request"};
constexpr Signature HANDLE_SIG = {"handle", REQUEST_ARG, 1, 1};
const char *const HTTP_EXCEPTION_ARG[] = {"http_exception"};
constexpr Signature GET_HTTP_HANDLER_SIG = {"get_http_exception_handler", HTTP_EXCEPTION_ARG, 1, 1};

PyMethodDef app_methods[] = {
    {"handle", VEL_METH((fastcall_method<handle_impl, HANDLE_SIG>)), METH_FASTCALL | METH_KEYWORDS,
     "handle($self, /, request)\n--\n\n"
     "Runs `request` through the router and its handler: a Response, an awaitable of one,\n"
     "or what a synchronous handler returned."},
    {"get_http_exception_handler",
     VEL_METH((fastcall_method<get_http_exception_handler_impl, GET_HTTP_HANDLER_SIG>)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_http_exception_handler($self, /, http_exception)\n--\n\n"
     "The handler for an HTTP exception: by class, then by status, then the common one."},
    {"init_exceptions_handlers", noargs_method<init_exceptions_handlers>, METH_NOARGS,
     "init_exceptions_handlers($self, /)\n--\n\nA new ExceptionHandlersDict with the default handlers."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot app_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(app_new)},
    {Py_tp_init, reinterpret_cast<void *>(app_init)},
    {Py_tp_traverse, reinterpret_cast<void *>(AppFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(AppFields::clear_to_none)},
    {Py_tp_dealloc, reinterpret_cast<void *>(AppFields::dealloc)},
    {Py_tp_getset, app_getset},
    {Py_tp_methods, app_methods},
    {Py_tp_members, weakref_members<AppObject>},
    {Py_tp_doc, const_cast<char *>("KeystoneApplication(show_error_details, router)\n--\n\n"
                                   "The base class of the application object: runs requests through the\n"
                                   "router and turns exceptions into responses.")},
    {0, nullptr},
};

// The lookups without a Python method, for the coroutine chain.
bool app_arg(PyObject *app)
{
    return PyObject_TypeCheck(app, g_state->KeystoneApplication_Type) ||
           arg_type_error("app", g_state->KeystoneApplication_Type->tp_name, app);
}

PyObject *py_get_exception_handler(PyObject *app, PyObject *exception, PyObject *stop_at)
{
    return app_arg(app) ? get_exception_handler_impl(A(app), exception, stop_at) : nullptr;
}

int py_is_handled_exception(PyObject *app, PyObject *exception)
{
    return app_arg(app) ? is_handled_exception_impl(A(app), exception) : -1;
}

const char *const GET_HANDLER_ARGS[] = {"app", "exception", "stop_at"};
constexpr Signature GET_HANDLER_SIG = {"_get_exception_handler", GET_HANDLER_ARGS, 3, 3};
const char *const IS_HANDLED_ARGS[] = {"app", "exception"};
constexpr Signature IS_HANDLED_SIG = {"_is_handled_exception", IS_HANDLED_ARGS, 2, 2};

}  // namespace

PyMethodDef lookup_functions[] = {
    {"_get_exception_handler", VEL_METH((fastcall_function<py_get_exception_handler, GET_HANDLER_SIG>)),
     METH_FASTCALL | METH_KEYWORDS, "The handler registered for the exception's class or a base, or None."},
    {"_is_handled_exception",
     VEL_METH((fastcall_function<py_is_handled_exception, IS_HANDLED_SIG, bool_result>)),
     METH_FASTCALL | METH_KEYWORDS, "Whether a handler is registered for the exception's class or a base."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Spec application_spec = {
    "velmora.keystone.KeystoneApplication", sizeof(AppObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, app_slots,
};

}  // namespace vel::keystone
