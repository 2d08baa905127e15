"""Leak tests that the ordinary (release) run catches too: each scenario runs
its operations many times in a fresh interpreter and the memory it holds
afterwards must not grow with the count.  Objects are counted with
sys.getallocatedblocks(), native allocations (C++ new, PyMem_Raw) with
glibc's mallinfo2 where there is one; error paths are included, since a
forgotten reference hides most often there."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

LEAK_REPEAT = False  # the leak mode need not repeat what runs in subprocesses

HARNESS = r"""
import ctypes, gc, sys

class Info(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

try:
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = Info
except (AttributeError, OSError):
    mallinfo2 = None

def native():
    return mallinfo2().uordblks if mallinfo2 else 0

def measure(body, n):
    for _ in range(n // 5):
        body()
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), native()
    for _ in range(n):
        body()
    gc.collect()
    print(sys.getallocatedblocks() - blocks, native() - heap)
"""

SCENARIOS = {
    "headers": """
        from velmora.headers import Header, Headers
        def body():
            h = Headers([(b"a", b"1"), (b"b", b"2")])
            h.add(b"X-Id", b"3"); h.set(b"x-id", b"4"); h[b"c"] = b"5"
            h.get(b"a"); h.get("B"); h.get_first(b"x-id"); h.get_tuples(b"c"); h.keys(); b"c" in h
            h.merge([(b"d", b"6")]); h.update({b"e": b"7"}); h.add_many([(b"f", b"8"), Header(b"g", b"9")])
            h2 = h.clone() + h; h2 += [(b"h", b"0")]; repr(h2); list(h2.items())
            h.remove(b"a"); del h[b"b"]
            Header(b"N", b"v") == Header(b"n", b"v")
            for bad in (lambda: h.get_single(b"nope"), lambda: Headers(()), lambda: h.add_many(3),
                        lambda: h.get("\\u20ac"), lambda: h.update([])):
                try:
                    bad()
                except Exception:
                    pass
    """,
    "url": """
        from velmora.url import URL, build_absolute_url, join_prefix
        def body():
            u = URL(b"https://example.com:8443/a/b?q=1#f")
            u.base_url(); u.with_host(b"h"); u.with_query(b"x=1"); u.with_scheme(b"http")
            URL(b"/a/") + b"/b"; URL(b"./x/").join(URL(b"/y")); str(u); repr(u); u == URL(u.value)
            build_absolute_url(b"http", b"h", b"/base/", b"p"); join_prefix("api", "/x")
            for bad in (lambda: URL(b"ftp://x"), lambda: URL(b""), lambda: URL(b"http://[::1"),
                        lambda: u.join(u), lambda: URL(b"/a").base_url(), lambda: URL(b"\\xff:x"),
                        lambda: u.with_scheme(b"ftp"), lambda: URL(3)):
                try:
                    bad()
                except Exception:
                    pass
    """,
    "cookies": """
        import datetime
        from velmora.cookies import (Cookie, CookieSameSiteMode, datetime_from_cookie_format,
                                     datetime_to_cookie_format, parse_cookie, write_cookie_for_response)
        when = datetime.datetime(2015, 10, 21, 7, 28, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
        def body():
            c = Cookie("sid", "a b;c", expires=when, domain="example.com", path="/", http_only=True,
                       secure=True, max_age=10, same_site=CookieSameSiteMode.STRICT)
            out = write_cookie_for_response(c); parse_cookie(out); c.clone() == c; c == "a b;c"; repr(c)
            datetime_from_cookie_format(datetime_to_cookie_format(when))
            for bad in (lambda: Cookie("", "x"), lambda: Cookie("a", "x" * 5000), lambda: parse_cookie(b"novalue"),
                        lambda: parse_cookie(b"a=b; max-age=x"), lambda: datetime_from_cookie_format(b"nonsense"),
                        lambda: write_cookie_for_response(Cookie("a", None)), lambda: Cookie("a", 3)):
                try:
                    bad()
                except Exception:
                    pass
    """,
    "routing": """
        from velmora.routing import RadixRouter, RadixTree, RouteMatch
        class Route:
            def __init__(self, pattern, names=None):
                self.pattern, self.handler = pattern, None
                if names:
                    self.param_names = names
        def body():
            r = RadixRouter()
            for p in ("/", "/About", "/users/{id:int}", "/files/*.txt", "/s/{rest:path}", "/:a/{b}"):
                r.add_route("get", p, Route(p, ["x", b"y"] if "{b}" in p else None))
            for path in ("/", "/about/", "/users/42", "/users/x", "/files/a/b.txt", "/s/x/y",
                         b"/users/7", b"/\\xff/x", "/a//b", "/q/w"):
                r.get_match("GET", path)
            r.get_static_match("GET", "/About")
            m = RouteMatch(Route("/p"), {"a": "%41", "b": b"x"}); m.values; m.handler
            t = RadixTree(); t.insert(b"/x/{y}", Route("/x/{y}")); t.match("/x/1")
            for bad in (lambda: r.add_route("get", b"\\xff", Route("x")), lambda: RouteMatch(Route("/"), 3),
                        lambda: t.insert("/z", Route("/z"), (1,)), lambda: r.add_route("get", "/w", Route("/w"), [3])):
                try:
                    bad()
                except Exception:
                    pass
    """,
}

ROUNDS = 3000


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_repeated_operations_do_not_grow_memory(name):
    script = HARNESS + textwrap.dedent(SCENARIOS[name]) + f"\nmeasure(body, {ROUNDS})\n"
    # pymalloc keeps sys.getallocatedblocks() meaningful, also in the sanitizer run
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    blocks, heap = map(int, out.stdout.split())
    # A leak of one object (or a few native bytes) per round shows as growth
    # in the thousands; what caches and free lists hold stays far below.
    assert blocks < ROUNDS // 10, f"{blocks} more memory blocks after {ROUNDS} rounds"
    assert heap < ROUNDS * 4, f"{heap} more bytes of native heap after {ROUNDS} rounds"
