// `velmora._vel_core_test`: thin wrappers over the companion library's C
// interface so that the test suite can drive it with generated inputs.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "interning.h"
#include "scratchpad.h"
#include "simd_ops.h"
#include "vel/args.hpp"
#include "vel/module.hpp"

namespace {

// (buffer, offset, length) → the slice the C functions are called on, so
// the tests can place the data at every alignment.
bool get_window(PyObject *const *args, Py_ssize_t nargs, const char *fn, const char **data,
                Py_ssize_t *length)
{
    if (!vel::check_nargs(fn, nargs, 3, 3) || !vel::check_arg_exact(args[0], &PyBytes_Type, "data", false)) {
        return false;
    }
    Py_ssize_t offset = PyLong_AsSsize_t(args[1]);
    Py_ssize_t len = PyLong_AsSsize_t(args[2]);
    if (PyErr_Occurred()) {
        return false;
    }
    if (offset < 0 || len < 0 || offset + len > PyBytes_GET_SIZE(args[0])) {
        PyErr_SetString(PyExc_ValueError, "window outside the buffer");
        return false;
    }
    *data = PyBytes_AS_STRING(args[0]) + offset;
    *length = len;
    return true;
}

PyObject *is_ascii_lowercase(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    const char *data;
    Py_ssize_t length;
    if (!get_window(args, nargs, "is_ascii_lowercase", &data, &length)) {
        return nullptr;
    }
    return PyBool_FromLong(simd_is_ascii_lowercase(data, static_cast<size_t>(length)));
}

// Writes into a destination placed at the same misalignment as the source,
// with guard bytes around it that must stay untouched.
PyObject *lowercase_ascii(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    const char *data;
    Py_ssize_t length;
    if (!get_window(args, nargs, "lowercase_ascii", &data, &length)) {
        return nullptr;
    }
    constexpr Py_ssize_t guard = 32;
    const size_t shift = reinterpret_cast<uintptr_t>(data) % 16;
    const Py_ssize_t total = length + 2 * guard + 16;
    auto *raw = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(total)));
    if (raw == nullptr) {
        return PyErr_NoMemory();
    }
    std::memset(raw, '#', static_cast<size_t>(total));
    char *dst = raw + guard + shift;
    simd_lowercase_ascii(data, dst, static_cast<size_t>(length));
    bool guards_intact = true;
    for (char *p = raw; p < dst; ++p) {
        guards_intact = guards_intact && *p == '#';
    }
    for (char *p = dst + length; p < raw + total; ++p) {
        guards_intact = guards_intact && *p == '#';
    }
    PyObject *result = guards_intact ? PyBytes_FromStringAndSize(dst, length) : nullptr;
    if (!guards_intact) {
        PyErr_SetString(PyExc_AssertionError, "simd_lowercase_ascii wrote outside its buffer");
    }
    PyMem_Free(raw);
    return result;
}

using Lookup = PyObject *(*)(const char *, size_t);

PyObject *lookup(PyObject *const *args, Py_ssize_t nargs, const char *fn, Lookup find)
{
    if (!vel::check_nargs(fn, nargs, 1, 1) || !vel::check_arg_exact(args[0], &PyBytes_Type, "name", false)) {
        return nullptr;
    }
    PyObject *hit = find(PyBytes_AS_STRING(args[0]), static_cast<size_t>(PyBytes_GET_SIZE(args[0])));
    if (PyErr_Occurred()) {
        return nullptr;  // a miss must not leave an exception behind
    }
    return Py_NewRef(hit != nullptr ? hit : Py_None);
}

PyObject *header_name(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return lookup(args, nargs, "header_name", get_interned_header_name_bytes);
}

PyObject *method(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return lookup(args, nargs, "method", get_interned_method_str);
}

PyObject *content_type(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    return lookup(args, nargs, "content_type", get_interned_content_type_bytes);
}

// Arena: a ScratchpadArena owned by a Python object.
struct ArenaObject {
    PyObject_HEAD
    ScratchpadArena arena;
};

