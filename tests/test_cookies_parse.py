"""velmora.cookies: the Set-Cookie parser, cookie dates and the native table."""

import ctypes
import importlib
import locale
import random
from datetime import datetime, timedelta, timezone
from email.utils import parsedate_to_datetime
from types import SimpleNamespace
from urllib.parse import unquote

import pytest

import velmora.cookies as cookies
from velmora.cookies import (
    Cookie,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
    parse_cookie,
)

WHEN = datetime(2015, 10, 21, 7, 28)
UNDEFINED, LAX, STRICT, NONE = CookieSameSiteMode


# ---------------------------------------------------------------- parser

def fields(c):
    return (c.name, c.value, c.expires, c.domain, c.path, c.http_only, c.secure, c.max_age, c.same_site)


@pytest.mark.parametrize("raw, expected", [
    (b"a=1", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; Path=/; HttpOnly", ("a", "1", None, None, "/", True, False, -1, UNDEFINED)),
    (b"a=1;Path=/;Secure", ("a", "1", None, None, "/", False, True, -1, UNDEFINED)),
    # "; " anywhere: split on it only
    (b"a=1; Path=/;Secure", ("a", "1", None, None, "/;Secure", False, False, -1, UNDEFINED)),
    (b"a=b=c", ("a", "b=c", None, None, None, False, False, -1, UNDEFINED)),
    (b'a="hello world"', ("a", "hello world", None, None, None, False, False, -1, UNDEFINED)),
    (b'a=""x y""', ("a", "x y", None, None, None, False, False, -1, UNDEFINED)),
    (b'a="abc"', ("a", '"abc"', None, None, None, False, False, -1, UNDEFINED)),
    (b"a%20b=c%3Bd", ("a b", "c;d", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=", ("a", "", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; EXPIRES=Wed, 21 Oct 2015 07:28:00 GMT; max-AGE=5; SECURE; SameSite=STRICT",
     ("a", "1", WHEN, None, None, False, True, 5, STRICT)),
    (b"a=1; SameSite=Other; samesite=lax", ("a", "1", None, None, None, False, False, -1, LAX)),
    (b"a=1; SameSite=Other", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; SameSite= none", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; SameSite=", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; Max-Age=-5", ("a", "1", None, None, None, False, False, -5, UNDEFINED)),
    (b"a=1; Max-Age= +1_0 ", ("a", "1", None, None, None, False, False, 10, UNDEFINED)),
    (b"a=1; Max-Age=9223372036854775807", ("a", "1", None, None, None, False, False, 2**63 - 1, UNDEFINED)),
    (b"a=1; Priority=High; Partitioned", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1;  Secure; Path=/", ("a", "1", None, None, "/", False, False, -1, UNDEFINED)),
    (b"a=1; Domain=; Path=; Expires=", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"a=1; Path=/x; Path=/y; Secure; secure", ("a", "1", None, None, "/y", False, True, -1, UNDEFINED)),
    (b"a=1; Domain=b\xc3\xbccher.example", ("a", "1", None, "bücher.example", None, False, False, -1, UNDEFINED)),
    (b"a=1; Path=/%20", ("a", "1", None, None, "/%20", False, False, -1, UNDEFINED)),
    (b"a=1; ", ("a", "1", None, None, None, False, False, -1, UNDEFINED)),
    (b"\xc3\xa9=\xe2\x82\xac%41", ("é", "€A", None, None, None, False, False, -1, UNDEFINED)),
])
def test_parse(raw, expected):
    c = parse_cookie(raw)
    assert type(c) is Cookie
    assert fields(c) == expected
    assert parse_cookie(raw_value=raw) == c


@pytest.mark.parametrize("raw, exc, message", [
    (b"abc", ValueError, "Invalid name=value fragment: b'abc'"),
    (b"abc; Path=/", ValueError, "Invalid name=value fragment: b'abc'"),
    (b"", ValueError, "Invalid name=value fragment: b''"),
    (b"=abc", ValueError, "A cookie name is required"),
    (b"%zz", ValueError, "Invalid name=value fragment: b'%zz'"),
    (b"a=1; Max-Age=abc", ValueError, "invalid literal for int() with base 10: b'abc'"),
    (b"a=1; Max-Age=", ValueError, "invalid literal for int() with base 10: b''"),
    (b"a=1; Max-Age=99999999999999999999", OverflowError, None),
    (b"a=1; Expires=not a date", ValueError, None),
    (b"a=1; Expires=Wed, 31 Feb 2015 07:28:00 GMT", ValueError, "day is out of range for month"),
    (b"\xff=1", UnicodeDecodeError, None),
    (b"a=\xff", UnicodeDecodeError, None),
    (b"a=%; Domain=\xff", UnicodeDecodeError, None),
    (b"a=1; Path=\xed\xa0\x80", UnicodeDecodeError, None),  # an encoded surrogate
    (b"a=" + b"x" * 4097, CookieValueExceedsMaximumLength, None),
])
def test_parse_failures(raw, exc, message):
    with pytest.raises(exc) as info:
        parse_cookie(raw)
    if message is not None:
        assert str(info.value) == message


def test_invalid_fragment_keeps_the_lookup_error_as_context():
    with pytest.raises(ValueError) as info:
        parse_cookie(b"abc")
    assert isinstance(info.value.__context__, ValueError)


@pytest.mark.parametrize("raw", ["a=1", None, bytearray(b"a=1"), memoryview(b"a=1")])
def test_parse_needs_bytes(raw):
    with pytest.raises(TypeError, match="^Argument 'raw_value' has incorrect type \\(expected bytes, got "):
        parse_cookie(raw)


def test_parse_huge_and_bytes_subclass():
    class B(bytes):
        pass

    assert parse_cookie(B(b"a=1; Secure")).secure is True
    raw = b"a=" + b"x" * 4096 + b"; " + b"; ".join([b"Unknown=1"] * 50_000)
    assert len(parse_cookie(raw).value) == 4096


ALPHABET = "ab%%%%%0123456789ACFacfgG~ -_./+é€日\U0001F600\t\"'"


def test_percent_decoding_matches_urllib_unquote():
    rng = random.Random(1234)
    for _ in range(3000):
        name = "n" + "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(8)))
        value = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(12)))
        value = value.lstrip('"')  # quoted values with spaces are unquoted first
        c = parse_cookie(f"{name}={value}".encode())
        assert (c.name, c.value) == (unquote(name), unquote(value)), (name, value)
    # escapes of invalid UTF-8 are replaced, next to raw non-ASCII or not
    for text in ["%C3", "%C3%28", "%E2%82", "é%A9", "%C3é%A9", "%ff%FE", "%%41", "%4", "%"]:
        assert parse_cookie(f"a={text}".encode()).value == unquote(text)


# ------------------------------------------------------------ cookie dates

def test_dates_known_values():
    assert datetime_to_cookie_format(WHEN) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT") == WHEN
    assert datetime_to_cookie_format(value=datetime(999, 1, 1)) == b"Tue, 01 Jan 999 00:00:00 GMT"
    assert datetime_to_cookie_format(datetime(1, 1, 1)) == b"Mon, 01 Jan 1 00:00:00 GMT"
    assert datetime_to_cookie_format(datetime(9999, 12, 31, 23, 59, 59, 999999)) == \
        b"Fri, 31 Dec 9999 23:59:59 GMT"


def test_format_matches_strftime_on_generated_datetimes():
    rng = random.Random(99)
    for _ in range(3000):
        dt = datetime(rng.randrange(1, 10000), rng.randrange(1, 13), rng.randrange(1, 29),
                      rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.randrange(10**6))
        text = datetime_to_cookie_format(dt)
        assert text == dt.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()
        if dt.year >= 100:
            assert datetime_from_cookie_format(text) == dt.replace(microsecond=0)


def naive_utc(text):
    """What the parser must give: the e-mail parser's instant, in UTC, naive."""
    parsed = parsedate_to_datetime(text)
    if parsed.tzinfo is not None:
        parsed = parsed.astimezone(timezone.utc)
    return parsed.replace(tzinfo=None)


@pytest.mark.parametrize("text", [
    "Wed, 21 Oct 2015 07:28:00 GMT",
    "Sun, 29 Feb 2004 23:59:59 GMT",
    "Xyz, 21 Oct 2015 07:28:00 GMT",
    "wed, 21 oct 2015 07:28:00 GMT",
    "Wed, 1 Oct 2015 07:28:00 GMT",
    "21 Oct 2015 07:28:00 GMT",
    "Wed, 21 Oct 15 07:28:00 GMT",
    "Wed, 21 Oct 0099 07:28:00 GMT",
    "Wed, 21 Oct 2015 07:28 GMT",
    "Wed, 21 Oct 2015 07:28:00 UTC",
    "Wed, 21 Oct 2015 07:28:00 +0000",
    "Wed, 21 Oct 2015 07:28:00 -0000",
    "Wed, 21 Oct 2015 07:28:00 EST",
    "Wed, 21 Oct 2015 07:28:00",
    "Wed,  21 Oct 2015 07:28:00 GMT ",
    "Wed, 21-Oct-2015 07:28:00 GMT",
])
def test_parse_date_matches_email_utils(text):
    assert datetime_from_cookie_format(text.encode()) == naive_utc(text)


@pytest.mark.parametrize("text", [
    "", "tomorrow", "Wed, 32 Oct 2015 07:28:00 GMT", "Wed, 29 Feb 2015 07:28:00 GMT",
    "Wed, 21 Oct 2015 24:00:00 GMT", "Wed, 21 Oct 2015 07:60:00 GMT", "Wed, 21 Oct 2015 07:28:60 GMT",
    "Wed, 00 Oct 2015 07:28:00 GMT", "Wed, 21 Foo 2015 07:28:00 GMT",
])
def test_parse_date_failures_are_those_of_email_utils(text):
    with pytest.raises(ValueError) as expected:
        parsedate_to_datetime(text)
    with pytest.raises(ValueError) as info:
        datetime_from_cookie_format(text.encode())
    assert str(info.value) == str(expected.value)


def test_dates_with_an_offset_name_the_same_instant():
    # A date read with its offset, and an aware datetime written, are both
    # converted to UTC rather than keeping the wall-clock fields.
    assert datetime_from_cookie_format(b"Wed, 21 Oct 2015 09:28:00 +0200") == WHEN
    assert datetime_from_cookie_format(b"Wed, 21 Oct 2015 02:28:00 -0500") == WHEN
    assert datetime_from_cookie_format(b"Thu, 01 Jan 1970 00:30:00 +0100") == datetime(1969, 12, 31, 23, 30)
    east = timezone(timedelta(hours=5, minutes=30))
    assert datetime_to_cookie_format(datetime(2015, 10, 21, 12, 58, tzinfo=east)) == \
        b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_to_cookie_format(datetime(1, 1, 1, 12, tzinfo=timezone(timedelta(hours=-3)))) == \
        b"Mon, 01 Jan 1 15:00:00 GMT"
    with pytest.raises(OverflowError):
        datetime_to_cookie_format(datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=1))))


