"""Request bodies read from ASGI receive() and from an RSGI protocol: read
whole, streamed, read again, drained and then read; disconnects, the body
limit crossed while reading, servers that misbehave, and release."""

from __future__ import annotations

import asyncio
import gc
import weakref

import pytest

from velmora.contents import ASGIContent, RSGIContent
from velmora.exceptions import InvalidOperation, MessageAborted, PayloadTooLarge
from velmora.settings.limits import limits

run = asyncio.run


def request(body: bytes, more: bool = False) -> dict:
    return {"type": "http.request", "body": body, "more_body": more}


def messages_for(chunks: list[bytes]) -> list[dict]:
    return [request(c, i < len(chunks) - 1) for i, c in enumerate(chunks)]


class Receive:
    """ASGI receive() over a list of messages; waits for more when it runs
    out, like a server whose client has not sent the rest yet."""

    def __init__(self, messages: list) -> None:
        self.messages = list(messages)
        self.calls = 0
        self.arrived: asyncio.Event | None = None

    def push(self, *messages) -> None:
        self.messages.extend(messages)
        if self.arrived is not None:
            self.arrived.set()

    async def __call__(self):
        self.calls += 1
        while not self.messages:
            self.arrived = asyncio.Event()
            await self.arrived.wait()
        message = self.messages.pop(0)
        if isinstance(message, BaseException):
            raise message
        return message


class Protocol:
    """The body side of an RSGI HTTP protocol: await protocol() and
    async for over it."""

    def __init__(self, chunks: list, fail_after: int | None = None) -> None:
        self.chunks = list(chunks)
        self.fail_after = fail_after
        self.pulled = 0

    async def __call__(self) -> bytes:
        return b"".join(self.chunks)

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self.fail_after is not None and self.pulled == self.fail_after:
            raise ConnectionResetError("client went away")
        if self.pulled == len(self.chunks):
            raise StopAsyncIteration
        self.pulled += 1
        return self.chunks[self.pulled - 1]


def asgi(chunks: list[bytes]) -> tuple[ASGIContent, Receive]:
    receive = Receive(messages_for(chunks))
    return ASGIContent(receive), receive


def rsgi(chunks: list) -> tuple[RSGIContent, Protocol]:
    protocol = Protocol(chunks)
    return RSGIContent(protocol), protocol


MAKERS = [asgi, rsgi]
CHUNKINGS = [[b""], [b"whole"], [b"ab", b"", b"cd", b"ef"]]


async def collect(stream) -> list[bytes]:
    return [chunk async for chunk in stream]


@pytest.fixture
def small_limit():
    limits.max_body_size = 10
    yield
    limits.reset()


# ----------------------------------------------------------- whole bodies


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize("chunks", CHUNKINGS)
def test_read_twice_gives_the_whole_body_once_received(make, chunks):
    content, server = make(chunks)
    assert (content.type, content.length, content.body) == (None, -1, None)

    async def main():
        first = await content.read()
        second = await content.read()
        return first, second

    first, second = run(main())
    assert type(first) is bytes and first == b"".join(chunks)
    assert second is first and content.body is first
    assert bytes(run(content.read_buffer())) == first
    if make is asgi:
        assert server.calls == len(chunks)


def test_a_single_chunk_is_kept_without_copying():
    body = b"x" * 1000
    content = ASGIContent(Receive([request(body)]))
    assert run(content.read()) is body


# ------------------------------------------------------- streams and mixes


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize("chunks", CHUNKINGS)
def test_stream_then_read_and_read_then_stream(make, chunks):
    whole = b"".join(chunks)
    content, _ = make(chunks)
    streamed = run(collect(content.stream()))
    assert streamed == [c for c in chunks if c]
    assert run(content.read()) == whole
    assert b"".join(run(collect(content.stream()))) == whole
    assert b"".join(run(collect(content.get_parts()))) == whole


@pytest.mark.parametrize("make", MAKERS)
def test_read_after_a_partial_stream_sees_the_whole_body(make):
    content, _ = make([b"ab", b"cd", b"ef"])

    async def main():
        stream = content.stream()
        first = await anext(stream)
        body = await content.read()
        rest = [chunk async for chunk in stream]  # the stream goes on after the read
        return first, body, rest

    first, body, rest = run(main())
    assert (first, body) == (b"ab", b"abcdef")
    assert first + b"".join(rest) == body


