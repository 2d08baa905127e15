"""Route lookup: velmora's RadixRouter against the routers people would
otherwise use (Falcon's CompiledRouter, Werkzeug's Map, sanic-routing and,
at the smaller sizes, Starlette's route list), on API-shaped route tables.

Each table has, per resource, a static path, a path with one int parameter,
one with two int parameters and a wildcard tail; lookups hit each shape and
miss.  Peers take str paths; velmora is measured with str and bytes paths.
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Bench  # noqa: E402

from velmora.routing import RadixRouter  # noqa: E402

SIZES = (10, 100, 1000)
STARLETTE_MAX = 100  # a linear scan of 1000 routes is not something anyone runs
KINDS = ("static", "one_param", "two_params", "wildcard", "miss")


class Route:
    __slots__ = ("pattern", "handler", "param_names")

    def __init__(self, pattern, param_names=None):
        self.pattern = pattern
        self.handler = None
        self.param_names = param_names


def templates(size):
    """(kind, velmora pattern, names, falcon, werkzeug, sanic, starlette)."""
    out = []
    i = 0
    while len(out) < size:
        base = f"/api/v1/res{i}"
        out.append(("static", base, None, base, base, base, base))
        out.append(("one_param", base + "/{id:int}", ["id"], base + "/{id:int}", base + "/<int:id>",
                    base + "/<id:int>", base + "/{id:int}"))
        out.append(("two_params", base + "/{id:int}/items/{item:int}", ["id", "item"],
                    base + "/{id:int}/items/{item:int}", base + "/<int:id>/items/<int:item>",
                    base + "/<id:int>/items/<item:int>", base + "/{id:int}/items/{item:int}"))
        out.append(("wildcard", f"/files{i}/{{tail:path}}", ["tail"], f"/files{i}/{{tail:path}}",
                    f"/files{i}/<path:tail>", f"/files{i}/<tail:path>", f"/files{i}/{{tail:path}}"))
        i += 1
    return out[:size]


def lookup_paths(size):
    r = (size // 4) // 2  # a resource from the middle of the table
    return {
        "static": f"/api/v1/res{r}",
        "one_param": f"/api/v1/res{r}/42",
        "two_params": f"/api/v1/res{r}/42/items/7",
        "wildcard": f"/files{r}/css/site/main.css",
        "miss": f"/api/v1/res{r}/42/nothing",
    }


def build(size):
    rows = templates(size)
    ns = {}

    router = RadixRouter()
    for _, pattern, names, *_ in rows:
        router.add_route("GET", pattern, Route(pattern, names), names)
    router.freeze()
    ns["vr"] = router

    import falcon.routing

    falcon_router = falcon.routing.CompiledRouter()
    for row in rows:
        falcon_router.add_route(row[3], _FalconResource())
    falcon_router.find("/")  # compile now, not in the first timed call
    ns["fr"] = falcon_router

    from werkzeug.exceptions import NotFound
    from werkzeug.routing import Map, Rule

    wmap = Map([Rule(row[4], endpoint=str(n), methods=["GET"]) for n, row in enumerate(rows)])
    adapter = wmap.bind("example.com", "/")

    def werkzeug_match(path, _match=adapter.match, _nf=NotFound):
        try:
            return _match(path, "GET")
        except _nf:
            return None

    ns["werkzeug_match"] = werkzeug_match

    from sanic_routing import BaseRouter
    from sanic_routing.exceptions import NotFound as SanicNotFound

    class SanicRouter(BaseRouter):
        def get(self, path, method, extra=None):
            return self.resolve(path=path, method=method, extra=extra)

    sanic = SanicRouter()
    for n, row in enumerate(rows):
        sanic.add(row[5], _handler(n), methods=["GET"])
    sanic.finalize()

    def sanic_match(path, _get=sanic.get, _nf=SanicNotFound):
        try:
            return _get(path, "GET")
        except _nf:
            return None

    ns["sanic_match"] = sanic_match

    if size <= STARLETTE_MAX:
        from starlette.routing import Match, Route as SRoute

        sroutes = [SRoute(row[6], _starlette_endpoint, methods=["GET"]) for row in rows]

        def starlette_match(path, _routes=sroutes, _full=Match.FULL):
            scope = {"type": "http", "path": path, "method": "GET", "root_path": ""}
            for route in _routes:
                match, child = route.matches(scope)
                if match is _full:
                    return route, child
            return None

        ns["starlette_match"] = starlette_match
    return ns


class _FalconResource:
    def on_get(self, req, resp, **kw):  # pragma: no cover - never called
        pass


def _handler(n):
    def handler(request):  # pragma: no cover - never called
        return n

    handler.__name__ = f"h{n}"
    return handler


async def _starlette_endpoint(request):  # pragma: no cover - never called
    return None


def check(ns, paths):
    """Every implementation must agree on what is a hit before it is timed."""
    for kind, path in paths.items():
        hit = ns["vr"].get_match("GET", path) is not None
        assert hit == (kind != "miss"), (kind, path)
        assert (ns["vr"].get_match(b"GET", path.encode()) is not None) == hit
        assert (ns["fr"].find(path) is not None) == hit, ("falcon", path)
        assert (ns["werkzeug_match"](path) is not None) == hit, ("werkzeug", path)
        assert (ns["sanic_match"](path) is not None) == hit, ("sanic", path)
        if "starlette_match" in ns:
            assert (ns["starlette_match"](path) is not None) == hit, ("starlette", path)


def main():
    bench = Bench("Route lookup (ns per lookup)", number=50_000)
    for size in SIZES:
        ns = build(size)
        paths = lookup_paths(size)
        check(ns, paths)
        for kind in KINDS:
            path = paths[kind]
            ns[f"p_{kind}"] = path
            ns[f"b_{kind}"] = path.encode()
            stmts = {
                "velmora": f"vr.get_match('GET', p_{kind})",
                "velmora_bytes": f"vr.get_match(b'GET', b_{kind})",
                "falcon": f"fr.find(p_{kind})",
                "werkzeug": f"werkzeug_match(p_{kind})",
                "sanic": f"sanic_match(p_{kind})",
            }
            if "starlette_match" in ns:
                stmts["starlette"] = f"starlette_match(p_{kind})"
            bench.case(f"{size:>4} routes {kind}", stmts, ns)
    table = {("GET", f"/api/v1/res{r}"): object() for r in range(250)}

    def dict_lookup(method, path, _table=table):
        return _table.get((method, path))

    ns = build(1000)
    ns.update(dict_lookup=dict_lookup, p="/api/v1/res125")
    bench.case("static hit vs dict", {"velmora": "vr.get_match('GET', p)", "py_dict": "dict_lookup('GET', p)"}, ns)
    cases = bench.run()
    summarise(cases)


def summarise(cases):
    best = {case.name: case.best for case in cases}
    peers = ("falcon", "werkzeug", "sanic", "starlette")
    print("\n== targets ==")
    for size, needed in ((10, 3.0), (1000, 20.0)):
        for kind in KINDS:
            row = best.get(f"{size:>4} routes {kind}")
            if row is None:
                continue
            fastest = min(row[p] for p in peers if p in row)
            for impl in ("velmora", "velmora_bytes"):
                factor = fastest / row[impl]
                verdict = "ok" if factor >= needed else "MISSED"
                print(f"  {size:>4} {kind:<10} {impl:<13} {factor:6.1f}x faster than the fastest peer"
                      f" (target {needed:.0f}x) {verdict}")
    row = best.get("static hit vs dict")
    if row:
        share = row["velmora"] / row["py_dict"]
        print(f"  static hit / Python dict lookup: {share:.2f} (target <= 1.2) {'ok' if share <= 1.2 else 'MISSED'}")
    for kind in KINDS:
        small, large = best.get(f"  10 routes {kind}"), best.get(f"1000 routes {kind}")
        if small and large:
            for impl in ("velmora", "velmora_bytes"):
                growth = large[impl] / small[impl]
                print(f"  {kind:<10} {impl:<13} 1000 / 10 routes: {growth:.2f} (target <= 1.3)"
                      f" {'ok' if growth <= 1.3 else 'MISSED'}")


if __name__ == "__main__":
    main()
