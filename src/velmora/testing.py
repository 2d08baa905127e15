"""Test clients that drive an application in process, without a server.

    from velmora.testing import TestClient

    with TestClient(app) as client:          # start-up hooks run here
        assert client.get("/users/1").json() == {"id": 1}
        with client.stream("GET", "/events") as response:
            for line in response.iter_lines(): ...
                                             # shut-down hooks run on exit

`AsyncTestClient` is the same for `async with`.  Both are httpx clients
(cookies are kept between calls) over a transport that runs the ASGI
application per request and hands the body over as it is sent, so an
endless event stream can be read part by part; closing the response tells
the application that the client left.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Iterator
from typing import Any

import httpx

__all__ = ["TestClient", "AsyncTestClient", "ASGIStreamTransport", "LifespanError"]

BASE_URL = "http://testserver"


class LifespanError(RuntimeError):
    """The application refused to start (or to stop) through the lifespan
    protocol; the message is the one it reported."""


class _Body(httpx.AsyncByteStream):
    def __init__(self, queue: asyncio.Queue[Any], task: asyncio.Task[Any], leave: asyncio.Event) -> None:
        self._queue = queue
        self._task = task
        self._leave = leave

    async def __aiter__(self) -> AsyncIterator[bytes]:
        while True:
            item = await self._queue.get()
            if item is None:
                break
            if isinstance(item, BaseException):
                raise item
            if item:
                yield item

    async def aclose(self) -> None:
        self._leave.set()
        if not self._task.done():
            try:
                await asyncio.wait_for(asyncio.shield(self._task), 1.0)
            except (asyncio.TimeoutError, Exception):
                self._task.cancel()


class ASGIStreamTransport(httpx.AsyncBaseTransport):
    """Runs an ASGI application for each request; the response is returned
    as soon as it starts, its body follows as the application sends it."""

    def __init__(self, app: Any, client: tuple[str, int] = ("127.0.0.1", 50000)) -> None:
        self.app = app
        self.client = client

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        body = await request.aread()
        url = request.url
        scope = {
            "type": "http",
            "asgi": {"version": "3.0", "spec_version": "2.3"},
            "http_version": "1.1",
            "method": request.method,
            "scheme": url.scheme,
            "path": url.path,
            "raw_path": url.raw_path.split(b"?", 1)[0],
            "query_string": url.query,
            "root_path": "",
            "headers": [(name.lower(), value) for name, value in request.headers.raw],
            "client": self.client,
            "server": (url.host, url.port or (443 if url.scheme == "https" else 80)),
        }
        queue: asyncio.Queue[Any] = asyncio.Queue()
        started: asyncio.Future[tuple[int, list[Any]]] = asyncio.get_running_loop().create_future()
        leave = asyncio.Event()
        sent_body = False
        head = request.method == "HEAD"  # servers drop the body of a HEAD answer

        async def receive() -> dict[str, Any]:
            nonlocal sent_body
            if not sent_body:
                sent_body = True
                return {"type": "http.request", "body": body, "more_body": False}
            await leave.wait()
            return {"type": "http.disconnect"}

        async def send(message: dict[str, Any]) -> None:
            kind = message["type"]
            if kind == "http.response.start":
                if not started.done():
                    started.set_result((message["status"], list(message.get("headers", ()))))
            elif kind == "http.response.body":
                if leave.is_set():
                    raise OSError("the client left")
                if not head:
                    queue.put_nowait(bytes(message.get("body", b"")))
                if not message.get("more_body", False):
                    queue.put_nowait(None)

        async def run() -> None:
            try:
                await self.app(scope, receive, send)
            except BaseException as exc:
                if not started.done():
                    started.set_exception(exc)
                else:
                    queue.put_nowait(exc if isinstance(exc, Exception) else RuntimeError(repr(exc)))
                if not isinstance(exc, Exception):
                    raise
            else:
                if not started.done():
                    started.set_exception(RuntimeError("the application sent no response"))
            queue.put_nowait(None)

        task = asyncio.ensure_future(run())
        try:
            status, headers = await started
        except BaseException:
            leave.set()
            await asyncio.gather(task, return_exceptions=True)
            raise
        return httpx.Response(status, headers=headers, stream=_Body(queue, task, leave), request=request)


class _Lifespan:
    """Runs the application's lifespan protocol in a task of its own."""

    def __init__(self, app: Any) -> None:
        self.app = app
        self.inbox: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self.outbox: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self.task: asyncio.Task[Any] | None = None

    async def _run(self) -> None:
        scope = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}, "state": {}}
        try:
            await self.app(scope, self.inbox.get, self.outbox.put)
        except BaseException as exc:
            await self.outbox.put({"type": "lifespan.crashed", "message": repr(exc)})
            if not isinstance(exc, Exception):
                raise

    async def _step(self, event: str) -> None:
        await self.inbox.put({"type": f"lifespan.{event}"})
        answer = await self.outbox.get()
        if answer["type"] != f"lifespan.{event}.complete":
            raise LifespanError(answer.get("message") or answer["type"])

    async def start(self) -> None:
        self.task = asyncio.ensure_future(self._run())
        await self._step("startup")

    async def stop(self) -> None:
        if self.task is None:
            return
        try:
            if not self.task.done():
                await self._step("shutdown")
        finally:
            await asyncio.gather(self.task, return_exceptions=True)
            self.task = None


