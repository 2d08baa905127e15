"""RadixRouter and RouteMatch."""

from __future__ import annotations

import gc

import pytest

from velmora import routing
from velmora.routing import RadixNode, RadixRouter, RadixTree, RouteMatch


class Route:
    def __init__(self, pattern, handler=None, param_names=None):
        self.pattern = pattern
        self.handler = handler
        if param_names is not None:
            self.param_names = param_names


def router_with(method, *patterns):
    router = RadixRouter()
    routes = {}
    for pattern in patterns:
        routes[pattern] = Route(pattern)
        router.add_route(method, pattern, routes[pattern])
    return router, routes


# -- RouteMatch ---------------------------------------------------------------


@pytest.mark.parametrize(
    "values, expected",
    [
        (None, None),
        ({}, None),
        ({"a": "a%20b"}, {"a": "a b"}),
        ({"b": b"x%41"}, {"b": "xA"}),
        ({"c": b"caf\xc3\xa9"}, {"c": "café"}),
        ({"d": 5, "e": None}, {"d": 5, "e": None}),
        ({"f": "100%"}, {"f": "100%"}),
    ],
)
def test_route_match_value_conversion(values, expected):
    route = Route("/x")
    match = RouteMatch(route, values)
    assert match.values == expected and match._values == expected
    assert match.route is route and match.pattern == "/x"
    if values:
        assert match.values is not values


def test_route_match_errors():
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected dict, got list\)$"):
        RouteMatch(Route("/"), [])
    with pytest.raises(AttributeError):
        RouteMatch(object())
    with pytest.raises(UnicodeDecodeError):
        RouteMatch(Route("/"), {"a": b"\xff"})
    match = RouteMatch(Route("/"))
    with pytest.raises(TypeError, match="^Expected dict, got tuple$"):
        match._values = ()
    match._values = {"k": "v"}
    assert match.values == {"k": "v"}


def test_route_match_detects_size_change_while_copying():
    values = {}
    armed = []

    class Key(str):
        def __hash__(self):
            if armed:
                values["intruder"] = 1
            return str.__hash__(self)

    values[Key("a")] = "x"
    values["b"] = "y"
    armed.append(True)  # the copy hashes the key, which grows the source
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        RouteMatch(Route("/"), values)


def test_route_match_handler_repr_and_fields():
    route = Route("/x", handler=len)
    match = RouteMatch(route)
    assert match.handler is len
    route.handler = abs
    assert match.handler is abs
    assert repr(match) == "<RouteMatch /x>"
    match.pattern = 42
    assert repr(match) == "<RouteMatch 42>"
    with pytest.raises(AttributeError):
        match.values = {}


# -- registration -------------------------------------------------------------


def test_static_route_fast_path_in_all_forms():
    router, r = router_with("GET", "/about")
    route = r["/about"]
    for method in ["GET", b"GET"]:
        for path in ["/about", "/about/", b"/about", b"/about/"]:
            assert router.get_match(method, path) == (route, None)
            assert router.get_static_match(method, path).route is route
    assert len({id(m) for m in router.static_matches.values()}) == 1
    assert len(router.static_matches) == 8
    assert router.get_match("get", "/about") == (route, None)
    assert router.get_match("get", "/ABOUT/") == (route, None)
    assert router.get_static_match("get", "/about") is None
    assert router.get_match("POST", "/about") is None


def test_root_pattern_keys():
    router, r = router_with("GET", "/")
    assert set(router.static_matches) == {(m, p) for m in ["GET", b"GET"] for p in ["/", b"/", "", b""]}
    assert router.get_match(b"GET", b"") == (r["/"], None)


def test_method_normalisation_and_tree_storage():
    router = RadixRouter()
    router.add_route("get", "/u/{id}", Route("/u/{id}"))
    router.add_route(b"get", "/v/{id}", Route("/v/{id}"))
    router.add_route(type("M", (), {"__str__": lambda self: "Get"})(), "/w/{id}", Route("/w/{id}"))
    assert list(router.trees) == ["GET", b"GET"]
    assert router.trees["GET"] is router.trees[b"GET"]
    assert isinstance(router.trees["GET"], RadixTree)
    assert router.static_matches == {}
    assert router.get_static_match("GET", "/u/1") is None
    assert router.get_match("GET", "/u/1")[1] == {"_p_1": "1"}
    assert router.get_match(b"get", b"/w/2")[1] == {"_p_1": "2"}


def test_param_names_argument_reaches_tree():
    router = RadixRouter()
    route = Route("/u/{id}", param_names=["ignored"])
    router.add_route("GET", "/u/{id}", route, param_names=["id"])
    assert router.get_match("GET", "/u/5") == (route, {"id": "5"})
    with pytest.raises(TypeError, match=r"^Argument 'param_names' has incorrect type \(expected list, got str\)$"):
        router.add_route("GET", "/x", route, "id")
    assert router.get_match("GET", "/x") is None