def test_dates_subclasses_and_odd_zones():
    class D(datetime):
        pass

    class NoOffset(timezone.__base__):
        def utcoffset(self, dt):
            return None

    assert datetime_to_cookie_format(D(2015, 10, 21, 7, 28)) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_to_cookie_format(WHEN.replace(tzinfo=NoOffset())) == b"Wed, 21 Oct 2015 07:28:00 GMT"


@pytest.mark.parametrize("func, arg, exc, message", [
    (datetime_from_cookie_format, None, AttributeError, "'NoneType' object has no attribute 'decode'"),
    (datetime_from_cookie_format, "Wed, 21 Oct 2015 07:28:00 GMT", TypeError,
     "Argument 'value' has incorrect type (expected bytes, got str)"),
    (datetime_from_cookie_format, b"\xff", UnicodeDecodeError, None),
    (datetime_to_cookie_format, WHEN.date(), TypeError,
     "Argument 'value' has incorrect type (expected datetime.datetime, got datetime.date)"),
    (datetime_to_cookie_format, None, TypeError, None),
])
def test_date_function_failures(func, arg, exc, message):
    with pytest.raises(exc) as info:
        func(arg)
    if message is not None:
        assert str(info.value) == message


def test_dates_ignore_the_locale():
    for name in ("de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8"):
        try:
            previous = locale.setlocale(locale.LC_TIME, name)
        except locale.Error:
            continue
        try:
            assert datetime_to_cookie_format(datetime(2015, 5, 21, 7, 28)) == b"Thu, 21 May 2015 07:28:00 GMT"
            assert datetime_from_cookie_format(b"Thu, 21 May 2015 07:28:00 GMT") == datetime(2015, 5, 21, 7, 28)
        finally:
            locale.setlocale(locale.LC_TIME, previous)
        return
    pytest.skip("no non-English locale installed")


