"""The decoder used when a body does not decode with its declared charset."""

from __future__ import annotations

from collections.abc import Callable

__all__ = ["EncodingsSettings", "encodings_settings", "default_decode"]


def default_decode(value: bytes) -> str:
    """UTF-8, else Latin-1 (which decodes any byte sequence)."""
    try:
        return value.decode("utf8")
    except UnicodeDecodeError:
        return value.decode("latin-1")


class EncodingsSettings:
    __slots__ = ("_decode",)

    def __init__(self) -> None:
        self._decode: Callable[[bytes], str] = default_decode

    def decode(self, value: bytes) -> str:
        return self._decode(value)

    def use(self, decode: Callable[[bytes], str] | None = None) -> None:
        """Installs `decode` as the fallback decoder; None restores the default."""
        if decode is not None and not callable(decode):
            raise TypeError("decode must be callable")
        self._decode = default_decode if decode is None else decode


encodings_settings = EncodingsSettings()
