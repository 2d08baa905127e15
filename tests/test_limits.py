"""Request limits crossed by one byte, on both interfaces: each answered with
its status and a short text, never a 500."""

from __future__ import annotations

import pytest
from appkit import asgi, rsgi

from velmora import Application, json
from velmora.settings.limits import limits


@pytest.fixture
def app():
    app = Application()

    @app.router.post("/body")
    async def body(request):
        return json({"size": len(await request.read())})

    @app.router.post("/form")
    async def form(request):
        return json(sorted(await request.form()))

    @app.router.get("/{name}")
    async def anything(request):
        return json({"ok": True})

    yield app
    limits.reset()


def both(app, method, path, headers=(), body=b""):
    status, _, data, _ = asgi(app, method, path, headers=headers, body=body)
    protocol = rsgi(app, method, path, headers=headers, body=body)
    return (status, data), (protocol.status, protocol.body)


def multipart(*parts, header_pad=0):
    chunks = []
    for name, value in parts:
        chunks.append(
            b"--XyZ\r\nContent-Disposition: form-data; name=\"%s\"\r\n%s\r\n%s\r\n"
            % (name.encode(), b"X-Pad: " + b"p" * header_pad + b"\r\n" if header_pad else b"", value)
        )
    return b"".join(chunks) + b"--XyZ--\r\n"


MULTIPART = [("content-type", "multipart/form-data; boundary=XyZ")]


def test_path_length():
    limits.max_path_length = 20
    app = Application()
    app.router.add_route("GET", "/{name}", lambda request: json({"ok": True}))
    at, over = "/" + "a" * 19, "/" + "a" * 20
    assert [s for s, _ in both(app, "GET", at)] == [200, 200]
    assert both(app, "GET", over) == ((414, b"URI Too Long"),) * 2
    limits.reset()


def test_path_length_counts_utf8_bytes_under_rsgi(app):
    limits.max_path_length = 4
    assert rsgi(app, "GET", "/éé").status == 414  # 5 bytes
    assert rsgi(app, "GET", "/éa").status == 200


def test_header_count(app):
    limits.max_header_count = 3
    three = [("a", "1"), ("b", "2"), ("c", "3")]
    assert [s for s, _ in both(app, "GET", "/x", three)] == [200, 200]
    assert both(app, "GET", "/x", three + [("d", "4")]) == ((431, b"Request Header Fields Too Large"),) * 2


def test_header_size(app):
    limits.max_headers_size = 10  # names and values
    assert [s for s, _ in both(app, "GET", "/x", [("ab", "12345678")])] == [200, 200]
    assert [s for s, _ in both(app, "GET", "/x", [("ab", "123456789")])] == [431, 431]


def test_body_size(app):
    limits.max_body_size = 10
    assert [s for s, _ in both(app, "POST", "/body", body=b"x" * 10)] == [200, 200]
    assert [s for s, _ in both(app, "POST", "/body", body=b"x" * 11)] == [413, 413]


@pytest.mark.parametrize(
    ("setting", "value", "fits", "crosses", "status"),
    [
        ("multipart_max_parts", 2, multipart(("a", b"1"), ("b", b"2")), multipart(("a", b"1"), ("b", b"2"), ("c", b"3")), 413),
        ("multipart_max_field_size", 5, multipart(("a", b"12345")), multipart(("a", b"123456")), 413),
    ],
)
def test_multipart_limits(app, setting, value, fits, crosses, status):
    setattr(limits, setting, value)
    assert [s for s, _ in both(app, "POST", "/form", MULTIPART, fits)] == [200, 200]
    assert [s for s, _ in both(app, "POST", "/form", MULTIPART, crosses)] == [status, status]


def test_multipart_part_header_size(app):
    # names and values of the part's header lines
    limits.multipart_max_headers_size = len(b'Content-Dispositionform-data; name="a"X-Pad') + 10
    fits, crosses = (multipart(("a", b"1"), header_pad=pad) for pad in (10, 11))
    assert [s for s, _ in both(app, "POST", "/form", MULTIPART, fits)] == [200, 200]
    assert [s for s, _ in both(app, "POST", "/form", MULTIPART, crosses)] == [400, 400]


def test_application_exposes_the_limits():
    assert Application().limits is limits


@pytest.mark.parametrize(
    ("setting", "path", "headers"),
    [
        ("max_path_length", "/" + "a" * 9000, ()),
        ("max_header_count", "/x", [(f"h{i}", "v") for i in range(150)]),
        ("max_headers_size", "/x", [("big", "v" * 40_000)]),
    ],
)
def test_none_turns_a_check_off(app, setting, path, headers):
    assert [s for s, _ in both(app, "GET", path, headers)] in ([414, 414], [431, 431])
    setattr(limits, setting, None)
    assert getattr(limits, setting) is None
    assert [s for s, _ in both(app, "GET", path, headers)] == [200, 200]
    with pytest.raises(TypeError):
        limits.max_body_size = None
