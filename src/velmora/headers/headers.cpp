// velmora.headers: `Header`, one name/value pair, and `Headers`, the ordered,
// multi-valued collection over a plain list of (name, value) tuples that
// looks names up without regard to ASCII case.  This file holds the two
// types and the module; the operations are in headers_ops.cpp, the name
// helpers and the key's slow paths in header_names.cpp.
#include "headers/headers_internal.h"

#include "vel/args.hpp"
#include "vel/capi.hpp"
#include "vel/module.hpp"
#include "vel/object.hpp"

namespace vel::headers {

State *g_state = nullptr;

namespace {

// ---------------------------------------------------------------------------
// Headers: the methods built on add()

// self.add(*args) through attribute lookup, so that a subclass's add applies.
int call_add(PyObject *instance, PyObject *args_tuple)
{
    Ref add = steal(PyObject_GetAttr(instance, g_state->str_add));
    Ref result = add ? steal(PyObject_Call(add.get(), args_tuple, nullptr)) : Ref();
    return result ? 0 : -1;
}

int call_add2(PyObject *instance, PyObject *name, PyObject *value)
{
    PyObject *stack[] = {instance, name, value};
    Ref result = steal(PyObject_VectorcallMethod(g_state->str_add, stack, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 nullptr));
    return result ? 0 : -1;
}

// instance.add(*item)
int call_add_star(PyObject *instance, PyObject *item)
{
    Ref args = steal(PySequence_Tuple(item));
    return args ? call_add(instance, args.get()) : -1;
}

// instance.add(*item) for each item of `source`, taken as a snapshot first
// so that adding a collection (or its list) to itself ends.
int add_each_star(PyObject *instance, PyObject *source)
{
    Ref items = steal(PySequence_List(source));
    if (!items) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        if (call_add_star(instance, PyList_GET_ITEM(items.get(), i)) < 0) {
            return -1;
        }
    }
    return 0;
}

// For each pair of mapping.items(): instance.add(key, value).
int add_items(PyObject *instance, PyObject *mapping)
{
    Ref items = steal(PyObject_CallMethodNoArgs(mapping, g_state->str_items));
    Ref iter = items ? steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) {
        return -1;
    }
    PyObject *item;
    while ((item = PyIter_Next(iter.get())) != nullptr) {
        Ref pair = steal(item);
        Ref key, value;
        if (!unpack_pair(item, &key, &value) || call_add2(instance, key.get(), value.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

int update_impl(PyObject *self, PyObject *values)
{
    if (!vel::check_arg_exact(values, &PyDict_Type, "values")) {
        return -1;
    }
    if (values == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'items'");
        return -1;
    }
    // A snapshot of the pairs: item assignment may run Python code.
    Ref items = steal(PyDict_Items(values));
    if (!items) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i);
        if (PyObject_SetItem(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            return -1;
        }
    }
    return 0;
}

int add_many_impl(PyObject *self, PyObject *values)
{
    int is_seq = PyObject_IsInstance(values, g_state->MutableSequence);
    if (is_seq != 0) {
        return is_seq < 0 ? -1 : add_each_star(self, values);
    }
    int is_map = PyObject_IsInstance(values, g_state->Mapping);
    if (is_map == 0) {
        PyErr_SetString(PyExc_ValueError, "values must be dict[bytes, bytes] or list[Header]");
    }
    return is_map <= 0 ? -1 : add_items(self, values);
}

// The engine of the + operators; a new reference to `instance`, to
// NotImplemented, or NULL.
PyObject *add_to_instance(PyObject *instance, PyObject *other)
{
    State *st = g_state;
    if (PyObject_TypeCheck(other, st->Headers_Type)) {
        return add_each_star(instance, other) < 0 ? nullptr : Py_NewRef(instance);
    }
    if (PyObject_TypeCheck(other, st->Header_Type)) {
        HeaderObject *h = as_header(other);
        Ref name = borrow(h->name != nullptr ? h->name : Py_None);
        Ref value = borrow(h->value != nullptr ? h->value : Py_None);
        return call_add2(instance, name.get(), value.get()) < 0 ? nullptr : Py_NewRef(instance);
    }
    if (PyTuple_Check(other)) {
        if (PyTuple_GET_SIZE(other) != 2) {
            Ref text = steal(PyObject_Str(other));
            if (text) {
                PyErr_Format(PyExc_ValueError, "Cannot add, an invalid tuple %U.", text.get());
            }
            return nullptr;
        }
        return call_add2(instance, PyTuple_GET_ITEM(other, 0), PyTuple_GET_ITEM(other, 1)) < 0
                   ? nullptr
                   : Py_NewRef(instance);
    }
    int is_seq = PyObject_IsInstance(other, st->MutableSequence);
    if (is_seq <= 0) {
        return is_seq < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    }
    Ref items = steal(PySequence_List(other));  // a snapshot, as above
    if (!items) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            Ref text = steal(PyObject_Str(item));
            Ref cls = steal(PyType_GetName(Py_TYPE(instance)));
            if (text && cls) {
                PyErr_Format(PyExc_ValueError, "The sequence contains invalid elements: cannot add %U to %U",
                             text.get(), cls.get());
            }
            return nullptr;
        }
        if (call_add2(instance, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
            return nullptr;
        }
    }
    return Py_NewRef(instance);
}

PyObject *headers_iter(PyObject *self) { return PyObject_GetIter(values_of(as_headers(self))); }

// ---------------------------------------------------------------------------
// Headers: methods and type slots

constexpr const char *kNameArg[] = {"name"};
constexpr const char *kKeyArg[] = {"key"};
constexpr const char *kValuesArg[] = {"values"};
constexpr const char *kNameValueArgs[] = {"name", "value"};
constexpr const char *kAddToInstanceArgs[] = {"instance", "other"};

constexpr vel::Signature kGet{"get", kNameArg, 1, 1};
constexpr vel::Signature kGetTuples{"get_tuples", kNameArg, 1, 1};
constexpr vel::Signature kAdd{"add", kNameValueArgs, 2, 2};
constexpr vel::Signature kSet{"set", kNameValueArgs, 2, 2};
constexpr vel::Signature kGetSingle{"get_single", kKeyArg, 1, 1};
constexpr vel::Signature kGetFirst{"get_first", kKeyArg, 1, 1};
constexpr vel::Signature kRemove{"remove", kKeyArg, 1, 1};
constexpr vel::Signature kMerge{"merge", kValuesArg, 1, 1};
constexpr vel::Signature kContains{"contains", kKeyArg, 1, 1};
constexpr vel::Signature kUpdate{"update", kValuesArg, 1, 1};
constexpr vel::Signature kAddMany{"add_many", kValuesArg, 1, 1};
constexpr vel::Signature kAddToInstance{"_add_to_instance", kAddToInstanceArgs, 2, 2};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef headers_methods[] = {
    {"keys", vel::noargs_method<keys_impl>, METH_NOARGS, "Distinct names in order of first appearance."},
    {"clone", vel::noargs_method<clone_impl>, METH_NOARGS, "A new Headers with copies of the (bytes) entries."},
    {"get", VEL_METH((vel::fastcall_method<get_impl, kGet>)), kFastcall, "All values of a name, in the key's kind."},
    {"get_tuples", VEL_METH((vel::fastcall_method<get_tuples_impl, kGetTuples>)), kFastcall, "The entries of a name."},
    {"add", VEL_METH((vel::fastcall_method<add_impl, kAdd>)), kFastcall, "Appends one entry."},
    {"set", VEL_METH((vel::fastcall_method<set_impl, kSet>)), kFastcall,
     "Replaces every entry of a name by one entry at the end."},
    {"get_single", VEL_METH((vel::fastcall_method<get_single_impl, kGetSingle>)), kFastcall,
     "The value of the only entry of a name."},
    {"get_first", VEL_METH((vel::fastcall_method<get_first_impl, kGetFirst>)), kFastcall,
     "The value of the first entry of a name, or None."},
    {"remove", VEL_METH((vel::fastcall_method<remove_impl, kRemove>)), kFastcall, "Removes every entry of a name."},
    {"merge", VEL_METH((vel::fastcall_method<merge_impl, kMerge>)), kFastcall, "Appends the given tuples as they are."},
    {"contains", VEL_METH((vel::fastcall_method<contains_impl, kContains, vel::bool_result>)), kFastcall,
     "Whether any entry has the name."},
    {"update", VEL_METH((vel::fastcall_method<update_impl, kUpdate>)), kFastcall, "Sets every pair of a dict."},
    {"add_many", VEL_METH((vel::fastcall_method<add_many_impl, kAddMany>)), kFastcall,
     "Adds the pairs of a list or a mapping."},
    {"_add_to_instance", VEL_METH((vel::fastcall_function<add_to_instance, kAddToInstance>)),
     kFastcall | METH_STATIC, "Adds `other` to `instance` for the + operators."},
    {"items", vel::noargs_method<headers_iter>, METH_NOARGS, "Iterates over the entries as stored."},
    {nullptr, nullptr, 0, nullptr},
};

// A bare allocation holds None, so that every operation fails cleanly until
// a list is assigned.
PyObject *headers_alloc(PyTypeObject *type, Py_ssize_t nitems)
{
    PyObject *self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) {
        as_headers(self)->values = Py_NewRef(Py_None);
    }
    return self;
}

PyObject *headers_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr && as_headers(self)->values == nullptr) {
        as_headers(self)->values = Py_NewRef(Py_None);
    }
    return self;
}

