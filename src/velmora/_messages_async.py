"""Body reading methods of the types of velmora.messages.

velmora.messages puts the functions of `METHODS` into its classes, and those
of `FUNCTIONS` into the module, while it is imported.  Reading a body means
awaiting the server, so these are plain coroutines and asynchronous
generators: the native side offers the fields and header operations they
use.  This module must not import velmora.messages (it runs while that
module is being built).
"""

from __future__ import annotations

import asyncio
import sys
from collections import defaultdict
from collections.abc import AsyncIterable, AsyncIterator, Callable, Coroutine
from importlib import import_module
from json.decoder import JSONDecodeError
from tempfile import SpooledTemporaryFile
from typing import TYPE_CHECKING, Any, TypeVar

import msgspec

from velmora.exceptions import BadRequestFormat, FailedRequestError, MessageAborted
from velmora.settings.encodings import encodings_settings
from velmora.settings.json import json_settings

if TYPE_CHECKING:
    from velmora.contents import FormPart

__all__ = ["FUNCTIONS", "METHODS"]

T = TypeVar("T")

# Parts of a multipart body stay in memory up to this size, then go to disk.
SPOOL_MAX_SIZE = 1048576

MULTIPART = b"multipart/form-data;"
URLENCODED = b"application/x-www-form-urlencoded"

_json_decode = msgspec.json.decode

# A JSON body the decoder refuses, including one nested too deeply for it.
_JSON_ERRORS = (msgspec.DecodeError, RecursionError)
_CUSTOM_JSON_ERRORS = (JSONDecodeError, UnicodeDecodeError, ValueError, LookupError, RecursionError)


def _contents() -> Any:
    """velmora.contents, looked up when used: this module outlives
    velmora.messages and must not keep the content types alive."""
    return sys.modules.get("velmora.contents") or import_module("velmora.contents")


def _as_view(body: Any) -> memoryview:
    if body is None:
        return memoryview(b"")
    if isinstance(body, (bytes, bytearray, memoryview)):
        return memoryview(body)
    return memoryview(bytes(body))


def _rsgi_content(message: Any) -> Any:
    """The content read from the RSGI protocol, created on the first read;
    None when the message has no protocol."""
    protocol = message.scope_protocol
    if protocol is None:
        return None
    content = message.content = _contents().RSGIContent(protocol)
    return content


# -------------------------------------------------------------- raw access


async def read(self: Any) -> bytes | None:
    """The whole body, or None when there is none."""
    content = self.content or _rsgi_content(self)
    return None if content is None else await content.read()


async def read_raw(self: Any) -> bytes:
    """Reads the raw binary body without string conversion (empty bytes
    when there is none)."""
    content = self.content or _rsgi_content(self)
    return b"" if content is None else await content.read()


async def read_buffer(self: Any) -> memoryview:
    """The whole body as a memoryview (over empty bytes when there is none)."""
    content = self.content
    if content:
        reader = getattr(content, "read_buffer", None)
        return await reader() if reader is not None else _as_view(await content.read())
    content = _rsgi_content(self)
    return memoryview(b"") if content is None else await content.read_buffer()


async def read_detached(self: Any) -> bytes:
    """An independent copy of the body, safe to keep after the request."""
    raw = await self.read_raw()
    return b"" if raw is None else bytes(raw)


def detach_raw(self: Any) -> bytes:
    """A copy of the body already read, without reading from the network."""
    content = self.content
    if not content:
        return b""
    data = getattr(content, "_data", None)
    if data is not None:
        return bytes(data)
    body = getattr(content, "body", None)
    return b"" if body is None else bytes(body)


async def stream(self: Any) -> AsyncIterator[bytes | None]:
    """The body chunk by chunk; a single None when there is no body."""
    content = self.content
    if content is None:
        content = _rsgi_content(self)
    if content:
        async for chunk in content.stream():
            yield chunk
    else:
        yield None


# ---------------------------------------------------------- decoded access


async def text(self: Any) -> str:
    """The body decoded with the declared charset, else with the
    configured fallback decoder."""
    body = await self.read()
    if body is None:
        return ""
    try:
        return body.decode(self.charset)
    except (UnicodeDecodeError, LookupError):  # LookupError: a charset nobody knows
        return encodings_settings.decode(body)


def _json_error(message: Any, error: Exception) -> BadRequestFormat:
    content_type = message.content_type()
    if content_type and b"json" in content_type:
        declared = content_type.decode("latin-1")
        return BadRequestFormat(
            f"Declared Content-Type is {declared} but the content cannot be parsed as JSON.", error
        )
    return BadRequestFormat("Cannot parse content as JSON", error)


async def json(self: Any, loads: Callable[[str], Any] | None = None) -> Any:
    """The body parsed as JSON when the message declares JSON, else None;
    BadRequestFormat when it does not parse."""
    if not self.declares_json():
        return None
    raw = await self.read_raw()
    if not raw:
        return None
    if loads is None and not json_settings.has_custom_loads:
        try:
            return _json_decode(raw)
        except _JSON_ERRORS as error:
            raise _json_error(self, error) from error
    if loads is None:
        loads = json_settings.loads
    try:
        return loads(raw.decode(self.charset))
    except _CUSTOM_JSON_ERRORS as error:
        raise _json_error(self, error) from error


