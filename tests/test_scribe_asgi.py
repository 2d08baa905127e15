"""The ASGI side of velmora.scribe: content headers, the messages handed to
`send`, slicing and streaming of bodies, chunked framing."""

from __future__ import annotations

import asyncio

import pytest

import velmora.scribe as scribe
from velmora.contents import Content, StreamedContent
from velmora.cookies import Cookie
from velmora.messages import Response
from velmora.scribe import (
    MAX_RESPONSE_CHUNK_SIZE,
    get_chunks,
    send_asgi_response,
    set_headers_for_response_content,
    write_chunks,
    write_response_cookie,
)

START = "http.response.start"
BODY = "http.response.body"


class Recorder:
    """An ASGI `send` that records every message; optionally raises on the
    message with index `fail_at`."""

    def __init__(self, fail_at: int | None = None) -> None:
        self.messages: list[dict] = []
        self.fail_at = fail_at

    async def __call__(self, message: dict) -> None:
        if self.fail_at == len(self.messages):
            raise ConnectionResetError("client went away")
        self.messages.append(message)

    @property
    def bodies(self) -> list[dict]:
        return self.messages[1:]


def send(response: Response, recorder: Recorder | None = None) -> Recorder:
    recorder = recorder or Recorder()
    asyncio.run(send_asgi_response(response, recorder))
    return recorder


def streamed(*parts, length: int = -1, content_type: bytes = b"text/plain") -> StreamedContent:
    async def provider():
        for part in parts:
            if isinstance(part, BaseException):
                raise part
            yield part

    return StreamedContent(content_type, provider, length)


def raw(response: Response) -> list:
    return response.headers.values


# ------------------------------------------------------------ content headers


@pytest.mark.parametrize(
    ("content", "expected"),
    [
        (None, [(b"content-length", b"0")]),
        (Content(b"text/plain", b"hello"), [(b"content-type", b"text/plain"), (b"content-length", b"5")]),
        (Content(b"", b"x"), [(b"content-type", b"application/octet-stream"), (b"content-length", b"1")]),
        (
            streamed(b"x"),
            [(b"content-type", b"text/plain"), (b"transfer-encoding", b"chunked")],
        ),
    ],
    ids=["no content", "fixed", "empty type", "open length"],
)
def test_content_headers_are_appended(content, expected):
    response = Response(200, [(b"x-a", b"1")], content)
    set_headers_for_response_content(response)
    assert raw(response) == [(b"x-a", b"1"), *expected]


def test_known_content_type_is_the_shared_object():
    first = Response(200, None, Content(b"application/json", b"{}"))
    second = Response(200, None, Content(b"application/json", b"[]"))
    for response in (first, second):
        set_headers_for_response_content(response)
    assert raw(first)[0][1] is raw(second)[0][1]


@pytest.mark.parametrize(
    ("declared", "content", "expected_added"),
    [
        ([(b"Content-Type", b"text/html")], Content(b"text/plain", b"abc"), [(b"content-length", b"3")]),
        ([("content-type", "text/html")], Content(b"text/plain", b"abc"), [(b"content-length", b"3")]),
        ([(b"content-length", b"3")], Content(b"text/plain", b"abc"), [(b"content-type", b"text/plain")]),
        ([(b"CONTENT-LENGTH", b"0")], None, []),
        ([(b"Transfer-Encoding", b"chunked")], streamed(b"x"), [(b"content-type", b"text/plain")]),
        ([(b"content-length", b"10")], streamed(b"x"), [(b"content-type", b"text/plain")]),
    ],
)
def test_declared_headers_are_not_repeated(declared, content, expected_added):
    response = Response(200, list(declared), content)
    set_headers_for_response_content(response)
    assert raw(response) == [*declared, *expected_added]


def test_sending_twice_adds_nothing_the_second_time():
    response = Response(200, None, Content(b"text/plain", b"abc"))
    first = send(response).messages[0]["headers"][:]
    second = send(response).messages[0]["headers"]
    assert first == second == [(b"content-type", b"text/plain"), (b"content-length", b"3")]


@pytest.mark.parametrize("bad", [None, "response", Content(b"a", b"b")])
def test_typed_parameters(bad):
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        set_headers_for_response_content(bad)
    with pytest.raises(TypeError, match="Argument 'response' has incorrect type"):
        asyncio.run(send_asgi_response(bad, Recorder()))
    with pytest.raises(TypeError, match="Argument 'cookie' has incorrect type"):
        write_response_cookie(bad)


def test_write_response_cookie():
    assert write_response_cookie(Cookie("session", "abc", path="/")) == b"session=abc; Path=/"


