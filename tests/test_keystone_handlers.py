"""The exception-handler registry, the default handlers and their bodies, the
log records of the error paths, and failures inside exception handlers."""

import inspect
import json
import subprocess
import sys

import msgspec
import pydantic
import pytest
from test_keystone import app_for, body, make_request, resolve, serve

import velmora.keystone as keystone
from velmora.exceptions import (
    BadRequest,
    HTTPException,
    InternalServerError,
    InvalidExceptionHandler,
    NotFound,
    UnprocessableEntity,
)
from velmora.keystone import ExceptionHandlersDict, KeystoneApplication, _format_validation_details
from velmora.messages import Response


def raising(exc):
    def handler(request):
        raise exc

    return handler


# ------------------------------------------------------------ registry


async def three(app, request, exc): ...
async def star(*args): ...
async def three_and_rest(app, request, exc, *rest): ...
async def two(app, request): ...
async def four(app, request, exc, extra): ...
def sync(app, request, exc): ...


@pytest.mark.parametrize(("handler", "accepted"), [(three, True), (star, True), (three_and_rest, True), (two, False),
                                                   (four, False), (sync, False), (None, False)])
def test_registry_accepts_coroutine_functions_of_three_parameters(handler, accepted):
    handlers = ExceptionHandlersDict({1: three})
    if accepted:
        handlers[KeyError] = handler
        assert handlers[KeyError] is handler
        return
    with pytest.raises(InvalidExceptionHandler):
        handlers[KeyError] = handler
    with pytest.raises(InvalidExceptionHandler):
        ExceptionHandlersDict({2: three, KeyError: handler})
    assert dict(handlers) == {1: three}


def test_default_map():
    handlers = KeystoneApplication(False, None).exceptions_handlers
    assert list(handlers.items()) == [
        (404, keystone.handle_not_found), (400, keystone.handle_bad_request),
        (422, keystone.handle_unprocessable_entity), (UnprocessableEntity, keystone.handle_unprocessable_entity),
        (pydantic.ValidationError, keystone._default_pydantic_validation_error_handler)]
    assert 500 not in handlers and Exception not in handlers


def test_default_map_follows_the_module_name(monkeypatch):
    monkeypatch.setattr(keystone, "ValidationError", None)
    assert len(KeystoneApplication(False, None).init_exceptions_handlers()) == 4


def test_without_pydantic():
    code = """if True:
        import sys
        sys.modules["pydantic"] = None
        import velmora.keystone as k
        assert k.ValidationError is None
        assert not hasattr(k, "_default_pydantic_validation_error_handler")
        assert len(k.KeystoneApplication(False, None).exceptions_handlers) == 4
    """
    subprocess.run([sys.executable, "-c", code], check=True)


HANDLERS = ["handle_not_found", "handle_bad_request", "handle_unprocessable_entity", "common_http_exception_handler",
            "handle_internal_server_error", "_default_pydantic_validation_error_handler"]
METHODS = {"_handle_coro": "request coro", "handle_request_handler_exception": "request exc",
           "handle_exception": "request exc", "handle_http_exception": "request http_exception",
           "handle_internal_server_error": "request exc",
           "_apply_exception_handler": "request exc exception_handler", "log_unhandled_exc": "request exc",
           "log_handled_exc": "request exc"}


def test_coroutine_functions_and_signatures():
    for name in HANDLERS:
        function = getattr(keystone, name)
        assert inspect.iscoroutinefunction(function), name
        assert len(inspect.Signature.from_callable(function).parameters) == 3
    for name, parameters in METHODS.items():
        method = getattr(KeystoneApplication, name)
        assert inspect.iscoroutinefunction(method), name
        assert list(inspect.signature(method).parameters) == ["self", *parameters.split()]


# ------------------------------------------------------------ default handlers


def call(name, exc, request=None):
    return resolve(getattr(keystone, name)(None, request, exc))


class Ctx(Exception):
    def json(self):
        return '[{"e": "\u00e9"}]'


def bad_request_with_context():
    try:
        raise Ctx()
    except Ctx:
        try:
            raise BadRequest("wrapped")
        except BadRequest as exc:
            return exc


class Invalid(Exception):
    # pydantic's ValidationError renders itself through json(indent=...);
    # its instances leak references of their own on debug interpreters.
    def json(self, indent=None):
        return json.dumps([{"loc": ["n"], "msg": "caf\u00e9"}], indent=indent)


