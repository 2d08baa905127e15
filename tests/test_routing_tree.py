"""RadixTree / RadixNode: registration, tree shape, lookup and bad input."""

from __future__ import annotations

import gc
import sys

import pytest

from velmora import routing
from velmora.routing import RadixNode, RadixTree


class Route:
    def __init__(self, pattern="", param_names=None):
        self.pattern = pattern
        if param_names is not None:
            self.param_names = param_names

    def __repr__(self):
        return f"Route({self.pattern!r})"


def tree_with(*patterns):
    tree = RadixTree()
    routes = {}
    for pattern in patterns:
        routes[pattern] = Route(pattern)
        tree.insert(pattern, routes[pattern])
    return tree, routes


def both(path):
    """The path as str and as UTF-8 bytes."""
    return [path, path.encode()]


# -- normalisation and static tables ------------------------------------------


@pytest.mark.parametrize(
    "pattern, str_keys",
    [
        ("/", {"/", ""}),
        ("", {"/", ""}),
        ("/about", {"/about", "/about/"}),
        ("/About/", {"/About", "/About/"}),
        ("/a//", {"/a", "/a/"}),
        ("//", {"", "/"}),
        ("/a//b", {"/a//b", "/a//b/"}),
    ],
)
def test_static_registration_keys(pattern, str_keys):
    tree = RadixTree()
    route = Route()
    tree.insert(pattern, route)
    assert set(tree.static_routes_str) == str_keys
    assert set(tree.static_routes_bytes) == {k.encode() for k in str_keys}
    assert all(v is route for v in tree.static_routes_str.values())


@pytest.mark.parametrize("pattern", ["/u/{id}", "/u/:id", "/u/<id>", "/f/*", "/x*/", "/a:b"])
def test_patterns_with_markers_are_not_static(pattern):
    tree = RadixTree()
    tree.insert(pattern, Route())
    assert tree.static_routes_str == {} and tree.static_routes_bytes == {}


@pytest.mark.parametrize("pattern", ["", "/", "//", b"/", b""])
def test_root_patterns_attach_to_root_without_names(pattern):
    tree = RadixTree()
    route = Route(param_names=["x"])
    tree.insert(pattern, route, ["y"])
    assert tree.root.route is route and tree.root.is_leaf
    assert tree.root.param_names is None
    for path in ["", "/", b"", b"/"]:
        assert tree.match(path) == (route, None)


def test_pattern_types_bytes_and_other_objects():
    class P:
        def __str__(self):
            return "/obj/{id:int}"

    tree = RadixTree()
    r1, r2 = Route(), Route()
    tree.insert(b"/b/caf\xc3\xa9", r1)
    tree.insert(P(), r2)
    assert tree.static_routes_str["/b/café"] is r1
    assert tree.match("/obj/5") == (r2, {"_p_1": "5"})


def test_letter_case_static_dict_versus_tree():
    tree = RadixTree()
    a, b = Route("A"), Route("B")
    tree.insert("/About", a)
    assert tree.match("/About") == (a, None)
    assert tree.match("/About/") == (a, None)
    assert tree.match("/about") == (a, None)
    assert tree.match("/ABOUT/") == (a, None)
    assert tree.match("/About/x") is None
    tree.insert("/about", b)
    assert tree.match("/About")[0] is a
    assert tree.match("/about")[0] is b
    assert tree.match("/ABOUT")[0] is b
    assert list(tree.root.children_str) == ["about"]


def test_doubled_slash_path_never_matches():
    tree, routes = tree_with("/a//b")
    for path in both("/a//b") + both("//"):
        assert tree.match(path) is None
    assert tree.match("/a/b") == (routes["/a//b"], None)


# -- parameter grammar --------------------------------------------------------


@pytest.mark.parametrize(
    "segment, name, kind",
    [
        ("{id}", "id", None),
        ("<id>", "id", None),
        (":id", "id", None),
        ("{id:int}", "id", "INT"),
        ("{int:id}", "id", "INT"),
        ("<id:int>", "id", "INT"),
        (":id:int", "id", "INT"),
        ("{v:float}", "v", "FLOAT"),
        ("{uuid:u}", "u", "UUID"),
        ("{s:str}", "s", None),
        ("{string:s}", "s", None),
        ("{x:slug}", "x", None),
        ("{slug:x}", "slug", None),
        ("{}", "", None),
        ("<>", "", None),
        (":", "", None),
        ("{a:b:c}", "a", None),
        ("{int:a:b}", "a:b", "INT"),
    ],
)
def test_parameter_segment_grammar(segment, name, kind):
    tree = RadixTree()
    tree.insert(f"/p/{segment}", Route())
    child = tree.root.children_str["p"].param_child
    assert child.param_name == name
    assert child.segment_str == segment and child.segment_bytes == segment.encode()
    if kind is None:
        assert child.param_validator_str is None and child.param_validator_bytes is None
    else:
        assert child.param_validator_str is getattr(routing, f"_{kind}_RX_STR")
        assert child.param_validator_bytes is getattr(routing, f"_{kind}_RX_BYTES")


