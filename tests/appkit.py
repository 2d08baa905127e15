"""Drivers for the application's entry points without a server: an ASGI
exchange with scripted `receive`, and a recording RSGI protocol."""

from __future__ import annotations

import asyncio
from typing import Any


async def asgi_exchange(app, method="GET", path="/", *, query=b"", headers=(), body=b"", raw_path=True, receive=None):
    """(status, headers dict, body, messages) of one request."""
    scope = {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": method,
        "scheme": "http",
        "path": path,
        "query_string": query,
        "headers": [(k.encode(), v.encode()) if isinstance(k, str) else (k, v) for k, v in headers],
        "client": ("127.0.0.1", 5000),
        "server": ("127.0.0.1", 8000),
    }
    if raw_path:
        scope["raw_path"] = path.encode()
    sent: list[dict] = []
    if receive is None:
        chunks = [body]

        async def receive():
            if chunks:
                return {"type": "http.request", "body": chunks.pop(), "more_body": False}
            await asyncio.Event().wait()  # the client stays until the response is over

    async def send(message):
        sent.append(message)

    await app(scope, receive, send)
    return parse_sent(sent)


def parse_sent(sent):
    start = sent[0]
    headers = {k.decode(): v.decode() for k, v in start["headers"]}
    return start["status"], headers, b"".join(m.get("body", b"") for m in sent[1:]), sent


def asgi(app, *args, **kwargs):
    return asyncio.run(asgi_exchange(app, *args, **kwargs))


class RSGIHeaders(dict):
    pass


class Scope:
    proto = "http"
    http_version = "1.1"
    rsgi_version = "1.5"

    def __init__(self, method="GET", path="/", query="", headers=(), *, scheme="http", client="127.0.0.1:5000",
                 server="127.0.0.1:8000", authority=None):
        self.method = method
        self.path = path
        self.query_string = query
        self.headers = RSGIHeaders((k.lower(), v) for k, v in headers)
        self.scheme = scheme
        self.client = client
        self.server = server
        self.authority = authority


class Transport:
    def __init__(self, protocol):
        self.protocol = protocol

    async def send_bytes(self, data):
        self.protocol.body += data

    async def send_str(self, data):
        self.protocol.body += data.encode()


class Protocol:
    """Records the one response call; `body` collects what was sent."""

    def __init__(self, body=b"", stream_limit=None):
        self._chunks = [body] if body else []
        self.call: tuple | None = None
        self.status = None
        self.headers: dict[str, str] = {}
        self.body = b""
        self.closed = None

    async def __call__(self):
        data = b"".join(self._chunks)
        self._chunks = []
        return data

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        while self._chunks:
            yield self._chunks.pop(0)

    def _record(self, name, status, headers, *rest):
        assert self.call is None, "two response calls"
        self.call = (name, *rest)
        self.status = status
        self.headers = dict(headers)

    def response_empty(self, status, headers):
        self._record("empty", status, headers)

    def response_bytes(self, status, headers, body):
        self._record("bytes", status, headers)
        self.body = bytes(body)

    def response_str(self, status, headers, body):
        self._record("str", status, headers)
        self.body = body.encode()

    def response_file(self, status, headers, path):
        self._record("file", status, headers, path)
        with open(path, "rb") as f:
            self.body = f.read()

    def response_file_range(self, status, headers, path, start, end):
        self._record("file_range", status, headers, path, start, end)
        with open(path, "rb") as f:
            self.body = f.read()[start:end]

    def response_stream(self, status, headers):
        self._record("stream", status, headers)
        return Transport(self)

    def close(self, status=None):
        self.closed = status
        return status, True


def rsgi(app, method="GET", path="/", query="", headers=(), body=b"", **scope_args) -> Protocol:
    protocol = Protocol(body)
    asyncio.run(app.__rsgi__(Scope(method, path, query, headers, **scope_args), protocol))
    return protocol


def both(app, method="GET", path="/", *, query="", headers=(), body=b""):
    """[(status, content type, body)] under ASGI and RSGI for one request."""
    status, hdrs, data, _ = asgi(app, method, path, query=query.encode(), headers=headers, body=body)
    protocol = rsgi(app, method, path, query, headers, body)
    return (status, hdrs.get("content-type"), data), (
        protocol.status,
        protocol.headers.get("content-type"),
        protocol.body,
    )
