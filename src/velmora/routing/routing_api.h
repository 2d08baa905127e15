// Native interface of `velmora.routing`: the object layouts and direct-call
// tables, for modules that route without Python attribute lookup.  Bind it
// from the importer's exec function:
//
//     const vel::routing::CAPI *routing = vel::routing::bind();   // in exec
//     PyObject *found = routing->router_methods->get_match(router, method, path);
#pragma once

#include <Python.h>

#include <cstdint>

#include "vel/capi.hpp"

namespace vel::routing {

inline constexpr uint32_t CAPI_VERSION = 1;
inline constexpr const char CAPI_NAME[] = "velmora.routing._C_API";

struct RadixTreeObject;
struct RadixRouterObject;

// One node of the segment tree.  Every field is a Python attribute; the
// typed ones are checked on assignment, so C readers may rely on the types
// given in the comments (None is always allowed except where noted).
struct RadixNodeObject {
    PyObject_HEAD
    PyObject *segment_str;            // str
    PyObject *segment_bytes;          // bytes
    PyObject *route;                  // any
    PyObject *children_str;           // dict str -> RadixNode
    PyObject *children_bytes;         // dict bytes -> RadixNode
    PyObject *param_child;            // RadixNode
    PyObject *param_name;             // str
    PyObject *param_names;            // list
    PyObject *param_validator_str;    // any object with .match
    PyObject *param_validator_bytes;  // any object with .match
    PyObject *wildcard_child;         // RadixNode
    PyObject *wildcard_name;          // str
    PyObject *wildcard_suffix_str;    // str
    PyObject *wildcard_suffix_bytes;  // bytes
    int is_leaf;
    PyObject *weakreflist;
};

// Direct-call table of RadixTree, in slot order.  `insert` and `match` run
// a Python subclass's override of the same name.  Results are new
// references; NULL (or -1) means an exception is set.  Arguments are
// borrowed; `param_names` may be NULL for None.
struct RadixTreeMethods {
    int (*insert)(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
    PyObject *(*parse_param_segment)(RadixTreeObject *self, PyObject *segment);  // -> (name, type)
    PyObject *(*match)(RadixTreeObject *self, PyObject *path);                   // -> (route, values) | None
    PyObject *(*match_str)(RadixTreeObject *self, PyObject *path);
    PyObject *(*match_bytes)(RadixTreeObject *self, PyObject *path);
    // node, list of segments, index of the next one, values captured so far
    // (a dict, or NULL or None for none).
    PyObject *(*match_recursive_str)(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments,
                                     Py_ssize_t index, PyObject *values);
    PyObject *(*match_recursive_bytes)(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments,
                                       Py_ssize_t index, PyObject *values);
};

struct RadixTreeObject {
    PyObject_HEAD
    const RadixTreeMethods *vtab;
    PyObject *root;                 // RadixNode, never None
    PyObject *static_routes_str;    // dict, never None
    PyObject *static_routes_bytes;  // dict, never None
    PyObject *weakreflist;
};

struct RouteMatchObject {
    PyObject_HEAD
    PyObject *pattern;  // any
    PyObject *values;   // dict or None (the `_values` attribute)
    PyObject *route;    // any
    PyObject *weakreflist;
};

// Direct-call table of RadixRouter, in slot order; every slot runs a Python
// subclass's override of the same name.  `add_route` fails with
// RuntimeError once `freeze` has run.
struct RadixRouterMethods {
    int (*add_route)(RadixRouterObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names);
    PyObject *(*get_match)(RadixRouterObject *self, PyObject *method, PyObject *path);
    PyObject *(*get_static_match)(RadixRouterObject *self, PyObject *method, PyObject *path);
    int (*freeze)(RadixRouterObject *self);
};

struct RadixRouterObject {
    PyObject_HEAD
    const RadixRouterMethods *vtab;
    PyObject *trees;           // dict, never None
    PyObject *static_matches;  // dict, never None
    PyObject *weakreflist;
};

struct CAPI {
    vel::CapiHeader header;
    PyTypeObject *node_type;
    PyTypeObject *tree_type;
    PyTypeObject *match_type;
    PyTypeObject *router_type;
    const RadixTreeMethods *tree_methods;
    const RadixRouterMethods *router_methods;
};

// Binds the table from an importer's exec function; NULL with ImportError set.
inline const CAPI *bind() { return vel::bind_capi<CAPI>(CAPI_NAME, CAPI_VERSION); }

}  // namespace vel::routing