@pytest.mark.parametrize("segment", ["{rest:path}", "{path:rest}", ":rest:path", "<rest:path>"])
def test_path_parameter_acts_as_wildcard(segment):
    tree = RadixTree()
    route = Route()
    tree.insert(f"/static/{segment}/ignored", route)
    node = tree.root.children_str["static"]
    assert node.wildcard_name == "rest" and node.wildcard_suffix_str is None
    assert node.wildcard_child.route is route and node.wildcard_child.segment_str == "*"
    assert node.param_child is None
    assert tree.match("/static/a/b%2Fc") == (route, {"rest": "a/b/c"})


def test_unbalanced_brackets_are_static_segments():
    tree = RadixTree()
    route = Route()
    tree.insert("/{open/close}", route)
    assert set(tree.root.children_str) == {"{open"}
    assert tree.match("/{OPEN/close}") == (route, None)


# -- tree shape ---------------------------------------------------------------


def test_children_shared_between_str_and_bytes_dicts():
    tree, _ = tree_with("/Café/x", "/café/y")
    root = tree.root
    assert list(root.children_str) == ["café"]
    assert root.children_bytes["café".encode()] is root.children_str["café"]
    assert root.children_str["café"].segment_bytes == "café".encode()


def test_param_child_keeps_settings_of_first_pattern():
    tree = RadixTree()
    first, second = Route(), Route()
    tree.insert("/users/{id:int}/x", first)
    tree.insert("/users/{name}/y", second)
    child = tree.root.children_str["users"].param_child
    assert child.param_name == "id" and child.param_validator_str is routing._INT_RX_STR
    assert tree.match("/users/bob/y") is None
    assert tree.match("/users/7/y") == (second, {"_p_1": "7"})


def test_later_wildcard_replaces_name_and_suffix_and_shares_child():
    tree = RadixTree()
    a, b = Route(), Route()
    tree.insert("/f/*.txt", a)
    tree.insert("/f/{rest:path}", b)
    node = tree.root.children_str["f"]
    assert node.wildcard_name == "rest" and node.wildcard_suffix_str is None
    assert node.wildcard_child.route is b
    assert tree.match("/f/x.png") == (b, {"rest": "x.png"})


@pytest.mark.parametrize(
    "names_arg, route_names, expected",
    [
        (["id"], None, ["id"]),
        ([b"id", "x"], ["ignored"], ["id", "x"]),
        (None, (b"a", "b"), ["a", "b"]),
        (None, [], None),
        (None, None, None),
    ],
)
def test_leaf_param_names(names_arg, route_names, expected):
    tree = RadixTree()
    tree.insert("/a/{x}/{y}", Route(param_names=route_names), names_arg)
    leaf = tree.root.children_str["a"].param_child.param_child
    assert leaf.param_names == expected
    if expected is not None:
        assert leaf.param_names is not names_arg


def test_bad_param_name_item_raises_after_storing():
    tree = RadixTree()
    route = Route()
    with pytest.raises(AttributeError):
        tree.insert("/static", route, ["ok", 5])
    assert tree.static_routes_str["/static"] is route
    assert tree.root.children_str["static"].route is route


def test_reinsert_replaces_route():
    tree = RadixTree()
    a, b = Route(), Route()
    tree.insert("/u/{id}", a)
    tree.insert("/u/{other}", b)
    assert tree.match("/u/1") == (b, {"_p_1": "1"})


