/* Shared objects for the names the request path sees over and over: header
 * names, HTTP methods and content types.  A hit returns a borrowed reference
 * to the table's object, a miss returns NULL and sets no exception.  The
 * tables are built by vel_core_init(), which every extension module calls
 * while it is imported, and live as long as the process. */
#ifndef VEL_INTERNING_H
#define VEL_INTERNING_H

#include <Python.h>
#include <stddef.h>
#include "vel_core_export.h"

/* Version of the companion library's interface; a module built against
 * another version refuses to import. */
#define VEL_CORE_ABI_VERSION 1

VEL_CORE_API int vel_core_abi_version(void);

/* Builds the tables once; returns 0, or -1 with an exception set. */
VEL_CORE_API int vel_core_init(void);

/* Lower-case header names, as bytes. */
VEL_CORE_API PyObject *get_interned_header_name_bytes(const char *data, size_t length);

/* HTTP methods as (interned) str, from their UTF-8 text. */
VEL_CORE_API PyObject *get_interned_method_str(const char *data, size_t length);

/* Common content-type values, with and without charset parameters. */
VEL_CORE_API PyObject *get_interned_content_type_bytes(const char *data, size_t length);

#endif
