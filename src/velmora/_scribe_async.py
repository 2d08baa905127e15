"""Generators and coroutines of velmora.scribe.

velmora.scribe calls `_bind` while it is imported: the native helpers these
functions use become globals here, and the functions of `__all__` become
functions of velmora.scribe.  `get_chunks`, `_send_rsgi_stream` and the
other functions the module may have replaced are looked up on velmora.scribe
at call time.
"""

from __future__ import annotations

import inspect
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from types import ModuleType
from typing import Any

from velmora.contents import StreamedContent
from velmora.messages import Response, release_request, release_response

__all__ = [
    "get_chunks",
    "write_chunks",
    "send_asgi_response",
    "send_rsgi_response",
    "_send_rsgi_stream",
    "_send_rsgi_range",
    "_dispatch_rsgi_async",
    "_await_res_sync",
]

MAX_RESPONSE_CHUNK_SIZE = 61440
FILE_CHUNK_SIZE = 65536

_scribe: ModuleType
_asgi_messages: Callable[[Any], tuple[dict, dict | None]]
_body_bytes: Callable[[Any], bytes]
send_rsgi_response_sync: Callable[[Any, Any], Awaitable[None] | None]

_BODY = "http.response.body"
_isawaitable = inspect.isawaitable


def _bind(module: ModuleType) -> tuple[Callable[..., Any], ...]:
    global _scribe, _asgi_messages, _body_bytes, send_rsgi_response_sync
    _scribe = module
    _asgi_messages = module._asgi_messages
    _body_bytes = module._body_bytes
    send_rsgi_response_sync = module.send_rsgi_response_sync
    functions = tuple(globals()[name] for name in __all__)
    for fn in functions:
        fn.__module__ = module.__name__
    return functions


# ------------------------------------------------------------------ ASGI


def get_chunks(data: bytes) -> Iterator[bytes]:
    """The slices of `data` of at most MAX_RESPONSE_CHUNK_SIZE bytes, then
    one empty bytes object."""
    size = MAX_RESPONSE_CHUNK_SIZE
    for start in range(0, len(data), size):
        yield data[start : start + size]
    yield b""


def _part_bytes(part: Any) -> bytes:
    if type(part) is bytes:
        return part
    if isinstance(part, (bytes, bytearray, memoryview)):
        return bytes(part)
    raise TypeError(f"a body part must be bytes, got {type(part).__name__}")


async def write_chunks(http_content: Any) -> AsyncIterator[bytes]:
    """The content's parts in HTTP/1.1 chunked transfer coding, ended by the
    zero-length chunk.  Empty parts are skipped: framed, they would end the
    body early."""
    async for part in http_content.get_parts():
        if part is None:
            continue
        part = _part_bytes(part)
        if part:
            yield b"%x\r\n%b\r\n" % (len(part), part)
    yield b"0\r\n\r\n"


async def send_asgi_response(response: Any, send: Callable[[dict], Awaitable[Any]]) -> None:
    """Sends the response through an ASGI `send`: the start message, then the
    body in one message, in slices, or part by part as it is produced."""
    start, body = _asgi_messages(response)
    await send(start)
    if body is not None:
        await send(body)
        return
    content = response.content
    if content.length < 0 or isinstance(content, StreamedContent):
        async for part in content.get_parts():
            if part is None:
                continue
            part = _part_bytes(part)
            if part:
                await send({"type": _BODY, "body": part, "more_body": True})
        await send({"type": _BODY, "body": b"", "more_body": False})
        return
    for chunk in _scribe.get_chunks(_body_bytes(content.body)):
        await send({"type": _BODY, "body": chunk, "more_body": bool(chunk)})


# ------------------------------------------------------------------ RSGI


async def _stream_transport(protocol: Any, status: int, headers: list) -> Any:
    # Servers differ: some return the transport, some an awaitable of it.
    transport = protocol.response_stream(status, headers)
    if _isawaitable(transport):
        transport = await transport
    return transport


async def _send_rsgi_stream(response: Any, protocol: Any, headers: list, content: Any) -> None:
    """Streams the content's chunks through the protocol's transport."""
    transport = await _stream_transport(protocol, response.status, headers)
    async for chunk in content.stream():
        if not chunk:
            continue
        kind = type(chunk)
        if kind is bytes:
            await transport.send_bytes(chunk)
        elif kind is str:
            await transport.send_str(chunk)
        elif isinstance(chunk, (bytes, bytearray, memoryview)):
            await transport.send_bytes(bytes(chunk))
        else:
            await transport.send_str(str(chunk))


async def _send_rsgi_range(response: Any, protocol: Any, headers: list, file_path: str, file_range: Any) -> None:
    """Streams bytes start to end (exclusive, as servers take a range) of a
    file, for a protocol that cannot send a file range itself."""
    start, end = file_range[0], file_range[1]
    transport = await _stream_transport(protocol, response.status, headers)
    with open(file_path, "rb") as file:
        file.seek(start)
        left = end - start
        while left > 0:
            chunk = file.read(min(left, FILE_CHUNK_SIZE))
            if not chunk:
                break
            left -= len(chunk)
            await transport.send_bytes(chunk)


async def send_rsgi_response(response: Any, protocol: Any) -> None:
    """Sends the response through an RSGI protocol; releases nothing."""
    res = send_rsgi_response_sync(response, protocol)
    if res is not None:
        await res


def _not_a_response(value: Any) -> TypeError:
    return TypeError(f"handle() must produce a Response, got {type(value).__name__}")


async def _dispatch_rsgi_async(app: Any, request: Any, res: Awaitable[Any], protocol: Any) -> None:
    """Completes an exchange whose handler returned an awaitable."""
    try:
        response = await res
        if not isinstance(response, Response):
            raise _not_a_response(response)
        res_sync = send_rsgi_response_sync(response, protocol)
        if res_sync is not None:
            await res_sync
        release_response(response)
    finally:
        request.scope = None
        release_request(request)


async def _await_res_sync(res_sync: Awaitable[None], response: Any, request: Any) -> None:
    """Completes an exchange whose response is streamed."""
    try:
        await res_sync
        release_response(response)
    finally:
        request.scope = None
        release_request(request)
