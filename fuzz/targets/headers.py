"""Headers and Header: random operation sequences, checked against a list model
on plain inputs; on evil ones, names and values whose hooks re-initialise,
clear or grow the collection being walked."""

from __future__ import annotations

from typing import Any

from evil import Evil, EvilBytes, EvilStr, fresh
from targets import Run

from velmora.headers import Header, Headers

EXPECTED = (TypeError, ValueError, KeyError, IndexError, UnicodeError, AttributeError)

NAMES = ["a", "A", "content-type", "Content-Type", "x-id", "X-ID", "set-cookie", "host", "b-"]
VALUES = ["1", "", "text/plain", "a b", "x" * 40]


def plain_name(run: Run) -> Any:
    name = run.rng.choice(NAMES)
    return name.encode() if run.rng.random() < 0.6 else name


def plain_value(run: Run) -> Any:
    value = run.rng.choice(VALUES)
    return value.encode() if run.rng.random() < 0.6 else value


def any_name(run: Run) -> Any:
    rng = run.rng
    roll = rng.random()
    if not run.evil or roll < 0.4:
        return plain_name(run)
    text = rng.choice(NAMES + ["\xff", "\u20ac", "é"])
    if roll < 0.6:
        return EvilStr(text)
    if roll < 0.75:
        return EvilBytes(text.encode("latin-1", "replace"))
    if roll < 0.9:
        return Evil(text)
    return rng.choice([None, 3, b"\xff\xfe", "\u20ac"])


def any_value(run: Run) -> Any:
    rng = run.rng
    roll = rng.random()
    if not run.evil or roll < 0.4:
        return plain_value(run)
    if roll < 0.8:
        return Evil(fresh(rng, "abc é"))
    return rng.choice([None, 5, EvilStr("v"), EvilBytes(b"v"), "\u20ac"])


def entries(run: Run, n: int) -> list[Any]:
    out: list[Any] = [(any_name(run), any_value(run)) for _ in range(n)]
    if run.evil and run.rng.random() < 0.2:
        out.append(run.rng.choice([(b"a",), [b"a", b"1"], None, (b"a", b"1", b"x")]))
    return out


# -- the model: what the operations must do on plain (ASCII bytes/str) input --

def _norm(key: Any) -> tuple[bytes, str]:
    if type(key) is bytes:
        return key.lower(), key.lower().decode("latin-1")
    low = key.lower()
    return low.encode("latin-1"), low


def _matches(name: Any, key: Any) -> bool:
    low_b, low_s = _norm(key)
    return name.lower() == (low_b if type(name) is bytes else low_s)


def _convert(value: Any, key: Any) -> Any:
    if type(key) is bytes:
        return value if type(value) is bytes else value.encode("latin-1")
    return value if type(value) is str else value.decode("latin-1")


def _stored(name: Any, value: Any) -> tuple[Any, Any]:
    return (name.lower() if type(name) is bytes else name, value)


def plain_op(run: Run, h: Headers, model: list[tuple[Any, Any]]) -> None:
    rng = run.rng
    op = rng.randrange(9)
    key = plain_name(run)
    if op == 0:
        value = plain_value(run)
        run.log("add", key, value)
        h.add(key, value)
        model.append(_stored(key, value))
    elif op == 1:
        value = plain_value(run)
        run.log("set", key, value)
        h[key] = value
        model[:] = [e for e in model if not _matches(e[0], key)] + [_stored(key, value)]
    elif op == 2:
        run.log("remove", key)
        h.remove(key)
        model[:] = [e for e in model if not _matches(e[0], key)]
    elif op == 3:
        run.log("get", key)
        got = h.get(key)
        want = tuple(_convert(v, key) for n, v in model if _matches(n, key))
        run.check(got == want, f"get({key!r}) gave {got!r}, expected {want!r}")
    elif op == 4:
        run.log("contains", key)
        run.check((key in h) == any(_matches(n, key) for n, _ in model), f"{key!r} in headers")
    elif op == 5:
        run.log("get_first", key)
        want = [_convert(v, key) for n, v in model if _matches(n, key)]
        got = h.get_first(key)
        run.check(got == (want[0] if want else None), f"get_first({key!r}) gave {got!r}")
    elif op == 6:
        run.log("get_tuples", key)
        got = h.get_tuples(key)
        run.check(got == [e for e in model if _matches(e[0], key)], f"get_tuples({key!r})")
    elif op == 7:
        run.log("clone")
        copy = h.clone()
        run.check(copy.values == model and copy.values is not h.values, "clone")
    else:
        extra = entries(run, rng.randrange(3))
        run.log("merge", extra)
        h.merge(extra)
        model.extend(extra)
    run.check(h.values == model, f"entries {h.values!r}, expected {model!r}")


