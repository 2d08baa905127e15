"""Whole requests through the application, in process, against peers.

Each candidate answers the same scenarios; a request is one call of the
application with a prepared scope and a `receive` and `send` that complete at
once (RSGI: a protocol object that only records the call).  Rounds are
interleaved, the best round counts; time is the CPU time of the thread, so
other processes on the machine count as little as they can.  Printed: microseconds per request and
the overhead above a bare ASGI application that sends a fixed answer.

    python bench/bench_app.py [--scale 0.2] [--rounds 5] [--only json]
"""

from __future__ import annotations

import asyncio
import gc
import logging
import os
import sys
import time
from typing import Any, Callable

sys.path.insert(0, os.path.dirname(__file__))
from harness import _parse_args  # noqa: E402

logging.disable(logging.CRITICAL)

try:  # FastAPI resolves the handlers' (string) annotations in this module
    from starlette.requests import Request as StarletteRequest
except ImportError:  # pragma: no cover
    StarletteRequest = None  # type: ignore[assignment,misc]

N_ROUTES = 100
BODY_1K = b'{"items":[' + b",".join(b'{"id":%d,"name":"item-%03d"}' % (i, i) for i in range(38)) + b"]}"
assert 1000 <= len(BODY_1K) <= 1100, len(BODY_1K)

# ---------------------------------------------------------------- scenarios

SCENARIOS: dict[str, dict[str, Any]] = {
    "plaintext": {"method": "GET", "path": "/plaintext"},
    "json": {"method": "GET", "path": "/json"},
    "param/100": {"method": "GET", "path": "/r57/12345"},
    "query+cookie": {"method": "GET", "path": "/query", "query": b"a=1&b=two&c=3", "cookie": b"theme=dark; session=abc123"},
    "post-json-1k": {"method": "POST", "path": "/echo", "body": BODY_1K},
    "404": {"method": "GET", "path": "/does/not/exist"},
    "500": {"method": "GET", "path": "/error"},
    # two middlewares and a CORS policy (a separate application: the others keep none)
    "mw+cors": {"method": "GET", "path": "/cors", "origin": b"https://app.example"},
}
# candidates that answer only some scenarios
ONLY_IN = {"velmora-mw": ("mw+cors",)}


