// The pools of idle requests and responses, resetting an object for its
// next use, closing a request's uploaded files, and the request's
// scratchpad arena.
#include <Python.h>

#include "messages/messages_internal.h"
#include "vel/args.hpp"

namespace vel::messages {

namespace {

constexpr size_t ARENA_CAPACITY = 65536;

bool &in_pool(RequestObject *r) { return reinterpret_cast<PooledRequest *>(r)->in_pool; }
bool &in_pool(ResponseObject *r) { return reinterpret_cast<PooledResponse *>(r)->in_pool; }

// The last idle object of a pool, or NULL when it is empty.
PyObject *pool_pop(PyObject *pool)
{
    Py_ssize_t n = PyList_GET_SIZE(pool);
    if (n == 0) {
        return nullptr;
    }
    PyObject *item = Py_NewRef(PyList_GET_ITEM(pool, n - 1));
    if (PyList_SetSlice(pool, n - 1, n, nullptr) < 0) {
        Py_DECREF(item);
        PyErr_Clear();
        return nullptr;
    }
    return item;
}

// Stores `value` (a new reference) in *field, dropping the old value after
// the field already holds the new one.
inline void put(PyObject **field, PyObject *value) { Py_XSETREF(*field, value); }
inline void put_none(PyObject **field) { put(field, Py_NewRef(Py_None)); }

// Calls close() on the file of every uploaded part of a parsed form: the
// values of the mapping that are lists or tuples of parts with a truthy
// `file`.  Each container is copied before the walk, since close() may run
// any code.
int close_form_files(PyObject *form_data)
{
    if (form_data == Py_None) {
        return 0;
    }
    Ref values = steal(PyObject_CallMethodNoArgs(form_data, g_state->str_values));
    Ref it = values ? steal(PyObject_GetIter(values.get())) : Ref();
    if (!it) {
        return -1;
    }
    while (PyObject *raw = PyIter_Next(it.get())) {
        Ref value = steal(raw);
        if (!PyList_Check(value.get()) && !PyTuple_Check(value.get())) {
            continue;
        }
        Ref items = steal(PySequence_Tuple(value.get()));
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            PyObject *file = nullptr;
            if (get_optional_attr(PyTuple_GET_ITEM(items.get(), i), g_state->str_file, &file) < 0) {
                return -1;
            }
            Ref f = steal(file);
            int truth = f ? PyObject_IsTrue(f.get()) : 0;
            Ref done = truth > 0 ? steal(PyObject_CallMethodNoArgs(f.get(), g_state->str_close)) : borrow(Py_None);
            if (truth < 0 || !done) {
                return -1;
            }
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The end of a reset shared by both types: the form's files are closed and
// the content disposed, both taken out of the object first.
int release_form_and_content(MessageObject *m)
{
    Ref form = steal(m->_form_data);
    m->_form_data = Py_NewRef(Py_None);
    Ref content = steal(m->content);
    m->content = Py_NewRef(Py_None);
    put_none(&m->_headers);
    put(&m->_raw_headers, PyList_New(0));
    if (m->_raw_headers == nullptr) {
        m->_raw_headers = Py_NewRef(Py_None);
        return -1;
    }
    int rc = close_form_files(form.get());
    if (rc == 0 && content.get() != Py_None) {
        rc = g_state->contents->content_methods->dispose(content.as<vel::contents::ContentObject>());
    }
    return rc;
}

}  // namespace

// ---------------------------------------------------------------- reset

int request_reset_impl(RequestObject *self)
{
    Ref hold = borrow(O(self));
    State *st = g_state;
    put(&self->method, Py_NewRef(st->str_empty));
    put(&self->_path, Py_NewRef(st->str_empty));
    put(&self->_raw_query, Py_NewRef(st->str_empty));
    for (PyObject **f : {&self->_url, &self->route_values, &self->scope, &self->base.scope_protocol}) {
        put_none(f);
    }
    // Through the property, so that a subclass's setter sees the reset; the
    // type's own setter only clears _user, which the next step does.
    if (!Py_IS_TYPE(O(self), st->Request_Type) && PyObject_SetAttr(O(self), st->str_identity, Py_None) < 0) {
        return -1;
    }
    for (PyObject **f : {&self->_user, &self->_di_scope, &self->state, &self->_session, &self->_base_path,
                         &self->_original_client_ip, &self->_host, &self->_scheme, &self->base.context,
                         &self->services, &self->_context, &self->_is_disconnected}) {
        put_none(f);
    }
    int rc = release_form_and_content(&self->base);
    if (self->_arena_initialized) {
        scratchpad_reset(&self->_arena);
    }
    return rc;
}

int response_reset_impl(ResponseObject *self)
{
    Ref hold = borrow(O(self));
    self->status = 200;
    for (PyObject **f : {&self->state, &self->base.context, &self->_context, &self->base.scope_protocol}) {
        put_none(f);
    }
    return release_form_and_content(&self->base);
}

PyObject *request_dispose(RequestObject *self)
{
    Ref form = borrow(self->base._form_data);
    Ref content = borrow(self->base.content);
    if (close_form_files(form.get()) < 0) {
        return nullptr;
    }
    int truth = PyObject_IsTrue(content.get());
    if (truth < 0 ||
        (truth > 0 && g_state->contents->content_methods->dispose(content.as<vel::contents::ContentObject>()) < 0)) {
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------- scratchpad

void *alloc_scratchpad_impl(RequestObject *self, size_t size, size_t alignment)
{
    if (!self->_arena_initialized) {
        // A failed initialisation is tried again by the next allocation.
        if (scratchpad_init(&self->_arena, ARENA_CAPACITY) != VEL_OK) {
            return nullptr;
        }
        self->_arena_initialized = 1;
    }
    void *out = nullptr;
    return scratchpad_alloc(&self->_arena, size, alignment, &out) == VEL_OK ? out : nullptr;
}

// ---------------------------------------------------------------- pools

RequestObject *acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                               PyObject *scope)
{
    if (!vel::check_arg(method, &PyUnicode_Type, "method", false) ||
        !vel::check_arg_exact(headers, &PyList_Type, "headers")) {
        return nullptr;
    }
    Ref interned = steal(intern_method_str(method));
    Ref raw = interned && headers != Py_None ? steal(copy_header_list(headers)) : borrow(Py_None);
    if (!interned || !raw) {
        return nullptr;
    }
    PyObject *obj = pool_pop(g_state->req_freelist);
    if (obj == nullptr && (obj = request_alloc_bare()) == nullptr) {
        return nullptr;
    }
    RequestObject *r = R(obj);
    in_pool(r) = false;
    put(&r->method, interned.release());
    put(&r->_path, Py_NewRef(path));
    put(&r->_raw_query, Py_NewRef(raw_query));
    put(&r->base._raw_headers, raw.release());
    put(&r->scope, Py_NewRef(scope));
    // _headers too: a view over a list that was just replaced.
    for (PyObject **f :
         {&r->base._headers, &r->base.scope_protocol, &r->base.content, &r->_url, &r->route_values}) {
        put_none(f);
    }
    return r;
}

ResponseObject *acquire_response(const AcquireResponseArgs *optional)
{
    int given = optional != nullptr ? optional->n_given : 0;
    int32_t status = given > 0 ? optional->status : 200;
    PyObject *headers = given > 1 && optional->headers != nullptr ? optional->headers : Py_None;
    PyObject *content = given > 2 && optional->content != nullptr ? optional->content : Py_None;
    if (!vel::check_arg_exact(headers, &PyList_Type, "headers") ||
        !vel::check_arg(content, g_state->contents->Content_Type, "content")) {
        return nullptr;
    }
    PyObject *obj = pool_pop(g_state->resp_freelist);
    if (obj == nullptr) {
        return response_create(status, headers, content);
    }
    PyObject *raw = response_header_list(headers, true);
    if (raw == nullptr) {
        Py_DECREF(obj);
        return nullptr;
    }
    ResponseObject *resp = RS(obj);
    in_pool(resp) = false;
    resp->status = status;
    put(&resp->base._raw_headers, raw);
    put_none(&resp->base._headers);  // a view over the list just replaced
    put(&resp->base.content, Py_NewRef(content));
    return resp;
}

namespace {

// Resets `obj` through its table and pushes it, unless it is of a subclass
// (its own attributes and overrides must not reach another exchange), is
// already pooled, or the pool is full.
template <class T, class Reset>
void release(T *obj, PyTypeObject *exact, PyObject *pool, Reset reset)
{
    if (obj == nullptr || Py_IS_TYPE(O(obj), exact) == 0 || in_pool(obj) ||
        PyList_GET_SIZE(pool) >= MAX_FREELIST_CAPACITY) {
        return;
    }
    Ref hold = borrow(O(obj));
    if (reset(obj) == 0 && !in_pool(obj) && PyList_GET_SIZE(pool) < MAX_FREELIST_CAPACITY &&
        PyList_Append(pool, O(obj)) == 0) {
        in_pool(obj) = true;
    }
}

}  // namespace

void release_request(RequestObject *request)
{
    release(request, g_state->Request_Type, g_state->req_freelist, REQUEST_METHODS.reset);
}

void release_response(ResponseObject *response)
{
    release(response, g_state->Response_Type, g_state->resp_freelist, RESPONSE_METHODS.reset);
}

}  // namespace vel::messages
