// `velmora._scribe_consumer`: a module built against scribe_api.h the way a
// sibling module is, so that the tests can call every entry of the
// published table.
#include <Python.h>

#include "scribe/scribe_api.h"
#include "vel/module.hpp"

namespace {

const vel::scribe::CAPI *api = nullptr;
const vel::messages::CAPI *messages = nullptr;

bool is_response(PyObject *obj)
{
    if (PyObject_TypeCheck(obj, messages->Response_Type)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "a Response is required");
    return false;
}

auto *as_response(PyObject *obj) { return reinterpret_cast<vel::messages::ResponseObject *>(obj); }

PyObject *max_response_chunk_size(PyObject *, PyObject *) { return PyLong_FromLongLong(api->max_response_chunk_size); }

PyObject *set_headers(PyObject *, PyObject *response)
{
    if (!is_response(response) || api->set_headers_for_response_content(as_response(response)) < 0) {
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

PyObject *write_sse(PyObject *, PyObject *event) { return api->write_sse(event); }

PyObject *extract(PyObject *, PyObject *raw) { return api->extract_rsgi_headers(raw); }

PyObject *dispatch(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return nargs == 3 ? api->dispatch_rsgi_http(args[0], args[1], args[2]) : nullptr;
}

PyObject *instantiate(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return nargs == 2 ? reinterpret_cast<PyObject *>(api->instantiate_rsgi_request(args[0], args[1])) : nullptr;
}

PyObject *send_sync(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || !is_response(args[0])) {
        return nullptr;
    }
    return api->send_rsgi_response_sync(as_response(args[0]), args[1]);
}

PyMethodDef functions[] = {
    {"max_response_chunk_size", max_response_chunk_size, METH_NOARGS, nullptr},
    {"set_headers_for_response_content", set_headers, METH_O, nullptr},
    {"write_sse", write_sse, METH_O, nullptr},
    {"extract_rsgi_headers", extract, METH_O, nullptr},
    {"dispatch_rsgi_http", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dispatch)), METH_FASTCALL,
     nullptr},
    {"instantiate_rsgi_request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(instantiate)),
     METH_FASTCALL, nullptr},
    {"send_rsgi_response_sync", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send_sync)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject *)
{
    api = vel::scribe::bind();
    messages = api != nullptr ? vel::messages::bind() : nullptr;
    return messages != nullptr ? 0 : -1;
}

PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora._scribe_consumer", "Calls the published table of velmora.scribe.", 0, functions,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__scribe_consumer(void) { return PyModuleDef_Init(&module_def); }
