// The text work of Request: the query-parameter scan on the raw bytes,
// percent-decoding and -encoding, the Cookie header reader and writer.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "messages/messages_internal.h"
#include "vel/args.hpp"
#include "vel/text.hpp"

namespace vel::messages {

void percent_encode(const char *s, Py_ssize_t n, bool (*keep)(unsigned char), std::string &out)
{
    static const char hex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (keep(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
}

namespace {

// The text of a query value: "+" as a space, then what unquote() makes of
// the bytes decoded as UTF-8 with invalid sequences replaced.
PyObject *query_value_text(const char *s, Py_ssize_t n)
{
    if (std::memchr(s, '+', static_cast<size_t>(n)) == nullptr) {
        return vel::unquote_utf8(s, n, "replace");
    }
    // A fresh buffer: bytes made from data may be a shared one-byte object,
    // which must never be written.
    Ref owner = steal(PyBytes_FromStringAndSize(nullptr, n));
    if (!owner) {
        return nullptr;
    }
    char *buf = PyBytes_AS_STRING(owner.get());
    std::replace_copy(s, s + n, buf, '+', ' ');
    return vel::unquote_utf8(buf, n, "replace");
}

// The raw query as bytes, or a null view when there is none to scan.
struct RawQuery {
    Ref owner;
    std::string_view text;

    // 1 when there is a query, 0 when not, -1 on error.
    int init(RequestObject *self)
    {
        PyObject *q = self->_raw_query;
        if (q == nullptr || q == Py_None) {
            return 0;
        }
        owner = borrow(q);
        if (PyUnicode_Check(q)) {
            owner = steal(PyUnicode_AsLatin1String(q));
            if (!owner) {
                return -1;
            }
        } else if (!PyBytes_Check(q)) {
            return 0;
        }
        text = std::string_view(PyBytes_AS_STRING(owner.get()), static_cast<size_t>(PyBytes_GET_SIZE(owner.get())));
        return text.empty() ? 0 : 1;
    }
};

// The key bytes of a parameter name: bytes as is, str as UTF-8, anything
// else through str().
struct ParamKey {
    Ref owner;
    std::string_view text;

    bool init(PyObject *name)
    {
        if (PyBytes_Check(name)) {
            owner = borrow(name);
        } else {
            Ref s = PyUnicode_Check(name) ? borrow(name) : steal(PyObject_Str(name));
            owner = s ? steal(PyUnicode_AsUTF8String(s.get())) : Ref();
            if (!owner) {
                return false;
            }
        }
        text = std::string_view(PyBytes_AS_STRING(owner.get()), static_cast<size_t>(PyBytes_GET_SIZE(owner.get())));
        return true;
    }
};

inline bool is_separator(char c) { return c == '&' || c == ';'; }

// Calls on_value(decoded) for each value of `key` in `query`, in order;
// on_value returns 0 to go on, 1 to stop, -1 on error.
template <class F>
int scan_query(std::string_view query, std::string_view key, F on_value)
{
    const char *q = query.data();
    const size_t n = query.size();
    const size_t k = key.size();
    size_t pos = 0;
    while (pos <= n) {
        size_t end = pos;
        while (end < n && !is_separator(q[end])) {
            ++end;
        }
        // The segment [pos, end): key, then "=" or nothing.
        if (end - pos >= k && std::memcmp(q + pos, key.data(), k) == 0 && (end - pos == k || q[pos + k] == '=')) {
            const char *v = end - pos == k ? q + end : q + pos + k + 1;
            Py_ssize_t vn = q + end - v;
            Ref value = steal(query_value_text(v, vn));
            if (!value) {
                return -1;
            }
            int rc = on_value(value.get());
            if (rc != 0) {
                return rc < 0 ? -1 : 0;
            }
        }
        pos = end + 1;
    }
    return 0;
}

}  // namespace

PyObject *get_query_param_impl(RequestObject *self, PyObject *name, PyObject *default_)
{
    RawQuery query;
    int present = name == Py_None ? 0 : query.init(self);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(default_);
    }
    ParamKey key;
    if (!key.init(name)) {
        return nullptr;
    }
    Ref found;
    int rc = scan_query(query.text, key.text, [&](PyObject *value) {
        found = borrow(value);
        return 1;
    });
    if (rc < 0) {
        return nullptr;
    }
    return found ? found.release() : Py_NewRef(default_);
}

PyObject *get_query_params_impl(RequestObject *self, PyObject *name)
{
    Ref result = steal(PyList_New(0));
    RawQuery query;
    int present = !result || name == Py_None ? 0 : query.init(self);
    if (present <= 0) {
        return present < 0 ? nullptr : result.release();
    }
    ParamKey key;
    if (!key.init(name)) {
        return nullptr;
    }
    int rc = scan_query(query.text, key.text, [&](PyObject *value) { return PyList_Append(result.get(), value); });
    return rc < 0 ? nullptr : result.release();
}

// ---------------------------------------------------------------- cookies

namespace {

// Calls on_pair(name_bytes, value_bytes) for each "name=value" part of a
// Cookie header (bytes), in order: parts are separated by ";" with
// optional spaces after it; parts without "=" are skipped.  Returns
// on_pair's first non-zero result, else 0.
template <class F>
int cookie_parts(PyObject *header, F &on_pair)
{
    const char *s = PyBytes_AS_STRING(header);
    Py_ssize_t n = PyBytes_GET_SIZE(header);
    Py_ssize_t pos = 0;
    while (pos < n) {
        while (pos < n && (s[pos] == ' ' || s[pos] == '\t')) {
            ++pos;
        }
        Py_ssize_t end = pos;
        while (end < n && s[end] != ';') {
            ++end;
        }
        const char *eq = static_cast<const char *>(std::memchr(s + pos, '=', static_cast<size_t>(end - pos)));
        if (eq != nullptr) {
            Py_ssize_t vend = end;
            while (vend > eq + 1 - s && (s[vend - 1] == ' ' || s[vend - 1] == ';')) {
                --vend;
            }
            std::string_view name(s + pos, static_cast<size_t>(eq - s - pos));
            std::string_view value(eq + 1, static_cast<size_t>(vend - (eq + 1 - s)));
            int rc = on_pair(name, value);
            if (rc != 0) {
                return rc;
            }
        }
        pos = end + 1;
    }
    return 0;
}

template <class F>
int call_visitor(PyObject *value, void *context)
{
    return (*static_cast<F *>(context))(value);
}

// cookie_parts over every Cookie header, as get_headers(b"cookie") gives
// them (a subclass's get_headers is used; the module's own classes are
// read in place).  Returns -1 on error, else 0.
template <class F>
int scan_cookies(RequestObject *self, F on_pair)
{
    auto each = [&](PyObject *header) -> int {
        if (!PyBytes_Check(header)) {
            return vel::expected_type_error("bytes", header) ? 0 : -1;
        }
        return cookie_parts(header, on_pair);
    };
    if (Py_IS_TYPE(O(self), g_state->Request_Type)) {
        return visit_header_values(&self->base, g_state->b_cookie, call_visitor<decltype(each)>, &each);
    }
    Ref headers = steal(t_get_headers(&self->base, g_state->b_cookie));
    if (!headers) {
        return -1;
    }
    for (Py_ssize_t h = 0; h < PyList_GET_SIZE(headers.get()); ++h) {
        int rc = each(PyList_GET_ITEM(headers.get(), h));
        if (rc != 0) {
            return rc < 0 ? -1 : 0;
        }
    }
    return 0;
}

// A cookie name or value: unquote() of the UTF-8 text, a bad byte from the
// client replaced rather than failing the whole Cookie header.
inline PyObject *cookie_text(std::string_view raw)
{
    return vel::unquote_utf8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace");
}

}  // namespace

PyObject *request_cookies(RequestObject *self)
{
    Ref result = steal(PyDict_New());
    if (!result) {
        return nullptr;
    }
    int rc = scan_cookies(self, [&](std::string_view name, std::string_view value) {
        Ref key = steal(cookie_text(name));
        Ref text = key ? steal(cookie_text(value)) : Ref();
        return text && PyDict_SetItem(result.get(), key.get(), text.get()) == 0 ? 0 : -1;
    });
    return rc < 0 ? nullptr : result.release();
}

PyObject *request_get_cookie(RequestObject *self, PyObject *name)
{
    if (!vel::check_arg_exact(name, &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    Py_ssize_t wanted_len;
    const char *wanted = PyUnicode_AsUTF8AndSize(name, &wanted_len);
    if (wanted == nullptr) {
        // A name with lone surrogates is not text any cookie decodes to.
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    std::string_view want(wanted, static_cast<size_t>(wanted_len));
    Ref found;
    int rc = scan_cookies(self, [&](std::string_view raw_name, std::string_view value) {
        int same = raw_name == want;
        if (!same && (raw_name.find('%') != std::string_view::npos ||
                      std::any_of(raw_name.begin(), raw_name.end(), [](char c) { return (c & 0x80) != 0; }))) {
            Ref decoded = steal(cookie_text(raw_name));
            same = decoded ? PyUnicode_Compare(decoded.get(), name) == 0 : -1;
            if (same < 0 || PyErr_Occurred()) {
                return -1;
            }
        }
        if (same) {
            found = steal(cookie_text(value));
            return found ? 0 : -1;
        }
        return 0;
    });
    if (rc < 0) {
        return nullptr;
    }
    return found ? found.release() : Py_NewRef(Py_None);
}

namespace {

inline bool quote_safe(unsigned char c)
{
    return Py_ISALNUM(c) || c == '_' || c == '.' || c == '-' || c == '~' || c == '/';
}

// urllib.parse.quote with its default safe characters ("/" and the
// unreserved ones), appended to `out` as bytes.
bool quote_into(PyObject *text, std::string &out)
{
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(text, &n);
    if (s == nullptr) {
        return false;
    }
    percent_encode(s, n, quote_safe, out);
    return true;
}

}  // namespace

// Adds the pair to the request's one Cookie header: the existing Cookie
// headers (several are allowed on HTTP/2) are joined with "; " and the new
// pair appended, so that every cookie reads back on its own.
PyObject *request_set_cookie(RequestObject *self, PyObject *name, PyObject *value)
{
    if (!vel::check_arg_exact(name, &PyUnicode_Type, "name", false) ||
        !vel::check_arg_exact(value, &PyUnicode_Type, "value", false)) {
        return nullptr;
    }
    std::string pair;
    if (!quote_into(name, pair)) {
        return nullptr;
    }
    pair.push_back('=');
    if (!quote_into(value, pair)) {
        return nullptr;
    }
    Ref existing = steal(t_get_headers(&self->base, g_state->b_cookie));
    if (!existing) {
        return nullptr;
    }
    std::string joined;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(existing.get()); ++i) {
        PyObject *header = PyList_GET_ITEM(existing.get(), i);
        if (!PyBytes_Check(header)) {
            vel::expected_type_error("bytes", header);
            return nullptr;
        }
        joined.append(PyBytes_AS_STRING(header), static_cast<size_t>(PyBytes_GET_SIZE(header)));
        joined.append("; ");
    }
    bool had = PyList_GET_SIZE(existing.get()) > 0;
    joined.append(pair);
    Ref encoded = steal(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
    if (!encoded) {
        return nullptr;
    }
    int rc = had ? t_set_header(&self->base, g_state->b_cookie, encoded.get())
                 : MESSAGE_METHODS._add_header(&self->base, g_state->b_cookie, encoded.get());
    return rc < 0 ? nullptr : Py_NewRef(Py_None);
}

// ---------------------------------------------------------------- query mapping

PyObject *request_query(RequestObject *self)
{
    PyObject *q = self->_raw_query;
    if (q != nullptr && PyUnicode_Check(q) && PyUnicode_GET_LENGTH(q) > 0) {
        return PyObject_CallOneArg(g_state->parse_qs, q);
    }
    if (q != nullptr && PyBytes_Check(q) && PyBytes_GET_SIZE(q) > 0) {
        // UTF-8 like the parameter scan, so both read the same text.
        Ref text = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(q), PyBytes_GET_SIZE(q), "replace"));
        return text ? PyObject_CallOneArg(g_state->parse_qs, text.get()) : nullptr;
    }
    return PyDict_New();
}

}  // namespace vel::messages
