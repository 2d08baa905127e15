import gc
import pickle
import weakref

import pytest

from velmora.url import URL, InvalidURL, build_absolute_url, join_prefix


def arg_error(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    "raw, schema, host, port, path, query, fragment",
    [
        (b"https://example.com:8443/a/b?x=1#f", b"https", b"example.com", 8443, b"/a/b", b"x=1", b"f"),
        (b"http://example.com/", b"http", b"example.com", 0, b"/", None, None),
        (b"http://example.com", b"http", b"example.com", 0, None, None, None),
        (b"/api/users/42?page=2", None, None, 0, b"/api/users/42", b"page=2", None),
        (b"/p?#", None, None, 0, b"/p", None, None),
        (b"http://[::1]:8080/a", b"http", b"::1", 8080, b"/a", None, None),
        (b"/caf%C3%A9", None, None, 0, b"/caf%C3%A9", None, None),
    ],
)
def test_fields(raw, schema, host, port, path, query, fragment):
    u = URL(raw)
    assert (u.value, u.schema, u.host, u.port, u.path, u.query, u.fragment) == (
        raw, schema, host, port, path, query, fragment)
    assert u.is_absolute is (schema is not None)
    # Same answer when the parts come from the table of recent values.
    again = URL(raw)
    assert again is not u
    assert (again.schema, again.host, again.port, again.path, again.query, again.fragment) == (
        schema, host, port, path, query, fragment)


def test_dot_rule():
    u = URL(b"./a")
    assert u.value == b"/./a" and u.path == b"/./a"
    assert URL(b"./a").value == b"/./a"


def test_fields_are_read_only():
    u = URL(b"/a")
    for name in ("value", "schema", "host", "port", "path", "query", "fragment", "is_absolute"):
        with pytest.raises(AttributeError):
            setattr(u, name, None)


def test_many_values_keep_their_own_parts():
    # More values than the table of recent parses holds: collisions must
    # never hand one value the parts of another.
    values = [b"/p%d?q=%d" % (i, i) for i in range(3000)]
    for _ in range(2):
        for i, v in enumerate(values):
            u = URL(v)
            assert (u.path, u.query) == (b"/p%d" % i, b"q=%d" % i)


@pytest.mark.parametrize("value", [None, b""])
def test_empty(value):
    with pytest.raises(InvalidURL) as info:
        URL(value)
    assert str(info.value) == "Input empty or null."


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"a/b", "The value cannot be parsed as URL (a/b): invalid url b'a/b'"),
        (b"ftp://x/y", "The value cannot be parsed as URL (ftp://x/y): Expected http or https schema; got instead ftp"),
        (b"HTTP://x/", "The value cannot be parsed as URL (HTTP://x/): Expected http or https schema; got instead HTTP"),
        (b"http://x:99999/", "The value cannot be parsed as URL (http://x:99999/): invalid url b'http://x:99999/'"),
        (b".a b", "The value cannot be parsed as URL (/.a b): invalid url b'/.a b'"),
        (b"/caf\xc3\xa9", "The value cannot be parsed as URL (/caf\u00e9): invalid url b'/caf\\xc3\\xa9'"),
    ],
)
def test_unparseable(raw, message):
    with pytest.raises(InvalidURL) as info:
        URL(raw)
    assert str(info.value) == message
    assert info.value.__context__ is not None  # the parser's own error


def test_unparseable_non_utf8_reports_the_decoding_error():
    with pytest.raises(UnicodeDecodeError) as info:
        URL(b"/\xff\xfe")
    assert info.value.__context__ is not None


@pytest.mark.parametrize("value, got", [("/a", "str"), (1, "int"), (bytearray(b"/a"), "bytearray")])
def test_wrong_type(value, got):
    with pytest.raises(TypeError) as info:
        URL(value)
    assert str(info.value) == arg_error("value", "bytes", got)


def test_argument_count_and_keyword():
    with pytest.raises(TypeError):
        URL()
    with pytest.raises(TypeError):
        URL(b"/a", b"/b")
    assert URL(value=b"/a").path == b"/a"


def test_bytes_subclass_value_is_stored_as_bytes():
    class B(bytes):
        pass

    u = URL(B(b"/a?x=1"))
    assert type(u.value) is bytes and u.value == b"/a?x=1" and u.query == b"x=1"


