// `velmora.routing`: radix trees of route patterns (one per request method)
// with whole-path static tables, and the router facade over them.
//
// Every table exists keyed by str and by UTF-8 bytes so that a bytes path
// from the server is routed without being decoded; only captured values are
// decoded.  Lookups backtrack iteratively (an explicit frame stack), so the
// depth of a path never reaches the C stack.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "routing/routing_api.h"
#include "routing/text.h"
#include "vel/args.hpp"
#include "vel/capi.hpp"
#include "vel/compat.hpp"
#include "vel/module.hpp"
#include "vel/override.hpp"
#include "vel/ref.hpp"

namespace velmora::routing {
namespace {

using vel::Ref;

constexpr int kCachedKeys = 64;  // "_p_0" .. "_p_63" prebuilt

struct State {
    PyTypeObject *node_type;
    PyTypeObject *tree_type;
    PyTypeObject *match_type;
    PyTypeObject *router_type;
    PyObject *rx[6];  // int, float, uuid as bytes patterns, then as str patterns
    PyObject *s_tail, *s_star, *b_star, *s_slash, *b_slash, *s_empty, *b_empty;
    PyObject *s_lower, *s_upper, *s_pattern, *s_handler, *s_param_names, *s_decode, *s_match, *s_utf8;
    PyObject *s_int, *s_float, *s_uuid, *s_path;
    PyObject *p_keys[kCachedKeys];
    vel::OverrideSlot tree_insert, tree_match;
    vel::OverrideSlot router_add_route, router_get_match, router_get_static_match, router_freeze;
    RoutingCapi capi;
};

State *g_state = nullptr;

enum { RX_INT_B, RX_FLOAT_B, RX_UUID_B, RX_INT_S, RX_FLOAT_S, RX_UUID_S };

inline RadixNodeObject *as_node(PyObject *o) { return reinterpret_cast<RadixNodeObject *>(o); }
inline bool is_node(PyObject *o) { return PyObject_TypeCheck(o, g_state->node_type); }

PyObject *pass_result(PyObject *r) { return r; }

// getattr(obj, name, <missing>): 1 found, 0 missing (no error), -1 error.
int get_optional_attr(PyObject *obj, PyObject *name, Ref &out)
{
    out = vel::steal(PyObject_GetAttr(obj, name));
    if (out) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// ---------------------------------------------------------------------------
// RadixNode

PyObject *node_alloc(PyTypeObject *type)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    RadixNodeObject *n = as_node(self);
    PyObject **fields[] = {&n->route, &n->param_child, &n->param_name, &n->param_names,
                           &n->param_validator_str, &n->param_validator_bytes, &n->wildcard_child,
                           &n->wildcard_name, &n->wildcard_suffix_str, &n->wildcard_suffix_bytes};
    for (PyObject **f : fields) {
        *f = Py_NewRef(Py_None);
    }
    n->segment_str = Py_NewRef(g_state->s_empty);
    n->segment_bytes = Py_NewRef(g_state->b_empty);
    n->children_str = PyDict_New();
    n->children_bytes = PyDict_New();
    n->is_leaf = 0;
    if (n->children_str == nullptr || n->children_bytes == nullptr) {
        Py_CLEAR(self);
    }
    return self;
}

// A node created by the tree itself, for `seg` and its UTF-8 form.
PyObject *new_node(PyObject *seg, PyObject *seg_bytes)
{
    PyObject *self = node_alloc(g_state->node_type);
    if (self != nullptr) {
        Py_SETREF(as_node(self)->segment_str, Py_NewRef(seg));
        Py_SETREF(as_node(self)->segment_bytes, Py_NewRef(seg_bytes));
    }
    return self;
}

PyObject *node_new(PyTypeObject *type, PyObject *, PyObject *) { return node_alloc(type); }

int node_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const names[] = {"segment_str", "segment_bytes"};
    static const vel::Signature sig{"RadixNode", names, 2, 0};
    PyObject *a[2];
    if (!vel::parse_tuple_dict(sig, args, kwargs, a)) {
        return -1;
    }
    if ((a[0] != nullptr && !vel::check_arg(a[0], &PyUnicode_Type, "segment_str", false)) ||
        (a[1] != nullptr && !vel::check_arg(a[1], &PyBytes_Type, "segment_bytes", false))) {
        return -1;
    }
    RadixNodeObject *n = as_node(self);
    Py_SETREF(n->segment_str, Py_NewRef(a[0] != nullptr ? a[0] : g_state->s_empty));
    Py_SETREF(n->segment_bytes, Py_NewRef(a[1] != nullptr ? a[1] : g_state->b_empty));
    return 0;
}

#define NODE_FIELDS(X)                                                                             \
    X(segment_str) X(segment_bytes) X(route) X(children_str) X(children_bytes) X(param_child)     \
    X(param_name) X(param_names) X(param_validator_str) X(param_validator_bytes) X(wildcard_child) \
    X(wildcard_name) X(wildcard_suffix_str) X(wildcard_suffix_bytes)

int node_traverse(PyObject *self, visitproc visit, void *arg)
{
    RadixNodeObject *n = as_node(self);
#define VISIT(f) Py_VISIT(n->f);
    NODE_FIELDS(VISIT)
#undef VISIT
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int node_clear(PyObject *self)
{
    RadixNodeObject *n = as_node(self);
#define CLEAR(f) Py_CLEAR(n->f);
    NODE_FIELDS(CLEAR)
#undef CLEAR
    return 0;
}

void node_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A pattern of many segments is a long chain of nodes; the trashcan
    // defers nested deallocations so that freeing it does not recurse.
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    if (as_node(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    node_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// Typed attribute access: the field's offset and what it accepts.
enum class Kind { Any, Str, Bytes, Dict, List, Node, NodeNotNone, DictNotNone };

struct Field {
    Py_ssize_t offset;
    Kind kind;
};

PyObject *&slot_of(PyObject *self, const Field *f)
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + f->offset);
}

PyObject *field_get(PyObject *self, void *closure)
{
    PyObject *v = slot_of(self, static_cast<const Field *>(closure));
    return Py_NewRef(v != nullptr ? v : Py_None);
}

bool field_accepts(Kind kind, PyObject *value)
{
    switch (kind) {
    case Kind::Any:
        return true;
    case Kind::Str:
        return vel::check_value(value, &PyUnicode_Type);
    case Kind::Bytes:
        return vel::check_value(value, &PyBytes_Type);
    case Kind::Dict:
        return vel::check_value(value, &PyDict_Type);
    case Kind::DictNotNone:
        return vel::check_value(value, &PyDict_Type, false);
    case Kind::List:
        return vel::check_value(value, &PyList_Type);
    case Kind::Node:
    case Kind::NodeNotNone:
        // The short class name, as for the built-in types.
        return (value == Py_None && kind == Kind::Node) || is_node(value) ||
               vel::expected_type_error("RadixNode", value);
    }
    return false;
}

int field_set(PyObject *self, PyObject *value, void *closure)
{
    const Field *f = static_cast<const Field *>(closure);
    if (value == nullptr) {
        // Deleting an attribute that may be None resets it to None.
        if (f->kind == Kind::NodeNotNone || f->kind == Kind::DictNotNone) {
            PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
            return -1;
        }
        value = Py_None;
    }
    if (!field_accepts(f->kind, value)) {
        return -1;
    }
    Py_SETREF(slot_of(self, f), Py_NewRef(value));
    return 0;
}

PyObject *node_get_is_leaf(PyObject *self, void *) { return PyBool_FromLong(as_node(self)->is_leaf); }

int node_set_is_leaf(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
        return -1;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return -1;
    }
    as_node(self)->is_leaf = truth;
    return 0;
}

#define NODE_FIELD(name, kind) \
    const Field node_##name{static_cast<Py_ssize_t>(offsetof(RadixNodeObject, name)), Kind::kind};
NODE_FIELD(segment_str, Str)
NODE_FIELD(segment_bytes, Bytes)
NODE_FIELD(route, Any)
NODE_FIELD(children_str, Dict)
NODE_FIELD(children_bytes, Dict)
NODE_FIELD(param_child, Node)
NODE_FIELD(param_name, Str)
NODE_FIELD(param_names, List)
NODE_FIELD(param_validator_str, Any)
NODE_FIELD(param_validator_bytes, Any)
NODE_FIELD(wildcard_child, Node)
NODE_FIELD(wildcard_name, Str)
NODE_FIELD(wildcard_suffix_str, Str)
NODE_FIELD(wildcard_suffix_bytes, Bytes)
#undef NODE_FIELD

#define GETSET(prefix, name) \
    {#name, field_get, field_set, nullptr, const_cast<Field *>(&prefix##_##name)},

PyGetSetDef node_getset[] = {
#define NODE_GETSET(f) GETSET(node, f)
    NODE_FIELDS(NODE_GETSET)
#undef NODE_GETSET
    {"is_leaf", node_get_is_leaf, node_set_is_leaf, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef node_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RadixNodeObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char *>("One node of a route segment tree.")},
    {Py_tp_new, reinterpret_cast<void *>(node_new)},
    {Py_tp_init, reinterpret_cast<void *>(node_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(node_clear)},
    {Py_tp_getset, node_getset},
    {Py_tp_members, node_members},
    {0, nullptr},
};

PyType_Spec node_spec = {"velmora.routing.RadixNode", sizeof(RadixNodeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, node_slots};

// ---------------------------------------------------------------------------
// Pattern normalisation, shared by the tree and the router's static table.

struct Pattern {
    Ref str;    // normalised, exact str
    Ref bytes;  // its UTF-8 form
    bool is_static = false;
};

bool ends_with(PyObject *s, const char *suffix)
{
    return PyUnicode_Tailmatch(s, vel::steal(PyUnicode_FromString(suffix)).get(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

// The pattern as exact str: bytes decoded strictly, other objects via str().
PyObject *pattern_text(PyObject *pattern)
{
    if (PyUnicode_CheckExact(pattern)) {
        return Py_NewRef(pattern);
    }
    if (PyBytes_Check(pattern)) {
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(pattern), PyBytes_GET_SIZE(pattern), "strict");
    }
    if (PyUnicode_Check(pattern)) {
        return PyUnicode_FromObject(pattern);
    }
    return PyObject_Str(pattern);
}

bool normalise_pattern(PyObject *pattern, Pattern &out)
{
    Ref text = vel::steal(pattern_text(pattern));
    if (!text) {
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n == 0) {
        text = Ref::borrow(g_state->s_slash);
    } else if (n > 1 && PyUnicode_READ_CHAR(text.get(), n - 1) == '/' && !ends_with(text.get(), "*/")) {
        Py_ssize_t end = n;
        while (end > 0 && PyUnicode_READ_CHAR(text.get(), end - 1) == '/') {
            --end;
        }
        text = vel::steal(PyUnicode_Substring(text.get(), 0, end));
        if (!text) {
            return false;
        }
    }
    out.bytes = vel::steal(PyUnicode_AsUTF8String(text.get()));
    if (!out.bytes) {
        return false;
    }
    const char *b = PyBytes_AS_STRING(out.bytes.get());
    Py_ssize_t bn = PyBytes_GET_SIZE(out.bytes.get());
    out.is_static = true;
    for (Py_ssize_t i = 0; i < bn && out.is_static; ++i) {
        out.is_static = b[i] != '{' && b[i] != ':' && b[i] != '<' && b[i] != '*';
    }
    out.str = std::move(text);
    return true;
}

// The pattern's variant with one "/" appended, or "" for "/" itself.
bool pattern_variant(const Pattern &p, Ref &vstr, Ref &vbytes)
{
    if (PyUnicode_CompareWithASCIIString(p.str.get(), "/") == 0) {
        vstr = Ref::borrow(g_state->s_empty);
        vbytes = Ref::borrow(g_state->b_empty);
        return true;
    }
    vstr = vel::steal(PyUnicode_Concat(p.str.get(), g_state->s_slash));
    vbytes = vel::steal(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(p.bytes.get()) + 1));
    if (!vstr || !vbytes) {
        return false;
    }
    char *dst = PyBytes_AS_STRING(vbytes.get());
    std::memcpy(dst, PyBytes_AS_STRING(p.bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(p.bytes.get())));
    dst[PyBytes_GET_SIZE(p.bytes.get())] = '/';
    return true;
}

// ---------------------------------------------------------------------------
// RadixTree

inline RadixTreeObject *as_tree(PyObject *o) { return reinterpret_cast<RadixTreeObject *>(o); }

extern const RadixTreeMethods tree_methods;

PyObject *tree_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    RadixTreeObject *t = as_tree(self);
    t->vtab = &tree_methods;
    t->root = node_alloc(g_state->node_type);
    t->static_routes_str = PyDict_New();
    t->static_routes_bytes = PyDict_New();
    if (t->root == nullptr || t->static_routes_str == nullptr || t->static_routes_bytes == nullptr) {
        Py_CLEAR(self);
    }
    return self;
}

int no_args_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const vel::Signature sig{nullptr, nullptr, 0, 0};
    vel::Signature named = sig;
    named.function = Py_TYPE(self)->tp_name;
    PyObject *none[1];
    return vel::parse_tuple_dict(named, args, kwargs, none) ? 0 : -1;
}

int tree_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_tree(self)->root);
    Py_VISIT(as_tree(self)->static_routes_str);
    Py_VISIT(as_tree(self)->static_routes_bytes);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int tree_clear(PyObject *self)
{
    Py_CLEAR(as_tree(self)->root);
    Py_CLEAR(as_tree(self)->static_routes_str);
    Py_CLEAR(as_tree(self)->static_routes_bytes);
    return 0;
}

void tree_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_tree(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    tree_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// _parse_param_segment: "{id:int}", "<int:id>", ":id" ... -> (name, type).
PyObject *parse_param_segment(RadixTreeObject *, PyObject *segment)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(segment);
    Py_UCS4 first = n > 0 ? PyUnicode_READ_CHAR(segment, 0) : 0;
    Py_UCS4 last = n > 0 ? PyUnicode_READ_CHAR(segment, n - 1) : 0;
    Py_ssize_t start = 0;
    Py_ssize_t end = n;
    if ((first == '{' && last == '}') || (first == '<' && last == '>')) {
        start = n >= 2 ? 1 : n;
        end = n >= 2 ? n - 1 : n;
    } else if (first == ':') {
        start = 1;
    }
    Ref inner = vel::steal(PyUnicode_Substring(segment, start, end));
    if (!inner) {
        return nullptr;
    }
    Py_ssize_t colon = PyUnicode_FindChar(inner.get(), ':', 0, PyUnicode_GET_LENGTH(inner.get()), 1);
    if (colon == -2) {
        return nullptr;
    }
    if (colon == -1) {
        return PyTuple_Pack(2, inner.get(), g_state->s_empty);
    }
    Ref a = vel::steal(PyUnicode_Substring(inner.get(), 0, colon));
    Ref b = vel::steal(PyUnicode_Substring(inner.get(), colon + 1, PyUnicode_GET_LENGTH(inner.get())));
    if (!a || !b) {
        return nullptr;
    }
    static const char *const type_words[] = {"int", "float", "uuid", "str", "string", "path"};
    for (const char *word : type_words) {
        if (PyUnicode_CompareWithASCIIString(a.get(), word) == 0) {
            return PyTuple_Pack(2, b.get(), a.get());
        }
    }
    return PyTuple_Pack(2, a.get(), b.get());
}

// The node's child dict, which Python code may have set to None.
inline PyObject *children(RadixNodeObject *n, bool bytes)
{
    return bytes ? n->children_bytes : n->children_str;
}

bool require_dict(PyObject *d)
{
    return PyDict_Check(d) || vel::expected_type_error("dict", d);
}

// Moves the walk to the node's wildcard child, creating it when missing.
// The settings it replaces are released only once the child is held, since
// freeing them may run Python code that changes the node.
PyObject *wildcard_step(RadixNodeObject *node, PyObject *name, PyObject *suffix_str, PyObject *suffix_bytes)
{
    Ref child = Ref::borrow(node->wildcard_child);
    if (child.get() == Py_None) {
        child = vel::steal(new_node(g_state->s_star, g_state->b_star));
        if (!child) {
            return nullptr;
        }
    }
    Ref old[] = {vel::steal(std::exchange(node->wildcard_child, Py_NewRef(child.get()))),
                 vel::steal(std::exchange(node->wildcard_name, Py_NewRef(name))),
                 vel::steal(std::exchange(node->wildcard_suffix_str, Py_NewRef(suffix_str))),
                 vel::steal(std::exchange(node->wildcard_suffix_bytes, Py_NewRef(suffix_bytes)))};
    return child.release();
}

PyObject *param_step(RadixTreeObject *self, RadixNodeObject *node, PyObject *seg, PyObject *seg_bytes, bool *stop)
{
    Ref parsed = vel::steal(self->vtab->parse_param_segment(self, seg));
    if (!parsed) {
        return nullptr;
    }
    PyObject *name = PyTuple_GET_ITEM(parsed.get(), 0);
    PyObject *type = PyTuple_GET_ITEM(parsed.get(), 1);
    if (PyUnicode_Compare(type, g_state->s_path) == 0) {
        *stop = true;
        return wildcard_step(node, name, Py_None, Py_None);
    }
    if (node->param_child == Py_None) {
        Ref child = vel::steal(new_node(seg, seg_bytes));
        if (!child) {
            return nullptr;
        }
        RadixNodeObject *c = as_node(child.get());
        Py_SETREF(c->param_name, Py_NewRef(name));
        int which = PyUnicode_Compare(type, g_state->s_int) == 0     ? RX_INT_B
                    : PyUnicode_Compare(type, g_state->s_float) == 0 ? RX_FLOAT_B
                    : PyUnicode_Compare(type, g_state->s_uuid) == 0  ? RX_UUID_B
                                                                     : -1;
        if (which >= 0) {
            Py_SETREF(c->param_validator_bytes, Py_NewRef(g_state->rx[which]));
            Py_SETREF(c->param_validator_str, Py_NewRef(g_state->rx[which + 3]));
        }
        Py_SETREF(node->param_child, child.release());
    }
    return Py_NewRef(node->param_child);
}

PyObject *static_step(RadixNodeObject *node, PyObject *seg)
{
    // Keys stored by Python code may replace the dicts while they are used.
    Ref by_str = Ref::borrow(node->children_str);
    Ref by_bytes = Ref::borrow(node->children_bytes);
    Ref lowered = vel::steal(lower_text(seg, g_state->s_lower));
    if (!lowered || !require_dict(by_str.get()) || !require_dict(by_bytes.get())) {
        return nullptr;
    }
    PyObject *child = nullptr;
    if (vel::compat::dict_get_ref(by_str.get(), lowered.get(), &child) < 0) {
        return nullptr;
    }
    if (child != nullptr) {
        if (!is_node(child)) {
            vel::expected_type_error("RadixNode", child);
            Py_CLEAR(child);
        }
        return child;
    }
    Ref lowered_bytes = vel::steal(PyUnicode_AsUTF8String(lowered.get()));
    Ref fresh = lowered_bytes ? vel::steal(new_node(lowered.get(), lowered_bytes.get())) : Ref();
    if (!fresh || PyDict_SetItem(by_str.get(), lowered.get(), fresh.get()) < 0 ||
        PyDict_SetItem(by_bytes.get(), lowered_bytes.get(), fresh.get()) < 0) {
        return nullptr;
    }
    return fresh.release();
}

// The names as a new list of str: str items kept, others .decode("utf8").
PyObject *convert_names(PyObject *names)
{
    Ref seq = vel::steal(PySequence_Fast(names, "param_names must be a sequence"));
    // decode() may change a list while it is converted: read a snapshot.
    if (seq && PyList_Check(seq.get())) {
        seq = vel::steal(PyList_AsTuple(seq.get()));
    }
    if (!seq) {
        return nullptr;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = vel::steal(PyList_New(n));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject *name = PyUnicode_Check(item) ? Py_NewRef(item)
                                               : PyObject_CallMethodOneArg(item, g_state->s_decode, g_state->s_utf8);
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(out.get(), i, name);
    }
    return out.release();
}

int store_static(RadixTreeObject *self, const Pattern &p, PyObject *route)
{
    // Stored keys may run Python code that replaces the dicts.
    Ref by_str = Ref::borrow(self->static_routes_str);
    Ref by_bytes = Ref::borrow(self->static_routes_bytes);
    Ref vstr, vbytes;
    if (PyDict_SetItem(by_str.get(), p.str.get(), route) < 0 ||
        PyDict_SetItem(by_bytes.get(), p.bytes.get(), route) < 0 || !pattern_variant(p, vstr, vbytes) ||
        PyDict_SetItem(by_str.get(), vstr.get(), route) < 0 || PyDict_SetItem(by_bytes.get(), vbytes.get(), route) < 0) {
        return -1;
    }
    return 0;
}

int insert_native(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names)
{
    Pattern p;
    if (!normalise_pattern(pattern, p) || (p.is_static && store_static(self, p, route) < 0)) {
        return -1;
    }
    Ref segments = vel::steal(PyUnicode_Split(p.str.get(), g_state->s_slash, -1));
    if (!segments) {
        return -1;
    }
    Ref node = Ref::borrow(self->root);
    bool any = false;
    bool stop = false;
    Ref seg_list = vel::steal(PyList_AsTuple(segments.get()));
    if (!seg_list) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seg_list.get()) && !stop; ++i) {
        PyObject *seg = PyTuple_GET_ITEM(seg_list.get(), i);
        Py_ssize_t n = PyUnicode_GET_LENGTH(seg);
        if (n == 0) {
            continue;
        }
        any = true;
        RadixNodeObject *cur = node.as<RadixNodeObject>();
        Py_UCS4 first = PyUnicode_READ_CHAR(seg, 0);
        Py_UCS4 last = PyUnicode_READ_CHAR(seg, n - 1);
        PyObject *next = nullptr;
        if (first == '*') {
            stop = true;
            Ref suffix_str = Ref::borrow(Py_None);
            Ref suffix_bytes = Ref::borrow(Py_None);
            if (n > 1) {
                Ref rest = vel::steal(PyUnicode_Substring(seg, 1, n));
                suffix_str = rest ? vel::steal(lower_text(rest.get(), g_state->s_lower)) : Ref();
                suffix_bytes = suffix_str ? vel::steal(PyUnicode_AsUTF8String(suffix_str.get())) : Ref();
                if (!suffix_bytes) {
                    return -1;
                }
            }
            next = wildcard_step(cur, g_state->s_tail, suffix_str.get(), suffix_bytes.get());
        } else if ((first == '{' && last == '}') || (first == '<' && last == '>') || first == ':') {
            Ref seg_bytes = vel::steal(PyUnicode_AsUTF8String(seg));
            next = seg_bytes ? param_step(self, cur, seg, seg_bytes.get(), &stop) : nullptr;
        } else {
            next = static_step(cur, seg);
        }
        if (next == nullptr) {
            return -1;
        }
        node = vel::steal(next);
    }
    RadixNodeObject *leaf = node.as<RadixNodeObject>();
    Py_SETREF(leaf->route, Py_NewRef(route));
    leaf->is_leaf = 1;
    if (!any) {
        return 0;  // the root never carries parameter names
    }
    Ref names;
    if (param_names != nullptr && param_names != Py_None) {
        names = vel::steal(convert_names(param_names));
    } else {
        Ref attr;
        if (get_optional_attr(route, g_state->s_param_names, attr) < 0) {
            return -1;
        }
        int truth = attr ? PyObject_IsTrue(attr.get()) : 0;
        if (truth < 0) {
            return -1;
        }
        names = truth ? vel::steal(convert_names(attr.get())) : Ref::borrow(Py_None);
    }
    if (!names) {
        return -1;
    }
    Py_SETREF(leaf->param_names, names.release());
    return 0;
}