def test_default_handler_responses():
    cases = [
        (call("handle_not_found", NotFound()), 404, b"Resource not found"),
        (call("handle_internal_server_error", KeyError()), 500, b"Internal Server Error"),
        (call("handle_bad_request", BadRequest("no id")), 400, b"Bad Request: no id"),
        (call("handle_bad_request", bad_request_with_context()), 400, '[{"e": "\u00e9"}]'.encode()),
        (call("_default_pydantic_validation_error_handler", Invalid()), 400,
         json.dumps([{"loc": ["n"], "msg": "caf\u00e9"}], indent=4).encode()),
        (call("common_http_exception_handler", HTTPException(418)), 418, b"I'm a Teapot"),
        (call("common_http_exception_handler", InternalServerError(None)), 500, b"Internal Server Error"),
    ]
    for response, status, text in cases:
        assert (response.status, body(response)) == (status, text)
    assert call("handle_bad_request", bad_request_with_context()).content.type == b"application/json"


def test_bad_request_keeps_its_own_status_for_json_context():
    exc = bad_request_with_context()
    exc.status = 409
    assert call("handle_bad_request", exc).status == 409


@pytest.mark.parametrize(("status", "phrase"), [(460, b"Client Error"), (499, b"Client Error"),
                                                (520, b"Server Error"), (299, b"Successful")])
def test_non_standard_statuses_keep_their_status(status, phrase):
    response = call("common_http_exception_handler", HTTPException(status))
    assert (response.status, body(response)) == (status, phrase)
    with pytest.raises(ValueError):
        call("common_http_exception_handler", HTTPException(700))


@pytest.mark.parametrize("name", HANDLERS)
def test_default_handlers_check_their_arguments(name):
    with pytest.raises(TypeError, match="Argument 'request' has incorrect type"):
        call(name, HTTPException(400), request="not a request")
    with pytest.raises(TypeError, match="has incorrect type"):
        call(name, "not an exception", request=make_request())


M = "Expected `int`, got `str`"


@pytest.mark.parametrize(
    ("exc", "expected"),
    [
        (UnprocessableEntity(f"{M} - at `$.a[2]`"), [(["body", "a", 2], M)]),
        (UnprocessableEntity(), [(["body"], "Unprocessable entity")]),
        (UnprocessableEntity(message="m"), [(["body"], "m")]),
        (UnprocessableEntity(5, "m"), [(["body"], "m")]),
        (UnprocessableEntity(5), [(["body"], "Validation error")]),
        (UnprocessableEntity(f"{M} - at `$.`"), [(["body"], M)]),
        (UnprocessableEntity(f"{M} - at `$`"), [(["body"], M)]),
        (UnprocessableEntity(f"a - at `b - at `x.y[10][0]`"), [(["body", "x", "y", 10, 0], "a - at `b")]),
        (UnprocessableEntity(f"{M} - at `$.a\u00b2[\u0663]`"), [(["body", "a\u00b2", "\u0663"], M)]),
        (UnprocessableEntity(["x", 3]), [(["body"], "x"), (["body"], "3")]),
        (UnprocessableEntity({"k": 1}), [(["body"], "{'k': 1}")]),
        (UnprocessableEntity([]), []),
    ],
)
def test_unprocessable_entity_bodies(exc, expected):
    response = call("handle_unprocessable_entity", exc)
    entries = [{"loc": loc, "msg": msg, "type": "validation_error"} for loc, msg in expected]
    assert response.status == 422 and response.content.type == b"application/json"
    assert body(response) == msgspec.json.encode({"detail": entries})


def test_unprocessable_entity_compact_body():
    response = call("handle_unprocessable_entity", UnprocessableEntity(f"{M} - at `$.a[2]`"))
    assert body(response) == b'{"detail":[{"loc":["body","a",2],"msg":"Expected `int`, got `str`","type":"validation_error"}]}'


class Sub(dict):
    pass


class Text(str):
    def __str__(self):
        return "m - at `$.q`"