# -- lookup with backtracking, str and bytes ----------------------------------


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
class TestLookup:
    def m(self, tree, path, as_bytes):
        return tree.match(path.encode() if as_bytes else path)

    def test_static_beats_parameter(self, as_bytes):
        tree, r = tree_with("/users/{id:int}", "/users/me")
        assert self.m(tree, "/users/me", as_bytes) == (r["/users/me"], None)
        assert self.m(tree, "/users/42", as_bytes) == (r["/users/{id:int}"], {"_p_1": "42"})
        assert self.m(tree, "/users/abc", as_bytes) is None

    def test_backtracks_from_static_into_parameter_then_wildcard(self, as_bytes):
        tree, r = tree_with("/a/b/d", "/a/{x}/c", "/a/*")
        assert self.m(tree, "/a/b/c", as_bytes) == (r["/a/{x}/c"], {"_p_1": "b"})
        assert self.m(tree, "/a/b/e", as_bytes) == (r["/a/*"], {"tail": "b/e"})
        assert self.m(tree, "/A/B/D", as_bytes) == (r["/a/b/d"], None)

    def test_backtracking_drops_values_of_failed_branch(self, as_bytes):
        tree = RadixTree()
        deep, shallow = Route(), Route()
        tree.insert("/{a}/{b}/z", deep)
        tree.insert("/{a}/*", shallow)
        assert self.m(tree, "/1/2/y", as_bytes) == (shallow, {"_p_0": "1", "tail": "2/y"})

    def test_param_names_pair_with_values(self, as_bytes):
        tree = RadixTree()
        route = Route(param_names=["org", "repo"])
        tree.insert("/{org}/{repo}", route)
        assert self.m(tree, "/a%20b/c", as_bytes) == (route, {"org": "a b", "repo": "c"})

    def test_param_names_of_wrong_length_keep_index_keys(self, as_bytes):
        tree = RadixTree()
        route = Route()
        tree.insert("/{org}/{repo}", route, ["only"])
        assert self.m(tree, "/a/b", as_bytes) == (route, {"_p_0": "a", "_p_1": "b"})

    def test_trailing_slash_and_non_leaf(self, as_bytes):
        tree, r = tree_with("/a/{x}", "/a/b/c")
        assert self.m(tree, "/a/1/", as_bytes) == (r["/a/{x}"], {"_p_1": "1"})
        assert self.m(tree, "/a/b", as_bytes) == (r["/a/{x}"], {"_p_1": "b"})
        assert self.m(tree, "/q", as_bytes) is None

    def test_case_of_static_segments_and_values(self, as_bytes):
        tree, r = tree_with("/Docs/{Name}")
        assert self.m(tree, "/DOCS/MiXed", as_bytes) == (r["/Docs/{Name}"], {"_p_1": "MiXed"})

    def test_root_wildcard(self, as_bytes):
        tree = RadixTree()
        route = Route()
        tree.insert("/{rest:path}", route)
        assert self.m(tree, "/", as_bytes) == (route, {"rest": ""})
        assert self.m(tree, "/x/y", as_bytes) == (route, {"rest": "x/y"})


def test_bytes_lowercasing_is_ascii_only():
    tree, r = tree_with("/café")
    assert tree.match("/CAFÉ") == (r["/café"], None)
    assert tree.match("/CAFÉ".encode()) is None
    assert tree.match("/CAFé".encode()) == (r["/café"], None)


def test_non_text_path_goes_through_str():
    tree, r = tree_with("/n/{x:int}")

    class P:
        def __str__(self):
            return "/n/12"

    assert tree.match(P()) == (r["/n/{x:int}"], {"_p_1": "12"})


# -- wildcards and suffixes ---------------------------------------------------


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize(
    "pattern, path, expected",
    [
        ("/files/*", "/files/a/b%20c", {"tail": "a/b c"}),
        ("/files/*", "/files", {"tail": ""}),
        ("/files/*", "/files/", {"tail": ""}),
        ("/files/*.TXT", "/files/a/B.Txt", {"tail": "a/B"}),
        ("/files/*.TXT", "/files/.txt", {"tail": ""}),
        ("/files/*.TXT", "/files/a/b.png", None),
        ("/files/*.TXT", "/files", None),
        ("/files/*/ignored/{x}", "/files/q", {"tail": "q"}),
        ("/{id}/*", "/7/x/y", {"_p_0": "7", "tail": "x/y"}),
        ("/{id}/*", "/7", {"_p_0": "7", "tail": ""}),
    ],
)
def test_wildcard(pattern, path, expected, as_bytes):
    tree = RadixTree()
    route = Route()
    tree.insert(pattern, route)
    got = tree.match(path.encode() if as_bytes else path)
    assert got == (None if expected is None else (route, expected))