def test_chunks_drained_by_a_cancelled_stream_are_not_lost():
    receive = Receive([request(b"ab", True), request(b"cd", True)])
    content = ASGIContent(receive)

    async def main():
        async def drain():
            async for _ in content.stream():
                pass

        task = asyncio.ensure_future(drain())
        await asyncio.sleep(0)  # drains what is there, then waits for the client
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        receive.push(request(b"ef"))
        return await content.read()

    assert run(main()) == b"abcdef"


# ------------------------------------------------------------- failures


@pytest.mark.parametrize("before", [[], [request(b"ab", True)]])
def test_disconnect_raises_message_aborted_on_every_read(before):
    receive = Receive([*before, {"type": "http.disconnect"}])
    content = ASGIContent(receive)
    with pytest.raises(MessageAborted):
        run(content.read())
    calls = receive.calls
    with pytest.raises(MessageAborted):
        run(content.read())
    with pytest.raises(MessageAborted):
        run(collect(content.stream()))
    assert receive.calls == calls  # the server is not asked again
    assert content.body is None


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize("chunks", [[b"x" * 11], [b"12345", b"67890", b"1"]])
def test_the_limit_is_enforced_while_reading(make, chunks, small_limit):
    content, _ = make(chunks)
    with pytest.raises(PayloadTooLarge) as info:
        run(content.read())
    assert info.value.status == 413 and "10 bytes" in str(info.value)
    assert content._chunks is None  # what was received is released
    with pytest.raises(PayloadTooLarge):
        run(collect(content.stream()))


@pytest.mark.parametrize("make", MAKERS)
def test_the_limit_is_enforced_while_streaming(make, small_limit):
    content, _ = make([b"123456", b"7890", b"x"])

    async def main():
        seen = []
        with pytest.raises(PayloadTooLarge):
            async for chunk in content.stream():
                seen.append(chunk)
        return seen

    assert run(main()) == [b"123456", b"7890"]


@pytest.mark.parametrize("make", MAKERS)
def test_a_body_of_exactly_the_limit_passes_and_the_object_limit_wins(make, small_limit):
    content, _ = make([b"12345", b"67890"])
    assert run(content.read()) == b"1234567890"
    content, _ = make([b"12345", b"67890"])
    content.max_body_size = 4
    with pytest.raises(PayloadTooLarge):
        run(content.read())
    content, _ = make([b"x" * 100])
    content.max_body_size = 100
    assert content.max_body_size == 100 and len(run(content.read())) == 100


@pytest.mark.parametrize(
    "message, error, text",
    [
        (None, TypeError, "expected a message dict"),
        ([("type", "http.request")], TypeError, "expected a message dict"),
        ({"type": "websocket.receive"}, ValueError, "'websocket.receive'"),
        ({"body": b"x"}, ValueError, "None"),
        ({"type": "http.request", "body": "text"}, TypeError, "must be bytes, got str"),
        (RuntimeError("receive failed"), RuntimeError, "receive failed"),
    ],
)
def test_bad_messages_raise_clearly_and_leave_the_reader_usable(message, error, text):
    if isinstance(message, BaseException):
        # a fresh exception per run: a re-raised one keeps growing its traceback
        message = type(message)(*message.args)
    receive = Receive([request(b"ab", True), message])
    content = ASGIContent(receive)
    with pytest.raises(error, match=text):
        run(content.read())
    receive.push(request(b"cd"))
    assert run(content.read()) == b"abcd"


def test_receive_must_be_callable():
    with pytest.raises(TypeError, match="Argument 'receive' has incorrect type"):
        ASGIContent(b"x")


@pytest.mark.parametrize(
    "chunks, error",
    [([b"ab", "text"], TypeError), ([b"ab", None], TypeError)],
)
def test_rsgi_chunks_of_the_wrong_type(chunks, error):
    content, _ = rsgi(chunks)
    with pytest.raises(error, match="expected bytes"):
        run(content.read())


def test_rsgi_bytes_like_chunks_are_taken_as_bytes():
    content, _ = rsgi([bytearray(b"ab"), memoryview(b"cd")])
    assert run(content.read()) == b"abcd"


def test_rsgi_failure_midway_propagates_and_a_retry_continues():
    protocol = Protocol([b"ab", b"cd"], fail_after=1)
    content = RSGIContent(protocol)
    with pytest.raises(ConnectionResetError):
        run(content.read())
    protocol.fail_after = None
    assert run(content.read()) == b"abcd"


def test_a_protocol_that_cannot_be_iterated():
    content = RSGIContent(object())
    with pytest.raises(TypeError):
        run(content.read())


