// RadixNode, one node of a route segment tree, and the typed attributes
// that every type of the module uses.
#include <Python.h>

#include "routing/routing_internal.h"

namespace vel::routing {

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

int no_args_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    const vel::Signature sig{Py_TYPE(self)->tp_name, nullptr, 0, 0};
    PyObject *none[1];
    return vel::parse_tuple_dict(sig, args, kwargs, none) ? 0 : -1;
}

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

PyObject *new_node(PyObject *seg, PyObject *seg_bytes)
{
    PyObject *self = node_alloc(g_state->node_type);
    if (self != nullptr) {
        Py_SETREF(as_node(self)->segment_str, Py_NewRef(seg));
        Py_SETREF(as_node(self)->segment_bytes, Py_NewRef(seg_bytes));
    }
    return self;
}

namespace {

PyObject *node_new(PyTypeObject *type, PyObject *, PyObject *) { return node_alloc(type); }

int node_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const names[] = {"segment_str", "segment_bytes"};
    static const vel::Signature sig{"RadixNode", names, 2, 0};
    PyObject *a[2];
    if (!vel::parse_tuple_dict(sig, args, kwargs, a) ||
        (a[0] != nullptr && !vel::check_arg(a[0], &PyUnicode_Type, "segment_str", false)) ||
        (a[1] != nullptr && !vel::check_arg(a[1], &PyBytes_Type, "segment_bytes", false))) {
        return -1;
    }
    RadixNodeObject *n = as_node(self);
    Py_SETREF(n->segment_str, Py_NewRef(a[0] != nullptr ? a[0] : g_state->s_empty));
    Py_SETREF(n->segment_bytes, Py_NewRef(a[1] != nullptr ? a[1] : g_state->b_empty));
    return 0;
}

using NodeFields =
    vel::Fields<&RadixNodeObject::segment_str, &RadixNodeObject::segment_bytes, &RadixNodeObject::route,
                &RadixNodeObject::children_str, &RadixNodeObject::children_bytes, &RadixNodeObject::param_child,
                &RadixNodeObject::param_name, &RadixNodeObject::param_names, &RadixNodeObject::param_validator_str,
                &RadixNodeObject::param_validator_bytes, &RadixNodeObject::wildcard_child,
                &RadixNodeObject::wildcard_name, &RadixNodeObject::wildcard_suffix_str,
                &RadixNodeObject::wildcard_suffix_bytes>;

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

#define NODE_FIELD(name, kind) VEL_ROUTING_FIELD(RadixNodeObject, name, kind)

PyGetSetDef node_getset[] = {
    NODE_FIELD(segment_str, Str),
    NODE_FIELD(segment_bytes, Bytes),
    NODE_FIELD(route, Any),
    NODE_FIELD(children_str, Dict),
    NODE_FIELD(children_bytes, Dict),
    NODE_FIELD(param_child, Node),
    NODE_FIELD(param_name, Str),
    NODE_FIELD(param_names, List),
    NODE_FIELD(param_validator_str, Any),
    NODE_FIELD(param_validator_bytes, Any),
    NODE_FIELD(wildcard_child, Node),
    NODE_FIELD(wildcard_name, Str),
    NODE_FIELD(wildcard_suffix_str, Str),
    NODE_FIELD(wildcard_suffix_bytes, Bytes),
    {"is_leaf", node_get_is_leaf, node_set_is_leaf, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NODE_FIELD

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char *>("One node of a route segment tree.")},
    {Py_tp_new, reinterpret_cast<void *>(node_new)},
    {Py_tp_init, reinterpret_cast<void *>(node_init)},
    // A pattern of many segments is a long chain of nodes; the trashcan
    // frees it without deep recursion.
    {Py_tp_dealloc, reinterpret_cast<void *>(NodeFields::gc_dealloc<true>)},
    {Py_tp_traverse, reinterpret_cast<void *>(NodeFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(NodeFields::clear)},
    {Py_tp_getset, node_getset},
    {Py_tp_members, vel::weakref_members<RadixNodeObject>},
    {0, nullptr},
};

}  // namespace

PyType_Spec node_spec = {
    "velmora.routing.RadixNode", sizeof(RadixNodeObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, node_slots};

}  // namespace vel::routing
