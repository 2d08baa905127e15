"""velmora.cookies: the Cookie model, its exceptions and the Set-Cookie writer."""

import enum
import gc
import pickle
import weakref
from datetime import datetime, timedelta, timezone
from urllib.parse import quote

import pytest

from velmora.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_to_cookie_format,
    parse_cookie,
    write_cookie_for_response,
)

TOO_LONG = (
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be "
    "ignored or truncated by clients. See: https://datatracker.ietf.org/doc/html/rfc6265#section-6.1"
)
WHEN = datetime(2015, 10, 21, 7, 28)


def write(*args, **kwargs):
    return write_cookie_for_response(Cookie(*args, **kwargs))


# ---------------------------------------------------------------- the enum

def test_same_site_mode_is_an_int_enum():
    assert issubclass(CookieSameSiteMode, enum.IntEnum)
    assert [(m.name, m.value) for m in CookieSameSiteMode] == [
        ("UNDEFINED", 0), ("LAX", 1), ("STRICT", 2), ("NONE", 3)]
    assert CookieSameSiteMode.__module__ == "velmora.cookies"
    assert pickle.loads(pickle.dumps(CookieSameSiteMode.LAX)) is CookieSameSiteMode.LAX


# ------------------------------------------------------------ construction

def test_defaults_and_field_types():
    c = Cookie("a", "b")
    assert (c.name, c.value, c.expires, c.domain, c.path) == ("a", "b", None, None, None)
    assert (c.http_only, c.secure, c.max_age) == (False, False, -1)
    assert c.same_site is CookieSameSiteMode.UNDEFINED
    c = Cookie(name="n", value="v", expires=WHEN, domain="d", path="/p", http_only=1, secure=[0],
               max_age=7.9, same_site=2)
    assert (c.expires, c.domain, c.path, c.http_only, c.secure, c.max_age) == (WHEN, "d", "/p", True, True, 7)
    assert c.same_site is CookieSameSiteMode.STRICT


