// Shared between the sources of velmora.contents: the module state, the
// layouts that stay private to the module, and the functions one source
// file offers the others.
//
//   module.cpp        module state, exec, the published table, the coroutine
//                     methods installed from velmora._contents_async
//   content.cpp       Content and the fixed-body subclasses, StreamedContent,
//                     MultiPartFormData, dispose
//   request_body.cpp  ASGIContent and RSGIContent: chunks, limit, states
//   events.cpp        ServerSentEvent, TextServerSentEvent
//   forms.cpp         FormPart, FileBuffer, StreamedFormPart,
//                     parse_www_form_urlencoded, simplify_multipart_data
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "contents/contents_api.h"
#include "vel/args.hpp"
#include "vel/object.hpp"
#include "vel/ref.hpp"
#include "vel/override.hpp"

namespace vel::contents {

// Where a request body reader stands.  Only READING moves on.
enum ReadState : int {
    READING = 0,
    COMPLETE = 1,   // every chunk received
    ABORTED = 2,    // the client went away (chunks dropped)
    TOO_LARGE = 3,  // the limit was crossed (chunks dropped)
    DISPOSED = 4,   // released before the body was kept
};

// ASGIContent and RSGIContent.  `source` is the receive callable or the
// protocol object; `iterator` the protocol's asynchronous iterator once
// RSGI streaming started; `chunks` the list of every chunk received.
struct BodyReaderObject {
    ContentObject base;
    PyObject *source;
    PyObject *iterator;
    PyObject *chunks;
    int64_t received;
    int64_t max_size;  // negative: the limit of the settings, read on the first chunk
    int state;
    int disconnected;  // the server reported http.disconnect (during or after the body)
};

struct MultiPartFormDataObject {
    StreamedContentObject base;
    PyObject *parts;
    PyObject *boundary;
};

struct StreamedFormPartObject {
    FormPartObject base;
    PyObject *generator;
};

// traverse, clear and dealloc from a list of field offsets, for the
// C-style layouts here where a subtype embeds its base struct (a field of
// the base is named `base.type`, which member pointers cannot express).
// The type is visited once, as instances of heap types own a reference.
template <size_t... Offsets>
struct OffsetFields {
    static PyObject *&at(PyObject *self, size_t offset)
    {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
    }

    static int traverse(PyObject *self, visitproc visit, void *arg)
    {
        Py_VISIT(Py_TYPE(self));
        int rc = 0;
        ((rc = rc != 0 ? rc : (at(self, Offsets) != nullptr ? visit(at(self, Offsets), arg) : 0)), ...);
        return rc;
    }

    static void clear_one(PyObject *&field)
    {
        PyObject *old = field;
        field = nullptr;
        Py_XDECREF(old);
    }

    static int clear(PyObject *self)
    {
        (clear_one(at(self, Offsets)), ...);
        return 0;
    }

    // Every struct here has its weak reference list in the base struct at
    // `WeakOffset`.
    template <size_t WeakOffset>
    static void dealloc(PyObject *self)
    {
        PyTypeObject *tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        if (at(self, WeakOffset) != nullptr) {
            PyObject_ClearWeakRefs(self);
        }
        clear(self);
        tp->tp_free(self);
        Py_DECREF(tp);
    }
};

// A call of a type that is not exactly one of this module's classes, the
// way `type.__call__` makes it (tp_new, then tp_init).
PyObject *call_type(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames);

inline bool is_native(PyTypeObject *tp);

// A constructor written once as `Setup(self, argv)` on parsed arguments and
// offered both as tp_init and as the vectorcall of the exact type, which
// skips building an argument tuple and the generic type call.  Subclasses
// go the ordinary way, so their __new__ and __init__ run.
template <const Signature &Sig, int N, int (*Setup)(PyObject *, PyObject **)>
struct Constructor {
    static int init(PyObject *self, PyObject *args, PyObject *kwargs)
    {
        PyObject *argv[N];
        return parse_tuple_dict(Sig, args, kwargs, argv) ? Setup(self, argv) : -1;
    }

