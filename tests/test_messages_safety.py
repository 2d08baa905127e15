"""Python code run in the middle of a message operation (a name's __str__,
a value's __str__, a content's __bool__, a finaliser during a copy) that
changes what the operation walks; and reference counts over many calls."""

from __future__ import annotations

import sys
import textwrap

import pytest
from isolated import run_isolated

LEAK_REPEAT = False  # child interpreters, and a leak loop of its own

PRELUDE = textwrap.dedent(
    """
    import gc
    from velmora.contents import Content
    from velmora.messages import Message, Request
    """
)


def run(code: str) -> None:
    run_isolated(PRELUDE + textwrap.dedent(code))


def test_value_str_that_empties_the_list_during_get_headers():
    run(
        """
        class Value:
            def __str__(self):
                m.headers.values.clear()
                return "v"

        m = Message([(b"x", Value()), (b"x", Value()), (b"y", b"1")])
        assert m.get_headers(b"x") == [b"v"]
        """
    )


def test_name_str_that_replaces_the_entries_during_a_look_up():
    run(
        """
        class Name:
            def __str__(self):
                m.headers.values[:] = [(b"z", b"new")] * 3
                return "x"

        m = Message([(b"a", b"1"), (Name(), b"2"), (b"x", b"3")])
        assert m.get_first_header("x") == "2"
        m.headers.values[:] = [(b"a", b"1"), (Name(), b"2")]
        assert m.has_header(b"q") is False
        m.headers.values[:] = [(b"a", b"1"), (Name(), b"2")]
        try:
            m.remove_header(b"x")
        except ValueError:
            pass  # the matched entry was gone when it was to be removed
        """
    )


def test_content_whose_truth_test_drops_it():
    run(
        """
        class Dropping(Content):
            def __bool__(self):
                m.content = None
                gc.collect()
                return True

        m = Message([(b"content-type", b"text/plain")])
        m.content = Dropping(b"application/json", b"{}")
        assert m.content_type() == b"application/json"
        m.content = Dropping(b"application/json", b"{}")
        assert m.has_body() is True
        m.content = Dropping(b"application/json", b"{}")
        assert isinstance(m.body_buffer, memoryview)
        """
    )


def test_finaliser_that_shrinks_the_list_being_copied():
    run(
        """
        headers = [(b"a", b"1")] * 50

        class Shrinker:
            def __del__(self):
                del headers[5:]

        gc.set_threshold(1)
        for _ in range(200):
            cycle = Shrinker()
            cycle.me = cycle
            del cycle
            Message(headers)
            Request.incoming("GET", b"/", b"", headers, None)
            if len(headers) < 50:
                headers[:] = [(b"host", b"h")] * 50
        """
    )


def test_no_reference_leaks_in_repeated_operations():
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug build of the interpreter")
    from velmora.contents import Content
    from velmora.exceptions import BadRequest
    from velmora.messages import (
        Message,
        Request,
        Response,
        get_absolute_url_to_path,
        get_request_absolute_url,
        is_cors_preflight_request,
    )

    class Scope:
        scheme = "https"
        client = "[::1]:5"
        headers = {"host": "h", "x-a": "1"}

    def work():
        m = Message([(b"Content-Type", b"text/html; charset=latin-1"), ("X-Str", 5)])
        m.get_headers(b"x-str"), m.get_headers("CONTENT-TYPE"), m.get_first_header(b"nope")
        m.set_header(b"x-str", b"1"), m.remove_header("x-str"), m.add_header(7, None)
        m.charset, m.declares_json(), m.headers, m.with_content(Content(b"a/json", b"1")).has_body()
        with pytest.raises(ValueError):
            m.get_single_header(b"nope")
        m.headers.values.append([b"x", b"list"])
        with pytest.raises(TypeError):
            m.get_headers(b"x")
        r = Request.incoming("OPTIONS", b"/p/%FF", b"a=1&b=%C3%A9+x&a&c=%", [
            (b"host", b"h.example"), (b"cookie", b"a=1;b=%20\xff; c"), (b"origin", b"o"),
            (b"access-control-request-method", b"PUT"), (b"hx-target", b"#t")], {"scheme": "http"})
        r.get_query_param("a"), r.get_query_params("a"), r.get_query_param(b"b"), r.query, r.cookies
        r.get_cookie("b"), r.set_cookie("d", "é"), r.host, r.url, r.path, repr(r), r.htmx_target_id
        r.user, r.client_ip, r.scheme, is_cors_preflight_request(r), get_request_absolute_url(r)
        get_absolute_url_to_path(r, "/x")
        r.url = b"http://other/q?z=1"
        r.query = {"k": ["1", "2"]}
        bad = Request.incoming("GET", "/", "", [(b"host", b"a b")], Scope())
        with pytest.raises(BadRequest):
            bad.host
        bad.scheme, bad.client_ip, bad.get_headers("x-a")
        Response(301, [(b"a", b"b")]).is_redirect()

    for _ in range(200):  # warms the standard library's caches (parse_qs) too
        work()
    before = sys.gettotalrefcount()
    for _ in range(300):
        work()
    delta = sys.gettotalrefcount() - before
    assert delta < 100, delta


def test_random_client_input_raises_only_documented_errors():
    import random

    from velmora.exceptions import BadRequest
    from velmora.messages import Request, get_request_absolute_url
    from velmora.url import InvalidURL

    rnd = random.Random(7)
    pieces = [b"a", b"=", b";", b"&", b"%", b"+", b" ", b"\xff", b"\xc3", b"%C3", b"%4", b"1", b"\x00", b"?", b"/"]
    names = [b"host", b"Host", b"cookie", b"x", "Cookie", 5, None, b"hx-target", "\xc0"]
    expected = (TypeError, ValueError, IndexError, UnicodeError, BadRequest, InvalidURL)

    def raw(n=8):
        return b"".join(rnd.choice(pieces) for _ in range(rnd.randrange(n)))

    def entry():
        if rnd.random() < 0.85:
            return (rnd.choice(names), rnd.choice([raw(), raw(), None, "s\u0109", 3]))
        return rnd.choice([None, (b"a",), [b"x", b"y"], (b"a", b"b", b"c")])

    for _ in range(400):
        r = Request.incoming("GET", raw(), raw(), [entry() for _ in range(rnd.randrange(5))], {"scheme": "http"})
        calls = [
            lambda: r.get_headers(rnd.choice(names)), lambda: r.has_header(raw()), lambda: r.cookies,
            lambda: r.query, lambda: r.host, lambda: r.path, lambda: r.url, lambda: r.htmx_target_id,
            lambda: r.get_query_param(raw(3)), lambda: r.get_cookie(raw(3).decode("latin-1")),
            lambda: r.set_cookie("a", raw().decode("latin-1")), lambda: get_request_absolute_url(r),
            lambda: setattr(r, "url", raw()), lambda: r.set_header(rnd.choice(names), raw()),
        ]
        for call in calls:
            try:
                call()
            except expected:
                pass
