// Owning reference to a Python object: released when it goes out of scope,
// so error paths need no manual decref.
#pragma once

#include <Python.h>

#include <utility>

namespace vel {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref &other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref &operator=(Ref other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (NULL allowed).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one (NULL allowed).
    static Ref borrow(PyObject *p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for return values).
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }

    // For output parameters of C API calls: drops the current object.
    PyObject **out() noexcept
    {
        Py_CLEAR(p_);
        return &p_;
    }

    template <class T>
    T *as() const noexcept { return reinterpret_cast<T *>(p_); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

inline Ref steal(PyObject *p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject *p) noexcept { return Ref::borrow(p); }

template <class T>
inline Ref steal(T *p) noexcept { return Ref::steal(reinterpret_cast<PyObject *>(p)); }

}  // namespace vel
