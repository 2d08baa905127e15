"""KeystoneApplication: what handle() makes of every kind of handler outcome,
the exception chain, which handler answers an exception, and the fields."""

from __future__ import annotations

import asyncio
import gc
import inspect
import weakref
from typing import Any

import pytest

import velmora._keystone_consumer as consumer
from velmora.exceptions import BadRequest, HTTPException, NotFound
from velmora.keystone import ExceptionHandlersDict, KeystoneApplication
from velmora.messages import Request, Response

# Shared with test_keystone_handlers: a stub router, requests, and a way to
# drive what handle() returns to its response.


class Match:
    def __init__(self, handler: Any, values: Any = None) -> None:
        self.handler = handler
        self.values = {} if values is None else values


class Router:
    def __init__(self, match: Any = None) -> None:
        self.match = match

    def get_match(self, request: Any) -> Any:
        return self.match


def make_request(path: bytes = b"/items", query: bytes = b"x=1") -> Request:
    return Request.incoming("GET", path, query, [])


def app_for(handler: Any, cls: type = KeystoneApplication, show_error_details: bool = False) -> Any:
    return cls(show_error_details, Router(Match(handler, {"id": "7"})))


def resolve(result: Any) -> Any:
    """The response behind what handle() returned."""
    if not inspect.isawaitable(result):
        return result

    async def wait() -> Any:
        return await result

    return asyncio.run(wait())


def serve(app: Any, request: Request | None = None) -> Any:
    return resolve(app.handle(make_request() if request is None else request))


def body(response: Any) -> bytes:
    return response.content.body


class Falsy:
    def __bool__(self):
        return False


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


class Awaitable:
    def __init__(self, value):
        self.value = value

    def __await__(self):
        return self.value
        yield


class MyResponse(Response):
    pass


async def teapot(app, request, exc):
    return Response(418)


# ------------------------------------------------------------ routing outcomes


@pytest.mark.parametrize("match", [None, Falsy()])
def test_no_route_is_404_without_content_and_without_handlers(match):
    app = KeystoneApplication(False, Router(match))
    app.exceptions_handlers[404] = teapot
    response = app.handle(make_request())
    assert type(response) is Response and response.status == 404
    assert response.content is None and list(response.headers) == []


def ok(request):
    return Response(200)


async def aok(request):
    return Response(201)


@pytest.mark.parametrize(
    ("handler", "status"),
    [(lambda r: None, 204), (ok, 200), (aok, 201), (lambda r: MyResponse(202), 202), (lambda r: Awaitable(None), 204),
     (lambda r: Awaitable(Response(203)), 203)],
)
def test_handler_results_become_responses(handler, status):
    assert serve(app_for(handler)).status == status


async def anone(request):
    return None


def test_async_none_is_204_and_route_values_are_stored():
    request = make_request()
    assert serve(app_for(anone), request).status == 204
    assert request.route_values == {"id": "7"}


@pytest.mark.parametrize("value", ["text", {"a": 1}, 5, BadBool()])
def test_other_sync_results_are_returned_unchanged(value):
    assert app_for(lambda r: value).handle(make_request()) is value


@pytest.mark.parametrize("value", ["text", {"a": 1}, BadBool()])
def test_wrong_awaited_results_are_answered_as_unhandled_errors(value, caplog):
    async def handler(request):
        return value

    async def coroutine_of(request):
        return value

    for h in (handler, lambda r: coroutine_of(r)):
        response = serve(app_for(h))
        assert response.status == 500 and body(response) == b"Internal Server Error"
    assert [r.msg for r in caplog.records] == ['Unhandled exception - "%s %s"'] * 2
    assert isinstance(caplog.records[0].exc_info[1], TypeError)


def test_a_raising_handler_gives_a_coroutine():
    def handler(request):
        raise NotFound()

    result = app_for(handler).handle(make_request())
    assert asyncio.iscoroutine(result)
    response = resolve(result)
    assert (response.status, body(response)) == (404, b"Resource not found")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, asyncio.CancelledError, SystemExit])
def test_base_exceptions_propagate(exc):
    def sync(request):
        raise exc()

    async def async_(request):
        raise exc()

    async def failing_handler(app, request, error):
        raise exc()

    with pytest.raises(exc):
        app_for(sync).handle(make_request())
    with pytest.raises(exc):
        serve(app_for(async_))
    app = app_for(lambda r: 1 / 0)
    app.exceptions_handlers[ZeroDivisionError] = failing_handler
    with pytest.raises(exc):
        serve(app)


def test_router_and_argument_failures_propagate():
    class Broken:
        def get_match(self, request):
            raise LookupError("router")

    with pytest.raises(LookupError):
        KeystoneApplication(False, Broken()).handle(make_request())
    with pytest.raises(TypeError, match="Argument 'request' has incorrect type"):
        app_for(ok).handle("GET /")
    with pytest.raises(RuntimeError):
        KeystoneApplication(False, Router(BadBool())).handle(make_request())


def test_a_missing_handler_attribute_is_a_handled_path():
    app = KeystoneApplication(False, Router(type("M", (), {"values": {}})()))
    assert resolve(app.handle(make_request())).status == 500


# ------------------------------------------------------------ resolution order


async def key_handler(app, request, exc):
    return Response(461)


async def exception_handler(app, request, exc):
    return Response(462)


