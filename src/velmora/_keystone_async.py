"""The Python part of velmora.keystone: the coroutine methods of
KeystoneApplication, the default exception handlers and ExceptionHandlersDict.

velmora.keystone gives this module its native lookups (`_get_exception_handler`,
`_is_handled_exception`, `_format_validation_details`) and then puts the
functions of `METHODS` into KeystoneApplication and the names of `FUNCTIONS`
into itself while it is imported.  They are Python functions because the
handler registry accepts coroutine functions only, as told by
`inspect.iscoroutinefunction`, and awaiting is plainest here.

Every step of the chain is a method looked up on the application, so that a
subclass may replace any of them.
"""

from __future__ import annotations

import inspect
import logging
import sys
import traceback
from collections import UserDict
from collections.abc import Callable
from http import HTTPStatus
from typing import Any

import msgspec

from velmora.contents import Content, TextContent
from velmora.exceptions import HTTPException, InternalServerError, InvalidExceptionHandler
from velmora.messages import Request, Response

__all__ = ["METHODS", "FUNCTIONS", "ExceptionHandlersDict"]

# Given by velmora.keystone while it is imported.
_get_exception_handler: Callable[[Any, BaseException | None, type | None], Any]
_is_handled_exception: Callable[[Any, BaseException | None], bool]
_format_validation_details: Callable[..., dict[str, Any]]

_json_encode = msgspec.json.encode
_isawaitable = inspect.isawaitable
_iscoroutinefunction = inspect.iscoroutinefunction
_signature = inspect.Signature.from_callable
_VAR_POSITIONAL = inspect.Parameter.VAR_POSITIONAL
_JSON = b"application/json"

# Phrases of the status classes, for statuses http.HTTPStatus does not know.
_CLASS_PHRASES = {1: "Informational", 2: "Successful", 3: "Redirection", 4: "Client Error", 5: "Server Error"}


def _type_error(name: str, expected: type, value: object) -> TypeError:
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    )


def _check(value: object, expected: type, name: str) -> None:
    if value is not None and not isinstance(value, expected):
        raise _type_error(name, expected, value)


def _not_a_response(value: object, source: str) -> TypeError:
    return TypeError(f"{source} must give a {Response.__name__}, not {type(value).__name__}")


def _url_text(request: Any) -> str:
    """The request's URL for the logs.  Bytes that are not UTF-8 are escaped,
    and a target that does not parse as a URL is shown as it was received."""
    try:
        value = request.url.value
    except Exception:
        value = request.raw_path
        query = request.raw_query
        if query:
            value += b"?" + (query.encode("utf-8", "surrogateescape") if isinstance(query, str) else query)
    return value.decode("utf-8", "backslashreplace")


def _logging_failed() -> None:
    # Failing to log a request's error must not cost the request its
    # response; the failure is reported the way logging reports its own.
    if logging.raiseExceptions and sys.stderr is not None:
        sys.stderr.write("--- Logging error ---\n")
        traceback.print_exc(file=sys.stderr)


class ExceptionHandlersDict(UserDict):
    """Exception classes and HTTP status codes mapped to exception handlers:
    coroutine functions called as `handler(app, request, exc)`."""

    def __setitem__(self, key: Any, value: Any) -> None:
        if not _iscoroutinefunction(value):
            raise InvalidExceptionHandler()
        parameters = _signature(value).parameters
        if len(parameters) != 3 and not any(p.kind == _VAR_POSITIONAL for p in parameters.values()):
            raise InvalidExceptionHandler()
        UserDict.__setitem__(self, key, value)


class _Methods:
    # The coroutine methods of KeystoneApplication.

    async def _handle_coro(self, request: Request | None, coro: Any) -> Any:
        """Awaits a request handler's result and turns it, or the exception it
        raised, into a response."""
        if request is not None and not isinstance(request, Request):
            raise _type_error("request", Request, request)
        try:
            response = await coro
            if response is not None and not isinstance(response, Response):
                raise _not_a_response(response, "A request handler")
        except Exception as exc:
            response = await self.handle_request_handler_exception(request, exc)
            if response is not None and not isinstance(response, Response):
                raise _not_a_response(response, "An exception handler")
        return Response(204) if response is None else response

    async def handle_request_handler_exception(self, request: Any, exc: Any) -> Any:
        """Logs an exception a request handler raised and answers it."""
        if isinstance(exc, HTTPException):
            try:
                await self.log_handled_exc(request, exc)
            except Exception:
                _logging_failed()
            return await self.handle_http_exception(request, exc)
        if _is_handled_exception(self, exc):
            try:
                await self.log_handled_exc(request, exc)
            except Exception:
                _logging_failed()
        else:
            try:
                await self.log_unhandled_exc(request, exc)
            except Exception:
                _logging_failed()
        return await self.handle_exception(request, exc)

    async def handle_exception(self, request: Any, exc: Exception | None) -> Any:
        """Answers an exception with its registered handler, else with a 500."""
        exception_handler = _get_exception_handler(self, exc, None)
        if exception_handler:
            return await self._apply_exception_handler(request, exc, exception_handler)
        return await self.handle_internal_server_error(request, exc)

    async def handle_http_exception(self, request: Request | None, http_exception: HTTPException | None) -> Any:
        """Answers an HTTP exception with the handler for its class or status."""
        _check(request, Request, "request")
        _check(http_exception, HTTPException, "http_exception")
        exception_handler = self.get_http_exception_handler(http_exception)
        if exception_handler:
            return await self._apply_exception_handler(request, http_exception, exception_handler)
        return await self.handle_exception(request, http_exception)

    async def handle_internal_server_error(self, request: Request | None, exc: Exception | None) -> Any:
        """The 500 response for an exception: the detailed error page, or the
        registered 500 handler, or plain text when that handler fails."""
        _check(request, Request, "request")
        _check(exc, Exception, "exc")
        if self.show_error_details:
            return self.server_error_details_handler.produce_response(request, exc)
        error = InternalServerError(exc)
        internal_server_error_handler = self.get_http_exception_handler(error)
        try:
            response = await internal_server_error_handler(self, request, error)
            if not isinstance(response, Response):
                raise _not_a_response(response, "The Internal Server Error handler")
            return response
        except Exception:
            self.logger.exception(
                "An exception occurred while trying to apply the configured Internal Server Error handler!"
            )
            return Response(500, content=TextContent("Internal Server Error"))

    async def _apply_exception_handler(
        self, request: Request | None, exc: Exception | None, exception_handler: Any
    ) -> Any:
        """The response of `exception_handler`; when it fails (or gives
        something other than a response), the 500 response."""
        _check(request, Request, "request")
        _check(exc, Exception, "exc")
        try:
            response = exception_handler(self, request, exc)
            if _isawaitable(response):
                response = await response
            if not isinstance(response, Response):
                raise _not_a_response(response, "An exception handler")
            return response
        except Exception as server_ex:
            self.logger.error(
                "Unhandled exception in exception_handler: %s",
                getattr(exception_handler, "__name__", "anonymous"),
                exc_info=True,
            )
            if self.show_error_details:
                return self.server_error_details_handler.produce_response(request, exc)
            return await self.handle_internal_server_error(request, server_ex)

    async def log_unhandled_exc(self, request: Any, exc: Any) -> None:
        """Logs an exception without a handler, with its traceback."""
        self.logger.error('Unhandled exception - "%s %s"', request.method, _url_text(request), exc_info=exc)

    async def log_handled_exc(self, request: Any, exc: Any) -> None:
        """Logs an exception that a handler answers."""
        if isinstance(exc, HTTPException):
            self.logger.info('HTTP %s - "%s %s". %s', exc.status, request.method, _url_text(request), str(exc))
        else:
            self.logger.info('Handled error: "%s %s". %s', request.method, _url_text(request), str(exc))


