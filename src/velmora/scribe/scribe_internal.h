// Internal declarations of velmora.scribe shared by its source files.
#pragma once

#include <Python.h>

#include <cstddef>

#include "contents/contents_api.h"
#include "cookies/cookies_api.h"
#include "messages/messages_api.h"
#include "scribe/scribe_api.h"
#include "vel/args.hpp"
#include "vel/compat.hpp"
#include "vel/module.hpp"
#include "vel/ref.hpp"

namespace vel::scribe {

using messages::MessageObject;
using messages::RequestObject;
using messages::ResponseObject;

// The five content types with a prebuilt RSGI header list.
inline constexpr int COMMON_CT_COUNT = 5;

struct State {
    const messages::CAPI *messages;
    const contents::CAPI *contents;
    const cookies::CAPI *cookies;
    PyObject *module_dict;  // the module's globals, for look-ups at call time

    // ASGI message keys and values
    PyObject *s_type, *s_status, *s_headers, *s_body, *s_more_body;
    PyObject *s_start, *s_body_type;
    // bytes
    PyObject *b_empty, *b_content_type, *b_content_length, *b_transfer_encoding, *b_chunked, *b_zero,
        *b_octet_stream;
    // attribute and method names
    PyObject *s_path, *s_query_string, *s_method, *s_handle, *s_items, *s_file_path, *s_file_range,
        *s_response_empty, *s_response_str, *s_response_bytes, *s_response_file, *s_response_file_range,
        *s_length, *s_lower;
    // module globals called by the bridge
    PyObject *s_send_rsgi_stream, *s_send_rsgi_range, *s_await_res_sync, *s_dispatch_rsgi_async;
    PyObject *s_content_type;  // "content-type" as str
    // RSGI tables (also module attributes)
    PyObject *name_str, *val_str, *ct_str_cache, *static_by_ct, *empty_headers;

    template <class F>
    void fields(F &&f)
    {
        f(module_dict);
        f(s_type); f(s_status); f(s_headers); f(s_body); f(s_more_body); f(s_start); f(s_body_type);
        f(b_empty); f(b_content_type); f(b_content_length); f(b_transfer_encoding); f(b_chunked); f(b_zero);
        f(b_octet_stream);
        f(s_path); f(s_query_string); f(s_method); f(s_handle); f(s_items); f(s_file_path); f(s_file_range);
        f(s_response_empty); f(s_response_str); f(s_response_bytes); f(s_response_file);
        f(s_response_file_range); f(s_length); f(s_lower);
        f(s_send_rsgi_stream); f(s_send_rsgi_range); f(s_await_res_sync); f(s_dispatch_rsgi_async);
        f(s_content_type);
        f(name_str); f(val_str); f(ct_str_cache); f(static_by_ct); f(empty_headers);
    }
};

extern State *g_state;

// ------------------------------------------------------------ headers.cpp

// Which of the content headers a raw header list declares already (names
// compared without regard to case, bytes or str).
struct Declared {
    bool content_type = false;
    bool content_length = false;
    bool transfer_encoding = false;
};
int scan_declared(PyObject *raw, Declared *out);
// Whether a name (bytes or str) is `lower` (ASCII, lower case) in any case.
bool name_equals(PyObject *name, const char *lower, size_t n);
// The two items of a header entry as new references; TypeError when the
// entry is not a pair.
bool unpack_pair(PyObject *entry, Ref &name, Ref &value);
// ValueError when a header name or value holds CR, LF or NUL.
bool check_header_bytes(const char *data, Py_ssize_t n, bool is_name, PyObject *shown);
bool check_header_str(PyObject *text, bool is_name);
// A header name or value as str: str kept, bytes decoded as Latin-1,
// anything else through str(); `table` (a dict or NULL) is looked up first
// for bytes.  New reference.
PyObject *header_text(PyObject *value, PyObject *table);
PyObject *extract_rsgi_headers(PyObject *raw_headers);
// Attribute or NULL without an exception when absent; false on error.
inline bool optional_attr(PyObject *obj, PyObject *name, Ref &out)
{
    return vel::compat::get_optional_attr(obj, name, out.out()) >= 0;
}
// The attribute, or None when absent; false on error.
bool attr_or_none(PyObject *obj, PyObject *name, Ref &out);

// --------------------------------------------------------------- asgi.cpp

int set_headers_for_response_content(ResponseObject *response);
// The body of a fixed content as bytes (str as UTF-8, bytes-likes copied,
// None empty, other objects through str()).
PyObject *body_bytes(PyObject *body);
extern PyMethodDef asgi_functions[];

// ---------------------------------------------------------------- sse.cpp

PyObject *write_sse(PyObject *event);
extern PyMethodDef sse_functions[];

// --------------------------------------------------------------- rsgi.cpp

int init_rsgi_tables(PyObject *module, State *st);
PyObject *dispatch_rsgi_http(PyObject *app, PyObject *scope, PyObject *protocol);
RequestObject *instantiate_rsgi_request(PyObject *scope, PyObject *protocol);
PyObject *send_rsgi_response_sync(ResponseObject *response, PyObject *protocol);
extern PyMethodDef rsgi_functions[];

// The Response argument of a function, checked; NULL with TypeError.
ResponseObject *response_arg(PyObject *obj, const char *name);
// A module global looked up at call time (new reference).
PyObject *module_global(PyObject *name);

}  // namespace vel::scribe
