"""What the application offers beside routing: middleware, CORS policies,
static files, the lifespan context, shared state and the request limits.

Everything here is settled when the application starts: `compose` wraps
each route handler once, so a request pays only for what it uses.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from contextlib import AbstractAsyncContextManager
from types import SimpleNamespace
from typing import Any, TypeVar

from velmora import cors as _cors
from velmora.middleware import Middleware, check, compose
from velmora.settings.limits import Limits, limits
from velmora.static import StaticFiles, serve_files

__all__ = ["ApplicationFeatures", "Lifespan"]

Lifespan = Callable[[Any], AbstractAsyncContextManager[Any]]
_F = TypeVar("_F", bound=Callable[..., Any])
_M = TypeVar("_M", bound=Middleware)


class ApplicationFeatures:
    """Mixed into the application class."""

    middlewares: list[Middleware]
    state: SimpleNamespace
    lifespan: Lifespan | None
    cors_policies: dict[str, _cors.CORSPolicy]
    default_cors_policy: _cors.CORSPolicy | None

    def _init_features(self, lifespan: Lifespan | None) -> None:
        self.middlewares = []
        self.state = SimpleNamespace()
        self.lifespan = lifespan
        self.cors_policies = {}
        self.default_cors_policy = None
        self._lifespan_context: AbstractAsyncContextManager[Any] | None = None
        self._composed = False

    # ------------------------------------------------------------ middleware

    def middleware(self, middleware: _M) -> _M:
        """Decorator: appends `middleware` to `middlewares` (the first one
        registered runs outermost)."""
        self._not_composed("a middleware")
        self.middlewares.append(check(middleware))
        return middleware

    # ------------------------------------------------------------------ CORS

    def use_cors(self, **options: Any) -> _cors.CORSPolicy:
        """Sets the policy of every route that names none (keyword arguments
        of `CORSPolicy`: allow_origins, allow_methods, allow_headers,
        allow_credentials, expose_headers, max_age)."""
        self._not_composed("a CORS policy")
        self.default_cors_policy = _cors.CORSPolicy(**options)
        return self.default_cors_policy

    def add_cors_policy(self, name: str, **options: Any) -> _cors.CORSPolicy:
        """A named policy, given to routes with the `cors(name)` decorator."""
        self._not_composed("a CORS policy")
        policy = self.cors_policies[name] = _cors.CORSPolicy(**options)
        return policy

    def cors(self, name: str) -> Callable[[_F], _F]:
        """Decorator: the handler answers cross-origin requests with the
        policy registered under `name`."""

        def decorator(handler: _F) -> _F:
            return _cors.mark(handler, name)

        return decorator

    # --------------------------------------------------------- static files

    def serve_files(
        self, directory: str | os.PathLike[str], prefix: str = "/static", *, index: str | None = "index.html",
        cache_control: str | None = None,
    ) -> StaticFiles:
        """Serves the files of `directory` under `prefix` (GET and HEAD)."""
        return serve_files(self, directory, prefix, index=index, cache_control=cache_control)

    # ---------------------------------------------------------------- limits

    @property
    def limits(self) -> Limits:
        """The request limits (`velmora.settings.limits.limits`, shared by
        every application of the process and read on each request)."""
        return limits

    # ------------------------------------------------------------ life cycle

    def _not_composed(self, what: str) -> None:
        if self._composed:
            raise RuntimeError(f"{what} cannot be added once the application has started")

    def compose(self) -> None:
        """Wraps every route handler in the middlewares and CORS policies
        (once; the application's start does it)."""
        if self._composed:
            return
        self._composed = True
        middlewares = tuple(self.middlewares)
        router: Any = getattr(self, "router")
        policies = self.cors_policies
        default = self.default_cors_policy
        use_cors = default is not None or bool(policies)
        if not middlewares and not use_cors:
            return

        def policy_of(handler: Any) -> _cors.CORSPolicy | None:
            name = _cors.cors_policy_name(handler)
            if name is None:
                return default
            policy = policies.get(name)
            if policy is None:
                raise LookupError(f"no CORS policy named {name!r} (handler {getattr(handler, '__name__', handler)!r})")
            return policy

        def preflight_policy(request: Any) -> _cors.CORSPolicy | None:
            method = request.get_first_header(b"access-control-request-method") or b""
            route = router.find(method.strip().upper().decode("latin-1"), request._path)
            return default if route is None else route.cors_policy

        on_error = getattr(self, "handle_request_handler_exception")

        def wrap(handler: Any, route: Any = None) -> Any:
            policy = policy_of(handler)
            if route is not None:
                route.cors_policy = policy
            composed = compose(middlewares, handler)
            if use_cors:
                composed = _cors.wrap(composed, policy, preflight_policy, on_error)
            return composed

        router.wrap_handlers(wrap)

    async def _enter_lifespan(self) -> None:
        if self.lifespan is None:
            return
        context = self.lifespan(self)
        value = await context.__aenter__()
        self._lifespan_context = context
        if isinstance(value, Mapping):
            vars(self.state).update(value)

    async def _exit_lifespan(self, *exc_info: Any) -> None:
        context, self._lifespan_context = self._lifespan_context, None
        if context is not None:
            await context.__aexit__(*(exc_info or (None, None, None)))

