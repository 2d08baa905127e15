"""Reading request bodies through Message: no content, RSGI protocol only,
content attached; text, JSON and form decoding; multipart parts spooled to
files; disconnection; bodies and servers that misbehave."""

from __future__ import annotations

import asyncio
import inspect

import pytest
from test_contents_bodies import Protocol, Receive, messages_for

from velmora import _messages_async
from velmora.contents import ASGIContent, Content, RSGIContent
from velmora.exceptions import BadRequest, BadRequestFormat, FailedRequestError, MessageAborted, PayloadTooLarge
from velmora.messages import REQ_FREELIST, Message, Request, Response, release_request
from velmora.settings.json import json_settings
from velmora.settings.limits import limits

run = asyncio.run


CREATED: list[Request] = []


@pytest.fixture(autouse=True)
def dispose_requests():
    # as the server's exchange ends: the uploaded files are closed
    yield
    while CREATED:
        CREATED.pop().dispose()


def asgi_request(chunks=(b"",), content_type=None, extra=()):
    headers = [(b"content-type", content_type)] if content_type is not None else []
    r = Request("POST", b"/", headers + list(extra))
    receive = Receive(messages_for(list(chunks)))
    r.content = ASGIContent(receive)
    CREATED.append(r)
    return r, receive


def rsgi_request(chunks, content_type=None):
    headers = [(b"content-type", content_type)] if content_type is not None else []
    r = Request("POST", b"/", headers)
    protocol = Protocol(list(chunks))
    r.scope_protocol = protocol
    CREATED.append(r)
    return r, protocol


async def collect(agen):
    return [item async for item in agen]


# ---------------------------------------------------------------- kinds


@pytest.mark.parametrize(
    "name, kind, params",
    [
        ("read", "coroutine", []),
        ("read_raw", "coroutine", []),
        ("read_buffer", "coroutine", []),
        ("read_detached", "coroutine", []),
        ("detach_raw", "plain", []),
        ("stream", "asyncgen", []),
        ("text", "coroutine", []),
        ("json", "coroutine", [("loads", None)]),
        ("form", "coroutine", [("simplify_fields", True)]),
        ("multipart", "coroutine", []),
        ("multipart_stream", "asyncgen", []),
        ("files", "coroutine", [("name", None)]),
    ],
)
def test_method_kinds_and_signatures(name, kind, params):
    for cls in (Message, Request, Response):
        function = getattr(cls, name)
        assert inspect.iscoroutinefunction(function) is (kind == "coroutine")
        assert inspect.isasyncgenfunction(function) is (kind == "asyncgen")
        signature = inspect.signature(function)
        assert [(p.name, p.default) for p in list(signature.parameters.values())[1:]] == params
        assert function.__qualname__ == f"Message.{name}" and function.__module__ == "velmora.messages"
    assert inspect.iscoroutinefunction(Request.is_disconnected)
    assert inspect.iscoroutinefunction(Response.raise_for_status)


def test_module_private_coroutines():
    from velmora import messages

    for name in ("_read_stream", "_call_soon", "_multipart_to_dict_streaming"):
        assert inspect.iscoroutinefunction(getattr(messages, name))
    assert inspect.signature(messages._multipart_to_dict_streaming).parameters["spool_max_size"].default == 1048576
    assert [messages._encode(v) for v in ("é", "", None)] == ["é".encode(), "", None]


# ---------------------------------------------------------------- raw access


def test_without_content_or_protocol():
    async def scenario():
        m = Message(None)
        assert await m.read() is None
        assert await m.read_raw() == b""
        assert bytes(await m.read_buffer()) == b""
        assert await m.read_detached() == b""
        assert m.detach_raw() == b""
        assert await collect(m.stream()) == [None]
        assert await m.text() == ""
        assert (await m.form(), await m.multipart(), await m.files()) == (None, None, [])
        assert m.content is None

    run(scenario())