int tree_insert(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names)
{
    PyObject *names = param_names != nullptr ? param_names : Py_None;
    VEL_DISPATCH(g_state->tree_insert, self, vel::override_result_void, pattern, route, names);
    return insert_native(self, pattern, route, names);
}

// ---------------------------------------------------------------------------
// Lookup.  Frames of an explicit stack stand for the levels of the descent;
// each tries its static child, then its parameter child, then its wildcard,
// and a level that finds nothing hands control back to the one above.

// A stack of trivially copyable items that lives inline up to N items, so
// that a typical lookup allocates nothing for its bookkeeping.
template <class T, size_t N>
class SmallStack {
public:
    SmallStack() = default;
    SmallStack(const SmallStack &) = delete;
    SmallStack &operator=(const SmallStack &) = delete;
    ~SmallStack()
    {
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &back() { return data_[size_ - 1]; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    void pop() { --size_; }
    // false with MemoryError set when the stack cannot grow.
    bool push(const T &item)
    {
        if (size_ == capacity_ && !grow()) {
            return false;
        }
        data_[size_++] = item;
        return true;
    }

private:
    bool grow()
    {
        size_t capacity = capacity_ * 2;
        T *data = static_cast<T *>(PyMem_Malloc(capacity * sizeof(T)));
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(static_cast<void *>(data), data_, size_ * sizeof(T));
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
        data_ = data;
        capacity_ = capacity;
        return true;
    }

    T inline_[N];
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

// Owned (key, value) pairs captured so far, truncated on backtracking.
class Captured {
public:
    ~Captured() { truncate(0); }
    size_t size() const { return pairs_.size(); }
    // Steals both references, also on failure.
    bool push(PyObject *key, PyObject *value)
    {
        if (pairs_.push(Pair{key, value})) {
            return true;
        }
        Py_DECREF(key);
        Py_DECREF(value);
        return false;
    }
    void truncate(size_t n)
    {
        while (pairs_.size() > n) {
            Py_DECREF(pairs_.back().key);
            Py_DECREF(pairs_.back().value);
            pairs_.pop();
        }
    }
    // A new dict of the captured pairs, plus (extra_key, extra_value) when
    // given.  When `names` is a list with one name per value, the names are
    // the keys.  Hashing a name that is not an exact str runs Python code,
    // which may change the list: such names are read from a snapshot.
    PyObject *dict(PyObject *names, PyObject *extra_key, PyObject *extra_value) const
    {
        Ref d = vel::steal(PyDict_New());
        Ref keys = Ref::borrow(names);
        Ref extra = Ref::borrow(extra_key);
        const size_t count = pairs_.size() + (extra_value != nullptr ? 1 : 0);
        if (!d) {
            return nullptr;
        }
        if (keys && !(PyList_Check(names) && static_cast<size_t>(PyList_GET_SIZE(names)) == count)) {
            keys = nullptr;
        } else if (keys && !all_exact_str(names)) {
            keys = vel::steal(PyList_AsTuple(names));
            if (!keys) {
                return nullptr;
            }
        }
        for (size_t i = 0; i < count; ++i) {
            bool last = i == pairs_.size();
            PyObject *key = keys ? PySequence_Fast_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(i))
                                 : last ? extra.get() : pairs_[i].key;
            if (PyDict_SetItem(d.get(), key, last ? extra_value : pairs_[i].value) < 0) {
                return nullptr;
            }
        }
        return d.release();
    }

private:
    struct Pair {
        PyObject *key;
        PyObject *value;
    };
    static bool all_exact_str(PyObject *list)
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) {
                return false;
            }
        }
        return true;
    }
    SmallStack<Pair, 8> pairs_;
};

