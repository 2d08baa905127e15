"""The RSGI bridge behind a real granian server on loopback: the protocol
objects granian hands over take every kind of response the bridge sends."""

from __future__ import annotations

import http.client
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time

import pytest

granian = pytest.importorskip("granian")

LEAK_REPEAT = False  # the server runs in a child process

APP = textwrap.dedent(
    """
    import asyncio

    from velmora.contents import Content, StreamedContent, TextServerSentEvent
    from velmora.messages import Response
    from velmora.scribe import dispatch_rsgi_http, write_sse

    FILE = __file__.replace("rsgi_app.py", "data.bin")


    def stream(*parts):
        async def provider():
            for part in parts:
                await asyncio.sleep(0)
                yield part

        return provider


    async def events():
        for i in range(3):
            yield write_sse(TextServerSentEvent(f"line {i}\\nmore", id=str(i)))


    def route(path):
        if path == "/text":
            return Response(200, [(b"x-a", b"\\xe9"), ("x-b", "2")], Content(b"text/plain; charset=utf-8", b"hello"))
        if path == "/str":
            return Response(200, None, Content(b"text/plain; charset=utf-8", "h\\u00e9llo"))
        if path == "/bytearray":
            return Response(200, None, Content(b"application/octet-stream", bytearray(b"ab")))
        if path == "/memoryview":
            return Response(200, None, Content(b"application/octet-stream", memoryview(b"abc")))
        if path == "/empty":
            return Response(204, None, None)
        if path == "/stream":
            parts = stream(b"a", b"", "b", memoryview(b"c"), bytearray(b"d"))
            return Response(200, None, StreamedContent(b"text/plain", parts))
        if path == "/sse":
            return Response(200, [(b"cache-control", b"no-cache")], StreamedContent(b"text/event-stream", events))
        if path == "/file":
            return Response(200, None, StreamedContent(b"application/octet-stream", stream(), 1000, file_path=FILE))
        if path == "/range":
            headers = [(b"content-range", b"bytes 10-19/1000")]
            content = StreamedContent(b"application/octet-stream", stream(), 10, file_path=FILE, file_range=(10, 20))
            return Response(206, headers, content)
        return Response(404, None, Content(b"text/plain", b"missing"))


    class App:
        def handle(self, request):
            path = request.scope.path
            if path.startswith("/async"):
                async def later():
                    await asyncio.sleep(0)
                    return route(path[len("/async"):])

                return later()
            return route(path)


    application = App()


    async def app(scope, protocol):
        result = dispatch_rsgi_http(application, scope, protocol)
        if result is not None:
            await result
    """
)


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("rsgi")
    (root / "rsgi_app.py").write_text(APP)
    (root / "data.bin").write_bytes(bytes(range(256)) * 4)
    port = free_port()
    executable = shutil.which("granian", path=os.path.dirname(sys.executable))
    if executable is None:
        pytest.skip("the granian command is not installed")
    # `timeout` stops the server by itself should the test run be killed.
    proc = subprocess.Popen(
        ["timeout", "120", executable, "--interface", "rsgi", "--host", "127.0.0.1", "--port", str(port),
         "--workers", "1", "--loop", "asyncio", "--no-ws", "--log-level", "error", "rsgi_app:app"],
        cwd=root,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
    )
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            break
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                pytest.fail("granian did not start: " + proc.stdout.read().decode(errors="replace"))
            time.sleep(0.1)
    yield port
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def get(port: int, path: str) -> tuple[int, http.client.HTTPMessage, bytes]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.headers, response.read()
    finally:
        conn.close()


@pytest.mark.parametrize("prefix", ["", "/async"])
@pytest.mark.parametrize(
    ("path", "status", "body", "content_type"),
    [
        ("/text", 200, b"hello", "text/plain; charset=utf-8"),
        ("/str", 200, "héllo".encode(), "text/plain; charset=utf-8"),
        ("/bytearray", 200, b"ab", "application/octet-stream"),
        ("/memoryview", 200, b"abc", "application/octet-stream"),
        ("/empty", 204, b"", None),
        ("/stream", 200, b"abcd", "text/plain"),
        ("/file", 200, bytes(range(256)) * 4, "application/octet-stream"),
        ("/range", 206, bytes(range(10, 20)), "application/octet-stream"),
        ("/nowhere", 404, b"missing", "text/plain"),
    ],
)
def test_responses_through_granian(server, prefix, path, status, body, content_type):
    got_status, headers, got_body = get(server, prefix + path)
    assert (got_status, got_body) == (status, body)
    assert headers.get("content-type") == content_type
    assert len(headers.get_all("content-type") or []) <= 1


def test_header_values_reach_the_client(server):
    _, headers, _ = get(server, "/text")
    # The bridge hands granian the str "é" (the Latin-1 reading of the
    # byte 0xE9); granian writes str values as UTF-8.
    assert headers["x-a"].encode("latin-1") == "é".encode()
    assert headers["x-b"] == "2"


def test_server_sent_events_through_granian(server):
    status, headers, body = get(server, "/sse")
    assert status == 200 and headers["content-type"] == "text/event-stream"
    assert body == b"".join(b"id: %d\ndata: line %d\ndata: more\n\n" % (i, i) for i in range(3))
