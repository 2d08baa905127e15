// velmora.scribe: the module, its state and its published table.
#include "scribe/scribe_internal.h"

namespace vel::scribe {

State *g_state = nullptr;

namespace {

int set_response_headers_entry(ResponseObject *response) { return set_headers_for_response_content(response); }

CAPI SCRIBE_CAPI = {
    capi_header<CAPI>(CAPI_VERSION),
    MAX_RESPONSE_CHUNK_SIZE,
    set_response_headers_entry,
    write_sse,
    dispatch_rsgi_http,
    instantiate_rsgi_request,
    send_rsgi_response_sync,
    extract_rsgi_headers,
};

int init_strings(State *st)
{
    struct Text {
        PyObject **slot;
        const char *text;
        bool bytes;
    };
    const Text texts[] = {
        {&st->s_type, "type", false},
        {&st->s_status, "status", false},
        {&st->s_headers, "headers", false},
        {&st->s_body, "body", false},
        {&st->s_more_body, "more_body", false},
        {&st->s_start, "http.response.start", false},
        {&st->s_body_type, "http.response.body", false},
        {&st->b_empty, "", true},
        {&st->b_content_type, "content-type", true},
        {&st->b_content_length, "content-length", true},
        {&st->b_transfer_encoding, "transfer-encoding", true},
        {&st->b_chunked, "chunked", true},
        {&st->b_zero, "0", true},
        {&st->b_octet_stream, "application/octet-stream", true},
        {&st->s_path, "path", false},
        {&st->s_query_string, "query_string", false},
        {&st->s_method, "method", false},
        {&st->s_handle, "handle", false},
        {&st->s_items, "items", false},
        {&st->s_file_path, "file_path", false},
        {&st->s_file_range, "file_range", false},
        {&st->s_response_empty, "response_empty", false},
        {&st->s_response_str, "response_str", false},
        {&st->s_response_bytes, "response_bytes", false},
        {&st->s_response_file, "response_file", false},
        {&st->s_response_file_range, "response_file_range", false},
        {&st->s_length, "length", false},
        {&st->s_lower, "lower", false},
        {&st->s_send_rsgi_stream, "_send_rsgi_stream", false},
        {&st->s_send_rsgi_range, "_send_rsgi_range", false},
        {&st->s_await_res_sync, "_await_res_sync", false},
        {&st->s_dispatch_rsgi_async, "_dispatch_rsgi_async", false},
        {&st->s_content_type, "content-type", false},
    };
    for (const Text &t : texts) {
        *t.slot = t.bytes ? PyBytes_FromString(t.text) : PyUnicode_InternFromString(t.text);
        if (*t.slot == nullptr) {
            return -1;
        }
    }
    return 0;
}

// The coroutines and generators written in Python: velmora._scribe_async
// binds the native helpers it calls and hands over its public functions.
int install_python_functions(PyObject *module)
{
    Ref source = steal(PyImport_ImportModule("velmora._scribe_async"));
    Ref functions = source ? steal(PyObject_CallMethod(source.get(), "_bind", "O", module)) : Ref();
    if (!functions) {
        return -1;
    }
    if (!PyTuple_Check(functions.get())) {
        PyErr_SetString(PyExc_ImportError, "velmora._scribe_async._bind() must return a tuple");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(functions.get()); ++i) {
        PyObject *fn = PyTuple_GET_ITEM(functions.get(), i);
        Ref name = steal(PyObject_GetAttrString(fn, "__name__"));
        if (!name || PyModule_AddObjectRef(module, PyUnicode_AsUTF8(name.get()), fn) < 0) {
            return -1;
        }
    }
    return 0;
}

int exec(PyObject *module)
{
    State *st = init_state<State>(module, &g_state);
    if (st == nullptr || init_strings(st) < 0) {
        return -1;
    }
    st->messages = messages::bind();
    st->contents = st->messages != nullptr ? contents::bind() : nullptr;
    st->cookies = st->contents != nullptr ? cookies::bind() : nullptr;
    if (st->cookies == nullptr) {
        return -1;
    }
    st->module_dict = Py_NewRef(PyModule_GetDict(module));
    Ref rx = steal(PyImport_ImportModule("re"));
    Ref new_lines = rx ? steal(PyObject_CallMethod(rx.get(), "compile", "s", "\r\n|\r|\n")) : Ref();
    if (!new_lines || PyModule_AddObjectRef(module, "_NEW_LINES_RX", new_lines.get()) < 0 ||
        PyModule_AddIntConstant(module, "MAX_RESPONSE_CHUNK_SIZE", MAX_RESPONSE_CHUNK_SIZE) < 0 ||
        PyModule_AddFunctions(module, asgi_functions) < 0 || PyModule_AddFunctions(module, sse_functions) < 0 ||
        PyModule_AddFunctions(module, rsgi_functions) < 0 || init_rsgi_tables(module, st) < 0 ||
        install_python_functions(module) < 0) {
        return -1;
    }
    return publish_capi(module, CAPI_NAME, &SCRIBE_CAPI.header);
}

PyModuleDef_Slot module_slots[] = {VEL_MODULE_SLOTS(exec)};

PyModuleDef module_def_ = module_def<State, &g_state>(
    "velmora.scribe",
    "Response writing: content headers, ASGI messages, chunked framing, server-sent events and the RSGI "
    "bridge.",
    nullptr, module_slots);

}  // namespace

}  // namespace vel::scribe

PyMODINIT_FUNC PyInit_scribe(void) { return PyModuleDef_Init(&vel::scribe::module_def_); }
