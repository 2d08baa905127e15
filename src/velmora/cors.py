"""Cross-origin resource sharing: policies that answer preflight requests
and add the Access-Control headers to responses.

    app.use_cors(allow_origins=["https://example.com"], allow_methods="*", max_age=300)

    app.add_cors_policy("public", allow_origins="*")

    @app.cors("public")
    @app.router.get("/feed")
    async def feed(request): ...

A policy is bound to each route handler when the application starts (the
default one from `use_cors`, or the one named with `cors`); a request
without an Origin header then costs one header look-up.  A preflight
(OPTIONS with Origin and Access-Control-Request-Method) is answered by the
policy of the route that serves the method it asks for: 204 with the
allowances, or 403 when the origin, the method or a header is not allowed.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Iterable
from typing import Any

from velmora.contents import TextContent
from velmora.messages import Request, Response, is_cors_preflight_request, is_cors_request

__all__ = ["CORSPolicy", "CORSError", "cors_policy_name", "wrap"]

# Headers a browser may send without asking (their values aside).
_SAFELISTED = frozenset((b"accept", b"accept-language", b"content-language", b"content-type"))
_POLICY_ATTR = "__velmora_cors__"


class CORSError(ValueError):
    """A CORS policy that cannot be configured as asked."""


def _items(value: str | Iterable[str] | None, name: str) -> tuple[str, ...]:
    if value is None:
        return ()
    if isinstance(value, str):
        return (value,)
    items = tuple(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name} must hold str values, got {type(item).__name__}")
    return items


def _refuse(reason: str) -> Response:
    return Response(403, None, TextContent(f"CORS request refused: {reason}"))


class CORSPolicy:
    """What one policy allows; checked when it is created."""

    __slots__ = (
        "allow_origins",
        "allow_methods",
        "allow_headers",
        "allow_credentials",
        "expose_headers",
        "max_age",
        "_any_origin",
        "_any_method",
        "_any_header",
        "_origins",
        "_methods",
        "_headers",
        "_simple",
        "_preflight",
    )

    def __init__(
        self,
        allow_origins: str | Iterable[str] = (),
        allow_methods: str | Iterable[str] = ("GET", "HEAD", "POST"),
        allow_headers: str | Iterable[str] = (),
        allow_credentials: bool = False,
        expose_headers: str | Iterable[str] = (),
        max_age: int | None = 600,
    ) -> None:
        origins = _items(allow_origins, "allow_origins")
        methods = tuple(m.upper() for m in _items(allow_methods, "allow_methods"))
        headers = tuple(h.lower() for h in _items(allow_headers, "allow_headers"))
        exposed = _items(expose_headers, "expose_headers")
        credentials = bool(allow_credentials)
        if max_age is not None and (not isinstance(max_age, int) or max_age < 0):
            raise CORSError(f"max_age must be a non-negative int or None, got {max_age!r}")
        if credentials and "*" in origins:
            raise CORSError(
                "a CORS policy with allow_credentials=True cannot allow every origin ('*'): "
                "browsers refuse credentialed responses to a wildcard origin; list the allowed origins"
            )
        for text in (*origins, *methods, *headers, *exposed):
            if any(c in text for c in "\r\n\0,") or not text.strip():
                raise CORSError(f"unusable value in a CORS policy: {text!r}")
        self.allow_origins = origins
        self.allow_methods = methods
        self.allow_headers = headers
        self.allow_credentials = credentials
        self.expose_headers = exposed
        self.max_age = max_age
        self._any_origin = "*" in origins
        self._any_method = "*" in methods
        self._any_header = "*" in headers
        self._origins = frozenset(o.encode("latin-1") for o in origins)
        self._methods = frozenset(m.encode("latin-1") for m in methods)
        self._headers = frozenset(h.encode("latin-1") for h in headers) | _SAFELISTED
        simple: list[tuple[bytes, bytes]] = []
        if credentials:
            simple.append((b"access-control-allow-credentials", b"true"))
        if exposed:
            simple.append((b"access-control-expose-headers", ", ".join(exposed).encode("latin-1")))
        self._simple = tuple(simple)
        preflight = list(simple[:1])
        if not self._any_method:
            preflight.append((b"access-control-allow-methods", ", ".join(methods).encode("latin-1")))
        if max_age is not None:
            preflight.append((b"access-control-max-age", str(max_age).encode()))
        self._preflight = tuple(preflight)

    def __repr__(self) -> str:
        return (
            f"CORSPolicy(allow_origins={self.allow_origins!r}, allow_methods={self.allow_methods!r}, "
            f"allow_headers={self.allow_headers!r}, allow_credentials={self.allow_credentials!r}, "
            f"expose_headers={self.expose_headers!r}, max_age={self.max_age!r})"
        )

    def allows_origin(self, origin: bytes) -> bool:
        return origin in self._origins or self._any_origin

    def _origin_headers(self, response: Response, origin: bytes) -> None:
        if self._any_origin and not self.allow_credentials:
            response.add_header(b"access-control-allow-origin", b"*")
        else:
            response.add_header(b"access-control-allow-origin", origin)
            response.add_header(b"vary", b"Origin")

    def decorate(self, response: Response, origin: bytes) -> Response:
        """Adds the headers of an allowed cross-origin answer."""
        if self.allows_origin(origin):
            self._origin_headers(response, origin)
            for name, value in self._simple:
                response.add_header(name, value)
        elif not self._any_origin:
            response.add_header(b"vary", b"Origin")  # the answer depends on the origin
        return response

    def preflight(self, request: Request, origin: bytes) -> Response:
        """The answer to a preflight request."""
        if not self.allows_origin(origin):
            return _refuse("origin not allowed")
        method = request.get_first_header(b"access-control-request-method") or b""
        if not self._any_method and method.strip().upper() not in self._methods:
            return _refuse("method not allowed")
        asked = request.get_first_header(b"access-control-request-headers")
        if asked:
            names = [name.strip().lower() for name in asked.split(b",")]
            if not self._any_header and any(name and name not in self._headers for name in names):
                return _refuse("header not allowed")
        response = Response(204)
        self._origin_headers(response, origin)
        for name, value in self._preflight:
            response.add_header(name, value)
        if self._any_method:
            response.add_header(b"access-control-allow-methods", method.strip() or b"*")
        if asked:
            response.add_header(b"access-control-allow-headers", asked)
        return response


def cors_policy_name(handler: Any) -> str | None:
    """The policy name given to a handler with `Application.cors`."""
    while handler is not None:
        name = getattr(handler, _POLICY_ATTR, None)
        if name is not None:
            return name
        handler = getattr(handler, "__wrapped__", None)
    return None


def mark(handler: Any, name: str) -> Any:
    setattr(handler, _POLICY_ATTR, name)
    return handler


ErrorHandler = Callable[[Request, Exception], Any]
PreflightPolicy = Callable[[Request], "CORSPolicy | None"]


async def _decorated(handler: Any, request: Request, origin: bytes, policy: CORSPolicy, on_error: ErrorHandler) -> Any:
    try:
        response = handler(request)
        if inspect.isawaitable(response):
            response = await response
    except Exception as exc:
        # answered here, so that a browser can read the error too
        response = await on_error(request, exc)
    if response is None:
        response = Response(204)
    if isinstance(response, Response):
        policy.decorate(response, origin)
    return response


def wrap(handler: Any, policy: CORSPolicy | None, preflight_policy: PreflightPolicy, on_error: ErrorHandler) -> Any:
    """`handler` answering CORS requests with `policy` (None: the handler
    adds no CORS headers) and preflights with the policy of the route that
    serves the asked method."""

    def cors(request: Request) -> Any:
        if not is_cors_request(request):
            return handler(request)
        origin: bytes = request.get_first_header(b"origin")
        if is_cors_preflight_request(request):
            chosen = preflight_policy(request)
            if chosen is not None:
                return chosen.preflight(request, origin)
            return handler(request)
        if policy is None:
            return handler(request)
        return _decorated(handler, request, origin, policy, on_error)

    cors.__name__ = getattr(handler, "__name__", "cors")
    cors.__wrapped__ = handler  # type: ignore[attr-defined]
    return cors
