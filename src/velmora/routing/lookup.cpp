// Lookup: the whole-path static tables first, then a descent of the tree
// that backtracks iteratively (an explicit frame stack), so that the depth
// of a path never reaches the C stack.
#include <Python.h>

#include <cstring>

#include "routing/routing_internal.h"
#include "vel/compat.hpp"
#include "vel/small_stack.hpp"
#include "vel/text.hpp"

namespace vel::routing {

using vel::Ref;

namespace {

// Owned (key, value) pairs captured so far, truncated on backtracking.
class Captured {
public:
    ~Captured() { truncate(0); }
    size_t size() const { return pairs_.size(); }
    // Steals both references, also on failure.
    bool push(PyObject *key, PyObject *value)
    {
        if (pairs_.push(Pair{key, value})) {
            return true;
        }
        Py_DECREF(key);
        Py_DECREF(value);
        return false;
    }
    void truncate(size_t n)
    {
        while (pairs_.size() > n) {
            Py_DECREF(pairs_.back().key);
            Py_DECREF(pairs_.back().value);
            pairs_.pop();
        }
    }
    // A new dict of the captured pairs, plus (extra_key, extra_value) when
    // given.  When `names` is a list with one name per value, the names are
    // the keys.  Hashing a name that is not an exact str runs Python code,
    // which may change the list: such names are read from a snapshot.
    PyObject *dict(PyObject *names, PyObject *extra_key, PyObject *extra_value) const
    {
        const size_t count = pairs_.size() + (extra_value != nullptr ? 1 : 0);
        Ref d = vel::steal(PyDict_New());
        if (!d) {
            return nullptr;
        }
        bool ok;
        if (names == nullptr || !PyList_Check(names) || static_cast<size_t>(PyList_GET_SIZE(names)) != count) {
            // A key's __hash__ may drop the extra key's last other reference.
            Ref extra = Ref::borrow(extra_key);
            ok = fill(d.get(), [&](size_t i) { return i < pairs_.size() ? pairs_[i].key : extra.get(); }, extra_value);
        } else if (all_exact_str(names)) {
            ok = fill(d.get(), [&](size_t i) { return PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i)); },
                      extra_value);
        } else {
            Ref snapshot = vel::steal(PyList_AsTuple(names));
            ok = snapshot && fill(d.get(),
                                  [&](size_t i) { return PyTuple_GET_ITEM(snapshot.get(), static_cast<Py_ssize_t>(i)); },
                                  extra_value);
        }
        return ok ? d.release() : nullptr;
    }

private:
    struct Pair {
        PyObject *key;
        PyObject *value;
    };
    template <class KeyAt>
    bool fill(PyObject *d, KeyAt key_at, PyObject *extra_value) const
    {
        const size_t n = pairs_.size();
        for (size_t i = 0; i < n; ++i) {
            if (PyDict_SetItem(d, key_at(i), pairs_[i].value) < 0) {
                return false;
            }
        }
        return extra_value == nullptr || PyDict_SetItem(d, key_at(n), extra_value) == 0;
    }
    static bool all_exact_str(PyObject *list)
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) {
                return false;
            }
        }
        return true;
    }
    vel::SmallStack<Pair, 8> pairs_;
};

PyObject *p_key(Py_ssize_t index)
{
    if (index < kCachedKeys) {
        return Py_NewRef(g_state->p_keys[index]);
    }
    return PyUnicode_FromFormat("_p_%zd", index);
}

// The key of a wildcard's remainder: the node's wildcard name, or "tail".
inline Ref wildcard_key(RadixNodeObject *node)
{
    PyObject *name = node->wildcard_name;
    return Ref::borrow((PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0) ? name : g_state->s_tail);
}

template <bool B>
struct Twin;

template <>
struct Twin<false> {
    static bool check(PyObject *seg) { return PyUnicode_Check(seg); }
    static PyObject *children(RadixNodeObject *n) { return n->children_str; }
    static PyObject *validator(RadixNodeObject *n) { return n->param_validator_str; }
    static PyObject *suffix(RadixNodeObject *n) { return n->wildcard_suffix_str; }
    static PyObject *decode(PyObject *seg) { return vel::unquote_str(seg); }
    static int kind(PyObject *seg) { return PyUnicode_KIND(seg); }
    static const void *data(PyObject *seg) { return PyUnicode_DATA(seg); }
    static Py_ssize_t length(PyObject *seg) { return PyUnicode_GET_LENGTH(seg); }
    static PyObject *slice(PyObject *text, Py_ssize_t start, Py_ssize_t end)
    {
        return PyUnicode_Substring(text, start, end);
    }
    static int ends_with(PyObject *text, PyObject *suffix)
    {
        return static_cast<int>(PyUnicode_Tailmatch(text, suffix, 0, PY_SSIZE_T_MAX, 1));
    }
};

