"""Python code that runs in the middle of a Headers or Header operation (a
value's __str__, a name's __eq__, a finaliser run by garbage collection)
may replace or free what the native code is walking.  Each case runs in
a fresh interpreter with the debug allocator and checks its result."""

from __future__ import annotations

import textwrap

import pytest
from isolated import run_isolated

LEAK_REPEAT = False  # the cases run in child interpreters

PRELUDE = textwrap.dedent(
    """
    import gc
    from velmora.headers import Header, Headers

    def fresh(ch, n):
        return "".join([ch] * n)

    def collecting_during_next_allocation(finalizer):
        # A cycle with a finaliser, collected by the next allocation of a
        # container object (at once before 3.12, after the call since).
        class Trap:
            def __del__(self):
                finalizer()
        gc.collect()
        trap = Trap(); trap.cycle = trap; del trap
        gc.set_threshold(1)

    def restore_gc():
        gc.set_threshold(700, 10, 10); gc.collect()
    """
)

CASES = {
    "get: a value's __str__ re-initialises the headers": """
        class Evil:
            def __str__(self): h.__init__([]); return "x"
        for key, expected in [(b"a", (b"x", b"1", b"2")), ("a", ("x", "1", "2"))]:
            h = Headers([(b"a", Evil()), (b"a", b"1"), (b"a", b"2")])
            assert h.get(key) == expected and h.values == []
            h = Headers([(b"a", Evil()), (b"a", b"1"), (b"a", b"2")])
            assert h[key] == expected
    """,
    "get_first and contains: a name's __str__ re-initialises the headers": """
        class Name:
            def __str__(self): h.__init__([]); return "A"
        h = Headers([(Name(), fresh("v", 40)), (b"a", b"1")])
        assert h.get_first(b"a") == b"v" * 40
        h = Headers([(Name(), b"1"), (b"b", b"2")])
        assert h.contains(b"b") and h.values == []
    """,
    "add: garbage collection replaces the list": """
        h = Headers([(fresh("x", 40).encode(), b"1")])
        collecting_during_next_allocation(lambda: h.__init__([]))
        try:
            h.add(b"a", b"1")
        finally:
            restore_gc()
        assert h.values in ([(b"a", b"1")], [])
    """,
    "remove: a dropped value's finaliser re-initialises the headers": """
        class Value:
            def __del__(self): h.__init__([(b"z", b"9")])
        h = Headers([(b"a", Value()), (b"b", b"2")])
        h.remove(b"a")
        assert h.values == [(b"z", b"9")]
    """,
    "Header equality: the other name's __eq__ re-initialises the left header": """
        class Name:
            def __eq__(self, other): left.__init__(fresh("c", 40), fresh("d", 40)); return NotImplemented
            def __str__(self): return "A" * 40
        left = Header(fresh("a", 40), fresh("b", 40))
        right = Header(Name(), b"v")
        assert (left == right) is False
        left = Header(fresh("a", 40), fresh("b", 40))
        right = Header(Name(), fresh("b", 40))
        assert left == right and left.name == "c" * 40
    """,
    "Header iteration: garbage collection re-initialises the header": """
        hd = Header(fresh("n", 40), fresh("v", 40))
        collecting_during_next_allocation(lambda: hd.__init__(fresh("m", 40), fresh("w", 40)))
        try:
            pair = tuple(hd)
        finally:
            restore_gc()
        assert pair in (("n" * 40, "v" * 40), ("m" * 40, "w" * 40))
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_reentrant_python_code_is_survived(name):
    run_isolated(PRELUDE + textwrap.dedent(CASES[name]))
