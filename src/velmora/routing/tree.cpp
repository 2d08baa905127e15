// RadixTree: the route patterns of one request method, and registration.
#include <Python.h>

#include <utility>

#include "routing/routing_internal.h"
#include "vel/compat.hpp"
#include "vel/text.hpp"

namespace vel::routing {

using vel::Ref;

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

bool check_param_names(PyObject *names)
{
    return names == nullptr || vel::check_arg_exact(names, &PyList_Type, "param_names");
}

namespace {

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

int insert_impl(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names)
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
        if (vel::compat::get_optional_attr(route, g_state->s_param_names, attr.out()) < 0) {
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

int insert_entry(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names)
{
    PyObject *names = param_names != nullptr ? param_names : Py_None;
    return vel::overridable<slot<S_INSERT>, insert_impl>(self, pattern, route, names);
}

// insert() from Python: `param_names` must be a list, None or absent.
int insert_method(RadixTreeObject *self, PyObject *pattern, PyObject *route, PyObject *param_names)
{
    return check_param_names(param_names) ? insert_impl(self, pattern, route, param_names != nullptr ? param_names : Py_None)
                                          : -1;
}

constexpr const char *kInsertNames[] = {"pattern", "route", "param_names"};
constexpr vel::Signature kInsert{"insert", kInsertNames, 3, 2};
constexpr const char *kMatchNames[] = {"path"};
constexpr vel::Signature kMatch{"match", kMatchNames, 1, 1};

PyMethodDef tree_py_methods[] = {
    {"insert", VEL_METH((vel::fastcall_method<insert_method, kInsert>)), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("insert(pattern, route, param_names=None)\n--\n\nAdds a route pattern to the tree.")},
    {"match", VEL_METH((vel::fastcall_method<match_impl, kMatch>)), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("match(path)\n--\n\nReturns (route, values) for the path, or None.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_getset[] = {
    VEL_ROUTING_FIELD(RadixTreeObject, root, NodeNotNone),
    VEL_ROUTING_FIELD(RadixTreeObject, static_routes_str, DictNotNone),
    VEL_ROUTING_FIELD(RadixTreeObject, static_routes_bytes, DictNotNone),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using TreeFields =
    vel::Fields<&RadixTreeObject::root, &RadixTreeObject::static_routes_str, &RadixTreeObject::static_routes_bytes>;

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char *>("The route patterns of one request method.")},
    {Py_tp_new, reinterpret_cast<void *>(tree_new)},
    {Py_tp_init, reinterpret_cast<void *>(no_args_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(TreeFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(TreeFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(TreeFields::clear)},
    {Py_tp_methods, tree_py_methods},
    {Py_tp_getset, tree_getset},
    {Py_tp_members, vel::weakref_members<RadixTreeObject>},
    {0, nullptr},
};

}  // namespace

const RadixTreeMethods tree_methods = {
    insert_entry,
    parse_param_segment,
    vel::overridable<slot<S_MATCH>, match_impl>,
    match_str,
    match_bytes,
    match_recursive_str,
    match_recursive_bytes,
};

PyType_Spec tree_spec = {
    "velmora.routing.RadixTree", sizeof(RadixTreeObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, tree_slots};

}  // namespace vel::routing
