"""The velmora demo application.

    uvicorn demo.app:app                    (ASGI)
    granian --interface rsgi demo.app:app   (RSGI)

Every endpoint is listed on the index page, http://127.0.0.1:8000/.
"""

from __future__ import annotations

import asyncio
import hashlib
import os
import tempfile
from datetime import datetime, timezone
from html import escape
from typing import Any

from velmora import Application, ServerSentEvent, file, html, json, redirect, sse, text
from velmora.cookies import Cookie
from velmora.messages import get_absolute_url_to_path, get_request_absolute_url
from velmora.exceptions import BadRequest, NotFound, UnprocessableEntity

app = Application()
router = app.router

DOWNLOAD_SIZE = 1 << 20  # 1 MiB, byte i holding i % 251
_download_path: str | None = None

INDEX = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>velmora demo</title></head><body>
<h1>velmora demo</h1>
<ul>
<li><a href="/hello/world">GET /hello/{name}</a>: text</li>
<li><a href="/users/42">GET /users/{id:int}</a>: JSON with a typed parameter</li>
<li><a href="/request-info">GET /request-info</a>: what the request says about itself</li>
<li><a href="/search?q=velmora&amp;page=2&amp;tag=a&amp;tag=b">GET /search?q=&amp;page=&amp;tag=</a>: query parameters</li>
<li>POST /echo: JSON in, JSON out</li>
<li>POST /items: JSON validated, 422 with the details when invalid</li>
<li>POST /form: URL-encoded or multipart form fields</li>
<li>POST /upload: multipart file upload, answers each file's size and SHA-256</li>
<li><a href="/cookies">GET /cookies</a>, <a href="/cookies/set?name=flavour&amp;value=oat">GET /cookies/set?name=&amp;value=</a>,
    <a href="/cookies/clear?name=flavour">GET /cookies/clear?name=</a></li>
