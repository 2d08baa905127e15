// The text side of cookies: cookie dates, percent-encoding, the Set-Cookie
// writer and the Set-Cookie parser.  Everything works on the UTF-8 bytes and
// builds each result object once; the e-mail date parser of the standard
// library is only called for the rare dates whose native handling would not
// give exactly its result.
#include <Python.h>
#include <datetime.h>

#include <cstring>
#include <string>

#include "cookies/cookies_internal.h"
#include "vel/args.hpp"
#include "vel/ref.hpp"
#include "vel/text.hpp"

namespace vel::cookies {

namespace {

using vel::Ref;
using vel::steal;
using vel::borrow;

// ---------------------------------------------------------------- dates

// Fixed English names: cookie dates never follow the process locale.
constexpr char DAY_NAMES[7][4] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr char MONTH_NAMES[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Longest text a cookie date can take (a five-digit year never occurs).
constexpr int DATE_CAPACITY = 32;

bool is_leap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month)
{
    return month == 2 && is_leap(year) ? 29 : DAYS_IN_MONTH[month - 1];
}

// 0 for Monday, proleptic Gregorian like datetime.weekday().
int weekday(int year, int month, int day)
{
    long y = year - 1;
    long ordinal = y * 365 + y / 4 - y / 100 + y / 400 + DAYS_BEFORE_MONTH[month - 1] +
                   (month > 2 && is_leap(year) ? 1 : 0) + day;
    return static_cast<int>((ordinal + 6) % 7);
}

char *put2(char *out, int n)
{
    out[0] = static_cast<char>('0' + n / 10);
    out[1] = static_cast<char>('0' + n % 10);
    return out + 2;
}

// "Wdy, DD Mon YYYY HH:MM:SS GMT".  The year is printed without padding,
// as strftime's %Y does for years before 1000.
int format_date(char *out, int year, int month, int day, int hour, int minute, int second)
{
    char *p = out;
    std::memcpy(p, DAY_NAMES[weekday(year, month, day)], 3);
    p += 3;
    *p++ = ',';
    *p++ = ' ';
    p = put2(p, day);
    *p++ = ' ';
    std::memcpy(p, MONTH_NAMES[month - 1], 3);
    p += 3;
    *p++ = ' ';
    char digits[8];
    int nd = 0;
    for (int y = year; y > 0 || nd == 0; y /= 10) {
        digits[nd++] = static_cast<char>('0' + y % 10);
    }
    while (nd > 0) {
        *p++ = digits[--nd];
    }
    *p++ = ' ';
    p = put2(p, hour);
    *p++ = ':';
    p = put2(p, minute);
    *p++ = ':';
    p = put2(p, second);
    std::memcpy(p, " GMT", 4);
    p += 4;
    return static_cast<int>(p - out);
}

bool delta_is_zero(PyObject *delta)
{
    return PyDateTime_DELTA_GET_DAYS(delta) == 0 && PyDateTime_DELTA_GET_SECONDS(delta) == 0 &&
           PyDateTime_DELTA_GET_MICROSECONDS(delta) == 0;
}

// The UTC offset of an aware datetime as a timedelta (new reference), or
// None when it is naive or its zone gives no offset; NULL on error.
PyObject *utc_offset(PyObject *dt)
{
    if (PyDateTime_DATE_GET_TZINFO(dt) == Py_None) {
        return Py_NewRef(Py_None);
    }
    return PyObject_CallMethodNoArgs(dt, g_state->str_utcoffset);
}

// An aware datetime moved to UTC (still carrying its tzinfo; only the
// fields matter to the callers); the datetime itself when it is naive or
// already at offset zero.
PyObject *fields_in_utc(PyObject *dt)
{
    Ref offset = steal(utc_offset(dt));
    if (!offset) {
        return nullptr;
    }
    if (offset.get() == Py_None || !PyDelta_Check(offset.get()) || delta_is_zero(offset.get())) {
        return Py_NewRef(dt);
    }
    PyObject *moved = PyNumber_Subtract(dt, offset.get());
    if (moved != nullptr && !PyDateTime_Check(moved)) {
        PyErr_Format(PyExc_TypeError, "Expected datetime.datetime, got %.200s", Py_TYPE(moved)->tp_name);
        Py_CLEAR(moved);
    }
    return moved;
}

// Formats a datetime (any subclass) into out[DATE_CAPACITY]; the length,
// or -1 with an exception set.  Aware datetimes are converted to UTC first,
// so that the text labelled GMT names the right instant.
int cookie_date(PyObject *dt, char *out)
{
    Ref utc = steal(fields_in_utc(dt));
    if (!utc) {
        return -1;
    }
    PyObject *d = utc.get();
    return format_date(out, PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d),
                       PyDateTime_DATE_GET_HOUR(d), PyDateTime_DATE_GET_MINUTE(d),
                       PyDateTime_DATE_GET_SECOND(d));
}

int two_digits(const char *p)
{
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') {
        return -1;
    }
    return (p[0] - '0') * 10 + (p[1] - '0');
}

