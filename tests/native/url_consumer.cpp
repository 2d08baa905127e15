// `velmora._url_consumer`: a module built against url_api.h the way a
// sibling module is.  It binds the interface with bind() while it is
// imported and exposes every slot and entry point of the table, and the
// published layout, to the test suite.
#include <Python.h>

#include "consumer.hpp"
#include "url/url_api.h"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::url::CAPI;
using vel::url::UrlMethods;
using vel::url::URLObject;

const CAPI *g_api = nullptr;

const CAPI *api() { return g_api; }
const UrlMethods *methods() { return g_api->methods; }

PyObject *bound_objects(PyObject *, PyObject *) { return PyTuple_Pack(2, g_api->url_type, g_api->invalid_url); }

PyObject *layout(PyObject *, PyObject *obj)
{
    if (!vel::check_arg(obj, g_api->url_type, "url", false)) {
        return nullptr;
    }
    auto *u = reinterpret_cast<URLObject *>(obj);
    return Py_BuildValue("(OOOiOOON)", u->value, u->schema, u->host, u->port, u->path, u->query, u->fragment,
                         PyBool_FromLong(u->is_absolute));
}

// The URL slots take the object as PyObject *: the test passes URLs only.
#define SLOT(name) {#name, VEL_METH((consumer::call<methods, &UrlMethods::name>)), METH_FASTCALL, nullptr}
#define ENTRY(name) {#name, VEL_METH((consumer::call<api, &CAPI::name>)), METH_FASTCALL, nullptr}

PyMethodDef module_methods[] = {
    SLOT(join), SLOT(base_url), SLOT(with_host), SLOT(with_scheme), SLOT(with_query),
    ENTRY(join_prefix), ENTRY(build_absolute_url), ENTRY(url_from_bytes),
    {"bound_objects", bound_objects, METH_NOARGS, nullptr},
    {"layout", layout, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__url_consumer()
{
    return consumer::init<CAPI, vel::url::bind, &g_api>("velmora._url_consumer",
                                                      "Calls the url interface as a sibling would.", module_methods);
}