def test_long_values():
    raw = b"/" + b"a" * 60_000 + b"?q=1"
    u = URL(raw)
    assert u.path == raw[:-4] and u.query == b"q=1"
    # Beyond what the parser can address: refused, not truncated.
    with pytest.raises(InvalidURL):
        URL(b"/" + b"a" * 1_000_000)


def test_str_repr():
    u = URL(b"/caf%C3%A9?x='1'")
    assert str(u) == "/caf%C3%A9?x='1'"
    assert repr(u) == "<URL b\"/caf%C3%A9?x='1'\">"


def test_equality_and_hash():
    a, b = URL(b"/a"), URL(b"/a")
    assert a == b and not (a != b)
    assert a != URL(b"/b")
    assert a != b"/a" and not (a == b"/a")
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        {a}


def test_add():
    assert (URL(b"/a/") + b"/b").value == b"/a/b"
    assert (URL(b"/a") + URL(b"/b")).value == b"/a/b"
    with pytest.raises(TypeError):
        URL(b"/a") + "/b"
    with pytest.raises(TypeError):
        b"/a" + URL(b"/b")


@pytest.mark.parametrize(
    "left, right, result",
    [
        (b"/a/", b"/b", b"/a/b"),
        (b"/a", b"*", b"/a*"),
        (b"/a", b"/b", b"/a/b"),
        (b"http://h.com/", b"/x?y=1", b"http://h.com/x?y=1"),
    ],
)
def test_join(left, right, result):
    joined = URL(left).join(URL(right))
    assert type(joined) is URL and joined.value == result


def test_join_errors():
    with pytest.raises(ValueError) as info:
        URL(b"/a?x=1").join(URL(b"http://h/"))
    assert str(info.value) == "Cannot concatenate to an absolute URL (b'/a?x=1' + b'http://h/')"
    for left in (b"/a?x=1", b"/a#f"):
        with pytest.raises(ValueError) as info:
            URL(left).join(URL(b"/b"))
        assert str(info.value) == "Cannot concatenate a URL with query or fragment to another URL portion"
    for other, got in ((None, "NoneType"), (b"/b", "bytes")):
        with pytest.raises(TypeError) as info:
            URL(b"/a").join(other)
        assert str(info.value) == arg_error("other", "velmora.url.URL", got)


@pytest.mark.parametrize(
    "raw, base",
    [
        (b"https://h.com:443/a?b#c", b"https://h.com"),
        (b"http://h.com:80/a", b"http://h.com"),
        (b"http://h.com:443/a", b"http://h.com:443"),
        (b"https://h.com:8443/", b"https://h.com:8443"),
        (b"http://h.com", b"http://h.com"),
        (b"http://[::1]:8080/a", b"http://[::1]:8080"),
    ],
)
def test_base_url(raw, base):
    assert URL(raw).base_url().value == base


def test_base_url_relative():
    with pytest.raises(ValueError) as info:
        URL(b"/a").base_url()
    assert str(info.value) == "This URL is relative. Cannot extract a base URL (without path)."


@pytest.mark.parametrize(
    "raw, method, arg, result",
    [
        (b"/p?x=1#f", "with_query", b"", b"/p#f"),
        (b"/p?x=1#f", "with_query", None, b"/p#f"),
        (b"/p", "with_query", b"a=1", b"/p?a=1"),
        (b"http://h.com/p?x=1", "with_query", b"y=2", b"http://h.com/p?y=2"),
        (b"http://h.com/p?x#f", "with_host", b"o.org", b"http://o.org/p?x#f"),
        (b"http://h.com/p?x#f", "with_scheme", b"https", b"https://h.com/p?x#f"),
        # The port stays with the URL.
        (b"http://h.com:8080/a", "with_query", b"q=1", b"http://h.com:8080/a?q=1"),
        (b"http://h.com:8080/a", "with_host", b"o.org", b"http://o.org:8080/a"),
        (b"http://h.com:8080/a", "with_host", b"o.org:9000", b"http://o.org:9000/a"),
        (b"http://h.com:8080/a", "with_scheme", b"https", b"https://h.com:8080/a"),
        (b"http://[::1]:8080/a", "with_query", b"q", b"http://[::1]:8080/a?q"),
        # An explicit default port stands for the old scheme's default.
        (b"http://h.com:80/a", "with_scheme", b"https", b"https://h.com/a"),
        # A URL without a path.
        (b"http://h.com", "with_query", b"q=1", b"http://h.com?q=1"),
        (b"http://h.com", "with_host", b"o.org", b"http://o.org"),
        (b"http://h.com", "with_scheme", b"https", b"https://h.com"),
    ],
)
def test_with(raw, method, arg, result):
    out = getattr(URL(raw), method)(arg)
    assert type(out) is URL and out.value == result