PyObject *p_key(Py_ssize_t index)
{
    if (index < kCachedKeys) {
        return Py_NewRef(g_state->p_keys[index]);
    }
    return PyUnicode_FromFormat("_p_%zd", index);
}

// The key of a wildcard's remainder: the node's wildcard name, or "tail".
inline Ref wildcard_key(RadixNodeObject *node)
{
    PyObject *name = node->wildcard_name;
    return Ref::borrow((PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0) ? name : g_state->s_tail);
}

template <bool B>
struct Twin;

template <>
struct Twin<false> {
    static bool check(PyObject *seg) { return PyUnicode_Check(seg); }
    static PyObject *validator(RadixNodeObject *n) { return n->param_validator_str; }
    static PyObject *suffix(RadixNodeObject *n) { return n->wildcard_suffix_str; }
    static PyObject *decode(PyObject *seg) { return fast_unquote_str(seg); }
    static int kind(PyObject *seg) { return PyUnicode_KIND(seg); }
    static const void *data(PyObject *seg) { return PyUnicode_DATA(seg); }
    static Py_ssize_t length(PyObject *seg) { return PyUnicode_GET_LENGTH(seg); }
    static PyObject *slice(PyObject *text, Py_ssize_t start, Py_ssize_t end)
    {
        return PyUnicode_Substring(text, start, end);
    }
    static int ends_with(PyObject *text, PyObject *suffix)
    {
        return static_cast<int>(PyUnicode_Tailmatch(text, suffix, 0, PY_SSIZE_T_MAX, 1));
    }
};

