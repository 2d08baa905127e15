// `velmora._scribe_consumer`: binds the published table of velmora.scribe
// the way a sibling module does, so that the tests can call every entry.
#include <Python.h>

#include "consumer.hpp"
#include "scribe/scribe_api.h"
#include "vel/object.hpp"

namespace {

using vel::messages::ResponseObject;
using vel::scribe::CAPI;

const CAPI *g_api = nullptr;

const CAPI *api() { return g_api; }

PyObject *max_response_chunk_size(PyObject *, PyObject *) { return PyLong_FromLongLong(g_api->max_response_chunk_size); }

PyObject *instantiate(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("instantiate_rsgi_request", nargs, 2, 2)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(g_api->instantiate_rsgi_request(args[0], args[1]));
}

PyMethodDef functions[] = {
    {"max_response_chunk_size", max_response_chunk_size, METH_NOARGS, nullptr},
    {"set_headers_for_response_content", VEL_METH((consumer::call<api, &CAPI::set_headers_for_response_content>)),
     METH_FASTCALL, nullptr},
    {"write_sse", VEL_METH((consumer::call<api, &CAPI::write_sse>)), METH_FASTCALL, nullptr},
    {"extract_rsgi_headers", VEL_METH((consumer::call<api, &CAPI::extract_rsgi_headers>)), METH_FASTCALL, nullptr},
    {"dispatch_rsgi_http", VEL_METH((consumer::call<api, &CAPI::dispatch_rsgi_http>)), METH_FASTCALL, nullptr},
    {"send_rsgi_response_sync", VEL_METH((consumer::call<api, &CAPI::send_rsgi_response_sync>)), METH_FASTCALL,
     nullptr},
    {"instantiate_rsgi_request", VEL_METH(instantiate), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

template <>
PyTypeObject *consumer::type_of<ResponseObject>()
{
    static const vel::messages::CAPI *messages = vel::messages::bind();
    return messages != nullptr ? messages->Response_Type : nullptr;
}

PyMODINIT_FUNC PyInit__scribe_consumer(void)
{
    return consumer::init<CAPI, vel::scribe::bind, &g_api>("velmora._scribe_consumer",
                                                            "Calls the published table of velmora.scribe.", functions);
}
