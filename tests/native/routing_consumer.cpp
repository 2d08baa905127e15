// `velmora._routing_consumer`: a module built against routing_api.h the way
// a sibling module would be.  It binds the routing interface with bind()
// while it is imported and exposes every direct-call slot, and the
// published object layouts, to the test suite.
#include <Python.h>

#include "routing/routing_api.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

namespace rt = vel::routing;

const rt::CAPI *g_api = nullptr;

template <class T>
T *arg_as(PyObject *obj, PyTypeObject *type, const char *name)
{
    return vel::check_arg(obj, type, name, false) ? reinterpret_cast<T *>(obj) : nullptr;
}

rt::RadixTreeObject *tree_arg(PyObject *obj) { return arg_as<rt::RadixTreeObject>(obj, g_api->tree_type, "tree"); }
rt::RadixRouterObject *router_arg(PyObject *obj)
{
    return arg_as<rt::RadixRouterObject>(obj, g_api->router_type, "router");
}

PyObject *none_or_null(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }

// An optional last argument is passed as NULL when it is not given.
PyObject *optional(PyObject *const *args, Py_ssize_t nargs, Py_ssize_t index)
{
    return nargs > index ? args[index] : nullptr;
}

PyObject *tree_insert(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    rt::RadixTreeObject *t = vel::check_nargs("tree_insert", nargs, 3, 4) ? tree_arg(args[0]) : nullptr;
    return t ? none_or_null(g_api->tree_methods->insert(t, args[1], args[2], optional(args, nargs, 3))) : nullptr;
}

// tree_<slot>(tree, argument) for the four one-argument tree slots.
template <auto Slot>
PyObject *tree_call(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    rt::RadixTreeObject *t = vel::check_nargs("tree slot", nargs, 2, 2) ? tree_arg(args[0]) : nullptr;
    return t ? (g_api->tree_methods->*Slot)(t, args[1]) : nullptr;
}

// tree_match_recursive_*(tree, node, segments, index[, values])
template <bool Bytes>
PyObject *tree_match_recursive(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    rt::RadixTreeObject *t = vel::check_nargs("tree_match_recursive", nargs, 4, 5) ? tree_arg(args[0]) : nullptr;
    auto *node = t ? arg_as<rt::RadixNodeObject>(args[1], g_api->node_type, "node") : nullptr;
    Py_ssize_t index = node ? PyLong_AsSsize_t(args[3]) : -1;
    if (node == nullptr || (index == -1 && PyErr_Occurred())) {
        return nullptr;
    }
    auto slot = Bytes ? g_api->tree_methods->match_recursive_bytes : g_api->tree_methods->match_recursive_str;
    return slot(t, node, args[2], index, optional(args, nargs, 4));
}

PyObject *router_add_route(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    rt::RadixRouterObject *r = vel::check_nargs("router_add_route", nargs, 4, 5) ? router_arg(args[0]) : nullptr;
    return r ? none_or_null(g_api->router_methods->add_route(r, args[1], args[2], args[3], optional(args, nargs, 4)))
             : nullptr;
}

// router_<slot>(router, method, path) for get_match and get_static_match.
template <auto Slot>
PyObject *router_lookup(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    rt::RadixRouterObject *r = vel::check_nargs("router lookup", nargs, 3, 3) ? router_arg(args[0]) : nullptr;
    return r ? (g_api->router_methods->*Slot)(r, args[1], args[2]) : nullptr;
}

PyObject *router_freeze(PyObject *, PyObject *router)
{
    rt::RadixRouterObject *r = router_arg(router);
    return r ? none_or_null(g_api->router_methods->freeze(r)) : nullptr;
}

// The published layouts, read as a sibling module reads them.
PyObject *bound_types(PyObject *, PyObject *)
{
    return PyTuple_Pack(4, g_api->node_type, g_api->tree_type, g_api->match_type, g_api->router_type);
}

PyObject *node_layout(PyObject *, PyObject *obj)
{
    auto *n = arg_as<rt::RadixNodeObject>(obj, g_api->node_type, "node");
    if (n == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(OOOOOOOOOOOOOOi)", n->segment_str, n->segment_bytes, n->route, n->children_str,
                         n->children_bytes, n->param_child, n->param_name, n->param_names, n->param_validator_str,
                         n->param_validator_bytes, n->wildcard_child, n->wildcard_name, n->wildcard_suffix_str,
                         n->wildcard_suffix_bytes, n->is_leaf);
}

PyObject *tree_layout(PyObject *, PyObject *obj)
{
    rt::RadixTreeObject *t = tree_arg(obj);
    return t ? Py_BuildValue("(OOON)", t->root, t->static_routes_str, t->static_routes_bytes,
                             PyBool_FromLong(t->vtab == g_api->tree_methods))
             : nullptr;
}

PyObject *match_layout(PyObject *, PyObject *obj)
{
    auto *m = arg_as<rt::RouteMatchObject>(obj, g_api->match_type, "match");
    return m ? Py_BuildValue("(OOO)", m->pattern, m->values, m->route) : nullptr;
}

PyObject *router_layout(PyObject *, PyObject *obj)
{
    rt::RadixRouterObject *r = router_arg(obj);
    return r ? Py_BuildValue("(OOiN)", r->trees, r->static_matches, r->frozen,
                             PyBool_FromLong(r->vtab == g_api->router_methods))
             : nullptr;
}

PyMethodDef methods[] = {
    {"tree_insert", VEL_METH(tree_insert), METH_FASTCALL, "insert(tree, pattern, route[, param_names])"},
    {"tree_parse_param_segment", VEL_METH(tree_call<&rt::RadixTreeMethods::parse_param_segment>), METH_FASTCALL,
     nullptr},
    {"tree_match", VEL_METH(tree_call<&rt::RadixTreeMethods::match>), METH_FASTCALL, nullptr},
    {"tree_match_str", VEL_METH(tree_call<&rt::RadixTreeMethods::match_str>), METH_FASTCALL, nullptr},
    {"tree_match_bytes", VEL_METH(tree_call<&rt::RadixTreeMethods::match_bytes>), METH_FASTCALL, nullptr},
    {"tree_match_recursive_str", VEL_METH(tree_match_recursive<false>), METH_FASTCALL, nullptr},
    {"tree_match_recursive_bytes", VEL_METH(tree_match_recursive<true>), METH_FASTCALL, nullptr},
    {"router_add_route", VEL_METH(router_add_route), METH_FASTCALL,
     "add_route(router, method, pattern, route[, param_names])"},
    {"router_get_match", VEL_METH(router_lookup<&rt::RadixRouterMethods::get_match>), METH_FASTCALL, nullptr},
    {"router_get_static_match", VEL_METH(router_lookup<&rt::RadixRouterMethods::get_static_match>), METH_FASTCALL,
     nullptr},
    {"router_freeze", router_freeze, METH_O, nullptr},
    {"bound_types", bound_types, METH_NOARGS, nullptr},
    {"node_layout", node_layout, METH_O, nullptr},
    {"tree_layout", tree_layout, METH_O, nullptr},
    {"match_layout", match_layout, METH_O, nullptr},
    {"router_layout", router_layout, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject *)
{
    g_api = rt::bind();
    return g_api != nullptr ? 0 : -1;
}

PyModuleDef_Slot slots[] = {VEL_MODULE_SLOTS(exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora._routing_consumer", "Calls the routing interface as a sibling would.", 0,
    methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__routing_consumer() { return PyModuleDef_Init(&module_def); }
