"""Request: construction, URL and path, host, scheme and client values from
ASGI and RSGI scopes, identity, session, htmx values and the module
functions."""

from __future__ import annotations

import pytest

from keyhold import Identity
from velmora.exceptions import BadRequest
from velmora.messages import (
    Request,
    ensure_bytes,
    get_absolute_url_to_path,
    get_request_absolute_url,
    is_cors_preflight_request,
    is_cors_request,
    method_without_body,
)
from velmora.url import URL


def asgi(path=b"/", query=b"", headers=(), **scope):
    base = {"type": "http", "scheme": "http", "root_path": "", "client": ("127.0.0.1", 5000)}
    base.update(scope)
    return Request.incoming("GET", path, query, list(headers), base)


class RSGIScope:
    """The attributes an RSGI server's scope object has (no `get`)."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


# ---------------------------------------------------------------- construction


def test_constructor_parses_the_url_and_interns():
    r = Request("GET", b"/a/b?x=1", [(b"host", b"h")])
    assert r.method is Request("GET", None, None).method
    assert (r._path, r._raw_query, r.path, r.raw_query) == (b"/a/b", b"x=1", "/a/b", b"x=1")
    assert isinstance(r._url, URL) and r._session is None
    empty = Request(None, b"", None)
    assert (empty._url, empty._path, empty.method, empty.path, empty.raw_path) == (None, None, None, "", b"")


@pytest.mark.parametrize(
    "args, name",
    [((b"GET", b"/", None), "method"), (("GET", "/", None), "url"), (("GET", b"/", ()), "headers")],
)
def test_constructor_argument_types(args, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        Request(*args)


def test_incoming_takes_bytes_methods_and_keeps_the_scope():
    scope = {"type": "http"}
    r = Request.incoming(b"POST", b"/p", b"q=1", None, scope)
    assert r.method == "POST" and r.scope is scope and r._path == b"/p"
    assert r.get_headers(b"x") == []
    with pytest.raises(TypeError, match="Argument 'headers'"):
        Request.incoming("GET", b"/", b"", (), None)
    with pytest.raises(TypeError, match="Argument 'method'"):
        Request.incoming(5, b"/", b"", None, None)


def test_new_request_fields_are_none():
    r = Request.__new__(Request)
    names = ["method", "_url", "_path", "_raw_query", "route_values", "scope", "_user", "_di_scope", "state",
             "_session", "_base_path", "_original_client_ip", "_host", "_scheme", "_context", "services",
             "_is_disconnected", "content", "context", "_headers"]
    assert all(getattr(r, n) is None for n in names)
    assert r.scratchpad_arena_stats() == (0, 0, False)


@pytest.mark.parametrize("name, bad", [("method", b"GET"), ("_host", 1), ("_url", b"/"), ("_scheme", b"x")])
def test_typed_request_fields(name, bad):
    r = Request("GET", None, None)
    with pytest.raises(TypeError, match="^Expected "):
        setattr(r, name, bad)
    with pytest.raises(NotImplementedError):
        delattr(r, name)


# ---------------------------------------------------------------- URL and path


def test_url_is_built_from_the_raw_values_and_cached():
    r = asgi(b"/a%20b", b"x=1")
    url = r.url
    assert url.value == b"/a%20b?x=1" and r.url is url and r._url is url
    # RSGI servers pass the path decoded: the URL holds it percent-encoded.
    r2 = Request.incoming("GET", "/ü x", "q=1", None, None)
    assert r2.raw_path == "/ü x".encode() and r2.url.value == b"/%C3%BC%20x?q=1"


def test_path_with_invalid_utf8_is_replaced():
    assert asgi(b"/a\xff").path == "/a\ufffd"


@pytest.mark.parametrize(
    "value, path, query",
    [(b"/n?a=1", b"/n", b"a=1"), ("/s?", b"/s", None), (URL(b"/u"), b"/u", None)],
)
def test_relative_url_setter_keeps_the_host(value, path, query):
    r = asgi(headers=[(b"host", b"example.com")])
    assert r.host == "example.com"
    r.url = value
    assert (r._path, r._raw_query) == (path, query)
    assert r.host == "example.com" and r.get_first_header(b"host") == b"example.com"


def test_absolute_url_setter_takes_its_host():
    r = asgi(headers=[(b"host", b"old.example")])
    assert r.host == "old.example"
    r.url = b"https://new.example:8443/p?q=1"
    assert r.host == "new.example" and r.get_headers(b"host") == []
    assert (r.path, r.raw_query) == ("/p", b"q=1")


def test_url_setter_errors_and_clearing():
    r = asgi(b"/a", b"b=1", headers=[(b"host", b"h")])
    with pytest.raises(TypeError, match="^Invalid value type, expected bytes, str, or URL$"):
        r.url = 5
    with pytest.raises(NotImplementedError):
        del r.url
    r.url = None
    assert (r._url, r._path, r._raw_query) == (None, None, None)
    assert r.host == "h"


def test_query_reads_utf8_like_the_parameter_scan():
    r = asgi(query="q=café&q=%C3%A9&e".encode())
    assert r.query == {"q": ["café", "é"]}
    assert r.query is not r.query
    assert asgi(query=b"q=\xff").query == {"q": ["\ufffd"]}
    assert Request.incoming("GET", b"/", "a=1", None, None).query == {"a": ["1"]}
    assert asgi().query == {}


def test_query_setter_encodes_and_keeps_a_relative_host():
    r = asgi(b"/p", b"old=1", headers=[(b"host", b"h")])
    r.query = {"a": ["1", "2"], "b": "x y"}
    assert r.raw_query == b"a=1&a=2&b=x+y"
    assert r.url.value == b"/p?a=1&a=2&b=x+y"
    assert r.host == "h"
    absolute = Request("GET", b"http://abs.example/p", [(b"host", b"h")])
    absolute.query = {"z": "1"}
    assert absolute.url.value == b"http://abs.example/p?z=1" and absolute.host == "abs.example"


# ---------------------------------------------------------------- host, scheme, client


def test_host_sources_and_errors():
    assert asgi(headers=[(b"host", b"a.example"), (b"host", b"b")]).host == "a.example"
    r = asgi()
    with pytest.raises(BadRequest, match="^Missing Host header$"):
        r.host  # noqa: B018
    r.host = "set.example"
    assert r.host == "set.example"
    with pytest.raises(TypeError):
        r.host = b"x"


@pytest.mark.parametrize("value", [b"bad\xff.example", b"a b.example", b"a\tb", b"x\x00", "ĉ.example"])
def test_unusable_host_is_a_bad_request(value):
    r = asgi(headers=[(b"host", value)])
    with pytest.raises(BadRequest, match="^Invalid Host header$"):
        r.host  # noqa: B018


def test_scheme_base_path_client_from_asgi():
    r = asgi(scheme="https", root_path="/app", client=("10.0.0.1", 1234))
    assert (r.scheme, r.base_path, r.client_ip, r.original_client_ip) == ("https", "/app", "10.0.0.1", "10.0.0.1")
    r.scheme = "wss"
    r.base_path = "/b"
    r.original_client_ip = "1.1.1.1"
    assert (r.scheme, r.base_path, r.original_client_ip, r.client_ip) == ("wss", "/b", "1.1.1.1", "10.0.0.1")


@pytest.mark.parametrize("client", [None, (), ("a",), 5, ("a", 1, 2)])
def test_client_ip_of_odd_entries_is_empty(client):
    assert asgi(client=client).client_ip == ""


def test_values_without_scope():
    r = Request("GET", None, None)
    assert (r.scheme, r.base_path, r.client_ip) == ("", "", "")
    r.scope = {}
    assert r.scheme == ""


@pytest.mark.parametrize(
    "client, ip",
    [("1.2.3.4:5678", "1.2.3.4"), ("[::1]:8000", "::1"), ("fe80::1:443", "fe80::1"), ("host", "host")],
)
def test_rsgi_scope_values(client, ip):
    r = Request.incoming("GET", "/p", "", None, RSGIScope(scheme="https", client=client))
    assert (r.scheme, r.client_ip, r.base_path) == ("https", ip, "")


def test_rsgi_scope_missing_attributes():
    r = Request.incoming("GET", "/p", "", None, RSGIScope())
    assert (r.scheme, r.client_ip, r.base_path) == ("", "", "")


# ---------------------------------------------------------------- identity, session


def test_user_identity_session():
    r = asgi()
    user = r.user
    assert isinstance(user, Identity) and r.identity is user and r._user is user
    r.identity = "someone"
    assert r.user == "someone"
    with pytest.raises(TypeError, match=r"^A session is not configured for this request, activate sessions "
                                        r"using `app\.use_sessions` method\.$"):
        r.session  # noqa: B018
    r.session = {"k": 1}
    assert r.session == {"k": 1} and r._session == {"k": 1}


# ---------------------------------------------------------------- header values


@pytest.mark.parametrize(
    "value, expected",
    [(b"100-continue", True), (b"100-Continue", True), (b"100-continue, x", False), (b" 100-continue", False),
     (None, False)],
)
def test_expect_100_continue(value, expected):
    r = asgi(headers=[] if value is None else [(b"expect", value)])
    assert r.expect_100_continue() is expected


def test_expect_header_of_another_type():
    class Odd(Request):
        def get_first_header(self, key):
            return "100-continue"

    with pytest.raises(TypeError):
        Odd.__new__(Odd).expect_100_continue()


def test_etag_and_if_none_match():
    r = asgi(headers=[(b"ETag", b'"a"'), (b"if-none-match", b'"b"')])
    assert (r.etag, r.if_none_match) == (b'"a"', b'"b"')
    assert asgi().etag is None


def test_htmx_values():
    r = asgi(headers=[(b"HX-Request", b""), (b"hx-target", b"#main"), (b"hx-trigger", "str-value"),
                      (b"hx-current-url", b"/p\xff"), (b"hx-prompt", 42)])
    assert r.is_htmx is True
    assert (r.htmx_target, r.htmx_target_id, r.htmx_trigger) == ("#main", "main", "str-value")
    assert (r.htmx_current_url, r.htmx_prompt) == ("/p\ufffd", "42")
    plain = asgi(headers=[(b"hx-target", b"main")])
    assert (plain.htmx_target_id, plain.is_htmx, plain.htmx_prompt) == ("main", False, None)
    assert asgi().htmx_target_id is None


def test_repr():
    assert repr(asgi(b"/p", b"a=1")) == "<Request GET /p?a=1>"
    assert repr(Request(None, b"/x%FF", None)) == "<Request None /x%FF>"


# ---------------------------------------------------------------- module functions


@pytest.mark.parametrize(
    "method, expected",
    [("GET", True), ("HEAD", True), ("TRACE", True), ("get", False), ("POST", False), (b"GET", False),
     ("".join(["G", "E", "T"]), True)],
)
def test_method_without_body(method, expected):
    assert method_without_body(method) is expected


def test_ensure_bytes():
    assert ensure_bytes("é") == "é".encode()
    value = b"x"
    assert ensure_bytes(value) is value
    with pytest.raises(ValueError, match="^Input value must be bytes or str$"):
        ensure_bytes(5)
    for sub in (type("B", (bytes,), {})(b"x"), type("S", (str,), {})("x")):
        with pytest.raises(TypeError):
            ensure_bytes(sub)


@pytest.mark.parametrize(
    "method, headers, cors, preflight",
    [
        ("GET", [(b"origin", b"https://a")], True, False),
        ("OPTIONS", [(b"origin", b"https://a"), (b"access-control-request-method", b"PUT")], True, True),
        ("OPTIONS", [(b"origin", b"https://a")], True, False),
        ("OPTIONS", [(b"access-control-request-method", b"PUT")], False, False),
        ("OPTIONS", [(b"origin", b"")], False, False),
    ],
)
def test_cors_tests(method, headers, cors, preflight):
    r = Request.incoming(method, b"/", b"", headers, None)
    assert is_cors_request(r) is cors
    assert is_cors_preflight_request(r) is preflight


def test_cors_tests_require_a_request():
    with pytest.raises(TypeError, match="Argument 'request'"):
        is_cors_request(object())


def test_absolute_urls_for_asgi_and_rsgi():
    r = asgi(b"/p/q", b"x=1", headers=[(b"host", b"example.com")], scheme="https", root_path="/app")
    assert get_request_absolute_url(r).value == b"https://example.com/app/p/q"
    assert get_absolute_url_to_path(r, "/other").value == b"https://example.com/app/other"
    rsgi = Request.incoming("GET", "/ü", "", [(b"host", b"h")], RSGIScope(scheme="http", client="1.2.3.4:1"))
    assert get_request_absolute_url(rsgi).value == b"http://h/%C3%BC"
    absolute = Request("GET", b"http://abs/p?q=1", None)
    assert get_request_absolute_url(absolute) is absolute.url


class Proxied(Request):
    @property
    def scheme(self):
        return "https"


def test_absolute_url_helpers_use_overridden_properties():
    r = Proxied("GET", b"/p", [(b"host", b"h")])
    assert get_request_absolute_url(r).value == b"https://h/p"