template <>
struct Twin<true> {
    static bool check(PyObject *seg) { return PyBytes_Check(seg); }
    static PyObject *validator(RadixNodeObject *n) { return n->param_validator_bytes; }
    static PyObject *suffix(RadixNodeObject *n) { return n->wildcard_suffix_bytes; }
    static PyObject *decode(PyObject *seg) { return fast_unquote_bytes(PyBytes_AS_STRING(seg), PyBytes_GET_SIZE(seg)); }
    static int kind(PyObject *) { return PyUnicode_1BYTE_KIND; }
    static const void *data(PyObject *seg) { return PyBytes_AS_STRING(seg); }
    static Py_ssize_t length(PyObject *seg) { return PyBytes_GET_SIZE(seg); }
    static PyObject *slice(PyObject *text, Py_ssize_t start, Py_ssize_t end)
    {
        return PyBytes_FromStringAndSize(PyBytes_AS_STRING(text) + start, end - start);
    }
    static int ends_with(PyObject *text, PyObject *suffix)
    {
        Py_ssize_t n = PyBytes_GET_SIZE(text);
        Py_ssize_t k = PyBytes_GET_SIZE(suffix);
        return k <= n && std::memcmp(PyBytes_AS_STRING(text) + n - k, PyBytes_AS_STRING(suffix), static_cast<size_t>(k)) == 0;
    }
};

// Whether `validator` accepts the raw segment: natively for the module's
// own patterns, through its `match` for anything else.  -1 on error.
template <bool B>
int validate(PyObject *validator, PyObject *seg)
{
    if (validator == Py_None) {
        return 1;
    }
    static const Shape shapes[] = {Shape::Int, Shape::Float, Shape::Uuid};
    const int first = B ? RX_INT_B : RX_INT_S;
    for (int k = 0; k < 3; ++k) {
        if (validator == g_state->rx[first + k]) {
            return shape_matches(shapes[k], !B, Twin<B>::kind(seg), Twin<B>::data(seg), Twin<B>::length(seg));
        }
    }
    // The call may drop the node's reference to the validator.
    Ref hold = Ref::borrow(validator);
    return vel::override_result_bool(PyObject_CallMethodOneArg(validator, g_state->s_match, seg));
}

struct Frame {
    PyObject *node;  // owned
    Py_ssize_t index;
    int stage;
    size_t base;  // captured pairs visible to this level
};

template <bool B>
class Descent {
public:
    // `segments` is a tuple, so Python code run by a validator or a key
    // cannot change it under the walk.
    explicit Descent(PyObject *segments) : segments_(segments), count_(PyTuple_GET_SIZE(segments)) {}
    ~Descent()
    {
        while (!frames_.empty()) {
            pop();
        }
    }

    // Seeds the captured pairs from a values dict handed in by a caller.
    bool seed(PyObject *values)
    {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(values, &pos, &key, &value)) {
            if (!captured_.push(Py_NewRef(key), Py_NewRef(value))) {
                return false;
            }
        }
        return true;
    }

    PyObject *run(RadixNodeObject *start, Py_ssize_t index)
    {
        if (!push_owned(Py_NewRef(start), index, captured_.size())) {
            return nullptr;
        }
        while (!frames_.empty()) {
            Frame &f = frames_.back();
            captured_.truncate(f.base);
            RadixNodeObject *node = as_node(f.node);
            const Py_ssize_t i = f.index;
            if (i >= count_) {
                PyObject *r = end_of_path(node);
                if (r != Py_None) {
                    return r;
                }
                Py_DECREF(r);
                pop();
                continue;
            }
            PyObject *seg = PyTuple_GET_ITEM(segments_, i);
            if (!Twin<B>::check(seg)) {
                vel::expected_type_error(B ? "bytes" : "str", seg);
                return nullptr;
            }
            switch (f.stage++) {
            case 0: {
                PyObject *child = nullptr;
                if (static_child(node, seg, &child) < 0) {
                    return nullptr;
                }
                if (child != nullptr && !push_owned(child, i + 1, f.base)) {
                    return nullptr;
                }
                break;
            }
            case 1: {
                PyObject *pc = node->param_child;
                if (pc == Py_None) {
                    break;
                }
                Ref hold = Ref::borrow(pc);
                int ok = validate<B>(Twin<B>::validator(as_node(pc)), seg);
                if (ok < 0) {
                    return nullptr;
                }
                if (ok) {
                    PyObject *key = p_key(i);
                    PyObject *value = key != nullptr ? Twin<B>::decode(seg) : nullptr;
                    if (value == nullptr) {
                        Py_XDECREF(key);
                        return nullptr;
                    }
                    if (!captured_.push(key, value) || !push_owned(hold.release(), i + 1, captured_.size())) {
                        return nullptr;
                    }
                }
                break;
            }
            case 2: {
                PyObject *r = wildcard(node, i);
                if (r != Py_None) {
                    return r;
                }
                Py_DECREF(r);
                pop();
                break;
            }
            default:
                pop();
            }
        }
        Py_RETURN_NONE;
    }