def test_with_errors():
    for method in ("with_host", "with_scheme"):
        with pytest.raises(ValueError) as info:
            getattr(URL(b"/a"), method)(b"x")
        assert str(info.value) == "This URL is not absolute."
    with pytest.raises(InvalidURL) as info:
        URL(b"http://h/").with_scheme(b"ftp")
    assert str(info.value) == "Expected http or https schema; got instead ftp"
    for method, name in (("with_host", "host"), ("with_scheme", "schema"), ("with_query", "query")):
        with pytest.raises(TypeError) as info:
            getattr(URL(b"http://h/"), method)("x")
        assert str(info.value) == arg_error(name, "bytes", "str")
    # None passes the argument check and then fails in the concatenation.
    for method in ("with_host", "with_scheme"):
        with pytest.raises(TypeError, match="can't concat NoneType to bytes"):
            getattr(URL(b"http://h/"), method)(None)
    with pytest.raises(InvalidURL):
        URL(b"http://h/").with_host(b"bad host")


@pytest.mark.parametrize(
    "scheme, host, base_path, path, result",
    [
        (b"http", b"h", b"app/", b"x", b"http://h/app/x"),
        (b"http", b"h", b"", b"", b"http://h/"),
        (b"https", b"h:8443", None, None, b"https://h:8443/"),
        (b"http", b"h", b"/app", b"/x", b"http://h/app/x"),
        (b"http", b"h", b"/", b"x", b"http://h/x"),
    ],
)
def test_build_absolute_url(scheme, host, base_path, path, result):
    u = build_absolute_url(scheme, host, base_path, path)
    assert type(u) is URL and u.value == result


def test_build_absolute_url_errors():
    with pytest.raises(TypeError) as info:
        build_absolute_url(b"http", "h", b"", b"")
    assert str(info.value) == arg_error("host", "bytes", "str")
    with pytest.raises(TypeError, match="can't concat NoneType to bytes"):
        build_absolute_url(None, b"h", b"", b"/")
    with pytest.raises(TypeError):
        build_absolute_url(b"http", b"h", b"")


@pytest.mark.parametrize(
    "prefix, path, result",
    [
        ("/api", "users", "/api/users"),
        ("/api/", "/users", "/api/users"),
        ("api", "", "/api/"),
        ("api", None, "/api/"),
        ("", "users", "users"),
        (None, None, None),
        ("/api", "/users", "/api/users"),
        ("/api/", "users", "/api/users"),
        ("/\u00e9\ud800", "\U0001f600", "/\u00e9\ud800/\U0001f600"),
    ],
)
def test_join_prefix(prefix, path, result):
    assert join_prefix(prefix, path) == result


def test_join_prefix_errors():
    with pytest.raises(TypeError) as info:
        join_prefix(b"/api", "x")
    assert str(info.value) == arg_error("prefix", "str", "bytes")
    with pytest.raises(TypeError):
        join_prefix("/api")


def test_invalid_url_class():
    assert issubclass(InvalidURL, Exception)
    e = InvalidURL("boom")
    assert str(e) == "boom" and e.args == ("boom",)
    assert InvalidURL(message="m").args == ("m",)
    assert str(pickle.loads(pickle.dumps(e))) == "boom"
    with pytest.raises(TypeError):
        InvalidURL()
    with pytest.raises(TypeError):
        InvalidURL("a", "b")


def test_subclass_and_weakref():
    class Sub(URL):
        def __init__(self, value, tag="t"):
            self.tag = tag

        def join(self, other):
            return "overridden"

    s = Sub(b"/a")
    assert type(s) is Sub and s.tag == "t" and s.path == b"/a"
    assert s + b"/b" == "overridden"  # + goes through the override-aware table
    u = URL(b"/a")
    ref = weakref.ref(u)
    del u
    gc.collect()
    assert ref() is None
