// `velmora._routing_consumer`: a module built against routing_api.h the way
// a sibling module would be.  It binds the routing interface with bind()
// while it is imported and exposes every direct-call slot, and the
// published object layouts, to the test suite.
#include <Python.h>

#include "consumer.hpp"
#include "routing/routing_api.h"
#include "vel/args.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace {

namespace rt = vel::routing;

const rt::CAPI *g_api = nullptr;

}  // namespace

template <>
PyTypeObject *consumer::type_of<vel::routing::RadixNodeObject>()
{
    return g_api->node_type;
}
template <>
PyTypeObject *consumer::type_of<vel::routing::RadixTreeObject>()
{
    return g_api->tree_type;
}
template <>
PyTypeObject *consumer::type_of<vel::routing::RouteMatchObject>()
{
    return g_api->match_type;
}
template <>
PyTypeObject *consumer::type_of<vel::routing::RadixRouterObject>()
{
    return g_api->router_type;
}

namespace {

const rt::RadixTreeMethods *tree_methods() { return g_api->tree_methods; }
const rt::RadixRouterMethods *router_methods() { return g_api->router_methods; }

template <class T>
T *arg_as(PyObject *obj, const char *name)
{
    return vel::check_arg(obj, consumer::type_of<T>(), name, false) ? reinterpret_cast<T *>(obj) : nullptr;
}

// Arguments the slots document as optional are passed as NULL.
PyObject *tree_insert_without_names(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    auto *t = vel::check_nargs("tree_insert_without_names", nargs, 3, 3) ? arg_as<rt::RadixTreeObject>(args[0], "tree")
                                                                           : nullptr;
    return t ? consumer::result(g_api->tree_methods->insert(t, args[1], args[2], nullptr)) : nullptr;
}

// match_recursive_*(tree, node, segments, index[, values])
template <bool Bytes>
PyObject *tree_match_recursive(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    auto *t = vel::check_nargs("tree_match_recursive", nargs, 4, 5) ? arg_as<rt::RadixTreeObject>(args[0], "tree")
                                                                      : nullptr;
    auto *node = t ? arg_as<rt::RadixNodeObject>(args[1], "node") : nullptr;
    Py_ssize_t index = node ? PyLong_AsSsize_t(args[3]) : -1;
    if (node == nullptr || (index == -1 && PyErr_Occurred())) {
        return nullptr;
    }
    auto slot = Bytes ? g_api->tree_methods->match_recursive_bytes : g_api->tree_methods->match_recursive_str;
    return slot(t, node, args[2], index, nargs > 4 ? args[4] : nullptr);
}

// The published layouts, read as a sibling module reads them.
PyObject *bound_types(PyObject *, PyObject *)
{
    return PyTuple_Pack(4, g_api->node_type, g_api->tree_type, g_api->match_type, g_api->router_type);
}

PyObject *node_layout(PyObject *, PyObject *obj)
{
    auto *n = arg_as<rt::RadixNodeObject>(obj, "node");
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
    auto *t = arg_as<rt::RadixTreeObject>(obj, "tree");
    return t ? Py_BuildValue("(OOON)", t->root, t->static_routes_str, t->static_routes_bytes,
                             PyBool_FromLong(t->vtab == g_api->tree_methods))
             : nullptr;
}

PyObject *match_layout(PyObject *, PyObject *obj)
{
    auto *m = arg_as<rt::RouteMatchObject>(obj, "match");
    return m ? Py_BuildValue("(OOO)", m->pattern, m->values, m->route) : nullptr;
}

PyObject *router_layout(PyObject *, PyObject *obj)
{
    auto *r = arg_as<rt::RadixRouterObject>(obj, "router");
    return r ? Py_BuildValue("(OON)", r->trees, r->static_matches,
                             PyBool_FromLong(r->vtab == g_api->router_methods))
             : nullptr;
}

#define TREE(name) \
    {"tree_" #name, VEL_METH((consumer::call<tree_methods, &rt::RadixTreeMethods::name>)), METH_FASTCALL, nullptr}
#define ROUTER(name) \
    {"router_" #name, VEL_METH((consumer::call<router_methods, &rt::RadixRouterMethods::name>)), METH_FASTCALL, nullptr}

PyMethodDef module_methods[] = {
    TREE(insert), TREE(parse_param_segment), TREE(match), TREE(match_str), TREE(match_bytes),
    ROUTER(add_route), ROUTER(get_match), ROUTER(get_static_match), ROUTER(freeze),
    {"tree_insert_without_names", VEL_METH(tree_insert_without_names), METH_FASTCALL, nullptr},
    {"tree_match_recursive_str", VEL_METH(tree_match_recursive<false>), METH_FASTCALL, nullptr},
    {"tree_match_recursive_bytes", VEL_METH(tree_match_recursive<true>), METH_FASTCALL, nullptr},
    {"bound_types", bound_types, METH_NOARGS, nullptr},
    {"node_layout", node_layout, METH_O, nullptr},
    {"tree_layout", tree_layout, METH_O, nullptr},
    {"match_layout", match_layout, METH_O, nullptr},
    {"router_layout", router_layout, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit__routing_consumer()
{
    return consumer::init<vel::routing::CAPI, vel::routing::bind, &g_api>(
        "velmora._routing_consumer", "Calls the routing interface as a sibling would.", module_methods);
}
