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
