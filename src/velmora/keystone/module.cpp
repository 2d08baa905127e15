// velmora.keystone: the module, its state and its table for the sibling
// modules.  The coroutine methods of KeystoneApplication, the default
// exception handlers and ExceptionHandlersDict are Python code from
// velmora._keystone_async: awaiting is plainest there, and the handler
// registry checks handlers with inspect.iscoroutinefunction, which a native
// callable cannot pass on every supported interpreter.  They are put into
// the type's dictionary here while the type is still private to this module.
#include <Python.h>

#include "keystone/keystone_internal.h"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/ref.hpp"

namespace vel::keystone {

State *g_state = nullptr;

namespace {

CAPI capi_table;

constexpr const char PYDANTIC_HANDLER[] = "_default_pydantic_validation_error_handler";

// `from pydantic import ValidationError`, None when pydantic cannot be imported.
PyObject *import_validation_error()
{
    PyObject *cls = import_attr("pydantic", "ValidationError");
    if (cls == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        cls = Py_NewRef(Py_None);
    }
    return cls;
}

int load_imports(PyObject *module, State *st)
{
    st->messages = messages::bind();
    if (st->messages == nullptr) {
        return -1;
    }
    st->http_exception = import_attr("velmora.exceptions", "HTTPException");
    st->unprocessable_entity = st->http_exception ? import_attr("velmora.exceptions", "UnprocessableEntity") : nullptr;
    st->get_class_instance_hierarchy =
        st->unprocessable_entity ? import_attr("velmora.utils", "get_class_instance_hierarchy") : nullptr;
    st->isawaitable = st->get_class_instance_hierarchy ? import_attr("inspect", "isawaitable") : nullptr;
    st->get_logger_fn = st->isawaitable ? import_attr("logging", "getLogger") : nullptr;
    st->logging_info = st->get_logger_fn ? import_attr("logging", "INFO") : nullptr;
    if (st->logging_info == nullptr) {
        return -1;
    }
    Ref validation_error = steal(import_validation_error());
    return validation_error ? PyModule_AddObjectRef(module, "ValidationError", validation_error.get()) : -1;
}

int load_constants(State *st)
{
    struct {
        PyObject **field;
        const char *text;
    } const names[] = {
        {&st->str_get_match, "get_match"},
        {&st->str_values, "values"},
        {&st->str_handler, "handler"},
        {&st->str_route_values, "route_values"},
        {&st->str_handle_request_handler_exception, "handle_request_handler_exception"},
        {&st->str_handle_coro, "_handle_coro"},
        {&st->str_init_exceptions_handlers, "init_exceptions_handlers"},
        {&st->str_status, "status"},
        {&st->str_get, "get"},
        {&st->str_set_level, "setLevel"},
        {&st->str_validation_error_name, "ValidationError"},
        {&st->str_logger_name, "velmora.server"},
        {&st->str_detail, "detail"},
        {&st->str_loc, "loc"},
        {&st->str_msg, "msg"},
        {&st->str_type, "type"},
        {&st->str_body, "body"},
        {&st->str_validation_error, "validation_error"},
        {&st->str_default_msg, "Validation error"},
        {&st->str_marker, " - at `"},
    };
    for (const auto &n : names) {
        *n.field = intern(n.text);
        if (*n.field == nullptr) {
            return -1;
        }
    }
    st->int_404 = PyLong_FromLong(404);
    st->int_400 = PyLong_FromLong(400);
    st->int_422 = PyLong_FromLong(422);
    return st->int_422 != nullptr && st->int_400 != nullptr && st->int_404 != nullptr ? 0 : -1;
}

// The native functions the Python part calls, as module functions bound to
// this module, set as names of `source`.
int give_functions(PyObject *module, PyObject *source, PyMethodDef *defs)
{
    Ref module_name = steal(PyModule_GetNameObject(module));
    for (PyMethodDef *def = defs; module_name && def->ml_name != nullptr; ++def) {
        Ref function = steal(PyCFunction_NewEx(def, module, module_name.get()));
        if (!function || PyObject_SetAttrString(source, def->ml_name, function.get()) < 0) {
            return -1;
        }
    }
    return module_name ? 0 : -1;
}

// A name of the Python part as a new reference, checked to be a dict when
// `dict` is set.
PyObject *source_attr(PyObject *source, const char *name, bool dict = false)
{
    PyObject *value = PyObject_GetAttrString(source, name);
    if (value != nullptr && dict && !PyDict_Check(value)) {
        PyErr_Format(PyExc_ImportError, "velmora._keystone_async.%s must be a dict", name);
        Py_CLEAR(value);
    }
    return value;
}

// velmora._keystone_async: METHODS become methods of KeystoneApplication,
// FUNCTIONS names of this module.
//
// The Python part runs in a namespace of its own that is not registered in
// sys.modules: it holds this module's functions and the sibling types, and
// only what this module holds of it keeps it, so that dropping the native
// modules frees them.
PyObject *load_python_part(PyObject *module)
{
    Ref util = steal(PyImport_ImportModule("importlib.util"));
    Ref spec = util ? steal(PyObject_CallMethod(util.get(), "find_spec", "s", "velmora._keystone_async")) : Ref();
    if (spec && spec.get() == Py_None) {
        PyErr_SetString(PyExc_ImportError, "velmora._keystone_async is missing");
        return nullptr;
    }
    Ref source = spec ? steal(PyObject_CallMethod(util.get(), "module_from_spec", "O", spec.get())) : Ref();
    if (!source || give_functions(module, source.get(), lookup_functions) < 0 ||
        give_functions(module, source.get(), details_functions) < 0) {
        return nullptr;
    }
    Ref loader = steal(PyObject_GetAttrString(spec.get(), "loader"));
    Ref done = loader ? steal(PyObject_CallMethod(loader.get(), "exec_module", "O", source.get())) : Ref();
    return done ? source.release() : nullptr;
}

int install_python_part(PyObject *module, State *st)
{
    Ref source = steal(load_python_part(module));
    if (!source) {
        return -1;
    }
    Ref methods = steal(source_attr(source.get(), "METHODS", true));
    Ref functions = methods ? steal(source_attr(source.get(), "FUNCTIONS", true)) : Ref();
    st->exception_handlers_dict = functions ? source_attr(source.get(), "ExceptionHandlersDict") : nullptr;
    if (st->exception_handlers_dict == nullptr) {
        return -1;
    }
    PyTypeObject *tp = st->KeystoneApplication_Type;
    if (PyDict_Update(tp->tp_dict, methods.get()) < 0) {
        return -1;
    }
    PyType_Modified(tp);
    struct {
        PyObject **field;
        const char *name;
    } const handlers[] = {
        {&st->handle_not_found, "handle_not_found"},
        {&st->handle_bad_request, "handle_bad_request"},
        {&st->handle_unprocessable_entity, "handle_unprocessable_entity"},
        {&st->common_http_exception_handler, "common_http_exception_handler"},
        {&st->pydantic_handler, PYDANTIC_HANDLER},
    };
    for (const auto &h : handlers) {
        PyObject *function = PyDict_GetItemString(functions.get(), h.name);  // borrowed
        if (function == nullptr) {
            PyErr_Format(PyExc_ImportError, "velmora._keystone_async has no %s", h.name);
            return -1;
        }
        *h.field = Py_NewRef(function);
    }
    // The pydantic handler is a name of the module only where pydantic exists.
    Ref validation_error = steal(PyObject_GetAttr(module, st->str_validation_error_name));
    if (!validation_error) {
        return -1;
    }
    if (validation_error.get() == Py_None) {
        Py_CLEAR(st->pydantic_handler);
    }
    Py_ssize_t pos = 0;
    PyObject *name;
    PyObject *function;
    while (PyDict_Next(functions.get(), &pos, &name, &function)) {
        if ((st->pydantic_handler != nullptr || PyUnicode_CompareWithASCIIString(name, PYDANTIC_HANDLER) != 0) &&
            PyObject_SetAttr(module, name, function) < 0) {
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, "ExceptionHandlersDict", st->exception_handlers_dict);
}

PyObject *py_get_logger(PyObject *, PyObject *) { return get_logger(); }

PyMethodDef module_functions[] = {
    {"get_logger", py_get_logger, METH_NOARGS,
     "get_logger()\n--\n\nThe logger \"velmora.server\", its level set to INFO."},
    {nullptr, nullptr, 0, nullptr},
};

int publish(PyObject *module, State *st)
{
    capi_table = CAPI{capi_header<CAPI>(CAPI_VERSION), st->KeystoneApplication_Type, &KEYSTONE_METHODS};
    return publish_capi(module, CAPI_NAME, &capi_table.header);
}

int keystone_exec(PyObject *module)
{
    State *st = init_state<State>(module, &g_state);
    if (st == nullptr || load_imports(module, st) < 0 || load_constants(st) < 0 ||
        PyModule_AddFunctions(module, details_functions) < 0) {
        return -1;
    }
    st->KeystoneApplication_Type = add_type(module, &application_spec);
    if (st->KeystoneApplication_Type == nullptr ||
        st->slots[S_HANDLE].init(st->KeystoneApplication_Type, "handle") < 0 ||
        st->slots[S_GET_HTTP_EXCEPTION_HANDLER].init(st->KeystoneApplication_Type, "get_http_exception_handler") < 0 ||
        install_python_part(module, st) < 0) {
        return -1;
    }
    return publish(module, st);
}

PyModuleDef_Slot keystone_slots[] = {VEL_MODULE_SLOTS(keystone_exec)};

}  // namespace

PyModuleDef keystone_module = module_def<State, &g_state>(
    "velmora.keystone",
    "The application core: KeystoneApplication runs a request through the router and its handler and\n"
    "turns exceptions into responses through the exception-handler registry and the default handlers.",
    module_functions, keystone_slots);

}  // namespace vel::keystone

PyMODINIT_FUNC PyInit_keystone(void) { return PyModuleDef_Init(&vel::keystone::keystone_module); }
