"""Routing: random route tables and paths (str and bytes, escapes, invalid
UTF-8); static routes checked against a dict; on evil runs, names, keys,
validators and routes whose hooks clear name lists, replace child dicts and
static tables, or detach nodes while a lookup walks them."""

from __future__ import annotations

from typing import Any

from evil import Evil, EvilBytes, EvilMatcher, EvilStr, fire, fresh
from targets import Run, plain_or_evil

from velmora.routing import RadixNode, RadixRouter, RadixTree, RouteMatch

EXPECTED = (TypeError, ValueError, UnicodeError, AttributeError)

STATIC = ["a", "b", "users", "About", "q", "z", "caf%C3%A9", "café", "x.txt", "ÄÖ", "-"]
PARAMS = ["{id}", "{id:int}", "{int:n}", "{v:float}", "{u:uuid}", "<name>", ":slug", "{rest:path}",
          "{x:str}", "{}", "{a:b:c}"]
WILD = ["*", "*.txt", "*.TXT"]
VALUES = ["1", "42", "abc", "3.5", "123e4567-e89b-12d3-a456-426614174000", "%20", "%zz", "caf%C3%A9",
          "é", "", "a.txt", "B.Txt", "\udcff"]
METHODS = ["GET", "get", "POST", "Put"]


class Route:
    def __init__(self, pattern: Any, names: list[Any] | None = None) -> None:
        self.pattern = pattern
        if names is not None:
            self.param_names = names

    @property
    def handler(self) -> str:
        fire("route.handler")
        return "handler"


def pattern(run: Run) -> str:
    rng = run.rng
    segs = []
    for _ in range(rng.randrange(4)):
        roll = rng.random()
        segs.append(rng.choice(STATIC) if roll < 0.55 else rng.choice(PARAMS) if roll < 0.9 else rng.choice(WILD))
    text = "/" + "/".join(segs)
    if rng.random() < 0.1:
        text += rng.choice(["/", "//", ""])
    return text


def path_for(run: Run, patterns: list[str]) -> Any:
    rng = run.rng
    if patterns and rng.random() < 0.7:
        segs = []
        for seg in rng.choice(patterns).split("/"):
            if seg[:1] in ("{", "<", ":", "*"):
                seg = "/".join(rng.choice(VALUES) for _ in range(rng.choice((1, 1, 2))))
            segs.append(seg.upper() if rng.random() < 0.1 else seg)
        text = "/".join(segs) + rng.choice(["", "", "/", "//"])
    else:
        text = "/" + "/".join(rng.choice(STATIC + VALUES) for _ in range(rng.randrange(4)))
    roll = rng.random()
    if roll < 0.45:
        data = text.encode("utf-8", "surrogateescape")
        if rng.random() < 0.1:
            data += rng.choice([b"\xff", b"/\xc3", b"/%ff"])
        return EvilBytes(data) if run.evil and rng.random() < 0.2 else data
    if run.evil and roll < 0.6:
        return rng.choice([EvilStr(text), Evil(text)])
    return text


def names_for(run: Run, n: int) -> list[Any]:
    rng = run.rng
    out: list[Any] = []
    for _ in range(n):
        name = fresh(rng, "abcxyz", short=True)
        if run.evil:
            kind = rng.randrange(4)
            name = EvilStr(name) if kind == 0 else EvilBytes(name.encode()) if kind == 1 else Evil(name) if kind == 2 else name
        out.append(name)
    return out


def nodes(root: RadixNode) -> list[RadixNode]:
    out, todo, seen = [], [root], set()
    while todo and len(out) < 200:
        node = todo.pop()
        if not isinstance(node, RadixNode) or id(node) in seen:
            continue
        seen.add(id(node))
        out.append(node)
        todo.extend(v for d in (node.children_str, node.children_bytes) if type(d) is dict for v in d.values())
        todo.extend((node.param_child, node.wildcard_child))
    return out


def static_keys(pat: str) -> list[str]:
    """The paths under which a static pattern is registered."""
    if len(pat) > 1 and pat.endswith("/") and not pat.endswith("*/"):
        pat = pat.rstrip("/")
    if any(c in pat for c in "{:<*"):
        return []
    return [pat, "" if pat == "/" else pat + "/"]


