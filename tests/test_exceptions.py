import copy
import pickle

import pytest

from velmora import exceptions as ex

CASES = [
    (ex.HTTPException(418, "teapot"), 418, "teapot"),
    (ex.HTTPException(503), 503, ""),
    (ex.BadRequest("Missing Host header"), 400, "Missing Host header"),
    (ex.BadRequest(), 400, ""),
    (ex.NotFound(), 404, ""),
    (ex.UnsupportedMediaType("no"), 415, "no"),
    (ex.PayloadTooLarge("big"), 413, "big"),
    (ex.UnprocessableEntity({"loc": ["body"], "msg": "x"}, "bad"), 422, "bad"),
    (ex.InternalServerError(ValueError("boom")), 500, "Internal Server Error"),
    (ex.BadRequestFormat("Cannot parse content as JSON", ValueError("x")), 400, "Cannot parse content as JSON"),
]


@pytest.mark.parametrize("exc, status, text", CASES)
def test_status_and_message(exc, status, text):
    assert isinstance(exc, ex.HTTPException) and isinstance(exc, Exception)
    assert type(exc.status) is int and exc.status == status
    assert str(exc) == text


@pytest.mark.parametrize("status", ["400", 400.0, None])
def test_status_must_be_an_int(status):
    with pytest.raises(TypeError):
        ex.HTTPException(status)


def test_bad_request_format_is_chained_to_its_cause():
    cause = ValueError("decoder")
    with pytest.raises(ex.BadRequest) as info:
        raise ex.BadRequestFormat("Cannot parse content as JSON", cause)
    assert info.value.cause is cause and info.value.__cause__ is cause


def test_fields():
    assert ex.UnprocessableEntity().details is None and ex.UnprocessableEntity().message is None
    source = KeyError("k")
    assert ex.InternalServerError(source).source_error is source
    failed = ex.FailedRequestError(500, "Oops")
    assert (failed.status, failed.text) == (500, "Oops") and "Oops" in str(failed)
    assert not isinstance(failed, ex.HTTPException)
    assert str(ex.InvalidExceptionHandler()) and str(ex.MessageAborted())


ALL = [case[0] for case in CASES] + [
    ex.FailedRequestError(404, "nope"),
    ex.InvalidExceptionHandler(),
    ex.MessageAborted(),
    ex.InvalidArgument("a"),
    ex.InvalidOperation("o"),
]


@pytest.mark.parametrize("exc", ALL, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("clone", [lambda e: pickle.loads(pickle.dumps(e)), copy.copy])
def test_copies_keep_type_and_fields(exc, clone):
    copied = clone(exc)
    assert type(copied) is type(exc)
    assert str(copied) == str(exc)
    fields = {k: v for k, v in vars(exc).items() if not isinstance(v, BaseException)}
    assert {k: v for k, v in vars(copied).items() if k in fields} == fields
