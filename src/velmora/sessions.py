"""The per-user session: a dictionary that remembers whether it was changed."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

__all__ = ["Session"]

_MISSING = object()


class Session:
    """A str-keyed mapping; `modified` turns true on any change."""

    __slots__ = ("_values", "modified")

    def __init__(self, values: Mapping[str, Any] | None = None) -> None:
        self._values: dict[str, Any] = dict(values) if values else {}
        self.modified = False

    def __getitem__(self, name: str) -> Any:
        return self._values[name]

    def __setitem__(self, name: str, value: Any) -> None:
        self._values[name] = value
        self.modified = True

    def __delitem__(self, name: str) -> None:
        del self._values[name]
        self.modified = True

    def __contains__(self, name: object) -> bool:
        return name in self._values

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Session):
            return self._values == other._values
        if isinstance(other, Mapping):
            return self._values == dict(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<Session {self._values!r}>"

    def get(self, name: str, default: Any = None) -> Any:
        return self._values.get(name, default)

    def set(self, name: str, value: Any) -> None:
        self[name] = value

    def update(self, values: Mapping[str, Any]) -> None:
        if values:
            self._values.update(values)
            self.modified = True

    def pop(self, name: str, default: Any = _MISSING) -> Any:
        if name in self._values:
            self.modified = True
            return self._values.pop(name)
        if default is _MISSING:
            raise KeyError(name)
        return default

    def clear(self) -> None:
        if self._values:
            self._values.clear()
            self.modified = True

    def keys(self):
        return self._values.keys()

    def values(self):
        return self._values.values()

    def items(self):
        return self._values.items()

    def to_dict(self) -> dict[str, Any]:
        return dict(self._values)