template <>
struct Twin<true> {
    static bool check(PyObject *seg) { return PyBytes_Check(seg); }
    static PyObject *children(RadixNodeObject *n) { return n->children_bytes; }
    static PyObject *validator(RadixNodeObject *n) { return n->param_validator_bytes; }
    static PyObject *suffix(RadixNodeObject *n) { return n->wildcard_suffix_bytes; }
    static PyObject *decode(PyObject *seg)
    {
        return vel::unquote_utf8(PyBytes_AS_STRING(seg), PyBytes_GET_SIZE(seg), "replace");
    }
    static int kind(PyObject *) { return PyUnicode_1BYTE_KIND; }
    static const void *data(PyObject *seg) { return PyBytes_AS_STRING(seg); }
    static Py_ssize_t length(PyObject *seg) { return PyBytes_GET_SIZE(seg); }
    static PyObject *slice(PyObject *text, Py_ssize_t start, Py_ssize_t end)
    {
        return PyBytes_FromStringAndSize(PyBytes_AS_STRING(text) + start, end - start);
    }
    static int ends_with(PyObject *text, PyObject *suffix)
    {
        Py_ssize_t n = PyBytes_GET_SIZE(text);
        Py_ssize_t k = PyBytes_GET_SIZE(suffix);
        return k <= n && std::memcmp(PyBytes_AS_STRING(text) + n - k, PyBytes_AS_STRING(suffix), static_cast<size_t>(k)) == 0;
    }
};

// Whether `validator` accepts the raw segment: natively for the module's
// own patterns, through its `match` for anything else.  -1 on error.
template <bool B>
int validate(PyObject *validator, PyObject *seg)
{
    if (validator == Py_None) {
        return 1;
    }
    static const Shape shapes[] = {Shape::Int, Shape::Float, Shape::Uuid};
    const int first = B ? RX_INT_B : RX_INT_S;
    for (int k = 0; k < 3; ++k) {
        if (validator == g_state->rx[first + k]) {
            return shape_matches(shapes[k], !B, Twin<B>::kind(seg), Twin<B>::data(seg), Twin<B>::length(seg));
        }
    }
    // The call may drop the node's reference to the validator.
    Ref hold = Ref::borrow(validator);
    return vel::override_result_bool(PyObject_CallMethodOneArg(validator, g_state->s_match, seg));
}

// Frames of an explicit stack stand for the levels of the descent; each
// tries its static child, then its parameter child, then its wildcard, and
// a level that finds nothing hands control back to the one above.
struct Frame {
    PyObject *node;  // owned
    Py_ssize_t index;
    int stage;
    size_t base;  // captured pairs visible to this level
};

template <bool B>
class Descent {
public:
    // `segments` is a tuple, so Python code run by a validator or a key
    // cannot change it under the walk.
    explicit Descent(PyObject *segments) : segments_(segments), count_(PyTuple_GET_SIZE(segments)) {}
    ~Descent()
    {
        while (!frames_.empty()) {
            pop();
        }
    }

