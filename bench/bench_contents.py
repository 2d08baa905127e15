"""velmora.contents against Starlette and the standard library.

- building response bodies: TextContent and JSONContent against Starlette's
  PlainTextResponse and JSONResponse (which also build their headers, so
  they are a reference, not a like-for-like peer) and against a plain
  Python class with __slots__, what the framework would otherwise hold;
- reading a request body of one and of four ASGI messages: ASGIContent
  against Starlette's Request.body();
- parsing a URL-encoded form: parse_www_form_urlencoded against
  urllib.parse.parse_qs (which gives lists for every key).

The coroutines complete without suspending, so they are driven with one
send() instead of an event loop.

    python bench/bench_contents.py [--scale F] [--rounds N] [--only NAME]
"""

from __future__ import annotations

import sys
from pathlib import Path
from urllib.parse import parse_qs

import msgspec
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse

from velmora.contents import ASGIContent, JSONContent, TextContent, parse_www_form_urlencoded

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Bench  # noqa: E402


class PyContent:
    __slots__ = ("type", "body", "length")

    def __init__(self, content_type, body):
        self.type = content_type
        self.body = body
        self.length = len(body)


def py_text(text: str) -> PyContent:
    return PyContent(b"text/plain; charset=utf-8", text.encode())


def py_json(data) -> PyContent:
    return PyContent(b"application/json", msgspec.json.encode(data))


def complete(coro):
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("the coroutine suspended")


def receiver(chunks: list[bytes]):
    messages = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1} for i, c in enumerate(chunks)]

    def make():
        queue = iter(messages)

        async def receive():
            return next(queue)

        return receive

    return make


SCOPE = {"type": "http", "method": "POST", "path": "/", "headers": [], "query_string": b""}
DATA = {"id": 42, "name": "velmora", "tags": ["a", "b", "c"], "ok": True, "score": 3.5}
FORM = "name=J%C3%BCrgen+M%C3%BCller&email=j%40example.com&tag=a&tag=b&tag=c&note=&agree=on"


def main() -> None:
    one = receiver([b"x" * 2048])
    four = receiver([b"x" * 512] * 4)
    ns = {
        "TextContent": TextContent, "JSONContent": JSONContent, "PlainTextResponse": PlainTextResponse,
        "JSONResponse": JSONResponse, "py_text": py_text, "py_json": py_json, "DATA": DATA,
        "ASGIContent": ASGIContent, "Request": Request, "SCOPE": SCOPE, "complete": complete,
        "one": one, "four": four, "FORM": FORM, "parse_form": parse_www_form_urlencoded, "parse_qs": parse_qs,
    }
    bench = Bench("Contents", number=100_000)
    bench.case("text body", {
        "velmora": "TextContent('Hello, world!')",
        "python": "py_text('Hello, world!')",
        "starlette": "PlainTextResponse('Hello, world!')",
    }, ns)
    bench.case("json body", {
        "velmora": "JSONContent(DATA)",
        "python": "py_json(DATA)",
        "starlette": "JSONResponse(DATA)",
    }, ns)
    for name, make in (("one", "one"), ("four", "four")):
        bench.case(f"read body, {name} message(s)", {
            "velmora": f"complete(ASGIContent({make}()).read())",
            "starlette": f"complete(Request(SCOPE, {make}()).body())",
        }, ns)
    bench.case("parse form", {
        "velmora": "parse_form(FORM)",
        "parse_qs": "parse_qs(FORM, keep_blank_values=True)",
    }, ns)
    bench.run()


if __name__ == "__main__":
    main()
