"""Companion library of the velmora extension modules."""

ABI_VERSION: int
HEADER_NAMES: tuple[bytes, ...]
METHODS: tuple[str, ...]
CONTENT_TYPES: tuple[bytes, ...]