def test_static_route_without_pattern_is_reachable_through_tree_only():
    router = RadixRouter()
    route = object()
    with pytest.raises(AttributeError):
        router.add_route("GET", "/nopattern", route)
    assert router.static_matches == {}
    assert router.get_match("GET", "/nopattern") == (route, None)


def test_invalid_utf8_method_and_pattern():
    router = RadixRouter()
    with pytest.raises(UnicodeDecodeError):
        router.add_route(b"G\xffT", "/", Route("/"))
    assert router.trees == {}
    with pytest.raises(UnicodeDecodeError):
        router.add_route("GET", b"/\xff", Route("/"))
    assert list(router.trees) == ["GET", b"GET"]
    assert router.trees["GET"].static_routes_str == {}


def test_reregistration_replaces_static_match():
    router = RadixRouter()
    a, b = Route("/a"), Route("/a")
    router.add_route("GET", "/a", a)
    first = router.get_static_match("GET", "/a")
    router.add_route("GET", "/a", b)
    assert router.get_static_match("GET", "/a") is not first
    assert router.get_match("get", "/A") == (b, None)


def test_freeze_and_arity():
    router, r = router_with("GET", "/a")
    assert router.freeze() is None
    assert router.get_match("GET", "/a") == (r["/a"], None)
    assert RadixRouter.freeze.__doc__ == "Freezes the radix router tables for concurrent read-only dispatch."
    for call in [lambda: router.get_match("GET"), lambda: router.get_static_match("GET", "/", 1),
                 lambda: router.add_route("GET", "/"), lambda: router.freeze(1), lambda: RadixRouter(1)]:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError, match="^Expected dict, got NoneType$"):
        router.trees = None


def test_frozen_router_rejects_new_routes():
    router, r = router_with("GET", "/a", "/u/{id}")
    router.freeze()
    router.freeze()
    with pytest.raises(RuntimeError, match="frozen"):
        router.add_route("POST", "/b", Route("/b"))
    assert set(router.trees) == {"GET", b"GET"} and len(router.static_matches) == 8
    assert router.get_match("GET", "/u/7") == (r["/u/{id}"], {"_p_1": "7"})
    assert router.get_static_match("GET", "/a/").route is r["/a"]

    class Sub(RadixRouter):
        def add_route(self, method, pattern, route, param_names=None):
            super().add_route(method.upper(), pattern, route, param_names)

    sub = Sub()
    sub.add_route("get", "/x", Route("/x"))
    sub.freeze()
    with pytest.raises(RuntimeError, match="frozen"):
        sub.add_route("get", "/y", Route("/y"))


@pytest.mark.parametrize("cls", [RadixNode, RadixTree, RouteMatch, RadixRouter], ids=lambda c: c.__name__)
def test_types_are_immutable_so_tables_and_methods_agree(cls):
    name = next(n for n in vars(cls) if not n.startswith("__"))
    with pytest.raises(TypeError):
        setattr(cls, name, None)
    with pytest.raises(TypeError):
        cls.injected = 1


def test_module_state_shows_its_method_descriptors_to_the_collector():
    referents = gc.get_referents(routing)
    for cls, names in [(RadixTree, ["insert", "match"]),
                       (RadixRouter, ["add_route", "get_match", "get_static_match", "freeze"])]:
        for name in names:
            assert any(obj is vars(cls)[name] for obj in referents), name


# -- overrides through the method tables --------------------------------------


def test_tree_overrides_are_honoured_by_the_router():
    calls = []

    class LoggingTree(RadixTree):
        def insert(self, pattern, route, param_names=None):
            calls.append(("insert", pattern))
            super().insert(pattern, route, param_names)

        def match(self, path):
            calls.append(("match", path))
            found = super().match(path)
            return found and (found[0], {"seen": True})

    router = RadixRouter()
    router.trees["GET"] = router.trees[b"GET"] = LoggingTree()
    route = Route("/s")
    router.add_route("GET", "/u/{id}", route)
    router.add_route("GET", "/s", route)
    assert router.get_match("GET", "/u/1") == (route, {"seen": True})
    assert router.get_match("get", "/s") == (route, {"seen": True})  # misses the fast path
    assert router.get_match("GET", "/s") == (route, None)  # fast path, no tree call
    assert calls == [("insert", "/u/{id}"), ("insert", "/s"), ("match", "/u/1"), ("match", "/s")]


def test_foreign_object_in_trees_is_rejected():
    router = RadixRouter()
    router.trees["GET"] = {}
    with pytest.raises(TypeError, match="^Expected RadixTree, got dict$"):
        router.get_match("GET", "/x")
