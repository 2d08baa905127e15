"""Message: the raw header list and the operations on it, the Headers view,
the content-type tests and charset."""

from __future__ import annotations

import gc
import weakref

import pytest

from velmora.contents import Content, StreamedContent
from velmora.headers import Headers
from velmora.messages import Message, Request, Response, parse_charset


class MyBytes(bytes):
    pass


def raw(message):
    # The raw list is not exposed; the Headers view shares it.
    return message.headers.values


# ---------------------------------------------------------------- construction


def test_none_builds_an_empty_list_lazily():
    m = Message(None)
    assert m.get_headers(b"x") == []
    assert raw(m) == []


def test_constructor_copies_the_list_and_shares_names():
    source = [(bytes(b"content-type"), b"text/html"), ["not", "a tuple"], (b"x-odd", b"1", b"extra")]
    m = Message(source)
    source.append((b"late", b"1"))
    values = raw(m)
    assert values is not source and len(values) == 3
    # A well-known name becomes the shared object; other items are kept as they are.
    assert values[0][0] is Message([(b"content-type", b"")]).headers.values[0][0]
    assert values[1] == ["not", "a tuple"] and values[2] == (b"x-odd", b"1", b"extra")


def test_names_are_shared_but_not_lowered():
    m = Message([(b"Content-Type", b"a")])
    assert raw(m)[0][0] == b"Content-Type"
    assert m.get_first_header(b"content-type") == b"a"


@pytest.mark.parametrize("headers", [(), {}, "x", b"x"])
def test_constructor_rejects_other_than_list(headers):
    with pytest.raises(TypeError, match="Argument 'headers' has incorrect type"):
        Message(headers)


def test_bytes_subclass_name_is_rejected():
    with pytest.raises(TypeError):
        Message([(MyBytes(b"x"), b"1")])


def test_constructor_argument_count():
    with pytest.raises(TypeError):
        Message()
    assert Message(headers=None).get_headers("a") == []


# ---------------------------------------------------------------- reads


@pytest.fixture
def msg():
    return Message([(b"Content-Type", b"text/html"), (b"x-a", b"1"), ("X-A", "2"), (b"x-b", None)])


@pytest.mark.parametrize(
    "key, expected",
    [
        (b"content-type", [b"text/html"]),
        ("content-type", ["text/html"]),
        (b"X-A", [b"1", b"2"]),
        ("x-a", ["1", "2"]),
        (b"x-b", [None]),
        (b"missing", []),
    ],
)
def test_get_headers_follows_the_key_type(msg, key, expected):
    assert msg.get_headers(key) == expected


def test_get_first_and_single(msg):
    assert msg.get_first_header(b"CONTENT-TYPE") == b"text/html"
    assert msg.get_first_header("content-type") == "text/html"
    assert msg.get_first_header(b"nope") is None
    assert msg.get_single_header(b"content-type") == b"text/html"
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        msg.get_single_header(b"x-a")
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        msg.get_single_header("nope")


def test_values_of_other_types_convert_on_the_way_out():
    m = Message([(b"n", 5), (b"e", b"")])
    assert m.get_first_header(b"n") == b"5"
    assert m.get_first_header("n") == "5"
    assert m.get_first_header("e") == ""


def test_non_bytes_non_str_keys_and_names_compare_as_str():
    m = Message([])
    m.add_header(42, b"x")
    assert m.get_headers(42) == ["x"]
    assert m.get_headers(b"42") == [b"x"]


def test_latin1_case_folding_of_str_names():
    m = Message([("ÄBC", b"1"), (b"\xc4BC", b"2")])
    assert m.get_headers("äbc") == ["1"]
    assert m.get_headers(b"\xe4bc") == [b"1"]
    # bytes names fold by ASCII only: b"\xc4" stays, so only the same byte matches
    assert m.get_headers(b"\xc4bc") == [b"2"]


def test_str_key_above_latin1_fails_with_encode_error(msg):
    with pytest.raises(UnicodeEncodeError):
        msg.get_headers("ĉ")