    // Seeds the captured pairs from a values dict handed in by a caller.
    bool seed(PyObject *values)
    {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(values, &pos, &key, &value)) {
            if (!captured_.push(Py_NewRef(key), Py_NewRef(value))) {
                return false;
            }
        }
        return true;
    }

    PyObject *run(RadixNodeObject *start, Py_ssize_t index)
    {
        if (!push_owned(Py_NewRef(start), index, captured_.size())) {
            return nullptr;
        }
        while (!frames_.empty()) {
            Frame &f = frames_.back();
            captured_.truncate(f.base);
            RadixNodeObject *node = as_node(f.node);
            const Py_ssize_t i = f.index;
            if (i >= count_) {
                PyObject *r = end_of_path(node);
                if (r != Py_None) {
                    return r;
                }
                Py_DECREF(r);
                pop();
                continue;
            }
            PyObject *seg = PyTuple_GET_ITEM(segments_, i);
            if (!Twin<B>::check(seg)) {
                vel::expected_type_error(B ? "bytes" : "str", seg);
                return nullptr;
            }
            switch (f.stage++) {
            case 0: {
                PyObject *child = nullptr;
                if (static_child(node, seg, &child) < 0) {
                    return nullptr;
                }
                if (child != nullptr && !push_owned(child, i + 1, f.base)) {
                    return nullptr;
                }
                break;
            }
            case 1: {
                PyObject *pc = node->param_child;
                if (pc == Py_None) {
                    break;
                }
                Ref hold = Ref::borrow(pc);
                int ok = validate<B>(Twin<B>::validator(as_node(pc)), seg);
                if (ok < 0) {
                    return nullptr;
                }
                if (ok) {
                    PyObject *key = p_key(i);
                    PyObject *value = key != nullptr ? Twin<B>::decode(seg) : nullptr;
                    if (value == nullptr) {
                        Py_XDECREF(key);
                        return nullptr;
                    }
                    if (!captured_.push(key, value) || !push_owned(hold.release(), i + 1, captured_.size())) {
                        return nullptr;
                    }
                }
                break;
            }
            case 2: {
                PyObject *r = wildcard(node, i);
                if (r != Py_None) {
                    return r;
                }
                Py_DECREF(r);
                pop();
                break;
            }
            default:
                pop();
            }
        }
        Py_RETURN_NONE;
    }

private:
    // Steals `node`, also on failure.
    bool push_owned(PyObject *node, Py_ssize_t index, size_t base)
    {
        if (frames_.push(Frame{node, index, 0, base})) {
            return true;
        }
        Py_DECREF(node);
        return false;
    }
    void pop()
    {
        Py_DECREF(frames_.back().node);
        frames_.pop();
    }

    // The static child for the lower-cased segment (new reference), NULL
    // when there is none; -1 on error.
    static int static_child(RadixNodeObject *node, PyObject *seg, PyObject **child)
    {
        Ref dict = Ref::borrow(Twin<B>::children(node));
        if (dict.get() == Py_None || PyDict_GET_SIZE(dict.get()) == 0) {
            return 0;
        }
        Ref key = vel::steal(lower_text(seg, g_state->s_lower));
        if (!key || vel::compat::dict_get_ref(dict.get(), key.get(), child) < 0) {
            return -1;
        }
        if (*child != nullptr && !is_node(*child)) {
            vel::expected_type_error("RadixNode", *child);
            Py_CLEAR(*child);
            return -1;
        }
        return 0;
    }

    PyObject *pair(PyObject *route, PyObject *values)  // steals values
    {
        if (values == nullptr) {
            return nullptr;
        }
        PyObject *r = PyTuple_Pack(2, route, values);
        Py_DECREF(values);
        return r;
    }

    PyObject *end_of_path(RadixNodeObject *node)
    {
        if (node->is_leaf && node->route != Py_None) {
            PyObject *names = node->param_names;
            size_t n = captured_.size();
            if (n == 0) {
                return route_pair(node->route, Py_None);
            }
            // Hashing the names may run Python code that replaces the route.
            Ref route = Ref::borrow(node->route);
            Ref hold_names = Ref::borrow(names);
            return pair(route.get(), captured_.dict(names, nullptr, nullptr));
        }
        // The path ends where a wildcard starts: an empty remainder, which
        // satisfies no required suffix.  The values are keyed as for a
        // longer remainder, by the route's names when they fit.
        PyObject *wc = node->wildcard_child;
        if (wc != Py_None && as_node(wc)->route != Py_None && Twin<B>::suffix(node) == Py_None) {
            Ref route = Ref::borrow(as_node(wc)->route);
            Ref names = Ref::borrow(as_node(wc)->param_names);
            return pair(route.get(), captured_.dict(names.get(), wildcard_key(node).get(), g_state->s_empty));
        }
        Py_RETURN_NONE;
    }

    PyObject *remainder(Py_ssize_t index)
    {
        if (index == count_ - 1) {
            return Py_NewRef(PyTuple_GET_ITEM(segments_, index));
        }
        Py_ssize_t total = 0;
        for (Py_ssize_t k = index; k < count_; ++k) {
            PyObject *seg = PyTuple_GET_ITEM(segments_, k);
            if (!Twin<B>::check(seg)) {
                vel::expected_type_error(B ? "bytes" : "str", seg);
                return nullptr;
            }
            total += Twin<B>::length(seg) + 1;
        }
        if constexpr (B) {
            PyObject *out = PyBytes_FromStringAndSize(nullptr, total - 1);
            if (out != nullptr) {
                char *dst = PyBytes_AS_STRING(out);
                for (Py_ssize_t k = index; k < count_; ++k) {
                    PyObject *seg = PyTuple_GET_ITEM(segments_, k);
                    if (k > index) {
                        *dst++ = '/';
                    }
                    std::memcpy(dst, PyBytes_AS_STRING(seg), static_cast<size_t>(PyBytes_GET_SIZE(seg)));
                    dst += PyBytes_GET_SIZE(seg);
                }
            }
            return out;
        } else {
            Ref part = vel::steal(PyTuple_GetSlice(segments_, index, count_));
            return part ? PyUnicode_Join(g_state->s_slash, part.get()) : nullptr;
        }
    }

    PyObject *wildcard(RadixNodeObject *node, Py_ssize_t index)
    {
        PyObject *wc_obj = node->wildcard_child;
        if (wc_obj == Py_None || as_node(wc_obj)->route == Py_None) {
            Py_RETURN_NONE;
        }
        Ref wc = Ref::borrow(wc_obj);
        Ref rest = vel::steal(remainder(index));
        if (!rest) {
            return nullptr;
        }
        Ref suffix = Ref::borrow(Twin<B>::suffix(node));
        if (suffix.get() != Py_None) {
            Ref lowered = vel::steal(lower_text(rest.get(), g_state->s_lower));
            if (lowered && !Twin<B>::check(lowered.get())) {
                // A subclass's lower() is Python code and may return anything.
                vel::expected_type_error(B ? "bytes" : "str", lowered.get());
                lowered = nullptr;
            }
            int ends = lowered ? Twin<B>::ends_with(lowered.get(), suffix.get()) : -1;
            if (ends <= 0) {
                return ends < 0 ? nullptr : Py_NewRef(Py_None);
            }
            Py_ssize_t keep = Twin<B>::length(rest.get()) - Twin<B>::length(suffix.get());
            rest = vel::steal(Twin<B>::slice(rest.get(), 0, keep < 0 ? 0 : keep));
            if (!rest) {
                return nullptr;
            }
        }
        PyObject *value = Twin<B>::decode(rest.get());
        if (value == nullptr) {
            return nullptr;
        }
        Ref hold_value = vel::steal(value);
        RadixNodeObject *child = wc.as<RadixNodeObject>();
        Ref names = Ref::borrow(child->param_names);
        Ref route = Ref::borrow(child->route);
        return pair(route.get(), captured_.dict(names.get(), wildcard_key(node).get(), value));
    }

    PyObject *segments_;
    Py_ssize_t count_;
    vel::SmallStack<Frame, 16> frames_;
    Captured captured_;
};

