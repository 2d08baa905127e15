"""The application's entry points: ASGI and RSGI requests, life cycle,
error pages, bad scopes and clients that leave."""

from __future__ import annotations

import asyncio
import inspect
import logging
import subprocess
import sys

import pytest

from appkit import Protocol, Scope, asgi, asgi_exchange, both, rsgi
from velmora import Application, json, stream, text
from velmora.messages import (
    REQ_FREELIST,
    RESP_FREELIST,
    Response,
    get_absolute_url_to_path,
    get_request_absolute_url,
    release_response,
)


def test_entry_points_are_coroutine_functions():
    app = Application()
    assert inspect.iscoroutinefunction(app.__call__)
    assert inspect.iscoroutinefunction(app.__rsgi__)


def test_import_of_a_module_does_not_load_the_application_layer():
    code = (
        "import sys, velmora.headers\n"
        "assert 'velmora.app' not in sys.modules and 'velmora.keystone' not in sys.modules, sorted(sys.modules)\n"
        "from velmora import Application, json\n"
        "assert 'velmora.app' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def hello_app(**kwargs):
    app = Application(**kwargs)

    @app.router.get("/")
    async def home(request):
        return text("Hello, World!")

    @app.router.get("/users/{id:int}")
    async def user(request):
        return json({"id": int(request.route_values["id"])})

    @app.router.get("/boom")
    async def boom(request):
        raise RuntimeError("secret <detail>")

    @app.router.get("/info")
    async def info(request):
        return json(
            {
                "scheme": request.scheme,
                "host": request.host,
                "client_ip": request.client_ip,
                "url": get_request_absolute_url(request).value.decode(),
                "to": get_absolute_url_to_path(request, "/x").value.decode(),
                "query": request.query,
            }
        )

    return app


def test_hello_world_under_both_interfaces():
    app = hello_app()
    assert both(app, "GET", "/") == ((200, "text/plain; charset=utf-8", b"Hello, World!"),) * 2
    assert both(app, "GET", "/users/42") == ((200, "application/json", b'{"id":42}'),) * 2


def test_path_falls_back_to_path_only_without_raw_path():
    app = hello_app()
    assert asgi(app, "GET", "/users/7", raw_path=False)[2] == b'{"id":7}'


@pytest.mark.parametrize(
    ("asgi_headers", "rsgi_args"),
    [
        ([("host", "example.com:8080")], {"scheme": "http"}),
        ([("host", "example.com")], {"scheme": "https"}),
    ],
)
def test_request_values_agree_between_interfaces(asgi_headers, rsgi_args):
    app = hello_app()

    async def run():
        scope_scheme = rsgi_args["scheme"]
        sent = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            sent.append(message)

        scope = {
            "type": "http", "method": "GET", "scheme": scope_scheme, "path": "/info", "raw_path": b"/info",
            "query_string": b"a=1&a=2", "headers": [(k.encode(), v.encode()) for k, v in asgi_headers],
            "client": ("10.1.2.3", 4000), "server": ("127.0.0.1", 8000),
        }
        await app(scope, receive, send)
        return b"".join(m.get("body", b"") for m in sent[1:])

    asgi_body = asyncio.run(run())
    protocol = rsgi(app, "GET", "/info", "a=1&a=2", asgi_headers, client="10.1.2.3:4000", **rsgi_args)
    assert protocol.body == asgi_body
    assert b'"client_ip":"10.1.2.3"' in asgi_body


def test_errors_hide_details_by_default_and_show_them_on_request(caplog):
    quiet = hello_app()
    with caplog.at_level(logging.INFO, "velmora.server"):
        asgi_side, rsgi_side = both(quiet, "GET", "/boom")
    assert asgi_side == rsgi_side == (500, "text/plain; charset=utf-8", b"Internal Server Error")
    assert any(r.levelno == logging.ERROR and r.exc_info for r in caplog.records)
    loud = hello_app(show_error_details=True)
    status, headers, body, _ = asgi(loud, "GET", "/boom")
    assert (status, headers["content-type"]) == (500, "text/html; charset=utf-8")
    assert b"RuntimeError: secret &lt;detail&gt;" in body and b"Traceback" in body and b"<detail>" not in body
    assert b"RuntimeError: secret &lt;detail&gt;" in rsgi(loud, "GET", "/boom").body


def test_error_page_renderer_never_raises():
    handler = Application().server_error_details_handler

    class Hostile(Exception):
        def __str__(self):
            raise ValueError("no text")

    for request, exc in [(None, RuntimeError("x")), (object(), None), (None, Hostile())]:
        response = handler.produce_response(request, exc)
        assert response.status == 500


def test_lifespan_runs_hooks_and_reports_failure():
    app = Application()
    calls = []

    async def first(application):
        calls.append(("start", application is app))

    async def last(application):
        calls.append(("stop", application is app))

    app.on_startup.append(first)
    app.on_shutdown.append(last)

    async def lifespan(application, inbox):
        sent = []

        async def receive():
            return inbox.pop(0)

        async def send(message):
            sent.append(message["type"])

        await application({"type": "lifespan"}, receive, send)
        return sent

    inbox = [{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}]
    assert asyncio.run(lifespan(app, inbox)) == ["lifespan.startup.complete", "lifespan.shutdown.complete"]
    assert calls == [("start", True), ("stop", True)]

    failing = Application()

    async def broken(application):
        raise OSError("database down")

    failing.on_startup.append(broken)
    assert asyncio.run(lifespan(failing, [{"type": "lifespan.startup"}])) == ["lifespan.startup.failed"]


def test_rsgi_init_and_del_run_the_hooks():
    app = Application()
    calls = []

    async def on_start(application):
        calls.append("start")

    async def on_stop(application):
        calls.append("stop")

    app.on_startup.append(on_start)
    app.on_shutdown.append(on_stop)
    loop = asyncio.new_event_loop()
    try:
        app.__rsgi_init__(loop)
        app.__rsgi_init__(loop)  # once only
        app.__rsgi_del__(loop)
    finally:
        loop.close()
    assert calls == ["start", "stop"]


def test_websockets_are_refused_cleanly():
    app = Application()
    sent = []
    inbox = [{"type": "websocket.connect"}]

    async def receive():
        return inbox.pop(0)

    async def send(message):
        sent.append(message)

    asyncio.run(app({"type": "websocket", "path": "/"}, receive, send))
    assert sent == [{"type": "websocket.close", "code": 1000}]
    scope = Scope()
    scope.proto = "ws"
    protocol = Protocol()
    asyncio.run(app.__rsgi__(scope, protocol))
    assert protocol.closed is None and protocol.call is None


@pytest.mark.parametrize(
    "change",
    [
        {"method": None},
        {"method": 42},
        {"path": 3.5, "raw_path": None},
        {"query_string": None},
        {"headers": [[b"host", b"x"]]},
        {"headers": [(b"host",)]},
        {"headers": "host: x"},
    ],
)
def test_malformed_scopes_get_an_answer(change):
    app = hello_app()
    scope = {"type": "http", "method": "GET", "path": "/users/1", "raw_path": b"/users/1", "query_string": b"",
             "headers": [], "scheme": "http"}
    scope.update(change)
    sent = []

    async def receive():
        return {"type": "http.request", "body": b""}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope, receive, send))
    assert sent[0]["type"] == "http.response.start"
    assert sent[0]["status"] in (200, 400, 404, 500)
    assert sent[-1].get("more_body", False) is False


