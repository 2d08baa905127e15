// Shared between the source files of velmora.messages: the module state,
// the bound sibling tables, the field lists of the three types and the
// functions one file provides to another.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "cookies/cookies_api.h"
#include "headers/headers_api.h"
#include "contents/contents_api.h"
#include "messages/messages_api.h"
#include "url/url_api.h"
#include "vel/compat.hpp"
#include "vel/object.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace vel::messages {

// Python methods that the direct-call tables dispatch to when a subclass
// redefines them.
enum Slot {
    S_GET_HEADERS,
    S_GET_FIRST_HEADER,
    S_GET_SINGLE_HEADER,
    S_REMOVE_HEADER,
    S_HAS_HEADER,
    S_ADD_HEADER,
    S_SET_HEADER,
    S_CONTENT_TYPE,
    S_WITH_CONTENT,
    S_HAS_BODY,
    S_DECLARES_CONTENT_TYPE,
    S_DECLARES_JSON,
    S_DECLARES_XML,
    S_EXPECT_100_CONTINUE,
    S_REQUEST_RESET,
    S_GET_QUERY_PARAM,
    S_GET_QUERY_PARAMS,
    S_IS_REDIRECT,
    S_RESPONSE_RESET,
    S_COUNT,
};

struct State {
    PyTypeObject *Message_Type;
    PyTypeObject *Request_Type;
    PyTypeObject *Response_Type;

    const vel::headers::CAPI *headers;
    const vel::url::CAPI *url;
    const vel::cookies::CAPI *cookies;
    const vel::contents::CAPI *contents;

    PyObject *bad_request;    // velmora.exceptions.BadRequest
    PyObject *identity;       // keyhold.Identity
    PyObject *parse_qs;       // urllib.parse
    PyObject *quote;
    PyObject *urlencode;
    PyObject *charset_rx;     // re.compile(rb"charset=([\w\-]+)", re.I)
    PyObject *req_freelist;
    PyObject *resp_freelist;
    PyObject *http_status;    // http.HTTPStatus
    PyObject *utcnow;         // velmora.utils.time.utcnow
    PyObject *year;           // datetime.timedelta(days=365)
    PyObject *shared_lists;   // tuple of velmora.headers' STATIC_*_HEADERS lists

    // interned str
    PyObject *str_lower;
    PyObject *str_scope;
    PyObject *str_headers;
    PyObject *str_items;
    PyObject *str_get;
    PyObject *str_search;
    PyObject *str_group;
    PyObject *str_scheme;
    PyObject *str_root_path;
    PyObject *str_client;
    PyObject *str_utf8;
    PyObject *str_empty;
    PyObject *str_identity;
    PyObject *str_body_buffer;
    PyObject *str_remove;
    PyObject *str_phrase;
    PyObject *str_set_cookie;
    PyObject *str_values;
    PyObject *str_file;
    PyObject *str_close;
    PyObject *method_get;
    PyObject *method_head;
    PyObject *method_trace;
    PyObject *method_options;

    // bytes constants (header keys)
    PyObject *b_empty;
    PyObject *b_host;
    PyObject *b_content_type;
    PyObject *b_cookie;
    PyObject *b_expect;
    PyObject *b_origin;
    PyObject *b_acr_method;
    PyObject *b_etag;
    PyObject *b_if_none_match;
    PyObject *b_hx_request;
    PyObject *b_hx_target;
    PyObject *b_hx_trigger;
    PyObject *b_hx_current_url;
    PyObject *b_hx_prompt;
    PyObject *b_json;
    PyObject *b_xml;
    PyObject *b_set_cookie;   // the shared name

    vel::OverrideSlot slots[S_COUNT];

    template <class F>
    void fields(F &&f)
    {
        f(Message_Type), f(Request_Type), f(Response_Type);
        f(bad_request), f(identity), f(parse_qs), f(quote), f(urlencode), f(charset_rx);
        f(req_freelist), f(resp_freelist), f(http_status), f(utcnow), f(year), f(shared_lists);
        f(str_lower), f(str_scope), f(str_headers), f(str_items), f(str_get), f(str_search), f(str_group);
        f(str_scheme), f(str_root_path), f(str_client), f(str_utf8), f(str_empty), f(str_identity);
        f(str_body_buffer), f(str_remove), f(str_phrase), f(str_set_cookie), f(str_values), f(str_file), f(str_close);
        f(method_get), f(method_head), f(method_trace), f(method_options);
        f(b_empty), f(b_host), f(b_content_type), f(b_cookie), f(b_expect), f(b_origin), f(b_acr_method);
        f(b_etag), f(b_if_none_match), f(b_hx_request), f(b_hx_target), f(b_hx_trigger), f(b_hx_current_url);
        f(b_hx_prompt), f(b_json), f(b_xml), f(b_set_cookie);
        f(slots);
    }
};