@pytest.mark.parametrize(
    ("raised", "status"),
    [((KeyError, "k"), 461), ((ValueError, "v"), 462), ((NotFound,), 404), ((HTTPException, 409), 471),
     ((HTTPException, 418), 418), ((BadRequest, "x"), 472), ((HTTPException, 499), 499)],
)
def test_resolution_order(raised, status):
    def handler(request):
        raise raised[0](*raised[1:])

    async def by_status(app, request, exc):
        return Response(471)

    async def by_class(app, request, exc):
        return Response(472)

    app = app_for(handler)
    handlers = app.exceptions_handlers
    handlers.update({KeyError: key_handler, Exception: exception_handler, HTTPException: exception_handler,
                     BaseException: exception_handler, 409: by_status, BadRequest: by_class, 400: by_status})
    assert serve(app).status == status


def test_common_handler_phrase_and_registered_class_beats_status():
    response = serve(app_for(lambda r: (_ for _ in ()).throw(HTTPException(418))))
    assert body(response) == b"I'm a Teapot"
    app = app_for(lambda r: (_ for _ in ()).throw(NotFound()))
    app.exceptions_handlers[NotFound] = teapot
    assert serve(app).status == 418


class PlainMap:
    """Supports exactly `in`, indexing and get()."""

    def __init__(self, items):
        self.items = items

    def __contains__(self, key):
        return key in self.items

    def __getitem__(self, key):
        return self.items[key]

    def get(self, key, default):
        return self.items.get(key, default)


@pytest.mark.parametrize("kind", [dict, PlainMap])
def test_replaced_maps(kind):
    app = app_for(lambda r: (_ for _ in ()).throw(KeyError("k")))
    app.exceptions_handlers = kind({KeyError: key_handler})
    assert serve(app).status == 461
    app = app_for(lambda r: (_ for _ in ()).throw(NotFound()))
    app.exceptions_handlers = kind({404: teapot})
    assert serve(app).status == 418


class NoGet:
    def __contains__(self, key):
        return False


@pytest.mark.parametrize(("replacement", "error"), [(None, TypeError), (object(), TypeError), (NoGet(), AttributeError)])
def test_unusable_maps_raise_clear_errors(replacement, error):
    app = app_for(lambda r: (_ for _ in ()).throw(NotFound()))
    app.exceptions_handlers = replacement
    with pytest.raises(error):
        serve(app)


def test_native_lookups_through_the_table():
    app = app_for(ok)
    app.exceptions_handlers[LookupError] = key_handler
    assert consumer.call("get_exception_handler", app, KeyError(), None) is key_handler
    assert consumer.call("get_exception_handler", app, KeyError(), LookupError) is None
    assert consumer.call("get_exception_handler", app, None, None) is None
    assert consumer.call("is_handled_exception", app, KeyError()) is True
    assert consumer.call("is_handled_exception", app, ValueError()) is False
    for name, args in [("is_handled_exception", ("x",)), ("get_exception_handler", (1, None)),
                       ("get_exception_handler", (KeyError(), 5)), ("get_http_exception_handler", (KeyError(),))]:
        with pytest.raises(TypeError, match="has incorrect type"):
            consumer.call(name, app, *args)
    handler = consumer.call("get_http_exception_handler", app, HTTPException(418))
    assert handler.__name__ == "common_http_exception_handler"


def test_overrides_are_honoured_by_native_callers_and_the_chain():
    calls = []

    class App(KeystoneApplication):
        def handle(self, request):
            calls.append("handle")
            return Response(299)

        def get_http_exception_handler(self, http_exception):
            calls.append("lookup")
            return teapot

        async def log_handled_exc(self, request, exc):
            calls.append("log")

    app = app_for(lambda r: (_ for _ in ()).throw(NotFound()), App)
    assert consumer.call("handle", app, make_request()).status == 299
    assert consumer.call("get_http_exception_handler", app, NotFound()) is teapot
    assert resolve(KeystoneApplication.handle(app, make_request())).status == 418
    assert calls == ["handle", "lookup", "log", "lookup"]


# ------------------------------------------------------------ fields


def test_fields_and_construction():
    router = Router()
    app = KeystoneApplication(1, router)
    assert consumer.fields(app) == (1, router, app.logger, app.exceptions_handlers)
    assert app.show_error_details is True and app.router is router
    assert type(app.exceptions_handlers) is ExceptionHandlersDict
    app.show_error_details = []
    assert app.show_error_details is False
    for name in ("router", "logger"):
        with pytest.raises(AttributeError):
            setattr(app, name, None)
    del app.exceptions_handlers
    assert app.exceptions_handlers is None
    with pytest.raises(RuntimeError):
        KeystoneApplication(BadBool(), router)
    with pytest.raises(TypeError):
        KeystoneApplication(True)


def test_init_order_and_init_override():
    seen = []

    class App(KeystoneApplication):
        def init_exceptions_handlers(self):
            seen.append((self.router, self.show_error_details, self.logger))
            return {"mine": 1}

    router = Router()
    app = App(True, router)
    assert seen == [(router, False, None)]
    assert app.exceptions_handlers == {"mine": 1} and app.show_error_details is True


def test_cycles_and_weak_references_are_collected():
    app = KeystoneApplication(False, Router())
    app.router.match = Match(app)
    ref = weakref.ref(app)
    del app
    gc.collect()
    assert ref() is None