# ------------------------------------------------------------- release


@pytest.mark.parametrize("make", MAKERS)
def test_dispose_before_reading(make):
    content, _ = make([b"ab"])
    content.dispose()
    content.dispose()
    assert content._source is None and content._chunks is None
    with pytest.raises(InvalidOperation):
        run(content.read())
    with pytest.raises(InvalidOperation):
        run(collect(content.stream()))


@pytest.mark.parametrize("make", MAKERS)
def test_dispose_after_reading_keeps_the_body(make):
    content, _ = make([b"ab", b"cd"])
    body = run(content.read())
    content.dispose()
    content.dispose()
    assert run(content.read()) is body
    assert run(collect(content.stream())) == [body]


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize("outcome", ["read", "aborted", "disposed"])
def test_nothing_is_kept_alive(make, outcome):
    content, server = make([b"ab", b"cd"])
    if outcome == "aborted" and make is asgi:
        server.messages = [{"type": "http.disconnect"}]
    try:
        if outcome == "disposed":
            content.dispose()
        run(content.read())
    except (MessageAborted, InvalidOperation):
        pass
    refs = [weakref.ref(content), weakref.ref(server)]
    del content, server
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_a_tampered_chunk_list_fails_cleanly():
    content, _ = asgi([b"ab", b"cd", b"ef"])
    stream = content.stream()
    assert run(anext(stream)) == b"ab"
    content._chunks.append("not bytes")
    with pytest.raises(TypeError):
        run(content.read())


def test_a_disconnect_after_the_body_is_seen_by_wait_disconnect():
    receive = Receive([request(b"ab", True), request(b"cd")])
    content = ASGIContent(receive)

    async def main():
        assert await content.read() == b"abcd"
        waiting = asyncio.ensure_future(content.wait_disconnect())
        await asyncio.sleep(0)
        assert not waiting.done()  # the client is still there
        receive.push({"type": "http.disconnect"})
        with pytest.raises(MessageAborted):
            await waiting
        with pytest.raises(MessageAborted):  # at once from now on
            await content.wait_disconnect()
        return await content.read()

    assert run(main()) == b"abcd"  # the body stays readable
    assert b"".join(run(collect(content.stream()))) == b"abcd"


def test_wait_disconnect_keeps_the_body_it_drains():
    receive = Receive([request(b"ab", True), request(b"cd"), {"type": "http.disconnect"}])
    content = ASGIContent(receive)
    with pytest.raises(MessageAborted):
        run(content.wait_disconnect())
    assert run(content.read()) == b"abcd"


class Sneaky:
    """A value whose truth test runs `action` first: Python code running in
    the middle of a native call."""

    def __init__(self, action, truth=True):
        self.action, self.truth = action, truth

    def __bool__(self):
        self.action()
        return self.truth


@pytest.mark.parametrize("truth", [True, False])
def test_more_body_that_disposes_the_reader(truth):
    holder = {}
    receive = Receive([{"type": "http.request", "body": b"ab", "more_body": Sneaky(lambda: holder["c"].dispose(), truth)}])
    content = holder["c"] = ASGIContent(receive)
    with pytest.raises(InvalidOperation):
        run(content.read())


def test_more_body_that_restarts_the_reader():
    holder = {}
    fresh = Receive([request(b"new")])
    receive = Receive([{"type": "http.request", "body": b"old", "more_body": Sneaky(lambda: holder["c"].__init__(fresh), False)}])
    content = holder["c"] = ASGIContent(receive)
    assert run(content.read()) in (b"old", b"new", b"oldnew")


@pytest.mark.skipif(not hasattr(__import__("sys"), "gettotalrefcount"), reason="needs a debug build of the interpreter")
def test_no_references_are_leaked():
    import sys

    def once():
        for make in MAKERS:
            content, _ = make([b"ab", b"cd"])
            stream = content.stream()
            run(anext(stream))
            run(content.read())
            run(collect(stream))
            content.dispose()
        aborted = ASGIContent(Receive([{"type": "http.disconnect"}]))
        for _ in range(2):
            with pytest.raises(MessageAborted):
                run(aborted.read())
        big, _ = asgi([b"x" * 20])
        big.max_body_size = 5
        with pytest.raises(PayloadTooLarge):
            run(big.read())

    for _ in range(3):
        once()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(50):
        once()
    gc.collect()
    assert sys.gettotalrefcount() - before < 50
