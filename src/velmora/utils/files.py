"""Reading files in pieces, for the response writers."""

from __future__ import annotations

from collections.abc import Iterator

__all__ = ["FILE_CHUNK_SIZE", "file_range_chunks"]

FILE_CHUNK_SIZE = 65536


def file_range_chunks(path: str, start: int, end: int, chunk_size: int = FILE_CHUNK_SIZE) -> Iterator[bytes]:
    """Bytes `start` to `end` (exclusive) of the file at `path`, at most
    `chunk_size` at a time; stops early where the file ends."""
    with open(path, "rb") as handle:
        handle.seek(start)
        left = end - start
        while left > 0:
            chunk = handle.read(min(left, chunk_size))
            if not chunk:
                break
            left -= len(chunk)
            yield chunk