# ------------------------------------------------------------ body paths


def test_no_content_sends_an_empty_body_without_more_body():
    recorder = send(Response(204, None, None))
    start, body = recorder.messages
    assert list(start) == ["type", "status", "headers"]
    assert start["type"] == START and start["status"] == 204
    assert body == {"type": BODY, "body": b""}


def test_start_message_carries_the_raw_list_itself():
    headers = [(b"x-a", b"1")]
    response = Response(200, headers, Content(b"text/plain", b"abc"))
    start = send(response).messages[0]
    assert start["headers"] is headers


@pytest.mark.parametrize(
    ("size", "expected"),
    [
        (0, [0]),
        (MAX_RESPONSE_CHUNK_SIZE, [MAX_RESPONSE_CHUNK_SIZE]),
        (MAX_RESPONSE_CHUNK_SIZE + 1, [MAX_RESPONSE_CHUNK_SIZE, 1, 0]),
        (2 * MAX_RESPONSE_CHUNK_SIZE, [MAX_RESPONSE_CHUNK_SIZE, MAX_RESPONSE_CHUNK_SIZE, 0]),
    ],
)
def test_fixed_body_is_sliced_strictly_above_the_limit(size, expected):
    data = bytes(range(256)) * (size // 256) + b"z" * (size % 256)
    recorder = send(Response(200, None, Content(b"application/octet-stream", data)))
    bodies = recorder.bodies
    assert [len(m["body"]) for m in bodies] == expected
    assert b"".join(m["body"] for m in bodies) == data
    assert [m["more_body"] for m in bodies] == [True] * (len(expected) - 1) + [False]
    assert all(list(m) == ["type", "body", "more_body"] for m in bodies)
    if size <= MAX_RESPONSE_CHUNK_SIZE:
        assert bodies[0]["body"] is data  # one message, not copied


def test_slicing_looks_up_get_chunks_at_call_time(monkeypatch):
    seen = []

    def get_chunks_spy(data):
        seen.append(len(data))
        yield data
        yield b""

    monkeypatch.setattr(scribe, "get_chunks", get_chunks_spy)
    recorder = send(Response(200, None, Content(b"a/b", b"x" * (MAX_RESPONSE_CHUNK_SIZE + 5))))
    assert seen == [MAX_RESPONSE_CHUNK_SIZE + 5]
    assert [len(m["body"]) for m in recorder.bodies] == [MAX_RESPONSE_CHUNK_SIZE + 5, 0]


@pytest.mark.parametrize(
    ("body", "expected"),
    [("é", "é".encode()), (bytearray(b"ab"), b"ab"), (memoryview(b"abc"), b"abc")],
    ids=["str", "bytearray", "memoryview"],
)
def test_bytes_like_bodies_go_out_as_bytes(body, expected):
    recorder = send(Response(200, None, Content(b"text/plain", body)))
    assert type(recorder.bodies[0]["body"]) is bytes
    assert recorder.bodies[0]["body"] == expected
    assert (b"content-length", str(len(expected)).encode()) in recorder.messages[0]["headers"]


@pytest.mark.parametrize(
    ("parts", "expected"),
    [
        ((b"a", b"b"), [(b"a", True), (b"b", True), (b"", False)]),
        ((b"a", b""), [(b"a", True), (b"", False)]),
        ((), [(b"", False)]),
        ((b"a", b"", None, b"b", b""), [(b"a", True), (b"b", True), (b"", False)]),
        ((bytearray(b"a"), memoryview(b"b")), [(b"a", True), (b"b", True), (b"", False)]),
    ],
    ids=["no final empty part", "final empty part", "empty stream", "empty parts midway", "bytes-likes"],
)
def test_stream_ends_the_body_once(parts, expected):
    recorder = send(Response(200, None, streamed(*parts)))
    assert [(m["body"], m["more_body"]) for m in recorder.bodies] == expected
    assert all(type(m["body"]) is bytes for m in recorder.bodies)


def test_body_of_another_type_is_streamed_through_get_parts():
    recorder = send(Response(200, None, Content(b"text/plain", 12)))  # length unknown
    assert (b"transfer-encoding", b"chunked") in recorder.messages[0]["headers"]
    assert [(m["body"], m["more_body"]) for m in recorder.bodies] == [(b"12", True), (b"", False)]


def test_streamed_content_with_a_known_length_is_streamed():
    recorder = send(Response(200, None, streamed(b"ab", b"cd", length=4)))
    assert (b"content-length", b"4") in recorder.messages[0]["headers"]
    assert [m["body"] for m in recorder.bodies] == [b"ab", b"cd", b""]


@pytest.mark.parametrize(
    ("parts", "error"),
    [((b"a", "text"), TypeError), ((b"a", 5), TypeError), ((b"a", ValueError("boom")), ValueError)],
)
def test_stream_failures_propagate_after_what_was_sent(parts, error):
    recorder = Recorder()
    with pytest.raises(error):
        send(Response(200, None, streamed(*parts)), recorder)
    assert [m["body"] for m in recorder.bodies] == [b"a"]


def test_get_parts_without_async_iteration():
    class Odd(Content):
        def get_parts(self):
            return [b"a"]

    with pytest.raises(TypeError):
        send(Response(200, None, Odd(b"a/b", 7)))  # length -1: streamed


@pytest.mark.parametrize("fail_at", [0, 1])
def test_send_that_raises_stops_the_exchange(fail_at):
    recorder = Recorder(fail_at=fail_at)
    with pytest.raises(ConnectionResetError):
        send(Response(200, None, streamed(b"a", b"b")), recorder)
    assert len(recorder.messages) == fail_at


# ------------------------------------------------------------ header lists


def test_str_and_other_header_entries_are_converted():
    headers = [("X-Name", "é"), (b"x-b", bytearray(b"2")), ("x-n", 5), (b"X-Raw", b"v")]
    start = send(Response(200, headers, Content(b"text/plain", b"a"))).messages[0]
    assert start["headers"] == [
        (b"x-name", b"\xe9"),
        (b"x-b", b"2"),
        (b"x-n", b"5"),
        (b"x-raw", b"v"),
        (b"content-type", b"text/plain"),
        (b"content-length", b"1"),
    ]
    assert start["headers"] is not headers and headers[0] == ("X-Name", "é")


@pytest.mark.parametrize(
    "entry",
    [(b"x-a", b"1\r\nx-b: 2"), (b"x-a\n", b"1"), (b"x-a", b"a\x00b"), ("x-a", "1\r2"), ("x-a\n", "1")],
)
def test_line_breaks_in_headers_are_refused(entry):
    recorder = Recorder()
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        send(Response(200, [entry], None), recorder)
    assert recorder.messages == []


@pytest.mark.parametrize("entry", [(b"x-a",), b"x-a", (b"a", b"b", b"c"), None])
def test_header_entries_that_are_not_pairs(entry):
    recorder = Recorder()
    with pytest.raises(TypeError, match="pair"):
        send(Response(200, [entry], None), recorder)
    assert recorder.messages == []


def test_unencodable_str_header_is_refused():
    with pytest.raises(UnicodeEncodeError):
        send(Response(200, [("x-a", "€")], None))


# ------------------------------------------------------------ chunks


@pytest.mark.parametrize("size", [0, 1, MAX_RESPONSE_CHUNK_SIZE, MAX_RESPONSE_CHUNK_SIZE + 1, 3 * MAX_RESPONSE_CHUNK_SIZE])
def test_get_chunks(size):
    data = b"x" * size
    chunks = list(get_chunks(data))
    assert chunks[-1] == b"" and b"".join(chunks) == data
    assert all(0 < len(c) <= MAX_RESPONSE_CHUNK_SIZE for c in chunks[:-1])
    assert len(chunks) == -(-size // MAX_RESPONSE_CHUNK_SIZE) + 1


def test_get_chunks_of_none():
    with pytest.raises(TypeError):
        list(get_chunks(None))


async def collect(agen) -> list[bytes]:
    return [item async for item in agen]


@pytest.mark.parametrize(
    ("parts", "expected"),
    [
        ((b"hello",), [b"5\r\nhello\r\n", b"0\r\n\r\n"]),
        ((b"hello", b"", b"x" * 26), [b"5\r\nhello\r\n", b"1a\r\n" + b"x" * 26 + b"\r\n", b"0\r\n\r\n"]),
        ((b"", None), [b"0\r\n\r\n"]),
        ((), [b"0\r\n\r\n"]),
    ],
    ids=["one part", "empty part midway", "only empty parts", "no parts"],
)
def test_write_chunks(parts, expected):
    assert asyncio.run(collect(write_chunks(streamed(*parts)))) == expected


def test_write_chunks_rejects_str_parts():
    with pytest.raises(TypeError):
        asyncio.run(collect(write_chunks(streamed("text"))))


def test_coroutines_work_with_ensure_future():
    async def main():
        recorder = Recorder()
        await asyncio.ensure_future(send_asgi_response(Response(200, None, None), recorder))
        return recorder.messages

    assert len(asyncio.run(main())) == 2
