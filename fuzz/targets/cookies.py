"""Cookies: the Set-Cookie writer checked against a model and read back by
the parser, the parser and the date reader on random bytes, and on evil runs
tzinfos, names and values whose hooks rename, re-date or re-type the cookie
being written or compared."""

from __future__ import annotations

import datetime
from typing import Any
from urllib.parse import quote

from evil import Evil, EvilStr, EvilTZ, fresh
from targets import Run, plain_or_evil

from velmora.cookies import (Cookie, CookieError, CookieSameSiteMode, datetime_from_cookie_format,
                             datetime_to_cookie_format, parse_cookie, write_cookie_for_response)

EXPECTED = (ValueError, TypeError, OverflowError, UnicodeError, CookieError)

TEXT = "abcXYZ09-_.~ ;=,\"/%é\u20ac\U0001f600"
DATE_PIECES = [b"Wed, 21 Oct 2015 07:28:00 GMT", b"Sun, 06 Nov 1994 08:49:37 +0200",
               b"21 Oct 2015 07:28 -0000", b"Wed, 31 Feb 2015 07:28:00 GMT", b"", b"x", b"\xff",
               b"Wed, 21 Oct 99999 07:28:00 GMT", b"Wed, 21 Oct 2015 25:61:61 GMT"]


def text(run: Run, short: bool = True) -> str:
    return fresh(run.rng, TEXT, short=short)


def a_datetime(run: Run) -> datetime.datetime:
    rng = run.rng
    dt = datetime.datetime(rng.choice([1, 999, 1970, 2015, 9999]), rng.randrange(1, 13),
                           rng.randrange(1, 29), rng.randrange(24), rng.randrange(60), rng.randrange(60),
                           rng.choice([0, 999999]))
    roll = rng.random()
    if roll < 0.3:
        return dt.replace(tzinfo=datetime.timezone(datetime.timedelta(hours=rng.randrange(-12, 13))))
    if roll < 0.6 and run.evil:
        return dt.replace(tzinfo=EvilTZ(rng.randrange(-600, 600)))
    return dt


def a_cookie(run: Run) -> Cookie:
    rng = run.rng
    name, value = text(run), rng.choice([text(run), text(run, short=False), "", None])
    if run.evil and rng.random() < 0.3:
        name = EvilStr(name)
    if run.evil and value is not None and rng.random() < 0.3:
        value = EvilStr(value)
    kwargs: dict[str, Any] = {}
    if rng.random() < 0.5:
        kwargs["expires"] = a_datetime(run)
    for field in ("domain", "path"):
        if rng.random() < 0.5:
            kwargs[field] = rng.choice([text(run), ""])
    kwargs["http_only"] = rng.random() < 0.5
    kwargs["secure"] = rng.random() < 0.5
    kwargs["max_age"] = rng.choice([-1, 0, 1, 2**40])
    kwargs["same_site"] = rng.choice(list(CookieSameSiteMode))
    if run.evil and rng.random() < 0.2:
        kwargs[rng.choice(["max_age", "same_site"])] = Evil("x" * rng.randrange(4))
    run.log("Cookie", name, value, *kwargs.items())
    return Cookie(name, value, **kwargs)


def written(cookie: Cookie) -> bytes | None:
    """What the writer must produce (None: an expiry that leaves the calendar in UTC)."""
    parts = [quote(cookie.name).encode() + b"=" + quote(cookie.value).encode()]
    if cookie.expires is not None:
        when = cookie.expires  # an aware expiry is written as the same instant in UTC
        try:
            when = when - (when.utcoffset() or datetime.timedelta(0))
        except OverflowError:
            return None
        parts.append(b"Expires=" + when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode())
    if cookie.max_age >= 0:
        parts.append(b"Max-Age=%d" % cookie.max_age)
    if cookie.domain:
        parts.append(b"Domain=" + cookie.domain.encode())
    if cookie.path:
        parts.append(b"Path=" + cookie.path.encode())
    if cookie.http_only:
        parts.append(b"HttpOnly")
    mode = cookie.same_site
    if cookie.secure or mode in (CookieSameSiteMode.STRICT, CookieSameSiteMode.NONE):
        parts.append(b"Secure")
    names = {CookieSameSiteMode.STRICT: b"Strict", CookieSameSiteMode.LAX: b"Lax", CookieSameSiteMode.NONE: b"None"}
    if mode in names:
        parts.append(b"SameSite=" + names[mode])
    return b"; ".join(parts)


def plain(run: Run) -> None:
    rng = run.rng
    op = rng.randrange(3)
    if op == 0:
        cookie = a_cookie(run)
        want = written(cookie) if cookie.value is not None else None
        if want is None:
            return
        out = write_cookie_for_response(cookie)
        run.check(out == want, f"writer gave {out!r}, expected {want!r}")
        if all(";" not in (f or "") and "=" not in (f or "") for f in (cookie.domain, cookie.path)):
            back = parse_cookie(out)
            run.check(back.name == cookie.name and back.value == cookie.value, f"read back {out!r}")
    elif op == 1:
        raw = b"; ".join(rng.choice([b"a=b", text(run).encode(), b"max-age=" + rng.choice([b"1", b"x", b"9" * 30]),
                                     b"expires=" + rng.choice(DATE_PIECES), b"samesite=LAX", b"Secure",
                                     b"=", b";", b"\xff=1", b"path=", b"domain=\xc3"])
                         for _ in range(rng.randrange(1, 6)))
        if rng.random() < 0.3:
            raw = raw.replace(b"; ", b";")
        run.log("parse_cookie", raw)
        parse_cookie(raw)
    else:
        raw = rng.choice(DATE_PIECES)
        if raw and rng.random() < 0.5:
            i = rng.randrange(len(raw))
            raw = raw[:i] + bytes([rng.randrange(256)]) + raw[i + 1:]
        run.log("datetime_from_cookie_format", raw)
        datetime_from_cookie_format(raw)


def evil(run: Run) -> None:
    rng = run.rng
    cookies = [a_cookie(run) for _ in range(rng.randrange(1, 3))]

    def rename(rng):
        c = rng.choice(cookies)
        c.name, c.value = text(run, short=False), text(run, short=False)
        c.domain, c.path = text(run, short=False), text(run, short=False)

    def redate(rng):
        rng.choice(cookies).expires = rng.choice([None, a_datetime(run)])

    def retype(rng):
        c = rng.choice(cookies)
        c.max_age, c.same_site = rng.choice([-1, 5]), rng.choice(list(CookieSameSiteMode))

    def drop(rng):
        c = rng.choice(cookies)
        del c.domain
        del c.path

    for name, fn in (("rename", rename), ("redate", redate), ("retype", retype), ("drop", drop)):
        run.on(name, fn)
    for _ in range(rng.randrange(1, 6)):
        c = rng.choice(cookies)
        op = rng.randrange(6)
        try:
            if op < 2:
                run.log("write_cookie_for_response")
                write_cookie_for_response(c)
            elif op == 2:
                other = rng.choice(cookies + [EvilStr(text(run)), Evil("x"), b"v", "v"])
                run.log("eq", other)
                c == other, c != other  # noqa: B015
            elif op == 3:
                run.log("clone")
                cookies.append(c.clone())
            elif op == 4:
                run.log("datetime_to_cookie_format")
                datetime_to_cookie_format(c.expires or a_datetime(run))
            else:
                run.log("repr")
                repr(c)
        except Exception as exc:
            run.log("raised", type(exc).__name__)


one = plain_or_evil(plain, evil, EXPECTED)
