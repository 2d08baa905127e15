"""Messages: requests built from random header lists, queries, cookies and
server scopes, their query and cookie readers checked against models, and the
operations on the raw header list checked against a list model; on evil runs,
names and values whose hooks clear, replace or grow the list being walked."""

from __future__ import annotations

import re
from typing import Any
from urllib.parse import parse_qs, unquote

from evil import Evil, EvilBytes, EvilStr, fresh
from targets import Run, plain_or_evil

from velmora.exceptions import BadRequest
from velmora.messages import Request, get_request_absolute_url
from velmora.url import InvalidURL

# IndexError: an entry of one item in the raw list.
EXPECTED = (TypeError, ValueError, IndexError, UnicodeError, BadRequest, InvalidURL)

QUERY = [b"a", b"b", b"=", b"&", b"%", b"%4", b"%41", b"%C3", b"%c3%a9", b"+", b" ", b"\xff", b"\xc3",
         b";", b"\x00", b"%zz", b"==", b"%2", b"\xe2\x82"]
COOKIE = QUERY + [b"; ", b'"', b" = ", b"a=1", b"b=2"]
NAMES = [b"host", b"Host", b"HOST", b"cookie", b"x-a", b"X-A", b"content-type", b"hx-target", b""]
HOSTS = [b"example.com", b"EXAMPLE.com:8080", b"[::1]:80", b"", b"a b", b"\xff", b"h:", b":1", b"x" * 300]


# The interpreter's shared one-byte objects: a reader that writes into a
# bytes object it did not make changes them for every later user.
ONE_BYTE = [bytes([i]) for i in range(256)]


def check_one_byte_objects(run: Run) -> None:
    run.check(b"".join(ONE_BYTE) == bytes(range(256)), "a shared one-byte bytes object was written to")


class MyBytes(bytes):
    pass


def raw(run: Run, pieces: list[bytes], n: int = 10) -> bytes:
    return b"".join(run.rng.choice(pieces) for _ in range(run.rng.randrange(n)))


def text_of(data: bytes) -> str:
    return data.decode("utf-8", "replace")


def query_model(query: bytes) -> dict[str, list[str]]:
    return {text_of(k): [text_of(v) for v in vs] for k, vs in parse_qs(query).items()}


def scan_model(query: bytes, key: bytes) -> list[str]:
    """The parameter scan: segments split at "&" and ";", keys compared raw,
    a bare key gives the empty string, values decoded only when escaped."""
    out: list[str] = []
    for segment in re.split(rb"[&;]", query) if query else ():
        name, eq, value = segment.partition(b"=")
        if name != key:
            continue
        if b"%" in value or b"+" in value:
            out.append(unquote(text_of(value.replace(b"+", b" "))))
        else:
            out.append(text_of(value))
    return out


def agrees_with_parse_qs(query: bytes, key: str) -> bool:
    """Whether the dict reader must find what the scan finds: valid UTF-8, "&"
    alone as separator, no escaped keys, a plain non-empty key."""
    try:
        query.decode()
    except UnicodeDecodeError:
        return False
    keys = [segment.partition(b"=")[0] for segment in query.split(b"&")]
    return (bool(key) and b";" not in query and "%" not in key and "+" not in key
            and not any(b"%" in k or b"+" in k for k in keys))


def cookie_model(header: bytes) -> dict[str, str]:
    """Parts split at ";" and stripped, each at its first "=" (parts without
    one are skipped), name and value unquoted; the last of a name wins."""
    out = {}
    for part in header.split(b";"):
        name, eq, value = part.strip().partition(b"=")
        if eq:
            out[unquote(text_of(name))] = unquote(text_of(value))
    return out


def a_name(run: Run) -> Any:
    rng = run.rng
    name = rng.choice(NAMES)
    roll = rng.random()
    if roll < 0.5:
        return name
    if roll < 0.8:
        return name.decode()
    if roll < 0.85:
        return MyBytes(name)
    return rng.choice([None, 5, "\u0109", "\xe9", b"\xff"])


def a_value(run: Run) -> Any:
    rng = run.rng
    roll = rng.random()
    if roll < 0.6:
        return raw(run, COOKIE, 6)
    if roll < 0.8:
        return text_of(raw(run, COOKIE, 6))
    return rng.choice([b"", b"x" * 70000, None, 3, "\u0109", "\udc80"])


def an_entry(run: Run) -> Any:
    if run.rng.random() < 0.9:
        return (a_name(run), a_value(run))
    return run.rng.choice([None, (b"a",), [b"x-a", b"1"], (b"a", b"b", b"c"), b"ab"])


class Scope:
    """A server scope object: attributes are there or not."""