# ------------------------------------------------------- default handlers


async def handle_not_found(app: Any, request: Request | None, http_exception: HTTPException | None) -> Response:
    """404 with the text "Resource not found"."""
    _check(request, Request, "request")
    _check(http_exception, HTTPException, "http_exception")
    return Response(404, content=TextContent("Resource not found"))


async def handle_internal_server_error(app: Any, request: Request | None, exception: Exception | None) -> Response:
    """500 with the text "Internal Server Error"."""
    _check(request, Request, "request")
    _check(exception, Exception, "exception")
    return Response(500, content=TextContent("Internal Server Error"))


async def handle_bad_request(app: Any, request: Request | None, http_exception: HTTPException | None) -> Response:
    """The JSON rendering of the error being handled when the bad request was
    raised (a validation error), else 400 with the exception's text."""
    _check(request, Request, "request")
    _check(http_exception, HTTPException, "http_exception")
    ctx = http_exception.__context__
    if ctx is not None and callable(getattr(ctx, "json", None)):
        return Response(http_exception.status, content=Content(_JSON, ctx.json().encode("utf8")))
    return Response(400, content=TextContent("Bad Request: " + str(http_exception)))


async def handle_unprocessable_entity(
    app: Any, request: Request | None, http_exception: HTTPException | None
) -> Response:
    """422 with the validation details as JSON: {"detail": [...]}."""
    _check(request, Request, "request")
    _check(http_exception, HTTPException, "http_exception")
    details = getattr(http_exception, "details", None)
    if details is not None:
        formatted = _format_validation_details(details, default_msg=getattr(http_exception, "message", None))
    else:
        message = getattr(http_exception, "message", None)
        formatted = _format_validation_details(message if message else "Unprocessable entity")
    return Response(422, content=Content(_JSON, _json_encode(formatted)))


async def _default_pydantic_validation_error_handler(app: Any, request: Request | None, error: Exception | None) -> Response:
    """400 with pydantic's own JSON rendering of the errors."""
    _check(request, Request, "request")
    _check(error, Exception, "error")
    return Response(400, content=Content(_JSON, error.json(indent=4).encode("utf-8")))


async def common_http_exception_handler(
    app: Any, request: Request | None, http_exception: HTTPException | None
) -> Response:
    """The exception's status with its reason phrase as text."""
    _check(request, Request, "request")
    _check(http_exception, HTTPException, "http_exception")
    status = http_exception.status
    try:
        phrase = HTTPStatus(status).phrase
    except ValueError:
        # A status outside the standard's list, raised on purpose (499, 520):
        # kept, with the phrase of its class.
        if not (isinstance(status, int) and 100 <= status <= 599):
            raise
        phrase = _CLASS_PHRASES[status // 100]
    return Response(status, content=TextContent(phrase))


METHODS: dict[str, Callable[..., Any]] = {
    name: function for name, function in vars(_Methods).items() if inspect.isfunction(function)
}

FUNCTIONS: dict[str, Callable[..., Any]] = {
    "handle_not_found": handle_not_found,
    "handle_internal_server_error": handle_internal_server_error,
    "handle_bad_request": handle_bad_request,
    "handle_unprocessable_entity": handle_unprocessable_entity,
    "_default_pydantic_validation_error_handler": _default_pydantic_validation_error_handler,
    "common_http_exception_handler": common_http_exception_handler,
}

for _name, _function in METHODS.items():
    _function.__qualname__ = f"KeystoneApplication.{_name}"
    _function.__module__ = "velmora.keystone"
for _function in FUNCTIONS.values():
    _function.__module__ = "velmora.keystone"
ExceptionHandlersDict.__module__ = "velmora.keystone"
del _name, _function
