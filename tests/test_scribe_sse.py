"""Server-sent events as bytes of the event stream."""

from __future__ import annotations

import pytest

from velmora.contents import ServerSentEvent, TextServerSentEvent
from velmora.scribe import _NEW_LINES_RX, write_sse


def parse_event(raw: bytes) -> list[tuple[str, str]]:
    """The fields an event-stream reader sees: lines end at CR LF, LF or a
    lone CR; comments are kept under the name ":"."""
    text = raw.decode()
    assert text.endswith("\n\n") or text == "\n"
    fields = []
    for line in _NEW_LINES_RX.split(text[:-2] if text != "\n" else ""):
        if line.startswith(":"):
            fields.append((":", line[2:]))
        elif line:
            name, _, value = line.partition(": ")
            fields.append((name, value))
    return fields


@pytest.mark.parametrize(
    ("event", "expected"),
    [
        (TextServerSentEvent(""), b"\n"),
        (TextServerSentEvent("T", event="N", retry=3000), b"event: N\ndata: T\nretry: 3000\n\n"),
        (TextServerSentEvent("x", retry=0), b"data: x\nretry: 0\n\n"),
        (TextServerSentEvent("x", retry=-5), b"data: x\n\n"),
        (ServerSentEvent({"a": [1, 2]}), b'data: {"a":[1,2]}\n\n'),
        (ServerSentEvent(None, id="7"), b"id: 7\n\n"),
        (ServerSentEvent(0, event="tick"), b"event: tick\n\n"),
        (
            TextServerSentEvent("d", event="e", id="i", retry=1, comment="c"),
            b"id: i\n: c\nevent: e\ndata: d\nretry: 1\n\n",
        ),
        (TextServerSentEvent("é", id="ü"), "id: ü\ndata: é\n\n".encode()),
    ],
)
def test_field_order_and_prefixes(event, expected):
    assert write_sse(event) == expected


@pytest.mark.parametrize("br", ["\n", "\r\n", "\r"])
def test_line_breaks_cannot_inject_fields(br):
    event = TextServerSentEvent(
        f"one{br}two{br}", event=f"up{br}date", id=f"a{br}b", comment=f"x{br}y"
    )
    raw = write_sse(event)
    assert b"\r" not in raw
    assert raw == b"id: ab\n: x\n: y\nevent: update\ndata: one\ndata: two\ndata: \n\n"
    # What a reader rebuilds: the data joined with LF, no other fields.
    fields = parse_event(raw)
    assert [name for name, _ in fields] == ["id", ":", ":", "event", "data", "data", "data"]
    assert "\n".join(v for n, v in fields if n == "data") == "one\ntwo\n"


def test_comment_ending_in_a_line_break_writes_an_empty_comment_line():
    assert write_sse(TextServerSentEvent("", comment="x\n")) == b": x\n: \n\n"


def test_write_data_override_cannot_inject_fields():
    class Evil(ServerSentEvent):
        def write_data(self):
            return "ok\rid: 666\nretry: 1"

    raw = write_sse(Evil("anything"))
    assert raw == b"data: ok\ndata: id: 666\ndata: retry: 1\n\n"
    assert {name for name, _ in parse_event(raw)} == {"data"}


def test_text_event_write_data_returns_the_text_unchanged():
    assert TextServerSentEvent("a\r\nb").write_data() == "a\r\nb"


@pytest.mark.parametrize(
    ("result", "error"),
    [(None, AttributeError), (b"bytes", TypeError), (5, TypeError), ("\ud800", UnicodeEncodeError)],
)
def test_bad_write_data_results(result, error):
    class Odd(ServerSentEvent):
        def write_data(self):
            return result

    with pytest.raises(error):
        write_sse(Odd("x"))


def test_write_data_errors_propagate():
    class Failing(ServerSentEvent):
        def write_data(self):
            raise RuntimeError("nope")

    with pytest.raises(RuntimeError, match="nope"):
        write_sse(Failing("x"))


def test_lone_surrogate_in_a_field():
    with pytest.raises(UnicodeEncodeError):
        write_sse(TextServerSentEvent("x", id="\udc80"))


@pytest.mark.parametrize("bad", [None, "event", b"data: x\n\n"])
def test_event_parameter_is_typed(bad):
    with pytest.raises(TypeError, match="Argument 'event' has incorrect type"):
        write_sse(bad)


def test_large_event_grows_the_buffer():
    text = "\n".join("line %d" % i for i in range(2000))
    raw = write_sse(TextServerSentEvent(text, id="x" * 3000))
    assert raw.startswith(b"id: " + b"x" * 3000 + b"\n")
    assert raw.count(b"data: ") == 2000
    assert raw.endswith(b"data: line 1999\n\n")