<li><a href="/events?count=5">GET /events?count=&amp;interval=</a>: server-sent events (count=0: endless)</li>
<li><a href="/download">GET /download</a>: a 1 MiB file, byte ranges supported</li>
<li><a href="/teapot">GET /teapot</a>: an error turned into a response by a custom handler</li>
<li><a href="/missing">GET /missing</a>: the custom 404 page</li>
<li><a href="/boom">GET /boom</a>: an unhandled error (500)</li>
</ul>
</body></html>
"""


@router.get("/")
async def index(request: Any) -> Any:
    return html(INDEX)


@router.get("/hello/{name}")
async def hello(request: Any) -> Any:
    return text(f"Hello, {request.route_values['name']}!")


@router.get("/users/{id:int}")
async def user(request: Any) -> Any:
    return json({"id": int(request.route_values["id"])})


def _latin1(value: Any) -> str:
    return value.decode("latin-1") if isinstance(value, bytes) else str(value)


@router.get("/request-info")
async def request_info(request: Any) -> Any:
    return json(
        {
            "method": request.method,
            "scheme": request.scheme,
            "host": request.host,
            "client_ip": request.client_ip,
            "path": request.path,
            "url": get_request_absolute_url(request).value.decode(),
            "to_path": get_absolute_url_to_path(request, "/users/1").value.decode(),
            "headers": {_latin1(name): _latin1(value) for name, value in request.headers.values},
        }
    )


@router.get("/search")
async def search(request: Any) -> Any:
    page_text = request.get_query_param("page", "1")
    try:
        page = int(page_text)
    except ValueError:
        raise UnprocessableEntity(
            [{"loc": ["query", "page"], "msg": "value is not a valid integer", "type": "type_error.integer"}]
        ) from None
    return json({"q": request.get_query_param("q", ""), "page": page, "tags": request.get_query_params("tag")})


@router.post("/echo")
async def echo(request: Any) -> Any:
    data = await request.json()
    if data is None:
        raise BadRequest("a JSON body is required")
    return json({"received": data})


@router.post("/items")
async def create_item(request: Any) -> Any:
    data = await request.json()
    errors = []
    if not isinstance(data, dict):
        errors.append({"loc": ["body"], "msg": "an object is required", "type": "type_error.dict"})
        data = {}
    name, price = data.get("name"), data.get("price")
    if not isinstance(name, str) or not name:
        errors.append({"loc": ["body", "name"], "msg": "a non-empty string is required", "type": "value_error"})
    if isinstance(price, bool) or not isinstance(price, (int, float)) or price < 0:
        errors.append({"loc": ["body", "price"], "msg": "a number >= 0 is required", "type": "value_error"})
    if errors:
        raise UnprocessableEntity(errors)
    return json({"name": name, "price": price}, status=201)


def _text(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, list):
        return [_text(item) for item in value]
    if hasattr(value, "data") and hasattr(value, "file_name"):  # a form part
        return _part_text(value)
    return value


def _part_text(part: Any) -> Any:
    data = part.data
    if hasattr(data, "read"):
        data.seek(0)
        data = data.read()
    return _text(data)


@router.post("/form")
async def form(request: Any) -> Any:
    data = await request.form()
    return json({key if isinstance(key, str) else key.decode(): _text(value) for key, value in (data or {}).items()})


@router.post("/upload")
async def upload(request: Any) -> Any:
    files = []
    for part in await request.files():
        digest, size = hashlib.sha256(), 0
        data = part.data
        data.seek(0)
        while chunk := data.read(65536):
            digest.update(chunk)
            size += len(chunk)
        files.append(
            {"field": _text(part.name), "name": _text(part.file_name), "size": size, "sha256": digest.hexdigest()}
        )
    return json({"files": files})


@router.get("/cookies")
async def cookies(request: Any) -> Any:
    return json({"cookies": request.cookies})


@router.get("/cookies/set")
async def set_cookie(request: Any) -> Any:
    name = request.get_query_param("name")
    if not name:
        raise BadRequest("the query parameter name is required")
    response = redirect("/cookies", 303)
    response.set_cookie(Cookie(name, request.get_query_param("value", ""), path="/", http_only=True))
    return response


@router.get("/cookies/clear")
async def clear_cookie(request: Any) -> Any:
    response = redirect("/cookies", 303)
    expired = datetime(1970, 1, 1, tzinfo=timezone.utc)
    response.set_cookie(Cookie(request.get_query_param("name", ""), "", expired, path="/", http_only=True))
    return response


@router.get("/events")
async def events(request: Any) -> Any:
    try:
        count = int(request.get_query_param("count", "5"))
        interval = float(request.get_query_param("interval", "0.5"))
    except ValueError:
        raise BadRequest("count and interval must be numbers") from None

    async def ticks() -> Any:
        n = 0
        while count <= 0 or n < count:
            if n:
                await asyncio.sleep(interval)
            n += 1
            yield ServerSentEvent({"tick": n}, event="tick", id=str(n))

    return sse(ticks())


def download_path() -> str:
    global _download_path
    if _download_path is None or not os.path.exists(_download_path):
        handle, path = tempfile.mkstemp(prefix="velmora-demo-", suffix=".bin")
        with os.fdopen(handle, "wb") as out:
            out.write(bytes(i % 251 for i in range(DOWNLOAD_SIZE)))
        _download_path = path
    return _download_path


@router.get("/download")
async def download(request: Any) -> Any:
    return file(download_path(), request, content_type="application/octet-stream", filename="velmora-demo.bin")


class TeapotError(Exception):
    """Raised by the teapot; answered by its own handler."""


@router.get("/teapot")
async def teapot(request: Any) -> Any:
    raise TeapotError("I refuse to brew coffee")


@router.get("/boom")
async def boom(request: Any) -> Any:
    raise RuntimeError("this handler always fails")


async def teapot_handler(app: Any, request: Any, exc: TeapotError) -> Any:
    return json({"error": str(exc)}, status=418)


async def not_found_handler(app: Any, request: Any, exc: NotFound) -> Any:
    where = escape(request.path[:200])
    return html(f"<!DOCTYPE html>\n<h1>Not here</h1>\n<p>Nothing lives at <code>{where}</code>.</p>\n", status=404)


app.exceptions_handlers[TeapotError] = teapot_handler
app.exceptions_handlers[404] = not_found_handler


async def remove_download(application: Any) -> None:
    if _download_path is not None and os.path.exists(_download_path):
        os.unlink(_download_path)


app.on_shutdown.append(remove_download)
