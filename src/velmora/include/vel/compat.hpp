// The few differences between the CPython versions velmora builds for
// (3.11 to 3.13) live here and nowhere else.
#pragma once

#include <Python.h>

// Module slots that declare what the modules support: the interpreter lock
// is required (no free-threaded build) and there is one interpreter only.
#if PY_VERSION_HEX >= 0x030C0000
#define VEL_MOD_SLOT_INTERPRETERS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VEL_MOD_SLOT_INTERPRETERS
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define VEL_MOD_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define VEL_MOD_SLOT_GIL
#endif

namespace vel::compat {

// Whether the type's version tag identifies its current attribute table.
inline bool version_tag_valid(PyTypeObject *tp)
{
#if PY_VERSION_HEX < 0x030C0000
    return tp->tp_version_tag != 0 && PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
#else
    return tp->tp_version_tag != 0;
#endif
}

// dict[key] as a new reference; NULL with no exception when absent.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject *item = PyDict_GetItemWithError(dict, key);
    if (item == nullptr) {
        *result = nullptr;
        return PyErr_Occurred() ? -1 : 0;
    }
    *result = Py_NewRef(item);
    return 1;
#endif
}

// getattr(obj, name) as a new reference in `result`: 1 when found, 0 (and
// NULL, no exception) when the lookup raised AttributeError, -1 on any
// other error.
inline int get_optional_attr(PyObject *obj, PyObject *name, PyObject **result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
#endif
}

// The pending exception as one object (new reference), clearing it; NULL
// when none is set.
inline PyObject *take_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Sets `exc` (stolen) as the pending exception.
inline void restore_exception(PyObject *exc)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc != nullptr) {
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc,
                      PyException_GetTraceback(exc));
    }
#endif
}

}  // namespace vel::compat
