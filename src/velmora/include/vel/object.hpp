// The boilerplate of a native type, written once: the cast of a fastcall
// function into a method-table entry, and the field list from which a type
// gets its traverse, clear, dealloc and plain getters.
//
//     using HeaderFields = vel::Fields<&HeaderObject::name, &HeaderObject::value>;
//     {Py_tp_traverse, reinterpret_cast<void *>(HeaderFields::traverse)},
//     {Py_tp_clear, reinterpret_cast<void *>(HeaderFields::clear)},
//     {Py_tp_dealloc, reinterpret_cast<void *>(HeaderFields::dealloc)},
//     {"name", vel::get_field<&HeaderObject::name>, nullptr, "doc", nullptr},
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>

namespace vel {

namespace detail {

template <class M>
struct MemberOf;

template <class T, class F>
struct MemberOf<F T::*> {
    using Object = T;
};

template <class P>
inline int visit_field(P *field, visitproc visit, void *arg)
{
    return field != nullptr ? visit(reinterpret_cast<PyObject *>(field), arg) : 0;
}

template <class P>
inline void clear_field(P *&field)
{
    P *old = field;
    if (old != nullptr) {
        field = nullptr;
        Py_DECREF(reinterpret_cast<PyObject *>(old));
    }
}

// The field holds `value` (a new reference) and releases what it held.
template <class P>
inline void replace_field(P *&field, PyObject *value)
{
    P *old = field;
    field = reinterpret_cast<P *>(value);
    Py_XDECREF(reinterpret_cast<PyObject *>(old));
}

template <class T>
concept HasWeakrefs = requires(T *o) { o->weakreflist; };

}  // namespace detail

// Clears every field, or only releases them: what a dealloc does to the
// fields of a GC type.  `Members` are pointers to PyObject* (or any object
// pointer) members of one object struct; the struct's `weakreflist`, when
// it has one, is honoured by the deallocators.
template <auto First, auto... Rest>
struct Fields {
    using Object = typename detail::MemberOf<decltype(First)>::Object;

    static Object *as(PyObject *self) { return reinterpret_cast<Object *>(self); }

    // tp_traverse: the type (instances of heap types own a reference to it)
    // and each field.
    static int traverse(PyObject *self, visitproc visit, void *arg)
    {
        Py_VISIT(Py_TYPE(self));
        Object *o = as(self);
        int rc = detail::visit_field(o->*First, visit, arg);
        ((rc = rc != 0 ? rc : detail::visit_field(o->*Rest, visit, arg)), ...);
        return rc;
    }

    // tp_clear: every field becomes NULL.
    static int clear(PyObject *self)
    {
        Object *o = as(self);
        detail::clear_field(o->*First);
        (detail::clear_field(o->*Rest), ...);
        return 0;
    }

    // tp_clear for types whose fields must stay readable (None) after a
    // cycle is broken: a finaliser in the same cycle may still use them.
    static int clear_to_none(PyObject *self)
    {
        Object *o = as(self);
        detail::replace_field(o->*First, Py_NewRef(Py_None));
        (detail::replace_field(o->*Rest, Py_NewRef(Py_None)), ...);
        return 0;
    }

    // tp_dealloc of a GC type.  With `Trashcan`, deeply nested instances
    // (long chains of them) are freed without deep C recursion.
    template <bool Trashcan = false>
    static void gc_dealloc(PyObject *self)
    {
        PyTypeObject *tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        if constexpr (Trashcan) {
            Py_TRASHCAN_BEGIN(self, (gc_dealloc<true>))
            release(self, tp);
            Py_TRASHCAN_END
        } else {
            release(self, tp);
        }
    }

    static void dealloc(PyObject *self) { gc_dealloc<false>(self); }

    // tp_dealloc of a type without GC (its fields cannot form cycles).  A
    // Python subclass may add GC, so untracking is decided per object.
    static void plain_dealloc(PyObject *self)
    {
        PyTypeObject *tp = Py_TYPE(self);
        if (PyObject_IS_GC(self)) {
            PyObject_GC_UnTrack(self);
        }
        release(self, tp);
    }

private:
    static void release(PyObject *self, PyTypeObject *tp)
    {
        if constexpr (detail::HasWeakrefs<Object>) {
            if (as(self)->weakreflist != nullptr) {
                PyObject_ClearWeakRefs(self);
            }
        }
        clear(self);
        tp->tp_free(self);
        Py_DECREF(tp);
    }
};

// A getter for PyGetSetDef: the field, or None while it is NULL.
template <auto Member>
PyObject *get_field(PyObject *self, void *)
{
    using Object = typename detail::MemberOf<decltype(Member)>::Object;
    PyObject *v = reinterpret_cast<PyObject *>(reinterpret_cast<Object *>(self)->*Member);
    return Py_NewRef(v != nullptr ? v : Py_None);
}

// The member table of a type whose weak references live in `weakreflist`.
template <class T>
inline PyMemberDef weakref_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(T, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Exception.__init__(self, message): the end of the constructor of an
// exception class whose only argument is its message.
inline int init_exception(PyObject *self, PyObject *message)
{
    PyObject *args = PyTuple_Pack(1, message);
    int rc = args != nullptr ? reinterpret_cast<PyTypeObject *>(PyExc_Exception)->tp_init(self, args, nullptr) : -1;
    Py_XDECREF(args);
    return rc;
}

// A dealloc for types whose clear function is written by hand.
template <class T, int (*Clear)(PyObject *)>
void gc_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if constexpr (detail::HasWeakrefs<T>) {
        if (reinterpret_cast<T *>(self)->weakreflist != nullptr) {
            PyObject_ClearWeakRefs(self);
        }
    }
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace vel

// A METH_FASTCALL (| METH_KEYWORDS) function as the PyCFunction a method
// table entry holds.
#define VEL_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
