"""Fuzz targets: each module has ``EXPECTED`` (the exceptions plain inputs may
raise) and ``one(run)``, one iteration drawn from ``run.rng``."""

from __future__ import annotations

import random
from typing import Any

from evil import Chaos, Evil, EvilBytes, EvilStr


class Finding(Exception):
    """A wrong result: the fuzzer reports it like a crash."""


def safe_repr(value: Any, depth: int = 0) -> str:
    """repr() that never runs a hook (tracing must not change the run)."""
    if depth > 3:
        return "..."
    if isinstance(value, EvilStr):
        return f"EvilStr({str.__repr__(value)})"
    if isinstance(value, EvilBytes):
        return f"EvilBytes({bytes.__repr__(value)})"
    if isinstance(value, Evil):
        return f"Evil({value.text!r})"
    name = type(value).__name__
    if name == "Header":
        return f"Header({safe_repr(value.name, depth + 1)}, {safe_repr(value.value, depth + 1)})"
    if name == "Headers":
        return f"Headers({safe_repr(value.values, depth + 1)})"
    if type(value) in (str, bytes, int, float, bool, type(None)):
        return repr(value)
    if type(value) in (list, tuple):
        inner = ", ".join(safe_repr(v, depth + 1) for v in value[:8])
        more = ", ..." if len(value) > 8 else ""
        return f"[{inner}{more}]" if type(value) is list else f"({inner}{more})"
    if type(value) is dict:
        inner = ", ".join(f"{safe_repr(k, depth + 1)}: {safe_repr(v, depth + 1)}"
                          for k, v in list(value.items())[:8])
        return "{" + inner + "}"
    return f"<{name}>"


class Run:
    """One iteration: the random source, the hooks' mutations, the trace."""

    def __init__(self, rng: random.Random, trace: list[str] | None) -> None:
        self.rng = rng
        self.trace = trace
        self.chaos: Chaos | None = None

    @property
    def evil(self) -> bool:
        return self.chaos is not None

    def log(self, op: str, *args: Any) -> None:
        if self.trace is not None:
            line = f"{op}({', '.join(safe_repr(a) for a in args)})"
            self.trace.append(line)

    def on(self, name: str, fn) -> None:
        if self.chaos is not None:
            self.chaos.on(name, fn)

    def check(self, ok: bool, what: str) -> None:
        if not ok:
            raise Finding(what)


def plain_or_evil(plain, evil, expected):
    """One iteration that runs `evil` when hooks are on, else `plain`."""

    def one(run: Run) -> None:
        try:
            (evil if run.evil else plain)(run)
        except expected as exc:
            run.log("raised", type(exc).__name__)

    return one


def _load() -> dict[str, Any]:
    from . import contents, cookies, headers, messages, routing, scribe, url

    return {"url": url, "cookies": cookies, "headers": headers, "routing": routing,
            "messages": messages, "contents": contents, "scribe": scribe}


TARGETS = _load()
