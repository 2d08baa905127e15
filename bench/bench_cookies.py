"""Writing and parsing Set-Cookie values: velmora.cookies against the
standard library's http.cookies and Werkzeug.

    python bench/bench_cookies.py [--scale F] [--rounds N] [--only NAME]

The peers get their cheapest path: the Morsel is prepared once and its
expiry is given as ready-made text (velmora formats its datetime on every
call), and SimpleCookie parses a str where velmora parses the bytes found
in the header list.
"""

from __future__ import annotations

import os
import sys
from datetime import datetime
from http.cookies import SimpleCookie

sys.path.insert(0, os.path.dirname(__file__))

from harness import Bench, ratio  # noqa: E402

from velmora.cookies import Cookie, CookieSameSiteMode, parse_cookie, write_cookie_for_response  # noqa: E402

try:
    from werkzeug.http import dump_cookie
except ImportError:  # the comparison runs without it
    dump_cookie = None

EXPIRES = datetime(2015, 10, 21, 7, 28)
EXPIRES_TEXT = "Wed, 21 Oct 2015 07:28:00 GMT"

cookie = Cookie("session id", "a1b2c3 d4;e5", EXPIRES, "example.com", "/app", True, True, 3600,
                CookieSameSiteMode.LAX)

simple = SimpleCookie()
simple["session_id"] = "a1b2c3 d4;e5"
morsel = simple["session_id"]
morsel.update({"expires": EXPIRES_TEXT, "max-age": 3600, "domain": "example.com", "path": "/app",
               "httponly": True, "secure": True, "samesite": "Lax"})

RAW = write_cookie_for_response(cookie)
RAW_TEXT = RAW.decode()

ns = {
    "write_cookie_for_response": write_cookie_for_response,
    "parse_cookie": parse_cookie,
    "Cookie": Cookie,
    "LAX": CookieSameSiteMode.LAX,
    "SimpleCookie": SimpleCookie,
    "dump_cookie": dump_cookie,
    "cookie": cookie,
    "morsel": morsel,
    "simple": simple,
    "EXPIRES": EXPIRES,
    "RAW": RAW,
    "RAW_TEXT": RAW_TEXT,
}

DUMP = ("dump_cookie('session id', 'a1b2c3 d4;e5', max_age=3600, expires=EXPIRES, path='/app', "
        "domain='example.com', secure=True, httponly=True, samesite='Lax')")

bench = Bench("Cookies", number=100_000)
writers = {
    "velmora": "write_cookie_for_response(cookie)",
    "SimpleCookie": "simple.output(header='')",
    "Morsel": "morsel.OutputString()",
}
builders = {
    "velmora": "write_cookie_for_response(Cookie('session id', 'a1b2c3 d4;e5', EXPIRES, 'example.com', "
               "'/app', True, True, 3600, LAX))",
}
if dump_cookie is not None:
    writers["werkzeug"] = DUMP
    builders["werkzeug"] = DUMP
bench.case("write all attributes", writers, ns)
bench.case("build + write all attributes", builders, ns)
bench.case("parse all attributes", {
    "velmora": "parse_cookie(RAW)",
    "SimpleCookie": "SimpleCookie().load(RAW_TEXT)",
}, ns)
cases = bench.run()

fastest_writer = min(ratio(cases, "write all attributes", peer) for peer in writers if peer != "velmora")
print(f"\n  write: {fastest_writer:.1f}x faster than the fastest peer (target 8x)")
print(f"  parse: {ratio(cases, 'parse all attributes', 'SimpleCookie'):.1f}x faster than SimpleCookie.load "
      "(target 5x)")