def evil_op(run: Run, h: Headers, others: list[Any]) -> None:
    rng = run.rng
    op = rng.randrange(20)
    key = any_name(run)
    if op == 0:
        run.log("get", key)
        h.get(key)
    elif op == 1:
        run.log("get_first", key)
        h.get_first(key)
    elif op == 2:
        run.log("get_single", key)
        h.get_single(key)
    elif op == 3:
        run.log("get_tuples", key)
        h.get_tuples(key)
    elif op == 4:
        run.log("remove", key)
        h.remove(key)
    elif op == 5:
        run.log("contains", key)
        key in h  # noqa: B015
    elif op == 6:
        value = any_value(run)
        run.log("add", key, value)
        h.add(key, value)
    elif op == 7:
        value = any_value(run)
        run.log("set", key, value)
        h.set(key, value)
    elif op == 8:
        run.log("keys")
        h.keys()
    elif op == 9:
        run.log("clone")
        others.append(h.clone())
    elif op == 10:
        extra = entries(run, rng.randrange(4))
        run.log("merge", extra)
        h.merge(extra)
    elif op == 11:
        extra = {any_name(run): any_value(run) for _ in range(rng.randrange(4))}
        run.log("update", extra)
        h.update(extra)
    elif op == 12:
        extra = entries(run, rng.randrange(4))
        run.log("add_many", extra)
        h.add_many(extra if rng.random() < 0.5 else dict(e for e in extra if type(e) is tuple and len(e) == 2))
    elif op == 13:
        other = rng.choice(others) if others else Headers(entries(run, 2))
        run.log("add_op", other)
        kind = rng.randrange(3)
        if kind == 0:
            h + other
        elif kind == 1:
            other + h
        else:
            h += other
    elif op == 14:
        run.log("iterate")
        for _ in h:
            pass
        list(h.items())
    elif op == 15:
        run.log("repr")
        repr(h)
    elif op == 16:
        a, b = Header(key, any_value(run)), Header(any_name(run), any_value(run))
        others.extend((a, b))
        run.log("header_eq", a, b)
        a == b, a != b  # noqa: B015
        repr(a), tuple(b)
    elif op == 17 and others:
        a, b = rng.choice(others), rng.choice(others)
        run.log("eq_others")
        a == b  # noqa: B015
    elif op == 18:
        run.log("getitem_int")
        h[rng.randrange(-2, 3)]
    else:
        run.log("delitem", key)
        del h[key]


def one(run: Run) -> None:
    rng = run.rng
    if not run.evil:
        model = [_stored(plain_name(run), plain_value(run)) for _ in range(rng.randrange(5))]
        run.log("Headers", model)
        h = Headers(list(model))
        for _ in range(rng.randrange(1, 12)):
            plain_op(run, h, model)
        return
    start = entries(run, rng.randrange(6))
    run.log("Headers", start)
    h = Headers(start)
    others: list[Any] = []

    def reinit(rng):
        h.__init__(entries(run, rng.randrange(3)) if rng.random() < 0.8 else None)

    def clear(rng):
        h.values.clear()

    def grow(rng):
        h.values.extend(entries(run, rng.randrange(1, 40)))

    def shrink(rng):
        del h.values[: rng.randrange(1, 4)]

    def reinit_other(rng):
        if others:
            victim = rng.choice(others)
            if type(victim) is Header:
                victim.__init__(fresh(rng, "xyz"), Evil(fresh(rng)))
            else:
                victim.__init__([])

    def add(rng):
        h.add(fresh(rng, "ab", short=True).encode(), fresh(rng).encode("utf-8"))

    def remove(rng):
        h.remove(rng.choice([b"a", "a", b"content-type"]))

    for name, fn in (("reinit", reinit), ("clear", clear), ("grow", grow), ("shrink", shrink),
                     ("reinit_other", reinit_other), ("add", add), ("remove", remove)):
        run.on(name, fn)
    for _ in range(rng.randrange(1, 10)):
        try:
            evil_op(run, h, others)
        except Exception as exc:
            run.log("raised", type(exc).__name__)
