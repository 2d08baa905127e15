"""Streaming reader of multipart/form-data bodies.

`parse_multipart_async` feeds the chunks of a body to python-multipart's
push parser and hands out the parts as they arrive; the content of a part is
an asynchronous stream of the chunks the parser produces, so an upload is
never held in memory as a whole. The parts come in order: requesting the
next part skips whatever the consumer left unread of the current one.

The body is rejected with `BadRequest` when it is malformed, when a part's
headers exceed `limits.multipart_max_headers_size` bytes or when it ends
before its closing boundary, and with `PayloadTooLarge` when it holds more
than `limits.multipart_max_parts` parts or a part that is not a file exceeds
`limits.multipart_max_field_size` bytes.
"""

from __future__ import annotations

import inspect
from collections import deque
from collections.abc import AsyncIterable, AsyncIterator
from typing import Any

from python_multipart.exceptions import MultipartParseError
from python_multipart.multipart import MultipartParser, parse_options_header

from velmora.exceptions import BadRequest, BadRequestFormat, InvalidOperation, PayloadTooLarge
from velmora.settings.encodings import encodings_settings
from velmora.settings.limits import limits

__all__ = ["MultipartPart", "get_boundary_from_header", "parse_multipart_async"]

# The longest boundary the parser accepts (RFC 2046 allows 70 characters).
MAX_BOUNDARY_LENGTH = 256

# Newer parsers limit single header lines and the number of headers per part
# on their own; they are given the configured size so that the limit on the
# whole header block is the one that applies.
_PARSER_HAS_HEADER_LIMITS = "max_header_size" in inspect.signature(MultipartParser).parameters

# Events queued by the parser's callbacks for the consumer.
_PART, _DATA, _PART_END, _END = range(4)
_NO_MORE = object()


def _options(value: bytes) -> tuple[bytes, dict[bytes, bytes]]:
    main, options = parse_options_header(value)
    return main, {key.strip().lower(): item for key, item in options.items()}


def get_boundary_from_header(content_type: bytes) -> bytes:
    """The boundary parameter of a multipart content type.

    Raises `ValueError` when it is missing or empty.
    """
    if not isinstance(content_type, bytes):
        raise TypeError(f"content_type must be bytes, got {type(content_type).__name__}")
    boundary = _options(content_type)[1].get(b"boundary")
    if not boundary:
        raise ValueError("The multipart content type has no boundary")
    return boundary


class MultipartPart:
    """One part of a multipart body.

    `name`, `file_name`, `content_type` and `charset` come from the part's
    headers (`file_name`, `content_type` and `charset` may be None); `headers`
    holds them raw. `stream()` yields the content in chunks and can be
    iterated once, before the next part is requested.
    """

    __slots__ = ("name", "file_name", "content_type", "charset", "headers", "_reader", "_state")

    _READY, _STREAMING, _DONE, _CLOSED = range(4)

    def __init__(
        self,
        reader: _Reader,
        name: str,
        file_name: str | None,
        content_type: str | None,
        charset: str | None,
        headers: list[tuple[bytes, bytes]],
    ) -> None:
        self.name = name
        self.file_name = file_name
        self.content_type = content_type
        self.charset = charset
        self.headers = headers
        self._reader = reader
        self._state = self._READY

    def __repr__(self) -> str:
        return f"<MultipartPart name={self.name!r} file_name={self.file_name!r}>"

    async def stream(self) -> AsyncIterator[bytes]:
        if self._state != self._READY:
            raise InvalidOperation("The content of this part was already read or skipped")
        self._state = self._STREAMING
        read = self._reader.read_data
        while True:
            if self._state != self._STREAMING:
                # The next part was requested, or the parts closed, meanwhile.
                raise InvalidOperation("The rest of this part was skipped")
            chunk = await read()
            if chunk is None:
                break
            yield chunk
        self._state = self._DONE

    async def skip(self) -> None:
        """Discards what is left of the content."""
        if self._state < self._DONE:
            self._state = self._DONE
            while await self._reader.read_data() is not None:
                pass


