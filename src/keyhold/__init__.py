"""Identities of the users of an application."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["Identity"]


class Identity:
    """Who made a request: `claims` about the user, and how they were authenticated.

    An identity without an authentication mode is anonymous.
    """

    __slots__ = ("claims", "authentication_mode")

    def __init__(
        self,
        claims: Mapping[str, Any] | None = None,
        authentication_mode: str | None = None,
    ) -> None:
        self.claims: dict[str, Any] = dict(claims) if claims else {}
        self.authentication_mode = authentication_mode

    def is_authenticated(self) -> bool:
        return bool(self.authentication_mode)

    def __getitem__(self, name: str) -> Any:
        return self.claims[name]

    def get(self, name: str, default: Any = None) -> Any:
        return self.claims.get(name, default)

    def __repr__(self) -> str:
        return f"<Identity mode={self.authentication_mode!r} claims={self.claims!r}>"
