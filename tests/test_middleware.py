"""Middleware chains: order, the error registry, wrong results, fallbacks,
and both server interfaces."""

from __future__ import annotations

import asyncio

import pytest
from appkit import asgi_exchange, rsgi

from velmora import Application, text
from velmora.messages import Response
from velmora.testing import TestClient


class Teapot(Exception):
    pass


def tagging(tag, log):
    async def middleware(request, handler):
        log.append(f"{tag}>")
        response = await handler(request)
        log.append(f"<{tag}")
        response.add_header(b"x-chain", tag.encode())
        return response

    return middleware


@pytest.fixture
def app():
    app = Application()
    app.log = []

    @app.router.get("/")
    async def home(request):
        app.log.append("handler")
        return text("home")

    @app.router.get("/sync")
    def sync(request):
        return None

    @app.router.post("/only-post")
    async def only_post(request):
        return text("posted")

    return app


def test_order_first_registered_outermost(app):
    app.middlewares.append(tagging("a", app.log))
    app.middleware(tagging("b", app.log))
    with TestClient(app) as client:
        response = client.get("/")
    assert app.log == ["a>", "b>", "handler", "<b", "<a"]
    assert response.headers.get_list("x-chain") == ["b", "a"]


def test_composed_once(app):
    app.middleware(tagging("a", app.log))
    for _ in range(2):  # a second start (after a stop) wraps nothing again
        with TestClient(app) as client:
            client.get("/")
    assert app.log.count("a>") == 2
    with pytest.raises(RuntimeError, match="started"):
        app.middleware(tagging("late", app.log))
    with pytest.raises(RuntimeError, match="started"):
        app.use_cors(allow_origins="*")


def test_no_middleware_keeps_handlers(app):
    handlers = [route.handler for route in app.router.routes]
    with TestClient(app):
        pass
    assert [route.handler for route in app.router.routes] == handlers


def test_sync_handler_and_fallbacks_pass_through(app):
    app.middleware(tagging("a", app.log))
    with TestClient(app) as client:
        assert client.get("/sync").status_code == 204
        assert client.get("/missing").status_code == 404
        response = client.get("/only-post")
        assert (response.status_code, response.headers["allow"]) == (405, "POST")
        assert response.headers["x-chain"] == "a"
        head = client.head("/")
        assert (head.status_code, head.headers["x-chain"]) == (200, "a")
    assert app.log.count("a>") == 4


def test_middleware_answers_without_handler(app):
    @app.middleware
    async def gate(request, handler):
        if request.get_first_header(b"x-key") != b"open":
            return text("locked", status=401)
        return await handler(request)

    with TestClient(app) as client:
        assert client.get("/").status_code == 401
        assert client.get("/", headers={"x-key": "open"}).text == "home"
    assert app.log == ["handler"]


def test_errors_go_through_the_registry(app):
    async def teapot(app_, request, exc):
        return text(f"teapot: {exc}", status=418)

    app.exceptions_handlers[Teapot] = teapot

    @app.middleware
    async def failing(request, handler):
        if request.path == "/":
            raise Teapot("from middleware")
        return await handler(request)

    with TestClient(app) as client:
        assert (client.get("/").status_code, client.get("/").text) == (418, "teapot: from middleware")
        assert client.get("/missing").status_code == 404


@pytest.mark.parametrize(("result", "status"), [("a string", 500), ({"a": 1}, 500), (None, 204)])
def test_wrong_results_are_server_errors(app, result, status):
    @app.middleware
    async def wrong(request, handler):
        await handler(request)
        return result

    with TestClient(app) as client:
        assert client.get("/").status_code == status


class Escape(BaseException):
    pass


def test_base_exception_propagates_and_the_app_survives(app):
    @app.middleware
    async def escaping(request, handler):
        if request.path == "/":
            raise Escape()
        return await handler(request)

    async def run():
        await app.start()
        with pytest.raises(Escape):
            await asgi_exchange(app, "GET", "/")
        return await asgi_exchange(app, "GET", "/sync")

    assert asyncio.run(run())[0] == 204


def test_rsgi_runs_the_chain(app):
    app.middleware(tagging("a", app.log))
    asyncio.run(app.start())
    protocol = rsgi(app, "GET", "/")
    assert (protocol.status, protocol.body, protocol.headers["x-chain"]) == (200, b"home", "a")


def test_plain_function_and_callable_object(app):
    class Counter:
        calls = 0

        async def __call__(self, request, handler):
            Counter.calls += 1
            return await handler(request)

    def passthrough(request, handler):  # returns the handler's coroutine
        return handler(request)

    app.middleware(Counter())
    app.middleware(passthrough)
    with pytest.raises(TypeError):
        app.middleware("not callable")
    with TestClient(app) as client:
        assert client.get("/").text == "home"
    assert Counter.calls == 1


def test_response_type_is_preserved():
    app = Application()

    @app.router.get("/")
    async def home(request):
        return Response(202)

    @app.middleware
    async def same(request, handler):
        return await handler(request)

    with TestClient(app) as client:
        assert client.get("/").status_code == 202


def test_composed_on_the_first_request_without_start_up(app):
    # a server run without the lifespan protocol still applies the chain
    app.middleware(tagging("a", app.log))
    status, headers, _, _ = asyncio.run(asgi_exchange(app, "GET", "/"))
    assert (status, headers["x-chain"]) == (200, "a")
    assert rsgi(app, "GET", "/").headers["x-chain"] == "a"
    assert app.log.count("a>") == 2