    static PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
    {
        PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(callable);
        if (!is_native(tp)) {
            return call_type(callable, args, nargsf, kwnames);
        }
        PyObject *argv[N];
        if (!parse_fastcall(Sig, args, PyVectorcall_NARGS(nargsf), kwnames, argv)) {
            return nullptr;
        }
        Ref self = steal(tp->tp_new(tp, nullptr, nullptr));
        return self && Setup(self.get(), argv) == 0 ? self.release() : nullptr;
    }
};

// Indexes of State::types; also the order of the published type pointers.
enum TypeIndex : int {
    T_CONTENT,
    T_STREAMED,
    T_TEXT,
    T_HTML,
    T_JSON,
    T_FORM,
    T_FILE_BUFFER,
    T_STREAMED_FORM_PART,
    T_MULTIPART,
    T_ASGI,
    T_RSGI,
    T_SSE,
    T_TEXT_SSE,
    T_FORM_PART,
    T_COUNT,
};

struct State {
    PyTypeObject *types[T_COUNT];
    // Imported at exec.
    PyObject *msgspec_encode;
    PyObject *json_settings;
    PyObject *limits;
    PyObject *urlencode;
    PyObject *message_aborted;
    PyObject *payload_too_large;
    PyObject *invalid_operation;
    PyObject *multipart_provider;  // velmora._contents_async.multipart_provider
    // Constants.
    PyObject *ct_text;
    PyObject *ct_html;
    PyObject *ct_json;
    PyObject *ct_form;
    PyObject *empty_bytes;
    PyObject *str_type;
    PyObject *str_body;
    PyObject *str_more_body;
    PyObject *str_http_request;
    PyObject *str_http_disconnect;
    PyObject *str_has_custom_dumps;
    PyObject *str_dumps;
    PyObject *str_max_body_size;
    PyObject *str_read;
    PyObject *str_seek;
    PyObject *str_tell;
    PyObject *str_decode;
    OverrideSlot dispose_slot;
    OverrideSlot write_data_slot;

    template <class F>
    void fields(F &&f)
    {
        f(types);
        f(msgspec_encode), f(json_settings), f(limits), f(urlencode), f(message_aborted);
        f(payload_too_large), f(invalid_operation), f(multipart_provider);
        f(ct_text), f(ct_html), f(ct_json), f(ct_form), f(empty_bytes);
        f(str_type), f(str_body), f(str_more_body), f(str_http_request), f(str_http_disconnect);
        f(str_has_custom_dumps), f(str_dumps), f(str_max_body_size), f(str_read), f(str_seek);
        f(str_tell), f(str_decode);
        f(dispose_slot), f(write_data_slot);
    }
};

// Set while the module is imported; the module supports one interpreter.
extern State *g_state;

inline PyTypeObject *type_of(TypeIndex index) { return g_state->types[index]; }

// Whether `tp` is one of this module's own classes (not a Python subclass):
// their table entries never need the override lookup.
inline bool is_native(PyTypeObject *tp)
{
    for (PyTypeObject *own : g_state->types) {
        if (own == tp) {
            return true;
        }
    }
    return false;
}

// JSON of `value` as UTF-8 bytes: msgspec's compact encoding unless the
// JSON settings carry a custom `dumps`, or `dumps` is given (not NULL or
// None).  New reference or NULL.
PyObject *json_bytes(PyObject *value, PyObject *dumps);

inline constexpr unsigned long TYPE_FLAGS =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;

// Type specs and the entry points defined in each source.
extern PyType_Spec content_spec, streamed_spec, text_spec, html_spec, json_spec, form_spec, multipart_spec;
extern PyType_Spec asgi_spec, rsgi_spec;
extern PyType_Spec sse_spec, text_sse_spec;
extern PyType_Spec form_part_spec, file_buffer_spec, streamed_form_part_spec;

int content_dispose(ContentObject *self);
int body_reader_dispose(BodyReaderObject *self);
PyObject *sse_write_data(ServerSentEventObject *self);
PyObject *parse_www_form_urlencoded(PyObject *text);
PyObject *simplify_multipart_data(PyObject *data);
PyObject *content_new(PyObject *content_type, PyObject *body);
PyObject *text_content_new(PyObject *text);
PyObject *rsgi_content_new(PyObject *protocol);

extern PyMethodDef form_functions[];  // the module-level functions of forms.cpp

// The vectorcalls of the classes constructed per request or per response.
void set_content_vectorcalls(PyTypeObject **types);
void set_reader_vectorcalls(PyTypeObject **types);
void set_event_vectorcalls(PyTypeObject **types);

// Shared by the constructors: a bytes-or-None argument.
bool check_bytes_arg(PyObject *value, const char *name);

}  // namespace vel::contents
