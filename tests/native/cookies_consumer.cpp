// `velmora._cookies_consumer`: a module built against cookies_api.h the way
// a sibling module is.  It binds the interface with bind() while it is
// imported and exposes every slot and entry point of the table, and the
// published layout, to the test suite.
#include <Python.h>

#include "consumer.hpp"
#include "cookies/cookies_api.h"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::cookies::CAPI;
using vel::cookies::CookieMethods;
using vel::cookies::CookieObject;

const CAPI *g_api = nullptr;

const CAPI *api() { return g_api; }
const CookieMethods *methods() { return g_api->cookie_methods; }

}  // namespace

template <>
PyTypeObject *consumer::type_of<CookieObject>()
{
    return g_api->cookie_type;
}

namespace {

PyObject *bound_objects(PyObject *, PyObject *)
{
    return PyTuple_Pack(4, g_api->cookie_type, g_api->same_site_mode_type, g_api->cookie_error,
                        g_api->cookie_value_exceeds_maximum_length);
}

PyObject *layout(PyObject *, PyObject *obj)
{
    if (!vel::check_arg(obj, g_api->cookie_type, "cookie", false)) {
        return nullptr;
    }
    auto *c = reinterpret_cast<CookieObject *>(obj);
    return Py_BuildValue("(OOOOOiiLk)", c->name, c->value, c->expires, c->domain, c->path, c->http_only, c->secure,
                         static_cast<long long>(c->max_age), static_cast<unsigned long>(c->same_site));
}

#define ENTRY(name) {#name, VEL_METH((consumer::call<api, &CAPI::name>)), METH_FASTCALL, nullptr}

PyMethodDef module_methods[] = {
    {"clone", VEL_METH((consumer::call<methods, &CookieMethods::clone>)), METH_FASTCALL, nullptr},
    ENTRY(datetime_from_cookie_format), ENTRY(datetime_to_cookie_format), ENTRY(split_value),
    ENTRY(write_cookie_for_response), ENTRY(same_site_mode_from_bytes), ENTRY(parse_cookie),
    {"bound_objects", bound_objects, METH_NOARGS, nullptr},
    {"layout", layout, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__cookies_consumer()
{
    return consumer::init<CAPI, vel::cookies::bind, &g_api>("velmora._cookies_consumer",
                                                      "Calls the cookies interface as a sibling would.", module_methods);
}
