"""Coroutine methods of the types of velmora.contents.

velmora.contents puts the functions of `METHODS` into its classes while it
is imported; they are written here because awaiting a server is plainest in
Python.  The native side keeps the state they rely on: the chunks received,
the byte count checked against the body limit, and whether the body is
complete, was given up or was released.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable, Iterable
from typing import Any

from velmora.exceptions import InvalidOperation, MessageAborted

__all__ = ["METHODS", "multipart_provider"]

FILE_CHUNK_SIZE = 65536


def _as_bytes(body: Any) -> bytes | None:
    if body is None or type(body) is bytes:
        return body
    if isinstance(body, str):
        return body.encode()
    if isinstance(body, (bytes, bytearray, memoryview)):
        return bytes(body)
    return str(body).encode()


# -------------------------------------------------------------- Content


async def content_read(self: Any) -> bytes | None:
    """The body as bytes (None when there is none)."""
    return _as_bytes(self.body)


async def content_read_buffer(self: Any) -> memoryview:
    """A memoryview over the body read whole."""
    body = await self.read()
    return memoryview(b"" if body is None else body)


async def content_stream(self: Any) -> AsyncIterator[bytes]:
    """The body in one part (nothing for an empty body)."""
    body = _as_bytes(self.body)
    if body:
        yield body


async def streamed_read(self: Any) -> bytes:
    """Every part of the stream, joined."""
    return b"".join([part async for part in self.get_parts()])


# ------------------------------------------------- request body readers


async def reader_stream(self: Any) -> AsyncIterator[bytes]:
    """The request body chunk by chunk, starting with the chunks already
    received; the chunks stay kept, so a later read() gets the whole body."""
    chunks = self._chunks
    if chunks is None:  # released or given up: the kept body, or the reason
        body = self._join()
        if body:
            yield body
        return
    index = sent = 0
    pull = self._pull
    while True:
        if self._chunks is not chunks:  # joined by read() meanwhile, or released
            body = self._join()
            if len(body) > sent:
                yield body[sent:]
            return
        if index < len(chunks):
            chunk = chunks[index]
            index += 1
            sent += len(chunk)
            yield chunk
        elif self._ready():
            return
        else:
            await pull()


async def asgi_read(self: Any) -> bytes:
    """The whole request body, received once and kept."""
    body = self.body
    if body is None:
        if not self._ready():
            receive = self._source
            feed = self._feed
            while not feed(await receive()):
                pass
        body = self._join()
    return body


async def asgi_wait_disconnect(self: Any) -> None:
    """Receives until the client goes away, keeping the rest of the body as
    it arrives, and raises MessageAborted then.  It waits as long as the
    client stays: run it under a timeout, or cancel it."""
    async for _ in reader_stream(self):
        pass
    if self._disconnected:
        raise MessageAborted()
    while True:
        receive = self._source
        if receive is None:
            raise InvalidOperation("The content was disposed.")
        self._feed(await receive())


async def asgi_pull(self: Any) -> None:
    self._feed(await self._source())


async def rsgi_read(self: Any) -> bytes:
    """The whole request body, read once from the protocol and kept."""
    body = self.body
    if body is None:
        if not self._ready():
            anext = self._aiter().__anext__
            add = self._add
            while True:
                try:
                    chunk = await anext()
                except StopAsyncIteration:
                    break
                add(chunk)
            self._finish()
        body = self._join()
    return body


async def rsgi_pull(self: Any) -> None:
    try:
        chunk = await self._aiter().__anext__()
    except StopAsyncIteration:
        self._finish()
    else:
        self._add(chunk)


# ----------------------------------------------------------- multipart


def _header_value(value: Any) -> bytes:
    if isinstance(value, str):
        value = value.encode()
    return bytes(value).replace(b'"', b"%22").replace(b"\r", b"%0D").replace(b"\n", b"%0A")


def _part_head(part: Any, boundary: bytes) -> bytes:
    head = [b"--", boundary, b'\r\nContent-Disposition: form-data; name="', _header_value(part.name), b'"']
    if part.file_name:
        head += [b'; filename="', _header_value(part.file_name), b'"']
    if part.content_type:
        content_type = part.content_type
        if isinstance(content_type, str):
            content_type = content_type.encode()
        head += [b"\r\nContent-Type: ", bytes(content_type).replace(b"\r", b"").replace(b"\n", b"")]
    head.append(b"\r\n\r\n")
    return b"".join(head)


async def _part_data(part: Any) -> AsyncIterator[bytes]:
    stream = getattr(part, "stream", None)
    if stream is not None:
        async for chunk in stream():
            yield chunk
        return
    data = part.data
    if data is None:
        return
    if isinstance(data, str):
        charset = part.charset or "utf-8"
        yield data.encode(charset.decode() if isinstance(charset, bytes) else charset)
    elif isinstance(data, (bytes, bytearray, memoryview)):
        yield bytes(data)
    else:  # a binary file
        while chunk := data.read(FILE_CHUNK_SIZE):
            yield chunk


def multipart_provider(
    parts: Iterable[Any], boundary: bytes
) -> Callable[[], AsyncIterator[bytes]]:
    """The data provider of MultiPartFormData: a multipart/form-data body."""

    async def provider() -> AsyncIterator[bytes]:
        for part in parts:
            yield _part_head(part, boundary)
            async for chunk in _part_data(part):
                if chunk:
                    yield chunk
            yield b"\r\n"
        yield b"--" + boundary + b"--\r\n"

    return provider


METHODS: dict[str, dict[str, Callable[..., Awaitable[Any] | AsyncIterator[bytes]]]] = {
    "Content": {
        "read": content_read,
        "read_buffer": content_read_buffer,
        "stream": content_stream,
        "get_parts": content_stream,
    },
    "StreamedContent": {"read": streamed_read},
    "ASGIContent": {
        "read": asgi_read,
        "stream": reader_stream,
        "get_parts": reader_stream,
        "_pull": asgi_pull,
        "wait_disconnect": asgi_wait_disconnect,
    },
    "RSGIContent": {
        "read": rsgi_read,
        "stream": reader_stream,
        "get_parts": reader_stream,
        "_pull": rsgi_pull,
    },
}

for _class_name, _functions in METHODS.items():
    for _name, _function in _functions.items():
        _function.__qualname__ = f"{_class_name}.{_name}"
        _function.__module__ = "velmora.contents"