template <bool B>
PyObject *descend(RadixNodeObject *node, PyObject *segments, Py_ssize_t index, PyObject *values)
{
    Descent<B> descent(segments);
    if (values != nullptr && values != Py_None && !descent.seed(values)) {
        return nullptr;
    }
    return descent.run(node, index);
}

// The table slot takes the caller's list; the walk reads a snapshot of it.
template <bool B>
PyObject *match_recursive(RadixTreeObject *, RadixNodeObject *node, PyObject *segments, Py_ssize_t index,
                          PyObject *values)
{
    if (!PyList_Check(segments)) {
        vel::expected_type_error("list", segments);
        return nullptr;
    }
    Ref snapshot = vel::steal(PyList_AsTuple(segments));
    return snapshot ? descend<B>(node, snapshot.get(), index, values) : nullptr;
}

// Where the "/" separators of a path are, scanned once per lookup over the
// path's code units (one-byte kinds, the common case, without a per-char
// kind switch).
struct Layout {
    bool doubled = false;   // "//" somewhere
    Py_ssize_t count = 0;   // non-empty pieces between "/"
};

template <class T>
Layout scan_units(const T *data, Py_ssize_t n)
{
    Layout out;
    T prev = '/';
    for (Py_ssize_t i = 0; i < n; ++i) {
        T c = data[i];
        out.doubled |= (c == '/' && prev == '/' && i > 0);
        out.count += (c != '/' && prev == '/');
        prev = c;
    }
    return out;
}