constexpr const char *kInitValues[] = {"values"};
constexpr vel::Signature kHeadersInit{"Headers", kInitValues, 1, 0};

int headers_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[1];
    if (!vel::parse_tuple_dict(kHeadersInit, args, kwargs, a)) {
        return -1;
    }
    PyObject *values = a[0] != nullptr ? a[0] : Py_None;
    if (!vel::check_arg_exact(values, &PyList_Type, "values")) {
        return -1;
    }
    PyObject *list = values == Py_None ? PyList_New(0) : Py_NewRef(values);
    if (list == nullptr) {
        return -1;
    }
    Py_XSETREF(as_headers(self)->values, list);
    return 0;
}

using HeadersFields = vel::Fields<&HeadersObject::values>;

PyObject *headers_getitem(PyObject *self, PyObject *key) { return kMethods.get(as_headers(self), key); }

int headers_setitem(PyObject *self, PyObject *key, PyObject *value)
{
    return value == nullptr ? kMethods.remove(as_headers(self), key) : kMethods.set(as_headers(self), key, value);
}

int headers_sq_contains(PyObject *self, PyObject *key) { return contains_dispatch(as_headers(self), key); }

PyObject *headers_repr(PyObject *self)
{
    Ref values = borrow(values_of(as_headers(self)));
    Ref text = steal(PyObject_Repr(values.get()));
    return text ? PyUnicode_FromFormat("<Headers %U>", text.get()) : nullptr;
}