def test_wildcard_suffix_is_stored_lower_case():
    tree = RadixTree()
    tree.insert("/f/*.TXT", Route())
    node = tree.root.children_str["f"]
    assert (node.wildcard_name, node.wildcard_suffix_str, node.wildcard_suffix_bytes) == ("tail", ".txt", b".txt")


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_wildcard_param_names_include_remainder(as_bytes):
    tree = RadixTree()
    route, root_route = Route(), Route()
    tree.insert("/{user}/*", route, ["user", "file"])
    tree.insert("/{rest:path}", root_route, ["all"])

    def m(path):
        return tree.match(path.encode() if as_bytes else path)

    assert m("/ann/a/b") == (route, {"user": "ann", "file": "a/b"})
    # An empty remainder is keyed the same way, at the root as well.
    assert m("/ann") == (route, {"user": "ann", "file": ""})
    assert m("/ann/") == (route, {"user": "ann", "file": ""})
    assert m("/") == (root_route, {"all": ""})


@pytest.mark.parametrize("path", ["/", "", b"/", b""])
def test_root_wildcard_with_suffix_needs_the_suffix(path):
    tree = RadixTree()
    route = Route()
    tree.insert("/*.TXT", route)
    assert tree.match(path) is None
    assert tree.match("/a/B.txt") == (route, {"tail": "a/B"})
    tree.insert("/*", route)
    assert tree.match(path) == (route, {"tail": ""})


# -- bad input ----------------------------------------------------------------


def test_invalid_utf8_bytes_pattern_stores_nothing():
    tree = RadixTree()
    with pytest.raises(UnicodeDecodeError):
        tree.insert(b"/a/\xff", Route())
    assert tree.static_routes_str == {} and tree.root.children_str == {}


def test_lone_surrogate_pattern_raises_and_path_is_routed():
    tree = RadixTree()
    with pytest.raises(UnicodeEncodeError):
        tree.insert("/a/\udc80", Route())
    route = Route()
    tree.insert("/v/{x}", route)
    assert tree.match("/v/\udc80%41") == (route, {"_p_1": "\udc80A"})
    assert tree.match("/\udc80") is None


def test_invalid_utf8_in_bytes_path_values():
    tree = RadixTree()
    route = Route()
    tree.insert("/v/{x}", route)
    assert tree.match(b"/v/\xff%C3") == (route, {"_p_1": "\ufffd\ufffd"})


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_deep_paths_do_not_recurse(as_bytes):
    n = 100_000
    tree = RadixTree()
    route = Route()
    tree.insert("/" + "/".join(["{x}"] * n), route)
    path = "/" + "/".join(["s"] * n)
    got = tree.match(path.encode() if as_bytes else path)
    assert got[0] is route and len(got[1]) == n and got[1][f"_p_{n - 1}"] == "s"
    # One segment too many: the whole chain backtracks to nothing.
    assert tree.match((path + "/s").encode() if as_bytes else path + "/s") is None
    del tree, got
    gc.collect()


def test_many_segments_many_escapes_and_huge_segment():
    tree = RadixTree()
    star, one = Route(), Route()
    tree.insert("/w/*", star)
    tree.insert("/o/{x}", one)
    many = "/w/" + "/".join(["a%2"] * 50_000)
    assert tree.match(many)[1]["tail"] == "/".join(["a%2"] * 50_000)
    escapes = "%41" * 20_000 + "%"
    assert tree.match("/o/" + escapes) == (one, {"_p_1": "A" * 20_000 + "%"})
    huge = "x" * 2_000_000
    assert tree.match(b"/o/" + huge.encode()) == (one, {"_p_1": huge})
    assert tree.match("/" + "/".join(["z"] * 100_000)) is None


# -- field types --------------------------------------------------------------


@pytest.mark.parametrize(
    "field, good, bad, expected",
    [
        ("segment_str", "s", b"s", "str"),
        ("segment_bytes", b"s", "s", "bytes"),
        ("children_str", {}, [], "dict"),
        ("children_bytes", {}, 1, "dict"),
        ("param_child", RadixNode(), 1, "RadixNode"),
        ("wildcard_child", RadixNode(), "x", "RadixNode"),
        ("param_name", "n", 1, "str"),
        ("param_names", ["n"], ("n",), "list"),
        ("wildcard_name", "n", b"n", "str"),
        ("wildcard_suffix_str", ".x", b".x", "str"),
        ("wildcard_suffix_bytes", b".x", ".x", "bytes"),
    ],
)
def test_node_typed_fields(field, good, bad, expected):
    node = RadixNode()
    setattr(node, field, good)
    assert getattr(node, field) is good
    setattr(node, field, None)
    assert getattr(node, field) is None
    with pytest.raises(TypeError, match=f"^Expected {expected}, got {type(bad).__name__}$"):
        setattr(node, field, bad)


