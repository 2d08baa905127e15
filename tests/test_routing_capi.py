"""The published direct-call tables, driven through ctypes: each slot reaches
the native method or, for a subclass that redefines it, the Python override."""

from __future__ import annotations

import ctypes

import pytest

from velmora import routing
from velmora.routing import RadixRouter, RadixTree

P = ctypes.py_object
INT = ctypes.c_int
SSIZE = ctypes.c_ssize_t

TREE_SLOTS = [
    ("insert", ctypes.PYFUNCTYPE(INT, P, P, P, P)),
    ("parse_param_segment", ctypes.PYFUNCTYPE(P, P, P)),
    ("match", ctypes.PYFUNCTYPE(P, P, P)),
    ("match_str", ctypes.PYFUNCTYPE(P, P, P)),
    ("match_bytes", ctypes.PYFUNCTYPE(P, P, P)),
    ("match_recursive_str", ctypes.PYFUNCTYPE(P, P, P, P, SSIZE, P)),
    ("match_recursive_bytes", ctypes.PYFUNCTYPE(P, P, P, P, SSIZE, P)),
]
ROUTER_SLOTS = [
    ("add_route", ctypes.PYFUNCTYPE(INT, P, P, P, P, P)),
    ("get_match", ctypes.PYFUNCTYPE(P, P, P, P)),
    ("get_static_match", ctypes.PYFUNCTYPE(P, P, P, P)),
    ("freeze", ctypes.PYFUNCTYPE(INT, P)),
]


class TreeTable(ctypes.Structure):
    _fields_ = TREE_SLOTS


class RouterTable(ctypes.Structure):
    _fields_ = ROUTER_SLOTS


class Capi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32)] + [
        (name, ctypes.c_void_p) for name in ("node", "tree", "match", "router")
    ] + [("tree_methods", ctypes.POINTER(TreeTable)), ("router_methods", ctypes.POINTER(RouterTable))]


@pytest.fixture(scope="module")
def capi():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = Capi.from_address(get(routing._C_API, b"velmora.routing._C_API"))
    assert (table.version, table.size) == (1, ctypes.sizeof(Capi))
    assert table.tree == id(RadixTree) and table.router == id(RadixRouter)
    return table


class Route:
    pattern = "/p"


def test_tree_slots_reach_native_code(capi):
    t = capi.tree_methods.contents
    tree = RadixTree()
    route = Route()
    assert t.insert(tree, "/u/{id:int}/*", route, None) == 0
    assert t.parse_param_segment(tree, "{int:id}") == ("id", "int")
    assert t.match(tree, b"/u/1/a") == (route, {"_p_1": "1", "tail": "a"})
    assert t.match_str(tree, "/u/x") is None
    node = tree.root.children_str["u"]
    assert t.match_recursive_str(tree, node, ["7", "b", "c"], 0, {"k": "v"}) == (
        route, {"k": "v", "_p_0": "7", "tail": "b/c"})
    assert t.match_recursive_bytes(tree, node.param_child, [b"q"], 0, None) == (route, {"tail": "q"})
    with pytest.raises(TypeError):
        t.match_recursive_str(tree, node, [b"7"], 0, None)


def test_overrides_are_reached_through_the_tables(capi):
    class Tree(RadixTree):
        def match(self, path):
            return ("override", path)

    class Router(RadixRouter):
        def get_match(self, method, path):
            return ("router override", method, path)

        def freeze(self):
            raise RuntimeError("frozen twice")

    t, r = capi.tree_methods.contents, capi.router_methods.contents
    assert t.match(Tree(), "/x") == ("override", "/x")
    assert r.get_match(Router(), "GET", "/x") == ("router override", "GET", "/x")
    with pytest.raises(RuntimeError, match="frozen twice"):
        r.freeze(Router())
    plain = RadixRouter()
    assert r.add_route(plain, "GET", "/s", Route(), None) == 0
    assert r.get_match(plain, "GET", "/s")[1] is None
    assert r.get_static_match(plain, b"GET", "/s/").route is plain.get_match("GET", "/s")[0]
    assert r.freeze(plain) == 0


# -- a native module built against the interface header ---------------------

consumer = pytest.importorskip("velmora._routing_consumer")