// headers + other and other + headers: the entries of the Headers first.
PyObject *headers_nb_add(PyObject *left, PyObject *right)
{
    bool left_is_headers = PyObject_TypeCheck(left, g_state->Headers_Type);
    PyObject *self = left_is_headers ? left : right;
    PyObject *other = left_is_headers ? right : left;
    Ref copy = steal(kMethods.clone(as_headers(self)));
    return copy ? add_to_instance(copy.get(), other) : nullptr;
}

PyObject *headers_get_values(PyObject *self, void *) { return Py_NewRef(values_of(as_headers(self))); }

PyGetSetDef headers_getset[] = {
    {"values", headers_get_values, nullptr, "The live list of (name, value) entries.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot headers_slots[] = {
    {Py_tp_doc, const_cast<char *>("Headers(values: list | None = None)\n--\n\n"
                                   "Ordered, case-insensitive, multi-valued header collection over a "
                                   "list of (name, value) tuples.")},
    {Py_tp_alloc, reinterpret_cast<void *>(headers_alloc)},
    {Py_tp_new, reinterpret_cast<void *>(headers_new)},
    {Py_tp_init, reinterpret_cast<void *>(headers_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(HeadersFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(HeadersFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(HeadersFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(headers_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(headers_iter)},
    {Py_tp_methods, headers_methods},
    {Py_tp_getset, headers_getset},
    {Py_tp_members, vel::weakref_members<HeadersObject>},
    {Py_mp_subscript, reinterpret_cast<void *>(headers_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void *>(headers_setitem)},
    {Py_sq_contains, reinterpret_cast<void *>(headers_sq_contains)},
    {Py_nb_add, reinterpret_cast<void *>(headers_nb_add)},
    {Py_nb_inplace_add, reinterpret_cast<void *>(add_to_instance)},
    {0, nullptr},
};

PyType_Spec headers_spec = {
    "velmora.headers.Headers", sizeof(HeadersObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, headers_slots,
};

// ---------------------------------------------------------------------------
// Header

inline PyObject *field(PyObject *obj) { return obj != nullptr ? obj : Py_None; }

constexpr const char *kHeaderInitArgs[] = {"name", "value"};
constexpr vel::Signature kHeaderInit{"Header", kHeaderInitArgs, 2, 2};

int header_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[2];
    if (!vel::parse_tuple_dict(kHeaderInit, args, kwargs, a)) {
        return -1;
    }
    PyObject *name = stored_name(a[0]);
    if (name == nullptr) {
        return -1;
    }
    Py_XSETREF(as_header(self)->name, name);
    Py_XSETREF(as_header(self)->value, Py_NewRef(a[1]));
    return 0;
}

using HeaderFields = vel::Fields<&HeaderObject::name, &HeaderObject::value>;

// Both fields, held: what a comparison or a conversion works on while
// Python code it runs may re-initialise the header.
struct HeldFields {
    Ref name;
    Ref value;
    explicit HeldFields(PyObject *self)
        : name(borrow(field(as_header(self)->name))), value(borrow(field(as_header(self)->value)))
    {
    }
};

PyObject *header_iter(PyObject *self)
{
    HeldFields f(self);
    Ref pair = steal(PyTuple_Pack(2, f.name.get(), f.value.get()));
    return pair ? PyObject_GetIter(pair.get()) : nullptr;
}

PyObject *header_repr(PyObject *self)
{
    HeldFields f(self);
    Ref empty = steal(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref name = empty ? steal(PyObject_Format(f.name.get(), empty.get())) : Ref();
    Ref value = name ? steal(PyObject_Format(f.value.get(), empty.get())) : Ref();
    return value ? PyUnicode_FromFormat("<Header %U: %U>", name.get(), value.get()) : nullptr;
}

// str(x).lower() of a name, for the last of the name tests.
PyObject *lowered_str(PyObject *obj)
{
    Ref text = steal(PyObject_Str(obj));
    return text ? PyObject_CallMethodNoArgs(text.get(), g_state->str_lower) : nullptr;
}

// 1 when the names of two headers match, 0 when not, -1 on error.
int header_names_match(PyObject *mine, PyObject *theirs)
{
    if (theirs == mine) {
        return 1;
    }
    Ref eq = steal(PyObject_RichCompare(theirs, mine, Py_EQ));
    int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
    if (truth != 0) {
        return truth;
    }
    Ref a = steal(lowered_str(theirs));
    Ref b = a ? steal(lowered_str(mine)) : Ref();
    return b ? PyObject_RichCompareBool(a.get(), b.get(), Py_EQ) : -1;
}

PyObject *header_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, g_state->Header_Type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    HeldFields mine(self);
    HeldFields theirs(other);
    int names = header_names_match(mine.name.get(), theirs.name.get());
    if (names <= 0) {
        return names < 0 ? nullptr : Py_NewRef(op == Py_EQ ? Py_False : Py_True);
    }
    PyObject *eq = PyObject_RichCompare(theirs.value.get(), mine.value.get(), Py_EQ);
    if (op == Py_EQ || eq == nullptr || eq == Py_NotImplemented) {
        return eq;
    }
    int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    return truth < 0 ? nullptr : Py_NewRef(truth ? Py_False : Py_True);
}

PyGetSetDef header_getset[] = {
    {"name", vel::get_field<&HeaderObject::name>, nullptr, "Header name; bytes names are lower-case and interned.",
     nullptr},
    {"value", vel::get_field<&HeaderObject::value>, nullptr, "Header value, as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot header_slots[] = {
    {Py_tp_doc, const_cast<char *>("Header(name, value)\n--\n\nOne header field.")},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(header_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(HeaderFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(HeaderFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(HeaderFields::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(header_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(header_iter)},
    {Py_tp_richcompare, reinterpret_cast<void *>(header_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_getset, header_getset},
    {Py_tp_members, vel::weakref_members<HeaderObject>},
    {0, nullptr},
};

PyType_Spec header_spec = {
    "velmora.headers.Header", sizeof(HeaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, header_slots,
};

// ---------------------------------------------------------------------------
// Module

const char *const kSlotNames[S_COUNT] = {"keys", "clone", "get", "get_tuples", "add", "set",
                                         "get_single", "get_first", "remove", "merge", "contains"};

// A list holding one shared (b"content-type", value) tuple.
int add_static_headers(PyObject *module, const char *name, const char *content_type)
{
    Ref key = steal(vel::bytes_const("content-type"));
    Ref interned = key ? steal(intern_header_name_bytes(key.get())) : Ref();
    size_t n = std::strlen(content_type);
    PyObject *shared = get_interned_content_type_bytes(content_type, n);
    Ref value = shared != nullptr ? borrow(shared) : steal(vel::bytes_const(content_type));
    if (!interned || !value) {
        return -1;
    }
    Ref entry = steal(PyTuple_Pack(2, interned.get(), value.get()));
    Ref list = entry ? steal(PyList_New(1)) : Ref();
    if (!list) {
        return -1;
    }
    PyList_SET_ITEM(list.get(), 0, entry.release());
    return PyModule_AddObjectRef(module, name, list.get());
}

vel::headers::CAPI g_capi = {};

int headers_exec(PyObject *module)
{
    State *st = vel::init_state<State>(module);
    if (st == nullptr) {
        return -1;
    }
    st->Header_Type = vel::add_type(module, &header_spec);
    st->Headers_Type = st->Header_Type ? vel::add_type(module, &headers_spec) : nullptr;
    if (st->Headers_Type == nullptr) {
        return -1;
    }
    st->MutableSequence = vel::import_attr("collections.abc", "MutableSequence");
    st->Mapping = vel::import_attr("collections.abc", "Mapping");
    st->str_add = vel::intern("add");
    st->str_lower = vel::intern("lower");
    st->str_items = vel::intern("items");
    st->zero = PyLong_FromLong(0);
    if (!st->MutableSequence || !st->Mapping || !st->str_add || !st->str_lower || !st->str_items || !st->zero) {
        return -1;
    }
    for (int i = 0; i < S_COUNT; ++i) {
        if (st->slots[i].init(st->Headers_Type, kSlotNames[i]) < 0) {
            return -1;
        }
    }
    g_state = st;
    if (add_static_headers(module, "STATIC_JSON_HEADERS", "application/json") < 0 ||
        add_static_headers(module, "STATIC_TEXT_HEADERS", "text/plain; charset=utf-8") < 0 ||
        add_static_headers(module, "STATIC_HTML_HEADERS", "text/html; charset=utf-8") < 0 ||
        add_static_headers(module, "STATIC_NOT_FOUND_HEADERS", "text/plain") < 0) {
        return -1;
    }
    g_capi = {vel::capi_header<CAPI>(CAPI_VERSION), st->Header_Type, st->Headers_Type, &kMethods,
              intern_header_name_bytes, simd_lower_bytes};
    return vel::publish_capi(module, CAPI_NAME, &g_capi.header);
}

PyModuleDef_Slot headers_module_slots[] = {VEL_MODULE_SLOTS(headers_exec)};

PyModuleDef headers_module = vel::module_def<State, &g_state>(
    "velmora.headers",
    "HTTP header fields: Header, the case-insensitive multi-valued Headers and prebuilt header lists.",
    nullptr, headers_module_slots);

}  // namespace

PyObject *new_headers(PyObject *values)
{
    PyTypeObject *type = g_state->Headers_Type;
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Py_XSETREF(as_headers(self)->values, Py_NewRef(values));
    }
    return self;
}

}  // namespace vel::headers

PyMODINIT_FUNC PyInit_headers(void) { return PyModuleDef_Init(&vel::headers::headers_module); }