@pytest.mark.parametrize(
    "entry, error",
    [(None, TypeError), (["a", "b"], TypeError), ((b"a",), IndexError), (b"ab", TypeError)],
)
def test_bad_entries_fail_readers_cleanly(entry, error):
    m = Message([(b"ok", b"1")])
    raw(m).append(entry)
    with pytest.raises(error):
        m.get_headers(b"x")
    with pytest.raises(error):
        m.get_first_header(b"x")
    # A match before the bad entry is still found.
    assert m.get_first_header(b"ok") == b"1"
    assert raw(m)[-1] == entry


@pytest.mark.parametrize(
    "entry, error, text",
    [
        ((b"a",), ValueError, "not enough values to unpack"),
        ((b"a", b"b", b"c"), ValueError, "too many values to unpack"),
        (None, TypeError, "cannot unpack non-iterable NoneType"),
    ],
)
def test_has_header_unpacks_pairs(entry, error, text):
    m = Message([])
    raw(m).append(entry)
    with pytest.raises(error, match=text):
        m.has_header(b"x")


def test_has_header_accepts_any_pair():
    m = Message([])
    raw(m).append([b"x", b"1"])
    assert m.has_header("X") is True
    assert m.has_header(b"y") is False


# ---------------------------------------------------------------- writes


def test_add_keeps_kinds_and_set_moves_to_the_end():
    m = Message([(b"a", b"1"), (b"x", b"1"), (b"A", b"2"), (b"b", b"1"), ("a", "3")])
    m.add_header("Z-Str", "v")
    assert raw(m)[-1] == ("Z-Str", "v")
    assert m.get_headers(b"z-str") == [b"v"]
    m.set_header(b"A", b"new")
    assert raw(m) == [(b"x", b"1"), (b"b", b"1"), ("Z-Str", "v"), (b"A", b"new")]
    m.remove_header("z-str")
    m.remove_header(b"absent")
    assert raw(m) == [(b"x", b"1"), (b"b", b"1"), (b"A", b"new")]


def test_remove_header_keeps_an_unequal_duplicate_name_entry_order():
    m = Message([(b"k", b"1"), (b"o", b"x"), (b"K", b"2")])
    m.remove_header(b"k")
    assert raw(m) == [(b"o", b"x")]


# ---------------------------------------------------------------- headers view


def test_headers_view_is_lazy_shared_and_stable():
    m = Message([(b"a", b"1")])
    assert m._headers is None
    view = m.headers
    assert isinstance(view, Headers) and m.headers is view and m._headers is view
    m.add_header(b"b", b"2")
    assert view.get_first(b"b") == b"2"
    view.add(b"c", b"3")
    assert m.get_first_header(b"c") == b"3"


def test_typed_fields():
    m = Message(None)
    with pytest.raises(TypeError, match="Expected Headers, got list"):
        m._headers = []
    with pytest.raises(TypeError, match="Expected Content, got bytes"):
        m.content = b"x"
    with pytest.raises(NotImplementedError):
        del m.context
    m.context = {"any": 1}
    m.scope_protocol = 1
    m._form_data = 2
    assert (m.context, m.scope_protocol, m._form_data) == ({"any": 1}, 1, 2)


# ---------------------------------------------------------------- content


@pytest.mark.parametrize(
    "content_type, json, xml",
    [
        (b"application/vnd.api+json; charset=utf-8", True, False),
        (b"APPLICATION/JSON", True, False),
        (b"application/problem+json", True, False),
        (b"text/xml", False, True),
        ("Text/JSON", True, False),
        (b"text/plain", False, False),
    ],
)
def test_declares(content_type, json, xml):
    m = Message([(b"content-type", content_type)])
    assert m.declares_json() is json
    assert m.declares_xml() is xml


def test_declares_without_content_type_and_with_wide_text():
    assert Message(None).declares_json() is False
    m = Message([(b"content-type", b"text/\xc9+JSON")])
    assert m.declares_content_type("é+json") is True
    assert m.declares_content_type("ĉ") is False
    assert m.declares_content_type(42) is False


