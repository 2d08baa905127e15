"""Python code that runs in the middle of a lookup or a registration (a key's
__hash__ or __eq__, a validator, a __del__, a property) may replace or free
what the native code is walking.  Each case runs in a fresh interpreter with
the debug allocator, which overwrites freed memory, so that a use after free
crashes instead of passing by luck; the case then checks the result."""

from __future__ import annotations

import textwrap

import pytest
from isolated import run_isolated

PRELUDE = textwrap.dedent(
    """
    import ctypes, gc
    from velmora import routing
    from velmora.routing import RadixNode, RadixRouter, RadixTree, RouteMatch

    class Route:
        handler = None
        def __init__(self, p="/r"):
            self.pattern = p

    def tables():
        P, S = ctypes.py_object, ctypes.c_ssize_t
        class Tree(ctypes.Structure):
            _fields_ = [("insert", ctypes.c_void_p), ("parse", ctypes.c_void_p), ("match", ctypes.c_void_p),
                        ("match_str", ctypes.c_void_p), ("match_bytes", ctypes.c_void_p),
                        ("rec_str", ctypes.PYFUNCTYPE(P, P, P, P, S, P)),
                        ("rec_bytes", ctypes.PYFUNCTYPE(P, P, P, P, S, P))]
        class Capi(ctypes.Structure):
            _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32)] + [
                (n, ctypes.c_void_p) for n in ("node", "tree", "match", "router")] + [
                ("tree_methods", ctypes.POINTER(Tree)), ("router_methods", ctypes.c_void_p)]
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        return Capi.from_address(get(routing._C_API, b"velmora.routing._C_API")).tree_methods.contents
    """
)