int name_index(const char *p, const char (*names)[4], int count)
{
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(p, names[i], 3) == 0) {
            return i;
        }
    }
    return -1;
}

// The RFC 1123 form exactly as this module writes it, with a valid date:
// the case in which the e-mail date parser would return these very fields
// in UTC.  Years before 1000 are left to it (it reads two-digit years as
// 19xx / 20xx, and "0099" is one).  Returns a naive datetime, or NULL
// without an exception when the text is not of this form.
PyObject *parse_rfc1123(const char *s, Py_ssize_t n)
{
    // 0         1         2
    // 01234567890123456789012345678
    // Wed, 21 Oct 2015 07:28:00 GMT
    if (n != 29 || s[3] != ',' || s[4] != ' ' || s[7] != ' ' || s[11] != ' ' || s[16] != ' ' ||
        s[19] != ':' || s[22] != ':' || std::memcmp(s + 25, " GMT", 4) != 0 ||
        name_index(s, DAY_NAMES, 7) < 0) {
        return nullptr;
    }
    int month = name_index(s + 8, MONTH_NAMES, 12) + 1;
    int day = two_digits(s + 5);
    int century = two_digits(s + 12);
    int year_low = two_digits(s + 14);
    int hour = two_digits(s + 17);
    int minute = two_digits(s + 20);
    int second = two_digits(s + 23);
    if (month == 0 || day < 1 || century < 10 || year_low < 0 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return nullptr;
    }
    int year = century * 100 + year_low;
    if (day > days_in_month(year, month)) {
        return nullptr;
    }
    return PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, 0);
}

// The e-mail date parser's result as a naive datetime in UTC.
PyObject *parse_with_email_utils(const char *s, Py_ssize_t n)
{
    Ref text = steal(PyUnicode_DecodeUTF8(s, n, "strict"));
    if (!text) {
        return nullptr;
    }
    Ref parsed = steal(PyObject_CallOneArg(g_state->parsedate_to_datetime, text.get()));
    if (!parsed) {
        return nullptr;
    }
    if (!PyDateTime_Check(parsed.get())) {
        vel::expected_type_error("datetime.datetime", parsed.get());
        return nullptr;
    }
    Ref utc = steal(fields_in_utc(parsed.get()));
    if (!utc) {
        return nullptr;
    }
    PyObject *d = utc.get();
    return PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d),
                                      PyDateTime_DATE_GET_HOUR(d), PyDateTime_DATE_GET_MINUTE(d),
                                      PyDateTime_DATE_GET_SECOND(d), PyDateTime_DATE_GET_MICROSECOND(d));
}

PyObject *parse_date(const char *s, Py_ssize_t n)
{
    PyObject *fast = parse_rfc1123(s, n);
    if (fast != nullptr || PyErr_Occurred()) {
        return fast;
    }
    return parse_with_email_utils(s, n);
}

// ---------------------------------------------------- percent-encoding