@pytest.mark.parametrize("first", ["read", "read_raw", "read_buffer", "read_detached", "stream", "text"])
def test_rsgi_first_read_creates_the_content(first):
    async def scenario():
        r, protocol = rsgi_request([b"ab", b"cd"])
        result = getattr(r, first)()
        result = await collect(result) if first == "stream" else await result
        assert isinstance(r.content, RSGIContent)
        content = r.content
        assert (b"".join(result) if first == "stream" else bytes(result) if first != "text" else result.encode()) \
            == b"abcd"
        assert await r.read() == b"abcd" and r.content is content and protocol.pulled == 2
        assert r.detach_raw() == b"abcd"

    run(scenario())


def test_reads_of_attached_content():
    async def scenario():
        r, receive = asgi_request([b"he", b"llo"])
        assert r.detach_raw() == b""  # nothing read yet, and nothing is read here
        assert receive.calls == 0
        assert await collect(r.stream()) == [b"he", b"llo"]
        assert await r.read() == b"hello" and await r.read_raw() == b"hello"
        view = await r.read_buffer()
        assert isinstance(view, memoryview) and bytes(view) == b"hello"
        copy = await r.read_detached()
        assert copy == b"hello" and type(copy) is bytes
        assert r.detach_raw() == b"hello"

    run(scenario())