class _Reader:
    """Drives the parser with the body's chunks and queues what it finds."""

    def __init__(self, chunks: AsyncIterator[bytes | None], boundary: bytes) -> None:
        self._chunks = chunks
        self._events: deque[tuple[int, Any]] = deque()
        self._started = False  # some body bytes arrived
        self._ended = False  # the closing boundary was parsed
        self._error: Exception | None = None
        self._max_parts = limits.multipart_max_parts
        self._max_headers_size = limits.multipart_max_headers_size
        self._max_field_size = limits.multipart_max_field_size
        self._part_count = 0
        self._headers: list[tuple[bytes, bytes]] = []
        self._header_name = bytearray()
        self._header_value = bytearray()
        self._headers_size = 0
        self._field_size = -1  # bytes of the current part when it is not a file
        callbacks = {
            "on_part_begin": self._on_part_begin,
            "on_header_field": self._on_header_field,
            "on_header_value": self._on_header_value,
            "on_header_end": self._on_header_end,
            "on_headers_finished": self._on_headers_finished,
            "on_part_data": self._on_part_data,
            "on_part_end": self._on_part_end,
            "on_end": self._on_end,
        }
        if _PARSER_HAS_HEADER_LIMITS:
            size = self._max_headers_size
            self._parser = MultipartParser(
                boundary, callbacks, max_header_size=size, max_header_count=size
            )
        else:
            self._parser = MultipartParser(boundary, callbacks)

    async def next_event(self) -> tuple[int, Any]:
        if self._error is not None:
            raise self._error
        events = self._events
        while not events:
            if self._ended:
                return (_END, None)
            try:
                chunk = await anext(self._chunks, _NO_MORE)
                if chunk is _NO_MORE:
                    if not self._started:
                        # No content at all: a form without fields.
                        return (_END, None)
                    raise BadRequest("The multipart body ended before its closing boundary")
                if chunk:
                    self._started = True
                    self._write(chunk)
            except Exception as error:
                # The parser may be left mid-chunk: nothing after this can be trusted.
                self._error = error
                raise
        return events.popleft()

    async def read_data(self) -> bytes | None:
        """The next chunk of the current part, None at its end."""
        kind, value = await self.next_event()
        if kind == _DATA:
            return value
        if kind != _PART_END:
            raise BadRequest("Invalid multipart body")
        return None

    def _write(self, chunk: bytes) -> None:
        try:
            self._parser.write(chunk)
        except MultipartParseError as error:
            raise BadRequestFormat(f"Invalid multipart body: {error}", error) from error

    # Parser callbacks; they run inside `_write`.

    def _on_part_begin(self) -> None:
        self._part_count += 1
        if self._part_count > self._max_parts:
            raise PayloadTooLarge(f"The multipart body has more than {self._max_parts} parts")
        self._headers = []
        self._headers_size = 0

    def _count_header_bytes(self, size: int) -> None:
        self._headers_size += size
        if self._headers_size > self._max_headers_size:
            raise BadRequest(
                f"The headers of a multipart part exceed {self._max_headers_size} bytes"
            )

    def _on_header_field(self, data: bytes, start: int, end: int) -> None:
        self._count_header_bytes(end - start)
        self._header_name += data[start:end]

    def _on_header_value(self, data: bytes, start: int, end: int) -> None:
        self._count_header_bytes(end - start)
        self._header_value += data[start:end]

    def _on_header_end(self) -> None:
        name = bytes(self._header_name).strip().lower()
        self._headers.append((name, bytes(self._header_value).strip()))
        self._header_name.clear()
        self._header_value.clear()

    def _on_headers_finished(self) -> None:
        disposition = content_type = None
        for name, value in self._headers:
            if name == b"content-disposition":
                disposition = value
            elif name == b"content-type":
                content_type = value
        if disposition is None:
            raise BadRequest("A multipart part has no Content-Disposition header")
        options = _options(disposition)[1]
        raw_name = options.get(b"name")
        if raw_name is None:
            raise BadRequest("A multipart part has no name")
        try:
            name = raw_name.decode("utf8")
        except UnicodeDecodeError:
            raise BadRequest("The name of a multipart part is not valid UTF-8") from None
        raw_file_name = options.get(b"filename")
        file_name = None if raw_file_name is None else encodings_settings.decode(raw_file_name)
        media_type = charset = None
        if content_type:
            main, type_options = _options(content_type)
            media_type = main.decode("latin-1") or None
            raw_charset = type_options.get(b"charset")
            if raw_charset:
                charset = raw_charset.decode("latin-1")
        self._field_size = -1 if raw_file_name is not None else 0
        part = MultipartPart(self, name, file_name, media_type, charset, self._headers)
        self._events.append((_PART, part))

    def _on_part_data(self, data: bytes, start: int, end: int) -> None:
        if self._field_size >= 0:
            self._field_size += end - start
            if self._field_size > self._max_field_size:
                raise PayloadTooLarge(
                    f"A multipart field exceeds {self._max_field_size} bytes"
                )
        self._events.append((_DATA, data[start:end]))

    def _on_part_end(self) -> None:
        self._events.append((_PART_END, None))

    def _on_end(self) -> None:
        self._ended = True
        self._events.append((_END, None))


async def parse_multipart_async(
    stream: AsyncIterable[bytes | None], boundary: bytes
) -> AsyncIterator[MultipartPart]:
    """The parts of the multipart body read from `stream`, in order.

    `stream` yields bytes chunks (a None chunk counts as no data); an empty
    body has no parts. The source stream is closed when the iteration ends,
    however it ends.
    """
    chunks = aiter(stream)
    part: MultipartPart | None = None
    try:
        if isinstance(boundary, str):
            boundary = boundary.encode("latin-1")
        if not boundary or len(boundary) > MAX_BOUNDARY_LENGTH:
            raise BadRequest(f"Invalid multipart boundary length: {len(boundary)}")
        reader = _Reader(chunks, boundary)
        while True:
            if part is not None:
                await part.skip()
            kind, value = await reader.next_event()
            if kind == _END:
                return
            if kind != _PART:
                raise BadRequest("Invalid multipart body")
            part = value
            yield part
    finally:
        if part is not None and part._state < part._DONE:
            part._state = part._CLOSED
        close = getattr(chunks, "aclose", None)
        if close is not None:
            await close()