Layout scan_path(int kind, const void *data, Py_ssize_t n)
{
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        return scan_units(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return scan_units(static_cast<const Py_UCS2 *>(data), n);
    default:
        return scan_units(static_cast<const Py_UCS4 *>(data), n);
    }
}

// The `count` non-empty pieces of `path[0:n]` between "/" characters.
template <bool B>
PyObject *split_segments(PyObject *path, Py_ssize_t n, Py_ssize_t count)
{
    int kind = Twin<B>::kind(path);
    const void *data = Twin<B>::data(path);
    Ref out = vel::steal(PyTuple_New(count));
    Py_ssize_t start = 0;
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; out && i <= n; ++i) {
        if (i == n || PyUnicode_READ(kind, data, i) == '/') {
            if (i > start && k < count) {
                PyObject *seg = Twin<B>::slice(path, start, i);
                if (seg == nullptr) {
                    return nullptr;
                }
                PyTuple_SET_ITEM(out.get(), k++, seg);
            }
            start = i + 1;
        }
    }
    return out.release();
}

template <bool B>
PyObject *match_path(RadixTreeObject *self, PyObject *path)
{
    int kind = Twin<B>::kind(path);
    const void *data = Twin<B>::data(path);
    Py_ssize_t n = Twin<B>::length(path);
    const Layout layout = scan_path(kind, data, n);
    if (layout.doubled) {
        Py_RETURN_NONE;
    }
    // Hashing the path or comparing a stored key may run Python code that
    // replaces the dict or the root.
    Ref statics = Ref::borrow(B ? self->static_routes_bytes : self->static_routes_str);
    PyObject *hit = nullptr;
    if (vel::compat::dict_get_ref(statics.get(), path, &hit) < 0) {
        return nullptr;
    }
    if (hit != nullptr) {
        Ref route = vel::steal(hit);
        return PyTuple_Pack(2, hit, Py_None);
    }
    Ref stripped = Ref::borrow(path);
    if (n > 1 && PyUnicode_READ(kind, data, n - 1) == '/') {
        while (n > 0 && PyUnicode_READ(kind, data, n - 1) == '/') {
            --n;
        }
        stripped = vel::steal(Twin<B>::slice(path, 0, n));
        if (!stripped || vel::compat::dict_get_ref(statics.get(), stripped.get(), &hit) < 0) {
            return nullptr;
        }
        if (hit != nullptr) {
            Ref route = vel::steal(hit);
            return PyTuple_Pack(2, hit, Py_None);
        }
    }
    Ref hold_root = Ref::borrow(self->root);
    RadixNodeObject *root = hold_root.as<RadixNodeObject>();
    if (n == 0 || (n == 1 && PyUnicode_READ(kind, data, 0) == '/')) {
        if (root->route != Py_None) {
            return route_pair(root->route, Py_None);
        }
        // No segments: the root's wildcard, as at the end of any path.
        Ref none = vel::steal(PyTuple_New(0));
        return none ? descend<B>(root, none.get(), 0, nullptr) : nullptr;
    }
    // Stripping trailing slashes removes no piece, so the count still holds.
    Ref segments = vel::steal(split_segments<B>(path, n, layout.count));
    if (!segments) {
        return nullptr;
    }
    return descend<B>(root, segments.get(), 0, nullptr);
}

}  // namespace

PyObject *match_recursive_str(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments, Py_ssize_t index,
                              PyObject *values)
{
    return match_recursive<false>(self, node, segments, index, values);
}

PyObject *match_recursive_bytes(RadixTreeObject *self, RadixNodeObject *node, PyObject *segments,
                                Py_ssize_t index, PyObject *values)
{
    return match_recursive<true>(self, node, segments, index, values);
}

PyObject *match_str(RadixTreeObject *self, PyObject *path) { return match_path<false>(self, path); }
PyObject *match_bytes(RadixTreeObject *self, PyObject *path) { return match_path<true>(self, path); }

PyObject *match_impl(RadixTreeObject *self, PyObject *path)
{
    if (PyUnicode_Check(path)) {
        return self->vtab->match_str(self, path);
    }
    if (PyBytes_Check(path)) {
        return self->vtab->match_bytes(self, path);
    }
    Ref text = vel::steal(PyObject_Str(path));
    return text ? self->vtab->match_str(self, text.get()) : nullptr;
}

}  // namespace vel::routing