private:
    // Steals `node`, also on failure.
    bool push_owned(PyObject *node, Py_ssize_t index, size_t base)
    {
        if (frames_.push(Frame{node, index, 0, base})) {
            return true;
        }
        Py_DECREF(node);
        return false;
    }
    void pop()
    {
        Py_DECREF(frames_.back().node);
        frames_.pop();
    }

    // The static child for the lower-cased segment (new reference), NULL
    // when there is none; -1 on error.
    static int static_child(RadixNodeObject *node, PyObject *seg, PyObject **child)
    {
        Ref dict = Ref::borrow(children(node, B));
        if (dict.get() == Py_None || PyDict_GET_SIZE(dict.get()) == 0) {
            return 0;
        }
        Ref key = vel::steal(lower_text(seg, g_state->s_lower));
        if (!key || vel::compat::dict_get_ref(dict.get(), key.get(), child) < 0) {
            return -1;
        }
        if (*child != nullptr && !is_node(*child)) {
            vel::expected_type_error("RadixNode", *child);
            Py_CLEAR(*child);
            return -1;
        }
        return 0;
    }

    PyObject *pair(PyObject *route, PyObject *values)  // steals values
    {
        if (values == nullptr) {
            return nullptr;
        }
        PyObject *r = PyTuple_Pack(2, route, values);
        Py_DECREF(values);
        return r;
    }

    PyObject *end_of_path(RadixNodeObject *node)
    {
        if (node->is_leaf && node->route != Py_None) {
            PyObject *names = node->param_names;
            size_t n = captured_.size();
            if (n == 0) {
                return PyTuple_Pack(2, node->route, Py_None);
            }
            // Hashing the names may run Python code that replaces the route.
            Ref route = Ref::borrow(node->route);
            Ref hold_names = Ref::borrow(names);
            return pair(route.get(), captured_.dict(names, nullptr, nullptr));
        }
        PyObject *wc = node->wildcard_child;
        if (wc != Py_None && as_node(wc)->route != Py_None && Twin<B>::suffix(node) == Py_None) {
            Ref route = Ref::borrow(as_node(wc)->route);
            return pair(route.get(), captured_.dict(nullptr, wildcard_key(node).get(), g_state->s_empty));
        }
        Py_RETURN_NONE;
    }

    PyObject *remainder(Py_ssize_t index)
    {
        if (index == count_ - 1) {
            return Py_NewRef(PyTuple_GET_ITEM(segments_, index));
        }
        Py_ssize_t total = 0;
        for (Py_ssize_t k = index; k < count_; ++k) {
            PyObject *seg = PyTuple_GET_ITEM(segments_, k);
            if (!Twin<B>::check(seg)) {
                vel::expected_type_error(B ? "bytes" : "str", seg);
                return nullptr;
            }
            total += Twin<B>::length(seg) + 1;
        }
        if constexpr (B) {
            PyObject *out = PyBytes_FromStringAndSize(nullptr, total - 1);
            if (out != nullptr) {
                char *dst = PyBytes_AS_STRING(out);
                for (Py_ssize_t k = index; k < count_; ++k) {
                    PyObject *seg = PyTuple_GET_ITEM(segments_, k);
                    if (k > index) {
                        *dst++ = '/';
                    }
                    std::memcpy(dst, PyBytes_AS_STRING(seg), static_cast<size_t>(PyBytes_GET_SIZE(seg)));
                    dst += PyBytes_GET_SIZE(seg);
                }
            }
            return out;
        } else {
            Ref part = vel::steal(PyTuple_GetSlice(segments_, index, count_));
            return part ? PyUnicode_Join(g_state->s_slash, part.get()) : nullptr;
        }
    }

    PyObject *wildcard(RadixNodeObject *node, Py_ssize_t index)
    {
        PyObject *wc_obj = node->wildcard_child;
        if (wc_obj == Py_None || as_node(wc_obj)->route == Py_None) {
            Py_RETURN_NONE;
        }
        Ref wc = Ref::borrow(wc_obj);
        Ref rest = vel::steal(remainder(index));
        if (!rest) {
            return nullptr;
        }
        Ref suffix = Ref::borrow(Twin<B>::suffix(node));
        if (suffix.get() != Py_None) {
            Ref lowered = vel::steal(lower_text(rest.get(), g_state->s_lower));
            int ends = lowered ? Twin<B>::ends_with(lowered.get(), suffix.get()) : -1;
            if (ends <= 0) {
                return ends < 0 ? nullptr : Py_NewRef(Py_None);
            }
            Py_ssize_t keep = Twin<B>::length(rest.get()) - Twin<B>::length(suffix.get());
            rest = vel::steal(Twin<B>::slice(rest.get(), 0, keep < 0 ? 0 : keep));
            if (!rest) {
                return nullptr;
            }
        }
        PyObject *value = Twin<B>::decode(rest.get());
        if (value == nullptr) {
            return nullptr;
        }
        Ref hold_value = vel::steal(value);
        RadixNodeObject *child = wc.as<RadixNodeObject>();
        Ref names = Ref::borrow(child->param_names);
        Ref route = Ref::borrow(child->route);
        return pair(route.get(), captured_.dict(names.get(), wildcard_key(node).get(), value));
    }

    PyObject *segments_;
    Py_ssize_t count_;
    SmallStack<Frame, 16> frames_;
    Captured captured_;
};

template <bool B>
PyObject *descend(RadixNodeObject *node, PyObject *segments, Py_ssize_t index, PyObject *values)
{
    Descent<B> descent(segments);
    if (values != nullptr && values != Py_None && !descent.seed(values)) {
        return nullptr;
    }
    return descent.run(node, index);
}

// The table slot takes the caller's list; the walk reads a snapshot of it.
template <bool B>
PyObject *match_recursive(RadixTreeObject *, RadixNodeObject *node, PyObject *segments, Py_ssize_t index,
                          PyObject *values)
{
    if (!PyList_Check(segments)) {
        vel::expected_type_error("list", segments);
        return nullptr;
    }
    Ref snapshot = vel::steal(PyList_AsTuple(segments));
    return snapshot ? descend<B>(node, snapshot.get(), index, values) : nullptr;
}

// Where the "/" separators of a path are, scanned once per lookup over the
// path's code units (one-byte kinds, the common case, without a per-char
// kind switch).
struct Layout {
    bool doubled = false;   // "//" somewhere
    Py_ssize_t count = 0;   // non-empty pieces between "/"
};

template <class T>
Layout scan_units(const T *data, Py_ssize_t n)
{
    Layout out;
    T prev = '/';
    for (Py_ssize_t i = 0; i < n; ++i) {
        T c = data[i];
        out.doubled |= (c == '/' && prev == '/' && i > 0);
        out.count += (c != '/' && prev == '/');
        prev = c;
    }
    return out;
}

Layout scan_path(int kind, const void *data, Py_ssize_t n)
{
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        return scan_units(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return scan_units(static_cast<const Py_UCS2 *>(data), n);
    default:
        return scan_units(static_cast<const Py_UCS4 *>(data), n);
    }
}

// The `count` non-empty pieces of `path[0:n]` between "/" characters.
template <bool B>
PyObject *split_segments(PyObject *path, Py_ssize_t n, Py_ssize_t count)
{
    int kind = Twin<B>::kind(path);
    const void *data = Twin<B>::data(path);
    Ref out = vel::steal(PyTuple_New(count));
    Py_ssize_t start = 0;
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; out && i <= n; ++i) {
        if (i == n || PyUnicode_READ(kind, data, i) == '/') {
            if (i > start && k < count) {
                PyObject *seg = Twin<B>::slice(path, start, i);
                if (seg == nullptr) {
                    return nullptr;
                }
                PyTuple_SET_ITEM(out.get(), k++, seg);
            }
            start = i + 1;
        }
    }
    return out.release();
}