async def form(self: Any, simplify_fields: bool = True) -> Any:
    """The form of a URL-encoded body (parsed on every call) or of a
    multipart body (parsed once and kept); None for other bodies."""
    content_type = self.content_type()
    if not content_type:
        return None
    data: Any = self._form_data
    if data is not None:
        return _contents().simplify_multipart_data(data) if MULTIPART in content_type and simplify_fields else data
    if URLENCODED in content_type:
        return _contents().parse_www_form_urlencoded(await self.text())
    if MULTIPART in content_type:
        data = self._form_data = await _multipart_to_dict_streaming(self.multipart_stream())
        return _contents().simplify_multipart_data(data) if simplify_fields else data
    return None


async def multipart(self: Any) -> list[FormPart] | None:
    """The parts of a multipart body as a list of FormPart, or None; parts
    are spooled to disk above 1 MB."""
    content_type = self.content_type()
    if not content_type or MULTIPART not in content_type:
        return None
    data = await self.form(simplify_fields=False)
    if not data:
        return None
    parts: list[FormPart] = []
    for value in data.values():
        if isinstance(value, (list, tuple)):
            parts.extend(value)
        else:
            parts.append(value)
    return parts


async def multipart_stream(self: Any) -> AsyncIterator[Any]:
    """The parts of a multipart body as they arrive, nothing buffered."""
    content_type = self.content_type()
    if not content_type or MULTIPART not in content_type:
        return
    from velmora.multipart import get_boundary_from_header, parse_multipart_async

    try:
        boundary = get_boundary_from_header(content_type)
    except (ValueError, IndexError):
        return
    async for part in parse_multipart_async(self.stream(), boundary):
        yield part


async def files(self: Any, name: str | bytes | None = None) -> list[FormPart]:
    """The uploaded files of a multipart body, those named `name` when it
    is given."""
    if isinstance(name, str):
        name = name.encode("utf8")
    parts = await self.multipart()
    if not parts:
        return []
    return [part for part in parts if part.file_name and (not name or part.name == name)]


# ----------------------------------------------------------- Request / Response


async def is_disconnected(self: Any) -> bool:
    """Whether the client has gone away, without waiting for it."""
    content = self.content
    if not isinstance(content, _contents().ASGIContent):
        raise TypeError(
            "This method is only supported when a request is bound to an instance of ASGIContent "
            "and to an ASGI request/response cycle."
        )
    if self._is_disconnected is None:
        self._is_disconnected = False
    elif self._is_disconnected is True:
        return True
    try:
        # Receives what the server has at once: the rest of the body (kept
        # for later reads) and a disconnect reported after it.
        await _call_soon(content.wait_disconnect())
    except MessageAborted:
        self._is_disconnected = True
    return self._is_disconnected


async def raise_for_status(self: Any) -> None:
    """FailedRequestError with the body's text unless the status is 2xx."""
    status = self.status
    if 200 <= status < 300:
        return None
    raise FailedRequestError(status, await self.text())


# ------------------------------------------------------- module functions


async def _read_stream(request: Any) -> None:
    async for _ in request.content.stream():
        pass


async def _call_soon(coro: Coroutine[Any, Any, T]) -> T | None:
    """The coroutine's result when it is ready at once, else None."""
    task = asyncio.create_task(coro)
    asyncio.get_running_loop().call_soon(task.cancel)
    try:
        return await task
    except asyncio.CancelledError:
        current = asyncio.current_task()
        if current is not None and current.cancelling():
            raise  # the caller itself is being cancelled
        return None


def _encode(value: Any) -> Any:
    return value.encode("utf8") if value else value


async def _multipart_to_dict_streaming(
    stream_iter: AsyncIterable[Any], spool_max_size: int = SPOOL_MAX_SIZE
) -> dict[str, list[FormPart]]:
    """Every part spooled into a file (memory, then disk above
    `spool_max_size`), by name in arrival order."""
    form_part = _contents().FormPart
    data: defaultdict[str, list[FormPart]] = defaultdict(list)
    spooled: list[SpooledTemporaryFile[bytes]] = []
    try:
        async for part in stream_iter:
            file: SpooledTemporaryFile[bytes] = SpooledTemporaryFile(max_size=spool_max_size, mode="w+b")
            spooled.append(file)
            total_size = 0
            async for chunk in part.stream():
                file.write(chunk)
                total_size += len(chunk)
            file.seek(0)
            data[part.name].append(
                form_part(
                    name=_encode(part.name),
                    data=file,
                    file_name=_encode(part.file_name),
                    content_type=_encode(part.content_type),
                    size=total_size,
                    charset=_encode(part.charset),
                )
            )
    except BaseException:
        # An upload that fails halfway leaves no open files behind.
        for file in spooled:
            file.close()
        close = getattr(stream_iter, "aclose", None)
        if close is not None:
            await close()
        raise
    return dict(data)


METHODS: dict[str, dict[str, Callable[..., Any]]] = {
    "Message": {
        "read": read,
        "read_raw": read_raw,
        "read_buffer": read_buffer,
        "read_detached": read_detached,
        "detach_raw": detach_raw,
        "stream": stream,
        "text": text,
        "json": json,
        "form": form,
        "multipart": multipart,
        "multipart_stream": multipart_stream,
        "files": files,
    },
    "Request": {"is_disconnected": is_disconnected},
    "Response": {"raise_for_status": raise_for_status},
}

FUNCTIONS: dict[str, Callable[..., Any]] = {
    "_read_stream": _read_stream,
    "_call_soon": _call_soon,
    "_multipart_to_dict_streaming": _multipart_to_dict_streaming,
    "_encode": _encode,
}

for _class_name, _functions in METHODS.items():
    for _name, _function in _functions.items():
        _function.__qualname__ = f"{_class_name}.{_name}"
        _function.__module__ = "velmora.messages"
for _function in FUNCTIONS.values():
    _function.__module__ = "velmora.messages"
