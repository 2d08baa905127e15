// `velmora._vel_core` as a Python module: the companion library is loaded by
// the extension modules through their run path, and may also be imported to
// see its version and the contents of its interning tables.
#include "interning.h"
#include "tables.h"
#include "vel/module.hpp"

namespace {

int add_table(PyObject *module, const char *name, VelTable table)
{
    PyObject *entries = vel_core_table_entries(table);
    if (entries == nullptr) {
        return -1;
    }
    int rc = PyModule_AddObjectRef(module, name, entries);
    Py_DECREF(entries);
    return rc;
}

int core_exec(PyObject *module)
{
    if (vel_core_init() < 0 ||
        PyModule_AddIntConstant(module, "ABI_VERSION", VEL_CORE_ABI_VERSION) < 0 ||
        add_table(module, "HEADER_NAMES", VelTable::header_names) < 0 ||
        add_table(module, "METHODS", VelTable::methods) < 0 ||
        add_table(module, "CONTENT_TYPES", VelTable::content_types) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot core_slots[] = {
    VEL_MODULE_SLOTS(core_exec),
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "velmora._vel_core",
    "Companion library of the velmora extension modules.",
    0,
    nullptr,
    core_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vel_core(void)
{
    return PyModuleDef_Init(&core_module);
}
