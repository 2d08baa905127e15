"""The application object: one instance serves ASGI (`__call__`) and RSGI
(`__rsgi__`) servers alike.

    from velmora import Application, text

    app = Application()

    @app.router.get("/")
    async def home(request):
        return text("Hello, World!")
"""

from __future__ import annotations

import asyncio
import html as _html
import inspect
import logging
import sys
import traceback
from collections.abc import Awaitable, Callable
from types import CoroutineType as _Coroutine
from typing import Any

from velmora.contents import ASGIContent, HTMLContent, TextContent
from velmora.exceptions import MessageAborted
from velmora.features import ApplicationFeatures, Lifespan
from velmora.keystone import KeystoneApplication
from velmora.limits import REJECTIONS, asgi_rejection, rsgi_rejection
from velmora.messages import Request, Response, release_request, release_response
from velmora.router import Router
from velmora.scribe import dispatch_rsgi_http, send_asgi_response, set_headers_for_response_content

__all__ = ["Application", "ServerErrorDetailsHandler", "Hook"]

Hook = Callable[["Application"], Awaitable[Any]]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[Any]]

# Methods whose requests get no body reader (as on the RSGI path).
_BODYLESS = frozenset(("GET", "HEAD", "OPTIONS"))
_incoming = Request.incoming
_BODY = "http.response.body"


def _plain_500() -> Response:
    return Response(500, None, TextContent("Internal Server Error"))


class ServerErrorDetailsHandler:
    """Renders the page shown for an internal error while the application's
    `show_error_details` is on: the request, the exception and its traceback."""

    def produce_response(self, request: Any, exc: BaseException | None) -> Response:
        try:
            return Response(500, None, HTMLContent(self.render(request, exc)))
        except Exception:  # never let the error page itself fail
            return _plain_500()

    def render(self, request: Any, exc: BaseException | None) -> str:
        try:
            method = str(request.method)
            url = request.url.value.decode("utf-8", "replace")
        except Exception:
            method, url = "?", "?"
        if exc is None:
            title, trace = "Internal Server Error", ""
        else:
            title = f"{type(exc).__qualname__}: {exc}"
            trace = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        esc = _html.escape
        return (
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Internal Server Error</title>"
            "<style>body{font-family:sans-serif;margin:2em}pre{background:#f4f4f4;padding:1em;"
            "overflow:auto}</style></head><body>\n"
            "<h1>Internal Server Error</h1>\n"
            f"<p><code>{esc(method)} {esc(url)}</code></p>\n"
            f"<h2>{esc(title)}</h2>\n<pre>{esc(trace)}</pre>\n</body></html>\n"
        )


def _configure_logging(logger: logging.Logger) -> None:
    # Errors must be visible: unless logging was set up by the user (or the
    # server), the application's records go to stderr.
    if logger.handlers or logging.getLogger().handlers:
        return
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(levelname)s:     %(name)s: %(message)s"))
    logger.addHandler(handler)


async def _until_disconnect(receive: Receive) -> None:
    while (await receive())["type"] != "http.disconnect":
        pass


async def _client_left(app: Any, request: Request, exc: MessageAborted) -> Response:
    # The client went away before its body arrived: the answer goes nowhere,
    # and a departure is no server error.
    return Response(400, None, TextContent("Bad Request: the request body was not received"))


def _plain_headers(body: bytes) -> list[tuple[bytes, bytes]]:
    return [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"%d" % len(body))]