def a_scope(run: Run, headers: list[Any]) -> Any:
    rng = run.rng
    roll = rng.random()
    if roll < 0.3:
        return None
    if roll < 0.6:
        return {"scheme": rng.choice(["http", "https", 5]), "server": ("h", 80), "client": ("1.2.3.4", 1)}
    scope = Scope()
    for name, value in (("headers", headers), ("scheme", rng.choice(["http", "https", None])),
                        ("server", rng.choice([("h", 80), "h:80", None])), ("client", "1.2.3.4"),
                        ("authority", rng.choice(["a.com", None, 5])), ("path", "/x"), ("query_string", "a=1")):
        if rng.random() < 0.6:
            setattr(scope, name, value)
    return scope


# -- header operations on the raw list, against a list model -----------------

def _low(name: Any) -> bytes:
    return (name if type(name) is bytes else name.encode("latin-1")).lower()


def _as(value: Any, key: Any) -> Any:
    if type(key) is bytes:
        return value if type(value) is bytes else value.encode("latin-1")
    return value if type(value) is str else value.decode("latin-1")


def header_op(run: Run, r: Request, model: list[tuple[Any, Any]]) -> None:
    rng = run.rng
    key = rng.choice(NAMES)
    key = key if rng.random() < 0.5 else key.decode()
    value = rng.choice([b"1", b"", b"v w", "s", "\xe9"])
    same = [v for n, v in model if _low(n) == _low(key)]
    op = rng.randrange(7)
    if op == 0:
        run.log("get_headers", key)
        got = r.get_headers(key)
        run.check(got == [_as(v, key) for v in same], f"get_headers({key!r}) gave {got!r}")
    elif op == 1:
        run.log("get_first_header", key)
        got = r.get_first_header(key)
        run.check(got == (_as(same[0], key) if same else None), f"get_first_header({key!r}) gave {got!r}")
    elif op == 2:
        run.log("has_header", key)
        run.check(r.has_header(key) == bool(same), f"has_header({key!r})")
    elif op == 3:
        run.log("add_header", key, value)
        r.add_header(key, value)
        model.append((key, value))
    elif op == 4:
        run.log("set_header", key, value)
        r.set_header(key, value)
        model[:] = [e for e in model if _low(e[0]) != _low(key)] + [(key, value)]
    elif op == 5:
        run.log("remove_header", key)
        r.remove_header(key)
        model[:] = [e for e in model if _low(e[0]) != _low(key)]
    else:
        run.log("get_single_header", key)
        try:
            got = r.get_single_header(key)
            run.check(len(same) == 1 and got == _as(same[0], key), f"get_single_header({key!r}) gave {got!r}")
        except ValueError:
            run.check(len(same) != 1, f"get_single_header({key!r}) refused {len(same)} value(s)")
    got = r.headers.values
    run.check(list(got) == model, f"entries {got!r}, expected {model!r}")


def some_calls(run: Run, calls: list[Any], catch: Any) -> None:
    """A few of `calls`, at random; the trace names each by its index."""
    for _ in range(run.rng.randrange(1, 10)):
        i = run.rng.randrange(len(calls))
        run.log("call", i)
        try:
            calls[i]()
        except catch as exc:
            run.log("raised", type(exc).__name__)


