"""URL: random byte strings from a URL grammar (escapes, invalid UTF-8, NUL),
the operations on them, and the two path helpers checked against models."""

from __future__ import annotations

from typing import Any

from evil import EvilBytes, EvilStr
from targets import Run

from velmora.url import URL, InvalidURL, build_absolute_url, join_prefix

EXPECTED = (InvalidURL, ValueError, TypeError, UnicodeError)

SCHEMES = [b"http", b"https", b"HTTP", b"ftp", b"", b"h\xfftp"]
HOSTS = [b"example.com", b"a", b"127.0.0.1", b"[::1]", b"xn--bcher-kva.ch", b"h\xc3\xa9", b"",
         b"user:pw@host", b"a b"]
PIECES = [b"a", b"%20", b"%", b"%zz", b"%C3%A9", b"\xff", b"\xc3", b"..", b".", b"", b"~",
          b"\x00", b";p", b"\xe2\x82\xac", b"a" * 50]


def path(run: Run) -> bytes:
    rng = run.rng
    return b"".join(b"/" + rng.choice(PIECES) for _ in range(rng.randrange(5)))


def url_bytes(run: Run) -> bytes:
    rng = run.rng
    out = b""
    if rng.random() < 0.6:
        out += rng.choice(SCHEMES) + b"://" + rng.choice(HOSTS)
        if rng.random() < 0.3:
            out += b":" + rng.choice([b"80", b"443", b"8080", b"0", b"65535", b"99999", b"x"])
    elif rng.random() < 0.2:
        out += rng.choice([b".", b"./", b"../"])
    out += path(run)
    if rng.random() < 0.3:
        out += b"?" + rng.choice(PIECES) + b"=" + rng.choice(PIECES)
    if rng.random() < 0.2:
        out += b"#" + rng.choice(PIECES)
    if rng.random() < 0.1:
        out = bytes(rng.randrange(256) for _ in range(rng.randrange(12)))
    return out


def maybe_evil(run: Run, data: bytes) -> Any:
    return EvilBytes(data) if run.evil and run.rng.random() < 0.3 else data


def make(run: Run) -> URL | None:
    value = url_bytes(run)
    run.log("URL", value)
    try:
        url = URL(value)
    except EXPECTED:
        return None
    run.check(url.value == (b"/" + value if value.startswith(b".") else value), "value")
    again = URL(url.value)
    run.check(again == url and not (again != url), "URL(u.value) == u")
    run.check(url.is_absolute == (url.schema is not None), "is_absolute")
    return url


def join_prefix_model(prefix: str | None, p: str | None) -> str | None:
    if not prefix:
        return p
    if not prefix.startswith("/"):
        prefix = "/" + prefix
    if not p:
        return prefix + "/"
    if prefix.endswith("/") and p.startswith("/"):
        return prefix + p[1:]
    if not prefix.endswith("/") and not p.startswith("/"):
        return prefix + "/" + p
    return prefix + p


def one(run: Run) -> None:
    rng = run.rng
    urls = [u for u in (make(run) for _ in range(rng.randrange(1, 4))) if u is not None]
    for _ in range(rng.randrange(1, 8)):
        op = rng.randrange(9)
        try:
            if op == 0 and urls:
                a, b = rng.choice(urls), rng.choice(urls)
                run.log("join", a.value, b.value)
                joined = a.join(b) if rng.random() < 0.5 else a + maybe_evil(run, b.value)
                urls.append(joined)
            elif op == 1 and urls:
                u = rng.choice(urls)
                run.log("base_url", u.value)
                urls.append(u.base_url())
            elif op == 2 and urls:
                u = rng.choice(urls)
                host = maybe_evil(run, rng.choice(HOSTS))
                run.log("with_host", u.value, host)
                urls.append(u.with_host(host))
            elif op == 3 and urls:
                u = rng.choice(urls)
                query = rng.choice([None, b"", b"a=1", b"%zz", b"\xff"])
                run.log("with_query", u.value, query)
                urls.append(u.with_query(maybe_evil(run, query) if query else query))
            elif op == 4 and urls:
                u = rng.choice(urls)
                scheme = maybe_evil(run, rng.choice(SCHEMES))
                run.log("with_scheme", u.value, scheme)
                urls.append(u.with_scheme(scheme))
            elif op == 5 and urls:
                u = rng.choice(urls)
                run.log("str_repr", u.value)
                repr(u)
                str(u)
                u == rng.choice([u.value, None, 3, EvilBytes(u.value)])  # noqa: B015
            elif op == 6:
                parts = [rng.choice(SCHEMES), rng.choice(HOSTS), rng.choice([b"", b"base", b"/base/", b"b/"]),
                         rng.choice([None, b"", b"x", b"/x/y", b"\xff"])]
                run.log("build_absolute_url", *parts)
                built = build_absolute_url(*parts)
                base, p = parts[2], parts[3] or b"/"
                p = p if p.startswith(b"/") else b"/" + p
                if base:
                    base = base if base.startswith(b"/") else b"/" + base
                    p = (base[:-1] if base.endswith(b"/") else base) + p
                run.check(built.value == parts[0] + b"://" + parts[1] + p, "build_absolute_url value")
            else:
                words = [None, "", "/", "a", "/a/", "b/", "/é", "\udcff", "a" * 30]
                prefix, p = rng.choice(words), rng.choice(words)
                if run.evil:
                    prefix = EvilStr(prefix) if prefix is not None and rng.random() < 0.5 else prefix
                    p = EvilStr(p) if p is not None and rng.random() < 0.5 else p
                run.log("join_prefix", prefix, p)
                got = join_prefix(prefix, p)
                want = join_prefix_model(prefix, p)
                run.check(got == want, f"join_prefix({prefix!r}, {p!r}) gave {got!r}, expected {want!r}")
        except EXPECTED as exc:
            run.log("raised", type(exc).__name__)