template <bool B>
PyObject *match_path(RadixTreeObject *self, PyObject *path)
{
    int kind = Twin<B>::kind(path);
    const void *data = Twin<B>::data(path);
    Py_ssize_t n = Twin<B>::length(path);
    const Layout layout = scan_path(kind, data, n);
    if (layout.doubled) {
        Py_RETURN_NONE;
    }
    // Hashing the path or comparing a stored key may run Python code that
    // replaces the dict or the root.
    Ref statics = Ref::borrow(B ? self->static_routes_bytes : self->static_routes_str);
    PyObject *hit = nullptr;
    if (vel::compat::dict_get_ref(statics.get(), path, &hit) < 0) {
        return nullptr;
    }
    if (hit != nullptr) {
        Ref route = vel::steal(hit);
        return PyTuple_Pack(2, hit, Py_None);
    }
    Ref stripped = Ref::borrow(path);
    if (n > 1 && PyUnicode_READ(kind, data, n - 1) == '/') {
        while (n > 0 && PyUnicode_READ(kind, data, n - 1) == '/') {
            --n;
        }
        stripped = vel::steal(Twin<B>::slice(path, 0, n));
        if (!stripped || vel::compat::dict_get_ref(statics.get(), stripped.get(), &hit) < 0) {
            return nullptr;
        }
        if (hit != nullptr) {
            Ref route = vel::steal(hit);
            return PyTuple_Pack(2, hit, Py_None);
        }
    }
    Ref hold_root = Ref::borrow(self->root);
    RadixNodeObject *root = hold_root.as<RadixNodeObject>();
    if (n == 0 || (n == 1 && PyUnicode_READ(kind, data, 0) == '/')) {
        if (root->route != Py_None) {
            return PyTuple_Pack(2, root->route, Py_None);
        }
        PyObject *wc = root->wildcard_child;
        if (wc != Py_None && as_node(wc)->route != Py_None) {
            Ref route = Ref::borrow(as_node(wc)->route);
            Ref values = vel::steal(PyDict_New());
            if (!values || PyDict_SetItem(values.get(), wildcard_key(root).get(), g_state->s_empty) < 0) {
                return nullptr;
            }
            return PyTuple_Pack(2, route.get(), values.get());
        }
        Py_RETURN_NONE;
    }
    // Stripping trailing slashes removes no piece, so the count still holds.
    Ref segments = vel::steal(split_segments<B>(path, n, layout.count));
    if (!segments) {
        return nullptr;
    }
    return descend<B>(root, segments.get(), 0, nullptr);
}

PyObject *match_str(RadixTreeObject *self, PyObject *path) { return match_path<false>(self, path); }
PyObject *match_bytes(RadixTreeObject *self, PyObject *path) { return match_path<true>(self, path); }

PyObject *match_native(RadixTreeObject *self, PyObject *path)
{
    if (PyUnicode_Check(path)) {
        return self->vtab->match_str(self, path);
    }
    if (PyBytes_Check(path)) {
        return self->vtab->match_bytes(self, path);
    }
    Ref text = vel::steal(PyObject_Str(path));
    return text ? self->vtab->match_str(self, text.get()) : nullptr;
}

PyObject *tree_match(RadixTreeObject *self, PyObject *path)
{
    VEL_DISPATCH(g_state->tree_match, self, pass_result, path);
    return match_native(self, path);
}

const RadixTreeMethods tree_methods = {
    tree_insert, parse_param_segment, tree_match, match_str, match_bytes, match_recursive<false>, match_recursive<true>,
};

bool check_param_names(PyObject *names)
{
    return names == nullptr || vel::check_arg_exact(names, &PyList_Type, "param_names");
}

PyObject *py_tree_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"pattern", "route", "param_names"};
    static const vel::Signature sig{"insert", names, 3, 2};
    PyObject *a[3];
    if (!vel::parse_fastcall(sig, args, nargs, kwnames, a) || !check_param_names(a[2]) ||
        insert_native(as_tree(self), a[0], a[1], a[2] != nullptr ? a[2] : Py_None) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *py_tree_match(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"path"};
    static const vel::Signature sig{"match", names, 1, 1};
    PyObject *a[1];
    if (kwnames == nullptr && nargs == 1) {
        return match_native(as_tree(self), args[0]);
    }
    return vel::parse_fastcall(sig, args, nargs, kwnames, a) ? match_native(as_tree(self), a[0]) : nullptr;
}

#define CALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef tree_py_methods[] = {
    {"insert", CALL_KW(py_tree_insert), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("insert(pattern, route, param_names=None)\n--\n\nAdds a route pattern to the tree.")},
    {"match", CALL_KW(py_tree_match), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("match(path)\n--\n\nReturns (route, values) for the path, or None.")},
    {nullptr, nullptr, 0, nullptr},
};

const Field tree_root{static_cast<Py_ssize_t>(offsetof(RadixTreeObject, root)), Kind::NodeNotNone};
const Field tree_static_routes_str{static_cast<Py_ssize_t>(offsetof(RadixTreeObject, static_routes_str)),
                                   Kind::DictNotNone};
const Field tree_static_routes_bytes{static_cast<Py_ssize_t>(offsetof(RadixTreeObject, static_routes_bytes)),
                                     Kind::DictNotNone};

PyGetSetDef tree_getset[] = {
    GETSET(tree, root) GETSET(tree, static_routes_str) GETSET(tree, static_routes_bytes)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef tree_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RadixTreeObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char *>("The route patterns of one request method.")},
    {Py_tp_new, reinterpret_cast<void *>(tree_new)},
    {Py_tp_init, reinterpret_cast<void *>(no_args_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tree_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(tree_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tree_clear)},
    {Py_tp_methods, tree_py_methods},
    {Py_tp_getset, tree_getset},
    {Py_tp_members, tree_members},
    {0, nullptr},
};

PyType_Spec tree_spec = {"velmora.routing.RadixTree", sizeof(RadixTreeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, tree_slots};

// ---------------------------------------------------------------------------
// RouteMatch

inline RouteMatchObject *as_match(PyObject *o) { return reinterpret_cast<RouteMatchObject *>(o); }

PyObject *route_match_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_match(self)->pattern = Py_NewRef(Py_None);
        as_match(self)->values = Py_NewRef(Py_None);
        as_match(self)->route = Py_NewRef(Py_None);
    }
    return self;
}

// A copy of `values` with the values percent-decoded: str with "%" through
// unquote, bytes decoded strictly and unquoted, anything else as it is.
PyObject *convert_values(PyObject *values)
{
    Ref out = vel::steal(PyDict_New());
    const Py_ssize_t size = PyDict_GET_SIZE(values);
    Py_ssize_t pos = 0;
    PyObject *k;
    PyObject *v;
    while (out && PyDict_Next(values, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        if (PyUnicode_Check(v)) {
            value = vel::steal(fast_unquote_str(v));
        } else if (PyBytes_Check(v)) {
            Ref text = vel::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), "strict"));
            value = text ? vel::steal(fast_unquote_str(text.get())) : Ref();
        }
        if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
        if (PyDict_GET_SIZE(values) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
    }
    return out.release();
}

int route_match_fill(PyObject *self, PyObject *route, PyObject *values)
{
    RouteMatchObject *m = as_match(self);
    Py_SETREF(m->route, Py_NewRef(route));
    PyObject *pattern = PyObject_GetAttr(route, g_state->s_pattern);
    if (pattern == nullptr) {
        return -1;
    }
    Py_SETREF(m->pattern, pattern);
    PyObject *converted = (values == nullptr || values == Py_None || PyDict_GET_SIZE(values) == 0)
                              ? Py_NewRef(Py_None)
                              : convert_values(values);
    if (converted == nullptr) {
        return -1;
    }
    Py_SETREF(m->values, converted);
    return 0;
}

int route_match_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const names[] = {"route", "values"};
    static const vel::Signature sig{"RouteMatch", names, 2, 1};
    PyObject *a[2];
    if (!vel::parse_tuple_dict(sig, args, kwargs, a) ||
        (a[1] != nullptr && !vel::check_arg_exact(a[1], &PyDict_Type, "values"))) {
        return -1;
    }
    return route_match_fill(self, a[0], a[1]);
}

PyObject *new_route_match(PyObject *route)
{
    Ref m = vel::steal(route_match_new(g_state->match_type, nullptr, nullptr));
    return (m && route_match_fill(m.get(), route, nullptr) == 0) ? m.release() : nullptr;
}

int route_match_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_match(self)->pattern);
    Py_VISIT(as_match(self)->values);
    Py_VISIT(as_match(self)->route);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int route_match_clear(PyObject *self)
{
    Py_CLEAR(as_match(self)->pattern);
    Py_CLEAR(as_match(self)->values);
    Py_CLEAR(as_match(self)->route);
    return 0;
}

void route_match_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_match(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    route_match_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *route_match_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<RouteMatch %S>", as_match(self)->pattern);
}

PyObject *route_match_values(PyObject *self, void *) { return Py_NewRef(as_match(self)->values); }

