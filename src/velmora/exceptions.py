"""The framework's exception classes.

`HTTPException` and its subclasses carry the status code of the response the
application answers with; the native modules read `status` as an attribute
and `str(exc)` as the message.
"""

from __future__ import annotations

from operator import index
from typing import Any

__all__ = [
    "HTTPException",
    "BadRequest",
    "BadRequestFormat",
    "NotFound",
    "UnprocessableEntity",
    "UnsupportedMediaType",
    "PayloadTooLarge",
    "InternalServerError",
    "FailedRequestError",
    "InvalidExceptionHandler",
    "MessageAborted",
    "InvalidArgument",
    "InvalidOperation",
]


def _restore(cls: type[BaseException], args: tuple, state: dict) -> BaseException:
    exc = cls.__new__(cls, *args)
    exc.args = args
    exc.__dict__.update(state)
    return exc


class _Restorable(Exception):
    # The constructors below take other arguments than what they store in
    # `args`; pickling and copying go through the stored state instead.
    def __reduce__(self) -> tuple:
        return (_restore, (type(self), self.args, self.__dict__))


class HTTPException(_Restorable):
    """An error answered with the HTTP status `status`; `str(exc)` is the message."""

    status: int
    message: str | None

    def __init__(self, status: int, message: str | None = None) -> None:
        self.args = () if message is None else (message,)
        self.status = index(status)
        self.message = message


def _init_message(self: HTTPException, message: str | None = None) -> None:
    # The constructor of the classes with a fixed status, which they hold as
    # a class attribute. Errors are raised often enough (every 404) for the
    # cost of a chain of super() calls to show.
    self.args = () if message is None else (message,)
    self.message = message


class BadRequest(HTTPException):
    status = 400
    __init__ = _init_message


class BadRequestFormat(BadRequest):
    """A body that cannot be parsed; `cause` is the parser's error."""

    def __init__(self, message: str, cause: BaseException | None = None) -> None:
        _init_message(self, message)
        self.cause = cause
        if cause is not None:
            self.__cause__ = cause


class NotFound(HTTPException):
    status = 404
    __init__ = _init_message


class UnprocessableEntity(HTTPException):
    """422; `details` holds validation details for the error body."""

    status = 422

    def __init__(self, details: Any = None, message: str | None = None) -> None:
        _init_message(self, message)
        self.details = details


class UnsupportedMediaType(HTTPException):
    status = 415
    __init__ = _init_message


class PayloadTooLarge(HTTPException):
    status = 413
    __init__ = _init_message


class InternalServerError(HTTPException):
    """500 raised in place of an unhandled error, kept in `source_error`."""

    status = 500

    def __init__(self, source: BaseException | None = None) -> None:
        _init_message(self, "Internal Server Error")
        self.source_error = source


class FailedRequestError(_Restorable):
    """A response whose status does not indicate success."""

    def __init__(self, status: int, text: str) -> None:
        status = index(status)
        super().__init__(
            f"The response status code does not indicate success: {status}. Response body: {text}"
        )
        self.status = status
        self.text = text


class InvalidExceptionHandler(_Restorable):
    def __init__(self) -> None:
        super().__init__(
            "Exception handlers must be coroutine functions taking "
            "(application, request, exception)."
        )


class MessageAborted(_Restorable):
    """The client went away before it sent the whole message."""

    def __init__(self, message: str | None = None) -> None:
        super().__init__(
            message or "The message was aborted before the client sent its complete content."
        )


class InvalidArgument(Exception):
    pass


class InvalidOperation(Exception):
    pass
