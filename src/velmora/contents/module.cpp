// velmora.contents: the module, its state and its table for the sibling
// modules.  The coroutine methods of the content types are Python functions
// from velmora._contents_async, put into the types' dictionaries here while
// the types are still private to this module.
#include <Python.h>

#include "contents/contents_internal.h"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/ref.hpp"

namespace vel::contents {

State *g_state = nullptr;

PyObject *json_bytes(PyObject *value, PyObject *dumps)
{
    Ref function = borrow(dumps != nullptr && dumps != Py_None ? dumps : nullptr);
    if (!function) {
        Ref custom = steal(PyObject_GetAttr(g_state->json_settings, g_state->str_has_custom_dumps));
        int truth = custom ? PyObject_IsTrue(custom.get()) : -1;
        if (truth <= 0) {
            return truth < 0 ? nullptr : PyObject_CallOneArg(g_state->msgspec_encode, value);
        }
        function = steal(PyObject_GetAttr(g_state->json_settings, g_state->str_dumps));
        if (!function) {
            return nullptr;
        }
    }
    Ref text = steal(PyObject_CallOneArg(function.get(), value));
    if (!text) {
        return nullptr;
    }
    if (PyUnicode_Check(text.get())) {
        return PyUnicode_AsUTF8String(text.get());
    }
    if (PyBytes_Check(text.get()) || PyByteArray_Check(text.get())) {
        return PyBytes_FromObject(text.get());
    }
    PyErr_Format(PyExc_TypeError, "dumps() must return str or bytes, not %.200s", Py_TYPE(text.get())->tp_name);
    return nullptr;
}

PyObject *call_type(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = steal(PyTuple_New(nargs));
    Ref kwargs = tuple && kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0 ? steal(PyDict_New()) : Ref();
    if (!tuple || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0 && !kwargs)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    }
    for (Py_ssize_t k = 0; kwargs && k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
            return nullptr;
        }
    }
    return PyType_Type.tp_call(callable, tuple.get(), kwargs.get());
}