class ReadOnly(Content):
    """A content without read_buffer, whose read gives other objects."""

    def __init__(self, body):
        super().__init__(b"text/plain", b"x")
        self.result = body

    async def read(self):
        return self.result

    def __getattribute__(self, name):
        if name == "read_buffer":
            raise AttributeError(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("body, expected", [(None, b""), (b"ab", b"ab"), (bytearray(b"cd"), b"cd"),
                                            (memoryview(b"ef"), b"ef"), ([103, 104], b"gh")])
def test_read_buffer_without_the_content_method(body, expected):
    m = Message(None).with_content(ReadOnly(body))
    assert bytes(run(m.read_buffer())) == expected


# ---------------------------------------------------------------- text


@pytest.mark.parametrize(
    "content_type, body, expected",
    [
        (None, "café".encode(), "café"),
        (b"text/plain; charset=latin-1", "café".encode("latin-1"), "café"),
        (b"text/plain; charset=utf-8", b"caf\xe9", "café"),  # undecodable: the fallback decoder
        (b"text/plain; charset=foo-unknown", b"caf\xc3\xa9", "café"),  # unknown charset: the fallback decoder
    ],
)
def test_text(content_type, body, expected):
    r, _ = asgi_request([body], content_type)
    assert run(r.text()) == expected


# ---------------------------------------------------------------- json


def test_json_needs_a_json_content_type_and_a_body():
    r, receive = asgi_request([b'{"a": 1}'], b"text/plain")
    assert run(r.json()) is None and receive.calls == 0
    r, _ = asgi_request([b""], b"application/json")
    assert run(r.json()) is None
    r, _ = asgi_request([b'{"a": [1, 2]}'], b"application/vnd.api+json")
    assert run(r.json()) == {"a": [1, 2]}


DEEP = b"[" * 100_000 + b"]" * 100_000


@pytest.mark.parametrize("loads", [None, "settings", "argument"])
@pytest.mark.parametrize(
    "content_type, body, message",
    [
        (b"application/json", b"{oops", "Declared Content-Type is application/json but the content cannot be "
                                        "parsed as JSON."),
        (b"application/json; x=\xff", b"[1,", "Declared Content-Type is application/json; x=\xff but the content "
                                              "cannot be parsed as JSON."),
        (b"APPLICATION/JSON", b"nope", "Cannot parse content as JSON"),
        (b"application/json", DEEP, "Declared Content-Type is application/json but the content cannot be parsed "
                                    "as JSON."),
    ],
)
def test_json_errors(loads, content_type, body, message):
    import json

    r, _ = asgi_request([body], content_type)
    if loads == "settings":
        json_settings.use(loads=json.loads)
    try:
        with pytest.raises(BadRequestFormat) as info:
            run(r.json(loads=json.loads if loads == "argument" else None))
    finally:
        json_settings.use()
    assert str(info.value.args[0]) == message
    assert info.value.__cause__ is not None


def test_json_with_custom_loads_decodes_the_charset():
    seen = []

    def loads(text):
        seen.append(text)
        return text

    r, _ = asgi_request(['"é"'.encode("latin-1")], b"application/json; charset=latin-1")
    assert run(r.json(loads)) == '"é"' and seen == ['"é"']
    r, _ = asgi_request([b"1"], b"application/json; charset=nope")
    with pytest.raises(BadRequestFormat):
        run(r.json(loads))


# ---------------------------------------------------------------- forms


BOUNDARY = b"XyZ"
MULTIPART = b"multipart/form-data; boundary=XyZ"


def multipart_body(parts, end=True):
    out = []
    for name, value, file_name in parts:
        disposition = b'form-data; name="%s"' % name
        if file_name:
            disposition += b'; filename="%s"' % file_name
        out += [b"--XyZ\r\nContent-Disposition: ", disposition, b"\r\n\r\n", value, b"\r\n"]
    if end:
        out.append(b"--XyZ--\r\n")
    return b"".join(out)


def test_urlencoded_form_is_parsed_on_every_call():
    r, _ = asgi_request([b"a=1&b=x%20y&a=2"], b"application/x-www-form-urlencoded")
    first = run(r.form())
    assert first == {"a": ["1", "2"], "b": "x y"}
    second = run(r.form())
    assert second == first and second is not first and r._form_data is None
    assert run(r.multipart()) is None and run(r.files()) == []


def test_urlencoded_form_with_invalid_utf8():
    r, _ = asgi_request([b"name=caf\xe9&x=%ff"], b"application/x-www-form-urlencoded")
    form = run(r.form())
    assert form["name"] == "café" and set(form) == {"name", "x"}


def test_multipart_form_is_cached_and_spooled():
    big = b"z" * (2 * 1024 * 1024)
    body = multipart_body([(b"title", b"0123456789", None), (b"avatar", big, b"me.png"),
                           (b"avatar", b"small", b"second.png"), (b"doc", b"d", b"d.txt")])
    r, _ = asgi_request([body[:1000], body[1000:]], MULTIPART)
    simple = run(r.form())
    data = r._form_data
    assert simple["title"] == "0123456789" and len(simple["avatar"]) == 2
    assert run(r.form(simplify_fields=False)) is data and run(r.form()) == simple
    title, = data["title"]
    large = data["avatar"][0]
    assert (title.size, title.name, title.file_name) == (10, b"title", None)
    assert not title.data._rolled and large.data._rolled and large.size == len(big)
    assert large.data.read() == big
    parts = run(r.multipart())
    assert [p.name for p in parts] == [b"title", b"avatar", b"avatar", b"doc"]
    assert [p.file_name for p in run(r.files("avatar"))] == [b"me.png", b"second.png"]
    assert [p.file_name for p in run(r.files())] == [b"me.png", b"second.png", b"d.txt"]
    files = [p.data for p in parts]
    release_request(r)
    assert all(f.closed for f in files)
    REQ_FREELIST.remove(r)


@pytest.mark.parametrize("content_type", [b"multipart/form-data", b"multipart/form-data; charset=x",
                                          b"multipart/form-data; boundary="])
def test_multipart_without_a_usable_boundary_has_no_parts(content_type):
    r, _ = asgi_request([multipart_body([(b"a", b"1", None)])], content_type)
    parts = run(collect(r.multipart_stream()))
    form = run(r.form())
    assert parts == [] and form in (None, {})


class StrType(Message):
    def content_type(self):
        return "multipart/form-data; boundary=XyZ"


def test_form_needs_bytes_content_types():
    m = StrType(None)
    for call in (m.form, m.multipart):
        with pytest.raises(TypeError):
            run(call())
    with pytest.raises(TypeError):
        run(collect(m.multipart_stream()))


@pytest.fixture
def spooled(monkeypatch):
    made = []
    original = _messages_async.SpooledTemporaryFile

    def spy(*args, **kwargs):
        made.append(original(*args, **kwargs))
        return made[-1]

    monkeypatch.setattr(_messages_async, "SpooledTemporaryFile", spy)
    return made


def test_an_upload_that_fails_halfway_closes_its_files(spooled):
    body = multipart_body([(b"a", b"1", None), (b"f", b"x" * 5000, b"f.bin")], end=False)
    r, _ = asgi_request([body[:-100], body[-100:]], MULTIPART)
    with pytest.raises(BadRequest):
        run(r.form())
    assert len(spooled) == 2 and all(f.closed for f in spooled) and r._form_data is None


def test_too_many_parts(spooled):
    body = multipart_body([(b"p%d" % i, b"v", None) for i in range(10_000)])
    r, _ = asgi_request([body[i:i + 4096] for i in range(0, len(body), 4096)], MULTIPART)
    with pytest.raises(PayloadTooLarge):
        run(r.form())
    assert 0 < len(spooled) <= limits.multipart_max_parts and all(f.closed for f in spooled)


def test_ten_thousand_parts_when_allowed():
    limits.multipart_max_parts = 20_000
    try:
        body = multipart_body([(b"p%d" % i, b"v%d" % i, None) for i in range(10_000)])
        r, _ = asgi_request([body], MULTIPART)
        form = run(r.form())
        assert len(form) == 10_000 and form["p9999"] == "v9999"
    finally:
        limits.multipart_max_parts = 1000


# ---------------------------------------------------------------- servers that misbehave


def test_body_shorter_than_its_declared_length():
    r, _ = asgi_request([b"short"], b"text/plain", extra=[(b"content-length", b"2147483648")])
    assert run(r.read()) == b"short"


@pytest.mark.parametrize(
    "message, exc",
    [
        (OSError, OSError),
        ({"type": "http.disconnect"}, MessageAborted),
        ({"type": "websocket.receive"}, ValueError),
        ({"type": "http.request", "body": "not bytes"}, TypeError),
    ],
)
def test_receive_failures_propagate(message, exc):
    r, receive = asgi_request([])
    receive.push(message("receive failed") if isinstance(message, type) else message)
    with pytest.raises(exc):
        run(r.read())


def test_rsgi_protocol_failure_propagates():
    r, _ = rsgi_request([])
    r.scope_protocol = Protocol([b"a", b"b"], fail_after=1)
    with pytest.raises(ConnectionResetError):
        run(r.text())


# ---------------------------------------------------------------- disconnection


def test_is_disconnected_needs_asgi_content():
    r = Request.incoming("GET", b"/", b"", None, None)
    with pytest.raises(TypeError, match="only supported when a request is bound to an instance of ASGIContent"):
        run(r.is_disconnected())


def test_is_disconnected():
    async def scenario():
        r, receive = asgi_request([b"ab", b"cd"])
        receive.messages[-1]["more_body"] = True  # the client still sends
        assert await r.is_disconnected() is False and r._is_disconnected is False
        receive.push({"type": "http.request", "body": b"ef", "more_body": False})
        assert await r.is_disconnected() is False
        receive.push({"type": "http.disconnect"})
        assert await r.is_disconnected() is True
        calls = receive.calls
        receive.push({"type": "http.request", "body": b"never read"})
        assert await r.is_disconnected() is True and receive.calls == calls
        assert await r.read() == b"abcdef"  # the drained body is kept

    run(scenario())


def test_call_soon():
    m = _messages_async

    async def ready():
        return 5

    async def slow():
        await asyncio.sleep(10)

    async def scenario():
        assert await m._call_soon(ready()) == 5
        assert await m._call_soon(slow()) is None
        outer = asyncio.create_task(m._call_soon(slow()))
        await asyncio.sleep(0)
        outer.cancel()
        with pytest.raises(asyncio.CancelledError):
            await outer

    run(scenario())


# ---------------------------------------------------------------- Response


def test_raise_for_status():
    ok = Response(204, None, Content(b"text/plain", b"never read"))
    assert run(ok.raise_for_status()) is None
    failed = Response(500, None, Content(b"text/plain; charset=utf-8", "café".encode()))
    with pytest.raises(FailedRequestError) as info:
        run(failed.raise_for_status())
    assert (info.value.status, info.value.text) == (500, "café")