CASES = {
    # The names of a leaf (and of a wildcard) are read while the values
    # dict is built; hashing the first name empties the list.
    "names cleared while hashing a name": """
        t = RadixTree(); r = Route(); t.insert("/a/{x}/{y}", r); t.insert("/a/{x}/*", r)
        leaf = t.root.children_str["a"].param_child.param_child
        wild = t.root.children_str["a"].param_child.wildcard_child
        class Name(str):
            def __hash__(self): names.clear(); return str.__hash__(self)
        for node, path, second in [(leaf, "/a/1/2", "2"), (leaf, b"/a/1/2", "2"), (wild, "/a/1/b/c", "b/c")]:
            names = [Name("x"), "y"]; node.param_names = names
            assert t.match(path) == (r, {"x": "1", "y": second})
    """,
    # A stored key's __eq__ replaces the dict that is being searched.
    "children dict replaced by a stored key": """
        t = RadixTree(); t.insert("/a/b", Route()); r = Route(); t.insert("/z/{p}", r); root = t.root
        class Key:
            def __hash__(self): return hash(armed[0])
            def __eq__(self, other): root.children_str = {}; root.children_bytes = {}; return False
        armed = ["q"]
        z = root.children_str["z"]
        root.children_str = {Key(): RadixNode(), "z": z}
        assert t.match("/q/x") is None
        armed[0] = b"q"
        root.children_bytes = {Key(): RadixNode(), b"z": z}
        assert t.match(b"/q/x") is None
    """,
    "static routes dict replaced while the path is hashed": """
        t = RadixTree(); r = Route(); t.insert("/s", r)
        class Path(str):
            def __hash__(self): t.static_routes_str = {}; return str.__hash__(self)
        assert t.match(Path("/s")) == (r, None)
        assert t.match("/s") == (r, None)  # the tree still has it
    """,
    "static routes dict replaced by a stored key during insert": """
        t = RadixTree()
        class Key:
            def __hash__(self): return hash("/n")
            def __eq__(self, other): t.static_routes_str = {}; return False
        t.static_routes_str = {Key(): 1}
        r = Route(); t.insert("/n", r)
        assert t.match("/n/") == (r, None)
    """,
    "children dict replaced by a stored key during insert": """
        t = RadixTree(); root = t.root
        class Key:
            def __hash__(self): return hash("n")
            def __eq__(self, other): root.children_str = None; root.children_bytes = None; return False
        root.children_str = {Key(): RadixNode()}
        r = Route(); t.insert("/n/{x}", r)
    """,
    "router tables replaced while the lookup key is hashed": """
        router = RadixRouter(); r = Route("/s"); router.add_route("GET", "/s", r)
        router.add_route("GET", "/p/{x}", r)
        class Method(str):
            def __hash__(self):
                router.static_matches = {}; router.trees = {}
                return str.__hash__(self)
        assert router.get_match(Method("GET"), "/s") == (r, None)
        assert router.get_match(Method("GET"), "/p/1") is None
        router = RadixRouter(); router.add_route("GET", "/s", r)
        class M2(str):
            def __hash__(self): router.static_matches = {}; return str.__hash__(self)
        assert router.get_static_match(M2("GET"), "/s").route is r
    """,
    "router trees replaced by a stored key during add_route and get_match": """
        router = RadixRouter()
        class Key:
            def __hash__(self): return hash("GET")
            def __eq__(self, other): router.trees = {}; return False
        router.trees = {Key(): RadixTree()}
        r = Route("/p/{x}"); router.add_route("GET", "/p/{x}", r)
        router.trees = {Key(): RadixTree(), "PUT": RadixTree()}
        assert router.get_match("GET", "/p/1") is None
    """,
    "static matches replaced by a stored key during add_route": """
        router = RadixRouter()
        class K:
            def __hash__(self): return hash("/s")
            def __eq__(self, other): router.static_matches = {}; return False
        router.static_matches = {("GET", K()): 1}
        r = Route("/s"); router.add_route("GET", "/s", r)
        assert router.get_match("GET", "/s/") == (r, None)
    """,
    # Registration: decoding a name empties the list being converted.
    "names list emptied by decode": """
        t = RadixTree()
        class Name:
            def decode(self, enc): names.clear(); return "x"
        names = [Name(), "y", "z"]
        t.insert("/a/{x}/{y}/{z}", Route(), names)
        assert t.root.children_str["a"].param_child.param_child.param_child.param_names == ["x", "y", "z"]
    """,
    # The wildcard name replaced by a later pattern is freed; its __del__
    # takes the wildcard child away while the walk is about to move there.
    "old wildcard name whose __del__ changes the node": """
        t = RadixTree(); r = Route(); t.insert("/f/*", r)
        node = t.root.children_str["f"]
        class Name(str):
            def __del__(self): node.wildcard_child = None; node.wildcard_suffix_str = None
        node.wildcard_name = Name("tail")
        r2 = Route(); t.insert("/f/*.txt", r2)
        assert node.wildcard_child is None or node.wildcard_child.route in (r, r2)
        gc.collect()
    """,
    # A validator without match whose __getattr__ drops the last reference
    # to itself before raising AttributeError.
    "validator freed while its AttributeError is pending": """
        t = RadixTree(); t.insert("/n/{x}", Route())
        child = t.root.children_str["n"].param_child
        class Gone:
            def __getattr__(self, name):
                child.param_validator_str = None
                del self  # the traceback keeps the frame, not the validator
                raise AttributeError(name)
        child.param_validator_str = Gone()
        try:
            t.match("/n/1")
        except AttributeError as exc:
            assert type(exc.obj) is Gone
        else:
            raise SystemExit("no AttributeError")
    """,
    "handler property frees the route": """
        class R:
            pattern = "/"
            @property
            def handler(self):
                m.route = None
                del self
                raise AttributeError("handler")
        m = RouteMatch(R())
        try:
            m.handler
        except AttributeError as exc:
            assert type(exc.obj) is R
        else:
            raise SystemExit("no AttributeError")
    """,
    # Through the direct-call table the caller owns the segment list, which
    # a validator or a segment's own lower() may empty.
    "validator empties the caller's segment list": """
        t = RadixTree(); r = Route(); t.insert("/{x}/{y}", r)
        class V:
            def match(self, seg): segs.clear(); return True
        t.root.param_child.param_validator_str = V()
        segs = ["a" * 50 + "%41", "b"]
        assert tables().rec_str(t, t.root, segs, 0, None) == (r, {"_p_0": "a" * 50 + "A", "_p_1": "b"})
    """,
    "segment whose lower() empties the list": """
        t = RadixTree(); r = Route(); t.insert("/a/*", r)
        class Seg(str):
            def lower(self): segs.clear(); return str.lower(self)
        segs = [Seg("A"), "b", "c"]
        assert tables().rec_str(t, t.root, segs, 0, None) == (r, {"tail": "b/c"})
    """,
    "segment whose lower() returns another type": """
        t = RadixTree(); t.insert("/a/*.txt", Route())
        class Seg(bytes):
            def lower(self): return "b.txt"
        try:
            tables().rec_bytes(t, t.root.children_str["a"], [Seg(b"B.TXT")], 0, None)
        except TypeError:
            pass
        else:
            raise SystemExit("no TypeError")
    """,
    "seeded key replaces the wildcard name": """
        t = RadixTree(); r = Route(); t.insert("/a/*", r)
        node = t.root.children_str["a"]
        node.wildcard_name = "x" * 40
        class K:
            armed = False
            def __hash__(self):
                if self.armed:  # the lookup hashes it again while building its result
                    node.wildcard_name = None
                return 1
        def values():
            k = K(); v = {k: "v"}; k.armed = True
            return v
        rec = tables().rec_str
        assert rec(t, node, [], 0, values())[1]["x" * 40] == ""
        node.wildcard_name = "y" * 40
        assert rec(t, node, ["b"], 0, values())[1]["y" * 40] == "b"
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_reentrant_python_code_is_survived(name):
    run_isolated(PRELUDE + textwrap.dedent(CASES[name]))