PyObject *route_match_handler(PyObject *self, void *)
{
    // The lookup may drop the match's reference to the route.
    Ref route = Ref::borrow(as_match(self)->route);
    return PyObject_GetAttr(route.get(), g_state->s_handler);
}

const Field match_pattern{static_cast<Py_ssize_t>(offsetof(RouteMatchObject, pattern)), Kind::Any};
const Field match_values{static_cast<Py_ssize_t>(offsetof(RouteMatchObject, values)), Kind::Dict};
const Field match_route{static_cast<Py_ssize_t>(offsetof(RouteMatchObject, route)), Kind::Any};

PyGetSetDef route_match_getset[] = {
    GETSET(match, pattern) GETSET(match, route)
    {"_values", field_get, field_set, nullptr, const_cast<Field *>(&match_values)},
    {"values", route_match_values, nullptr, PyDoc_STR("The captured values (a dict), or None."), nullptr},
    {"handler", route_match_handler, nullptr, PyDoc_STR("The route's handler."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef route_match_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RouteMatchObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot route_match_slots[] = {
    {Py_tp_doc, const_cast<char *>("A route with the values captured from the path.")},
    {Py_tp_new, reinterpret_cast<void *>(route_match_new)},
    {Py_tp_init, reinterpret_cast<void *>(route_match_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(route_match_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(route_match_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(route_match_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(route_match_repr)},
    {Py_tp_getset, route_match_getset},
    {Py_tp_members, route_match_members},
    {0, nullptr},
};

PyType_Spec route_match_spec = {"velmora.routing.RouteMatch", sizeof(RouteMatchObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, route_match_slots};

// ---------------------------------------------------------------------------
// RadixRouter

inline RadixRouterObject *as_router(PyObject *o) { return reinterpret_cast<RadixRouterObject *>(o); }

extern const RadixRouterMethods router_methods;

PyObject *router_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    RadixRouterObject *r = as_router(self);
    r->vtab = &router_methods;
    r->trees = PyDict_New();
    r->static_matches = PyDict_New();
    if (r->trees == nullptr || r->static_matches == nullptr) {
        Py_CLEAR(self);
    }
    return self;
}

int router_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_router(self)->trees);
    Py_VISIT(as_router(self)->static_matches);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int router_clear(PyObject *self)
{
    Py_CLEAR(as_router(self)->trees);
    Py_CLEAR(as_router(self)->static_matches);
    return 0;
}

void router_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_router(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    router_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The method upper-cased: bytes stay bytes, str stays str, anything else
// goes through str() first.
PyObject *upper_method(PyObject *method)
{
    if (PyUnicode_Check(method) || PyBytes_Check(method)) {
        return upper_text(method, g_state->s_upper);
    }
    Ref text = vel::steal(PyObject_Str(method));
    return text ? upper_text(text.get(), g_state->s_upper) : nullptr;
}

PyObject *tree_for(RadixRouterObject *self, PyObject *key)
{
    Ref trees = Ref::borrow(self->trees);
    PyObject *tree = nullptr;
    if (vel::compat::dict_get_ref(trees.get(), key, &tree) > 0 && !PyObject_TypeCheck(tree, g_state->tree_type)) {
        vel::expected_type_error("RadixTree", tree);
        Py_CLEAR(tree);
    }
    return tree;
}

int store_static_match(RadixRouterObject *self, PyObject *mstr, PyObject *mbytes, const Pattern &p,
                       PyObject *route)
{
    Ref match = vel::steal(new_route_match(route));
    Ref vstr, vbytes;
    if (!match || !pattern_variant(p, vstr, vbytes)) {
        return -1;
    }
    Ref table = Ref::borrow(self->static_matches);
    PyObject *paths[2][2] = {{p.str.get(), p.bytes.get()}, {vstr.get(), vbytes.get()}};
    for (auto &form : paths) {
        PyObject *keys[4][2] = {{mstr, form[0]}, {mbytes, form[1]}, {mstr, form[1]}, {mbytes, form[0]}};
        for (auto &k : keys) {
            Ref key = vel::steal(PyTuple_Pack(2, k[0], k[1]));
            if (!key || PyDict_SetItem(table.get(), key.get(), match.get()) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

int add_route_native(RadixRouterObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names)
{
    if (!check_param_names(param_names)) {
        return -1;
    }
    Ref mstr, mbytes;
    if (PyBytes_Check(method)) {
        mbytes = vel::steal(upper_text(method, g_state->s_upper));
        mstr = mbytes ? vel::steal(PyUnicode_FromEncodedObject(mbytes.get(), "utf-8", "strict")) : Ref();
    } else {
        mstr = vel::steal(upper_method(method));
        mbytes = mstr ? vel::steal(PyUnicode_AsUTF8String(mstr.get())) : Ref();
    }
    if (!mbytes || !mstr) {
        return -1;
    }
    Ref tree = vel::steal(tree_for(self, mstr.get()));
    if (!tree && PyErr_Occurred()) {
        return -1;
    }
    if (!tree) {
        tree = vel::steal(tree_new(g_state->tree_type, nullptr, nullptr));
        Ref trees = Ref::borrow(self->trees);
        if (!tree || PyDict_SetItem(trees.get(), mstr.get(), tree.get()) < 0 ||
            PyDict_SetItem(trees.get(), mbytes.get(), tree.get()) < 0) {
            return -1;
        }
    }
    RadixTreeObject *t = tree.as<RadixTreeObject>();
    Pattern p;
    if (t->vtab->insert(t, pattern, route, param_names != nullptr ? param_names : Py_None) < 0 ||
        !normalise_pattern(pattern, p)) {
        return -1;
    }
    return p.is_static ? store_static_match(self, mstr.get(), mbytes.get(), p, route) : 0;
}

PyObject *get_match_native(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    // Hashing the key may run Python code that replaces the table.
    Ref table = Ref::borrow(self->static_matches);
    Ref key = vel::steal(PyTuple_Pack(2, method, path));
    PyObject *hit = nullptr;
    if (!key || vel::compat::dict_get_ref(table.get(), key.get(), &hit) < 0) {
        return nullptr;
    }
    if (hit != nullptr) {
        Ref match = vel::steal(hit);
        if (PyObject_TypeCheck(hit, g_state->match_type)) {
            return PyTuple_Pack(2, as_match(hit)->route, Py_None);
        }
        vel::expected_type_error("RouteMatch", hit);
        return nullptr;
    }
    Ref upper = vel::steal(upper_method(method));
    Ref tree = upper ? vel::steal(tree_for(self, upper.get())) : Ref();
    if (!tree) {
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    RadixTreeObject *t = tree.as<RadixTreeObject>();
    return t->vtab->match(t, path);
}

PyObject *get_static_match_native(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    // Hashing the key may run Python code that replaces the table.
    Ref table = Ref::borrow(self->static_matches);
    Ref key = vel::steal(PyTuple_Pack(2, method, path));
    PyObject *hit = nullptr;
    if (!key || vel::compat::dict_get_ref(table.get(), key.get(), &hit) < 0) {
        return nullptr;
    }
    return hit != nullptr ? hit : Py_NewRef(Py_None);
}

int router_add_route(RadixRouterObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names)
{
    PyObject *names = param_names != nullptr ? param_names : Py_None;
    VEL_DISPATCH(g_state->router_add_route, self, vel::override_result_void, method, pattern, route, names);
    return add_route_native(self, method, pattern, route, names);
}

PyObject *router_get_match(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    VEL_DISPATCH(g_state->router_get_match, self, pass_result, method, path);
    return get_match_native(self, method, path);
}

PyObject *router_get_static_match(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    VEL_DISPATCH(g_state->router_get_static_match, self, pass_result, method, path);
    return get_static_match_native(self, method, path);
}

int router_freeze(RadixRouterObject *self)
{
    VEL_DISPATCH(g_state->router_freeze, self, vel::override_result_void);
    return 0;
}

const RadixRouterMethods router_methods = {router_add_route, router_get_match, router_get_static_match,
                                           router_freeze};

PyObject *py_add_route(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"method", "pattern", "route", "param_names"};
    static const vel::Signature sig{"add_route", names, 4, 3};
    PyObject *a[4];
    if (!vel::parse_fastcall(sig, args, nargs, kwnames, a) ||
        add_route_native(as_router(self), a[0], a[1], a[2], a[3] != nullptr ? a[3] : Py_None) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

using Lookup = PyObject *(*)(RadixRouterObject *, PyObject *, PyObject *);

template <Lookup fn>
PyObject *py_lookup(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (kwnames == nullptr && nargs == 2) {
        return fn(as_router(self), args[0], args[1]);
    }
    static const char *const names[] = {"method", "path"};
    const vel::Signature sig{fn == get_match_native ? "get_match" : "get_static_match", names, 2, 2};
    PyObject *a[2];
    return vel::parse_fastcall(sig, args, nargs, kwnames, a) ? fn(as_router(self), a[0], a[1]) : nullptr;
}

PyObject *py_freeze(PyObject *, PyObject *) { Py_RETURN_NONE; }

PyMethodDef router_py_methods[] = {
    {"add_route", CALL_KW(py_add_route), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("add_route(method, pattern, route, param_names=None)\n--\n\nRegisters a route for a method.")},
    {"get_match", CALL_KW(py_lookup<get_match_native>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_match(method, path)\n--\n\nReturns (route, values) for the request, or None.")},
    {"get_static_match", CALL_KW(py_lookup<get_static_match_native>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_static_match(method, path)\n--\n\nReturns the prebuilt RouteMatch of a static route, or None.")},
    {"freeze", py_freeze, METH_NOARGS,
     PyDoc_STR("Freezes the radix router tables for concurrent read-only dispatch.")},
    {nullptr, nullptr, 0, nullptr},
};

const Field router_trees{static_cast<Py_ssize_t>(offsetof(RadixRouterObject, trees)), Kind::DictNotNone};
const Field router_static_matches{static_cast<Py_ssize_t>(offsetof(RadixRouterObject, static_matches)),
                                  Kind::DictNotNone};

PyGetSetDef router_getset[] = {
    GETSET(router, trees) GETSET(router, static_matches)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef router_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RadixRouterObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot router_slots[] = {
    {Py_tp_doc, const_cast<char *>("One radix tree per request method, with a static fast path.")},
    {Py_tp_new, reinterpret_cast<void *>(router_new)},
    {Py_tp_init, reinterpret_cast<void *>(no_args_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(router_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(router_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(router_clear)},
    {Py_tp_methods, router_py_methods},
    {Py_tp_getset, router_getset},
    {Py_tp_members, router_members},
    {0, nullptr},
};

PyType_Spec router_spec = {"velmora.routing.RadixRouter", sizeof(RadixRouterObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, router_slots};

// ---------------------------------------------------------------------------
// Module

State *get_state(PyObject *module) { return static_cast<State *>(PyModule_GetState(module)); }

#define STATE_OBJECTS(X)                                                                           \
    X(node_type) X(tree_type) X(match_type) X(router_type) X(rx[0]) X(rx[1]) X(rx[2]) X(rx[3])     \
    X(rx[4]) X(rx[5]) X(s_tail) X(s_star) X(b_star) X(s_slash) X(b_slash) X(s_empty) X(b_empty)    \
    X(s_lower) X(s_upper) X(s_pattern) X(s_handler) X(s_param_names) X(s_decode) X(s_match)        \
    X(s_utf8) X(s_int) X(s_float) X(s_uuid) X(s_path)

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    State *st = get_state(module);
#define VISIT(f) Py_VISIT(st->f);
    STATE_OBJECTS(VISIT)
#undef VISIT
    return 0;
}

int module_clear(PyObject *module)
{
    State *st = get_state(module);
#define CLEAR(f) Py_CLEAR(st->f);
    STATE_OBJECTS(CLEAR)
#undef CLEAR
    for (PyObject *&k : st->p_keys) {
        Py_CLEAR(k);
    }
    vel::OverrideSlot *slots[] = {&st->tree_insert, &st->tree_match, &st->router_add_route,
                                  &st->router_get_match, &st->router_get_static_match, &st->router_freeze};
    for (vel::OverrideSlot *s : slots) {
        s->clear();
    }
    return 0;
}

void module_free(void *module)
{
    State *st = get_state(static_cast<PyObject *>(module));
    module_clear(static_cast<PyObject *>(module));
    if (g_state == st) {
        g_state = nullptr;
    }
}

int add_patterns(PyObject *module, State *st)
{
    static const char *const names[] = {"_INT_RX_BYTES", "_FLOAT_RX_BYTES", "_UUID_RX_BYTES",
                                        "_INT_RX_STR",   "_FLOAT_RX_STR",   "_UUID_RX_STR"};
    static const char *const texts[] = {
        "^\\d+$", "^\\d+(?:\\.\\d+)?$",
        "^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$"};
    Ref re = vel::steal(PyImport_ImportModule("re"));
    Ref unquote = vel::steal(vel::import_attr("urllib.parse", "unquote"));
    if (!re || !unquote || PyModule_AddObjectRef(module, "re", re.get()) < 0 ||
        PyModule_AddObjectRef(module, "unquote", unquote.get()) < 0) {
        return -1;
    }
    for (int k = 0; k < 6; ++k) {
        Ref text = vel::steal(k < 3 ? PyBytes_FromString(texts[k]) : PyUnicode_FromString(texts[k - 3]));
        st->rx[k] = text ? PyObject_CallMethod(re.get(), "compile", "O", text.get()) : nullptr;
        if (st->rx[k] == nullptr || PyModule_AddObjectRef(module, names[k], st->rx[k]) < 0) {
            return -1;
        }
    }
    return 0;
}

int module_exec(PyObject *module)
{
    if (vel::init_companion() < 0) {
        return -1;
    }
    State *st = get_state(module);
    new (&st->tree_insert) vel::OverrideSlot();
    new (&st->tree_match) vel::OverrideSlot();
    new (&st->router_add_route) vel::OverrideSlot();
    new (&st->router_get_match) vel::OverrideSlot();
    new (&st->router_get_static_match) vel::OverrideSlot();
    new (&st->router_freeze) vel::OverrideSlot();
    g_state = st;
    struct Interned {
        PyObject **slot;
        const char *text;
    } const strings[] = {
        {&st->s_tail, "tail"},       {&st->s_star, "*"},           {&st->s_slash, "/"},
        {&st->s_empty, ""},          {&st->s_lower, "lower"},      {&st->s_upper, "upper"},
        {&st->s_pattern, "pattern"}, {&st->s_handler, "handler"},  {&st->s_param_names, "param_names"},
        {&st->s_decode, "decode"},   {&st->s_match, "match"},      {&st->s_utf8, "utf8"},
        {&st->s_int, "int"},         {&st->s_float, "float"},      {&st->s_uuid, "uuid"},
        {&st->s_path, "path"},
    };
    for (const Interned &s : strings) {
        if ((*s.slot = vel::intern(s.text)) == nullptr) {
            return -1;
        }
    }
    st->b_star = vel::bytes_const("*");
    st->b_slash = vel::bytes_const("/");
    st->b_empty = vel::bytes_const("");
    if (st->b_star == nullptr || st->b_slash == nullptr || st->b_empty == nullptr) {
        return -1;
    }
    for (int i = 0; i < kCachedKeys; ++i) {
        st->p_keys[i] = PyUnicode_FromFormat("_p_%d", i);
        if (st->p_keys[i] == nullptr) {
            return -1;
        }
        PyUnicode_InternInPlace(&st->p_keys[i]);
    }
    if (add_patterns(module, st) < 0 || (st->node_type = vel::add_type(module, &node_spec)) == nullptr ||
        (st->tree_type = vel::add_type(module, &tree_spec)) == nullptr ||
        (st->match_type = vel::add_type(module, &route_match_spec)) == nullptr ||
        (st->router_type = vel::add_type(module, &router_spec)) == nullptr) {
        return -1;
    }
    if (st->tree_insert.init(st->tree_type, "insert") < 0 || st->tree_match.init(st->tree_type, "match") < 0 ||
        st->router_add_route.init(st->router_type, "add_route") < 0 ||
        st->router_get_match.init(st->router_type, "get_match") < 0 ||
        st->router_get_static_match.init(st->router_type, "get_static_match") < 0 ||
        st->router_freeze.init(st->router_type, "freeze") < 0) {
        return -1;
    }
    st->capi = RoutingCapi{{ROUTING_CAPI_VERSION, sizeof(RoutingCapi)}, st->node_type, st->tree_type,
                           st->match_type, st->router_type, &tree_methods, &router_methods};
    return vel::publish_capi(module, "velmora.routing._C_API", &st->capi.header);
}

PyModuleDef_Slot module_slots[] = {VEL_MODULE_SLOTS(module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora.routing",
    PyDoc_STR("Radix-tree route tables with static fast paths, and the router over them."),
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace velmora::routing

PyMODINIT_FUNC PyInit_routing() { return PyModuleDef_Init(&velmora::routing::module_def); }