def plain(run: Run) -> None:
    rng = run.rng
    router = RadixRouter()
    static: dict[tuple[str, str], Route] = {}
    patterns = []
    for _ in range(rng.randrange(1, 8)):
        method, pat = rng.choice(METHODS), pattern(run)
        route = Route(pat, names_for(run, rng.randrange(3)) if rng.random() < 0.3 else None)
        run.log("add_route", method, pat)
        router.add_route(method, pat, route)
        patterns.append(pat)
        for key in static_keys(pat):
            static[method.upper(), key] = route
    for (method, pat), route in static.items():
        if "//" in pat:  # such a path never matches
            continue
        run.log("get_match", method, pat)
        got = router.get_match(method, pat)
        run.check(got is not None and got[0] is route, f"static route {method} {pat!r} gave {got!r}")
    for _ in range(rng.randrange(1, 8)):
        method, path = rng.choice(METHODS), path_for(run, patterns)
        run.log("get_match", method, path)
        got = router.get_match(method, path)
        if got is not None:
            run.check(type(got) is tuple and len(got) == 2, "match shape")
            values = got[1]
            run.check(values is None or all(type(k) is str and type(v) is str for k, v in values.items()),
                      f"values {values!r}")


def evil(run: Run) -> None:
    rng = run.rng
    router, tree = RadixRouter(), RadixTree()
    patterns: list[str] = []

    def add(rng):
        pat = pattern(run)
        patterns.append(pat)
        names = names_for(run, rng.randrange(4)) if rng.random() < 0.6 else None
        route = Route(rng.choice([pat, EvilStr(pat)]), names)
        if rng.random() < 0.5:
            router.add_route(rng.choice(METHODS), rng.choice([pat, EvilStr(pat), Evil(pat)]), route)
        else:
            tree.insert(rng.choice([pat, EvilStr(pat), Evil(pat)]), route,
                        names_for(run, rng.randrange(3)) if rng.random() < 0.3 else None)

    def all_nodes():
        out = nodes(tree.root)
        for t in list(router.trees.values())[:4]:
            if isinstance(t, RadixTree):
                out += nodes(t.root)
        return out

    def clear_names(rng):
        with_names = [n for n in all_nodes() if n.param_names]
        if with_names:
            rng.choice(with_names).param_names.clear()

    def set_names(rng):
        rng.choice(all_nodes()).param_names = rng.choice([None, names_for(run, rng.randrange(4))])

    def swap_children(rng):
        node = rng.choice(all_nodes())
        node.children_str = rng.choice([{}, None, {fresh(rng, "ab", short=True): RadixNode()}])
        if rng.random() < 0.5:
            node.children_bytes = {}

    def detach(rng):
        node = rng.choice(all_nodes())
        setattr(node, rng.choice(["param_child", "wildcard_child", "route", "param_validator_str",
                                  "param_validator_bytes", "wildcard_name", "wildcard_suffix_str"]), None)

    def swap_tables(rng):
        roll = rng.randrange(4)
        if roll == 0:
            tree.static_routes_str, tree.static_routes_bytes = {}, {}
        elif roll == 1:
            tree.root = RadixNode()
        elif roll == 2:
            router.trees = {}
        else:
            router.static_matches = {}

    for name, fn in (("add", add), ("clear_names", clear_names), ("set_names", set_names),
                     ("swap_children", swap_children), ("detach", detach), ("swap_tables", swap_tables)):
        run.on(name, fn)
    for _ in range(rng.randrange(1, 6)):
        try:
            add(rng)
        except Exception as exc:
            run.log("raised", type(exc).__name__)
    # Booby-trap the tables: names that hook into hashing, keys that collide
    # with real segments, validators that run code.
    for node in all_nodes():
        roll = rng.random()
        if roll < 0.25:
            node.param_names = names_for(run, rng.randrange(1, 4))
        elif roll < 0.5 and type(node.children_str) is dict:
            seg = rng.choice(STATIC + VALUES).lower()
            node.children_str = {Evil(seg): RadixNode(seg), **node.children_str}
            if type(node.children_bytes) is dict:
                node.children_bytes = {EvilBytes(seg.encode("utf-8", "replace")): RadixNode(), **node.children_bytes}
        elif roll < 0.6:
            node.param_validator_str = EvilMatcher(rng.random() < 0.5)
            node.param_validator_bytes = EvilMatcher(rng.random() < 0.5)
    if rng.random() < 0.3:
        tree.static_routes_str = {Evil(p): Route(p) for p in patterns[:3]}
    for _ in range(rng.randrange(1, 6)):
        path = path_for(run, patterns)
        op = rng.randrange(5)
        try:
            if op < 2:
                run.log("match", path)
                tree.match(path)
            elif op < 4:
                method = rng.choice(METHODS + [EvilStr("GET"), Evil("get")])
                run.log("get_match", method, path)
                router.get_match(method, path)
            else:
                method = rng.choice(METHODS)
                run.log("get_static_match", method, path)
                match = router.get_static_match(method, path)
                if match is not None:
                    match.handler  # noqa: B018
                    RouteMatch(match.route, {Evil("k"): rng.choice(VALUES), "v": EvilStr("%41")})
        except Exception as exc:
            run.log("raised", type(exc).__name__)


one = plain_or_evil(plain, evil, EXPECTED)
