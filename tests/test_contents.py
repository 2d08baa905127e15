"""The content types, form parts, the URL-encoded form parser, the
simplification of multipart data and server-sent events."""

from __future__ import annotations

import asyncio
import random
import tempfile
from urllib.parse import parse_qs

import pytest

from velmora import contents as c
from velmora.multipart import parse_multipart_async
from velmora.settings.json import json_settings

run = asyncio.run


async def numbers():
    yield b"1"
    yield b"22"


async def collect(stream) -> list:
    return [chunk async for chunk in stream]


def every_content() -> list:
    return [
        c.Content(None, b""),
        c.Content(b"application/octet-stream", None),
        c.TextContent(""),
        c.HTMLContent(""),
        c.JSONContent(None),
        c.FormContent({}),
        c.StreamedContent(b"text/plain", numbers),
        c.MultiPartFormData([]),
        c.ASGIContent(lambda: None),
        c.RSGIContent(object()),
    ]


# -------------------------------------------------------------- Content


@pytest.mark.parametrize("content", every_content(), ids=lambda x: type(x).__name__)
def test_contents_are_truthy_and_dispose_twice(content):
    assert bool(content) is True
    assert not hasattr(content, "__len__")
    before = (content.type, content.body, content.length)
    assert content.dispose() is None and content.dispose() is None
    if not isinstance(content, (c.ASGIContent, c.RSGIContent)):
        assert (content.type, content.body, content.length) == before


@pytest.mark.parametrize(
    "body, length, read",
    [
        (b"abc", 3, b"abc"),
        (bytearray(b"abcd"), 4, b"abcd"),
        (memoryview(b"ab"), 2, b"ab"),
        ("h\u00e9", 3, "h\u00e9".encode()),
        (None, 0, None),
        (12, -1, b"12"),
    ],
)
def test_content_length_and_read(body, length, read):
    content = c.Content(b"x/y", body)
    assert (content.type, content.length) == (b"x/y", length)
    assert content.body is body
    result = run(content.read())
    assert result == read and (result is None or type(result) is bytes)
    assert run(collect(content.get_parts())) == ([read] if read else [])


def test_body_buffer_is_a_view_over_the_body():
    body = b"abc"
    view = c.Content(None, body).body_buffer
    assert isinstance(view, memoryview) and view.obj is body
    assert c.Content(None, None).body_buffer.tobytes() == b""
    assert c.Content(None, "\u00e9").body_buffer.tobytes() == "\u00e9".encode()
    assert not hasattr(c.Content(None, 12), "body_buffer")


@pytest.mark.parametrize(
    "factory, message",
    [
        (lambda: c.Content("text/plain", b""), "Argument 'content_type' has incorrect type (expected bytes, got str)"),
        (lambda: c.Content(b"x"), "missing required argument 'body'"),
        (lambda: c.TextContent(b"x"), "Argument 'text' has incorrect type (expected str, got bytes)"),
        (lambda: c.HTMLContent(None), "Argument 'html' has incorrect type"),
        (lambda: c.StreamedContent(b"x", b"not callable"), "Argument 'data_provider' has incorrect type"),
        (lambda: c.StreamedContent(b"x", numbers, -1, "path"), "at most 3 positional arguments"),
    ],
)
def test_constructor_checks(factory, message):
    with pytest.raises(TypeError) as info:
        factory()
    assert message in str(info.value)


@pytest.mark.parametrize(
    "content, media_type, body",
    [
        (c.TextContent("h\u00e9"), b"text/plain; charset=utf-8", "h\u00e9".encode()),
        (c.HTMLContent("<p>"), b"text/html; charset=utf-8", b"<p>"),
        (c.JSONContent({"a": [1, None], "b": "\u00e9"}), b"application/json", '{"a":[1,null],"b":"\u00e9"}'.encode()),
        (c.JSONContent([1], dumps=lambda v: "custom"), b"application/json", b"custom"),
        (c.JSONContent([1], lambda v: b"raw"), b"application/json", b"raw"),
        (c.FormContent({"a": ["1", "2"], "b": "x y&z"}), b"application/x-www-form-urlencoded", b"a=1&a=2&b=x+y%26z"),
        (c.FormContent([("k", "\u00e9")]), b"application/x-www-form-urlencoded", b"k=%C3%A9"),
    ],
)
def test_fixed_body_contents(content, media_type, body):
    assert isinstance(content, c.Content)
    assert (content.type, content.body, content.length) == (media_type, body, len(body))


def test_json_content_follows_the_json_settings():
    json_settings.use(dumps=lambda value: "[custom]")
    try:
        assert c.JSONContent({"a": 1}).body == b"[custom]"
        assert c.ServerSentEvent({"a": 1}).write_data() == "[custom]"
    finally:
        json_settings.use()
    assert c.JSONContent({"a": 1}).body == b'{"a":1}'


