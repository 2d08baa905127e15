"""Middleware: async callables `middleware(request, handler)` that run around
every request handler and return the response.

    @app.middleware
    async def timing(request, handler):
        started = time.perf_counter()
        response = await handler(request)
        response.add_header(b"x-time", str(time.perf_counter() - started).encode())
        return response

The chain is composed once per route when the application starts: every
route handler (and the router's 404 and 405 answers) is replaced by the
handler wrapped in the middlewares, first registered outermost.  A request
then walks no list, and an application without middleware runs its handlers
unwrapped.  The composed chain is the handler the application core calls,
so whatever a middleware raises goes through `exceptions_handlers` like an
error raised by a handler.
"""

from __future__ import annotations

import inspect
from collections.abc import Awaitable, Callable, Sequence
from typing import Any

from velmora.messages import Request, Response

__all__ = ["Middleware", "Handler", "compose", "as_async"]

Handler = Callable[[Request], Awaitable[Response]]
Middleware = Callable[[Request, Handler], Awaitable[Response]]


def as_async(handler: Callable[[Request], Any]) -> Handler:
    """The handler as a coroutine function giving a response (None becomes
    204, an awaitable result is awaited)."""
    if inspect.iscoroutinefunction(handler):
        return handler

    async def endpoint(request: Request) -> Any:
        result = handler(request)
        if result is None:
            return Response(204)
        if type(result) is not Response and inspect.isawaitable(result):
            result = await result
        return result

    endpoint.__name__ = getattr(handler, "__name__", "endpoint")
    endpoint.__wrapped__ = handler  # type: ignore[attr-defined]
    return endpoint


def _link(middleware: Middleware, handler: Handler) -> Handler:
    def link(request: Request) -> Awaitable[Response]:
        return middleware(request, handler)

    return link


def compose(middlewares: Sequence[Middleware], handler: Callable[[Request], Any]) -> Callable[[Request], Any]:
    """`handler` wrapped in `middlewares` (the first one outermost); the
    handler itself when there are none."""
    if not middlewares:
        return handler
    composed: Handler = as_async(handler)
    for middleware in reversed(middlewares):
        composed = _link(middleware, composed)
    return composed


def check(middleware: Any) -> Middleware:
    """The middleware, once it is known to be callable."""
    if not callable(middleware):
        raise TypeError(f"a middleware must be callable, got {type(middleware).__name__}")
    return middleware
