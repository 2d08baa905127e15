"""Cookie, CookieSameSiteMode, the Set-Cookie writer and parser, and cookie dates."""

import enum
from datetime import datetime

class CookieSameSiteMode(enum.IntEnum):
    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

class CookieError(Exception):
    def __init__(self, message: str | None) -> None: ...

class CookieValueExceedsMaximumLength(CookieError):
    def __init__(self) -> None: ...

class Cookie:
    expires: datetime | None
    domain: str | None
    path: str | None
    http_only: bool
    secure: bool
    max_age: int
    # a stored value outside CookieSameSiteMode reads back as a plain int
    same_site: CookieSameSiteMode | int
    def __init__(
        self,
        name: str,
        value: str | None,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: bool = False,
        secure: bool = False,
        max_age: int = -1,
        same_site: CookieSameSiteMode | int = CookieSameSiteMode.UNDEFINED,
    ) -> None: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def value(self) -> str | None: ...
    @value.setter
    def value(self, value: str | None) -> None: ...
    def clone(self) -> Cookie: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

def datetime_to_cookie_format(value: datetime) -> bytes: ...
def datetime_from_cookie_format(value: bytes) -> datetime: ...
def parse_cookie(raw_value: bytes) -> Cookie: ...
def write_cookie_for_response(cookie: Cookie) -> bytes: ...
