"""The JSON functions of the framework: msgspec unless the application installs its own."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import msgspec

__all__ = ["JSONSettings", "json_settings"]

_encode = msgspec.json.encode


def default_loads(text: str | bytes) -> Any:
    return msgspec.json.decode(text)


def default_dumps(value: Any) -> str:
    return _encode(value).decode()


class JSONSettings:
    """`loads(str)` and `dumps(obj) -> str`; `dumps_bytes(obj)` gives UTF-8 bytes.

    `has_custom_loads` and `has_custom_dumps` are plain bools, so that the
    body readers can take the msgspec fast path without calling anything.
    """

    __slots__ = ("loads", "dumps", "has_custom_loads", "has_custom_dumps")

    loads: Callable[[str], Any]
    dumps: Callable[[Any], str]
    has_custom_loads: bool
    has_custom_dumps: bool

    def __init__(self) -> None:
        self.use()

    def use(
        self,
        loads: Callable[[str], Any] | None = None,
        dumps: Callable[[Any], str] | None = None,
    ) -> None:
        """Installs the given functions; a None argument restores msgspec's."""
        for name, func in (("loads", loads), ("dumps", dumps)):
            if func is not None and not callable(func):
                raise TypeError(f"{name} must be callable")
        self.loads = default_loads if loads is None else loads
        self.dumps = default_dumps if dumps is None else dumps
        self.has_custom_loads = loads is not None
        self.has_custom_dumps = dumps is not None

    def dumps_bytes(self, value: Any) -> bytes:
        if self.has_custom_dumps:
            return self.dumps(value).encode("utf8")
        return _encode(value)


json_settings = JSONSettings()
