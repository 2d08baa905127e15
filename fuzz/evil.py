"""Objects whose special methods run Python code in the middle of a native call.

Every hook (``__str__``, ``__hash__``, ``__eq__``, ``__index__``, ``lower``,
``decode``, a tzinfo's ``utcoffset`` ...) may run one of the mutations that the
current iteration registered on its ``Chaos``: re-initialising the collection
being walked, clearing a list, replacing a dict attribute, renaming fields.
Random inputs alone never make a native loop lose its footing; these do.
"""

from __future__ import annotations

import datetime
import random
from collections.abc import Callable

Mutation = Callable[[random.Random], object]


class Chaos:
    """The mutations one iteration may run from inside hooks, and the dice."""

    current: Chaos | None = None

    def __init__(self, rng: random.Random, trace: list[str] | None = None, budget: int = 6,
                 only: list[str] | None = None) -> None:
        self.rng = rng
        self.mutations: list[tuple[str, Mutation]] = []
        self.budget = budget
        self.depth = 0
        self.trace = trace
        self.only = only

    def on(self, name: str, fn: Mutation) -> None:
        if self.only is None or name in self.only:
            self.mutations.append((name, fn))

    def fire(self, where: str) -> None:
        """Runs a random mutation, sometimes; never from inside another one."""
        if self.depth or self.budget <= 0 or not self.mutations or self.rng.random() < 0.25:
            return
        self.budget -= 1
        name, fn = self.rng.choice(self.mutations)
        if self.trace is not None:
            self.trace.append(f"    hook {where} runs {name}")
        self.depth += 1
        try:
            fn(self.rng)
        except Exception as exc:  # the mutation may itself be refused
            if self.trace is not None:
                self.trace.append(f"    ({name} raised {type(exc).__name__})")
        finally:
            self.depth -= 1


def fire(where: str) -> None:
    chaos = Chaos.current
    if chaos is not None:
        chaos.fire(where)


def fresh(rng: random.Random, alphabet: str = "abcXYZ-_.~ %é\u20ac", short: bool = False) -> str:
    """A new (never interned, never cached) str, so that freeing it frees memory."""
    n = rng.choice((1, 3, 8)) if short else rng.choice((1, 5, 40, 300))
    return "".join([rng.choice(alphabet) for _ in range(n)])


class EvilStr(str):
    def __hash__(self) -> int:
        fire("str.__hash__")
        return str.__hash__(self)

    def __eq__(self, other: object) -> bool:
        fire("str.__eq__")
        return str.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        fire("str.__ne__")
        return str.__ne__(self, other)

    def __str__(self) -> str:
        fire("str.__str__")
        return str.__str__(self)

    def lower(self) -> str:  # type: ignore[override]
        fire("str.lower")
        return str.lower(self)

    def encode(self, *args, **kwargs) -> bytes:  # type: ignore[override]
        fire("str.encode")
        return str.encode(self, *args, **kwargs)


class EvilBytes(bytes):
    def __hash__(self) -> int:
        fire("bytes.__hash__")
        return bytes.__hash__(self)

    def __eq__(self, other: object) -> bool:
        fire("bytes.__eq__")
        return bytes.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        fire("bytes.__ne__")
        return bytes.__ne__(self, other)

    def lower(self) -> bytes:  # type: ignore[override]
        fire("bytes.lower")
        return bytes.lower(self)

    def decode(self, *args, **kwargs) -> str:  # type: ignore[override]
        fire("bytes.decode")
        return bytes.decode(self, *args, **kwargs)


class Evil:
    """Any object: converts to `text`, hashes like it, compares by running a hook."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __str__(self) -> str:
        fire("obj.__str__")
        return self.text

    __repr__ = __str__

    def __bytes__(self) -> bytes:
        fire("obj.__bytes__")
        return self.text.encode("utf-8", "surrogatepass")

    def __hash__(self) -> int:
        fire("obj.__hash__")
        return hash(self.text)

    def __eq__(self, other: object) -> bool:
        fire("obj.__eq__")
        return self.text == other

    def __ne__(self, other: object) -> bool:
        fire("obj.__ne__")
        return self.text != other

    def __index__(self) -> int:
        fire("obj.__index__")
        return len(self.text)

    def __bool__(self) -> bool:
        fire("obj.__bool__")
        return bool(self.text)

    def lower(self) -> str:
        fire("obj.lower")
        return self.text.lower()

    def decode(self, *args) -> str:
        fire("obj.decode")
        return self.text


class EvilTZ(datetime.tzinfo):
    def __init__(self, minutes: int) -> None:
        self.minutes = minutes

    def utcoffset(self, dt: datetime.datetime | None) -> datetime.timedelta:
        fire("tzinfo.utcoffset")
        return datetime.timedelta(minutes=self.minutes)

    def dst(self, dt: datetime.datetime | None) -> datetime.timedelta:
        fire("tzinfo.dst")
        return datetime.timedelta(0)

    def tzname(self, dt: datetime.datetime | None) -> str:
        fire("tzinfo.tzname")
        return "EVL"


class EvilMatcher:
    """A validator whose match() runs a hook."""

    def __init__(self, accept: bool) -> None:
        self.accept = accept

    def match(self, segment: object) -> bool:
        fire("validator.match")
        return self.accept


def evil_text(rng: random.Random, text: str) -> object:
    """`text` as one of the hook-running kinds, or as itself."""
    kind = rng.randrange(4)
    if kind == 0:
        return EvilStr(text)
    if kind == 1:
        return Evil(text)
    return text


def evil_bytes(rng: random.Random, data: bytes) -> object:
    return EvilBytes(data) if rng.random() < 0.5 else data