def test_format_validation_details_passes_prepared_details_through():
    prepared = {"detail": [1]}
    assert _format_validation_details(prepared) is prepared
    sub = Sub(detail=[1])
    assert _format_validation_details(sub) is sub
    entries = [{"loc": ["x"], "msg": "x"}]
    assert _format_validation_details(entries) == {"detail": entries}
    assert _format_validation_details(entries)["detail"] is entries
    entry = Sub(loc=["y"], msg="y")
    assert _format_validation_details(entry)["detail"][0] is entry
    assert _format_validation_details(Text("ignored")) == {
        "detail": [{"loc": ["body", "q"], "msg": "m", "type": "validation_error"}]}
    digits = "9" * 5000
    assert _format_validation_details(f"m - at `$.{digits}`")["detail"][0]["loc"] == ["body", digits]


def test_format_validation_details_survives_a_list_changed_by_str():
    items = []

    class Grow:
        def __str__(self):
            items.clear()
            return "g"

    items.extend([Grow(), Grow(), Grow()])
    assert _format_validation_details(items) == {"detail": [{"loc": ["body"], "msg": "g", "type": "validation_error"}]}


# ------------------------------------------------------------ log records


def records(caplog):
    return [(r.levelname, r.msg, r.args, r.exc_info is not None and r.exc_info[0]) for r in caplog.records]


def test_log_records(caplog):
    serve(app_for(raising(NotFound("gone"))))
    serve(app_for(raising(KeyError("k"))))
    app = app_for(raising(ValueError("v")))
    app.exceptions_handlers[ValueError] = keystone.handle_internal_server_error
    serve(app)
    assert records(caplog) == [
        ("INFO", 'HTTP %s - "%s %s". %s', (404, "GET", "/items?x=1", "gone"), False),
        ("ERROR", 'Unhandled exception - "%s %s"', ("GET", "/items?x=1"), KeyError),
        ("INFO", 'Handled error: "%s %s". %s', ("GET", "/items?x=1", "v"), False),
    ]
    assert caplog.records[0].name == "velmora.server" and keystone.get_logger().level == 20


@pytest.mark.parametrize(("path", "text"), [(b"/caf\xc3\xa9", "/caf\u00e9?x=1"), (b"/a\xff", "/a\\xff?x=1")])
def test_undecodable_targets_are_logged_and_answered(path, text, caplog):
    response = serve(app_for(raising(BadRequest("b"))), make_request(path))
    assert response.status == 400
    assert caplog.records[0].args == (400, "GET", text, "b")


def test_logging_failures_do_not_replace_the_response(caplog, capsys):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    app = app_for(raising(Unprintable()))
    app.exceptions_handlers[Unprintable] = keystone.handle_internal_server_error
    assert serve(app).status == 500
    assert "--- Logging error ---" in capsys.readouterr().err


# ------------------------------------------------------------ failing handlers


class Anonymous:
    async def __call__(self, app, request, exc):
        raise LookupError("anonymous")


async def forgetful(app, request, exc):
    Response(200)


async def failing(app, request, exc):
    raise LookupError("in handler")


@pytest.mark.parametrize(("handler", "name"), [(failing, "failing"), (forgetful, "forgetful"),
                                               (Anonymous(), "anonymous"), (lambda *a: "text", "<lambda>")])
def test_failing_exception_handlers_answer_500(handler, name, caplog):
    app = app_for(raising(KeyError()))
    app.exceptions_handlers = {KeyError: handler}
    response = serve(app)
    assert (response.status, body(response)) == (500, b"Internal Server Error")
    assert caplog.records[-1].msg == "Unhandled exception in exception_handler: %s"
    assert caplog.records[-1].args == (name,) and caplog.records[-1].exc_info[0] is not None


@pytest.mark.parametrize("handler", [failing, forgetful, lambda app, request, exc: Response(200)])
def test_failing_500_handlers_give_the_plain_500(handler, caplog):
    app = app_for(raising(KeyError()))
    app.exceptions_handlers = {500: handler}
    response = serve(app)
    assert (response.status, body(response)) == (500, b"Internal Server Error")
    assert caplog.records[-1].msg == (
        "An exception occurred while trying to apply the configured Internal Server Error handler!")
    assert caplog.records[-1].exc_info[0] is not None


def test_error_details_renderer_gets_the_original_exception():
    original = KeyError("original")
    seen = []

    class Renderer:
        def produce_response(self, request, exc):
            seen.append(exc)
            return Response(599)

    class App(KeystoneApplication):
        server_error_details_handler = Renderer()

    app = app_for(raising(original), App, show_error_details=True)
    assert serve(app).status == 599
    app.exceptions_handlers[KeyError] = failing
    assert serve(app).status == 599
    assert seen == [original, original]
