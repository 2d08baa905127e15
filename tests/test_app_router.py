"""The application's router: registration, values, HEAD, 404 and 405."""

from __future__ import annotations

import pytest

from appkit import asgi, both, rsgi
from velmora import Application, json, stream, text
from velmora.router import param_names_of


@pytest.mark.parametrize(
    ("pattern", "names"),
    [
        ("/", []),
        ("/users/{id:int}", ["id"]),
        ("/users/{int:id}/posts/<slug>", ["id", "slug"]),
        ("/a/:x/:y:float", ["x", "y"]),
        ("/files/{kind}/*", ["kind", "tail"]),
        ("/files/*.txt", ["tail"]),
        ("/static/{rest:path}/ignored", ["rest"]),
    ],
)
def test_param_names(pattern, names):
    assert param_names_of(pattern) == names


def values_app():
    app = Application()

    @app.router.route("/v/{a}/{b:int}", methods=["GET", "POST"])
    async def two(request):
        return json(request.route_values)

    @app.router.get("/files/{kind}/*")
    async def files(request):
        return json(request.route_values)

    @app.router.get("/static")
    async def static(request):
        return json(request.route_values)

    return app


@pytest.mark.parametrize(
    ("asgi_path", "rsgi_path", "values"),
    [
        # the tree decodes once: a doubly encoded "../" must stay encoded once
        ("/v/%252e%252e%252f/1", "/v/%2e%2e%2f/1", {"a": "%2e%2e%2f", "b": "1"}),
        ("/v/caf%C3%A9/7", "/v/café/7", {"a": "café", "b": "7"}),
        ("/files/img/a/b%20c", "/files/img/a/b c", {"kind": "img", "tail": "a/b c"}),
        ("/files/img", "/files/img", {"kind": "img", "tail": ""}),
        ("/static/", "/static/", None),
    ],
)
def test_values_are_decoded_once_and_named(asgi_path, rsgi_path, values):
    app = values_app()
    status, _, body, _ = asgi(app, "GET", asgi_path)
    assert status == 200
    assert body == json(values).content.body
    protocol = rsgi(app, "GET", rsgi_path)
    assert protocol.status == 200
    assert protocol.body == body


def test_unknown_path_and_other_method():
    app = values_app()

    async def custom_404(application, request, exc):
        return text("nope", 404)

    app.exceptions_handlers[404] = custom_404
    for asgi_side, rsgi_side in [both(app, "GET", "/elsewhere"), both(app, "DELETE", "/v/x/1")]:
        assert asgi_side == rsgi_side
    assert both(app, "GET", "/elsewhere")[0] == (404, "text/plain; charset=utf-8", b"nope")
    status, headers, body, _ = asgi(app, "DELETE", "/v/x/1")
    assert (status, headers["allow"], body) == (405, "GET, HEAD, POST", b"Method Not Allowed")
    assert rsgi(app, "PUT", "/files/a/b").headers["allow"] == "GET, HEAD"
    # /v/x/y fails the int check under every method: not found, not 405
    assert asgi(app, "DELETE", "/v/x/y")[0] == 404


def test_head_is_answered_by_get_without_running_streams():
    app = Application()
    started = []

    @app.router.get("/doc")
    async def doc(request):
        return text("twelve bytes")

    @app.router.get("/feed")
    async def feed(request):
        async def forever():
            started.append(True)
            while True:
                yield b"x"

        return stream(forever(), "text/plain")

    @app.router.get("/own")
    async def own_get(request):
        return text("get")

    @app.router.head("/own")
    async def own_head(request):
        return text("head!", headers={"x-head": "1"})

    status, headers, _, _ = asgi(app, "HEAD", "/doc")
    assert (status, headers["content-length"]) == (200, "12")
    assert asgi(app, "HEAD", "/feed")[0] == 200
    assert rsgi(app, "HEAD", "/feed").status == 200
    assert started == []
    assert asgi(app, "HEAD", "/own")[1]["x-head"] == "1"
    assert rsgi(app, "HEAD", "/own").headers["x-head"] == "1"


@pytest.mark.parametrize(
    ("result", "status"),
    [(None, 204), ("a string", 500), ({"a": 1}, 500), (42, 500)],
)
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_handler_results_that_are_not_responses(result, status, kind):
    app = Application()
    if kind == "sync":
        app.router.add_route("GET", "/", lambda request: result)
    else:

        async def handler(request):
            return result

        app.router.add_route("GET", "/", handler)
    asgi_side, rsgi_side = both(app, "GET", "/")
    assert asgi_side[0] == status
    assert asgi_side == rsgi_side


def test_registration_errors():
    app = Application()
    with pytest.raises(TypeError):
        app.router.add_route("GET", "/", "not callable")
    with pytest.raises(TypeError):
        app.router.add_route("GET", b"/", lambda r: None)
    route = app.router.add_route("get", "/x", lambda r: None)
    assert route.method == "GET" and app.router.routes == [route]
