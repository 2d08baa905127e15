"""The RSGI bridge against a fake protocol that records every call."""

from __future__ import annotations

import asyncio
import gc
import weakref

import pytest

import velmora.scribe as scribe
from velmora import messages
from velmora.contents import Content, JSONContent, RSGIContent, StreamedContent
from velmora.messages import Request, Response
from velmora.scribe import (
    CT_STR_CACHE,
    EMPTY_HEADERS,
    KNOWN_OUTBOUND_HEADER_NAME_STR,
    KNOWN_OUTBOUND_HEADER_VAL_STR,
    STATIC_HEADERS_BY_CT_BYTES,
    dispatch_rsgi_http,
    extract_rsgi_headers,
    instantiate_rsgi_request,
    send_rsgi_response,
    send_rsgi_response_sync,
)


class Transport:
    def __init__(self, calls: list, fail_on: str | None = None) -> None:
        self.calls = calls
        self.fail_on = fail_on

    async def send_bytes(self, data):
        self._record("send_bytes", data)

    async def send_str(self, data):
        self._record("send_str", data)

    def _record(self, name, data):
        if self.fail_on == name:
            raise ConnectionResetError("transport closed")
        self.calls.append((name, data))


class Protocol:
    """Records every response call as (name, *args).  `missing` names
    methods the protocol does not have; `awaitable_stream` makes
    response_stream return an awaitable of the transport."""

    def __init__(self, missing=(), awaitable_stream=False, fail_on=None) -> None:
        self.calls: list = []
        self.missing = set(missing)
        self.awaitable_stream = awaitable_stream
        self.transport = Transport(self.calls, fail_on)

    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "missing"):
            raise AttributeError(name)
        return object.__getattribute__(self, name)

    def response_empty(self, status, headers):
        self.calls.append(("response_empty", status, headers))

    def response_str(self, status, headers, body):
        self.calls.append(("response_str", status, headers, body))

    def response_bytes(self, status, headers, body):
        self.calls.append(("response_bytes", status, headers, body))

    def response_file(self, status, headers, path):
        self.calls.append(("response_file", status, headers, path))

    def response_file_range(self, status, headers, path, start, end):
        self.calls.append(("response_file_range", status, headers, path, start, end))

    def response_stream(self, status, headers):
        self.calls.append(("response_stream", status, headers))
        if self.awaitable_stream:
            async def transport():
                return self.transport

            return transport()
        return self.transport


class Scope:
    def __init__(self, method="GET", path="/p", query_string="a=1") -> None:
        self.method = method
        self.path = path
        self.query_string = query_string
        self.headers = {}


class App:
    """handle() returns `result`, or the result of calling it."""

    def __init__(self, result) -> None:
        self.result = result
        self.requests: list = []

    def handle(self, request):
        self.requests.append(request)
        return self.result(request) if callable(self.result) else self.result


def streamed(*parts, length=-1, **kwargs):
    async def provider():
        for part in parts:
            if isinstance(part, BaseException):
                raise part
            yield part

    return StreamedContent(b"text/plain", provider, length, **kwargs)


def run(result):
    if result is not None:
        asyncio.run(result)


def sync_send(response, protocol=None):
    protocol = protocol or Protocol()
    run(send_rsgi_response_sync(response, protocol))
    return protocol.calls


@pytest.fixture
def pools():
    """The pools, emptied for the test."""
    saved = messages.REQ_FREELIST[:], messages.RESP_FREELIST[:]
    messages.REQ_FREELIST.clear()
    messages.RESP_FREELIST.clear()
    yield messages.REQ_FREELIST, messages.RESP_FREELIST
    messages.REQ_FREELIST[:], messages.RESP_FREELIST[:] = saved


# ------------------------------------------------------------ tables


def test_tables():
    assert len(KNOWN_OUTBOUND_HEADER_NAME_STR) == 25 and len(KNOWN_OUTBOUND_HEADER_VAL_STR) == 9
    for table in (KNOWN_OUTBOUND_HEADER_NAME_STR, KNOWN_OUTBOUND_HEADER_VAL_STR, CT_STR_CACHE):
        assert all(key.decode() == value for key, value in table.items())
    assert set(STATIC_HEADERS_BY_CT_BYTES) == set(CT_STR_CACHE)
    for ct, headers in STATIC_HEADERS_BY_CT_BYTES.items():
        assert headers == [("content-type", ct.decode())]
    assert EMPTY_HEADERS == []


