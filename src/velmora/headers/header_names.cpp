// Header names: the lower-casing and interning published to the siblings,
// and the slow paths of the look-up key (names and keys that need str()
// or str.lower() to compare).
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

// ---------------------------------------------------------------------------
// The key's slow paths

int Key::match_str(PyObject *name) const
{
    if (PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND) {
        return PyUnicode_GET_LENGTH(name) == len_ && same_folded(PyUnicode_1BYTE_DATA(name), true);
    }
    // Wider strings may lower to Latin-1 (U+212A KELVIN SIGN gives 'k')
    // or change length, so they take str.lower() itself.
    Ref lowered = steal(PyObject_CallMethodNoArgs(name, g_state->str_lower));
    if (!lowered) {
        return -1;
    }
    PyObject *s = lowered.get();
    return PyUnicode_Check(s) && PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(s) == len_ &&
           std::memcmp(PyUnicode_1BYTE_DATA(s), data_, static_cast<size_t>(len_)) == 0;
}

int Key::match_other(PyObject *name) const
{
    Ref text = steal(PyObject_Str(name));
    return text ? match_str(text.get()) : -1;
}

bool Key::init_other(PyObject *key)
{
    Ref text = PyUnicode_CheckExact(key) ? borrow(key) : steal(PyObject_Str(key));
    Ref lowered = text ? steal(PyObject_CallMethodNoArgs(text.get(), g_state->str_lower)) : Ref();
    if (!lowered) {
        return false;
    }
    if (!PyUnicode_Check(lowered.get())) {
        PyErr_Format(PyExc_TypeError, "lower() returned %.200s", Py_TYPE(lowered.get())->tp_name);
        return false;
    }
    owner_ = steal(PyUnicode_AsLatin1String(lowered.get()));
    if (!owner_) {
        return false;
    }
    data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(owner_.get()));
    len_ = PyBytes_GET_SIZE(owner_.get());
    return true;
}

}  // namespace vel::headers