// Idle objects each pool keeps at most.
inline constexpr Py_ssize_t MAX_FREELIST_CAPACITY = 512;

// Set while the module is imported; the module supports one interpreter.
extern State *g_state;

// The objects as allocated: the published layout followed by what only
// this module reads.  `in_pool` is set while the object sits in its pool,
// so that a second release of the same object is a no-op.
struct PooledRequest {
    RequestObject pub;
    bool in_pool;
};

struct PooledResponse {
    ResponseObject pub;
    bool in_pool;
};

inline MessageObject *M(PyObject *self) { return reinterpret_cast<MessageObject *>(self); }
inline RequestObject *R(PyObject *self) { return reinterpret_cast<RequestObject *>(self); }
inline ResponseObject *RS(PyObject *self) { return reinterpret_cast<ResponseObject *>(self); }
inline PyObject *O(void *self) { return reinterpret_cast<PyObject *>(self); }

template <int S>
vel::OverrideSlot &slot()
{
    return g_state->slots[S];
}

namespace detail {

template <auto Impl, auto Dispatch, class F = decltype(Impl)>
struct NativeFirst;

template <auto Impl, auto Dispatch, class R, class Self, class... A>
struct NativeFirst<Impl, Dispatch, R (*)(Self *, A...)> {
    static R call(Self *self, A... args)
    {
        PyTypeObject *tp = Py_TYPE(reinterpret_cast<PyObject *>(self));
        if (tp == g_state->Request_Type || tp == g_state->Response_Type || tp == g_state->Message_Type) {
            return Impl(self, args...);
        }
        return Dispatch(self, args...);
    }
};

}  // namespace detail

// A table entry (vel::overridable) that runs `Impl` at once for the
// module's own three classes: a slot's override cache holds one class, and
// requests and responses alternate in the same slots.
template <int S, auto Impl, auto Convert = nullptr>
inline constexpr auto entry = &detail::NativeFirst<Impl, vel::overridable<slot<S>, Impl, Convert>>::call;

// ---------------------------------------------------------------- fields

// A Python-visible object field: any object, exact str or None, or an
// instance of a bound type or None.  Deleting raises NotImplementedError.
struct Field {
    enum Kind { ANY, STR, TYPED } kind;
    Py_ssize_t offset;
    PyTypeObject *(*type)();  // TYPED: the bound type
    const char *type_name;
};

PyObject *field_get(PyObject *self, void *closure);
int field_set(PyObject *self, PyObject *value, void *closure);
int not_deletable();

// The object fields of each type, for new/traverse/clear/dealloc.
extern const Py_ssize_t MESSAGE_FIELDS[];
extern const Py_ssize_t MESSAGE_FIELD_COUNT;
extern const Py_ssize_t REQUEST_FIELDS[];
extern const Py_ssize_t REQUEST_FIELD_COUNT;
extern const Py_ssize_t RESPONSE_FIELDS[];
extern const Py_ssize_t RESPONSE_FIELD_COUNT;

// Sets every listed field to None (on a fresh allocation).
void fields_to_none(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n);
int fields_traverse(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n, visitproc visit, void *arg);
void fields_clear(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n);
void fields_release(PyObject *self, const Py_ssize_t *offsets, Py_ssize_t n);

using vel::compat::get_optional_attr;

// ---------------------------------------------------------------- header operations (headers_ops.cpp)

PyObject *intern_header_name_bytes(PyObject *name);
PyObject *intern_method_str(PyObject *method);

// A new raw header list from the caller's list (None gives an empty list):
// 2-tuples with an exact bytes name get the shared name.
PyObject *copy_header_list(PyObject *headers);
PyObject *extract_headers_from_scope(PyObject *headers);

int ensure_raw_headers(MessageObject *self);
PyObject *get_headers_impl(MessageObject *self, PyObject *key);
PyObject *get_first_header_impl(MessageObject *self, PyObject *key);
PyObject *get_single_header_impl(MessageObject *self, PyObject *key);
PyObject *get_headers_tuples_impl(MessageObject *self, PyObject *key);
int has_header_impl(MessageObject *self, PyObject *key);
int add_header_impl(MessageObject *self, PyObject *key, PyObject *value);
int remove_header_impl(MessageObject *self, PyObject *key);
int remove_headers_impl(MessageObject *self, PyObject *headers);
// The raw value of the first header named `key` (borrowed into *out, NULL
// when absent); -1 on error.
int first_raw_value(MessageObject *self, PyObject *key, Ref *out);
// Calls visit(value) for the value of each header named `key`, converted as
// get_headers(key) returns it (held while visited), until visit returns
// non-zero; -1 on error (visit's -1 included), else 0.
int visit_header_values(MessageObject *self, PyObject *key, int (*visit)(PyObject *value, void *context),
                        void *context);