def test_node_defaults_and_constructor():
    node = RadixNode()
    assert (node.segment_str, node.segment_bytes, node.is_leaf) == ("", b"", False)
    assert node.children_str == {} and node.children_bytes == {}
    assert node.children_str is not RadixNode().children_str
    for name in ["route", "param_child", "param_name", "param_names", "param_validator_str",
                 "param_validator_bytes", "wildcard_child", "wildcard_name", "wildcard_suffix_str",
                 "wildcard_suffix_bytes"]:
        assert getattr(node, name) is None
    node = RadixNode("a", segment_bytes=b"a")
    assert (node.segment_str, node.segment_bytes) == ("a", b"a")
    with pytest.raises(TypeError, match=r"^Argument 'segment_bytes' has incorrect type \(expected bytes, got str\)$"):
        RadixNode("a", "a")
    with pytest.raises(TypeError, match=r"^Argument 'segment_str' has incorrect type"):
        RadixNode(b"a")
    node.is_leaf = 1
    assert node.is_leaf is True
    node.route = object()


def test_tree_fields_and_arguments():
    tree = RadixTree()
    with pytest.raises(TypeError, match="^Expected RadixNode, got NoneType$"):
        tree.root = None
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        tree.static_routes_str = []
    with pytest.raises(TypeError, match=r"^Argument 'param_names' has incorrect type \(expected list, got tuple\)$"):
        tree.insert("/x", Route(), ("a",))
    with pytest.raises(TypeError):
        tree.insert("/x")
    with pytest.raises(TypeError):
        tree.insert("/x", 1, None, 4)
    with pytest.raises(TypeError):
        RadixTree(1)
    assert not hasattr(tree, "_match_str") and not hasattr(tree, "_parse_param_segment")


def test_python_validator_objects_are_called_with_raw_segment():
    seen = []

    class Even:
        def match(self, segment):
            seen.append(segment)
            return int(segment[-1:] or "1") % 2 == 0

    tree = RadixTree()
    route = Route()
    tree.insert("/n/{x}", route)
    child = tree.root.children_str["n"].param_child
    child.param_validator_str = child.param_validator_bytes = Even()
    assert tree.match("/n/a%204") == (route, {"_p_1": "a 4"})
    assert tree.match(b"/n/3") is None
    assert seen == ["a%204", b"3"]

    class Broken:
        def match(self, segment):
            raise ValueError("boom")

    child.param_validator_str = Broken()
    with pytest.raises(ValueError, match="boom"):
        tree.match("/n/1")
    child.param_validator_str = routing._INT_RX_BYTES
    with pytest.raises(TypeError):
        tree.match("/n/1")  # a bytes pattern on a str segment, as re would say


def test_no_reference_leaks_in_repeated_operations():
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug build of the interpreter")
    from velmora.routing import RadixRouter, RouteMatch

    class Odd:
        def match(self, segment):
            return len(segment) % 2

    def work():
        tree = RadixTree()
        tree.insert("/a/{x:int}/*.txt", Route(param_names=[b"x", "rest"]))
        tree.insert("/s", Route())
        tree.insert("/f/{x:float}/{u:uuid}/{v}", Route())
        tree.root.children_str["f"].param_child.param_child.param_child.param_validator_str = Odd()
        for path in ["/a/1/b.txt", b"/a/1/b%20c.TXT", "/a/x/b", "/s/", b"/q", "/a//b", "/f/1.5/x/abc",
                     "/" + "/".join(["z"] * 40), b"/f/1/" + b"\xff" * 3, "/a/1/%C3%A9.txt"]:
            tree.match(path)
        with pytest.raises(AttributeError):
            tree.insert("/e", Route(), [1])
        with pytest.raises(UnicodeDecodeError):
            tree.insert(b"\xff", Route())
        router = RadixRouter()
        router.add_route("get", "/r", Route())
        router.add_route(b"POST", "/r/{id}", Route())
        for method, path in [("GET", "/r"), (b"GET", b"/r/"), ("post", "/r/5"), ("PUT", "/r")]:
            router.get_match(method, path)
            router.get_static_match(method, path)
        with pytest.raises(AttributeError):
            router.add_route("GET", "/nopattern", object())
        with pytest.raises(TypeError):
            router.add_route("GET", "/x", Route(), "names")
        RouteMatch(Route(), {"a": "x%20y", "b": b"q%41", "c": 1})
        with pytest.raises(UnicodeDecodeError):
            RouteMatch(Route(), {"a": b"\xff"})

    for _ in range(20):
        work()
    before = sys.gettotalrefcount()
    for _ in range(300):
        work()
    delta = sys.gettotalrefcount() - before
    assert delta < 100, delta