@pytest.mark.parametrize("args, exc, message", [
    (("", "x"), ValueError, "A cookie name is required"),
    ((None, "x"), ValueError, "A cookie name is required"),
    ((b"a", "x"), TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
    (("a", 1), TypeError, "Argument 'value' has incorrect type (expected str, got int)"),
    (("a", "x", "2015"), TypeError, "Argument 'expires' has incorrect type (expected datetime.datetime, got str)"),
    (("a", "x", None, 1), TypeError, "Argument 'domain' has incorrect type (expected str, got int)"),
    (("a", "x", None, None, b"/"), TypeError, "Argument 'path' has incorrect type (expected str, got bytes)"),
    (("a", "x", None, None, None, False, False, "5"), TypeError, "an integer is required, got str"),
    (("a", "x", None, None, None, False, False, 2**63), OverflowError, None),
    (("a", "x", None, None, None, False, False, -1, -1), OverflowError, None),
    (("a", "x", None, None, None, False, False, -1, 2**32), OverflowError, None),
    (("a",), TypeError, "Cookie() missing required argument 'value' (pos 2)"),
])
def test_constructor_failures(args, exc, message):
    with pytest.raises(exc) as info:
        Cookie(*args)
    if message is not None:
        assert str(info.value) == message


def test_value_length_limit_counts_utf8_bytes():
    assert Cookie("a", "x" * 4096).value == "x" * 4096
    assert Cookie("a", "é" * 2048).value == "é" * 2048
    for value in ("x" * 4097, "é" * 2049, "\U0001F600" * 1025):
        with pytest.raises(CookieValueExceedsMaximumLength) as info:
            Cookie("a", value)
        assert str(info.value) == TOO_LONG
    # a lone surrogate is stored (the writer rejects it)
    assert Cookie("a", "\ud800").value == "\ud800"
    assert Cookie("a", None).value is None


def test_out_of_range_same_site_reads_back_as_int_and_writes_nothing():
    c = Cookie("a", "b", same_site=7)
    assert c.same_site == 7 and type(c.same_site) is int
    assert write_cookie_for_response(c) == b"a=b"


# -------------------------------------------------------------- properties

def test_property_writes_validate_and_keep_old_value_on_failure():
    c = Cookie("a", "b", WHEN, "d", "/")
    for attr, bad, exc, message in [
        ("name", "", ValueError, "A cookie name is required"),
        ("name", 0, ValueError, "A cookie name is required"),
        ("name", 5, TypeError, "Expected str, got int"),
        ("value", b"x", TypeError, "Expected str, got bytes"),
        ("value", "x" * 4097, CookieValueExceedsMaximumLength, TOO_LONG),
        ("expires", "x", TypeError, "Expected datetime.datetime, got str"),
        ("domain", 1, TypeError, "Expected str, got int"),
        ("path", b"/", TypeError, "Expected str, got bytes"),
        ("max_age", "1", TypeError, "an integer is required, got str"),
        ("same_site", -2, OverflowError, None),
    ]:
        before = getattr(c, attr)
        with pytest.raises(exc) as info:
            setattr(c, attr, bad)
        if message is not None:
            assert str(info.value) == message
        assert getattr(c, attr) == before
    c.value = None
    c.http_only = "yes"
    c.max_age = 10
    c.same_site = CookieSameSiteMode.LAX
    assert (c.value, c.http_only, c.max_age, c.same_site) == (None, True, 10, CookieSameSiteMode.LAX)


@pytest.mark.parametrize("attr", ["name", "value", "http_only", "secure", "max_age", "same_site"])
def test_deleting_required_fields_is_refused(attr):
    c = Cookie("a", "b")
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(c, attr)


def test_deleting_optional_fields_clears_them():
    c = Cookie("a", "b", WHEN, "d", "/")
    del c.expires, c.domain, c.path
    assert (c.expires, c.domain, c.path) == (None, None, None)


# ------------------------------------------------- clone, equality, repr

def test_clone_copies_fields_and_shares_the_datetime():
    c = Cookie("a", "b", WHEN, "d", "/", True, True, 5, CookieSameSiteMode.NONE)
    d = c.clone()
    assert d is not c and type(d) is Cookie
    assert d.expires is c.expires
    fields = ("name", "value", "domain", "path", "http_only", "secure", "max_age", "same_site")
    assert [getattr(d, f) for f in fields] == [getattr(c, f) for f in fields]


def test_equality():
    c = Cookie("a", "héllo")
    assert c == "héllo" and "héllo" == c and c != "other"
    assert c == "héllo".encode() and c != b"x"
    assert c == Cookie("a", "héllo", WHEN, "d", "/", True, True, 5, 3)
    assert c != Cookie("b", "héllo") and c != Cookie("a", "x")
    assert Cookie("a", None) == Cookie("a", None)
    assert (c == 1) is False and c.__eq__(1) is NotImplemented
    with pytest.raises(UnicodeDecodeError):
        c == b"\xff"
    with pytest.raises(TypeError):
        hash(c)


@pytest.mark.parametrize("value, shown", [
    ("abcdef", "<Cookie a: abc...>"),
    ("ab", "<Cookie a: ab...>"),
    ("日本語テキスト", "<Cookie a: 日本語...>"),
    # repr must not fail, whatever the value: None is shown as such
    (None, "<Cookie a: None...>"),
])
def test_repr_shows_at_most_three_characters(value, shown):
    assert repr(Cookie("a", value)) == shown


def test_subclass_and_weakref():
    class Mine(Cookie):
        pass

    m = Mine("a", "b")
    ref = weakref.ref(m)
    assert isinstance(m.clone(), Cookie) and ref() is m
    del m
    gc.collect()
    assert ref() is None


# ----------------------------------------------------------- exceptions

def test_exceptions():
    assert issubclass(CookieError, Exception)
    assert issubclass(CookieValueExceedsMaximumLength, CookieError)
    e = CookieError("boom")
    assert str(e) == "boom" and e.args == ("boom",)
    assert CookieError(message="m").args == ("m",)
    assert str(CookieValueExceedsMaximumLength()) == TOO_LONG
    with pytest.raises(TypeError):
        CookieError()
    with pytest.raises(TypeError):
        CookieError(1)
    with pytest.raises(TypeError):
        CookieValueExceedsMaximumLength("x")


# ---------------------------------------------------------------- writer

@pytest.mark.parametrize("kwargs, expected", [
    ({}, b"sid=abc"),
    ({"value": "a b;c/d"}, b"sid=a%20b%3Bc/d"),
    ({"value": ""}, b"sid="),
    ({"max_age": 0}, b"sid=abc; Max-Age=0"),
    ({"max_age": 2**63 - 1}, b"sid=abc; Max-Age=9223372036854775807"),
    ({"max_age": -1}, b"sid=abc"),
    ({"same_site": CookieSameSiteMode.NONE}, b"sid=abc; Secure; SameSite=None"),
    ({"same_site": CookieSameSiteMode.STRICT}, b"sid=abc; Secure; SameSite=Strict"),
    ({"same_site": CookieSameSiteMode.LAX}, b"sid=abc; SameSite=Lax"),
    ({"secure": True, "same_site": CookieSameSiteMode.LAX}, b"sid=abc; Secure; SameSite=Lax"),
    ({"domain": "", "path": ""}, b"sid=abc"),
    ({"domain": "bücher.example", "path": "/ä b"}, "sid=abc; Domain=bücher.example; Path=/ä b".encode()),
    ({"expires": WHEN, "max_age": 60, "domain": "example.com", "path": "/", "http_only": True,
      "secure": True, "same_site": CookieSameSiteMode.STRICT},
     b"sid=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=60; Domain=example.com; Path=/; "
     b"HttpOnly; Secure; SameSite=Strict"),
])
def test_writer(kwargs, expected):
    kwargs.setdefault("value", "abc")
    assert write("sid", **kwargs) == expected


def test_writer_name_and_value_match_urllib_quote():
    samples = ["a", "é", "日本", "\U0001F600", "~_.-/", "%41", " \t\r\n;,=\"'\\", "".join(map(chr, range(128)))]
    for name in samples:
        for value in samples:
            assert write(name, value) == f"{quote(name)}={quote(value)}".encode()
    huge = "é;" * 1365  # 4095 bytes of UTF-8, nearly all escaped
    assert write("h", huge) == f"h={quote(huge)}".encode()


@pytest.mark.parametrize("kwargs", [{"name": "\ud800"}, {"value": "x\udfff"}, {"domain": "\udc80"}, {"path": "/\ud800"}])
def test_writer_rejects_lone_surrogates(kwargs):
    kwargs = {"name": "a", "value": "b", **kwargs}
    with pytest.raises(UnicodeEncodeError):
        write(**kwargs)


def test_writer_needs_a_value():
    with pytest.raises(TypeError, match="quote_from_bytes"):
        write("a", None)
    with pytest.raises(TypeError, match="Argument 'cookie' has incorrect type"):
        write_cookie_for_response("a=b")


@pytest.mark.parametrize("attr", ["domain", "path"])
@pytest.mark.parametrize("bad", ["\r\nSet-Cookie: evil=1", "x\n", "a; Secure", "\x00", "\x7f", "\t"])
def test_writer_refuses_attribute_injection(attr, bad):
    with pytest.raises(CookieError, match=f"^Invalid character in the cookie {attr.capitalize()}: "):
        write("a", "b", **{attr: bad})


def test_writer_expires_in_another_zone_is_converted_to_gmt():
    plus_two = datetime(2015, 10, 21, 9, 28, tzinfo=timezone(timedelta(hours=2)))
    assert write("a", "b", plus_two) == b"a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_to_cookie_format(WHEN.replace(tzinfo=timezone.utc)) == b"Wed, 21 Oct 2015 07:28:00 GMT"


def test_write_then_parse_round_trip():
    c = Cookie("na me", "vä;lue", WHEN, "example.com", "/x", True, False, 30, CookieSameSiteMode.NONE)
    back = parse_cookie(write_cookie_for_response(c))
    fields = ("name", "value", "expires", "domain", "path", "http_only", "max_age", "same_site")
    assert [getattr(back, f) for f in fields] == [getattr(c, f) for f in fields]
    assert back.secure is True  # forced by SameSite=None
