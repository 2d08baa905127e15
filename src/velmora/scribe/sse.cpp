// Server-sent events: one event as the bytes of the event stream.
#include "scribe/scribe_internal.h"

#include <cstdio>
#include <cstring>

namespace vel::scribe {

namespace {

// A byte buffer that grows in place: on the stack while it is small.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer()
    {
        if (data_ != local_) {
            PyMem_Free(data_);
        }
    }

    bool append(const char *s, size_t n)
    {
        if (size_ + n > capacity_ && !grow(size_ + n)) {
            return false;
        }
        std::memcpy(data_ + size_, s, n);
        size_ += n;
        return true;
    }
    bool append(const char *s) { return append(s, std::strlen(s)); }

    PyObject *to_bytes() const { return PyBytes_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_)); }

private:
    bool grow(size_t needed)
    {
        size_t capacity = capacity_ * 2;
        while (capacity < needed) {
            capacity *= 2;
        }
        char *data = static_cast<char *>(PyMem_Malloc(capacity));
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(data, data_, size_);
        if (data_ != local_) {
            PyMem_Free(data_);
        }
        data_ = data;
        capacity_ = capacity;
        return true;
    }

    char local_[512];
    char *data_ = local_;
    size_t size_ = 0;
    size_t capacity_ = sizeof local_;
};

// The length of the line break at s[i] (CR LF, lone CR or lone LF), or 0.
inline size_t line_break(const char *s, size_t n, size_t i)
{
    if (s[i] == '\n') {
        return 1;
    }
    if (s[i] == '\r') {
        return i + 1 < n && s[i + 1] == '\n' ? 2 : 1;
    }
    return 0;
}

// The UTF-8 of a str field; NULL with no exception for None or "".
bool field_text(PyObject *value, const char **s, Py_ssize_t *n)
{
    *s = nullptr;
    if (value == nullptr || !PyUnicode_Check(value) || PyUnicode_GET_LENGTH(value) == 0) {
        return true;
    }
    *s = PyUnicode_AsUTF8AndSize(value, n);
    return *s != nullptr;
}

// Calls line(start, length) for every line of the text, the empty ones
// included; false as soon as a call fails.
template <class F>
bool each_line(const char *s, size_t n, F &&line)
{
    size_t start = 0;
    for (size_t i = 0; i < n;) {
        size_t br = line_break(s, n, i);
        if (br == 0) {
            ++i;
            continue;
        }
        if (!line(s + start, i - start)) {
            return false;
        }
        i += br;
        start = i;
    }
    return line(s + start, n - start);
}

// prefix + the text with its line breaks removed + LF.
bool append_joined(Buffer &out, const char *prefix, const char *s, size_t n)
{
    return out.append(prefix) && each_line(s, n, [&](const char *p, size_t k) { return out.append(p, k); }) &&
           out.append("\n", 1);
}

// One line of prefix + text + LF for every line of the text.
bool append_lines(Buffer &out, const char *prefix, const char *s, size_t n)
{
    return each_line(s, n, [&](const char *p, size_t k) {
        return out.append(prefix) && out.append(p, k) && out.append("\n", 1);
    });
}

PyObject *event_data_text(contents::ServerSentEventObject *event)
{
    Ref text = steal(g_state->contents->server_sent_event_methods->write_data(event));
    if (text && !PyUnicode_Check(text.get())) {
        if (text.get() == Py_None) {
            PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'encode'");
        } else {
            PyErr_Format(PyExc_TypeError, "write_data() must return str, got %.200s", Py_TYPE(text.get())->tp_name);
        }
        return nullptr;
    }
    return text.release();
}

}  // namespace

PyObject *write_sse(PyObject *arg)
{
    if (!check_arg(arg, g_state->contents->ServerSentEvent_Type, "event", false)) {
        return nullptr;
    }
    auto *event = reinterpret_cast<contents::ServerSentEventObject *>(arg);
    // write_data() may run Python code that changes the event: every field
    // is held from the start.
    Ref id = borrow(event->id), comment = borrow(event->comment), name = borrow(event->event);
    Ref data = borrow(event->data);
    int64_t retry = event->retry;
    Buffer out;
    const char *s;
    Py_ssize_t n = 0;
    if (!field_text(id.get(), &s, &n) || (s != nullptr && !append_joined(out, "id: ", s, n))) {
        return nullptr;
    }
    if (!field_text(comment.get(), &s, &n) || (s != nullptr && !append_lines(out, ": ", s, n))) {
        return nullptr;
    }
    if (!field_text(name.get(), &s, &n) || (s != nullptr && !append_joined(out, "event: ", s, n))) {
        return nullptr;
    }
    int truthy = data ? PyObject_IsTrue(data.get()) : 0;
    if (truthy < 0) {
        return nullptr;
    }
    if (truthy) {
        Ref text = steal(event_data_text(event));
        if (!text || !field_text(text.get(), &s, &n) || (s != nullptr && !append_lines(out, "data: ", s, n))) {
            return nullptr;
        }
    }
    if (retry >= 0) {
        char digits[24];
        int len = std::snprintf(digits, sizeof digits, "retry: %lld\n", static_cast<long long>(retry));
        if (!out.append(digits, static_cast<size_t>(len))) {
            return nullptr;
        }
    }
    return out.append("\n", 1) ? out.to_bytes() : nullptr;
}

namespace {

PyObject *py_write_sse(PyObject *, PyObject *arg) { return write_sse(arg); }

}  // namespace

PyMethodDef sse_functions[] = {
    {"write_sse", py_write_sse, METH_O,
     "write_sse(event, /)\n--\n\nThe event as bytes of the event stream: id, comment lines, event name, "
     "one data line per line of write_data(), retry, and the blank line that ends it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vel::scribe