@pytest.mark.parametrize("bad", [lambda v: 1, lambda v: None])
def test_json_dumps_must_give_text(bad):
    with pytest.raises(TypeError, match="dumps\\(\\) must return str or bytes"):
        c.JSONContent({}, bad)


def test_json_content_of_an_unencodable_value():
    with pytest.raises(TypeError):
        c.JSONContent(object())


# ------------------------------------------------------ streamed content


def test_streamed_content_fields_and_parts():
    content = c.StreamedContent(b"text/plain", numbers, 3, file_path="/tmp/f", file_range=[0, 99])
    assert (content.type, content.body, content.length) == (b"text/plain", None, 3)
    assert content.generator is numbers
    assert (content.file_path, content.file_range) == ("/tmp/f", (0, 99))
    assert run(collect(content.get_parts())) == run(collect(content.stream())) == [b"1", b"22"]
    assert run(content.read()) == b"122"
    plain = c.StreamedContent(b"text/plain", numbers)
    assert (plain.length, plain.file_path, plain.file_range) == (-1, None, None)


@pytest.mark.parametrize("file_range", [(1,), (1, 2, 3), "ab", 5])
def test_file_range_is_a_pair(file_range):
    with pytest.raises((ValueError, TypeError)):
        c.StreamedContent(b"x", numbers, file_range=file_range)


def test_multipart_form_data_round_trip(tmp_path):
    upload = tmp_path / "up.bin"
    upload.write_bytes(b"\x00\x01" * 40000)

    async def extra():
        yield b"streamed "
        yield b"data"

    with upload.open("rb") as file:
        parts = [
            c.FormPart(name=b"field", data=b"value"),
            c.FormPart(name="quote\"d", data="\u00e9t\u00e9", charset=b"latin-1"),
            c.FileBuffer(b"upload", file, file_name=b"up.bin", content_type=b"application/octet-stream"),
            c.StreamedFormPart(b"s", extra, file_name=b"s.txt", content_type=b"text/plain"),
        ]
        content = c.MultiPartFormData(parts)
        assert isinstance(content, c.StreamedContent) and content.parts == parts
        assert content.type == b"multipart/form-data; boundary=" + content.boundary
        body = run(content.read())

    async def parse():
        async def stream():
            yield body

        found = []
        async for part in parse_multipart_async(stream(), content.boundary):
            found.append((part.name, part.file_name, b"".join([x async for x in part.stream()])))
        return found

    found = run(parse())
    assert [data for _, _, data in found] == [b"value", "\u00e9t\u00e9".encode("latin-1"), upload.read_bytes(),
                                             b"streamed data"]
    assert found[1][0] in ("quote%22d", b"quote%22d")


# ----------------------------------------------------------- form parts


def test_form_part_fields_and_file():
    part = c.FormPart(name=b"a", data=b"xyz", content_type=b"text/plain")
    assert (part.name, part.data, part.file_name, part.content_type, part.size, part.charset) == (
        b"a", b"xyz", None, b"text/plain", 3, None)
    assert part.file is None
    with tempfile.SpooledTemporaryFile() as spooled:
        part = c.FormPart(name=b"f", data=spooled, file_name=b"f.txt", size=0)
        assert part.file is spooled and part.size == 0
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        c.FormPart(b"a", b"b")
    assert isinstance(c.FileBuffer(b"n", None), c.FormPart)


# -------------------------------------------- URL-encoded form parser


def expected(text: str) -> dict:
    return {k: v[0] if len(v) == 1 else v for k, v in parse_qs(text, keep_blank_values=True).items()}


@pytest.mark.parametrize(
    "text",
    [
        "",
        "a=1",
        "a=1&b=2&a=3&a=4",
        "a&b=&=c&&&",
        "a=x+y&b=%2B%20",
        "k=%zz%4&k2=%%41%",
        "k=%FF%FE&k=%C3",
        "\u00e9=\u00e8&%C3%A9=%C3%A8",
        "k=%C3\u00e9%A9",
        "a=1;b=2",
        "a==b&=",
        "\U0001f600=%F0%9F%98%80",
    ],
)
def test_parse_www_form_urlencoded_matches_parse_qs(text):
    assert c.parse_www_form_urlencoded(text) == expected(text)


def test_parse_www_form_urlencoded_on_random_text():
    alphabet = "ab=&+%%%0123456789ABCDEFcdef\u00e9\U0001f600; "
    generator = random.Random(7)
    for _ in range(3000):
        text = "".join(generator.choice(alphabet) for _ in range(generator.randrange(12)))
        assert c.parse_www_form_urlencoded(text) == expected(text), text


def test_parse_www_form_urlencoded_takes_str_only():
    with pytest.raises(TypeError, match="Argument 'text' has incorrect type"):
        c.parse_www_form_urlencoded(b"a=1")
    assert c.parse_www_form_urlencoded(text="a=1") == {"a": "1"}


# ------------------------------------------------- multipart simplification


