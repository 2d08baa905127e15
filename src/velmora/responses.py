"""Response helpers: each call builds a new response with its own header list
(the writers append the content headers to that list, so it is never shared)."""

from __future__ import annotations

import mimetypes
import os
import re
from collections.abc import AsyncIterable, Callable, Iterable, Mapping
from typing import Any, Union
from urllib.parse import quote

from velmora.contents import (
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
)
from velmora.exceptions import NotFound
from velmora.messages import Request, Response, acquire_response
from velmora.scribe import write_sse
from velmora.utils.files import FILE_CHUNK_SIZE, file_range_chunks

__all__ = ["text", "html", "json", "redirect", "no_content", "file", "stream", "sse", "FILE_CHUNK_SIZE"]

HeadersArg = Union[Mapping[Any, Any], Iterable[tuple[Any, Any]], None]

_UNSAFE_VALUE = re.compile(rb"[\x00\r\n]")


def _bytes(value: Any) -> bytes:
    if type(value) is bytes:
        return value
    if isinstance(value, str):
        return value.encode("latin-1")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return str(value).encode("latin-1")


def _header_list(headers: HeadersArg) -> list[tuple[bytes, bytes]] | None:
    """A new raw header list; a value with CR, LF or NUL is refused (it would
    let a value written from user input start a header of its own)."""
    if not headers:
        return None
    items = headers.items() if isinstance(headers, Mapping) else headers
    result = []
    for name, value in items:
        value = _bytes(value)
        if _UNSAFE_VALUE.search(value):
            raise ValueError(f"header value for {name!r} holds CR, LF or NUL")
        result.append((_bytes(name).lower(), value))
    return result


def text(value: str, status: int = 200, headers: HeadersArg = None) -> Response:
    """A text/plain response in UTF-8."""
    return acquire_response(status, _header_list(headers) if headers else None, TextContent(value))


def html(value: str, status: int = 200, headers: HeadersArg = None) -> Response:
    """A text/html response in UTF-8."""
    return acquire_response(status, _header_list(headers) if headers else None, HTMLContent(value))


def json(data: Any, status: int = 200, headers: HeadersArg = None) -> Response:
    """An application/json response, compact (`{"id":42}`)."""
    return acquire_response(status, _header_list(headers) if headers else None, JSONContent(data))


def redirect(location: str | bytes, status: int = 302, headers: HeadersArg = None) -> Response:
    """A redirection to `location` (302 by default; 301, 303, 307, 308)."""
    extra = _header_list(headers) or []
    return acquire_response(status, _header_list([(b"location", location)]) + extra, None)  # type: ignore[operator]


def no_content(headers: HeadersArg = None) -> Response:
    """A 204 response."""
    return acquire_response(204, _header_list(headers), None)


# ----------------------------------------------------------------- streams

Provider = Callable[[], AsyncIterable[Any]]


def _provider(source: AsyncIterable[Any] | Provider) -> Provider:
    if callable(source) and not hasattr(source, "__aiter__"):
        return source
    if not hasattr(source, "__aiter__"):
        raise TypeError(f"expected an async iterable or a function returning one, got {type(source).__name__}")
    return lambda: source  # type: ignore[return-value]


def stream(
    source: AsyncIterable[bytes] | Provider,
    content_type: str | bytes = b"application/octet-stream",
    status: int = 200,
    headers: HeadersArg = None,
) -> Response:
    """A response whose body is produced part by part (chunked under HTTP/1.1)."""
    content = StreamedContent(_bytes(content_type), _provider(source), -1)
    return acquire_response(status, _header_list(headers), content)


def _event_bytes(events: AsyncIterable[Any]) -> Provider:
    async def parts() -> Any:
        try:
            async for event in events:
                if not isinstance(event, ServerSentEvent):
                    event = TextServerSentEvent(event if isinstance(event, str) else str(event))
                yield write_sse(event)
        finally:
            # the client may leave mid-stream: the source's own clean-up runs now
            close = getattr(events, "aclose", None)
            if close is not None:
                await close()

    return parts


