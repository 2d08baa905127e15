// Override-aware direct calls.  Sibling modules call native methods through
// function tables; when the object's class is a subclass that redefines the
// method by name, the call must reach that Python override instead.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "vel/compat.hpp"
#include "vel/ref.hpp"

namespace vel {

class OverrideSlot {
public:
    // `base` is the native type defining `name`; returns 0, or -1 with an
    // exception set.
    int init(PyTypeObject *base, const char *name)
    {
        base_ = base;
        name_ = PyUnicode_InternFromString(name);
        if (name_ == nullptr) {
            return -1;
        }
        native_ = PyObject_GetAttr(reinterpret_cast<PyObject *>(base), name_);
        return native_ == nullptr ? -1 : 0;
    }

    void clear()
    {
        Py_CLEAR(name_);
        Py_CLEAR(native_);
        base_ = nullptr;
        cached_type_ = nullptr;
    }

    // The slot holds the base type's descriptor, which refers back to the
    // type and through it to the module: module states must visit it.
    int traverse(visitproc visit, void *arg) const
    {
        Py_VISIT(native_);
        return 0;
    }

    PyObject *name() const { return name_; }

    // 1 when type(self) redefines the method, 0 when the native function
    // applies, -1 with an exception set.
    int overridden(PyObject *self)
    {
        PyTypeObject *tp = Py_TYPE(self);
        if (tp == base_) {
            return 0;
        }
        if (tp == cached_type_ && compat::version_tag_valid(tp) && tp->tp_version_tag == cached_tag_) {
            return cached_result_;
        }
        return lookup(tp);
    }

    // self.<name>(*args) through the normal attribute lookup.
    PyObject *call(PyObject *self, PyObject *const *args, size_t nargs) const
    {
        PyObject *stack[8];
        if (nargs + 1 > 8) {
            PyErr_SetString(PyExc_SystemError, "too many arguments for an override call");
            return nullptr;
        }
        stack[0] = self;
        for (size_t i = 0; i < nargs; ++i) {
            stack[i + 1] = args[i];
        }
        return PyObject_VectorcallMethod(name_, stack, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr);
    }

    template <class... A>
    PyObject *call_with(PyObject *self, A... args) const
    {
        PyObject *argv[] = {nullptr, reinterpret_cast<PyObject *>(args)...};
        return call(self, argv + 1, sizeof...(A));
    }

private:
    int lookup(PyTypeObject *tp)
    {
        Ref attr = steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(tp), name_));
        if (!attr) {
            return -1;
        }
        bool result = attr.get() != native_;
        // The lookup gives the type a version tag; remember the answer for it.
        if (compat::version_tag_valid(tp)) {
            cached_type_ = tp;
            cached_tag_ = tp->tp_version_tag;
            cached_result_ = result;
        }
        return result;
    }

    PyTypeObject *base_ = nullptr;
    PyObject *name_ = nullptr;
    PyObject *native_ = nullptr;
    PyTypeObject *cached_type_ = nullptr;  // borrowed; checked with its tag
    unsigned int cached_tag_ = 0;
    bool cached_result_ = false;
};

// Converters from an override's result to a slot's native result type.
// Each consumes the reference it is given.
inline int override_result_void(PyObject *result)
{
    if (result == nullptr) {
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

inline int override_result_bool(PyObject *result)
{
    if (result == nullptr) {
        return -1;
    }
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// An object result is passed on as it is.
inline PyObject *pass_result(PyObject *result) { return result; }

namespace detail {

template <class R>
struct DefaultConvert;

template <>
struct DefaultConvert<PyObject *> {
    static PyObject *convert(PyObject *result) { return result; }
};

// int slots return 0 or -1 unless they name another converter.
template <>
struct DefaultConvert<int> {
    static int convert(PyObject *result) { return override_result_void(result); }
};

template <OverrideSlot &(*Slot)(), auto Impl, auto Convert, class Sig>
struct Overridable;

template <OverrideSlot &(*Slot)(), auto Impl, auto Convert, class R, class Self, class... A>
struct Overridable<Slot, Impl, Convert, R (*)(Self *, A...)> {
    static R call(Self *self, A... args)
    {
        OverrideSlot &slot = Slot();
        PyObject *obj = reinterpret_cast<PyObject *>(self);
        int overridden = slot.overridden(obj);
        if (overridden == 0) {
            return Impl(self, args...);
        }
        PyObject *result = overridden < 0 ? nullptr : slot.call_with(obj, args...);
        if constexpr (std::is_same_v<decltype(Convert), std::nullptr_t>) {
            return DefaultConvert<R>::convert(result);
        } else {
            return Convert(result);
        }
    }
};

}  // namespace detail

// A method-table entry that runs `Impl` for the native type and the Python
// override of the method for a subclass that redefines it.  `Slot` returns
// the method's OverrideSlot (kept in the module state); `Convert` turns the
// override's result into the entry's result type (by default: objects pass,
// int entries give 0 or -1).
//
//     template <int S> vel::OverrideSlot &slot() { return g_state->slots[S]; }
//     const Methods table = {vel::overridable<slot<S_GET>, get_impl>, ...};
template <OverrideSlot &(*Slot)(), auto Impl, auto Convert = nullptr>
inline constexpr auto overridable = &detail::Overridable<Slot, Impl, Convert, decltype(Impl)>::call;

}  // namespace vel

// Early return from a table slot when the object's class overrides the
// method: `VEL_DISPATCH(slot, self, convert, args...)`.
#define VEL_DISPATCH(slot, self, convert, ...)                                          \
    do {                                                                                \
        int vel_ov_ = (slot).overridden(reinterpret_cast<PyObject *>(self));            \
        if (vel_ov_ != 0) {                                                             \
            if (vel_ov_ < 0) {                                                          \
                return convert(nullptr);                                                \
            }                                                                           \
            return convert((slot).call_with(reinterpret_cast<PyObject *>(self), ##__VA_ARGS__)); \
        }                                                                               \
    } while (0)
