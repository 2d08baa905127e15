"""The test clients and the application's life cycle: lifespan context,
hooks, shared state, cookies and streamed answers."""

from __future__ import annotations

import asyncio
import contextlib

import pytest

from velmora import Application, json, sse, text
from velmora.cookies import Cookie
from velmora.testing import AsyncTestClient, LifespanError, TestClient


def make_app(events, fail=None):
    @contextlib.asynccontextmanager
    async def lifespan(app):
        events.append("enter")
        if fail == "enter":
            raise RuntimeError("no database")
        app.state.db = "connected"
        try:
            yield {"version": 3}
        finally:
            events.append("exit")

    app = Application(lifespan=lifespan)

    async def hook_up(app_):
        events.append("startup")
        if fail == "hook":
            raise RuntimeError("hook failed")

    async def hook_down(app_):
        events.append("shutdown")

    app.on_startup.append(hook_up)
    app.on_shutdown.append(hook_down)

    @app.router.get("/state")
    async def state(request):
        return json({"db": app.state.db, "version": app.state.version})

    @app.router.get("/login")
    async def login(request):
        response = text("in")
        response.set_cookie(Cookie("session", "abc", path="/"))
        return response

    @app.router.get("/whoami")
    async def whoami(request):
        return text(request.cookies.get("session", "nobody"))

    @app.router.post("/echo")
    async def echo(request):
        return json(await request.json())

    @app.router.get("/ticks")
    async def ticks(request):
        async def events_():
            n = 0
            try:
                while True:  # endless: the client decides when it is enough
                    yield f"tick {n}"
                    n += 1
                    await asyncio.sleep(0)
            finally:
                events.append("stream closed")

        return sse(events_())

    return app


def test_sync_client_life_cycle_state_and_cookies():
    events = []
    app = make_app(events)
    with TestClient(app) as client:
        assert events == ["enter", "startup"]
        assert client.get("/state").json() == {"db": "connected", "version": 3}
        assert client.get("/whoami").text == "nobody"
        client.get("/login")
        assert client.get("/whoami").text == "abc"
        assert client.post("/echo", json={"a": [1, 2]}).json() == {"a": [1, 2]}
    assert events == ["enter", "startup", "shutdown", "exit"]


def test_async_client():
    events = []
    app = make_app(events)

    async def run():
        async with AsyncTestClient(app) as client:
            assert (await client.get("/state")).json()["db"] == "connected"
            async with client.stream("GET", "/ticks") as response:
                assert response.headers["content-type"] == "text/event-stream"
                lines = []
                async for line in response.aiter_lines():
                    if line:
                        lines.append(line)
                    if len(lines) == 3:
                        break
        return lines

    assert asyncio.run(run()) == ["data: tick 0", "data: tick 1", "data: tick 2"]
    assert events[-1] == "exit"


def test_sync_stream_of_an_endless_sse():
    events = []
    with TestClient(make_app(events)) as client:
        with client.stream("GET", "/ticks") as response:
            lines = []
            for line in response.iter_lines():
                if line:
                    lines.append(line)
                if len(lines) == 2:
                    break
        assert lines == ["data: tick 0", "data: tick 1"]
        assert events[-1] == "stream closed"  # the source was closed when the client left
        assert client.get("/whoami").text == "nobody"  # the client still works


@pytest.mark.parametrize(("fail", "expected"), [("enter", ["enter"]), ("hook", ["enter", "startup", "exit"])])
def test_failing_start_up(fail, expected):
    events = []
    with pytest.raises(LifespanError, match="no database|hook failed"):
        with TestClient(make_app(events, fail)):
            pass
    assert events == expected


def test_rsgi_init_and_del_run_the_lifespan():
    events = []
    app = make_app(events)
    loop = asyncio.new_event_loop()
    try:
        app.__rsgi_init__(loop)
        assert app.state.db == "connected" and events == ["enter", "startup"]
        app.__rsgi_del__(loop)
    finally:
        loop.close()
    assert events == ["enter", "startup", "shutdown", "exit"]


def test_rsgi_init_failure_raises():
    app = make_app([], fail="enter")
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(RuntimeError, match="no database"):
            app.__rsgi_init__(loop)
    finally:
        loop.close()
    assert not app.started


def test_application_error_reaches_the_client():
    app = Application()

    @app.router.get("/")
    async def home(request):
        return text("ok")

    async def broken(scope, receive, send):
        raise RuntimeError("before any answer")

    with TestClient(app) as client:
        assert client.get("/").text == "ok"
    client = TestClient(broken)
    try:
        with pytest.raises(RuntimeError, match="before any answer"):
            client.get("/")
    finally:
        client.close()