def sse(events: AsyncIterable[ServerSentEvent | str], status: int = 200, headers: HeadersArg = None) -> Response:
    """A text/event-stream response: one event per item of `events` (a str
    is sent as the data of a plain event)."""
    if not hasattr(events, "__aiter__"):
        raise TypeError(f"expected an async iterable of events, got {type(events).__name__}")
    extra = _header_list(headers) or []
    content = StreamedContent(b"text/event-stream", _event_bytes(events), -1)
    return acquire_response(status, [(b"cache-control", b"no-cache")] + extra, content)


# ------------------------------------------------------------------- files

_MAX_DIGITS = 18  # a position with more digits lies past any file


def _position(digits: bytes) -> int | None:
    digits = digits.strip()
    if not digits:
        return -1
    if not digits.isdigit():
        return None
    if len(digits) > _MAX_DIGITS:
        return 1 << 62
    return int(digits)


def parse_range(value: bytes | str | None, size: int) -> tuple[int, int] | None | bool:
    """The (start, end exclusive) range asked by a Range header for `size`
    bytes: None when the header is absent, malformed, reversed or asks for
    several ranges (the whole body is sent); False when it cannot be
    satisfied (416)."""
    if not value:
        return None
    if isinstance(value, str):
        try:
            value = value.encode("latin-1")
        except UnicodeEncodeError:
            return None
    unit, eq, spec = value.partition(b"=")
    if not eq or unit.strip().lower() != b"bytes" or b"," in spec:
        return None
    first, dash, last = spec.partition(b"-")
    if not dash:
        return None
    start, end = _position(first), _position(last)
    if start is None or end is None:
        return None
    if start < 0:
        if end < 0:
            return None
        if end == 0 or size == 0:
            return False
        return max(size - end, 0), size
    if end >= 0:
        if end < start:
            return None
        end = min(end + 1, size)
    else:
        end = size
    if start >= size:
        return False
    return start, end


def _read_file(path: str, start: int, end: int) -> Provider:
    async def parts() -> Any:
        for chunk in file_range_chunks(path, start, end):
            yield chunk

    return parts


def _disposition(filename: str) -> bytes:
    ascii_name = filename.encode("ascii", "replace").decode().replace('"', "").replace("\\", "")
    ascii_name = re.sub(r"[\x00-\x1f\x7f]", "", ascii_name) or "download"
    value = f'attachment; filename="{ascii_name}"'
    if ascii_name != filename:
        value += f"; filename*=UTF-8''{quote(filename, safe='')}"
    return value.encode()


def file(
    path: str | os.PathLike[str],
    request: Request | None = None,
    *,
    content_type: str | bytes | None = None,
    filename: str | None = None,
    headers: HeadersArg = None,
) -> Response:
    """A file response.  With the request, a single byte range asked by its
    Range header is answered with 206 and Content-Range (416 when it lies
    beyond the file).  `filename` makes it a download with that name.

    RSGI servers send the file (or the range) themselves; ASGI servers get it
    in parts read from disk."""
    path = os.fspath(path)
    try:
        size = os.stat(path).st_size
    except (FileNotFoundError, NotADirectoryError):
        raise NotFound() from None
    if not os.path.isfile(path):
        raise NotFound()
    if content_type is None:
        content_type = mimetypes.guess_type(path)[0] or "application/octet-stream"
    raw = [(b"accept-ranges", b"bytes")]
    if filename is not None:
        raw.append((b"content-disposition", _disposition(filename)))
    raw += _header_list(headers) or []
    asked = request.get_first_header(b"range") if request is not None else None
    wanted = parse_range(asked, size)
    if wanted is False:
        raw.append((b"content-range", b"bytes */%d" % size))
        return acquire_response(416, raw, None)
    media = _bytes(content_type)
    if wanted is None:
        content = StreamedContent(media, _read_file(path, 0, size), size, file_path=path)
        return acquire_response(200, raw, content)
    start, end = wanted  # type: ignore[misc]
    raw.append((b"content-range", b"bytes %d-%d/%d" % (start, end - 1, size)))
    content = StreamedContent(media, _read_file(path, start, end), end - start, file_path=path, file_range=(start, end))
    return acquire_response(206, raw, content)