# ------------------------------------------------- the published table

class Header(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32)]


UNARY = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)
BINARY = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object)
MODE = ctypes.PYFUNCTYPE(ctypes.c_uint32, ctypes.py_object)


class Methods(ctypes.Structure):
    _fields_ = [("clone", UNARY)]


class Table(ctypes.Structure):
    _fields_ = [
        ("header", Header),
        ("cookie_type", ctypes.py_object),
        ("same_site_mode_type", ctypes.py_object),
        ("cookie_error", ctypes.py_object),
        ("cookie_value_exceeds_maximum_length", ctypes.py_object),
        ("cookie_methods", ctypes.POINTER(Methods)),
        ("datetime_from_cookie_format", UNARY),
        ("datetime_to_cookie_format", UNARY),
        ("split_value", BINARY),
        ("write_cookie_for_response", UNARY),
        ("same_site_mode_from_bytes", MODE),
        ("parse_cookie", UNARY),
    ]


@pytest.fixture(scope="module")
def ctypes_table():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return Table.from_address(get(cookies._C_API, b"velmora.cookies._C_API"))


ENTRY_POINTS = [name for name, _ in Table._fields_[6:]]


@pytest.fixture(scope="module", params=["ctypes", "C++"])
def table(request, ctypes_table):
    """The table through its ctypes mirror, or through a C++ module that
    binds it with bind() and calls each entry as a sibling module does."""
    if request.param == "ctypes":
        return ctypes_table
    consumer = importlib.import_module("velmora._cookies_consumer")
    return SimpleNamespace(cookie_methods=SimpleNamespace(contents=consumer),
                           **{name: getattr(consumer, name) for name in ENTRY_POINTS})


