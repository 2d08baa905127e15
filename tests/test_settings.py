import json

import msgspec
import pytest

from velmora.settings import encodings_settings, json_settings, limits


@pytest.fixture(autouse=True)
def restore():
    yield
    limits.reset()
    json_settings.use()
    encodings_settings.use()


@pytest.mark.parametrize(
    "value, text",
    [(b"caf\xc3\xa9", "café"), (b"caf\xe9", "café"), (b"", ""), (b"\xff\xfe", "ÿþ")],
)
def test_fallback_decoder(value, text):
    assert encodings_settings.decode(value) == text


def test_custom_decoder_and_restore():
    encodings_settings.use(lambda value: value.decode("cp1252"))
    assert encodings_settings.decode(b"\x80") == "€"
    encodings_settings.use()
    assert encodings_settings.decode(b"\x80") == "\x80"
    with pytest.raises(TypeError):
        encodings_settings.use("cp1252")


def test_json_defaults_are_msgspec():
    assert json_settings.has_custom_loads is False and json_settings.has_custom_dumps is False
    assert json_settings.loads('{"a": [1, 2]}') == {"a": [1, 2]}
    with pytest.raises(msgspec.DecodeError):
        json_settings.loads("{")
    assert json_settings.dumps({"a": "é"}) == '{"a":"é"}'
    assert json_settings.dumps_bytes({"a": "é"}) == '{"a":"é"}'.encode()


def test_json_custom_functions_and_restore():
    json_settings.use(loads=json.loads, dumps=lambda v: json.dumps(v, indent=1))
    assert json_settings.has_custom_loads is True and json_settings.has_custom_dumps is True
    assert json_settings.loads is json.loads
    assert json_settings.dumps_bytes({"a": 1}) == b'{\n "a": 1\n}'
    json_settings.use(dumps=json.dumps)
    assert json_settings.has_custom_loads is False and json_settings.has_custom_dumps is True
    json_settings.use()
    assert not json_settings.has_custom_dumps and json_settings.dumps([1]) == "[1]"
    with pytest.raises(TypeError):
        json_settings.use(loads=1)


def test_limits_defaults_and_changes():
    assert limits.max_body_size == 64 * 1024 * 1024
    assert (limits.multipart_max_parts, limits.multipart_max_headers_size, limits.multipart_max_field_size) == (
        1000,
        16 * 1024,
        1024 * 1024,
    )
    limits.max_body_size = 10
    assert limits.max_body_size == 10
    limits.reset()
    assert limits.max_body_size == 64 * 1024 * 1024


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (1.5, TypeError), ("9", TypeError)])
def test_limits_reject_unusable_values(value, error):
    with pytest.raises(error):
        limits.multipart_max_parts = value
    assert limits.multipart_max_parts == 1000
    with pytest.raises(AttributeError):
        limits.max_size = 1