def asgi_scope(s: dict[str, Any]) -> dict[str, Any]:
    headers = [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench/1.0"), (b"accept", b"*/*")]
    if "cookie" in s:
        headers.append((b"cookie", s["cookie"]))
    if "origin" in s:
        headers.append((b"origin", s["origin"]))
    if "body" in s:
        headers += [(b"content-type", b"application/json"), (b"content-length", str(len(s["body"])).encode())]
    return {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.3"},
        "http_version": "1.1",
        "server": ("127.0.0.1", 8000),
        "client": ("127.0.0.1", 50000),
        "scheme": "http",
        "method": s["method"],
        "root_path": "",
        "path": s["path"],
        "raw_path": s["path"].encode(),
        "query_string": s.get("query", b""),
        "headers": headers,
        "state": {},
    }


class RSGIScope:
    proto = "http"
    http_version = "1.1"
    rsgi_version = "1.5"
    server = "127.0.0.1:8000"
    client = "127.0.0.1:50000"
    scheme = "http"
    authority = None

    def __init__(self, s: dict[str, Any]) -> None:
        self.method = s["method"]
        self.path = s["path"]
        self.query_string = s.get("query", b"").decode()
        self.headers = {k.decode(): v.decode() for k, v in asgi_scope(s)["headers"]}


class RSGIProtocol:
    def __init__(self, body: bytes) -> None:
        self.body = body

    async def __call__(self) -> bytes:
        return self.body

    def __aiter__(self) -> Any:
        return self._chunks()

    async def _chunks(self) -> Any:
        yield self.body

    def response_empty(self, status: int, headers: Any) -> None:
        pass

    def response_bytes(self, status: int, headers: Any, body: bytes) -> None:
        pass

    def response_str(self, status: int, headers: Any, body: str) -> None:
        pass


# --------------------------------------------------------------- candidates


def bare_app() -> Any:
    async def app(scope: Any, receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"Hello, World!"})

    return app


def velmora_app() -> Any:
    from velmora import Application, json, text

    app = Application()
    r = app.router

    @r.get("/plaintext")
    async def plaintext(request: Any) -> Any:
        return text("Hello, World!")

    @r.get("/json")
    async def json_view(request: Any) -> Any:
        return json({"message": "Hello, World!"})

    for i in range(N_ROUTES):

        async def param(request: Any) -> Any:
            return text(request.route_values["id"])

        r.add_route("GET", f"/r{i}/{{id:int}}", param)

    @r.get("/query")
    async def query(request: Any) -> Any:
        return text(request.get_query_param("a") + request.get_query_param("b") + request.cookies["session"])

    @r.post("/echo")
    async def echo(request: Any) -> Any:
        return json(await request.json())

    @r.get("/error")
    async def error(request: Any) -> Any:
        raise RuntimeError("boom")

    return app


def velmora_mw_app() -> Any:
    """Two pass-through middlewares and a CORS policy around one route."""
    from velmora import Application, text

    app = Application()

    @app.router.get("/cors")
    async def cors(request: Any) -> Any:
        return text("Hello, World!")

    @app.middleware
    async def first(request: Any, handler: Any) -> Any:
        return await handler(request)

    @app.middleware
    async def second(request: Any, handler: Any) -> Any:
        response = await handler(request)
        response.add_header(b"x-second", b"1")
        return response

    app.use_cors(allow_origins=["https://app.example"])
    asyncio.run(app.start())
    return app


def starlette_app(fastapi: bool = False) -> Any:
    from starlette.requests import Request
    from starlette.responses import JSONResponse, PlainTextResponse
    from starlette.routing import Route

    async def plaintext(request: Request) -> Any:
        return PlainTextResponse("Hello, World!")

    async def json_view(request: Request) -> Any:
        return JSONResponse({"message": "Hello, World!"})

    async def param(request: Request) -> Any:
        return PlainTextResponse(str(request.path_params["id"]))

    async def query(request: Request) -> Any:
        q = request.query_params
        return PlainTextResponse(q["a"] + q["b"] + request.cookies["session"])

    async def echo(request: Request) -> Any:
        return JSONResponse(await request.json())

    async def error(request: Request) -> Any:
        raise RuntimeError("boom")

    if fastapi:
        from fastapi import FastAPI
        from fastapi.responses import PlainTextResponse as FPlain

        app = FastAPI()
        @app.get("/plaintext", response_class=FPlain)
        async def fplain() -> Any:
            return "Hello, World!"

        @app.get("/json")
        async def fjson() -> Any:
            return {"message": "Hello, World!"}

        for i in range(N_ROUTES):

            async def fparam(id: int) -> Any:
                return FPlain(str(id))

            app.get(f"/r{i}/{{id}}")(fparam)

        @app.get("/query")
        async def fquery(request: StarletteRequest, a: str, b: str) -> Any:
            return FPlain(a + b + request.cookies["session"])

        @app.post("/echo")
        async def fecho(request: StarletteRequest) -> Any:
            return JSONResponse(await request.json())

        @app.get("/error")
        async def ferror() -> Any:
            raise RuntimeError("boom")

        return app

    from starlette.applications import Starlette

    routes = [Route("/plaintext", plaintext), Route("/json", json_view)]
    routes += [Route(f"/r{i}/{{id:int}}", param) for i in range(N_ROUTES)]
    routes += [Route("/query", query), Route("/echo", echo, methods=["POST"]), Route("/error", error)]
    return Starlette(routes=routes)


def falcon_app() -> Any:
    import falcon
    import falcon.asgi

    class Plain:
        async def on_get(self, req: Any, resp: Any) -> None:
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = "Hello, World!"

    class Json:
        async def on_get(self, req: Any, resp: Any) -> None:
            resp.media = {"message": "Hello, World!"}

    class Param:
        async def on_get(self, req: Any, resp: Any, id: int) -> None:
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = str(id)

    class Query:
        async def on_get(self, req: Any, resp: Any) -> None:
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = req.get_param("a") + req.get_param("b") + req.cookies["session"]

    class Echo:
        async def on_post(self, req: Any, resp: Any) -> None:
            resp.media = await req.get_media()

    class Error:
        async def on_get(self, req: Any, resp: Any) -> None:
            raise RuntimeError("boom")

    app = falcon.asgi.App()
    app.add_route("/plaintext", Plain())
    app.add_route("/json", Json())
    param = Param()
    for i in range(N_ROUTES):
        app.add_route(f"/r{i}/{{id:int}}", param)
    app.add_route("/query", Query())
    app.add_route("/echo", Echo())
    app.add_route("/error", Error())
    return app


def litestar_app() -> Any:
    from litestar import Litestar, MediaType, Request, get, post

    @get("/plaintext", media_type=MediaType.TEXT)
    async def plaintext() -> str:
        return "Hello, World!"

    @get("/json")
    async def json_view() -> dict:
        return {"message": "Hello, World!"}

    handlers = [plaintext, json_view]
    for i in range(N_ROUTES):

        @get(f"/r{i}/{{id:int}}", media_type=MediaType.TEXT, name=f"r{i}")
        async def param(id: int) -> str:
            return str(id)

        handlers.append(param)

    @get("/query", media_type=MediaType.TEXT)
    async def query(request: Request, a: str, b: str) -> str:
        return a + b + request.cookies["session"]

    @post("/echo", status_code=200)
    async def echo(request: Request) -> Any:
        return await request.json()

    @get("/error")
    async def error() -> None:
        raise RuntimeError("boom")

    return Litestar(route_handlers=handlers + [query, echo, error], debug=False, logging_config=None)


# ------------------------------------------------------------------ running


def asgi_runner(app: Any, scenario: dict[str, Any]) -> Callable[[int], Any]:
    template = asgi_scope(scenario)
    body = scenario.get("body", b"")
    message = {"type": "http.request", "body": body, "more_body": False}

    async def receive() -> dict:
        return message

    async def send(message: dict) -> None:
        pass

    async def run(n: int) -> None:
        for _ in range(n):
            try:
                await app(dict(template), receive, send)
            except Exception:  # peers re-raise the 500 after answering
                pass

    return run


def rsgi_runner(app: Any, scenario: dict[str, Any]) -> Callable[[int], Any]:
    scope = RSGIScope(scenario)
    body = scenario.get("body", b"")

    async def run(n: int) -> None:
        rsgi = app.__rsgi__
        for _ in range(n):
            await rsgi(scope, RSGIProtocol(body))

    return run


def check(app: Any, scenario: dict[str, Any], name: str) -> bool:
    """Whether the candidate answers the scenario as expected (else skipped)."""
    sent: list[dict] = []
    message = {"type": "http.request", "body": scenario.get("body", b""), "more_body": False}

    async def receive() -> dict:
        return message

    async def send(m: dict) -> None:
        sent.append(m)

    async def once() -> None:
        try:
            await app(asgi_scope(scenario), receive, send)
        except Exception:
            pass

    asyncio.run(once())
    status = sent[0]["status"] if sent else None
    expected = {"404": 404, "500": 500}.get(name, 200)
    if name == "bare":
        return True
    return status == expected


def main() -> None:
    args = _parse_args()
    number = max(50, int(3000 * args.scale))
    rounds = args.rounds or 5
    builders = {
        "bare": bare_app,
        "velmora": velmora_app,
        "velmora-mw": velmora_mw_app,
        "starlette": starlette_app,
        "fastapi": lambda: starlette_app(fastapi=True),
        "falcon": falcon_app,
        "litestar": litestar_app,
    }
    apps = {}
    for name, build in builders.items():
        try:
            apps[name] = build()
        except ImportError as exc:
            print(f"  ({name} skipped: {exc})")
    loop = asyncio.new_event_loop()
    best: dict[str, dict[str, float]] = {}
    runners: dict[str, dict[str, Callable[[int], Any]]] = {}
    for sname, scenario in SCENARIOS.items():
        if args.only and args.only not in sname:
            continue
        runners[sname] = {}
        for name, app in apps.items():
            if sname not in ONLY_IN.get(name, (sname,)):
                continue
            if name != "bare" and not check(app, scenario, sname):
                print(f"  ({name} skipped in {sname}: unexpected answer)")
                continue
            runners[sname][name] = asgi_runner(app, scenario)
            if name in ("velmora", "velmora-mw"):
                runners[sname][f"{name}-rsgi"] = rsgi_runner(app, scenario)
    gc.disable()
    try:
        for _ in range(rounds):
            for sname, candidates in runners.items():
                for name, run in candidates.items():
                    start = time.thread_time()
                    loop.run_until_complete(run(number))
                    cost = (time.thread_time() - start) / number
                    row = best.setdefault(sname, {})
                    row[name] = min(row.get(name, float("inf")), cost)
                    gc.collect()
    finally:
        gc.enable()
        loop.close()

    print(f"\n== whole requests, in process ==  (python {sys.version.split()[0]}, {number} requests x {rounds} rounds)")
    print("  us per request; in brackets the overhead above the bare ASGI app")
    for sname, row in best.items():
        floor = row["bare"]
        cells = [f"bare {floor * 1e6:6.2f}"]
        for name, cost in row.items():
            if name != "bare":
                cells.append(f"{name} {cost * 1e6:6.2f} [{(cost - floor) * 1e6:6.2f}]")
        print(f"  {sname:<13} " + " | ".join(cells))
        peers = [row[n] - floor for n in row if n != "bare" and not n.startswith("velmora")]
        if peers and "velmora" in row:
            fastest = min(peers)
            ratio = (row["velmora"] - floor) / fastest
            rsgi = (row["velmora-rsgi"] - floor) / fastest
            verdict = "ok" if max(ratio, rsgi) <= 1 / 3 else "above a third"
            print(f"  {'':<13} velmora overhead / fastest peer's: asgi {ratio:.2f}, rsgi {rsgi:.2f} ({verdict})")


if __name__ == "__main__":
    main()
