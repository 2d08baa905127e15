"""Python code that runs while a cookie is compared, copied or written (an
expiry's tzinfo, an operand's __eq__, a finaliser run by garbage
collection) may assign new values to the cookie's fields and free the old
ones.  Each case runs in a fresh interpreter with the debug allocator and checks
its result."""

from __future__ import annotations

import textwrap

import pytest
from isolated import run_isolated

LEAK_REPEAT = False  # the cases run in child interpreters

PRELUDE = textwrap.dedent(
    """
    import datetime, gc
    from velmora.cookies import Cookie, datetime_to_cookie_format, write_cookie_for_response

    def fresh(ch, n):
        return "".join([ch] * n)

    def cookie(**kw):
        return Cookie(fresh("n", 60), fresh("v", 300), domain=fresh("d", 300), path=fresh("p", 300), **kw)

    EXPECTED = ("n" * 60 + "=" + "v" * 300 + "; Expires=Tue, 31 Dec 2019 23:00:00 GMT; Domain=" + "d" * 300
                + "; Path=" + "p" * 300).encode()
    """
)

CASES = {
    "the expiry's tzinfo renames the cookie while it is written": """
        class TZ(datetime.tzinfo):
            def utcoffset(self, dt):
                c.name, c.value, c.domain, c.path = fresh("N", 60), fresh("V", 300), fresh("D", 300), fresh("P", 300)
                return datetime.timedelta(hours=1)
        c = cookie(expires=datetime.datetime(2020, 1, 1, tzinfo=TZ()))
        assert write_cookie_for_response(c) == EXPECTED
        assert c.value == "V" * 300
    """,
    "the expiry's tzinfo replaces the expiry while it is written": """
        class TZ(datetime.tzinfo):
            def utcoffset(self, dt):
                c.expires = datetime.datetime(2030, 6, 1, 12, fresh("1", 1).count("1"))
                return datetime.timedelta(hours=1)
        c = cookie(expires=datetime.datetime(2020, 1, 1, tzinfo=TZ()))
        assert write_cookie_for_response(c) == EXPECTED
    """,
    "equality: the other operand's __eq__ renames the left cookie": """
        class Name(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                left.name, left.value = fresh("z", 50), fresh("w", 50)
                return NotImplemented
        left = Cookie(fresh("n", 50), fresh("v", 50))
        assert left == Cookie(Name(fresh("n", 50)), fresh("v", 50))
        left = Cookie(fresh("n", 50), fresh("v", 50))
        assert left == Name(fresh("v", 50)) and left.value == "w" * 50
    """,
    "clone: garbage collection renames the cookie": """
        c = cookie()
        class Trap:
            def __del__(self):
                c.name, c.value, c.domain, c.path = fresh("N", 60), fresh("V", 300), fresh("D", 300), fresh("P", 300)
        gc.collect()
        trap = Trap(); trap.cycle = trap; del trap
        gc.set_threshold(1)
        try:
            copy = c.clone()
        finally:
            gc.set_threshold(700, 10, 10); gc.collect()
        assert (copy.name, copy.value, copy.domain, copy.path) in [
            ("n" * 60, "v" * 300, "d" * 300, "p" * 300), ("N" * 60, "V" * 300, "D" * 300, "P" * 300)]
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_reentrant_python_code_is_survived(name):
    run_isolated(PRELUDE + textwrap.dedent(CASES[name]))
