// Header names: the lower-casing and interning published to the siblings.
#include "headers/headers_internal.h"

namespace vel::headers {

PyObject *simd_lower_bytes(PyObject *name)
{
    if (name == Py_None || PyBytes_GET_SIZE(name) == 0 ||
        simd_is_ascii_lowercase(PyBytes_AS_STRING(name), static_cast<size_t>(PyBytes_GET_SIZE(name)))) {
        return Py_NewRef(name);
    }
    Py_ssize_t n = PyBytes_GET_SIZE(name);
    PyObject *lowered = PyBytes_FromStringAndSize(nullptr, n);
    if (lowered != nullptr) {
        simd_lowercase_ascii(PyBytes_AS_STRING(name), PyBytes_AS_STRING(lowered), static_cast<size_t>(n));
    }
    return lowered;
}

PyObject *intern_header_name_bytes(PyObject *name)
{
    if (name == Py_None) {
        return Py_NewRef(name);
    }
    const char *data = PyBytes_AS_STRING(name);
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(name));
    PyObject *shared = get_interned_header_name_bytes(data, n);
    if (shared != nullptr) {
        return Py_NewRef(shared);
    }
    if (simd_is_ascii_lowercase(data, n)) {
        return Py_NewRef(name);
    }
    PyObject *lowered = simd_lower_bytes(name);
    if (lowered == nullptr) {
        return nullptr;
    }
    shared = get_interned_header_name_bytes(PyBytes_AS_STRING(lowered), n);
    if (shared != nullptr) {
        Py_SETREF(lowered, Py_NewRef(shared));
    }
    return lowered;
}

}  // namespace vel::headers
