// Declarations shared by the sources of velmora.keystone.
#pragma once

#include <Python.h>

#include "keystone/keystone_api.h"
#include "messages/messages_api.h"
#include "vel/override.hpp"

namespace vel::keystone {

using AppObject = KeystoneApplicationObject;

enum OverrideIndex { S_HANDLE, S_GET_HTTP_EXCEPTION_HANDLER, S_COUNT };

struct State {
    PyTypeObject *KeystoneApplication_Type;
    PyObject *exception_handlers_dict;      // the ExceptionHandlersDict class
    PyObject *http_exception;               // velmora.exceptions.HTTPException
    PyObject *get_class_instance_hierarchy;
    PyObject *isawaitable;
    PyObject *get_logger_fn;                // logging.getLogger
    PyObject *logging_info;                 // logging.INFO
    // The default handlers (Python coroutine functions).
    PyObject *handle_not_found;
    PyObject *handle_bad_request;
    PyObject *handle_unprocessable_entity;
    PyObject *common_http_exception_handler;
    PyObject *pydantic_handler;             // NULL when pydantic is missing
    PyObject *unprocessable_entity;         // velmora.exceptions.UnprocessableEntity
    PyObject *int_404, *int_400, *int_422;
    // Interned names and constant texts.
    PyObject *str_get_match, *str_values, *str_handler, *str_route_values;
    PyObject *str_handle_request_handler_exception, *str_handle_coro;
    PyObject *str_init_exceptions_handlers, *str_status, *str_get, *str_set_level;
    PyObject *str_validation_error_name, *str_logger_name;
    PyObject *str_detail, *str_loc, *str_msg, *str_type, *str_body;
    PyObject *str_validation_error, *str_default_msg, *str_marker;
    OverrideSlot slots[S_COUNT];
    const messages::CAPI *messages;         // not an object: not in fields()

    template <class F>
    void fields(F &&f)
    {
        f(KeystoneApplication_Type);
        f(exception_handlers_dict);
        f(http_exception);
        f(get_class_instance_hierarchy);
        f(isawaitable);
        f(get_logger_fn);
        f(logging_info);
        f(handle_not_found);
        f(handle_bad_request);
        f(handle_unprocessable_entity);
        f(common_http_exception_handler);
        f(pydantic_handler);
        f(unprocessable_entity);
        f(int_404);
        f(int_400);
        f(int_422);
        f(str_get_match);
        f(str_values);
        f(str_handler);
        f(str_route_values);
        f(str_handle_request_handler_exception);
        f(str_handle_coro);
        f(str_init_exceptions_handlers);
        f(str_status);
        f(str_get);
        f(str_set_level);
        f(str_validation_error_name);
        f(str_logger_name);
        f(str_detail);
        f(str_loc);
        f(str_msg);
        f(str_type);
        f(str_body);
        f(str_validation_error);
        f(str_default_msg);
        f(str_marker);
        f(slots);
    }
};

extern State *g_state;
extern PyModuleDef keystone_module;

// application.cpp
extern PyType_Spec application_spec;
extern const KeystoneMethods KEYSTONE_METHODS;
// The module functions that the coroutine chain calls: the two lookups
// without a Python method, taking the application first.
extern PyMethodDef lookup_functions[];
PyObject *get_logger();

// details.cpp
PyObject *format_validation_details(PyObject *details, PyObject *default_msg);
extern PyMethodDef details_functions[];

}  // namespace vel::keystone
