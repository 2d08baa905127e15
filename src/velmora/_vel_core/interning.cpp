// Interning tables: open-addressing hash tables from a byte string to one
// shared Python object.  Built once under the interpreter lock, read-only
// afterwards.
#include "interning.h"
#include "tables.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kHeaderNames[] = {
    "accept", "accept-charset", "accept-encoding", "accept-language", "accept-ranges",
    "access-control-allow-credentials", "access-control-allow-headers",
    "access-control-allow-methods", "access-control-allow-origin",
    "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "age", "allow",
    "alt-svc", "authorization", "cache-control", "connection", "content-disposition",
    "content-encoding", "content-language", "content-length", "content-location",
    "content-range", "content-security-policy", "content-type", "cookie", "date", "dnt",
    "etag", "expect", "expires", "forwarded", "from", "host", "hx-boosted",
    "hx-current-url", "hx-history-restore-request", "hx-prompt", "hx-request", "hx-target",
    "hx-trigger", "hx-trigger-name", "if-match", "if-modified-since", "if-none-match",
    "if-range", "if-unmodified-since", "keep-alive", "last-modified", "link", "location",
    "max-forwards", "origin", "pragma", "priority", "proxy-authenticate",
    "proxy-authorization", "range", "referer", "referrer-policy", "retry-after",
    "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "sec-fetch-dest",
    "sec-fetch-mode", "sec-fetch-site", "sec-fetch-user", "sec-websocket-accept",
    "sec-websocket-extensions", "sec-websocket-key", "sec-websocket-protocol",
    "sec-websocket-version", "server", "set-cookie", "strict-transport-security", "te",
    "trailer", "transfer-encoding", "upgrade", "upgrade-insecure-requests", "user-agent",
    "vary", "via", "warning", "www-authenticate", "x-content-type-options",
    "x-correlation-id", "x-csrf-token", "x-forwarded-for", "x-forwarded-host",
    "x-forwarded-port", "x-forwarded-proto", "x-frame-options", "x-real-ip",
    "x-request-id", "x-requested-with", "x-xss-protection",
};

constexpr std::string_view kMethods[] = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
};

constexpr std::string_view kContentTypes[] = {
    "application/json", "application/json; charset=utf-8", "application/json; charset=UTF-8",
    "application/json;charset=utf-8", "application/problem+json",
    "application/x-www-form-urlencoded", "application/x-www-form-urlencoded; charset=utf-8",
    "application/octet-stream", "application/xml", "application/xml; charset=utf-8",
    "application/javascript", "application/pdf", "application/zip", "application/msgpack",
    "multipart/form-data", "text/plain", "text/plain; charset=utf-8",
    "text/plain; charset=UTF-8", "text/plain;charset=utf-8", "text/html",
    "text/html; charset=utf-8", "text/html; charset=UTF-8", "text/html;charset=utf-8",
    "text/css", "text/css; charset=utf-8", "text/javascript",
    "text/javascript; charset=utf-8", "text/xml", "text/xml; charset=utf-8", "text/csv",
    "text/csv; charset=utf-8", "text/event-stream", "image/png", "image/jpeg", "image/gif",
    "image/webp", "image/svg+xml", "image/x-icon", "image/avif", "font/woff", "font/woff2",
};

class InternTable {
public:
    // Returns 0, or -1 with an exception set.
    template <size_t N>
    int build(const std::string_view (&keys)[N], PyObject *(*make)(std::string_view))
    {
        static_assert(N * 3 < kSlots, "interning table too full");
        slots_ = {};
        for (std::string_view key : keys) {
            PyObject *obj = make(key);
            if (obj == nullptr) {
                return -1;
            }
            size_t i = slot_for(key.data(), key.size());
            while (slots_[i].obj != nullptr) {
                i = (i + 1) & (kSlots - 1);
            }
            slots_[i] = Slot{key.data(), key.size(), obj};  // owns the reference for good
        }
        return 0;
    }

    PyObject *find(const char *data, size_t length) const
    {
        if (length == 0 || length > kMaxKey) {
            return nullptr;
        }
        for (size_t i = slot_for(data, length);; i = (i + 1) & (kSlots - 1)) {
            const Slot &s = slots_[i];
            if (s.obj == nullptr) {
                return nullptr;
            }
            if (s.length == length && std::memcmp(s.data, data, length) == 0) {
                return s.obj;
            }
        }
    }

    // New tuple of the table's objects in slot order, or NULL with an exception.
    PyObject *entries() const
    {
        PyObject *list = PyList_New(0);
        for (const Slot &s : slots_) {
            if (list != nullptr && s.obj != nullptr && PyList_Append(list, s.obj) < 0) {
                Py_CLEAR(list);
            }
        }
        PyObject *tuple = list != nullptr ? PyList_AsTuple(list) : nullptr;
        Py_XDECREF(list);
        return tuple;
    }

private:
    static constexpr size_t kSlots = 512;
    static constexpr size_t kMaxKey = 64;

    struct Slot {
        const char *data;
        size_t length;
        PyObject *obj;
    };

    // A few sampled bytes and the length: cheap, and enough to spread the
    // short, well-known keys these tables hold.
    static size_t slot_for(const char *data, size_t length)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(data);
        uint32_t h = static_cast<uint32_t>(length) * 0x9E3779B1u;
        h ^= p[0] * 0x85EBCA77u;
        h ^= p[length - 1] * 0xC2B2AE3Du;
        h ^= p[length / 2] * 0x27D4EB2Fu;
        h ^= p[length / 3] * 0x165667B1u;
        h ^= h >> 15;
        return h & (kSlots - 1);
    }

    std::array<Slot, kSlots> slots_{};
};

InternTable g_header_names;
InternTable g_methods;
InternTable g_content_types;
bool g_ready = false;

PyObject *make_bytes(std::string_view s)
{
    return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject *make_interned_str(std::string_view s)
{
    PyObject *str = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (str != nullptr) {
        PyUnicode_InternInPlace(&str);
    }
    return str;
}

}  // namespace

int vel_core_abi_version(void) { return VEL_CORE_ABI_VERSION; }

int vel_core_init(void)
{
    if (g_ready) {
        return 0;
    }
    if (g_header_names.build(kHeaderNames, make_bytes) < 0 ||
        g_methods.build(kMethods, make_interned_str) < 0 ||
        g_content_types.build(kContentTypes, make_bytes) < 0) {
        return -1;
    }
    g_ready = true;
    return 0;
}

PyObject *get_interned_header_name_bytes(const char *data, size_t length)
{
    return g_header_names.find(data, length);
}

PyObject *get_interned_method_str(const char *data, size_t length)
{
    return g_methods.find(data, length);
}

PyObject *get_interned_content_type_bytes(const char *data, size_t length)
{
    return g_content_types.find(data, length);
}

PyObject *vel_core_table_entries(VelTable table)
{
    switch (table) {
    case VelTable::header_names: return g_header_names.entries();
    case VelTable::methods: return g_methods.entries();
    case VelTable::content_types: return g_content_types.entries();
    }
    PyErr_SetString(PyExc_ValueError, "unknown interning table");
    return nullptr;
}
