"""Paths built for named routes, and their round trip through the router."""

from __future__ import annotations

import pytest

from velmora import Application, json
from velmora.testing import TestClient


@pytest.fixture
def app():
    app = Application()
    r = app.router

    async def values(request):
        return json(request.route_values)

    r.add_route("GET", "/users/{id:int}", values, name="user")
    r.add_route("GET", "/tags/{tag}/posts/{slug}", values, name="post")
    r.add_route("GET", "/files/{rest:path}", values, name="file")
    r.add_route("GET", "/raw/*", values, name="raw")
    r.add_route("GET", "/about", values, name="about")
    return app


@pytest.mark.parametrize(
    ("name", "params", "path", "values"),
    [
        ("user", {"id": 42}, "/users/42", {"id": "42"}),
        ("post", {"tag": "a b/c", "slug": "é?#%"}, "/tags/a%20b%2Fc/posts/%C3%A9%3F%23%25", {"tag": "a b/c", "slug": "é?#%"}),
        ("file", {"rest": "docs/a b.txt"}, "/files/docs/a%20b.txt", {"rest": "docs/a b.txt"}),
        ("raw", {"tail": "x/y"}, "/raw/x/y", {"tail": "x/y"}),
        ("about", {}, "/about", None),
    ],
)
def test_paths_round_trip(app, name, params, path, values):
    assert app.router.url_for(name, **params) == path
    with TestClient(app) as client:
        assert client.get(path).json() == values


def test_errors_name_the_route(app):
    with pytest.raises(ValueError, match=r"'post'.*'slug'"):
        app.router.url_for("post", tag="x")
    with pytest.raises(ValueError, match=r"'user'.*'name'"):
        app.router.url_for("user", id=1, name="x")
    with pytest.raises(LookupError, match="'nope'"):
        app.router.url_for("nope")


def test_names(app):
    async def other(request):
        return None

    # the same name for another pattern is refused; a default name never replaces one
    with pytest.raises(ValueError, match="already taken"):
        app.router.add_route("GET", "/elsewhere", other, name="post")
    app.router.add_route("POST", "/tags/{tag}/posts/{slug}", other, name="post")
    app.router.add_route("GET", "/other", other)
    assert app.router.url_for("other") == "/other"
    app.router.add_route("GET", "/other-again", other)
    assert app.router.url_for("other") == "/other"