def test_objects_return_to_their_pools():
    app = hello_app()
    asgi(app, "GET", "/")  # fill the pools once
    requests, responses = len(REQ_FREELIST), len(RESP_FREELIST)
    for path in ["/", "/users/3", "/boom", "/nowhere"]:
        asgi(app, "GET", path)
        rsgi(app, "GET", path)
    # every request comes back; responses built outside the pool join it
    assert len(REQ_FREELIST) == requests
    assert len(RESP_FREELIST) >= responses


def test_a_client_leaving_stops_an_endless_stream():
    app = Application()
    state = {"sent": 0, "closed": False}

    @app.router.get("/forever")
    async def forever(request):
        async def parts():
            try:
                while True:
                    await asyncio.sleep(0)
                    yield b"tick"
            finally:
                state["closed"] = True

        return stream(parts, "text/plain")

    async def run():
        delivered = asyncio.Event()
        messages = [{"type": "http.request", "body": b"", "more_body": False}]

        async def receive():
            if messages:
                return messages.pop()
            await delivered.wait()
            return {"type": "http.disconnect"}

        async def send(message):
            state["sent"] += 1
            if state["sent"] == 5:
                delivered.set()

        requests = len(REQ_FREELIST)
        await asyncio.wait_for(app(dict(type="http", method="GET", path="/forever", raw_path=b"/forever",
                                        query_string=b"", headers=[]), receive, send), 5)
        return len(REQ_FREELIST) - requests

    assert asyncio.run(run()) == 0  # the request went back to its pool
    assert state["closed"] and state["sent"] < 50


