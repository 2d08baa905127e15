"""The application's router: decorators that register request handlers, and
the look-up the application core calls once per request.

Routes live in a `RadixRouter`, one tree per method.  A request is routed on
its path exactly as the server gave it (bytes for ASGI, str for RSGI); the
tree percent-decodes the captured values once and hands them back, and the
match is built around them without decoding them again.

`get_match` never answers "nothing": an unknown path gets a match whose
handler raises `NotFound` (so a registered 404 handler answers it), a path
known under other methods one that answers 405 with an `Allow` header.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Iterable
from typing import Any, TypeVar, cast
from urllib.parse import quote

from velmora.contents import StreamedContent, TextContent
from velmora.exceptions import NotFound
from velmora.messages import Request, Response
from velmora.routing import RadixRouter, RouteMatch

__all__ = ["Route", "Router", "param_names_of", "build_path"]

Handler = Callable[[Request], Any]
_H = TypeVar("_H", bound=Handler)

_PARAM_TYPES = frozenset(("int", "float", "uuid", "str", "string", "path"))


def _parse_param(segment: str) -> tuple[str, str]:
    """(name, type) of a parameter segment: {id:int}, {int:id}, <id>, :id."""
    if (segment[0] == "{" and segment[-1] == "}") or (segment[0] == "<" and segment[-1] == ">"):
        segment = segment[1:-1]
    else:
        segment = segment[1:]
    first, colon, second = segment.partition(":")
    if not colon:
        return first, ""
    if first in _PARAM_TYPES:
        return second, first
    return first, second


def param_names_of(pattern: str) -> list[str]:
    """The names of the values a pattern captures, in path order; a trailing
    wildcard ("*" or a path parameter) captures the rest of the path last."""
    names: list[str] = []
    for segment in pattern.split("/"):
        if not segment:
            continue
        if segment[0] == "*":
            names.append("tail")
            break
        if (segment[0] == "{" and segment[-1] == "}") or (segment[0] == "<" and segment[-1] == ">") or segment[0] == ":":
            name, kind = _parse_param(segment)
            names.append(name)
            if kind == "path":
                break
    return names


def build_path(name: str, pattern: str, params: dict[str, Any]) -> str:
    """The path of `pattern` with its parameters replaced by `params`,
    percent-encoded ("/" is kept only in a path parameter or the "*" tail)."""
    segments: list[str] = []
    used: set[str] = set()
    for segment in pattern.split("/"):
        if not segment:
            segments.append(segment)
            continue
        if segment[0] == "*":
            key, safe = "tail", "/"
        elif (segment[0] == "{" and segment[-1] == "}") or (segment[0] == "<" and segment[-1] == ">") or segment[0] == ":":
            key, kind = _parse_param(segment)
            safe = "/" if kind == "path" else ""
        else:
            segments.append(segment)
            continue
        if key not in params:
            raise ValueError(f"route {name!r} ({pattern}) needs the parameter {key!r}")
        segments.append(quote(str(params[key]), safe=safe))
        used.add(key)
    unknown = sorted(set(params) - used)
    if unknown:
        raise ValueError(f"route {name!r} ({pattern}) has no parameter {', '.join(map(repr, unknown))}")
    return "/".join(segments)


class Route:
    """A registered handler: what the tree stores and the match hands back."""

    __slots__ = ("method", "pattern", "handler", "param_names", "has_wildcard", "name", "cors_policy", "__weakref__")

    def __init__(self, method: str, pattern: str, handler: Handler, name: str | None = None) -> None:
        self.method = method
        self.pattern = pattern
        self.handler = handler
        self.name = name
        self.cors_policy: Any = None
        self.param_names = param_names_of(pattern)
        self.has_wildcard = "*" in pattern or any(
            _parse_param(s)[1] == "path" for s in pattern.split("/") if s[:1] in ("{", "<", ":")
        )

    def __repr__(self) -> str:
        return f"<Route {self.method} {self.pattern}>"


def _checked(handler: Handler) -> Handler:
    """A synchronous handler that must give a response, None or an awaitable:
    anything else becomes a TypeError inside the application's guard, so it
    is logged and answered by the 500 path under both interfaces."""

    def checked(request: Request) -> Any:
        result = handler(request)
        if result is None or isinstance(result, Response) or inspect.isawaitable(result):
            return result
        raise TypeError(f"a request handler must return a Response, got {type(result).__name__}")

    checked.__name__ = getattr(handler, "__name__", "handler")
    checked.__qualname__ = getattr(handler, "__qualname__", checked.__name__)
    checked.__wrapped__ = handler  # type: ignore[attr-defined]
    return checked


async def _no_parts() -> Any:
    return
    yield b""  # an async generator that yields nothing


def _head_of(get_route: Route) -> Route:
    """The route that answers HEAD with a GET handler: the same response,
    except that a produced stream is never run (its body would be dropped;
    an endless one would never end)."""
    handler = get_route.handler

    async def head(request: Request) -> Any:
        response = handler(request)
        if inspect.isawaitable(response):
            response = await response
        if isinstance(response, Response):
            content = response.content
            if isinstance(content, StreamedContent) and content.file_path is None:
                response.content = StreamedContent(content.type, _no_parts, content.length)
        return response

    head.__name__ = getattr(handler, "__name__", "head")
    route = Route("HEAD", get_route.pattern, head)
    route.param_names = get_route.param_names
    return route


def _not_found(request: Request) -> Any:
    raise NotFound()


class _Fallback:
    """A match for a request no route answers (unknown path, other method)."""

    __slots__ = ("pattern", "handler")

    def __init__(self, handler: Handler) -> None:
        self.pattern = "*"
        self.handler = handler


def _method_not_allowed(allow: bytes) -> Handler:
    def method_not_allowed(request: Request) -> Response:
        return Response(405, [(b"allow", allow)], TextContent("Method Not Allowed"))

    return method_not_allowed


def _named(route: Route, values: dict[str, str]) -> dict[str, str]:
    # With an empty remainder the tree keeps its positional keys: name them.
    names = route.param_names
    if len(values) == len(names) and not all(name in values for name in names):
        return dict(zip(names, values.values()))
    return values


def _match_of(route: Route, values: dict[str, str] | None) -> RouteMatch:
    match = RouteMatch(route)
    if values is not None:
        match._values = _named(route, values) if route.has_wildcard else values
    return match


class Router:
    """Request handlers by method and path pattern.

        @app.router.get("/users/{id:int}")
        async def user(request): ...

    Patterns: static segments, parameters ({name}, {name:int}, {name:float},
    {name:uuid}, {name:path}; also <name> and :name) and a trailing "*" that
    captures the rest of the path under "tail".
    """

    __slots__ = (
        "_radix", "_static", "_lookup", "_routes", "_methods", "_head_routes", "_not_found", "_not_allowed", "_names",
        "_wrap",
    )

    def __init__(self) -> None:
        self._radix = RadixRouter()
        self._static = self._radix.get_static_match
        self._lookup = self._radix.get_match
        self._routes: list[Route] = []
        self._methods: list[str] = []
        self._head_routes: dict[int, Route] = {}
        self._not_found = RouteMatch(_Fallback(_not_found))
        self._not_allowed: dict[tuple[str, ...], RouteMatch] = {}
        self._names: dict[str, Route] = {}
        self._wrap: Callable[[Handler], Handler] | None = None

    # -------------------------------------------------------- registering

    def add_route(self, method: str, pattern: str, handler: Handler, name: str | None = None) -> Route:
        """Registers `handler` for `method` (any case) and `pattern`; `name`
        (by default the handler's `__name__`) is the route's name for
        `url_for`."""
        if not callable(handler):
            raise TypeError(f"a request handler must be callable, got {type(handler).__name__}")
        if not isinstance(pattern, str):
            raise TypeError(f"a route pattern must be str, got {type(pattern).__name__}")
        method = method.upper()
        if not inspect.iscoroutinefunction(handler):
            handler = _checked(handler)
        route = Route(method, pattern, handler, name)
        self._radix.add_route(method, pattern, route, cast("list[str | bytes]", route.param_names))
        self._name_route(route, name, handler)
        self._routes.append(route)
        if method not in self._methods:
            self._methods.append(method)
        self._not_allowed.clear()
        return route

    def _name_route(self, route: Route, name: str | None, handler: Handler) -> None:
        known = self._names.get(name) if name is not None else None
        if known is not None and known.pattern != route.pattern:
            raise ValueError(f"route name {name!r} is already taken by {known.pattern!r}")
        if name is None:
            name = getattr(handler, "__name__", None)
            if not isinstance(name, str) or name in self._names:
                return  # a default name never replaces a given one
        route.name = name
        self._names.setdefault(name, route)

    def route(self, pattern: str, methods: Iterable[str] = ("GET",), name: str | None = None) -> Callable[[_H], _H]:
        """Decorator: registers the function for every method of `methods`."""
        if isinstance(methods, str):
            methods = (methods,)

        def decorator(handler: _H) -> _H:
            for method in methods:
                self.add_route(method, pattern, handler, name)
            return handler

        return decorator

    def get(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("GET",), name)

    def post(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("POST",), name)

    def put(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("PUT",), name)

    def patch(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("PATCH",), name)

    def delete(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("DELETE",), name)

    def head(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("HEAD",), name)

    def options(self, pattern: str, name: str | None = None) -> Callable[[_H], _H]:
        return self.route(pattern, ("OPTIONS",), name)

    @property
    def routes(self) -> list[Route]:
        return list(self._routes)

    def url_for(self, name: str, /, **params: Any) -> str:
        """The path of the route named `name` with `params` in place of its
        parameters (percent-encoded); ValueError names the route when one is
        missing or unknown."""
        route = self._names.get(name)
        if route is None:
            raise LookupError(f"no route named {name!r}")
        return build_path(name, route.pattern, params)

    def wrap_handlers(self, wrap: Callable[..., Handler]) -> None:
        """Replaces every handler (the 404 and 405 answers too) by
        `wrap(handler, route)`; done once, before the first request."""
        for route in self._routes:
            route.handler = wrap(route.handler, route)
        fallback = self._not_found.route
        fallback.handler = wrap(fallback.handler)
        self._wrap = wrap
        self._not_allowed.clear()
        self._head_routes.clear()

    def find(self, method: str, path: Any) -> Route | None:
        """The route that serves `method` on `path` (as given by the server)."""
        radix = self._radix
        match = radix.get_static_match(method, path)
        if match is not None:
            return match.route
        if type(path) is str and "%" in path:
            path = path.replace("%", "%25")
        found = radix.get_match(method, path)
        return None if found is None else found[0]

    def freeze(self) -> None:
        """Marks the end of registration (the server is about to dispatch)."""
        self._radix.freeze()

    # ------------------------------------------------------------ looking up

    def get_match(self, request: Request) -> RouteMatch:
        """The match for the request; a fallback match when no route answers."""
        method: Any = request.method
        path: Any = request._path
        match = self._static(method, path)
        if match is not None:
            return match
        if type(path) is str and "%" in path:
            # An RSGI server hands over the path already percent-decoded; the
            # tree decodes what it captures, so a "%" must reach it escaped.
            path = path.replace("%", "%25")
        found = self._lookup(method, path)
        if found is None:
            return self._fallback(method, path)
        # The values were decoded by the tree: they are set on the match, not
        # passed to its constructor, which would decode them a second time.
        route, values = found
        match = RouteMatch(route)
        if values is not None:
            match._values = _named(route, values) if route.has_wildcard else values
        return match

    def _fallback(self, method: Any, path: Any) -> RouteMatch:
        radix = self._radix
        if method == "HEAD":
            found = radix.get_match("GET", path)
            if found is not None:
                route, values = found
                head = self._head_routes.get(id(route))
                if head is None:
                    head = self._head_routes[id(route)] = _head_of(route)
                return _match_of(head, values)
        allowed = [m for m in self._methods if m != method and radix.get_match(m, path) is not None]
        if not allowed:
            return self._not_found
        if "GET" in allowed and "HEAD" not in allowed:
            allowed.append("HEAD")
        key = tuple(sorted(allowed))
        match = self._not_allowed.get(key)
        if match is None:
            handler = _method_not_allowed(", ".join(key).encode())
            if self._wrap is not None:
                handler = self._wrap(handler)
            match = self._not_allowed[key] = RouteMatch(_Fallback(handler))
        return match