def test_simplify_multipart_data():
    with tempfile.SpooledTemporaryFile() as spooled, tempfile.SpooledTemporaryFile() as upload:
        spooled.write("\u00e9t\u00e9".encode("latin-1"))
        spooled.seek(0)
        upload_part = c.FormPart(name=b"up", data=upload, file_name=b"u.txt")
        data = {
            "plain": [c.FormPart(name=b"plain", data=b"caf\xc3\xa9")],
            b"latin": [c.FormPart(name=b"latin", data=spooled, charset=b"latin-1")],
            "many": [c.FormPart(name=b"many", data=b"1"), c.FormPart(name=b"many", data=b"2"), upload_part],
            "up": [upload_part],
            "odd": [c.FormPart(name=b"odd", data=b"\xff", charset=b"no-such-charset")],
            "bad": [c.FormPart(name=b"bad", data=b"\xff")],
            "other": "kept",
        }
        result = c.simplify_multipart_data(data)
        assert result == {
            "plain": "caf\u00e9",
            "latin": "\u00e9t\u00e9",
            "many": ["1", "2", upload_part],
            "up": upload_part,
            "odd": "\ufffd",
            "bad": "\ufffd",
            "other": "kept",
        }
        assert spooled.tell() == 0  # the file can be read again
        assert data["many"][2] is upload_part  # the input is not changed


# -------------------------------------------------------- server-sent events


def test_server_sent_event_fields_and_data():
    event = c.ServerSentEvent({"a": [1, "\u00e9"]}, event="tick", id="7", retry=3000, comment="hi")
    assert (event.data, event.event, event.id, event.retry, event.comment) == (
        {"a": [1, "\u00e9"]}, "tick", "7", 3000, "hi")
    assert event.write_data() == '{"a":[1,"\u00e9"]}'
    assert c.ServerSentEvent("x").retry == -1
    text = c.TextServerSentEvent("a\r\nb\nc\rd", event="e")
    assert isinstance(text, c.ServerSentEvent)
    assert text.write_data() == "a\r\nb\nc\rd" and text.event == "e"


@pytest.mark.parametrize(
    "factory, name",
    [
        (lambda: c.ServerSentEvent(1, event=b"e"), "event"),
        (lambda: c.ServerSentEvent(1, id=2), "id"),
        (lambda: c.ServerSentEvent(1, comment=3), "comment"),
        (lambda: c.ServerSentEvent(1, retry="5"), "retry"),
        (lambda: c.TextServerSentEvent(b"x"), "text"),
    ],
)
def test_server_sent_event_argument_checks(factory, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        factory()


def test_server_sent_event_data_that_json_cannot_encode():
    with pytest.raises(TypeError, match="complex"):
        c.ServerSentEvent({1j}).write_data()


# ------------------------------------------------------------ the types

CONSTRUCTED = {
    c.Content: lambda cls: cls(None, b""),
    c.TextContent: lambda cls: cls("x"),
    c.HTMLContent: lambda cls: cls("x"),
    c.JSONContent: lambda cls: cls(1),
    c.FormContent: lambda cls: cls({}),
    c.StreamedContent: lambda cls: cls(None, numbers),
    c.MultiPartFormData: lambda cls: cls([]),
    c.ASGIContent: lambda cls: cls(lambda: None),
    c.RSGIContent: lambda cls: cls(object()),
    c.ServerSentEvent: lambda cls: cls(1),
    c.TextServerSentEvent: lambda cls: cls("x"),
    c.FormPart: lambda cls: cls(name=b"a", data=b""),
    c.FileBuffer: lambda cls: cls(b"a", None),
    c.StreamedFormPart: lambda cls: cls(b"a", numbers),
}


@pytest.mark.parametrize("cls", list(CONSTRUCTED), ids=lambda t: t.__name__)
def test_types_are_weakly_referenceable_subclassable_and_immutable(cls):
    import gc
    import weakref

    sub = type("Sub", (cls,), {"extra": lambda self: 42})
    obj = CONSTRUCTED[cls](sub)
    obj.anything = 1
    ref = weakref.ref(obj)
    assert obj.extra() == 42 and ref() is obj
    del obj
    gc.collect()
    assert ref() is None
    with pytest.raises(TypeError):
        cls.injected = 1


class JoinedText(c.TextContent):
    def __init__(self, a, b):
        super().__init__(a + b)


class TaggedEvent(c.ServerSentEvent):
    def __new__(cls, *args, **kwargs):
        self = super().__new__(cls)
        self.tag = "new ran"
        return self


def test_constructor_calls_with_keywords_and_in_subclasses():
    assert c.TextContent(text="k").body == b"k"
    assert c.Content(body=b"1", content_type=None).length == 1
    assert c.ASGIContent(receive=print)._source is print
    assert JoinedText("x", "y").body == b"xy"
    event = TaggedEvent(1, retry=5)
    assert (event.tag, event.retry) == ("new ran", 5)
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        c.TextContent("a", "b")
    with pytest.raises(TypeError, match="unexpected keyword argument 'txt'"):
        c.TextContent(txt="a")
