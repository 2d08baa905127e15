// `velmora._headers_consumer`: a module built against headers_api.h the way
// a sibling module is.  It binds the interface with bind() while it is
// imported and exposes every slot of the table, and the published layouts,
// to the test suite.
#include <Python.h>

#include "consumer.hpp"
#include "headers/headers_api.h"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

using vel::headers::CAPI;
using vel::headers::HeaderObject;
using vel::headers::HeadersMethods;
using vel::headers::HeadersObject;

const CAPI *g_api = nullptr;

const CAPI *api() { return g_api; }
const HeadersMethods *methods() { return g_api->methods; }

}  // namespace

template <>
PyTypeObject *consumer::type_of<HeadersObject>()
{
    return g_api->Headers_Type;
}

namespace {

PyObject *bound_types(PyObject *, PyObject *) { return PyTuple_Pack(2, g_api->Header_Type, g_api->Headers_Type); }

// (name, value) of a Header, (values,) of a Headers, read from the layout.
PyObject *layout(PyObject *, PyObject *obj)
{
    if (PyObject_TypeCheck(obj, g_api->Header_Type)) {
        auto *h = reinterpret_cast<HeaderObject *>(obj);
        return PyTuple_Pack(2, h->name, h->value);
    }
    if (!vel::check_arg(obj, g_api->Headers_Type, "obj", false)) {
        return nullptr;
    }
    return PyTuple_Pack(1, reinterpret_cast<HeadersObject *>(obj)->values);
}

#define SLOT(name) {#name, VEL_METH((consumer::call<methods, &HeadersMethods::name>)), METH_FASTCALL, nullptr}

PyMethodDef module_methods[] = {
    SLOT(keys), SLOT(clone), SLOT(get), SLOT(get_tuples), SLOT(add), SLOT(set), SLOT(get_single),
    SLOT(get_first), SLOT(remove), SLOT(merge), SLOT(contains),
    {"intern_header_name_bytes", VEL_METH((consumer::call<api, &CAPI::intern_header_name_bytes>)), METH_FASTCALL,
     nullptr},
    {"simd_lower_bytes", VEL_METH((consumer::call<api, &CAPI::simd_lower_bytes>)), METH_FASTCALL, nullptr},
    {"bound_types", bound_types, METH_NOARGS, nullptr},
    {"layout", layout, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__headers_consumer()
{
    return consumer::init<CAPI, vel::headers::bind, &g_api>("velmora._headers_consumer",
                                                      "Calls the headers interface as a sibling would.", module_methods);
}
