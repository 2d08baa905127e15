"""Python code run while a writer walks a response (a header name's or
value's __str__, a stream, a write_data override) that changes or frees
what it walks.  Each case runs in a fresh interpreter with the debug
allocator and checks its result."""

from __future__ import annotations

import textwrap

import pytest
from isolated import run_isolated

LEAK_REPEAT = False  # the cases run in child interpreters

PRELUDE = textwrap.dedent(
    """
    import asyncio
    from velmora.contents import Content, ServerSentEvent
    from velmora.messages import Response
    from velmora.scribe import extract_rsgi_headers, send_asgi_response, send_rsgi_response_sync, write_sse

    class Clearing:
        # str() empties the header list it sits in and drops its own entry.
        def __init__(self, text):
            self.text = text
        def __str__(self):
            headers.clear()
            headers.extend([(b"x-" + bytes([65 + i]) * 40, b"v" * 40) for i in range(50)])
            return self.text

    class Protocol:
        def response_empty(self, status, headers):
            self.headers = headers
    """
)

CASES = {
    "RSGI: a value's __str__ replaces the list": """
        headers = [(b"a", Clearing("1")), (b"b", b"2")]
        headers_seen = headers
        protocol = Protocol()
        send_rsgi_response_sync(Response(200, headers, None), protocol)
        assert protocol.headers[0] == ("a", "1"), protocol.headers[:2]
        assert len(protocol.headers) == 50  # the rest of the new list, read afresh
    """,
    "ASGI: a name's __str__ replaces the list": """
        headers = [(Clearing("X-A"), b"1"), (b"b", b"2")]
        sent = []
        async def send(message):
            sent.append(message)
        asyncio.run(send_asgi_response(Response(200, headers, None), send))
        assert sent[0]["headers"][0] == (b"x-a", b"1"), sent[0]["headers"][:2]
    """,
    "extract: a value's __str__ replaces the list being iterated": """
        headers = [("a", Clearing("1")), ("b", b"2")]
        result = extract_rsgi_headers(headers)
        assert result[0] == ("a", "1") and len(result) == 50, result[:2]
    """,
    "SSE: write_data drops the event's last outside reference": """
        class Dropping(ServerSentEvent):
            def write_data(self):
                global event
                event = None
                return "data"
        event = Dropping("x", event="name", id="1", comment="c")
        assert write_sse(event) == b"id: 1\\n: c\\nevent: name\\ndata: data\\n\\n"
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_reentrancy(name):
    run_isolated(PRELUDE + textwrap.dedent(CASES[name]))