def test_shared_lists_are_handed_out_but_never_changed():
    json_list = STATIC_HEADERS_BY_CT_BYTES[b"application/json"]
    before = [(k, v[:]) for k, v in STATIC_HEADERS_BY_CT_BYTES.items()]
    response = Response(200, None, JSONContent({"a": 1}))
    (call,) = sync_send(response)
    assert call[:3] == ("response_bytes", 200, json_list) and call[2] is json_list
    (call,) = sync_send(Response(204, None, None))
    assert call == ("response_empty", 204, []) and call[2] is EMPTY_HEADERS
    # The response keeps its own list; what the content needs is not added to the shared ones.
    assert response.headers.values is not json_list
    assert [(k, v) for k, v in STATIC_HEADERS_BY_CT_BYTES.items()] == before and EMPTY_HEADERS == []


# ------------------------------------------------------------ headers


@pytest.mark.parametrize(
    ("raw", "ct", "expected"),
    [
        ([(b"x-a", b"\xe9")], None, [("x-a", "é")]),
        ([(b"x-a", "v"), ("X-B", 5)], b"text/plain", [("x-a", "v"), ("X-B", "5"), ("content-type", "text/plain")]),
        ([(b"Content-Type", b"text/html")], b"text/plain", [("Content-Type", "text/html")]),
        ([("content-type", "text/html")], b"text/plain", [("content-type", "text/html")]),
        ([], b"image/png", [("content-type", "image/png")]),
    ],
)
def test_header_list_for_the_server(raw, ct, expected):
    content = Content(ct, b"x") if ct is not None else Content(b"", b"x")
    response = Response(200, raw, content)
    if ct is None:
        response.content = None
    call = sync_send(response)[0]
    assert call[2] == expected


def test_known_names_and_values_are_shared_objects():
    (call,) = sync_send(Response(200, [(b"connection", b"keep-alive")], Content(b"application/json", b"{}")))
    (name, value), (ct_name, ct_value) = call[2]
    assert name is KNOWN_OUTBOUND_HEADER_NAME_STR[b"connection"]
    assert value is KNOWN_OUTBOUND_HEADER_VAL_STR[b"keep-alive"]
    assert ct_value is CT_STR_CACHE[b"application/json"]


@pytest.mark.parametrize("entry", [(b"x-a", b"1\r\nx-b: 2"), ("x\n", "1"), (b"x", "a\x00"), (b"x", 3.5)])
def test_line_breaks_and_bad_entries_are_refused_before_any_call(entry):
    protocol = Protocol()
    if entry[1] == 3.5:  # converted through str(): fine
        sync_send(Response(200, [entry], None), protocol)
        assert protocol.calls[0][2] == [("x", "3.5")]
        return
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        send_rsgi_response_sync(Response(200, [entry], None), protocol)
    assert protocol.calls == []


@pytest.mark.parametrize("entry", [(b"x",), b"xy", None, (1, 2, 3)])
def test_entries_that_are_not_pairs(entry):
    protocol = Protocol()
    with pytest.raises(TypeError, match="pair"):
        send_rsgi_response_sync(Response(200, [entry], None), protocol)
    assert protocol.calls == []


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        ({"a": b"1"}, [("a", "1")]),
        ([(b"x", b"\xe9"), ("y", 2)], [("x", "é"), ("y", "2")]),
        (Response(200, [(b"k", b"v")], None).headers, [("k", "v")]),
        ([], []),
    ],
)
def test_extract_rsgi_headers(raw, expected):
    assert extract_rsgi_headers(raw) == expected


def test_extract_rsgi_headers_bad_entries():
    with pytest.raises(TypeError, match="pair"):
        extract_rsgi_headers([b"ab"])
    with pytest.raises(TypeError):
        extract_rsgi_headers(5)


# ------------------------------------------------------------ protocol calls


@pytest.mark.parametrize(
    ("body", "call", "sent"),
    [
        (b"abc", "response_bytes", b"abc"),
        ("é", "response_str", "é"),
        (bytearray(b"ab"), "response_bytes", b"ab"),
        (memoryview(b"ab"), "response_bytes", b"ab"),
        (12, "response_str", "12"),
        (None, "response_empty", None),
    ],
)
def test_protocol_call_per_body(body, call, sent):
    (recorded,) = sync_send(Response(201, None, Content(b"text/plain", body)))
    assert recorded[:2] == (call, 201)
    if sent is not None:
        assert recorded[3] == sent and type(recorded[3]) is type(sent)


@pytest.mark.parametrize(
    ("file_range", "missing", "expected"),
    [
        (None, (), ("response_file", 200, [("content-type", "text/plain")], "/f")),
        ((0, 99), (), ("response_file_range", 200, [("content-type", "text/plain")], "/f", 0, 99)),
        ((5, 10), ("response_file",), ("response_file_range", 200, [("content-type", "text/plain")], "/f", 5, 10)),
    ],
)
def test_files(file_range, missing, expected):
    content = streamed(b"unused", length=100, file_path="/f", file_range=file_range)
    assert sync_send(Response(200, None, content), Protocol(missing=missing)) == [expected]