def test_consumer_binds_the_published_types():
    assert consumer.bound_types() == (routing.RadixNode, RadixTree, routing.RouteMatch, RadixRouter)


def test_consumer_calls_every_slot():
    tree = RadixTree()
    route = Route()
    assert consumer.tree_insert_without_names(tree, "/u/{id:int}/*", route) == 0  # names: NULL
    assert consumer.tree_insert(tree, "/n/{a}", route, [b"a"]) == 0
    assert consumer.tree_parse_param_segment(tree, "<int:id>") == ("id", "int")
    assert consumer.tree_match(tree, "/u/1/a") == (route, {"_p_1": "1", "tail": "a"})
    assert consumer.tree_match_str(tree, "/n/x%20y") == (route, {"a": "x y"})
    assert consumer.tree_match_bytes(tree, b"/n/%41") == (route, {"a": "A"})
    node = tree.root.children_str["u"]
    assert consumer.tree_match_recursive_str(tree, node, ["7", "b"], 0) == (route, {"_p_0": "7", "tail": "b"})
    assert consumer.tree_match_recursive_bytes(tree, node, [b"x", b"7"], 1, {"k": "v"}) == (
        route, {"k": "v", "_p_1": "7", "tail": ""})
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        consumer.tree_match_recursive_str(tree, node, ("7",), 0)

    router = RadixRouter()
    assert consumer.router_add_route(router, b"get", "/s", route, None) == 0
    assert consumer.router_add_route(router, "GET", "/p/{x}", route, ["x"]) == 0
    assert consumer.router_get_match(router, "GET", b"/s/") == (route, None)
    assert consumer.router_get_match(router, "get", "/p/1") == (route, {"x": "1"})
    assert consumer.router_get_static_match(router, b"GET", "/s").route is route
    assert consumer.router_freeze(router) == 0
    with pytest.raises(RuntimeError, match="frozen"):
        consumer.router_add_route(router, "GET", "/t", route, None)
    assert consumer.router_get_match(router, "PUT", "/s") is None


def test_consumer_reaches_overrides():
    class Tree(RadixTree):
        def insert(self, pattern, route, param_names=None):
            super().insert(pattern.upper(), route, param_names)

        def match(self, path):
            return ("tree", path)

    class Router(RadixRouter):
        def add_route(self, method, pattern, route, param_names=None):
            raise LookupError(method, param_names)

        def get_static_match(self, method, path):
            return "static"

        def freeze(self):
            return 7

    tree = Tree()
    consumer.tree_insert(tree, "/abc", Route(), None)
    assert list(tree.static_routes_str) == ["/ABC", "/ABC/"]
    assert consumer.tree_match(tree, "/x") == ("tree", "/x")
    assert consumer.tree_match_str(tree, "/abc")[1] is None  # not overridable: the native lookup
    router = Router()
    with pytest.raises(LookupError) as caught:
        consumer.router_add_route(router, "GET", "/x", Route(), None)
    assert caught.value.args == ("GET", None)
    assert consumer.router_get_static_match(router, "GET", "/x") == "static"
    assert consumer.router_freeze(router) == 0
    RadixRouter.add_route(router, "GET", "/y", Route())  # the override ran instead: not frozen


def test_published_layouts_match_the_attributes():
    tree = RadixTree()
    route = Route()
    tree.insert("/a/{x:int}/*.TXT", route, ["x", "rest"])
    names = ["segment_str", "segment_bytes", "route", "children_str", "children_bytes", "param_child",
             "param_name", "param_names", "param_validator_str", "param_validator_bytes", "wildcard_child",
             "wildcard_name", "wildcard_suffix_str", "wildcard_suffix_bytes", "is_leaf"]
    node = tree.root.children_str["a"]
    for n in [tree.root, node, node.param_child, node.param_child.wildcard_child]:
        layout = consumer.node_layout(n)
        assert all(got is getattr(n, name) for got, name in zip(layout[:-1], names))
        assert layout[-1] == n.is_leaf
    assert consumer.tree_layout(tree) == (tree.root, tree.static_routes_str, tree.static_routes_bytes, True)
    match = routing.RouteMatch(route, {"x": "1"})
    assert consumer.match_layout(match) == (route.pattern, match.values, route)
    router = RadixRouter()
    assert consumer.router_layout(router) == (router.trees, router.static_matches, True)
