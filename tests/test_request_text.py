"""The text a client sends in the query string and Cookie headers: the
parameter scan, cookie reading and writing, and bad bytes in each."""

from __future__ import annotations

from urllib.parse import parse_qs

import pytest

from velmora.messages import Request


def with_query(query):
    return Request.incoming("GET", b"/", query, None, None)


def with_cookies(*values):
    return Request.incoming("GET", b"/", b"", [(b"cookie", v) for v in values], None)


# ---------------------------------------------------------------- query parameters


@pytest.mark.parametrize(
    "query, name, expected",
    [
        (b"a=1&b=x%20y&c", "a", "1"),
        (b"a=1&b=x%20y&c", "b", "x y"),
        (b"a=1&b=x%20y&c", "c", ""),
        (b"a=1&b=x%20y&c", "d", "default"),
        (b"ab=1&a=2", "a", "2"),
        (b"a=1+2", "a", "1 2"),
        (b"a=%2B", "a", "+"),
        (b"a=x;b=y", "b", "y"),
        (b"A=1", "a", "default"),
        (b"a%20b=1&a b=2", "a b", "2"),
        (b"a=caf\xc3\xa9", "a", "café"),
        (b"a=%C3%A9", "a", "é"),
        (b"a=\xff", "a", "\ufffd"),
        (b"a=%FF", "a", "\ufffd"),
        (b"a=%", "a", "%"),
        (b"a=%4", "a", "%4"),
        (b"a=%zz1", "a", "%zz1"),
        (b"a=1%", "a", "1%"),
        (b"k=", "k", ""),
        (b"&&k=v&", "k", "v"),
        (b"a=1", b"a", "1"),
        (b"1=one", 1, "one"),
        (b"\xc3\xa9=e", "é", "e"),
        (b"a=1", None, "default"),
        (b"", "a", "default"),
        ("s=1&t=%C3%A9", "t", "é"),
    ],
)
def test_get_query_param(query, name, expected):
    assert with_query(query).get_query_param(name, "default") == expected


def test_get_query_param_default_is_none():
    assert with_query(b"a=1").get_query_param("b") is None
    assert with_query(None).get_query_param("a", 3) == 3
    assert with_query(5).get_query_param("a", 3) == 3


@pytest.mark.parametrize(
    "query, name, expected",
    [
        (b"t=1;t=2&t", "t", ["1", "2", ""]),
        (b"t=1", "u", []),
        (b"", "t", []),
        (b"t=1", None, []),
        (b"tt=1&t=a+b&t=%41", "t", ["a b", "A"]),
    ],
)
def test_get_query_params(query, name, expected):
    assert with_query(query).get_query_params(name) == expected


@pytest.mark.parametrize("query", [b"a=+", b"a=+&b=+", "a=+"])
def test_plus_decoding_leaves_shared_one_byte_objects_alone(query):
    # b"+" of one byte is an object the interpreter shares: decoding a value
    # must write into a buffer of its own.
    assert with_query(query).get_query_param("a") == " "
    assert bytes([43]) == b"+" and b"a+"[1:] == b"+"


def test_a_huge_query_is_scanned_linearly():
    query = b"&".join(b"p%d=%d" % (i, i) for i in range(100_000))
    r = with_query(query)
    assert r.get_query_param("p99999") == "99999"
    assert r.get_query_params("p5") == ["5"]
    assert len(r.query) == 100_000


def test_scan_agrees_with_parse_qs_on_clean_input():
    query = b"a=1&b=%E2%82%AC+x&a=2&c=%7E"
    r = with_query(query)
    for name, values in parse_qs(query.decode()).items():
        assert r.get_query_params(name) == values


# ---------------------------------------------------------------- cookies


@pytest.mark.parametrize(
    "headers, expected",
    [
        ([b"a=1; b=2"], {"a": "1", "b": "2"}),
        ([b"a=1;b=2"], {"a": "1", "b": "2"}),
        ([b"a=1", b"b=2"], {"a": "1", "b": "2"}),
        ([b"a=1; a=2"], {"a": "2"}),
        ([b"a=x%20y; %61b=c"], {"a": "x y", "ab": "c"}),
        ([b"a=1; novalue; b="], {"a": "1", "b": ""}),
        ([b"a=1 ;  b=2;"], {"a": "1", "b": "2"}),
        ([b"a=b=c"], {"a": "b=c"}),
        ([b"bad=\xff\xfe; good=1"], {"bad": "\ufffd\ufffd", "good": "1"}),
        ([b"\xff=x; good=1"], {"\ufffd": "x", "good": "1"}),
        ([b""], {}),
    ],
)
def test_cookies(headers, expected):
    r = with_cookies(*headers)
    assert r.cookies == expected
    for name, value in expected.items():
        assert r.get_cookie(name) == value


def test_get_cookie():
    r = with_cookies(b"a=1; caf%C3%A9=2; caf\xc3\xa9=3")
    assert r.get_cookie("missing") is None
    assert r.get_cookie("café") == "3"
    assert r.get_cookie("\ud800") is None
    with pytest.raises(TypeError, match="Argument 'name'"):
        r.get_cookie(b"a")


def test_cookie_header_of_another_type_is_a_type_error():
    class StrCookies(Request):
        def get_headers(self, key):
            return ["a=1"]

    with pytest.raises(TypeError):
        StrCookies("GET", None, None).cookies  # noqa: B018


def test_set_cookie_without_cookie_header():
    r = with_cookies()
    r.set_cookie("na me", "välue/x")
    assert r.get_headers(b"cookie") == [b"na%20me=v%C3%A4lue/x"]
    assert r.cookies == {"na me": "välue/x"}


def test_set_cookie_joins_every_header_and_reads_back():
    r = with_cookies(b"a=1", b"b=2")
    r.set_cookie("c", "3")
    assert r.get_headers(b"cookie") == [b"a=1; b=2; c=3"]
    assert r.cookies == {"a": "1", "b": "2", "c": "3"}


def test_set_cookie_argument_types():
    r = with_cookies()
    with pytest.raises(TypeError, match="Argument 'value'"):
        r.set_cookie("a", 1)
    with pytest.raises(UnicodeEncodeError):
        r.set_cookie("a", "\ud800")
    assert r.get_headers(b"cookie") == []
