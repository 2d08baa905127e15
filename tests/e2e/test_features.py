"""Static files, ranges, CORS preflights and request limits behind uvicorn
and granian."""

from __future__ import annotations

import os
import subprocess
from collections.abc import Iterator

import pytest

from .conftest import ROOT, Server, command, free_port, httpx
from .test_servers import exchange, status_of

DATA = os.urandom(300_000)
ORIGIN = "https://app.example"


@pytest.fixture(scope="module")
def feature_servers(tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[str, Server]]:
    base = tmp_path_factory.mktemp("features")
    root = base / "public"
    root.mkdir()
    (root / "data.bin").write_bytes(DATA)
    (root / "index.html").write_text("<h1>home</h1>")
    (base / "secret.txt").write_text("secret")
    (root / "escape").symlink_to(base / "secret.txt")
    os.environ["VELMORA_E2E_STATIC"] = str(root)
    started: dict[str, Server] = {}
    try:
        for kind in ("uvicorn", "granian"):
            started[kind] = Server(kind, base / f"{kind}.log", target="tests.e2e.features_app:app")
        yield started
    finally:
        for server in started.values():
            server.stop()


@pytest.fixture(params=("uvicorn", "granian"))
def fserver(request: pytest.FixtureRequest, feature_servers: dict[str, Server]) -> Iterator[Server]:
    server = feature_servers[request.param]
    yield server
    assert server.alive(), f"{server.kind} died:\n{server.log()}"


@pytest.fixture
def fclient(fserver: Server) -> Iterator[httpx.Client]:
    with httpx.Client(base_url=fserver.url, timeout=10) as client:
        yield client


def test_static_file_and_validators(fclient):
    response = fclient.get("/static/data.bin")
    assert response.status_code == 200 and response.content == DATA
    assert response.headers["x-stamp"] == "1"
    etag = response.headers["etag"]
    assert fclient.get("/static/data.bin", headers={"if-none-match": etag}).status_code == 304
    since = {"if-modified-since": response.headers["last-modified"]}
    assert fclient.get("/static/data.bin", headers=since).status_code == 304
    assert fclient.get("/static/", headers={"if-modified-since": "not a date"}).text == "<h1>home</h1>"
    head = fclient.head("/static/data.bin")
    assert (head.status_code, head.content) == (200, b"")
    assert head.headers.get("content-length", str(len(DATA))) == str(len(DATA))  # granian leaves it out


@pytest.mark.parametrize(
    ("value", "status", "start", "end"),
    [
        ("bytes=1000-1999", 206, 1000, 2000),
        ("bytes=-500", 206, len(DATA) - 500, len(DATA)),
        ("bytes=299990-9999999999999999999999", 206, 299990, len(DATA)),
        ("bytes=300000-", 416, 0, 0),
        ("bytes=9-1", 200, 0, len(DATA)),
        ("bytes=0-1,5-6", 200, 0, len(DATA)),
        ("bytes=x-y", 200, 0, len(DATA)),
    ],
)
def test_static_ranges(fclient, value, status, start, end):
    response = fclient.get("/static/data.bin", headers={"range": value})
    assert response.status_code == status
    if status != 416:
        assert response.content == DATA[start:end]


@pytest.mark.parametrize(
    "target",
    [b"/static/../secret.txt", b"/static/..%2fsecret.txt", b"/static/..%5csecret.txt", b"/static/%2e%2e/secret.txt",
     b"/static/escape", b"/static/data.bin%00", b"/static/..\\secret.txt"],
)
def test_static_traversal(fserver, target):
    reply = exchange(fserver, b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    assert status_of(reply) in (None, 400, 404), reply[:200]
    assert b"secret" not in reply


def test_cors_preflight_and_simple(fclient):
    asked = {"origin": ORIGIN, "access-control-request-method": "POST", "access-control-request-headers": "X-Token"}
    response = fclient.options("/items", headers=asked)
    assert response.status_code == 204
    assert response.headers["access-control-allow-origin"] == ORIGIN
    assert response.headers["access-control-allow-headers"] == "X-Token"
    refused = fclient.options("/items", headers=asked | {"origin": "https://evil.example"})
    assert refused.status_code == 403
    assert fclient.options("/items", headers=asked | {"access-control-request-method": "DELETE"}).status_code == 403
    created = fclient.post("/items", headers={"origin": ORIGIN})
    assert (created.status_code, created.headers["access-control-allow-origin"]) == (201, ORIGIN)


def test_limits(fserver):
    long_path = b"/static/" + b"a" * 200
    assert status_of(exchange(fserver, b"GET " + long_path + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")) == 414
    many = b"".join(b"X-H%d: v\r\n" % i for i in range(40))
    reply = exchange(fserver, b"GET /static/ HTTP/1.1\r\nHost: x\r\n" + many + b"Connection: close\r\n\r\n")
    assert status_of(reply) == 431


@pytest.mark.parametrize("kind", ["uvicorn", "granian"])
def test_failing_start_up_stops_the_server(kind, tmp_path):
    pytest.importorskip(kind)
    cmd = command(kind, free_port(), "tests.e2e.failing_app:app")
    env = dict(os.environ, PYTHONPATH=str(ROOT), PYTHONUNBUFFERED="1")
    done = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, timeout=30)
    assert done.returncode != 0
    assert b"the database is unreachable" in done.stdout + done.stderr
