// `velmora._contents_consumer`: a sibling module built against
// contents/contents_api.h, as messages and scribe are, so that the tests
// can check the published layouts and tables from the consumer's side.
#include <Python.h>

#include "contents/contents_api.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

const vel::contents::CAPI *api = nullptr;

bool check(PyObject *obj, PyTypeObject *type) { return vel::check_arg(obj, type, "value", false); }

// (type, body, length) read from the Content layout.
PyObject *content_fields(PyObject *, PyObject *obj)
{
    if (!check(obj, api->Content_Type)) {
        return nullptr;
    }
    auto *c = reinterpret_cast<vel::contents::ContentObject *>(obj);
    return Py_BuildValue("(OOL)", c->type, c->body, static_cast<long long>(c->length));
}

// (generator, file_path, file_range) read from the StreamedContent layout.
PyObject *streamed_fields(PyObject *, PyObject *obj)
{
    if (!check(obj, api->StreamedContent_Type)) {
        return nullptr;
    }
    auto *s = reinterpret_cast<vel::contents::StreamedContentObject *>(obj);
    return Py_BuildValue("(OOO)", s->generator, s->file_path, s->file_range);
}

// (data, event, id, retry, comment) read from the ServerSentEvent layout.
PyObject *event_fields(PyObject *, PyObject *obj)
{
    if (!check(obj, api->ServerSentEvent_Type)) {
        return nullptr;
    }
    auto *e = reinterpret_cast<vel::contents::ServerSentEventObject *>(obj);
    return Py_BuildValue("(OOOLO)", e->data, e->event, e->id, static_cast<long long>(e->retry), e->comment);
}

PyObject *dispose(PyObject *, PyObject *obj)
{
    if (!check(obj, api->Content_Type) ||
        api->content_methods->dispose(reinterpret_cast<vel::contents::ContentObject *>(obj)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *write_data(PyObject *, PyObject *obj)
{
    if (!check(obj, api->ServerSentEvent_Type)) {
        return nullptr;
    }
    return api->server_sent_event_methods->write_data(reinterpret_cast<vel::contents::ServerSentEventObject *>(obj));
}

PyObject *parse_form(PyObject *, PyObject *text) { return api->parse_www_form_urlencoded(text); }
PyObject *simplify(PyObject *, PyObject *data) { return api->simplify_multipart_data(data); }
PyObject *new_text(PyObject *, PyObject *text) { return api->text_content_new(text); }
PyObject *new_rsgi(PyObject *, PyObject *protocol) { return api->rsgi_content_new(protocol); }

PyObject *new_content(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return vel::check_nargs("new_content", nargs, 2, 2) ? api->content_new(args[0], args[1]) : nullptr;
}

// Every published type pointer, in table order.
PyObject *types(PyObject *, PyObject *)
{
    PyTypeObject *const all[] = {
        api->Content_Type,          api->StreamedContent_Type,  api->TextContent_Type,
        api->HTMLContent_Type,      api->JSONContent_Type,      api->FormContent_Type,
        api->FileBuffer_Type,       api->StreamedFormPart_Type, api->MultiPartFormData_Type,
        api->ASGIContent_Type,      api->RSGIContent_Type,      api->ServerSentEvent_Type,
        api->TextServerSentEvent_Type, api->FormPart_Type,
    };
    PyObject *result = PyTuple_New(sizeof all / sizeof all[0]);
    for (size_t i = 0; result != nullptr && i < sizeof all / sizeof all[0]; ++i) {
        PyTuple_SET_ITEM(result, i, Py_NewRef(reinterpret_cast<PyObject *>(all[i])));
    }
    return result;
}

PyMethodDef methods[] = {
    {"content_fields", content_fields, METH_O, nullptr},
    {"streamed_fields", streamed_fields, METH_O, nullptr},
    {"event_fields", event_fields, METH_O, nullptr},
    {"dispose", dispose, METH_O, nullptr},
    {"write_data", write_data, METH_O, nullptr},
    {"parse_form", parse_form, METH_O, nullptr},
    {"simplify", simplify, METH_O, nullptr},
    {"new_text", new_text, METH_O, nullptr},
    {"new_rsgi", new_rsgi, METH_O, nullptr},
    {"new_content", VEL_METH(new_content), METH_FASTCALL, nullptr},
    {"types", types, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int consumer_exec(PyObject *)
{
    api = vel::contents::bind();
    return api != nullptr ? 0 : -1;
}

PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(consumer_exec)};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "velmora._contents_consumer", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__contents_consumer(void) { return PyModuleDef_Init(&module); }
