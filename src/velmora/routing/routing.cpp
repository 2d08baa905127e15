// `velmora.routing`: radix trees of route patterns (one per request method)
// with whole-path static tables, and the router facade over them.
//
// Every table exists keyed by str and by UTF-8 bytes so that a bytes path
// from the server is routed without being decoded; only captured values are
// decoded.
#include <Python.h>

#include "routing/routing_internal.h"
#include "vel/capi.hpp"
#include "vel/module.hpp"

namespace vel::routing {

State *g_state = nullptr;

namespace {

using vel::Ref;

// The validator patterns as compiled `re` patterns (the module's _*_RX_*
// globals); lookups recognise them and match natively.
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
    for (int k = 0; k < RX_COUNT; ++k) {
        Ref text = vel::steal(k < 3 ? PyBytes_FromString(texts[k]) : PyUnicode_FromString(texts[k - 3]));
        st->rx[k] = text ? PyObject_CallMethod(re.get(), "compile", "O", text.get()) : nullptr;
        if (st->rx[k] == nullptr || PyModule_AddObjectRef(module, names[k], st->rx[k]) < 0) {
            return -1;
        }
    }
    return 0;
}

int add_strings(State *st)
{
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
    if ((st->b_star = vel::bytes_const("*")) == nullptr || (st->b_empty = vel::bytes_const("")) == nullptr) {
        return -1;
    }
    for (int i = 0; i < kCachedKeys; ++i) {
        st->p_keys[i] = PyUnicode_FromFormat("_p_%d", i);
        if (st->p_keys[i] == nullptr) {
            return -1;
        }
        PyUnicode_InternInPlace(&st->p_keys[i]);
    }
    return 0;
}

int add_types(PyObject *module, State *st)
{
    struct Overridable {
        int slot;
        PyTypeObject *type;
        const char *name;
    };
    if ((st->node_type = vel::add_type(module, &node_spec)) == nullptr ||
        (st->tree_type = vel::add_type(module, &tree_spec)) == nullptr ||
        (st->match_type = vel::add_type(module, &route_match_spec)) == nullptr ||
        (st->router_type = vel::add_type(module, &router_spec)) == nullptr) {
        return -1;
    }
    const Overridable methods[] = {
        {S_INSERT, st->tree_type, "insert"},
        {S_MATCH, st->tree_type, "match"},
        {S_ADD_ROUTE, st->router_type, "add_route"},
        {S_GET_MATCH, st->router_type, "get_match"},
        {S_GET_STATIC_MATCH, st->router_type, "get_static_match"},
        {S_FREEZE, st->router_type, "freeze"},
    };
    for (const Overridable &m : methods) {
        if (st->slots[m.slot].init(m.type, m.name) < 0) {
            return -1;
        }
    }
    return 0;
}

int module_exec(PyObject *module)
{
    State *st = vel::init_state<State>(module, &g_state);
    if (st == nullptr || add_strings(st) < 0 || add_patterns(module, st) < 0 || add_types(module, st) < 0) {
        return -1;
    }
    st->capi = CAPI{vel::capi_header<CAPI>(CAPI_VERSION), st->node_type, st->tree_type, st->match_type,
                    st->router_type, &tree_methods, &router_methods};
    return vel::publish_capi(module, CAPI_NAME, &st->capi.header);
}

PyModuleDef_Slot module_slots[] = {VEL_MODULE_SLOTS(module_exec)};

PyModuleDef module_def = vel::module_def<State, &g_state>(
    "velmora.routing", "Radix-tree route tables with static fast paths, and the router over them.", nullptr,
    module_slots);

}  // namespace
}  // namespace vel::routing

PyMODINIT_FUNC PyInit_routing() { return PyModuleDef_Init(&vel::routing::module_def); }
