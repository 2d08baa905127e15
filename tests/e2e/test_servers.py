"""The demo application behind uvicorn and granian, driven over the network."""

from __future__ import annotations

import hashlib
import json
import os
import socket
import subprocess
import time

import pytest

from .conftest import SERVERS, Server, command, free_port

LEAK_REPEAT = False  # the servers run in child processes

DOWNLOAD = bytes(i % 251 for i in range(1 << 20))


@pytest.mark.parametrize(
    ("path", "status", "content_type", "body"),
    [
        ("/", 200, "text/html; charset=utf-8", None),
        ("/hello/w%C3%B6rld", 200, "text/plain; charset=utf-8", "Hello, wörld!".encode()),
        ("/users/42", 200, "application/json", b'{"id":42}'),
        ("/users/abc", 404, "text/html; charset=utf-8", None),
        ("/search?q=a%20b&page=3&tag=x&tag=y", 200, "application/json", b'{"q":"a b","page":3,"tags":["x","y"]}'),
        ("/search", 200, "application/json", b'{"q":"","page":1,"tags":[]}'),
        ("/cookies", 200, "application/json", b'{"cookies":{}}'),
        ("/teapot", 418, "application/json", b'{"error":"I refuse to brew coffee"}'),
        ("/boom", 500, "text/plain; charset=utf-8", b"Internal Server Error"),
        ("/nothing/here", 404, "text/html; charset=utf-8", None),
    ],
)
def test_endpoints(client, path, status, content_type, body):
    response = client.get(path)
    assert response.status_code == status
    assert response.headers["content-type"] == content_type
    if body is not None:
        assert response.content == body


def test_validation_error_is_422(client):
    response = client.get("/search?page=seven")
    assert response.status_code == 422
    assert response.json()["detail"][0]["loc"] == ["query", "page"]
    response = client.post("/items", json={"name": "", "price": -1})
    assert response.status_code == 422
    assert [error["loc"][-1] for error in response.json()["detail"]] == ["name", "price"]
    assert client.post("/items", json={"name": "tea", "price": 2.5}).status_code == 201


def test_json_round_trip_and_large_body(client):
    data = {"text": "é" * 10, "items": list(range(100)), "big": "x" * (3 << 20)}
    response = client.post("/echo", json=data)
    assert response.status_code == 200
    assert response.json() == {"received": data}


def test_chunked_upload(client):
    payload = json.dumps({"parts": ["y" * 1000] * 300}).encode()

    def chunks():
        for start in range(0, len(payload), 7000):
            yield payload[start : start + 7000]

    response = client.post("/echo", content=chunks(), headers={"content-type": "application/json"})
    assert response.status_code == 200
    assert response.json() == {"received": json.loads(payload)}


def test_form_fields(client):
    response = client.post("/form", data={"name": "Ada", "lang": "fr-é"})
    assert response.status_code == 200
    assert response.json() == {"name": "Ada", "lang": "fr-é"}


def test_multipart_upload_of_5_mib(client):
    blob = os.urandom(5 << 20)
    response = client.post(
        "/upload", files={"file": ("blob.bin", blob, "application/octet-stream")}, data={"note": "hello"}
    )
    assert response.status_code == 200
    assert response.json() == {
        "files": [{"field": "file", "name": "blob.bin", "size": len(blob), "sha256": hashlib.sha256(blob).hexdigest()}]
    }


def test_cookies_round_trip(client):
    response = client.get("/cookies/set?name=flavour&value=oat%20milk", follow_redirects=True)
    assert response.status_code == 200
    assert response.json() == {"cookies": {"flavour": "oat milk"}}
    response = client.get("/cookies/clear?name=flavour", follow_redirects=True)
    assert response.json() == {"cookies": {}}


def test_sse_read_incrementally_then_left(client, server):
    lines = []
    with client.stream("GET", "/events?count=0&interval=0.02") as response:
        assert response.status_code == 200
        assert response.headers["content-type"] == "text/event-stream"
        for line in response.iter_lines():
            lines.append(line)
            if line.startswith("data: ") and len([x for x in lines if x.startswith("data: ")]) == 3:
                break
    assert [x for x in lines if x.startswith("id: ")] == ["id: 1", "id: 2", "id: 3"]
    assert "data: {\"tick\":3}" in lines
    assert client.get("/users/1").status_code == 200


@pytest.mark.parametrize(
    ("range_header", "status", "content_range", "body"),
    [
        (None, 200, None, DOWNLOAD),
        ("bytes=10-19", 206, "bytes 10-19/1048576", DOWNLOAD[10:20]),
        ("bytes=1048570-", 206, "bytes 1048570-1048575/1048576", DOWNLOAD[-6:]),
        ("bytes=-5", 206, "bytes 1048571-1048575/1048576", DOWNLOAD[-5:]),
        ("bytes=2000000-", 416, "bytes */1048576", b""),
    ],
)
def test_download_ranges(client, range_header, status, content_range, body):
    headers = {"range": range_header} if range_header else {}
    response = client.get("/download", headers=headers)
    assert response.status_code == status
    assert response.headers.get("content-range") == content_range
    assert response.content == body
    if status != 416:
        assert response.headers["content-disposition"] == 'attachment; filename="velmora-demo.bin"'


