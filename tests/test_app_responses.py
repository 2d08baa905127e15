"""Response helpers, alone and through both entry points."""

from __future__ import annotations

import asyncio

import pytest

from appkit import asgi, rsgi
from velmora import Application, ServerSentEvent, file, html, json, no_content, redirect, sse, stream, text
from velmora.responses import parse_range


def test_helpers_build_fresh_responses_and_header_lists():
    given = [(b"x-a", b"1")]
    first, second = text("a", headers=given), text("a", headers=given)
    assert first is not second
    assert first.headers.values is not second.headers.values
    assert first.headers.values is not given
    first.add_header(b"x-b", b"2")
    assert second.get_headers(b"x-b") == [] and given == [(b"x-a", b"1")]


@pytest.mark.parametrize(
    ("response", "status", "content_type", "body"),
    [
        (json({"id": 42}), 200, b"application/json", b'{"id":42}'),
        (json([1, "é"], status=201), 201, b"application/json", '[1,"é"]'.encode()),
        (text("hi"), 200, b"text/plain; charset=utf-8", b"hi"),
        (html("<b>"), 200, b"text/html; charset=utf-8", b"<b>"),
        (no_content(), 204, None, None),
    ],
)
def test_fixed_bodies(response, status, content_type, body):
    assert response.status == status
    content = response.content
    got = (content.type, content.body) if content is not None else (None, None)
    assert got == (content_type, body)


def test_redirect_and_unsafe_header_values():
    response = redirect("/next", 307, headers={"X-Why": "moved"})
    assert response.status == 307
    assert response.headers.values == [(b"location", b"/next"), (b"x-why", b"moved")]
    for bad in ("/a\r\nSet-Cookie: x=1", "/a\nb", "/a\x00"):
        with pytest.raises(ValueError):
            redirect(bad)
    with pytest.raises(ValueError):
        text("x", headers=[("x-a", "1\r\n2")])


@pytest.mark.parametrize(
    ("header", "size", "expected"),
    [
        (None, 100, None),
        ("bytes=0-9", 100, (0, 10)),
        ("bytes=90-", 100, (90, 100)),
        ("bytes=90-1000", 100, (90, 100)),
        ("bytes=-10", 100, (90, 100)),
        ("bytes=-1000", 100, (0, 100)),
        ("bytes=100-", 100, False),
        ("bytes=-0", 100, False),
        ("bytes=0-", 0, False),
        ("bytes=5-2", 100, None),
        ("bytes=0-1,5-6", 100, None),
        ("items=0-1", 100, None),
        ("bytes=x-y", 100, None),
    ],
)
def test_parse_range(header, size, expected):
    assert parse_range(header, size) == expected


@pytest.fixture
def file_app(tmp_path):
    data = bytes(range(256)) * 40
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    app = Application()

    @app.router.get("/f")
    async def get_file(request):
        return file(path, request, filename="résumé \"1\".bin")

    @app.router.get("/missing")
    async def missing(request):
        return file(tmp_path / "nope", request)

    return app, data, str(path)


@pytest.mark.parametrize(
    ("range_header", "status", "span", "content_range"),
    [
        (None, 200, (0, 10240), None),
        ("bytes=100-199", 206, (100, 200), "bytes 100-199/10240"),
        ("bytes=-16", 206, (10224, 10240), "bytes 10224-10239/10240"),
        ("bytes=10240-", 416, (0, 0), "bytes */10240"),
    ],
)
def test_file_ranges_under_both_interfaces(file_app, range_header, status, span, content_range):
    app, data, path = file_app
    headers = [("range", range_header)] if range_header else []
    got_status, got_headers, body, _ = asgi(app, "GET", "/f", headers=headers)
    protocol = rsgi(app, "GET", "/f", headers=headers)
    expected = data[span[0] : span[1]]
    assert (got_status, body, got_headers.get("content-range")) == (status, expected, content_range)
    assert (protocol.status, protocol.body, protocol.headers.get("content-range")) == (status, expected, content_range)
    if status == 206:
        assert got_headers["content-length"] == str(span[1] - span[0])
        assert protocol.call == ("file_range", path, span[0], span[1])  # end exclusive
    elif status == 200:
        assert protocol.call == ("file", path)
        assert got_headers["content-disposition"] == (
            "attachment; filename=\"r?sum? 1.bin\"; filename*=UTF-8''r%C3%A9sum%C3%A9%20%221%22.bin"
        )


def test_missing_file_is_404(file_app):
    app, _, _ = file_app
    assert asgi(app, "GET", "/missing")[0] == 404
    assert rsgi(app, "GET", "/missing").status == 404


def test_sse_and_stream_under_both_interfaces():
    app = Application()

    @app.router.get("/events")
    async def events(request):
        async def items():
            yield ServerSentEvent({"n": 1}, event="tick", id="1")
            yield "plain\ntext"

        return sse(items())

    @app.router.get("/stream")
    async def chunks(request):
        async def parts():
            yield b"ab"
            yield b""
            yield b"cd"

        return stream(parts, "text/plain")

    status, headers, body, _ = asgi(app, "GET", "/events")
    assert (status, headers["content-type"], headers["cache-control"]) == (200, "text/event-stream", "no-cache")
    assert body.startswith(b'id: 1\nevent: tick\ndata: {"n":1}\n\n')
    assert body.count(b"\n\n") == 2
    protocol = rsgi(app, "GET", "/events")
    assert (protocol.call, protocol.body) == (("stream",), body)
    assert asgi(app, "GET", "/stream")[2] == rsgi(app, "GET", "/stream").body == b"abcd"
    with pytest.raises(TypeError):
        sse([1, 2])
    with pytest.raises(TypeError):
        stream(b"bytes are not a stream")
