"""Static files: a folder served under a path prefix.

    app.serve_files("public", prefix="/static")

Only regular files inside the folder are served: a path with "..", ".",
a backslash, a NUL or an encoded slash or backslash is answered 404, and so
is a symbolic link that leads out of the folder.  A folder is answered with
its index file.  Responses carry Content-Type (from the extension), ETag
and Last-Modified; `If-None-Match` / `If-Modified-Since` give 304,
`If-Match` / `If-Unmodified-Since` 412, and one byte range 206 (416 when it
lies beyond the file; several ranges, or a malformed one, get the whole
file).  RSGI servers send the file themselves; under ASGI it is read in
parts as it is sent, never whole.
"""

from __future__ import annotations

import mimetypes
import os
import stat
from email.utils import formatdate, parsedate_to_datetime
from typing import Any
from urllib.parse import quote

from velmora.contents import StreamedContent, TextContent
from velmora.exceptions import NotFound
from velmora.messages import Request, Response
from velmora.responses import _read_file, parse_range
from velmora.router import _no_parts

__all__ = ["StaticFiles", "parse_range"]

_TEXT_TYPES = frozenset(("application/javascript", "application/json", "image/svg+xml", "application/xml"))
_ENCODED_SEPARATORS = (b"%2f", b"%5c", b"%00")


def _not_found() -> Response:
    raise NotFound()  # answered by the application's 404 handler


def _http_date(value: bytes | None) -> float | None:
    """Seconds since the epoch of an HTTP date; None when it does not parse."""
    if not value:
        return None
    try:
        return parsedate_to_datetime(value.decode("latin-1")).timestamp()
    except (ValueError, TypeError, IndexError, OverflowError):
        return None


def _etag_listed(header: bytes, etag: bytes, weak: bool) -> bool:
    if header.strip() == b"*":
        return True
    for candidate in header.split(b","):
        candidate = candidate.strip()
        if weak and candidate.startswith(b"W/"):
            candidate = candidate[2:]
        if candidate == etag:
            return True
    return False


def _media_type(path: str) -> bytes:
    kind = mimetypes.guess_type(path)[0] or "application/octet-stream"
    if kind.startswith("text/") or kind in _TEXT_TYPES:
        kind += "; charset=utf-8"
    return kind.encode("latin-1")


class StaticFiles:
    """The handler serving `directory`, routed as "<prefix>/*"."""

    __slots__ = ("directory", "prefix", "index", "cache_control", "__name__")

    def __init__(
        self, directory: str | os.PathLike[str], prefix: str = "/static", *, index: str | None = "index.html",
        cache_control: str | None = None,
    ) -> None:
        root = os.path.realpath(os.fspath(directory))
        if not os.path.isdir(root):
            raise ValueError(f"not a folder: {os.fspath(directory)!r}")
        if not prefix.startswith("/"):
            raise ValueError(f"a prefix must start with '/', got {prefix!r}")
        self.directory = root
        self.prefix = prefix.rstrip("/")
        self.index = index
        self.cache_control = cache_control.encode("latin-1") if cache_control else None
        self.__name__ = "static_files"

    @property
    def pattern(self) -> str:
        return self.prefix + "/*"

    def resolve(self, tail: str, raw_path: bytes) -> tuple[str, str] | None:
        """The path asked for and its real path, or None when the request
        must not reach the disk."""
        if "\x00" in tail or "\\" in tail:
            return None
        if b"%" in raw_path:
            lowered = raw_path.lower()
            if any(code in lowered for code in _ENCODED_SEPARATORS):
                return None
        parts = [part for part in tail.split("/") if part]
        if any(part in ("..", ".") for part in parts):
            return None
        root = self.directory
        asked = os.path.join(root, *parts)
        real = os.path.realpath(asked)
        if real != root and not real.startswith(root + os.sep):
            return None  # a link that leads out of the folder
        return asked, real

    def __call__(self, request: Request) -> Response:
        values = request.route_values
        tail = values.get("tail", "") if values else ""
        raw_path = request.raw_path
        found = self.resolve(tail, raw_path)
        if found is None:
            return _not_found()
        asked, real = found
        try:
            info = os.stat(real)
            if stat.S_ISDIR(info.st_mode):
                if self.index is None:
                    return _not_found()
                if tail and not raw_path.endswith(b"/"):
                    location = f"{self.prefix}/{quote(tail)}/".encode("latin-1")
                    return Response(308, [(b"location", location)], None)
                asked = real = os.path.join(real, self.index)
                info = os.stat(real)
        except (OSError, ValueError):
            return _not_found()
        if not stat.S_ISREG(info.st_mode):
            return _not_found()
        if not os.access(real, os.R_OK):
            return Response(403, None, TextContent("Forbidden"))
        return self.respond(request, real, info, _media_type(asked))

    def respond(self, request: Request, path: str, info: os.stat_result, media: bytes) -> Response:
        """The answer for a regular file, honouring the request's conditions
        and range."""
        size = info.st_size
        etag = b'"%x-%x"' % (info.st_mtime_ns, size)
        modified = int(info.st_mtime)
        headers = [
            (b"etag", etag),
            (b"last-modified", formatdate(modified, usegmt=True).encode()),
            (b"accept-ranges", b"bytes"),
        ]
        if self.cache_control is not None:
            headers.append((b"cache-control", self.cache_control))
        get = request.get_first_header
        condition = get(b"if-match")
        if condition is not None:
            if not _etag_listed(condition, etag, weak=False):
                return Response(412, headers, None)
        else:
            since = _http_date(get(b"if-unmodified-since"))
            if since is not None and modified > since:
                return Response(412, headers, None)
        condition = get(b"if-none-match")
        if condition is not None:
            if _etag_listed(condition, etag, weak=True):
                return Response(304, headers, None)
        else:
            since = _http_date(get(b"if-modified-since"))
            if since is not None and modified <= since:
                return Response(304, headers, None)
        wanted = parse_range(get(b"range"), size)
        if wanted is not None:
            guard = get(b"if-range")
            if guard is not None and guard.strip() not in (etag, headers[1][1]):
                wanted = None  # the file changed since: all of it
        if wanted is False:
            headers.append((b"content-range", b"bytes */%d" % size))
            return Response(416, headers, None)
        start, end = (0, size) if wanted is None else wanted  # type: ignore[misc]
        # a HEAD answer carries no body: nothing is read for it
        parts = _no_parts if request.method == "HEAD" else _read_file(path, start, end)
        if wanted is None:
            return Response(200, headers, StreamedContent(media, parts, size, file_path=path))
        headers.append((b"content-range", b"bytes %d-%d/%d" % (start, end - 1, size)))
        return Response(206, headers, StreamedContent(media, parts, end - start, file_path=path, file_range=(start, end)))


def serve_files(app: Any, directory: str | os.PathLike[str], prefix: str = "/static", **options: Any) -> StaticFiles:
    """Routes GET (and so HEAD) requests under `prefix` to the files of
    `directory`."""
    handler = StaticFiles(directory, prefix, **options)
    app.router.add_route("GET", handler.pattern, handler)
    return handler
