"""Response: construction and the caller's header list, status and reason,
cookies kept as Set-Cookie headers, redirects and raise_for_status."""

from __future__ import annotations

from datetime import timedelta

import pytest

from velmora import headers as velmora_headers
from velmora.contents import Content
from velmora.cookies import Cookie, parse_cookie
from velmora.messages import Response
from velmora.utils.time import utcnow


def test_new_response_defaults():
    r = Response(404)
    assert (r.status, r.reason, r.headers.values, r.content) == (404, "Not Found", [], None)
    assert repr(r) == "<Response 404>"
    assert Response.__new__(Response).status == 0


def test_header_list_is_shared_with_the_caller():
    headers = [(b"x-a", b"1")]
    r = Response(200, headers)
    headers.append((b"x-b", b"2"))
    assert r.get_headers(b"x-b") == [b"2"] and r.headers.values is headers
    empty: list = []
    assert Response(200, empty).headers.values is not empty


@pytest.mark.parametrize(
    "name", ["STATIC_JSON_HEADERS", "STATIC_TEXT_HEADERS", "STATIC_HTML_HEADERS", "STATIC_NOT_FOUND_HEADERS"]
)
def test_shared_module_lists_are_never_a_response_list(name):
    shared = getattr(velmora_headers, name)
    before = list(shared)
    r = Response(200, shared)
    r.add_header(b"content-length", b"3")
    assert shared == before and r.headers.values[: len(before)] == before


@pytest.mark.parametrize(
    "args, exc, match",
    [
        ((2**31,), OverflowError, None),
        ((-(2**31) - 1,), OverflowError, None),
        ((2**70,), OverflowError, None),
        (("200",), TypeError, None),
        ((200, ()), TypeError, "'headers'"),
        ((200, None, b"body"), TypeError, "'content'"),
    ],
)
def test_constructor_rejects(args, exc, match):
    with pytest.raises(exc, match=match):
        Response(*args)


def test_status_is_32_bit_and_not_deletable():
    r = Response(200, None, Content(b"text/plain", b"x"))
    r.status = 2**31 - 1
    assert r.status == 2**31 - 1
    with pytest.raises(OverflowError):
        r.status = 2**31
    with pytest.raises(NotImplementedError):
        del r.status


@pytest.mark.parametrize(
    "status, reason", [(200, "OK"), (418, "I'm a Teapot"), (299, ""), (499, ""), (599, ""), (100, "Continue")]
)
def test_reason(status, reason):
    assert Response(status).reason == reason


@pytest.mark.parametrize("status", [0, 99, 600, -1])
def test_reason_outside_the_status_range_raises(status):
    with pytest.raises(ValueError):
        Response(status).reason


@pytest.mark.parametrize("status, expected", [(301, True), (302, True), (303, True), (307, True), (308, True),
                                              (300, False), (304, False), (305, False), (306, False), (200, False)])
def test_is_redirect(status, expected):
    assert Response(status).is_redirect() is expected


def test_cookies_later_header_wins_first_cookie_found():
    r = Response(200)
    r.set_cookies([Cookie("a", "1"), Cookie("b", "2")])
    r.set_cookie(Cookie("a", "3"))
    assert len(r.get_headers(b"set-cookie")) == 3
    cookies = r.get_cookies()
    assert sorted(cookies) == ["a", "b"] and cookies["a"].value == "3"
    assert r.cookies["b"].value == "2"
    assert r.get_cookie("a").value == "1" and r.get_cookie("zz") is None
    r.add_header(b"x-other", b"keep")
    r.remove_cookie("a")
    assert r.headers.values == [(b"set-cookie", b"b=2"), (b"x-other", b"keep")]


def test_unset_cookie_expires_a_year_ago():
    r = Response(200)
    r.unset_cookie("sid")
    (value,) = r.get_headers(b"set-cookie")
    cookie = parse_cookie(value)
    assert (cookie.name, cookie.value) == ("sid", "")
    ago = utcnow().replace(tzinfo=None) - cookie.expires.replace(tzinfo=None)
    assert timedelta(days=364, hours=23) < ago < timedelta(days=365, minutes=1)


def test_set_cookies_and_unset_cookie_go_through_the_override():
    seen = []

    class Custom(Response):
        def set_cookie(self, cookie):
            seen.append(cookie.name)
            super().set_cookie(cookie)

    r = Custom(200)
    r.set_cookies([Cookie("a", "1"), Cookie("b", "2")])
    r.unset_cookie("c")
    assert seen == ["a", "b", "c"] and len(r.get_headers(b"set-cookie")) == 3


def test_set_cookies_sees_a_list_changed_by_the_override():
    class Growing(Response):
        def set_cookie(self, cookie):
            super().set_cookie(cookie)
            if cookie.name == "a":
                cookies.clear()

    cookies = [Cookie("a", "1"), Cookie("b", "2")]
    r = Growing(200)
    r.set_cookies(cookies)
    assert r.get_headers(b"set-cookie") == [b"a=1"]


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda r: r.get_cookie(b"a"), "name"),
        (lambda r: r.set_cookie("a=1"), "cookie"),
        (lambda r: r.set_cookies((Cookie("a", "1"),)), "cookies"),
        (lambda r: r.unset_cookie(None), "name"),
        (lambda r: r.remove_cookie(1), "name"),
    ],
)
def test_cookie_argument_types(call, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(Response(200))


def test_cookie_readers_agree_on_str_values():
    r = Response(200)
    r.add_header(b"set-cookie", "a=1")
    assert r.get_cookies()["a"].value == "1" and r.get_cookie("a").value == "1"
    r.remove_cookie("a")
    assert r.headers.values == []
    r.add_header(b"set-cookie", 5)
    with pytest.raises(TypeError):
        r.remove_cookie("a")
