"""Reference counts over many sends, events and dispatches, on every path
including the failing ones (needs a debug build of the interpreter)."""

from __future__ import annotations

import asyncio
import sys

import pytest

from velmora import messages
from velmora.contents import Content, ServerSentEvent, StreamedContent, TextServerSentEvent
from velmora.messages import Response
from velmora.scribe import dispatch_rsgi_http, extract_rsgi_headers, send_asgi_response, write_sse

LEAK_REPEAT = False  # a leak loop of its own


class Transport:
    async def send_bytes(self, data):
        pass

    async def send_str(self, data):
        pass


class Protocol:
    def __init__(self, *, ranges=True):
        if not ranges:
            self.response_file_range = None
            del self.response_file_range

    def response_empty(self, status, headers):
        pass

    def response_str(self, status, headers, body):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_file_range(self, status, headers, path, start, end):
        pass

    def response_stream(self, status, headers):
        return Transport()


class Scope:
    def __init__(self, method="GET"):
        self.method = method
        self.path = "/p"
        self.query_string = "q=1"


class App:
    def __init__(self, result):
        self.result = result

    def handle(self, request):
        return self.result(request)


async def parts():
    yield b"a"
    yield b""
    yield "b"


async def byte_parts():
    yield b"a"
    yield b""
    yield bytearray(b"b")


async def failing_parts():
    yield b"a"
    raise ValueError("midway")


async def send(message):
    pass


class Evil(ServerSentEvent):
    def write_data(self):
        return None


def test_no_reference_leaks_in_repeated_operations(tmp_path):
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug build of the interpreter")
    path = tmp_path / "f.bin"
    path.write_bytes(b"x" * 100)

    async def later(request):
        return Response(200, [("x-a", "é")], Content(b"text/plain", "é"))

    async def none(request):
        return None

    def fail(request):
        raise LookupError

    async def work():
        for content in (None, Content(b"text/plain", b"x" * 70000), StreamedContent(b"a/b", byte_parts),
                        Content(b"a/b", memoryview(b"ab"))):
            await send_asgi_response(Response(200, [("X-S", "v"), (b"x-b", 1)], content), send)
        for bad in ([(b"x", b"\n")], [(b"x",)]):
            with pytest.raises((ValueError, TypeError)):
                await send_asgi_response(Response(200, bad, None), send)
        with pytest.raises(ValueError):
            await send_asgi_response(Response(200, None, StreamedContent(b"a/b", failing_parts)), send)
        write_sse(TextServerSentEvent("a\nb\rc", event="e", id="i\r", retry=5, comment="x\r\ny"))
        with pytest.raises(AttributeError):
            write_sse(Evil("x"))
        extract_rsgi_headers({b"a": 1, "b": b"\xe9"})
        results = [
            lambda r: Response(200, None, Content(b"application/json", b"{}")),
            lambda r: Response(200, [(b"connection", b"close")], StreamedContent(b"a/b", parts)),
            lambda r: Response(206, None, StreamedContent(b"a/b", parts, 10, file_path=str(path),
                                                          file_range=(5, 15))),
            later,
        ]
        for result in results:
            for protocol in (Protocol(), Protocol(ranges=False)):
                res = dispatch_rsgi_http(App(result), Scope("POST"), protocol)
                if res is not None:
                    await res
        for result in (none, fail, lambda r: 5):
            with pytest.raises((TypeError, LookupError)):
                res = dispatch_rsgi_http(App(result), Scope(), Protocol())
                await res

    async def rounds(n):
        for _ in range(n):
            await work()

    saved = messages.REQ_FREELIST[:], messages.RESP_FREELIST[:]
    try:
        asyncio.run(rounds(100))
        before = sys.gettotalrefcount()
        asyncio.run(rounds(200))
        delta = sys.gettotalrefcount() - before
    finally:
        messages.REQ_FREELIST[:], messages.RESP_FREELIST[:] = saved
    assert delta < 200, delta