def test_table_header_and_objects(ctypes_table):
    table = ctypes_table
    assert (table.header.version, table.header.size) == (1, ctypes.sizeof(Table))
    assert table.cookie_type is Cookie
    assert table.same_site_mode_type is CookieSameSiteMode
    assert table.cookie_error is cookies.CookieError
    assert table.cookie_value_exceeds_maximum_length is CookieValueExceedsMaximumLength


def test_consumer_binds_the_objects_and_reads_the_layout():
    consumer = importlib.import_module("velmora._cookies_consumer")
    assert consumer.bound_objects() == (Cookie, CookieSameSiteMode, cookies.CookieError,
                                        CookieValueExceedsMaximumLength)
    c = Cookie("n", "v", expires=WHEN, domain="d", path="/", http_only=True, max_age=7, same_site=2)
    assert consumer.layout(c) == ("n", "v", WHEN, "d", "/", 1, 0, 7, 2)
    with pytest.raises(TypeError, match="Argument 'self' has incorrect type"):
        consumer.clone("n=v")


def test_table_entry_points(table):
    assert table.datetime_to_cookie_format(WHEN) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert table.datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT") == WHEN
    assert table.write_cookie_for_response(Cookie("a", "b c")) == b"a=b%20c"
    assert table.parse_cookie(b"a=1; Secure").secure is True
    with pytest.raises(ValueError, match="Invalid name=value fragment"):
        table.parse_cookie(b"x")


@pytest.mark.parametrize("raw, sep, expected", [
    (b"a=b", b"=", (b"a", b"b")),
    (b"a=b=c", b"=", (b"a", b"b=c")),
    (b"a=", b"=", (b"a", b"")),
    (b"=", b"=", (b"", b"")),
    (b"", b"", (b"", b"")),
    (b"ab", b"", (b"", b"b")),
    (b"a; b", b"; ", (b"a", b" b")),  # the separator is taken as one byte long
])
def test_split_value(table, raw, sep, expected):
    assert table.split_value(raw, sep) == expected


@pytest.mark.parametrize("raw, sep, exc", [
    (b"ab", b"=", ValueError), (b"", b"=", ValueError), ("a=b", b"=", TypeError), (b"a=b", "=", TypeError),
])
def test_split_value_failures(table, raw, sep, exc):
    with pytest.raises(exc):
        table.split_value(raw, sep)


@pytest.mark.parametrize("raw, mode", [
    (None, 0), (b"", 0), (b"strict", 2), (b"STRICT", 2), (b"Lax", 1), (b"nOnE", 3),
    (b" lax", 0), (b"lax ", 0), (b"other", 0), (b"\xff", 0),
])
def test_same_site_mode_from_bytes(table, raw, mode):
    assert table.same_site_mode_from_bytes(raw) == mode


def test_same_site_mode_from_bytes_wrong_type(table):
    with pytest.raises(TypeError):
        table.same_site_mode_from_bytes("lax")


def test_clone_slot_honours_overrides(table):
    class Tracked(Cookie):
        def clone(self):
            return "overridden"

    assert table.cookie_methods.contents.clone(Tracked("a", "b")) == "overridden"
    plain = table.cookie_methods.contents.clone(Cookie("a", "b", path="/"))
    assert type(plain) is Cookie and plain.path == "/"
    with pytest.raises(ValueError, match="A cookie name is required"):
        table.cookie_methods.contents.clone(Cookie.__new__(Cookie))