def test_content_type_prefers_the_content():
    m = Message([(b"content-type", b"text/html")])
    assert m.content_type() == b"text/html"
    assert m.with_content(Content(b"application/json", b"{}")) is m
    assert m.content_type() == b"application/json"
    m.with_content(Content(b"", b"x"))
    assert m.content_type() == b"text/html"
    with pytest.raises(TypeError, match="Argument 'content'"):
        m.with_content(b"x")


def test_has_body():
    m = Message(None)
    assert m.has_body() is False
    assert m.with_content(Content(b"text/plain", b"")).has_body() is False
    assert m.with_content(Content(b"text/plain", b"x")).has_body() is True

    async def gen():
        yield b"x"

    assert m.with_content(StreamedContent(b"text/plain", gen)).has_body() is True


def test_body_buffer_without_content():
    view = Message(None).body_buffer
    assert isinstance(view, memoryview) and bytes(view) == b""


@pytest.mark.parametrize(
    "content_type, charset",
    [
        (None, "utf8"),
        (b"text/html", "utf8"),
        (b"text/html; CHARSET=ISO-8859-1", "ISO-8859-1"),
        (b"text/html; charset=", "utf8"),
        (b"text/html; charset=; charset=latin_1", "latin_1"),
    ],
)
def test_charset(content_type, charset):
    m = Message([] if content_type is None else [(b"content-type", content_type)])
    assert m.charset == charset


def test_charset_of_a_str_content_type_is_a_type_error():
    class StrType(Message):
        def content_type(self):
            return "text/html; charset=utf-8"

    with pytest.raises(TypeError):
        StrType(None).charset  # noqa: B018


def test_parse_charset():
    assert parse_charset(b"text/plain; charset=utf-8") == "utf-8"
    assert parse_charset(b"text/plain") is None
    with pytest.raises(TypeError):
        parse_charset("text/plain; charset=utf-8")
    with pytest.raises(TypeError):
        parse_charset(None)


# ---------------------------------------------------------------- server scopes


class Scope:
    def __init__(self, headers):
        self.headers = headers


class ScopeHeaders:
    def __init__(self, pairs):
        self._pairs = pairs

    def items(self):
        return iter(self._pairs)


def test_raw_list_from_an_rsgi_scope():
    r = Request.__new__(Request)
    r.scope = Scope(ScopeHeaders([("host", "example.com"), (b"x-b", "2"), (7, "n")]))
    assert r.get_first_header(b"host") == b"example.com"
    assert r.get_headers("x-b") == ["2"]
    assert r.get_first_header(b"7") == b"n"
    assert r.headers.values[0] == (b"host", "example.com")


def test_scope_header_names_above_latin1_fail():
    r = Request.__new__(Request)
    r.scope = Scope([("ĉ", "v")])
    with pytest.raises(UnicodeEncodeError):
        r.get_headers(b"x")


def test_asgi_scope_dict_is_not_read_for_headers():
    r = Request.__new__(Request)
    r.scope = {"headers": [(b"host", b"x")]}
    assert r.get_headers(b"host") == []


# ---------------------------------------------------------------- subclasses


def test_subclass_overrides_are_seen_by_the_other_methods():
    calls = []

    class Traced(Message):
        def content_type(self):
            calls.append("content_type")
            return b"application/json"

        def remove_header(self, key):
            calls.append(("remove", key))
            super().remove_header(key)

    m = Traced([(b"x", b"1")])
    assert m.declares_json() is True
    m.set_header(b"x", b"2")
    assert calls == ["content_type", ("remove", b"x")]
    assert m.get_headers(b"x") == [b"2"]


def test_weakref_and_gc():
    m = Message(None)
    ref = weakref.ref(m)
    m.context = m  # a cycle
    del m
    gc.collect()
    assert ref() is None


def test_types_are_immutable_and_subclassable():
    for t in (Message, Request, Response):
        with pytest.raises(TypeError):
            t.extra = 1
    assert issubclass(Request, Message) and issubclass(Response, Message)
