"""Generators and coroutines of velmora.scribe.

velmora.scribe calls `_bind` while it is imported.  The functions written
here are made again with velmora.scribe's namespace as their globals, and
the names they need are put into it: every name they use (the native
helpers, `get_chunks`, `_send_rsgi_stream` ...) is then a global of
velmora.scribe, looked up at call time, and this module keeps no reference
to velmora.scribe or to the modules it imports.
"""

from __future__ import annotations

import inspect
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from types import FunctionType, ModuleType
from typing import Any

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
# Helpers that become module-private names of velmora.scribe as well.
_HELPERS = ["_part_bytes", "_stream_transport", "_not_a_response"]

# Globals of velmora.scribe that the functions read (given by _bind or by
# the native module).
MAX_RESPONSE_CHUNK_SIZE: int
_asgi_messages: Callable[[Any], tuple[dict, dict | None]]
_body_bytes: Callable[[Any], bytes]
send_rsgi_response_sync: Callable[[Any, Any], Awaitable[None] | None]
_StreamedContent: type
_Response: type
_release_request: Callable[[Any], None]
_release_response: Callable[[Any], None]
_isawaitable: Callable[[Any], bool]
_file_range_chunks: Callable[[str, int, int], Iterator[bytes]]

_BODY = "http.response.body"


def _bind(module: ModuleType) -> None:
    from velmora.contents import StreamedContent
    from velmora.messages import Response, release_request, release_response
    from velmora.utils.files import file_range_chunks

    namespace = module.__dict__
    namespace.update(
        _BODY=_BODY,
        _file_range_chunks=file_range_chunks,
        _isawaitable=inspect.isawaitable,
        _StreamedContent=StreamedContent,
        _Response=Response,
        _release_request=release_request,
        _release_response=release_response,
    )
    for name in __all__ + _HELPERS:
        fn = globals()[name]
        copy = FunctionType(fn.__code__, namespace, fn.__name__, fn.__defaults__, fn.__closure__)
        copy.__doc__ = fn.__doc__
        copy.__annotations__ = fn.__annotations__
        namespace[name] = copy


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
    if content.length < 0 or isinstance(content, _StreamedContent):
        async for part in content.get_parts():
            if part is None:
                continue
            part = _part_bytes(part)
            if part:
                await send({"type": _BODY, "body": part, "more_body": True})
        await send({"type": _BODY, "body": b"", "more_body": False})
        return
    for chunk in get_chunks(_body_bytes(content.body)):
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
    transport = await _stream_transport(protocol, response.status, headers)
    for chunk in _file_range_chunks(file_path, file_range[0], file_range[1]):
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
        if not isinstance(response, _Response):
            raise _not_a_response(response)
        res_sync = send_rsgi_response_sync(response, protocol)
        if res_sync is not None:
            await res_sync
        _release_response(response)
    finally:
        request.scope = None
        _release_request(request)


async def _await_res_sync(res_sync: Awaitable[None], response: Any, request: Any) -> None:
    """Completes an exchange whose response is streamed."""
    try:
        await res_sync
        _release_response(response)
    finally:
        request.scope = None
        _release_request(request)
