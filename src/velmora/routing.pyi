"""Radix-tree route tables with static fast paths, and the router over them."""

import re
from typing import Any, Final, Protocol, Sequence
from urllib.parse import unquote as unquote

__all__ = ["RadixNode", "RadixTree", "RouteMatch", "RadixRouter"]

_INT_RX_BYTES: Final[re.Pattern[bytes]]
_FLOAT_RX_BYTES: Final[re.Pattern[bytes]]
_UUID_RX_BYTES: Final[re.Pattern[bytes]]
_INT_RX_STR: Final[re.Pattern[str]]
_FLOAT_RX_STR: Final[re.Pattern[str]]
_UUID_RX_STR: Final[re.Pattern[str]]

_Values = dict[str, str]
_Match = tuple[Any, _Values | None]

class _Validator(Protocol):
    def match(self, segment: Any, /) -> object: ...

class RadixNode:
    segment_str: str | None
    segment_bytes: bytes | None
    route: Any
    children_str: dict[str, RadixNode] | None
    children_bytes: dict[bytes, RadixNode] | None
    param_child: RadixNode | None
    param_name: str | None
    param_names: list[str] | None
    param_validator_str: _Validator | None
    param_validator_bytes: _Validator | None
    wildcard_child: RadixNode | None
    wildcard_name: str | None
    wildcard_suffix_str: str | None
    wildcard_suffix_bytes: bytes | None
    is_leaf: bool
    def __init__(self, segment_str: str = "", segment_bytes: bytes = b"") -> None: ...

class RadixTree:
    root: RadixNode
    static_routes_str: dict[str, Any]
    static_routes_bytes: dict[bytes, Any]
    def __init__(self) -> None: ...
    def insert(self, pattern: str | bytes | object, route: Any,
               param_names: list[str | bytes] | None = None) -> None: ...
    def match(self, path: str | bytes | object) -> _Match | None: ...

class RouteMatch:
    pattern: Any
    _values: dict[Any, Any] | None
    route: Any
    def __init__(self, route: Any, values: dict[Any, Any] | None = None) -> None: ...
    @property
    def values(self) -> dict[Any, Any] | None: ...
    @property
    def handler(self) -> Any: ...

class RadixRouter:
    trees: dict[str | bytes, RadixTree]
    static_matches: dict[tuple[str | bytes, str | bytes], RouteMatch]
    def __init__(self) -> None: ...
    def add_route(self, method: str | bytes | object, pattern: str | bytes | object, route: Any,
                  param_names: list[str | bytes] | None = None) -> None:
        """Registers a route for a method; RuntimeError once the router is frozen."""
    def get_match(self, method: str | bytes | object, path: str | bytes | object) -> _Match | None: ...
    def get_static_match(self, method: str | bytes, path: str | bytes) -> RouteMatch | None: ...
    def freeze(self) -> None:
        """Freezes the radix router tables for concurrent read-only dispatch."""
