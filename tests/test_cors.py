"""CORS policies: preflights, decorated answers, named policies and the
configuration errors."""

from __future__ import annotations

import asyncio

import pytest
from appkit import rsgi

from velmora import Application, text
from velmora.cors import CORSError, CORSPolicy
from velmora.exceptions import BadRequest
from velmora.testing import TestClient

SITE = "https://app.example"


def make_app(**options):
    app = Application()

    @app.router.get("/items")
    async def items(request):
        return text("items")

    @app.router.put("/items")
    async def put_items(request):
        return text("put")

    @app.router.get("/bad")
    async def bad(request):
        raise BadRequest("nope")

    @app.cors("public")
    @app.router.get("/feed")
    async def feed(request):
        return text("feed")

    app.add_cors_policy("public", allow_origins="*", allow_methods=["GET"])
    app.use_cors(**({"allow_origins": [SITE], "allow_methods": ["GET", "PUT"], "allow_headers": ["X-Token"],
                     "expose_headers": ["X-Total"], "allow_credentials": True, "max_age": 60} | options))
    return app


@pytest.fixture
def client():
    with TestClient(make_app()) as client:
        yield client


def preflight(client, path, origin=SITE, method="PUT", headers=None):
    asked = {"origin": origin, "access-control-request-method": method}
    if headers is not None:
        asked["access-control-request-headers"] = headers
    return client.options(path, headers=asked)


def test_preflight_allowed(client):
    response = preflight(client, "/items", headers="x-token, Content-Type")
    assert response.status_code == 204
    h = response.headers
    assert h["access-control-allow-origin"] == SITE
    assert h["access-control-allow-methods"] == "GET, PUT"
    assert h["access-control-allow-headers"] == "x-token, Content-Type"
    assert h["access-control-allow-credentials"] == "true"
    assert h["access-control-max-age"] == "60"
    assert h["vary"] == "Origin"


@pytest.mark.parametrize(
    ("origin", "method", "headers", "reason"),
    [
        ("https://evil.example", "PUT", None, "origin"),
        ("null", "GET", None, "origin"),
        (SITE, "DELETE", None, "method"),
        (SITE, "PUT", "x-token, x-other", "header"),
        (SITE, "PUT", "authorization", "header"),
    ],
)
def test_preflight_refused(client, origin, method, headers, reason):
    response = preflight(client, "/items", origin, method, headers)
    assert response.status_code == 403
    assert reason in response.text
    assert "access-control-allow-origin" not in response.headers


def test_preflight_uses_the_policy_of_the_asked_route(client):
    response = preflight(client, "/feed", origin="https://any.example", method="GET")
    assert (response.status_code, response.headers["access-control-allow-origin"]) == (204, "*")
    assert preflight(client, "/feed", origin="https://any.example", method="PUT").status_code == 403
    # unknown path: the default policy answers
    assert preflight(client, "/nowhere").status_code == 204


def test_simple_requests_are_decorated(client):
    response = client.get("/items", headers={"origin": SITE})
    assert response.text == "items"
    assert response.headers["access-control-allow-origin"] == SITE
    assert response.headers["access-control-expose-headers"] == "X-Total"
    other = client.get("/items", headers={"origin": "https://evil.example"})
    assert other.text == "items" and "access-control-allow-origin" not in other.headers
    assert other.headers["vary"] == "Origin"
    plain = client.get("/items")
    assert not any(name.startswith("access-control") for name in plain.headers)
    assert client.get("/feed", headers={"origin": "https://x.example"}).headers["access-control-allow-origin"] == "*"


def test_errors_are_decorated_too(client):
    for path, status in (("/bad", 400), ("/nowhere", 404)):
        response = client.get(path, headers={"origin": SITE})
        assert response.status_code == status
        assert response.headers["access-control-allow-origin"] == SITE
    response = client.delete("/items", headers={"origin": SITE})
    assert (response.status_code, response.headers["access-control-allow-origin"]) == (405, SITE)


def test_rsgi_preflight():
    app = make_app()
    asyncio.run(app.start())
    protocol = rsgi(app, "OPTIONS", "/items", headers=[("origin", SITE), ("access-control-request-method", "GET")])
    assert (protocol.status, protocol.headers["access-control-allow-origin"]) == (204, SITE)


def test_wildcards_reflect_what_is_asked():
    with TestClient(make_app(allow_methods="*", allow_headers="*")) as client:
        response = preflight(client, "/items", method="PATCH", headers="x-anything")
        assert response.status_code == 204
        assert response.headers["access-control-allow-methods"] == "PATCH"
        assert response.headers["access-control-allow-headers"] == "x-anything"


@pytest.mark.parametrize(
    "options",
    [
        {"allow_origins": "*", "allow_credentials": True},
        {"allow_origins": ["https://a.example", "*"], "allow_credentials": True},
        {"allow_origins": ["https://a.example\r\nx: y"]},
        {"allow_headers": ["a,b"]},
        {"max_age": -1},
    ],
)
def test_configuration_errors(options):
    with pytest.raises(CORSError, match="."):
        CORSPolicy(**options)


def test_credentialed_wildcard_message():
    with pytest.raises(CORSError, match="allow_credentials"):
        Application().use_cors(allow_origins="*", allow_credentials=True)


def test_unknown_policy_name_fails_at_start():
    app = Application()
    app.use_cors(allow_origins=[SITE])

    @app.cors("missing")
    @app.router.get("/")
    async def home(request):
        return text("x")

    with pytest.raises(LookupError, match="missing"):
        asyncio.run(app.start())