def test_file_without_file_support_is_streamed():
    content = streamed(b"a", b"b", file_path="/f")
    calls = sync_send(Response(200, None, content), Protocol(missing=("response_file", "response_file_range")))
    assert [c[0] for c in calls] == ["response_stream", "send_bytes", "send_bytes"]


@pytest.mark.parametrize("missing", [("response_file_range",), ("response_file", "response_file_range")])
def test_range_without_range_support_streams_only_the_range(tmp_path, missing):
    path = tmp_path / "data.bin"
    data = bytes(range(256)) * 600
    path.write_bytes(data)
    content = streamed(b"whole file", length=70000, file_path=str(path), file_range=(100, 70100))
    calls = sync_send(Response(206, None, content), Protocol(missing=missing))
    assert calls[0][:2] == ("response_stream", 206)
    assert b"".join(c[1] for c in calls[1:]) == data[100:70100]


@pytest.mark.parametrize("awaitable_stream", [False, True], ids=["transport", "awaitable of transport"])
def test_stream(awaitable_stream):
    content = streamed(b"", "x", b"y", None, bytearray(b"z"), memoryview(b"w"), 7)
    calls = sync_send(Response(200, None, content), Protocol(awaitable_stream=awaitable_stream))
    assert calls == [
        ("response_stream", 200, [("content-type", "text/plain")]),
        ("send_str", "x"),
        ("send_bytes", b"y"),
        ("send_bytes", b"z"),
        ("send_bytes", b"w"),
        ("send_str", "7"),
    ]


def test_stream_coroutine_is_returned_unstarted(monkeypatch):
    protocol = Protocol()
    coro = send_rsgi_response_sync(Response(200, None, streamed(b"a")), protocol)
    assert asyncio.iscoroutine(coro) and protocol.calls == []
    coro.close()
    seen = []

    async def replacement(*args):
        seen.append(len(args))

    monkeypatch.setattr(scribe, "_send_rsgi_stream", replacement)
    run(send_rsgi_response_sync(Response(200, None, streamed(b"a")), protocol))
    assert seen == [4]


def test_send_rsgi_response_releases_nothing(pools):
    response = Response(200, None, streamed(b"a"))
    protocol = Protocol()
    assert asyncio.run(send_rsgi_response(response, protocol)) is None
    assert asyncio.run(send_rsgi_response(Response(200, None, None), protocol)) is None
    assert [c[0] for c in protocol.calls] == ["response_stream", "send_bytes", "response_empty"]
    assert pools == ([], [])


@pytest.mark.parametrize("missing", ["response_empty", "response_bytes", "response_stream"])
def test_protocol_missing_methods(missing):
    content = {"response_empty": None, "response_bytes": Content(b"a/b", b"x"), "response_stream": streamed(b"x")}
    with pytest.raises(AttributeError, match=missing):
        run(send_rsgi_response_sync(Response(200, None, content[missing]), Protocol(missing=(missing,))))


# ------------------------------------------------------------ requests


@pytest.mark.parametrize(
    ("method", "reader"),
    [("GET", False), ("HEAD", False), ("OPTIONS", False), ("POST", True), ("post", True), ("get", True)],
)
def test_instantiate_request(method, reader):
    protocol = Protocol()
    scope = Scope(method=method, path="/a/b", query_string="x=1")
    request = instantiate_rsgi_request(scope, protocol)
    assert isinstance(request, Request)
    assert request.method == method and request.scope is scope
    assert isinstance(request.content, RSGIContent) if reader else request.content is None


def test_instantiate_request_empty_query():
    request = instantiate_rsgi_request(Scope(query_string=""), Protocol())
    assert request.raw_query in ("", b"")


@pytest.mark.parametrize(
    ("field", "value"),
    [("path", b"/p"), ("path", None), ("query_string", b"a=1"), ("method", 5)],
)
def test_scope_field_types(field, value, pools):
    scope = Scope()
    setattr(scope, field, value)
    with pytest.raises(TypeError, match="Expected str"):
        instantiate_rsgi_request(scope, Protocol())
    assert pools == ([], [])


# ------------------------------------------------------------ dispatch and pools


def test_sync_response_is_sent_and_released_without_a_coroutine(pools, monkeypatch):
    def no_coroutine(*args):
        raise AssertionError("a coroutine was created")

    for name in ("_await_res_sync", "_dispatch_rsgi_async", "_send_rsgi_stream", "_send_rsgi_range"):
        monkeypatch.setattr(scribe, name, no_coroutine)
    response = Response(200, None, Content(b"text/plain", b"hi"))
    app = App(response)
    protocol = Protocol()
    scope = Scope()
    assert dispatch_rsgi_http(app, scope, protocol) is None
    assert protocol.calls == [("response_bytes", 200, [("content-type", "text/plain")], b"hi")]
    request = app.requests[0]
    assert pools[0] == [request] and pools[1] == [response]
    assert request.scope is None


