"""The published table of velmora.scribe, called the way a sibling module
calls it."""

from __future__ import annotations

import asyncio

import pytest

import velmora.scribe as scribe
from velmora import messages
from velmora.contents import Content, TextServerSentEvent
from velmora.messages import Response

consumer = pytest.importorskip("velmora._scribe_consumer")


class Protocol:
    def __init__(self):
        self.calls = []

    def response_str(self, status, headers, body):
        self.calls.append(("response_str", status, headers, body))

    def response_empty(self, status, headers):
        self.calls.append(("response_empty", status, headers))


class Scope:
    method = "GET"
    path = "/x"
    query_string = ""


class App:
    def __init__(self, result):
        self.result = result

    def handle(self, request):
        return self.result


def test_constant():
    assert consumer.max_response_chunk_size() == scribe.MAX_RESPONSE_CHUNK_SIZE == 61440


def test_entries_match_the_python_functions():
    a = Response(200, [(b"Content-Length", b"2")], Content(b"text/plain", b"hi"))
    b = Response(200, [(b"Content-Length", b"2")], Content(b"text/plain", b"hi"))
    consumer.set_headers_for_response_content(a)
    scribe.set_headers_for_response_content(b)
    assert a.headers.values == b.headers.values == [(b"Content-Length", b"2"), (b"content-type", b"text/plain")]
    event = TextServerSentEvent("a\nb", id="1")
    assert consumer.write_sse(event) == scribe.write_sse(event) == b"id: 1\ndata: a\ndata: b\n\n"
    assert consumer.extract_rsgi_headers({b"a": "1"}) == [("a", "1")]
    request = consumer.instantiate_rsgi_request(Scope(), Protocol())
    assert isinstance(request, messages.Request) and request.content is None


def test_send_and_dispatch_through_the_table():
    protocol = Protocol()
    response = Response(200, None, Content(b"text/plain", "hé"))
    assert consumer.send_rsgi_response_sync(response, protocol) is None
    saved = messages.REQ_FREELIST[:], messages.RESP_FREELIST[:]
    try:
        assert consumer.dispatch_rsgi_http(App(Response(404, None, None)), Scope(), protocol) is None

        async def later():
            return Response(201, None, None)

        asyncio.run(consumer.dispatch_rsgi_http(App(later()), Scope(), protocol))
    finally:
        messages.REQ_FREELIST[:], messages.RESP_FREELIST[:] = saved
    assert protocol.calls == [
        ("response_str", 200, [("content-type", "text/plain")], "hé"),
        ("response_empty", 404, []),
        ("response_empty", 201, []),
    ]
    with pytest.raises(TypeError, match="got int"):
        consumer.dispatch_rsgi_http(App(5), Scope(), protocol)
