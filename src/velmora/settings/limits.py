"""Size limits applied to request bodies, changeable at run time."""

from __future__ import annotations

from operator import index

__all__ = ["Limits", "limits"]

MiB = 1024 * 1024


class Limits:
    """Limits read by the body readers and the multipart parser on each request.

    - `max_body_size`: bytes of one request body (PayloadTooLarge above it);
    - `multipart_max_parts`: parts of one multipart body;
    - `multipart_max_headers_size`: bytes of the header block of one part;
    - `multipart_max_field_size`: bytes of one part that is not a file.
    """

    __slots__ = (
        "_max_body_size",
        "_multipart_max_parts",
        "_multipart_max_headers_size",
        "_multipart_max_field_size",
    )

    max_body_size: int
    multipart_max_parts: int
    multipart_max_headers_size: int
    multipart_max_field_size: int

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        """Restores the defaults."""
        self.max_body_size = 64 * MiB
        self.multipart_max_parts = 1000
        self.multipart_max_headers_size = 16 * 1024
        self.multipart_max_field_size = 1 * MiB

    def __repr__(self) -> str:
        fields = ", ".join(f"{name[1:]}={getattr(self, name)}" for name in self.__slots__)
        return f"Limits({fields})"


def _limit(slot: str) -> property:
    def get(self: Limits) -> int:
        return getattr(self, slot)

    def set(self: Limits, value: int) -> None:
        value = index(value)
        if value < 1:
            raise ValueError(f"{slot[1:]} must be a positive number, got {value}")
        setattr(self, slot, value)

    return property(get, set)


for _slot in Limits.__slots__:
    setattr(Limits, _slot[1:], _limit(_slot))
del _slot

limits = Limits()
