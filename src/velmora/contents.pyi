"""Message bodies (Content and its subclasses, the request body readers), form parts and server-sent events."""

import os
from collections.abc import AsyncIterable, AsyncIterator, Awaitable, Callable, Iterable, Mapping, Sequence
from typing import IO, Any

_Provider = Callable[[], AsyncIterable[bytes]]

class Content:
    def __init__(self, content_type: bytes | None, body: Any) -> None: ...
    @property
    def type(self) -> bytes | None: ...
    @property
    def body(self) -> Any: ...
    @property
    def length(self) -> int: ...
    @property
    def body_buffer(self) -> memoryview: ...
    def dispose(self) -> None: ...
    async def read(self) -> bytes | None: ...
    async def read_buffer(self) -> memoryview: ...
    def stream(self) -> AsyncIterator[bytes]: ...
    def get_parts(self) -> AsyncIterator[bytes]: ...

class TextContent(Content):
    def __init__(self, text: str) -> None: ...

class HTMLContent(Content):
    def __init__(self, html: str) -> None: ...

class JSONContent(Content):
    def __init__(self, data: Any, dumps: Callable[[Any], str | bytes] | None = None) -> None: ...

class FormContent(Content):
    def __init__(self, data: Mapping[str, Any] | Iterable[tuple[str, Any]]) -> None: ...

class StreamedContent(Content):
    def __init__(
        self,
        content_type: bytes | None,
        data_provider: _Provider,
        data_length: int = -1,
        *,
        file_path: str | os.PathLike[str] | None = None,
        file_range: tuple[int, int] | None = None,
    ) -> None: ...
    @property
    def generator(self) -> _Provider: ...
    @property
    def file_path(self) -> str | None: ...
    @property
    def file_range(self) -> tuple[int, int] | None: ...
    async def read(self) -> bytes: ...
    def stream(self) -> AsyncIterable[bytes]: ...  # type: ignore[override]
    def get_parts(self) -> AsyncIterable[bytes]: ...  # type: ignore[override]

class MultiPartFormData(StreamedContent):
    def __init__(self, parts: Iterable[FormPart]) -> None: ...
    @property
    def parts(self) -> list[FormPart]: ...
    @property
    def boundary(self) -> bytes: ...

class ASGIContent(Content):
    """A request body read from ASGI receive() on demand and kept."""

    max_body_size: int | None
    def __init__(self, receive: Callable[[], Awaitable[dict[str, Any]]]) -> None: ...
    async def read(self) -> bytes: ...

class RSGIContent(Content):
    """A request body read from an RSGI protocol on demand and kept."""

    max_body_size: int | None
    def __init__(self, protocol: Any) -> None: ...
    async def read(self) -> bytes: ...

class FormPart:
    def __init__(
        self,
        *,
        name: bytes | str,
        data: bytes | str | IO[bytes] | None,
        file_name: bytes | str | None = None,
        content_type: bytes | str | None = None,
        size: int | None = None,
        charset: bytes | str | None = None,
    ) -> None: ...
    @property
    def name(self) -> bytes | str: ...
    @property
    def data(self) -> bytes | str | IO[bytes] | None: ...
    @property
    def file_name(self) -> bytes | str | None: ...
    @property
    def content_type(self) -> bytes | str | None: ...
    @property
    def size(self) -> int: ...
    @property
    def charset(self) -> bytes | str | None: ...
    @property
    def file(self) -> IO[bytes] | None: ...

class FileBuffer(FormPart):
    def __init__(  # type: ignore[override]
        self,
        name: bytes | str,
        file: IO[bytes],
        *,
        file_name: bytes | str | None = None,
        content_type: bytes | str | None = None,
        charset: bytes | str | None = None,
    ) -> None: ...

class StreamedFormPart(FormPart):
    def __init__(  # type: ignore[override]
        self,
        name: bytes | str,
        data_provider: _Provider,
        *,
        file_name: bytes | str | None = None,
        content_type: bytes | str | None = None,
        charset: bytes | str | None = None,
    ) -> None: ...
    @property
    def generator(self) -> _Provider: ...
    def stream(self) -> AsyncIterable[bytes]: ...

class ServerSentEvent:
    def __init__(
        self,
        data: Any,
        event: str | None = None,
        id: str | None = None,
        retry: int = -1,
        comment: str | None = None,
    ) -> None: ...
    @property
    def data(self) -> Any: ...
    @property
    def event(self) -> str | None: ...
    @property
    def id(self) -> str | None: ...
    @property
    def retry(self) -> int: ...
    @property
    def comment(self) -> str | None: ...
    def write_data(self) -> str: ...

class TextServerSentEvent(ServerSentEvent):
    def __init__(
        self,
        text: str,
        event: str | None = None,
        id: str | None = None,
        retry: int = -1,
        comment: str | None = None,
    ) -> None: ...
    @property
    def data(self) -> str: ...

def parse_www_form_urlencoded(text: str) -> dict[str, str | list[str]]: ...
def simplify_multipart_data(
    data: Mapping[bytes | str, Sequence[FormPart] | Any],
) -> dict[str, str | FormPart | list[str | FormPart] | Any]: ...
