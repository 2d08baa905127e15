// RouteMatch, the route found for a path with its captured values, and
// RadixRouter, one radix tree per request method with a static fast path.
#include <Python.h>

#include "routing/routing_internal.h"
#include "vel/compat.hpp"
#include "vel/text.hpp"

namespace vel::routing {

using vel::Ref;

// ---------------------------------------------------------------------------
// RouteMatch

namespace {

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
            value = vel::steal(vel::unquote_str(v));
        } else if (PyBytes_Check(v)) {
            value = vel::steal(vel::unquote_utf8(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), "strict"));
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

using MatchFields = vel::Fields<&RouteMatchObject::pattern, &RouteMatchObject::values, &RouteMatchObject::route>;

PyObject *route_match_repr(PyObject *self)
{
    // str() of the pattern may replace it.
    PyObject *pattern = as_match(self)->pattern;
    Ref hold = Ref::borrow(pattern != nullptr ? pattern : Py_None);
    return PyUnicode_FromFormat("<RouteMatch %S>", hold.get());
}

PyObject *route_match_handler(PyObject *self, void *)
{
    // The lookup may drop the match's reference to the route.
    PyObject *route = as_match(self)->route;
    Ref hold = Ref::borrow(route != nullptr ? route : Py_None);
    return PyObject_GetAttr(hold.get(), g_state->s_handler);
}

PyGetSetDef route_match_getset[] = {
    VEL_ROUTING_FIELD(RouteMatchObject, pattern, Any),
    VEL_ROUTING_FIELD(RouteMatchObject, route, Any),
    {"_values", vel::get_field<&RouteMatchObject::values>,
     set_field<RouteMatchObject, &RouteMatchObject::values, Kind::Dict>, nullptr, nullptr},
    {"values", vel::get_field<&RouteMatchObject::values>, nullptr,
     PyDoc_STR("The captured values (a dict), or None."), nullptr},
    {"handler", route_match_handler, nullptr, PyDoc_STR("The route's handler."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot route_match_slots[] = {
    {Py_tp_doc, const_cast<char *>("A route with the values captured from the path.")},
    {Py_tp_new, reinterpret_cast<void *>(route_match_new)},
    {Py_tp_init, reinterpret_cast<void *>(route_match_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(MatchFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(MatchFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(MatchFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(route_match_repr)},
    {Py_tp_getset, route_match_getset},
    {Py_tp_members, vel::weakref_members<RouteMatchObject>},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// RadixRouter

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
    router_instance(r)->frozen = 0;
    if (r->trees == nullptr || r->static_matches == nullptr) {
        Py_CLEAR(self);
    }
    return self;
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

int add_route_impl(RadixRouterObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                   PyObject *param_names)
{
    if (router_instance(self)->frozen) {
        PyErr_SetString(PyExc_RuntimeError, "this RadixRouter is frozen: add_route() is not allowed after freeze()");
        return -1;
    }
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

// static_matches[(method, path)] as a new reference in `hit`, NULL when
// absent; -1 on error.
int static_hit(RadixRouterObject *self, PyObject *method, PyObject *path, PyObject **hit)
{
    // Hashing the key may run Python code that replaces the table.
    Ref table = Ref::borrow(self->static_matches);
    Ref key = vel::steal(PyTuple_Pack(2, method, path));
    *hit = nullptr;
    return key ? vel::compat::dict_get_ref(table.get(), key.get(), hit) : -1;
}

PyObject *get_match_impl(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    PyObject *hit;
    if (static_hit(self, method, path, &hit) < 0) {
        return nullptr;
    }
    if (hit != nullptr) {
        Ref match = vel::steal(hit);
        if (PyObject_TypeCheck(hit, g_state->match_type)) {
            return route_pair(as_match(hit)->route, Py_None);
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

PyObject *get_static_match_impl(RadixRouterObject *self, PyObject *method, PyObject *path)
{
    PyObject *hit;
    if (static_hit(self, method, path, &hit) < 0) {
        return nullptr;
    }
    return hit != nullptr ? hit : Py_NewRef(Py_None);
}

int freeze_impl(RadixRouterObject *self)
{
    router_instance(self)->frozen = 1;
    return 0;
}

int add_route_entry(RadixRouterObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                    PyObject *param_names)
{
    PyObject *names = param_names != nullptr ? param_names : Py_None;
    return vel::overridable<slot<S_ADD_ROUTE>, add_route_impl>(self, method, pattern, route, names);
}

constexpr const char *kAddRouteNames[] = {"method", "pattern", "route", "param_names"};
constexpr vel::Signature kAddRoute{"add_route", kAddRouteNames, 4, 3};
constexpr const char *kLookupNames[] = {"method", "path"};
constexpr vel::Signature kGetMatch{"get_match", kLookupNames, 2, 2};
constexpr vel::Signature kGetStaticMatch{"get_static_match", kLookupNames, 2, 2};

PyMethodDef router_py_methods[] = {
    {"add_route", VEL_METH((vel::fastcall_method<add_route_impl, kAddRoute>)), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("add_route(method, pattern, route, param_names=None)\n--\n\n"
               "Registers a route for a method; RuntimeError once the router is frozen.")},
    {"get_match", VEL_METH((vel::fastcall_method<get_match_impl, kGetMatch>)), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_match(method, path)\n--\n\nReturns (route, values) for the request, or None.")},
    {"get_static_match", VEL_METH((vel::fastcall_method<get_static_match_impl, kGetStaticMatch>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_static_match(method, path)\n--\n\nReturns the prebuilt RouteMatch of a static route, or None.")},
    {"freeze", vel::noargs_method<freeze_impl>, METH_NOARGS,
     PyDoc_STR("Freezes the radix router tables for concurrent read-only dispatch.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef router_getset[] = {
    VEL_ROUTING_FIELD(RadixRouterObject, trees, DictNotNone),
    VEL_ROUTING_FIELD(RadixRouterObject, static_matches, DictNotNone),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using RouterFields = vel::Fields<&RadixRouterObject::trees, &RadixRouterObject::static_matches>;

PyType_Slot router_slots[] = {
    {Py_tp_doc, const_cast<char *>("One radix tree per request method, with a static fast path.")},
    {Py_tp_new, reinterpret_cast<void *>(router_new)},
    {Py_tp_init, reinterpret_cast<void *>(no_args_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(RouterFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(RouterFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(RouterFields::clear)},
    {Py_tp_methods, router_py_methods},
    {Py_tp_getset, router_getset},
    {Py_tp_members, vel::weakref_members<RadixRouterObject>},
    {0, nullptr},
};

}  // namespace

PyType_Spec route_match_spec = {
    "velmora.routing.RouteMatch", sizeof(RouteMatchObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, route_match_slots};

const RadixRouterMethods router_methods = {
    add_route_entry,
    vel::overridable<slot<S_GET_MATCH>, get_match_impl>,
    vel::overridable<slot<S_GET_STATIC_MATCH>, get_static_match_impl>,
    vel::overridable<slot<S_FREEZE>, freeze_impl>,
};

PyType_Spec router_spec = {
    "velmora.routing.RadixRouter", sizeof(RouterInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, router_slots};

}  // namespace vel::routing
