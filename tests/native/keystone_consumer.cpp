// `velmora._keystone_consumer`: a module built against keystone_api.h the way
// scribe would be, so that the tests can read the published layout and call
// the table slots.
#include <Python.h>

#include "keystone/keystone_api.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::keystone::KeystoneApplicationObject;

const vel::keystone::CAPI *api = nullptr;

KeystoneApplicationObject *app_arg(PyObject *app)
{
    if (!PyObject_TypeCheck(app, api->KeystoneApplication_Type)) {
        PyErr_SetString(PyExc_TypeError, "a KeystoneApplication is required");
        return nullptr;
    }
    return reinterpret_cast<KeystoneApplicationObject *>(app);
}

inline PyObject *field(PyObject *v) { return Py_NewRef(v != nullptr ? v : Py_None); }

// fields(app) -> (show_error_details, router, logger, exceptions_handlers),
// read straight from the layout.
PyObject *fields(PyObject *, PyObject *obj)
{
    KeystoneApplicationObject *app = app_arg(obj);
    return app == nullptr ? nullptr
                          : Py_BuildValue("(iNNN)", app->show_error_details, field(app->router),
                                          field(app->logger), field(app->exceptions_handlers));
}

// call(name, app, *args): a table slot by name.
PyObject *call(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("call", nargs, 3, 4) || !PyUnicode_Check(args[0])) {
        return PyErr_Occurred() ? nullptr : (PyErr_SetString(PyExc_TypeError, "a slot name is required"), nullptr);
    }
    KeystoneApplicationObject *app = app_arg(args[1]);
    if (app == nullptr) {
        return nullptr;
    }
    const vel::keystone::KeystoneMethods *m = api->methods;
    PyObject *name = args[0];
    if (nargs == 3 && PyUnicode_CompareWithASCIIString(name, "handle") == 0) {
        return m->handle(app, args[2]);
    }
    if (nargs == 3 && PyUnicode_CompareWithASCIIString(name, "get_http_exception_handler") == 0) {
        return m->get_http_exception_handler(app, args[2]);
    }
    if (nargs == 4 && PyUnicode_CompareWithASCIIString(name, "get_exception_handler") == 0) {
        return m->get_exception_handler(app, args[2], args[3]);
    }
    if (nargs == 3 && PyUnicode_CompareWithASCIIString(name, "is_handled_exception") == 0) {
        int rc = m->is_handled_exception(app, args[2]);
        return rc < 0 ? nullptr : PyBool_FromLong(rc);
    }
    PyErr_Format(PyExc_ValueError, "no slot %R taking %zd arguments", name, nargs - 2);
    return nullptr;
}

PyMethodDef methods[] = {
    {"fields", fields, METH_O, "The published fields of an application."},
    {"call", VEL_METH(call), METH_FASTCALL, "call(name, app, *args): a table slot by name."},
    {nullptr, nullptr, 0, nullptr},
};

int consumer_exec(PyObject *)
{
    api = vel::keystone::bind();
    return api == nullptr ? -1 : 0;
}

PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(consumer_exec)};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velmora._keystone_consumer", nullptr, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__keystone_consumer(void) { return PyModuleDef_Init(&module_def); }