def test_logging_reaches_the_user_unless_configured(monkeypatch):
    root = logging.getLogger()
    logger = logging.getLogger("velmora.server")
    monkeypatch.setattr(root, "handlers", [])
    monkeypatch.setattr(logger, "handlers", [])
    app = Application()
    asyncio.run(app.start())
    assert len(logger.handlers) == 1
    monkeypatch.setattr(logger, "handlers", [])
    monkeypatch.setattr(root, "handlers", [logging.NullHandler()])
    asyncio.run(Application().start())
    assert logger.handlers == []


def test_a_client_leaving_mid_body_is_no_server_error(caplog):
    app = Application()

    @app.router.post("/echo")
    async def echo(request):
        return json(await request.json())

    messages = [
        {"type": "http.request", "body": b'{"a":', "more_body": True},
        {"type": "http.disconnect"},
    ]

    async def receive():
        return messages.pop(0)

    with caplog.at_level(logging.INFO, "velmora.server"):
        status = asgi(app, "POST", "/echo", headers=[("content-type", "application/json")], receive=receive)[0]
    assert status == 400
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]


def test_header_values_with_line_breaks_never_reach_the_wire():
    app = Application()

    @app.router.get("/")
    async def home(request):
        response = text("x")
        response.add_header(b"x-injected", b"a\r\nSet-Cookie: stolen=1")
        return response

    requests = len(REQ_FREELIST)
    sent = []

    async def send(message):
        sent.append(message)

    async def receive():
        return {"type": "http.disconnect"}

    scope = {"type": "http", "method": "GET", "path": "/", "raw_path": b"/", "query_string": b"", "headers": []}
    with pytest.raises(ValueError):  # the server answers 500
        asyncio.run(app(scope, receive, send))
    assert sent == []
    with pytest.raises(ValueError):
        rsgi(app, "GET", "/")
    assert len(REQ_FREELIST) == requests


def test_many_requests_leave_nothing_behind():
    import gc

    app = hello_app()
    probes = [("GET", "/"), ("GET", "/users/5"), ("GET", "/boom"), ("GET", "/nowhere"), ("POST", "/"), ("HEAD", "/")]

    async def run(rounds):
        for _ in range(rounds):
            for method, path in probes:
                await asgi_exchange(app, method, path)
                protocol = Protocol()
                await app.__rsgi__(Scope(method, path), protocol)

    for _ in range(600):  # a full pool does not grow any more
        release_response(Response(200))
    logging.getLogger("velmora.server").disabled = True
    try:
        asyncio.run(run(20))
        gc.collect()
        before = len(gc.get_objects())
        asyncio.run(run(200))
        gc.collect()
        grown = len(gc.get_objects()) - before
    finally:
        logging.getLogger("velmora.server").disabled = False
    assert grown < 200, grown
