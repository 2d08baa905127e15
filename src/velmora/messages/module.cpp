// velmora.messages: the module, its bindings to the sibling modules and its
// published table.
#include <Python.h>

#include <cstring>

#include "messages/messages_internal.h"
#include "vel/capi.hpp"
#include "vel/module.hpp"

namespace vel::messages {

State *g_state = nullptr;

namespace {

// The header lists velmora.headers hands to every caller.
int bind_shared_lists(State *st)
{
    static const char *const names[] = {"STATIC_JSON_HEADERS", "STATIC_TEXT_HEADERS", "STATIC_HTML_HEADERS",
                                        "STATIC_NOT_FOUND_HEADERS"};
    Ref lists = steal(PyTuple_New(4));
    for (Py_ssize_t i = 0; lists && i < 4; ++i) {
        PyObject *list = vel::import_attr("velmora.headers", names[i]);
        if (list == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(lists.get(), i, list);
    }
    st->shared_lists = lists.release();
    return st->shared_lists != nullptr ? 0 : -1;
}

int bind_siblings(State *st)
{
    st->headers = vel::headers::bind();
    st->url = st->headers ? vel::url::bind() : nullptr;
    st->cookies = st->url ? vel::cookies::bind() : nullptr;
    st->contents = st->cookies ? vel::contents::bind() : nullptr;
    if (st->contents == nullptr) {
        return -1;
    }
    st->bad_request = vel::import_attr("velmora.exceptions", "BadRequest");
    st->identity = st->bad_request ? vel::import_attr("keyhold", "Identity") : nullptr;
    st->parse_qs = st->identity ? vel::import_attr("urllib.parse", "parse_qs") : nullptr;
    st->quote = st->parse_qs ? vel::import_attr("urllib.parse", "quote") : nullptr;
    st->urlencode = st->quote ? vel::import_attr("urllib.parse", "urlencode") : nullptr;
    st->http_status = st->urlencode ? vel::import_attr("http", "HTTPStatus") : nullptr;
    st->utcnow = st->http_status ? vel::import_attr("velmora.utils.time", "utcnow") : nullptr;
    Ref timedelta = st->utcnow ? steal(vel::import_attr("datetime", "timedelta")) : Ref();
    Ref days = timedelta ? steal(PyLong_FromLong(365)) : Ref();
    st->year = days ? PyObject_CallOneArg(timedelta.get(), days.get()) : nullptr;
    if (st->year == nullptr || bind_shared_lists(st) < 0) {
        return -1;
    }
    Ref compile = steal(vel::import_attr("re", "compile"));
    Ref flag = compile ? steal(vel::import_attr("re", "IGNORECASE")) : Ref();
    Ref pattern = flag ? steal(PyBytes_FromString("charset=([\\w\\-]+)")) : Ref();
    st->charset_rx = pattern ? PyObject_CallFunctionObjArgs(compile.get(), pattern.get(), flag.get(), nullptr)
                             : nullptr;
    return st->charset_rx != nullptr ? 0 : -1;
}

bool make_all(PyObject **fields[], const char *const texts[], size_t n, PyObject *(*make)(const char *))
{
    for (size_t i = 0; i < n; ++i) {
        *fields[i] = make(texts[i]);
        if (*fields[i] == nullptr) {
            return false;
        }
    }
    return true;
}

int make_constants(State *st)
{
    PyObject **strs[] = {&st->str_lower, &st->str_scope, &st->str_headers, &st->str_items, &st->str_get,
                         &st->str_search, &st->str_group, &st->str_scheme, &st->str_root_path, &st->str_client,
                         &st->str_utf8, &st->str_empty, &st->str_identity, &st->str_body_buffer, &st->str_remove,
                         &st->str_phrase, &st->str_set_cookie, &st->str_values, &st->str_file, &st->str_close,
                         &st->method_get, &st->method_head, &st->method_trace, &st->method_options};
    static const char *const str_texts[] = {"lower", "scope", "headers", "items", "get", "search", "group",
                                            "scheme", "root_path", "client", "utf8", "", "identity",
                                            "body_buffer", "remove", "phrase", "set_cookie",
                                            "values", "file", "close", "GET", "HEAD", "TRACE", "OPTIONS"};
    PyObject **bytes[] = {&st->b_empty, &st->b_host, &st->b_content_type, &st->b_cookie, &st->b_expect,
                          &st->b_origin, &st->b_acr_method, &st->b_etag, &st->b_if_none_match, &st->b_hx_request,
                          &st->b_hx_target, &st->b_hx_trigger, &st->b_hx_current_url, &st->b_hx_prompt,
                          &st->b_json, &st->b_xml, &st->b_set_cookie};
    static const char *const bytes_texts[] = {"", "host", "content-type", "cookie", "expect", "Origin",
                                              "Access-Control-Request-Method", "etag", "if-none-match",
                                              "hx-request", "hx-target", "hx-trigger", "hx-current-url",
                                              "hx-prompt", "json", "xml", "set-cookie"};
    constexpr size_t n_strs = sizeof str_texts / sizeof str_texts[0];
    constexpr size_t n_bytes = sizeof bytes_texts / sizeof bytes_texts[0];
    static_assert(n_strs == sizeof strs / sizeof strs[0] && n_bytes == sizeof bytes / sizeof bytes[0]);
    if (!make_all(strs, str_texts, n_strs, vel::intern) || !make_all(bytes, bytes_texts, n_bytes, vel::bytes_const)) {
        return -1;
    }
    Py_SETREF(st->b_set_cookie, intern_header_name_bytes(st->b_set_cookie));
    if (st->b_set_cookie == nullptr) {
        return -1;
    }
    // The methods are the companion's shared objects, so that interned
    // request methods compare by identity.
    for (PyObject **m : {&st->method_get, &st->method_head, &st->method_trace, &st->method_options}) {
        Py_SETREF(*m, intern_method_str(*m));
        if (*m == nullptr) {
            return -1;
        }
    }
    st->req_freelist = PyList_New(0);
    st->resp_freelist = PyList_New(0);
    return st->req_freelist && st->resp_freelist ? 0 : -1;
}

struct SlotName {
    Slot slot;
    const char *name;
    int type;  // 0 Message, 1 Request, 2 Response
};

const SlotName SLOT_NAMES[] = {
    {S_GET_HEADERS, "get_headers", 0},
    {S_GET_FIRST_HEADER, "get_first_header", 0},
    {S_GET_SINGLE_HEADER, "get_single_header", 0},
    {S_REMOVE_HEADER, "remove_header", 0},
    {S_HAS_HEADER, "has_header", 0},
    {S_ADD_HEADER, "add_header", 0},
    {S_SET_HEADER, "set_header", 0},
    {S_CONTENT_TYPE, "content_type", 0},
    {S_WITH_CONTENT, "with_content", 0},
    {S_HAS_BODY, "has_body", 0},
    {S_DECLARES_CONTENT_TYPE, "declares_content_type", 0},
    {S_DECLARES_JSON, "declares_json", 0},
    {S_DECLARES_XML, "declares_xml", 0},
    {S_EXPECT_100_CONTINUE, "expect_100_continue", 1},
    {S_REQUEST_RESET, "reset", 1},
    {S_GET_QUERY_PARAM, "get_query_param", 1},
    {S_GET_QUERY_PARAMS, "get_query_params", 1},
    {S_IS_REDIRECT, "is_redirect", 2},
    {S_RESPONSE_RESET, "reset", 2},
};

int init_slots(State *st)
{
    PyTypeObject *types[] = {st->Message_Type, st->Request_Type, st->Response_Type};
    for (const SlotName &s : SLOT_NAMES) {
        if (st->slots[s.slot].init(types[s.type], s.name) < 0) {
            return -1;
        }
    }
    return 0;
}

int add_module_values(PyObject *module, State *st)
{
    Ref capacity = steal(PyLong_FromLong(MAX_FREELIST_CAPACITY));
    if (!capacity || PyModule_AddObjectRef(module, "MAX_FREELIST_CAPACITY", capacity.get()) < 0 ||
        PyModule_AddObjectRef(module, "REQ_FREELIST", st->req_freelist) < 0 ||
        PyModule_AddObjectRef(module, "RESP_FREELIST", st->resp_freelist) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "_charset_rx", st->charset_rx);
}

// velmora._messages_async holds the body-reading coroutines: METHODS maps
// a class name to {name: function}, each put into the class's dictionary
// (the types are immutable to Python code, not to their module), and
// FUNCTIONS the module-private coroutines, put into the module.
int install_python_methods(PyObject *module, State *st)
{
    Ref source = steal(PyImport_ImportModule("velmora._messages_async"));
    Ref methods = source ? steal(PyObject_GetAttrString(source.get(), "METHODS")) : Ref();
    Ref functions = methods ? steal(PyObject_GetAttrString(source.get(), "FUNCTIONS")) : Ref();
    if (!functions) {
        return -1;
    }
    if (!PyDict_Check(methods.get()) || !PyDict_Check(functions.get())) {
        PyErr_SetString(PyExc_ImportError, "velmora._messages_async: METHODS and FUNCTIONS must be dicts");
        return -1;
    }
    PyTypeObject *types[] = {st->Message_Type, st->Request_Type, st->Response_Type};
    for (PyTypeObject *type : types) {
        const char *dot = std::strrchr(type->tp_name, '.');
        PyObject *own = PyDict_GetItemString(methods.get(), dot + 1);  // borrowed
        if (own == nullptr || !PyDict_Check(own)) {
            PyErr_Format(PyExc_ImportError, "velmora._messages_async has no methods for %s", dot + 1);
            return -1;
        }
        if (PyDict_Update(type->tp_dict, own) < 0) {
            return -1;
        }
        PyType_Modified(type);
    }
    Py_ssize_t pos = 0;
    PyObject *name;
    PyObject *function;
    while (PyDict_Next(functions.get(), &pos, &name, &function)) {
        if (PyObject_SetAttr(module, name, function) < 0) {
            return -1;
        }
    }
    return 0;
}

CAPI capi_table;

int publish(PyObject *module, State *st)
{
    capi_table = CAPI{
        vel::capi_header<CAPI>(CAPI_VERSION),
        st->Message_Type,
        st->Request_Type,
        st->Response_Type,
        &MESSAGE_METHODS,
        &REQUEST_METHODS,
        &RESPONSE_METHODS,
        ensure_bytes,
        method_without_body,
        is_cors_preflight_request,
        is_cors_request,
        get_absolute_url_to_path,
        get_request_absolute_url,
        acquire_request,
        acquire_response,
        release_request,
        release_response,
        intern_method_str,
        intern_header_name_bytes,
    };
    return vel::publish_capi(module, CAPI_NAME, &capi_table.header);
}

int messages_exec(PyObject *module)
{
    State *st = vel::init_state<State>(module, &g_state);
    if (st == nullptr || bind_siblings(st) < 0 || make_constants(st) < 0 || init_message_type(module, st) < 0 ||
        init_request_type(module, st) < 0 || init_response_type(module, st) < 0 || init_slots(st) < 0 ||
        add_module_values(module, st) < 0 || install_python_methods(module, st) < 0) {
        return -1;
    }
    return publish(module, st);
}

PyModuleDef_Slot messages_slots[] = {VEL_MODULE_SLOTS(messages_exec)};

PyModuleDef messages_module = vel::module_def<State, &g_state>(
    "velmora.messages", "Message, Request and Response: the HTTP message model.", MODULE_FUNCTIONS, messages_slots);

}  // namespace

}  // namespace vel::messages

PyMODINIT_FUNC PyInit_messages(void) { return PyModuleDef_Init(&vel::messages::messages_module); }
