// Shared between the source files of velmora.routing:
//   node.cpp     RadixNode, and the typed attributes of every type
//   text.cpp     pattern normalisation, the parameter grammar, the validators
//   tree.cpp     RadixTree and registration
//   lookup.cpp   lookup: the static tables and the descent with backtracking
//   router.cpp   RouteMatch and RadixRouter
//   routing.cpp  the module
#pragma once

#include <Python.h>

#include "routing/routing_api.h"
#include "vel/args.hpp"
#include "vel/object.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace vel::routing {

inline constexpr int kCachedKeys = 64;  // "_p_0" .. "_p_63" prebuilt

// The compiled validator patterns in State::rx: the bytes patterns, then
// the str patterns of the same shapes.
enum { RX_INT_B, RX_FLOAT_B, RX_UUID_B, RX_INT_S, RX_FLOAT_S, RX_UUID_S, RX_COUNT };

// The methods a Python subclass may override, by their place in State::slots.
enum { S_INSERT, S_MATCH, S_ADD_ROUTE, S_GET_MATCH, S_GET_STATIC_MATCH, S_FREEZE, S_COUNT };

struct State {
    PyTypeObject *node_type;
    PyTypeObject *tree_type;
    PyTypeObject *match_type;
    PyTypeObject *router_type;
    PyObject *rx[RX_COUNT];
    PyObject *s_tail, *s_star, *b_star, *s_slash, *s_empty, *b_empty;
    PyObject *s_lower, *s_upper, *s_pattern, *s_handler, *s_param_names, *s_decode, *s_match, *s_utf8;
    PyObject *s_int, *s_float, *s_uuid, *s_path;
    PyObject *p_keys[kCachedKeys];
    vel::OverrideSlot slots[S_COUNT];
    CAPI capi;

    template <class F>
    void fields(F &&f)
    {
        f(node_type), f(tree_type), f(match_type), f(router_type), f(rx);
        f(s_tail), f(s_star), f(b_star), f(s_slash), f(s_empty), f(b_empty);
        f(s_lower), f(s_upper), f(s_pattern), f(s_handler), f(s_param_names), f(s_decode), f(s_match), f(s_utf8);
        f(s_int), f(s_float), f(s_uuid), f(s_path), f(p_keys), f(slots);
    }
};

// Set while the module is imported; the module supports one interpreter.
extern State *g_state;

template <int S>
vel::OverrideSlot &slot()
{
    return g_state->slots[S];
}

inline RadixNodeObject *as_node(PyObject *o) { return reinterpret_cast<RadixNodeObject *>(o); }
inline RadixTreeObject *as_tree(PyObject *o) { return reinterpret_cast<RadixTreeObject *>(o); }
inline RouteMatchObject *as_match(PyObject *o) { return reinterpret_cast<RouteMatchObject *>(o); }
inline RadixRouterObject *as_router(PyObject *o) { return reinterpret_cast<RadixRouterObject *>(o); }

// A router as allocated: the published layout, then what only this module
// reads.
struct RouterInstance {
    RadixRouterObject published;
    int frozen;  // set by freeze(); add_route then refuses
};

inline RouterInstance *router_instance(RadixRouterObject *r) { return reinterpret_cast<RouterInstance *>(r); }
inline bool is_node(PyObject *o) { return PyObject_TypeCheck(o, g_state->node_type); }

// The pair (route, values) as a new tuple.  Both are held across the
// allocation, which may run the collector and with it a finaliser that
// drops the field they were read from.
inline PyObject *route_pair(PyObject *route, PyObject *values)
{
    vel::Ref hold_route = vel::Ref::borrow(route);
    vel::Ref hold_values = vel::Ref::borrow(values);
    return PyTuple_Pack(2, route, values);
}

// ---------------------------------------------------------------------------
// Typed attributes (node.cpp)

// What a field accepts on assignment; all but the NotNone kinds take None.
enum class Kind { Any, Str, Bytes, Dict, List, Node, NodeNotNone, DictNotNone };

// Whether `value` may be stored; false with TypeError set.
bool field_accepts(Kind kind, PyObject *value);

// The setter of a typed field.  Deleting a field that may be None resets it
// to None.
template <class T, PyObject *T::*Member, Kind K>
int set_field(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        if (K == Kind::NodeNotNone || K == Kind::DictNotNone) {
            PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
            return -1;
        }
        value = Py_None;
    }
    if (!field_accepts(K, value)) {
        return -1;
    }
    Py_SETREF(reinterpret_cast<T *>(self)->*Member, Py_NewRef(value));
    return 0;
}

// A PyGetSetDef entry for field `name` of T, of kind `kind`.
#define VEL_ROUTING_FIELD(T, name, kind) \
    {#name, vel::get_field<&T::name>, set_field<T, &T::name, Kind::kind>, nullptr, nullptr}

// tp_init of the types that take no arguments.
int no_args_init(PyObject *self, PyObject *args, PyObject *kwargs);

// A node for the segment `seg` and its UTF-8 form; the other fields as
// RadixNode() sets them.
PyObject *node_alloc(PyTypeObject *type);
PyObject *new_node(PyObject *seg, PyObject *seg_bytes);

// ---------------------------------------------------------------------------
// Pattern text (text.cpp)

struct Pattern {
    vel::Ref str;    // normalised, exact str
    vel::Ref bytes;  // its UTF-8 form
    bool is_static = false;
};

// The pattern as a registration sees it: bytes decoded strictly, other
// objects through str(), the empty pattern as "/", trailing "/" stripped
// unless it follows "*".  False with an exception set.
bool normalise_pattern(PyObject *pattern, Pattern &out);

// The static pattern's variant: with one "/" appended, or "" for "/".
bool pattern_variant(const Pattern &p, vel::Ref &vstr, vel::Ref &vbytes);

// "{id:int}", "<int:id>", ":id" ... -> (name, type).
PyObject *parse_param_segment(RadixTreeObject *self, PyObject *segment);

enum class Shape { Int, Float, Uuid };

// The verdict of re.match(<shape's pattern>, text) for a str pattern
// (`unicode`: \d is any decimal digit) or a bytes pattern (\d is 0-9), `$`
// also matching before one final newline.  `kind` is a PyUnicode kind, or
// 1 for bytes.
bool shape_matches(Shape shape, bool unicode, int kind, const void *data, Py_ssize_t length);

// ---------------------------------------------------------------------------
// RadixTree (tree.cpp, lookup.cpp)

extern const RadixTreeMethods tree_methods;

PyObject *tree_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);

// `param_names` given to insert or add_route: a list, None or absent.
bool check_param_names(PyObject *names);

PyObject *match_impl(RadixTreeObject *self, PyObject *path);
PyObject *match_str(RadixTreeObject *self, PyObject *path);
PyObject *match_bytes(RadixTreeObject *self, PyObject *path);
PyObject *match_recursive_str(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments, Py_ssize_t index,
                              PyObject *values);
PyObject *match_recursive_bytes(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments,
                                Py_ssize_t index, PyObject *values);

// ---------------------------------------------------------------------------
// Types (specs in node.cpp, tree.cpp, router.cpp)

extern PyType_Spec node_spec;
extern PyType_Spec tree_spec;
extern PyType_Spec route_match_spec;
extern PyType_Spec router_spec;
extern const RadixRouterMethods router_methods;

}  // namespace vel::routing