// urllib.parse.quote's defaults: letters, digits, "_.-~" and "/" stay.
struct SafeTable {
    bool safe[256] = {};
    constexpr SafeTable()
    {
        for (int c = '0'; c <= '9'; ++c) safe[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) safe[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) safe[c] = true;
        for (char c : {'_', '.', '-', '~', '/'}) safe[static_cast<unsigned char>(c)] = true;
    }
};
constexpr SafeTable QUOTE_SAFE;
constexpr char HEX_UPPER[] = "0123456789ABCDEF";

Py_ssize_t quoted_length(const char *s, Py_ssize_t n)
{
    Py_ssize_t length = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        length += QUOTE_SAFE.safe[static_cast<unsigned char>(s[i])] ? 0 : 2;
    }
    return length;
}

char *quote_into(char *out, const char *s, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (QUOTE_SAFE.safe[c]) {
            *out++ = static_cast<char>(c);
        } else {
            out[0] = '%';
            out[1] = HEX_UPPER[c >> 4];
            out[2] = HEX_UPPER[c & 15];
            out += 3;
        }
    }
    return out;
}

// ----------------------------------------------------------- the writer

constexpr Py_ssize_t lit(const char *text) { return static_cast<Py_ssize_t>(std::char_traits<char>::length(text)); }

char *put(char *out, const char *s, Py_ssize_t n)
{
    std::memcpy(out, s, static_cast<size_t>(n));
    return out + n;
}

// A part "; <label><text>" of the header value.
char *put_part(char *out, const char *label, Py_ssize_t label_length, const char *s, Py_ssize_t n)
{
    out[0] = ';';
    out[1] = ' ';
    return put(put(out + 2, label, label_length), s, n);
}

// Domain and Path go out as they are: a control character (CR and LF
// above all) or a ';' would end the attribute and inject others, or a
// header, into the response.
bool check_attribute(const char *label, PyObject *text, const char *s, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || c == ';') {
            PyObject *message = PyUnicode_FromFormat("Invalid character in the cookie %s: %R", label, text);
            if (message != nullptr) {
                PyErr_SetObject(g_state->cookie_error, message);
                Py_DECREF(message);
            }
            return false;
        }
    }
    return true;
}

// UTF-8 of a non-empty Domain / Path, checked; *s stays NULL when absent.
bool attribute_text(const char *label, PyObject *text, const char **s, Py_ssize_t *n)
{
    *s = nullptr;
    *n = 0;
    if (text == Py_None || PyUnicode_GET_LENGTH(text) == 0) {
        return true;
    }
    *s = PyUnicode_AsUTF8AndSize(text, n);
    return *s != nullptr && check_attribute(label, text, *s, *n);
}

// The UTF-8 that quote() would encode; quote() rejects None and anything
// that is neither str nor bytes with this TypeError.
const char *quotable_utf8(PyObject *text, Py_ssize_t *n)
{
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "quote_from_bytes() expected bytes");
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(text, n);
}

constexpr const char SAME_SITE_TEXT[4][16] = {"", "SameSite=Lax", "SameSite=Strict", "SameSite=None"};

// The fields of a cookie being written, held and read once: the expiry's
// tzinfo and a Domain or Path repr run Python code, which may assign new
// values to the cookie while its text is in use.
struct CookieSnapshot {
    Ref name, value, expires, domain, path;
    int http_only, secure;
    int64_t max_age;
    uint32_t same_site;

    explicit CookieSnapshot(const CookieObject *c)
        : name(borrow(c->name)), value(borrow(c->value)), expires(borrow(c->expires)), domain(borrow(c->domain)),
          path(borrow(c->path)), http_only(c->http_only), secure(c->secure), max_age(c->max_age),
          same_site(c->same_site)
    {
    }
};