class Application(KeystoneApplication, ApplicationFeatures):
    """A web application: `router` holds the request handlers,
    `exceptions_handlers` the error handlers (by status or exception class),
    `middlewares` the functions run around every handler, `on_startup` and
    `on_shutdown` the coroutine functions run when the server starts and
    stops (each is called with the application), `lifespan` an async context
    manager factory entered at start-up and left at shut-down, `state` what
    they share with the handlers."""

    router: Router
    on_startup: list[Hook]
    on_shutdown: list[Hook]
    server_error_details_handler: ServerErrorDetailsHandler

    def __init__(
        self, *, show_error_details: bool = False, router: Router | None = None, lifespan: Lifespan | None = None
    ) -> None:
        super().__init__(show_error_details, Router() if router is None else router)
        self._init_features(lifespan)
        self.on_startup = []
        self.on_shutdown = []
        self.server_error_details_handler = ServerErrorDetailsHandler()
        self.started = False
        self.exceptions_handlers[MessageAborted] = _client_left

    # ----------------------------------------------------------- life cycle

    async def start(self) -> None:
        """Composes the middlewares, enters the lifespan context and runs the
        start-up hooks (once); the routes are final from here on."""
        if self.started:
            return
        _configure_logging(self.logger)
        self.compose()
        self.router.freeze()
        await self._enter_lifespan()
        try:
            for hook in self.on_startup:
                await hook(self)
        except BaseException:
            await self._exit_lifespan(*sys.exc_info())
            raise
        self.started = True

    async def stop(self) -> None:
        """Runs the shut-down hooks, then leaves the lifespan context (once,
        after a start)."""
        if not self.started:
            return
        self.started = False
        try:
            for hook in self.on_shutdown:
                await hook(self)
        finally:
            await self._exit_lifespan()

    # ------------------------------------------------------------------ ASGI

    async def __call__(self, scope: dict[str, Any], receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self._other_scope(scope, receive, send)
            return
        if not self._composed:  # served without a lifespan start
            self.compose()
        try:
            path = scope.get("raw_path")
            if path is None:
                path = scope["path"]
            headers = scope.get("headers")
            refused = asgi_rejection(path, headers)
            if refused:
                await self._refuse(refused, send)
                return
            request = _incoming(scope["method"], path, scope.get("query_string", b""), headers, scope)
        except Exception as exc:
            await self._reject_scope(exc, send)
            return
        try:
            if request.method not in _BODYLESS:
                request.content = ASGIContent(receive)
            try:
                response = self.handle(request)
                if type(response) is not Response:
                    if type(response) is _Coroutine:
                        response = await response
                    if not isinstance(response, Response):
                        response = await self._resolve(request, response)
            except Exception:
                self.logger.exception("An error occurred while handling the request")
                response = _plain_500()
            content = response.content
            if content is not None and content.length < 0:  # produced while it is sent
                if not await self._send_stream(request, response, receive, send):
                    return
            else:
                await send_asgi_response(response, send)
            release_response(response)
        finally:
            release_request(request)

    async def _resolve(self, request: Request, result: Any) -> Response:
        if isinstance(result, Response):
            return result
        if inspect.isawaitable(result):
            result = await result
            if isinstance(result, Response):
                return result
        error = TypeError(f"a request handler must return a Response, got {type(result).__name__}")
        response = await self.handle_request_handler_exception(request, error)
        return response if isinstance(response, Response) else _plain_500()

    async def _send_stream(self, request: Request, response: Response, receive: Receive, send: Send) -> bool:
        """Sends a produced body while watching for the client to leave (a
        server drops what is sent to a closed connection, so an endless
        stream would otherwise run for ever).  True when the send completed."""
        if request.method == "HEAD":
            # the server drops the body of a HEAD answer: do not produce it
            set_headers_for_response_content(response)
            await send({"type": "http.response.start", "status": response.status, "headers": response.headers.values})
            await send({"type": _BODY, "body": b"", "more_body": False})
            return True
        content = request.content
        sender = asyncio.ensure_future(send_asgi_response(response, send))
        watcher = asyncio.ensure_future(
            content.wait_disconnect() if isinstance(content, ASGIContent) else _until_disconnect(receive)
        )
        try:
            await asyncio.wait((sender, watcher), return_when=asyncio.FIRST_COMPLETED)
        finally:
            if not sender.done():
                sender.cancel()
            watcher.cancel()
            for task in (sender, watcher):
                try:
                    await task
                except (asyncio.CancelledError, MessageAborted):
                    pass
                except Exception:
                    if task is sender:
                        raise
        return not sender.cancelled()

    async def _reject_scope(self, exc: Exception, send: Send) -> None:
        self.logger.error("Invalid HTTP scope: %r", exc)
        await self._refuse(400, send)

    async def _refuse(self, status: int, send: Send) -> None:
        body = REJECTIONS[status].encode()
        await send({"type": "http.response.start", "status": status, "headers": _plain_headers(body)})
        await send({"type": _BODY, "body": body, "more_body": False})

    async def _other_scope(self, scope: dict[str, Any], receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await self._lifespan(receive, send)
        elif kind == "websocket":
            # WebSocket is not supported: refuse the handshake.
            message = await receive()
            if message["type"] == "websocket.connect":
                await send({"type": "websocket.close", "code": 1000})

    async def _lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            message = await receive()
            kind = message["type"]
            if kind == "lifespan.startup":
                try:
                    await self.start()
                except Exception as exc:
                    self.logger.exception("A start-up hook failed")
                    await send({"type": "lifespan.startup.failed", "message": repr(exc)})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif kind == "lifespan.shutdown":
                try:
                    await self.stop()
                except Exception as exc:
                    self.logger.exception("A shut-down hook failed")
                    await send({"type": "lifespan.shutdown.failed", "message": repr(exc)})
                    return
                await send({"type": "lifespan.shutdown.complete"})
                return

    # ------------------------------------------------------------------ RSGI

    async def __rsgi__(self, scope: Any, protocol: Any) -> None:
        if scope.proto == "http":
            if not self._composed:
                self.compose()
            refused = rsgi_rejection(scope)
            if refused:
                body = REJECTIONS[refused].encode()
                protocol.response_bytes(refused, [(k.decode(), v.decode()) for k, v in _plain_headers(body)], body)
                return
            pending = dispatch_rsgi_http(self, scope, protocol)
            if pending is not None:
                try:
                    await pending
                except Exception as exc:
                    # the client left while the body was being sent: nothing
                    # to report (the server's own exception type)
                    if type(exc).__name__ != "RSGIProtocolClosed":
                        raise
        else:
            # WebSocket is not supported: refuse the handshake.
            close = getattr(protocol, "close", None)
            if close is not None:
                close(None)

    def __rsgi_init__(self, loop: asyncio.AbstractEventLoop) -> None:
        loop.run_until_complete(self.start())

    def __rsgi_del__(self, loop: asyncio.AbstractEventLoop) -> None:
        loop.run_until_complete(self.stop())
