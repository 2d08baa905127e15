"""The interface velmora.contents publishes, seen from a sibling module
built against contents_api.h: the layouts, the override-aware tables and
the native entry points."""

from __future__ import annotations

import pytest

from velmora import contents as c

consumer = pytest.importorskip("velmora._contents_consumer")


def test_every_published_type():
    names = ["Content", "StreamedContent", "TextContent", "HTMLContent", "JSONContent", "FormContent",
             "FileBuffer", "StreamedFormPart", "MultiPartFormData", "ASGIContent", "RSGIContent",
             "ServerSentEvent", "TextServerSentEvent", "FormPart"]
    assert consumer.types() == tuple(getattr(c, name) for name in names)


async def provider():
    yield b"x"


@pytest.mark.parametrize(
    "content, fields",
    [
        (c.Content(b"a/b", b"xyz"), (b"a/b", b"xyz", 3)),
        (c.TextContent("\u00e9"), (b"text/plain; charset=utf-8", "\u00e9".encode(), 2)),
        (c.StreamedContent(b"a/b", provider, 5), (b"a/b", None, 5)),
        (c.ASGIContent(lambda: None), (None, None, -1)),
        (c.Content.__new__(c.Content), (None, None, -1)),
    ],
)
def test_content_layout(content, fields):
    assert consumer.content_fields(content) == fields


def test_streamed_and_event_layouts():
    content = c.StreamedContent(None, provider, file_path="f", file_range=(1, 2))
    assert consumer.streamed_fields(content) == (provider, "f", (1, 2))
    assert consumer.streamed_fields(c.StreamedContent.__new__(c.StreamedContent)) == (None, None, None)
    event = c.ServerSentEvent([1], "name", "id", 5, "note")
    assert consumer.event_fields(event) == ([1], "name", "id", 5, "note")
    assert consumer.event_fields(c.ServerSentEvent.__new__(c.ServerSentEvent)) == (None, None, None, -1, None)


class Recording(c.Content):
    def dispose(self):
        self.calls = getattr(self, "calls", 0) + 1


class Failing(c.TextContent):
    def dispose(self):
        raise RuntimeError("dispose failed")


class Plain(c.ASGIContent):
    pass


def test_dispose_through_the_table():
    recording = Recording(None, b"")
    consumer.dispose(recording)
    consumer.dispose(recording)
    assert recording.calls == 2
    with pytest.raises(RuntimeError, match="dispose failed"):
        consumer.dispose(Failing("x"))
    plain = Plain(lambda: None)  # a subclass without an override: the native dispose
    consumer.dispose(plain)
    assert plain._source is None
    text = c.TextContent("x")
    consumer.dispose(text)
    assert text.body == b"x"


class Upper(c.TextServerSentEvent):
    def write_data(self):
        return self.data.upper()


class Broken(c.ServerSentEvent):
    def write_data(self):
        raise ValueError("no data")


class Inherited(c.TextServerSentEvent):
    pass


@pytest.mark.parametrize(
    "event, data",
    [
        (c.ServerSentEvent({"a": 1}), '{"a":1}'),
        (c.TextServerSentEvent("a\nb"), "a\nb"),
        (Upper("abc"), "ABC"),
        (Inherited("as is"), "as is"),
    ],
)
def test_write_data_through_the_table(event, data):
    assert consumer.write_data(event) == data == event.write_data()


def test_write_data_override_failure_propagates():
    with pytest.raises(ValueError, match="no data"):
        consumer.write_data(Broken(1))


def test_entry_points():
    assert consumer.parse_form("a=1&a=2&b") == {"a": ["1", "2"], "b": ""}
    part = c.FormPart(name=b"a", data=b"1")
    assert consumer.simplify({"a": [part]}) == {"a": "1"}
    content = consumer.new_content(b"application/json", b"{}")
    assert type(content) is c.Content and (content.type, content.length) == (b"application/json", 2)
    text = consumer.new_text("hi")
    assert type(text) is c.TextContent and text.body == b"hi"
    protocol = object()
    reader = consumer.new_rsgi(protocol)
    assert type(reader) is c.RSGIContent and reader._source is protocol
    with pytest.raises(TypeError, match="Argument 'content_type'"):
        consumer.new_content("x", b"")
    with pytest.raises(TypeError, match="Argument 'text'"):
        consumer.new_text(b"x")
    with pytest.raises(TypeError, match="Argument 'text'"):
        consumer.parse_form(None)