// init(capacity) → result code of scratchpad_init
PyObject *arena_init_block(PyObject *self, PyObject *arg)
{
    size_t capacity = PyLong_AsSize_t(arg);
    if (capacity == static_cast<size_t>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    return PyLong_FromLong(scratchpad_init(&reinterpret_cast<ArenaObject *>(self)->arena, capacity));
}

void arena_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    scratchpad_destroy(&reinterpret_cast<ArenaObject *>(self)->arena);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// alloc(size, alignment) → (code, address or None)
PyObject *arena_alloc(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!vel::check_nargs("alloc", nargs, 2, 2)) {
        return nullptr;
    }
    size_t size = PyLong_AsSize_t(args[0]);
    size_t alignment = PyLong_AsSize_t(args[1]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    void *out = nullptr;
    vel_err code = scratchpad_alloc(&reinterpret_cast<ArenaObject *>(self)->arena, size, alignment, &out);
    if (code == VEL_OK) {
        std::memset(out, 0xAB, size);  // the memory must be writable in full
        return Py_BuildValue("(iK)", static_cast<int>(code),
                             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(out)));
    }
    return Py_BuildValue("(iO)", static_cast<int>(code), Py_None);
}

PyObject *arena_reset(PyObject *self, PyObject *)
{
    scratchpad_reset(&reinterpret_cast<ArenaObject *>(self)->arena);
    Py_RETURN_NONE;
}

PyObject *arena_destroy(PyObject *self, PyObject *)
{
    scratchpad_destroy(&reinterpret_cast<ArenaObject *>(self)->arena);
    Py_RETURN_NONE;
}

// (buffer address or None, capacity, offset, is_dynamic)
PyObject *arena_state(PyObject *self, void *)
{
    const ScratchpadArena &a = reinterpret_cast<ArenaObject *>(self)->arena;
    if (a.buffer == nullptr) {
        return Py_BuildValue("(Onni)", Py_None, static_cast<Py_ssize_t>(a.capacity),
                             static_cast<Py_ssize_t>(a.offset), a.is_dynamic);
    }
    return Py_BuildValue("(Knni)", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(a.buffer)),
                         static_cast<Py_ssize_t>(a.capacity), static_cast<Py_ssize_t>(a.offset), a.is_dynamic);
}

PyMethodDef arena_methods[] = {
    {"alloc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arena_alloc)), METH_FASTCALL, nullptr},
    {"init", arena_init_block, METH_O, nullptr},
    {"reset", arena_reset, METH_NOARGS, nullptr},
    {"destroy", arena_destroy, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef arena_getset[] = {
    {"state", arena_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot arena_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void *>(arena_dealloc)},
    {Py_tp_methods, arena_methods},
    {Py_tp_getset, arena_getset},
    {0, nullptr},
};

PyType_Spec arena_spec = {"velmora._vel_core_test.Arena", sizeof(ArenaObject), 0, Py_TPFLAGS_DEFAULT, arena_slots};

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL

PyMethodDef module_methods[] = {
    {"is_ascii_lowercase", FASTCALL(is_ascii_lowercase), nullptr},
    {"lowercase_ascii", FASTCALL(lowercase_ascii), nullptr},
    {"header_name", FASTCALL(header_name), nullptr},
    {"method", FASTCALL(method), nullptr},
    {"content_type", FASTCALL(content_type), nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int test_exec(PyObject *module)
{
    if (vel::init_companion() < 0) {
        return -1;
    }
    PyTypeObject *arena = vel::add_type(module, &arena_spec);
    Py_XDECREF(arena);
    if (arena == nullptr) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "MAX_ALIGNMENT", VEL_SCRATCHPAD_MAX_ALIGNMENT);
}

PyModuleDef_Slot test_slots[] = {VEL_MODULE_SLOTS(test_exec)};

PyModuleDef test_module = {
    PyModuleDef_HEAD_INIT, "velmora._vel_core_test", "Test hooks for the companion library.", 0,
    module_methods, test_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vel_core_test(void) { return PyModuleDef_Init(&test_module); }