namespace {

// The table entry: the Python override of dispose when a subclass defines
// one.  The module's own classes all share Content.dispose.
int dispose_entry(ContentObject *self)
{
    if (!is_native(Py_TYPE(self))) {
        OverrideSlot &slot = g_state->dispose_slot;
        int overridden = slot.overridden(reinterpret_cast<PyObject *>(self));
        if (overridden != 0) {
            return overridden < 0 ? -1 : override_result_void(slot.call_with(reinterpret_cast<PyObject *>(self)));
        }
    }
    return content_dispose(self);
}

const ContentMethods CONTENT_METHODS = {dispose_entry};
const ServerSentEventMethods SERVER_SENT_EVENT_METHODS = {sse_write_data};
CAPI capi_table;

int load_imports(State *st)
{
    st->msgspec_encode = import_attr("msgspec.json", "encode");
    st->json_settings = st->msgspec_encode ? import_attr("velmora.settings.json", "json_settings") : nullptr;
    st->limits = st->json_settings ? import_attr("velmora.settings.limits", "limits") : nullptr;
    st->urlencode = st->limits ? import_attr("urllib.parse", "urlencode") : nullptr;
    st->message_aborted = st->urlencode ? import_attr("velmora.exceptions", "MessageAborted") : nullptr;
    st->payload_too_large = st->message_aborted ? import_attr("velmora.exceptions", "PayloadTooLarge") : nullptr;
    st->invalid_operation = st->payload_too_large ? import_attr("velmora.exceptions", "InvalidOperation") : nullptr;
    return st->invalid_operation != nullptr ? 0 : -1;
}

int load_constants(State *st)
{
    struct {
        PyObject **field;
        const char *text;
    } const bytes[] = {
        {&st->ct_text, "text/plain; charset=utf-8"},
        {&st->ct_html, "text/html; charset=utf-8"},
        {&st->ct_json, "application/json"},
        {&st->ct_form, "application/x-www-form-urlencoded"},
        {&st->empty_bytes, ""},
    };
    for (const auto &b : bytes) {
        // The companion's shared object when it knows the media type.
        PyObject *shared = b.text[0] != '\0' ? get_interned_content_type_bytes(b.text, strlen(b.text)) : nullptr;
        *b.field = shared != nullptr ? Py_NewRef(shared) : bytes_const(b.text);
        if (*b.field == nullptr) {
            return -1;
        }
    }
    struct {
        PyObject **field;
        const char *text;
    } const names[] = {
        {&st->str_type, "type"},
        {&st->str_body, "body"},
        {&st->str_more_body, "more_body"},
        {&st->str_http_request, "http.request"},
        {&st->str_http_disconnect, "http.disconnect"},
        {&st->str_has_custom_dumps, "has_custom_dumps"},
        {&st->str_dumps, "dumps"},
        {&st->str_max_body_size, "max_body_size"},
        {&st->str_read, "read"},
        {&st->str_seek, "seek"},
        {&st->str_tell, "tell"},
        {&st->str_decode, "decode"},
    };
    for (const auto &n : names) {
        *n.field = intern(n.text);
        if (*n.field == nullptr) {
            return -1;
        }
    }
    return 0;
}

int load_types(PyObject *module, State *st)
{
    struct {
        TypeIndex index;
        PyType_Spec *spec;
        int base;  // a TypeIndex, or -1
    } const specs[] = {
        {T_CONTENT, &content_spec, -1},
        {T_STREAMED, &streamed_spec, T_CONTENT},
        {T_TEXT, &text_spec, T_CONTENT},
        {T_HTML, &html_spec, T_CONTENT},
        {T_JSON, &json_spec, T_CONTENT},
        {T_FORM, &form_spec, T_CONTENT},
        {T_MULTIPART, &multipart_spec, T_STREAMED},
        {T_ASGI, &asgi_spec, T_CONTENT},
        {T_RSGI, &rsgi_spec, T_CONTENT},
        {T_SSE, &sse_spec, -1},
        {T_TEXT_SSE, &text_sse_spec, T_SSE},
        {T_FORM_PART, &form_part_spec, -1},
        {T_FILE_BUFFER, &file_buffer_spec, T_FORM_PART},
        {T_STREAMED_FORM_PART, &streamed_form_part_spec, T_FORM_PART},
    };
    for (const auto &s : specs) {
        PyObject *base = s.base >= 0 ? reinterpret_cast<PyObject *>(st->types[s.base]) : nullptr;
        st->types[s.index] = add_type(module, s.spec, base);
        if (st->types[s.index] == nullptr) {
            return -1;
        }
    }
    set_content_vectorcalls(st->types);
    set_reader_vectorcalls(st->types);
    set_event_vectorcalls(st->types);
    if (st->dispose_slot.init(st->types[T_CONTENT], "dispose") < 0) {
        return -1;
    }
    return st->write_data_slot.init(st->types[T_SSE], "write_data");
}

// velmora._contents_async.METHODS maps class names to {name: function};
// each function becomes a method of that class.
int install_methods(PyObject *module, State *st)
{
    Ref source = steal(PyImport_ImportModule("velmora._contents_async"));
    Ref methods = source ? steal(PyObject_GetAttrString(source.get(), "METHODS")) : Ref();
    st->multipart_provider = methods ? PyObject_GetAttrString(source.get(), "multipart_provider") : nullptr;
    if (st->multipart_provider == nullptr) {
        return -1;
    }
    if (!PyDict_Check(methods.get())) {
        PyErr_SetString(PyExc_ImportError, "velmora._contents_async.METHODS must be a dict");
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *class_name;
    PyObject *functions;
    while (PyDict_Next(methods.get(), &pos, &class_name, &functions)) {
        Ref type = steal(PyObject_GetAttr(module, class_name));
        if (!type || !PyType_Check(type.get()) || !PyDict_Check(functions)) {
            PyErr_Format(PyExc_ImportError, "cannot install the methods of %R", class_name);
            return -1;
        }
        PyTypeObject *tp = type.as<PyTypeObject>();
        if (PyDict_Update(tp->tp_dict, functions) < 0) {
            return -1;
        }
        PyType_Modified(tp);
    }
    return 0;
}

int publish(PyObject *module, State *st)
{
    PyTypeObject **t = st->types;
    capi_table = CAPI{
        capi_header<CAPI>(CAPI_VERSION),
        t[T_CONTENT],
        t[T_STREAMED],
        t[T_TEXT],
        t[T_HTML],
        t[T_JSON],
        t[T_FORM],
        t[T_FILE_BUFFER],
        t[T_STREAMED_FORM_PART],
        t[T_MULTIPART],
        t[T_ASGI],
        t[T_RSGI],
        t[T_SSE],
        t[T_TEXT_SSE],
        t[T_FORM_PART],
        &CONTENT_METHODS,
        &SERVER_SENT_EVENT_METHODS,
        parse_www_form_urlencoded,
        simplify_multipart_data,
        content_new,
        text_content_new,
        rsgi_content_new,
    };
    return publish_capi(module, CAPI_NAME, &capi_table.header);
}

int contents_exec(PyObject *module)
{
    State *st = init_state<State>(module, &g_state);
    if (st == nullptr || load_imports(st) < 0 || load_constants(st) < 0 || load_types(module, st) < 0 ||
        PyModule_AddFunctions(module, form_functions) < 0 || install_methods(module, st) < 0) {
        return -1;
    }
    return publish(module, st);
}

PyModuleDef_Slot contents_slots[] = {VEL_MODULE_SLOTS(contents_exec)};

PyModuleDef contents_module = module_def<State, &g_state>(
    "velmora.contents",
    "Message bodies (Content and its subclasses, the request body readers), form parts and server-sent events.",
    nullptr, contents_slots);

}  // namespace

}  // namespace vel::contents

PyMODINIT_FUNC PyInit_contents(void) { return PyModuleDef_Init(&vel::contents::contents_module); }
