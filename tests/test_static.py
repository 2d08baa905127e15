"""Static files: traversal attempts, conditional requests, ranges, under
ASGI (the test client) and RSGI (the recording protocol)."""

from __future__ import annotations

import os
from email.utils import formatdate

import pytest
from urllib.parse import unquote

from appkit import asgi, rsgi

from velmora import Application
from velmora.static import parse_range
from velmora.testing import TestClient

DATA = bytes(range(256)) * 40  # 10240 bytes


@pytest.fixture
def site(tmp_path):
    root = tmp_path / "public"
    (root / "docs").mkdir(parents=True)
    (root / "data.bin").write_bytes(DATA)
    (root / "style.css").write_text("body{}")
    (root / "index.html").write_text("<h1>home</h1>")
    (root / "docs" / "index.html").write_text("<h1>docs</h1>")
    (root / "docs" / "a b.txt").write_text("spaced")
    (tmp_path / "secret.txt").write_text("secret")
    (root / "inside-link.txt").symlink_to(root / "style.css")
    (root / "outside-link.txt").symlink_to(tmp_path / "secret.txt")
    (root / "outside-dir").symlink_to(tmp_path)
    os.mkfifo(root / "pipe")
    app = Application()
    app.serve_files(root, prefix="/static")
    return app


@pytest.fixture
def client(site):
    with TestClient(site) as client:
        yield client


@pytest.mark.parametrize(
    ("path", "status", "body", "content_type"),
    [
        ("/static/data.bin", 200, DATA, "application/octet-stream"),
        ("/static/style.css", 200, b"body{}", "text/css; charset=utf-8"),
        ("/static/", 200, b"<h1>home</h1>", "text/html; charset=utf-8"),
        ("/static", 200, b"<h1>home</h1>", "text/html; charset=utf-8"),
        ("/static/docs/", 200, b"<h1>docs</h1>", "text/html; charset=utf-8"),
        ("/static/docs/a%20b.txt", 200, b"spaced", "text/plain; charset=utf-8"),
        ("/static/inside-link.txt", 200, b"body{}", "text/plain; charset=utf-8"),
    ],
)
def test_files_are_served(client, path, status, body, content_type):
    response = client.get(path)
    assert (response.status_code, response.content) == (status, body)
    assert response.headers["content-type"] == content_type


def test_folder_without_slash_redirects(client):
    response = client.get("/static/docs", follow_redirects=False)
    assert response.status_code == 308
    assert response.headers["location"] == "/static/docs/"


@pytest.mark.parametrize(
    "path",
    [
        "/static/../secret.txt",
        "/static/docs/../../secret.txt",
        "/static/%2e%2e/secret.txt",
        "/static/..%2fsecret.txt",
        "/static/..%2Fsecret.txt",
        "/static/..%5csecret.txt",
        "/static/docs%2findex.html",
        "/static/..\\secret.txt",
        "/static/data.bin%00.txt",
        "/static/./data.bin",
        "/static/outside-link.txt",
        "/static/outside-dir/secret.txt",
        "/static/pipe",
        "/static/missing.txt",
        "/static/data.bin/x",
        "/static/" + "a" * 5000,
    ],
)
def test_nothing_outside_the_folder(site, path):
    status, _, body, _ = asgi(site, "GET", path)
    assert status == 404
    assert b"secret" not in body
    # an RSGI server hands the path over decoded
    protocol = rsgi(site, "GET", unquote(path))
    assert b"secret" not in protocol.body
    assert protocol.status == (200 if path == "/static/docs%2findex.html" else 404)


def test_validators_and_not_modified(client):
    first = client.get("/static/style.css")
    etag, modified = first.headers["etag"], first.headers["last-modified"]
    for headers in ({"if-none-match": etag}, {"if-none-match": f'"x", W/{etag}'}, {"if-none-match": "*"},
                    {"if-modified-since": modified}):
        response = client.get("/static/style.css", headers=headers)
        assert (response.status_code, response.content) == (304, b"")
        assert response.headers["etag"] == etag
    later = formatdate(0, usegmt=True)
    for headers in ({"if-none-match": '"other"'}, {"if-modified-since": later}, {"if-modified-since": "yesterday"},
                    {"if-modified-since": "Mon, 99 Foo 2024 99:99:99 GMT"}, {"if-none-match": '"other"', "if-modified-since": modified}):
        assert client.get("/static/style.css", headers=headers).status_code == 200


