// Native interface of velmora.scribe: the response writers' entry points for
// the modules that hand responses to a server themselves.
//
//     const vel::scribe::CAPI *api = vel::scribe::bind();   // in exec
//     if (api->set_headers_for_response_content(response) < 0) { ... }
//
// Entries returning an object give a new reference, or NULL with an
// exception set; entries returning int give 0, or -1 with an exception set.
#pragma once

#include <Python.h>

#include <cstdint>

#include "messages/messages_api.h"
#include "vel/capi.hpp"

namespace vel::scribe {

// A body longer than this many bytes is sent to an ASGI server in slices of
// this size.
inline constexpr int64_t MAX_RESPONSE_CHUNK_SIZE = 61440;

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.scribe._C_API";

struct CAPI {
    vel::CapiHeader header;
    int64_t max_response_chunk_size;
    // Appends the content headers the response does not declare yet.
    int (*set_headers_for_response_content)(messages::ResponseObject *response);
    // One server-sent event as the bytes of the event stream.
    PyObject *(*write_sse)(PyObject *event);
    // None, or an awaitable that completes the exchange.
    PyObject *(*dispatch_rsgi_http)(PyObject *app, PyObject *scope, PyObject *protocol);
    messages::RequestObject *(*instantiate_rsgi_request)(PyObject *scope, PyObject *protocol);
    // None after the one protocol call, or the coroutine that streams.
    PyObject *(*send_rsgi_response_sync)(messages::ResponseObject *response, PyObject *protocol);
    // Any header collection as a list of (str, str) tuples.
    PyObject *(*extract_rsgi_headers)(PyObject *raw_headers);
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::scribe
