"""KeystoneApplication.handle against the same logic written in Python.

Three outcomes of one matched route: a synchronous handler returning a
Response, an asynchronous one (its coroutine driven to the end), and a
handler raising NotFound (answered through the exception chain, logged at
INFO into a logger without handlers).  The Python side is a subclass whose
`handle` is a plain Python function of the same steps; both share the
coroutine chain.

    python bench/bench_keystone.py [--scale F] [--rounds N] [--only NAME]
"""

from __future__ import annotations

import inspect
import sys
import types
from pathlib import Path

from velmora.exceptions import NotFound
from velmora.keystone import KeystoneApplication
from velmora.messages import Request, Response

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Bench  # noqa: E402

_isawaitable = inspect.isawaitable
_CoroutineType = types.CoroutineType


class PythonApplication(KeystoneApplication):
    def handle(self, request):
        match = self.router.get_match(request)
        if not match:
            return Response(404)
        request.route_values = match.values
        try:
            result = match.handler(request)
        except Exception as exc:
            return self.handle_request_handler_exception(request, exc)
        if isinstance(result, Response):
            return result
        if result is None:
            return Response(204)
        if type(result) is _CoroutineType or _isawaitable(result):
            return self._handle_coro(request, result)
        return result


class Match:
    __slots__ = ("handler", "values")

    def __init__(self, handler):
        self.handler = handler
        self.values = {"id": "42"}


class Router:
    __slots__ = ("match",)

    def __init__(self, handler):
        self.match = Match(handler)

    def get_match(self, request):
        return self.match


RESPONSE = Response(200)


def sync_handler(request):
    return RESPONSE


async def async_handler(request):
    return RESPONSE


def not_found(request):
    raise NotFound()


def drive(result):
    """The response of handle(): awaitables run to their end here."""
    if type(result) is _CoroutineType:
        try:
            result.send(None)
        except StopIteration as stop:
            return stop.value
        raise RuntimeError("the chain suspended")
    return result


def main() -> None:
    bench = Bench("KeystoneApplication.handle", number=100_000)
    request = Request.incoming("GET", b"/articles/42", b"", [])
    for name, handler in [("sync Response", sync_handler), ("async Response", async_handler),
                          ("raises NotFound", not_found)]:
        ns = {
            "request": request,
            "drive": drive,
            "native": KeystoneApplication(False, Router(handler)),
            "python": PythonApplication(False, Router(handler)),
        }
        assert drive(ns["native"].handle(request)).status == drive(ns["python"].handle(request)).status
        bench.case(name, {"velmora": "drive(native.handle(request))", "python": "drive(python.handle(request))"}, ns)
    bench.run()


if __name__ == "__main__":
    main()
