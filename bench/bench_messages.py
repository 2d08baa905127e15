"""velmora Request and Response against Starlette's on one ASGI scope.

A realistic request of 16 headers: build the request from the scope, then
read the method, the path, two query parameters, one header and one
cookie, and give the request back to the pool.  velmora takes the scope's
values the way the framework's ASGI entry does (`Request.incoming`, then
`release_request`); Starlette takes the scope itself.  Also the pooled
round trip alone against building Starlette's objects, `get_first_header`
on the request against `Headers.get_first` on the same list, and the cost
of the Python body-reading layer over a body already received.

    python bench/bench_messages.py [--scale F] [--rounds N] [--only NAME]
"""

from __future__ import annotations

import sys
from pathlib import Path

from starlette.requests import Request as StarletteRequest
from starlette.responses import Response as StarletteResponse

from velmora.contents import Content
from velmora.headers import Headers
from velmora.messages import Request, acquire_response, release_request, release_response

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_headers import RAW as HEADERS_RAW  # noqa: E402
from harness import Bench, ratio  # noqa: E402

# The request of the headers benchmark, with one more cookie.
RAW = [(n, b"session=4f2a9c; theme=dark; consent=yes" if n == b"cookie" else v) for n, v in HEADERS_RAW]

SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0", "spec_version": "2.3"},
    "http_version": "1.1",
    "server": ("127.0.0.1", 8000),
    "client": ("127.0.0.1", 51234),
    "scheme": "http",
    "method": "GET",
    "root_path": "",
    "path": "/articles/42",
    "raw_path": b"/articles/42",
    "query_string": b"page=2&sort=date&q=caf%C3%A9",
    "headers": RAW,
}

VELMORA = """\
r = Request.incoming(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"], scope)
r.method; r.path; r.get_query_param("page"); r.get_query_param("q")
r.get_first_header(b"user-agent"); r.get_cookie("theme")
release_request(r)
"""

STARLETTE = """\
r = StarletteRequest(scope)
r.method; r.url.path; q = r.query_params; q.get("page"); q.get("q")
r.headers.get("user-agent"); r.cookies.get("theme")
"""


INCOMING = """\
release_request(Request.incoming(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"], scope))
"""

# A coroutine that never suspends, run to its end without an event loop.
DRIVE = """\
try:
    {}.send(None)
except StopIteration:
    pass
"""


def main() -> None:
    body = Content(b"text/plain", b"x" * 512)
    ns = {
        "Request": Request, "StarletteRequest": StarletteRequest, "StarletteResponse": StarletteResponse,
        "scope": SCOPE, "release_request": release_request, "acquire_response": acquire_response,
        "release_response": release_response,
        "req": Request.incoming("GET", b"/articles/42", b"page=2", RAW, SCOPE), "h": Headers(list(RAW)),
        "body": body, "with_body": Request("POST", b"/", None).with_content(body),
    }
    bench = Bench("Request from a 16-header ASGI scope", number=50_000)
    bench.case("build + method, path, 2 params, header, cookie", {"velmora": VELMORA, "starlette": STARLETTE}, ns)
    bench.case("incoming + release_request vs Request(scope)",
               {"velmora": INCOMING, "starlette": "StarletteRequest(scope)"}, ns)
    bench.case("acquire_response + release_response vs Response()",
               {"velmora": "release_response(acquire_response(200, [(b'x-id', b'1')]))",
                "starlette": "StarletteResponse(b'', 200, {'x-id': '1'})"}, ns)
    bench.case("read() of a received body: Message.read vs the content's read",
               {"velmora": DRIVE.format("with_body.read()"), "content": DRIVE.format("body.read()")}, ns)
    bench.case("get_first_header vs Headers.get_first",
               {"velmora": "req.get_first_header(b'user-agent')", "headers": "h.get_first(b'user-agent')"}, ns)
    bench.case("get_first_header, absent",
               {"velmora": "req.get_first_header(b'x-missing')", "headers": "h.get_first(b'x-missing')"}, ns)
    results = bench.run()
    if bench.only:
        return
    speedup = ratio(results, "build + method, path, 2 params, header, cookie", "starlette")
    print(f"\nTarget: whole request at least 5x faster than starlette: {speedup:.1f}x  "
          f"{'ok' if speedup >= 5 else 'MISSED'}")


if __name__ == "__main__":
    main()