PyObject *write_cookie(const CookieSnapshot &c)
{
    Py_ssize_t name_n, value_n, domain_n, path_n;
    const char *name = quotable_utf8(c.name.get(), &name_n);
    const char *value = name != nullptr ? quotable_utf8(c.value.get(), &value_n) : nullptr;
    if (value == nullptr) {
        return nullptr;
    }
    const char *domain;
    const char *path;
    if (!attribute_text("Domain", c.domain.get(), &domain, &domain_n) ||
        !attribute_text("Path", c.path.get(), &path, &path_n)) {
        return nullptr;
    }
    char date[DATE_CAPACITY];
    int date_n = c.expires.get() != Py_None ? cookie_date(c.expires.get(), date) : 0;
    if (date_n < 0) {
        return nullptr;
    }
    char age[24];
    int age_n = 0;
    if (c.max_age >= 0) {
        char reversed[24];
        uint64_t v = static_cast<uint64_t>(c.max_age);
        do {
            reversed[age_n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (int i = 0; i < age_n; ++i) {
            age[i] = reversed[age_n - 1 - i];
        }
    }
    auto mode = static_cast<CookieSameSiteMode>(c.same_site);
    bool secure = c.secure || mode == CookieSameSiteMode::STRICT || mode == CookieSameSiteMode::NONE;
    const char *same_site = c.same_site < 4 ? SAME_SITE_TEXT[c.same_site] : "";
    Py_ssize_t same_site_n = lit(same_site);

    Py_ssize_t name_q = quoted_length(name, name_n);
    Py_ssize_t value_q = quoted_length(value, value_n);
    Py_ssize_t total = name_q + 1 + value_q;
    total += date_n ? 2 + lit("Expires=") + date_n : 0;
    total += age_n ? 2 + lit("Max-Age=") + age_n : 0;
    total += domain ? 2 + lit("Domain=") + domain_n : 0;
    total += path ? 2 + lit("Path=") + path_n : 0;
    total += c.http_only ? 2 + lit("HttpOnly") : 0;
    total += secure ? 2 + lit("Secure") : 0;
    total += same_site_n ? 2 + same_site_n : 0;

    PyObject *result = PyBytes_FromStringAndSize(nullptr, total);
    if (result == nullptr) {
        return nullptr;
    }
    char *out = PyBytes_AS_STRING(result);
    out = name_q == name_n ? put(out, name, name_n) : quote_into(out, name, name_n);
    *out++ = '=';
    out = value_q == value_n ? put(out, value, value_n) : quote_into(out, value, value_n);
    if (date_n) out = put_part(out, "Expires=", lit("Expires="), date, date_n);
    if (age_n) out = put_part(out, "Max-Age=", lit("Max-Age="), age, age_n);
    if (domain) out = put_part(out, "Domain=", lit("Domain="), domain, domain_n);
    if (path) out = put_part(out, "Path=", lit("Path="), path, path_n);
    if (c.http_only) out = put_part(out, "HttpOnly", lit("HttpOnly"), "", 0);
    if (secure) out = put_part(out, "Secure", lit("Secure"), "", 0);
    if (same_site_n) out = put_part(out, same_site, same_site_n, "", 0);
    return result;
}

// ----------------------------------------------------------- the parser

struct Span {
    const char *s = nullptr;
    Py_ssize_t n = 0;
};

// Case-insensitive (ASCII) match against a lower-case word, no trimming.
bool is_word(Span text, const char *lower)
{
    Py_ssize_t n = lit(lower);
    if (text.n != n) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (vel::ascii_lower(text.s[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

const char *find(Span text, const char *needle, Py_ssize_t needle_n)
{
    return static_cast<const char *>(memmem(text.s, static_cast<size_t>(text.n), needle, static_cast<size_t>(needle_n)));
}

CookieSameSiteMode same_site_mode(Span text)
{
    if (is_word(text, "strict")) return CookieSameSiteMode::STRICT;
    if (is_word(text, "lax")) return CookieSameSiteMode::LAX;
    if (is_word(text, "none")) return CookieSameSiteMode::NONE;
    return CookieSameSiteMode::UNDEFINED;
}

// int(b"...") as a signed 64-bit integer.  Plain decimal literals are read
// here; anything else (spaces, underscores, errors) is left to int().
bool parse_max_age(Span text, int64_t *out)
{
    Py_ssize_t i = 0;
    bool negative = false;
    if (text.n > 0 && (text.s[0] == '-' || text.s[0] == '+')) {
        negative = text.s[0] == '-';
        i = 1;
    }
    if (text.n > i && text.n - i <= 18) {
        int64_t v = 0;
        Py_ssize_t j = i;
        for (; j < text.n && text.s[j] >= '0' && text.s[j] <= '9'; ++j) {
            v = v * 10 + (text.s[j] - '0');
        }
        if (j == text.n) {
            *out = negative ? -v : v;
            return true;
        }
    }
    Ref raw = steal(PyBytes_FromStringAndSize(text.s, text.n));
    return raw && take_max_age(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyLong_Type), raw.get()), out);
}

// ValueError "Invalid name=value fragment: b'...'" in the context of the
// lookup's own ValueError, as the bytes method index would have raised it.
void invalid_fragment(Span part)
{
    PyErr_SetString(PyExc_ValueError, "subsection not found");
    PyObject *context = vel::compat::take_exception();
    Ref raw = steal(PyBytes_FromStringAndSize(part.s, part.n));
    if (raw) {
        PyErr_Format(PyExc_ValueError, "Invalid name=value fragment: %R", raw.get());
        PyObject *exc = vel::compat::take_exception();
        PyException_SetContext(exc, context);  // steals context
        context = nullptr;
        vel::compat::restore_exception(exc);
    }
    Py_XDECREF(context);
}

struct Parsed {
    Span name, value, expires, domain, path, same_site;
    int http_only = 0;
    int secure = 0;
    int64_t max_age = -1;
};

bool parse_attribute(Span part, Parsed *p)
{
    const char *eq = static_cast<const char *>(std::memchr(part.s, '=', static_cast<size_t>(part.n)));
    if (eq == nullptr) {
        p->http_only |= is_word(part, "httponly");
        p->secure |= is_word(part, "secure");
        return true;
    }
    Span key{part.s, eq - part.s};
    Span value{eq + 1, part.n - (eq + 1 - part.s)};
    if (is_word(key, "expires")) {
        p->expires = value;
    } else if (is_word(key, "domain")) {
        p->domain = value;
    } else if (is_word(key, "path")) {
        p->path = value;
    } else if (is_word(key, "max-age")) {
        return parse_max_age(value, &p->max_age);
    } else if (is_word(key, "samesite")) {
        p->same_site = value;
    }
    return true;
}

// Splits on "; " when the header uses it anywhere, else on ";".
bool split_header(Span raw, Parsed *p)
{
    bool wide = find(raw, "; ", 2) != nullptr;
    Py_ssize_t sep_n = wide ? 2 : 1;
    const char *end = raw.s + raw.n;
    const char *start = raw.s;
    bool first = true;
    while (true) {
        Span rest{start, end - start};
        const char *sep = find(rest, wide ? "; " : ";", sep_n);
        Span part{start, (sep ? sep : end) - start};
        if (first) {
            const char *eq = static_cast<const char *>(std::memchr(part.s, '=', static_cast<size_t>(part.n)));
            if (eq == nullptr) {
                invalid_fragment(part);
                return false;
            }
            p->name = Span{part.s, eq - part.s};
            p->value = Span{eq + 1, part.n - (eq + 1 - part.s)};
            first = false;
        } else if (!parse_attribute(part, p)) {
            return false;
        }
        if (sep == nullptr) {
            return true;
        }
        start = sep + sep_n;
    }
}

// A quoted value holding a space loses all its surrounding quotes.
Span unquoted_value(Span v)
{
    if (v.n == 0 || v.s[0] != '"' || std::memchr(v.s, ' ', static_cast<size_t>(v.n)) == nullptr) {
        return v;
    }
    while (v.n > 0 && v.s[0] == '"') {
        ++v.s;
        --v.n;
    }
    while (v.n > 0 && v.s[v.n - 1] == '"') {
        --v.n;
    }
    return v;
}

// Non-empty bytes decoded as UTF-8, else None.
PyObject *optional_text(Span text)
{
    return text.n > 0 ? PyUnicode_DecodeUTF8(text.s, text.n, "strict") : Py_NewRef(Py_None);
}

PyObject *build_cookie(const Parsed &p)
{
    Span value = unquoted_value(p.value);
    // Percent-decoded the way urllib.parse.unquote does it.
    Ref name = steal(vel::unquote_utf8(p.name.s, p.name.n, "strict"));
    Ref text = name ? steal(vel::unquote_utf8(value.s, value.n, "strict")) : Ref();
    if (!text) {
        return nullptr;
    }
    Ref expires = p.expires.n > 0 ? steal(parse_date(p.expires.s, p.expires.n)) : borrow(Py_None);
    Ref domain = expires ? steal(optional_text(p.domain)) : Ref();
    Ref path = domain ? steal(optional_text(p.path)) : Ref();
    if (!path) {
        return nullptr;
    }
    auto mode = static_cast<uint32_t>(same_site_mode(p.same_site));
    return cookie_create(name.get(), text.get(), expires.get(), domain.get(), path.get(), p.http_only,
                         p.secure, p.max_age, mode);
}

}  // namespace

// ------------------------------------------------------- entry points

int init_text()
{
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr ? 0 : -1;
}

PyObject *datetime_from_cookie_format(PyObject *value)
{
    if (value == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'decode'");
        return nullptr;
    }
    if (!PyBytes_Check(value)) {
        vel::arg_type_error("value", "bytes", value);
        return nullptr;
    }
    return parse_date(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
}

PyObject *datetime_to_cookie_format(PyObject *value)
{
    if (!PyDateTime_Check(value)) {
        vel::arg_type_error("value", "datetime.datetime", value);
        return nullptr;
    }
    char date[DATE_CAPACITY];
    int n = cookie_date(value, date);
    return n < 0 ? nullptr : PyBytes_FromStringAndSize(date, n);
}

PyObject *split_value(PyObject *raw_value, PyObject *separator)
{
    if (!PyBytes_Check(raw_value)) {
        vel::arg_type_error("raw_value", "bytes", raw_value);
        return nullptr;
    }
    if (!PyBytes_Check(separator)) {
        vel::arg_type_error("separator", "bytes", separator);
        return nullptr;
    }
    Span raw{PyBytes_AS_STRING(raw_value), PyBytes_GET_SIZE(raw_value)};
    const char *at = find(raw, PyBytes_AS_STRING(separator), PyBytes_GET_SIZE(separator));
    if (at == nullptr) {
        PyErr_SetString(PyExc_ValueError, "subsection not found");
        return nullptr;
    }
    Py_ssize_t pos = at - raw.s;
    Py_ssize_t after = pos + 1 < raw.n ? pos + 1 : raw.n;
    Ref before = steal(PyBytes_FromStringAndSize(raw.s, pos));
    Ref rest = before ? steal(PyBytes_FromStringAndSize(raw.s + after, raw.n - after)) : Ref();
    return rest ? PyTuple_Pack(2, before.get(), rest.get()) : nullptr;
}

PyObject *write_cookie_for_response(PyObject *cookie)
{
    if (!PyObject_TypeCheck(cookie, g_state->cookie_type)) {
        vel::arg_type_error("cookie", "Cookie", cookie);
        return nullptr;
    }
    return write_cookie(CookieSnapshot(reinterpret_cast<CookieObject *>(cookie)));
}

CookieSameSiteMode same_site_mode_from_bytes(PyObject *raw_value)
{
    if (raw_value == Py_None) {
        return CookieSameSiteMode::UNDEFINED;
    }
    if (!PyBytes_Check(raw_value)) {
        vel::arg_type_error("raw_value", "bytes", raw_value);
        return CookieSameSiteMode::UNDEFINED;
    }
    return same_site_mode(Span{PyBytes_AS_STRING(raw_value), PyBytes_GET_SIZE(raw_value)});
}

PyObject *parse_cookie(PyObject *raw_value)
{
    if (!PyBytes_Check(raw_value)) {
        vel::arg_type_error("raw_value", "bytes", raw_value);
        return nullptr;
    }
    Parsed parsed;
    if (!split_header(Span{PyBytes_AS_STRING(raw_value), PyBytes_GET_SIZE(raw_value)}, &parsed)) {
        return nullptr;
    }
    return build_cookie(parsed);
}

}  // namespace vel::cookies
