"""Size limits applied to requests, changeable at run time."""

from __future__ import annotations

from operator import index

__all__ = ["Limits", "limits"]

MiB = 1024 * 1024


class Limits:
    """Limits read by the body readers and the multipart parser on each request.

    - `max_body_size`: bytes of one request body (PayloadTooLarge above it);
    - `multipart_max_parts`: parts of one multipart body;
    - `multipart_max_headers_size`: bytes of the header block of one part;
    - `multipart_max_field_size`: bytes of one part that is not a file;
    - `max_header_count`: header lines of one request (431 above it);
    - `max_headers_size`: bytes of all header names and values (431);
    - `max_path_length`: bytes of the request path, query excluded (414).

    The last three are checked by the application's entry points before a
    request object is built, on ASGI and RSGI alike; None turns one off (for
    a server or proxy in front that enforces its own: the header size check
    costs a pass over the headers on every request).
    """

    __slots__ = (
        "_max_body_size",
        "_multipart_max_parts",
        "_multipart_max_headers_size",
        "_multipart_max_field_size",
        "_max_header_count",
        "_max_headers_size",
        "_max_path_length",
    )

    max_body_size: int
    multipart_max_parts: int
    multipart_max_headers_size: int
    multipart_max_field_size: int
    max_header_count: int | None
    max_headers_size: int | None
    max_path_length: int | None

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        """Restores the defaults."""
        self.max_body_size = 64 * MiB
        self.multipart_max_parts = 1000
        self.multipart_max_headers_size = 16 * 1024
        self.multipart_max_field_size = 1 * MiB
        self.max_header_count = 100
        self.max_headers_size = 32 * 1024
        self.max_path_length = 8 * 1024

    def __repr__(self) -> str:
        fields = ", ".join(f"{name[1:]}={getattr(self, name)}" for name in self.__slots__)
        return f"Limits({fields})"


# Limits that the entry points check and that may be turned off.
_OPTIONAL = frozenset(("_max_header_count", "_max_headers_size", "_max_path_length"))


def _limit(slot: str) -> property:
    optional = slot in _OPTIONAL

    def get(self: Limits) -> int | None:
        return getattr(self, slot)

    def set(self: Limits, value: int | None) -> None:
        if value is None and optional:
            setattr(self, slot, None)
            return
        value = index(value)
        if value < 1:
            raise ValueError(f"{slot[1:]} must be a positive number, got {value}")
        setattr(self, slot, value)

    return property(get, set)


for _slot in Limits.__slots__:
    setattr(Limits, _slot[1:], _limit(_slot))
del _slot

limits = Limits()