@pytest.mark.parametrize("kind", ["streamed", "awaitable", "awaitable streamed"])
def test_async_paths_release_both_after_the_exchange(kind, pools):
    content = streamed(b"a", b"b") if "streamed" in kind else Content(b"text/plain", b"x")
    response = Response(200, None, content)
    protocol = Protocol()

    async def handler(request):
        return response

    app = App(handler if kind.startswith("awaitable") else response)
    result = dispatch_rsgi_http(app, Scope(), protocol)
    assert result is not None and pools == ([], [])
    asyncio.run(result)
    assert pools[0] == app.requests and pools[1] == [response]
    assert [c[0] for c in protocol.calls][-1] in ("send_bytes", "response_bytes")


def test_dispatch_result_works_with_ensure_future(pools):
    async def handler(request):
        return Response(200, None, None)

    async def main():
        protocol = Protocol()
        await asyncio.ensure_future(dispatch_rsgi_http(App(handler), Scope(), protocol))
        return protocol.calls

    assert asyncio.run(main()) == [("response_empty", 200, [])]
    assert len(pools[0]) == 1 and len(pools[1]) == 1


class Unawaitable:
    pass


@pytest.mark.parametrize(
    ("result", "message"),
    [
        (Unawaitable(), "got Unawaitable"),
        ("text", "got str"),
        (None, "got NoneType"),
    ],
)
def test_handle_result_neither_response_nor_awaitable(result, message, pools):
    protocol = Protocol()
    app = App(result)
    with pytest.raises(TypeError, match=message):
        dispatch_rsgi_http(app, Scope(), protocol)
    assert protocol.calls == [] and pools[0] == app.requests and pools[1] == []


@pytest.mark.parametrize("value", [None, "text", Content(b"a/b", b"x")])
def test_awaitable_completing_with_a_non_response(value, pools):
    async def handler(request):
        return value

    app = App(handler)
    protocol = Protocol()
    with pytest.raises(TypeError, match=f"got {type(value).__name__}"):
        asyncio.run(dispatch_rsgi_http(app, Scope(), protocol))
    assert protocol.calls == [] and pools[0] == app.requests and pools[1] == []


def failing_handler(request):
    raise LookupError("handler failed")


async def failing_async_handler(request):
    raise LookupError("handler failed")


@pytest.mark.parametrize(
    ("handler", "protocol", "stage"),
    [
        (failing_handler, Protocol(), "dispatch"),
        (failing_async_handler, Protocol(), "await"),
        (lambda r: Response(200, None, Content(b"a/b", b"x")), Protocol(missing=("response_bytes",)), "dispatch"),
        (lambda r: Response(200, [(b"x", b"\n")], None), Protocol(), "dispatch"),
        (lambda r: Response(200, None, streamed(b"a", ValueError("midway"))), Protocol(), "await"),
        (lambda r: Response(200, None, streamed(b"a")), Protocol(fail_on="send_bytes"), "await"),
        (lambda r: Response(200, None, streamed(b"a")), Protocol(missing=("response_stream",)), "await"),
    ],
    ids=["handler", "async handler", "missing method", "bad header", "stream raises", "transport fails",
         "no stream"],
)
def test_failures_release_the_request_but_not_the_response(handler, protocol, stage, pools):
    app = App(handler)
    with pytest.raises((LookupError, AttributeError, ValueError, ConnectionResetError)):
        result = dispatch_rsgi_http(app, Scope(), protocol)
        assert stage == "await"
        asyncio.run(result)
    assert pools[0] == app.requests and pools[1] == []


def test_release_failure_reports_its_own_error(pools):
    class FailingReset(RSGIContent):
        def dispose(self):
            raise OSError("dispose failed")

    def handler(request):
        request.content = FailingReset(Protocol())
        raise LookupError("handler failed")

    with pytest.raises(OSError) as info:
        dispatch_rsgi_http(App(handler), Scope(method="POST"), Protocol())
    assert isinstance(info.value.__context__, LookupError)


def test_nothing_leaks(pools):
    refs = []

    def handler(request):
        response = Response(200, None, streamed(b"a"))
        refs.append(weakref.ref(response.content))
        return response

    for _ in range(3):
        asyncio.run(dispatch_rsgi_http(App(handler), Scope(), Protocol()))
    del pools[0][:], pools[1][:]
    gc.collect()
    assert all(ref() is None for ref in refs)