@pytest.mark.parametrize(
    "headers", [{"if-match": '"other"'}, {"if-match": "W/\"x\""}, {"if-unmodified-since": formatdate(0, usegmt=True)}]
)
def test_failed_preconditions(client, headers):
    assert client.get("/static/style.css", headers=headers).status_code == 412


@pytest.mark.parametrize(
    ("value", "status", "start", "end"),
    [
        ("bytes=0-99", 206, 0, 100),
        ("bytes=100-", 206, 100, len(DATA)),
        ("bytes=-10", 206, len(DATA) - 10, len(DATA)),
        ("bytes=-999999", 206, 0, len(DATA)),
        ("bytes=10000-999999999999999999999999999999", 206, 10000, len(DATA)),
        (" BYTES = 5 - 6 ", 206, 5, 7),
        ("bytes=10240-", 416, None, None),
        ("bytes=99999999999999999999999999-", 416, None, None),
        ("bytes=-0", 416, None, None),
        ("bytes=" + "9" * 5000 + "-", 416, None, None),
        ("bytes=5-2", 200, 0, len(DATA)),
        ("bytes=0-1,4-5", 200, 0, len(DATA)),
        ("bytes=abc", 200, 0, len(DATA)),
        ("items=0-5", 200, 0, len(DATA)),
        ("bytes=-", 200, 0, len(DATA)),
        ("bytes=١-٢", 200, 0, len(DATA)),
        ("bytes=+1-2", 200, 0, len(DATA)),
    ],
)
def test_ranges(client, site, value, status, start, end):
    response = client.get("/static/data.bin", headers={"range": value.encode("utf-8")})
    assert response.status_code == status
    # the RSGI server decodes header bytes as Latin-1
    protocol = rsgi(site, "GET", "/static/data.bin", headers=[("range", value.encode().decode("latin-1"))])
    assert protocol.status == status
    if status == 416:
        assert response.headers["content-range"] == f"bytes */{len(DATA)}"
        return
    assert response.content == protocol.body == DATA[start:end]
    if status == 206:
        assert response.headers["content-range"] == f"bytes {start}-{end - 1}/{len(DATA)}"
        assert protocol.call == ("file_range", protocol.call[1], start, end)
    else:
        assert protocol.call[0] == "file"


def test_if_range(client):
    etag = client.get("/static/data.bin").headers["etag"]
    assert client.get("/static/data.bin", headers={"range": "bytes=0-9", "if-range": etag}).status_code == 206
    assert client.get("/static/data.bin", headers={"range": "bytes=0-9", "if-range": '"old"'}).status_code == 200


def test_head_sends_headers_only(client, site):
    response = client.head("/static/data.bin")
    assert (response.status_code, response.content) == (200, b"")
    assert response.headers["content-length"] == str(len(DATA))
    assert rsgi(site, "HEAD", "/static/data.bin").status == 200


def test_empty_file_and_unreadable(site, tmp_path):
    (tmp_path / "public" / "empty").write_bytes(b"")
    with TestClient(site) as client:
        assert client.get("/static/empty").content == b""
        assert client.get("/static/empty", headers={"range": "bytes=0-"}).status_code == 416


def test_configuration_errors(tmp_path):
    app = Application()
    with pytest.raises(ValueError):
        app.serve_files(tmp_path / "missing")
    with pytest.raises(ValueError):
        app.serve_files(tmp_path, prefix="static")


def test_parse_range_is_total():
    # every answer is None, False or a range inside the body
    for value in (b"bytes=0-0", b"bytes=-1", b"bytes=3-", b"bytes=0-", b"bytes=2-1", b"", b"=", b"bytes=--"):
        for size in (0, 1, 5):
            found = parse_range(value, size)
            assert found in (None, False) or 0 <= found[0] < found[1] <= size


@pytest.mark.parametrize(("value", "status"), [("bytes=" + "9" * 5000 + "-", 416), ("bytes=0-" + "9" * 5000, 206)])
def test_file_helper_survives_huge_positions(tmp_path, value, status):
    from velmora import file

    (tmp_path / "f").write_bytes(DATA)
    app = Application()
    app.router.add_route("GET", "/f", lambda request: file(tmp_path / "f", request))
    assert asgi(app, "GET", "/f", headers=[("range", value)])[0] == status
