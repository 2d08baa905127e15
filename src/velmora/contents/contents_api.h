// Native interface of velmora.contents for the sibling modules: the layouts
// of the content, form-part and server-sent-event objects, their direct-call
// method tables, the types, and the native entry points.
//
//     const vel::contents::CAPI *contents = vel::contents::bind();   // in exec
//     if (contents->content_methods->dispose(c) < 0) { ... }
//
// Every table entry honours a Python subclass that overrides the method of
// the same name.  Entries returning int give 0, or -1 with an exception set;
// entries returning an object give a new reference, or NULL with an
// exception set.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::contents {

// A message body.  `type` is bytes or None (the media type); `body` any
// body object (bytes, str, bytearray, memoryview, another object) or None
// while it is produced later or not read yet; `length` the byte length of
// a bytes-like or str body, negative when it is open (streamed, or a
// request body not read yet).  Instances are always truthy.  The object
// fields of every layout here hold None, never NULL, from allocation on.
struct ContentObject {
    PyObject_HEAD
    PyObject *type;
    PyObject *body;
    int64_t length;
    PyObject *weakreflist;
};

// A body produced while it is sent: `body` is None, `length` the declared
// length (-1 when unknown).  `generator` is the callable whose call returns
// an asynchronous iterable of bytes; `file_path` (str or None) and
// `file_range` (a (start, end) tuple of ints, or None) let a server send a
// file itself.
struct StreamedContentObject {
    ContentObject base;
    PyObject *generator;
    PyObject *file_path;
    PyObject *file_range;
};

// One server-sent event.  `event`, `id` and `comment` are str or None;
// `retry` is written when it is not negative.
struct ServerSentEventObject {
    PyObject_HEAD
    PyObject *data;
    PyObject *event;
    PyObject *id;
    int64_t retry;
    PyObject *comment;
    PyObject *weakreflist;
};

// One part of a multipart form.  `data` is bytes, or a binary file object
// (for parts spooled while a request was read), or None for a part whose
// data comes from elsewhere (StreamedFormPart).  `size` is the byte count,
// -1 when unknown.  The other fields hold what the constructor was given,
// normally bytes or None.
struct FormPartObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *data;
    PyObject *file_name;
    PyObject *content_type;
    int64_t size;
    PyObject *charset;
    PyObject *weakreflist;
};

// Slot order is part of the published layout.
struct ContentMethods {
    // Releases what the content holds; idempotent.  A fixed body is kept,
    // so one content object can serve several responses.
    int (*dispose)(ContentObject *self);
};

struct ServerSentEventMethods {
    // The data field as the text of the data line: the compact JSON of
    // `data` (the text itself for TextServerSentEvent).  A Python override
    // may return any object; callers check for str.
    PyObject *(*write_data)(ServerSentEventObject *self);
};

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.contents._C_API";

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *Content_Type;
    PyTypeObject *StreamedContent_Type;
    PyTypeObject *TextContent_Type;
    PyTypeObject *HTMLContent_Type;
    PyTypeObject *JSONContent_Type;
    PyTypeObject *FormContent_Type;
    PyTypeObject *FileBuffer_Type;
    PyTypeObject *StreamedFormPart_Type;
    PyTypeObject *MultiPartFormData_Type;
    PyTypeObject *ASGIContent_Type;
    PyTypeObject *RSGIContent_Type;
    PyTypeObject *ServerSentEvent_Type;
    PyTypeObject *TextServerSentEvent_Type;
    PyTypeObject *FormPart_Type;
    const ContentMethods *content_methods;
    const ServerSentEventMethods *server_sent_event_methods;
    // str -> dict: single values str, repeated keys a list of str.
    PyObject *(*parse_www_form_urlencoded)(PyObject *text);
    // dict of part lists -> dict: single field parts decoded to str,
    // repeated ones lists, file parts kept as FormPart.
    PyObject *(*simplify_multipart_data)(PyObject *data);
    // Content(content_type, body), TextContent(text), RSGIContent(protocol)
    // without Python dispatch; the same checks as the constructors.
    PyObject *(*content_new)(PyObject *content_type, PyObject *body);
    PyObject *(*text_content_new)(PyObject *text);
    PyObject *(*rsgi_content_new)(PyObject *protocol);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind()
{
    PyObject *mod = PyImport_ImportModule("velmora.contents");
    if (mod == nullptr) {
        return nullptr;
    }
    Py_DECREF(mod);
    return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION);
}

}  // namespace vel::contents
