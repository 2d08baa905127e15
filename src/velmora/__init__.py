"""velmora: an asynchronous Python web framework with a native core.

    from velmora import Application, text

The application layer is imported on first use of one of its names, so
`import velmora.headers` loads only what it needs.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

_EXPORTS = {
    "Application": "velmora.app",
    "ServerErrorDetailsHandler": "velmora.app",
    "Router": "velmora.router",
    "Route": "velmora.router",
    "text": "velmora.responses",
    "html": "velmora.responses",
    "json": "velmora.responses",
    "redirect": "velmora.responses",
    "no_content": "velmora.responses",
    "file": "velmora.responses",
    "stream": "velmora.responses",
    "sse": "velmora.responses",
    "Request": "velmora.messages",
    "Response": "velmora.messages",
    "ServerSentEvent": "velmora.contents",
    "TextServerSentEvent": "velmora.contents",
}

__all__ = sorted(_EXPORTS)

if TYPE_CHECKING:
    from velmora.app import Application, ServerErrorDetailsHandler
    from velmora.contents import ServerSentEvent, TextServerSentEvent
    from velmora.messages import Request, Response
    from velmora.responses import file, html, json, no_content, redirect, sse, stream, text
    from velmora.router import Route, Router


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'velmora' has no attribute {name!r}")
    value = getattr(import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
