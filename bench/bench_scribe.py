"""Handing a response to the server: velmora.scribe against the least any
writer must do.

    python bench/bench_scribe.py [--scale F] [--rounds N] [--only NAME]

ASGI: `send_asgi_response` for a small text response with a `send` that
completes at once, against a bare coroutine that sends the same two
messages (the floor).  "fresh" builds the response in the statement, as a
handler does, and the floor builds its content the same way; "reused" sends
one response again and again (its content headers are then found declared).

RSGI: `dispatch_rsgi_http` for a handler that returns a pooled `Response`,
against the bare `protocol.response_str` call and against the handler plus
that call (what any bridge pays); the dispatch reads the scope, acquires and
releases the request, converts the headers and creates no coroutine.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from harness import Bench  # noqa: E402

from velmora.contents import Content  # noqa: E402
from velmora.messages import Response, acquire_response, release_response  # noqa: E402
from velmora.scribe import dispatch_rsgi_http, send_asgi_response  # noqa: E402

BODY = b"Hello, world!"
CT = b"text/plain; charset=utf-8"


async def send(message):
    pass


async def floor(response, send):
    content = response.content
    await send({"type": "http.response.start", "status": response.status,
                "headers": [(b"content-type", content.type), (b"content-length", b"%d" % content.length)]})
    await send({"type": "http.response.body", "body": content.body, "more_body": False})


def drive(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass
    else:
        raise RuntimeError("the coroutine suspended")


class Scope:
    method = "GET"
    path = "/hello"
    query_string = ""


class Protocol:
    def response_str(self, status, headers, body):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_empty(self, status, headers):
        pass


content = Content(CT, BODY)


class App:
    def handle(self, request):
        return acquire_response(200, None, content)


reused = Response(200, None, content)
scope = Scope()
protocol = Protocol()
app = App()
headers = [("content-type", "text/plain; charset=utf-8")]

ns = dict(globals())

bench = Bench("Response writers", number=100_000)
bench.case("asgi small text, fresh", {
    "velmora": "drive(send_asgi_response(Response(200, None, content), send))",
    "floor": "drive(floor(Response(200, None, content), send))",
}, ns)
bench.case("asgi small text, reused", {
    "velmora": "drive(send_asgi_response(reused, send))",
    "floor": "drive(floor(reused, send))",
}, ns)
bench.case("rsgi sync handler", {
    "velmora": "dispatch_rsgi_http(app, scope, protocol)",
    "bare call": "protocol.response_str(200, headers, 'Hello, world!')",
    "handler + bare call": "release_response(app.handle(None)); protocol.response_str(200, headers, 'Hello, world!')",
}, ns)
bench.run()