def plain(run: Run) -> None:
    rng = run.rng
    query = raw(run, QUERY)
    cookie = raw(run, COOKIE)
    if rng.random() < 0.5:
        # Plain, well-formed entries: the models apply.
        model: list[tuple[Any, Any]] = [(b"cookie", cookie)]
        model += [(n, v) for n, v in ((rng.choice(NAMES[2:]), rng.choice([b"1", b"x y"])) for _ in range(rng.randrange(4)))
                  if n != b"cookie"]
        run.log("Request.incoming", query, model)
        r = Request.incoming("GET", b"/p", query, list(model), None)
        run.check(r.query == query_model(query), f"query of {query!r}: {r.query!r}")
        key = rng.choice([b"a", b"b", b"", b"%41", b"\xc3\xa9"]).decode()
        want = scan_model(query, key.encode())
        if agrees_with_parse_qs(query, key):
            parsed = parse_qs(query.decode(), keep_blank_values=True).get(key, [])
            run.check(parsed == want, f"scan model {want!r} vs parse_qs {parsed!r} for {query!r}")
        got = r.get_query_params(key)
        run.check(got == want, f"get_query_params({key!r}) gave {got!r}, expected {want!r}")
        got = r.get_query_param(key)
        run.check(got == (want[0] if want else None), f"get_query_param({key!r}) gave {got!r}")
        run.check(r.cookies == cookie_model(cookie), f"cookies of {cookie!r}: {r.cookies!r}")
        check_one_byte_objects(run)
        for _ in range(rng.randrange(1, 8)):
            header_op(run, r, model)
        return
    headers = [an_entry(run) for _ in range(rng.randrange(6))]
    if rng.random() < 0.5:
        headers.append((rng.choice([b"host", "Host"]), rng.choice(HOSTS)))
    query_arg: Any = query if rng.random() < 0.7 else text_of(query)
    path = rng.choice([b"/", b"/a%2Fb", b"", b"/\xff", "/\u0109", b"//x/../y"])
    scope = a_scope(run, headers)
    run.log("Request.incoming", path, query_arg, headers, type(scope).__name__)
    r = Request.incoming(rng.choice(["GET", b"POST", "x"]), path, query_arg, headers, scope)
    calls = [lambda: r.query, lambda: r.cookies, lambda: r.host, lambda: r.url, lambda: r.path,
             lambda: r.scheme, lambda: r.client_ip, lambda: r.get_query_param(a_name(run)),
             lambda: r.get_query_params(a_name(run)), lambda: r.get_cookie(text_of(raw(run, COOKIE, 3))),
             lambda: r.get_headers(a_name(run)), lambda: r.get_first_header(a_name(run)),
             lambda: r.has_header(a_name(run)), lambda: r.set_header(a_name(run), a_value(run)),
             lambda: r.add_header(a_name(run), a_value(run)), lambda: r.remove_header(a_name(run)),
             lambda: r.htmx_target, lambda: r.etag, lambda: get_request_absolute_url(r),
             lambda: r.expect_100_continue(), lambda: r.charset]
    some_calls(run, calls, EXPECTED)
    check_one_byte_objects(run)


def evil_name(run: Run) -> Any:
    rng = run.rng
    name = rng.choice(NAMES).decode()
    kind = rng.randrange(4)
    if kind == 0:
        return EvilStr(name)
    if kind == 1:
        return Evil(name)
    if kind == 2:
        return EvilBytes(name.encode())
    return rng.choice([name, name.encode()])


def evil_value(run: Run) -> Any:
    rng = run.rng
    kind = rng.randrange(4)
    if kind == 0:
        return Evil(fresh(rng, "ab=; %"))
    if kind == 1:
        return EvilStr(fresh(rng, "ab=; %"))
    if kind == 2:
        return EvilBytes(fresh(rng, "ab=; %").encode())
    return fresh(rng, "ab=; %").encode()


def evil(run: Run) -> None:
    rng = run.rng
    headers = [(evil_name(run), evil_value(run)) for _ in range(rng.randrange(6))]
    # The constructor refuses bytes subclasses as names; the raw list takes them.
    built = [e for e in headers if not isinstance(e[0], EvilBytes)]
    scope = a_scope(run, headers) if rng.random() < 0.5 else None
    run.log("Request.incoming", headers)
    r = Request.incoming("GET", b"/", raw(run, QUERY), built, scope)
    values = r.headers.values
    values.extend(e for e in headers if isinstance(e[0], EvilBytes))

    def clear(rng):
        values.clear()

    def replace(rng):
        values[:] = [(evil_name(run), evil_value(run)) for _ in range(rng.randrange(3))]

    def grow(rng):
        values.extend((fresh(rng, "ab", short=True).encode(), fresh(rng).encode()) for _ in range(rng.randrange(1, 40)))

    def set_header(rng):
        r.set_header(rng.choice([b"host", b"cookie", "x-a"]), fresh(rng).encode())

    def rescope(rng):
        r.scope = a_scope(run, [(b"host", fresh(rng).encode())])

    for name, fn in (("clear", clear), ("replace", replace), ("grow", grow), ("set_header", set_header),
                     ("rescope", rescope)):
        run.on(name, fn)
    ops = [lambda: r.get_headers(evil_name(run)), lambda: r.get_first_header(evil_name(run)),
           lambda: r.get_single_header(evil_name(run)), lambda: r.has_header(evil_name(run)),
           lambda: r.add_header(evil_name(run), evil_value(run)),
           lambda: r.set_header(evil_name(run), evil_value(run)), lambda: r.remove_header(evil_name(run)),
           lambda: r.cookies, lambda: r.host, lambda: r.url, lambda: r.content_type(),
           lambda: r.declares_json(), lambda: r.get_cookie(EvilStr("a")), lambda: r.htmx_target_id,
           lambda: r.get_query_param(evil_name(run)), lambda: r.get_query_params(Evil("a")),
           lambda: list(r.headers.items()), lambda: get_request_absolute_url(r)]
    some_calls(run, ops, Exception)


one = plain_or_evil(plain, evil, EXPECTED)
