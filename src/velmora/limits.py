"""The request-line and header limits of `velmora.settings.limits`, checked
by the application's entry points before a request object is built.

A request beyond a limit is answered at once with its status and a short
text (414 for the path, 431 for the headers); no handler runs.
"""

from __future__ import annotations

from typing import Any

from velmora.settings.limits import limits

__all__ = ["asgi_rejection", "rsgi_rejection", "REJECTIONS"]

URI_TOO_LONG = 414
HEADERS_TOO_LARGE = 431

REJECTIONS = {
    400: "Bad Request",
    URI_TOO_LONG: "URI Too Long",
    HEADERS_TOO_LARGE: "Request Header Fields Too Large",
}


def asgi_rejection(path: Any, headers: Any) -> int:
    """0, or the status that refuses a request with this raw path and ASGI
    header list."""
    current = limits
    limit = current._max_path_length
    if limit is not None and len(path) > limit:
        return URI_TOO_LONG
    if headers:
        limit = current._max_header_count
        if limit is not None and len(headers) > limit:
            return HEADERS_TOO_LARGE
        limit = current._max_headers_size
        if limit is not None and sum([len(name) + len(value) for name, value in headers]) > limit:
            return HEADERS_TOO_LARGE
    return 0


def rsgi_rejection(scope: Any) -> int:
    """0, or the status that refuses an RSGI request (the path as given
    by the server, measured in UTF-8 bytes when it is not ASCII)."""
    current = limits
    limit = current._max_path_length
    if limit is not None:
        path = scope.path
        if len(path) > limit or (not path.isascii() and len(path.encode("utf-8", "surrogatepass")) > limit):
            return URI_TOO_LONG
    headers = scope.headers
    limit = current._max_header_count
    if limit is not None and len(headers) > limit:
        return HEADERS_TOO_LARGE
    limit = current._max_headers_size
    if limit is not None and sum([len(name) + len(value) for name, value in headers.items()]) > limit:
        return HEADERS_TOO_LARGE
    return 0