class AsyncTestClient(httpx.AsyncClient):
    """An httpx.AsyncClient bound to the application; `async with` runs
    its start-up and shut-down."""

    __test__ = False  # not a test class

    def __init__(self, app: Any, base_url: str = BASE_URL, **options: Any) -> None:
        super().__init__(transport=ASGIStreamTransport(app), base_url=base_url, **options)
        self.app = app
        self._lifespan = _Lifespan(app)

    async def __aenter__(self) -> AsyncTestClient:
        await super().__aenter__()
        try:
            await self._lifespan.start()
        except BaseException:
            await self._lifespan.stop()
            await super().__aexit__(None, None, None)
            raise
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        try:
            await self._lifespan.stop()
        finally:
            await super().__aexit__(*exc_info)


class _SyncBody(httpx.SyncByteStream):
    def __init__(self, loop: asyncio.AbstractEventLoop, body: httpx.AsyncByteStream) -> None:
        self._loop = loop
        self._body = body

    def __iter__(self) -> Iterator[bytes]:
        parts = self._body.__aiter__()
        while True:
            try:
                yield self._loop.run_until_complete(parts.__anext__())
            except StopAsyncIteration:
                return

    def close(self) -> None:
        self._loop.run_until_complete(self._body.aclose())


class _SyncTransport(httpx.BaseTransport):
    def __init__(self, loop: asyncio.AbstractEventLoop, transport: ASGIStreamTransport) -> None:
        self._loop = loop
        self._transport = transport

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        request.read()
        request.stream = httpx.ByteStream(request.content)
        response = self._loop.run_until_complete(self._transport.handle_async_request(request))
        body = response.stream
        assert isinstance(body, httpx.AsyncByteStream)
        return httpx.Response(
            response.status_code, headers=response.headers.raw, stream=_SyncBody(self._loop, body), request=request
        )


class TestClient(httpx.Client):
    """A synchronous httpx.Client bound to the application, over an event
    loop of its own (do not use it inside a running loop: use
    `AsyncTestClient` there); `with` runs start-up and shut-down."""

    __test__ = False  # not a test class

    def __init__(self, app: Any, base_url: str = BASE_URL, **options: Any) -> None:
        self._loop = asyncio.new_event_loop()
        super().__init__(transport=_SyncTransport(self._loop, ASGIStreamTransport(app)), base_url=base_url, **options)
        self.app = app
        self._lifespan = _Lifespan(app)

    def __enter__(self) -> TestClient:
        super().__enter__()
        try:
            self._loop.run_until_complete(self._lifespan.start())
        except BaseException:
            self._loop.run_until_complete(self._lifespan.stop())
            self.close()
            raise
        return self

    def __exit__(self, *exc_info: Any) -> None:
        try:
            self._loop.run_until_complete(self._lifespan.stop())
        finally:
            super().__exit__(*exc_info)

    def close(self) -> None:
        super().close()
        if not self._loop.is_closed():
            self._loop.run_until_complete(self._loop.shutdown_asyncgens())
            self._loop.close()