// ---------------------------------------------------------------- tables (message.cpp)

extern const MessageMethods MESSAGE_METHODS;
extern const RequestMethods REQUEST_METHODS;
extern const ResponseMethods RESPONSE_METHODS;

// The dispatching entries, for calls between the module's own methods.
PyObject *t_get_headers(MessageObject *self, PyObject *key);
PyObject *t_get_first_header(MessageObject *self, PyObject *key);
int t_set_header(MessageObject *self, PyObject *key, PyObject *value);
int t_remove_header(MessageObject *self, PyObject *key);
PyObject *t_content_type(MessageObject *self);

// ---------------------------------------------------------------- types (message.cpp, types.cpp)

// A fresh object of a message type with every Message field None.
PyObject *alloc_message(PyTypeObject *type);
void message_dealloc(PyObject *self);
PyObject *parse_charset(PyObject *value);

int init_message_type(PyObject *module, State *st);
// A type from `spec` deriving from `base`, added to the module.
PyTypeObject *add_subtype(PyObject *module, PyType_Spec *spec, PyTypeObject *base);
int init_request_type(PyObject *module, State *st);
int init_response_type(PyObject *module, State *st);

PyObject *request_alloc_bare();
PyObject *response_new(PyTypeObject *type, PyObject *, PyObject *);
ResponseObject *response_create(int32_t status, PyObject *headers, PyObject *content);
bool response_status(PyObject *value, int32_t *out);
// The raw header list a response keeps for the caller's `headers`: the
// caller's list itself (shared on purpose), a new list for None, and a copy
// of a list the module shares between responses.  `keep_empty` false gives
// a new list for an empty caller list as well.
PyObject *response_header_list(PyObject *headers, bool keep_empty);

// ---------------------------------------------------------------- pools and scratchpad (pools.cpp)

void *alloc_scratchpad_impl(RequestObject *self, size_t size, size_t alignment);
int request_reset_impl(RequestObject *self);
int response_reset_impl(ResponseObject *self);
PyObject *request_dispose(RequestObject *self);
int is_redirect_impl(ResponseObject *self);

// ---------------------------------------------------------------- Request values (request.cpp)

extern PyGetSetDef REQUEST_GETSET[];
PyObject *url_of(RequestObject *self);
inline PyObject *request_url(RequestObject *self) { return url_of(self); }
// The path as it goes into a URL (bytes).
PyObject *url_path_of(RequestObject *self);
int request_set_url(RequestObject *self, PyObject *value);
PyObject *request_host(RequestObject *self);
PyObject *request_scheme(RequestObject *self);
PyObject *request_base_path(RequestObject *self);

// ---------------------------------------------------------------- Request text (query.cpp)

PyObject *get_query_param_impl(RequestObject *self, PyObject *name, PyObject *default_);
PyObject *get_query_params_impl(RequestObject *self, PyObject *name);
PyObject *request_query(RequestObject *self);
PyObject *request_cookies(RequestObject *self);
PyObject *request_get_cookie(RequestObject *self, PyObject *name);
PyObject *request_set_cookie(RequestObject *self, PyObject *name, PyObject *value);
// Appends `s` to `out`, bytes for which keep() is false as %XX.
void percent_encode(const char *s, Py_ssize_t n, bool (*keep)(unsigned char), std::string &out);

// ---------------------------------------------------------------- module functions (functions.cpp)

PyObject *ensure_bytes(PyObject *value);
int method_without_body(PyObject *method);
int is_cors_request(RequestObject *request);
int is_cors_preflight_request(RequestObject *request);
PyObject *get_request_absolute_url(RequestObject *request);
PyObject *get_absolute_url_to_path(RequestObject *request, PyObject *path);
RequestObject *acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                               PyObject *scope);
ResponseObject *acquire_response(const AcquireResponseArgs *optional);
void release_request(RequestObject *request);
void release_response(ResponseObject *response);
extern PyMethodDef MODULE_FUNCTIONS[];

// The "not built yet" error of the slots that belong to later work.
PyObject *not_implemented(const char *what);

}  // namespace vel::messages