def test_head_and_method_not_allowed(client):
    response = client.head("/users/7")
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json"
    assert response.headers["content-length"] == str(len(b'{"id":7}'))
    assert response.content == b""
    response = client.head("/events?count=0")  # an endless stream is never started
    assert response.status_code == 200
    response = client.delete("/users/7")
    assert response.status_code == 405
    assert response.headers["allow"] == "GET, HEAD"


# ------------------------------------------------------------- raw sockets


def exchange(server: Server, data: bytes, timeout: float = 5) -> bytes:
    with socket.create_connection(("127.0.0.1", server.port), timeout=timeout) as sock:
        sock.sendall(data)
        received = b""
        try:
            while chunk := sock.recv(65536):
                received += chunk
        except (TimeoutError, ConnectionResetError):
            pass
    return received


def status_of(reply: bytes) -> int | None:
    if not reply.startswith(b"HTTP/1."):
        return None
    return int(reply.split(b" ", 2)[1])


@pytest.mark.parametrize(
    "raw",
    [
        b"GARBAGE\r\n\r\n",
        b"GET /hello/\xff\xfe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        b"GET /users/1 HTTP/1.1\r\nHost: x\r\nX-Bad: \xff\xfe\xc3\r\nConnection: close\r\n\r\n",
        b"GET /users/1 HTTP/1.1\r\nHost: " + b"h" * 10_000 + b"\r\nConnection: close\r\n\r\n",
        b"GET /cookies HTTP/1.1\r\nHost: x\r\nCookie: " + b"a=" + b"v" * 7000 + b"\r\nConnection: close\r\n\r\n",
        b"GET /hello/%ff%fe%zz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        b"GET /search?q=%ff%fe&page=%zz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
    ],
    ids=["request-line", "utf8-path", "utf8-header", "huge-host", "huge-cookie", "bad-escape-path", "bad-escape-query"],
)
def test_bad_input_keeps_the_server_up(server, raw):
    reply = exchange(server, raw)
    status = status_of(reply)
    assert status is None or status in (200, 400, 404, 413, 422, 431), reply[:200]
    assert status != 500, reply[:300]
    assert exchange(server, b"GET /users/5 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").endswith(b'{"id":5}')


def test_client_leaving_mid_body_keeps_the_server_up(server):
    for _ in range(3):
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as sock:
            sock.sendall(
                b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n{\"a\":"
            )
            time.sleep(0.05)
    reply = exchange(server, b"GET /users/9 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    assert reply.endswith(b'{"id":9}')


# ----------------------------------------------------------------- parity

PROBES = [
    ("GET", "/", None),
    ("GET", "/users/42", None),
    ("GET", "/users/-1", None),
    ("GET", "/hello/%252e%252e%252f", None),
    ("GET", "/search?q=x&page=2", None),
    ("GET", "/search?page=nope", None),
    ("GET", "/teapot", None),
    ("GET", "/boom", None),
    ("GET", "/missing", None),
    ("DELETE", "/users/1", None),
    ("HEAD", "/users/1", None),
    ("POST", "/echo", b'{"k":[1,2,3]}'),
    ("POST", "/echo", b"{broken"),
    ("POST", "/items", b'{"name":"x"}'),
    ("GET", "/download", None),
    ("GET", "/events?count=3&interval=0", None),
]


def test_both_interfaces_agree(servers):
    seen = {}
    for kind, server in servers.items():
        with httpx_client(server) as client:
            seen[kind] = [
                (r.status_code, r.headers.get("content-type"), r.content)
                for r in (
                    client.request(method, path, content=body, headers={"content-type": "application/json"})
                    for method, path, body in PROBES
                )
            ]
    for probe, asgi, rsgi in zip(PROBES, seen["uvicorn"], seen["granian"]):
        assert asgi == rsgi, probe


def test_request_values_agree(servers):
    seen = {}
    for kind, server in servers.items():
        with httpx_client(server) as client:
            info = client.get("/request-info", headers={"x-probe": "1"}).json()
        info["url"] = info["url"].replace(str(server.port), "PORT")
        info["to_path"] = info["to_path"].replace(str(server.port), "PORT")
        info["host"] = info["host"].replace(str(server.port), "PORT")
        info["headers"] = {k: v for k, v in info["headers"].items() if k == "x-probe"}
        seen[kind] = info
    assert seen["uvicorn"] == seen["granian"]
    assert seen["uvicorn"]["url"] == "http://127.0.0.1:PORT/request-info"
    assert seen["uvicorn"]["client_ip"] == "127.0.0.1"


def httpx_client(server: Server):
    import httpx

    return httpx.Client(base_url=server.url, timeout=10)


@pytest.mark.parametrize("kind", SERVERS)
def test_a_failing_start_up_hook_stops_the_server(kind, tmp_path):
    pytest.importorskip(kind)
    (tmp_path / "failing.py").write_text(
        "from velmora import Application\n"
        "app = Application()\n"
        "async def connect(application):\n"
        "    raise OSError('database down')\n"
        "app.on_startup.append(connect)\n"
    )
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    result = subprocess.run(
        command(kind, free_port(), "failing:app"), cwd=tmp_path, env=env, capture_output=True, timeout=30
    )
    assert result.returncode != 0
    assert b"database down" in result.stdout + result.stderr
