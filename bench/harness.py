"""Side-by-side micro-benchmarks.

Every implementation of an operation is a timeit statement run in the same
process; rounds are interleaved so that machine noise hits all of them
alike, the best round counts, and the cost of an empty timeit loop is
subtracted.  Results print as ns per operation and as ratios against the
first (velmora) implementation.

    bench = Bench("Headers", number=200_000)
    bench.case("get_first", {"velmora": "h.get_first(b'host')", ...}, namespace)
    bench.run()
"""

from __future__ import annotations

import argparse
import gc
import sys
import timeit
from dataclasses import dataclass, field


@dataclass
class Case:
    name: str
    statements: dict[str, str]
    namespace: dict
    timers: dict[str, timeit.Timer] = field(default_factory=dict)
    best: dict[str, float] = field(default_factory=dict)


class Bench:
    def __init__(self, title: str, number: int = 100_000, rounds: int = 7) -> None:
        args = _parse_args()
        self.title = title
        self.number = max(1, int(number * args.scale))
        self.rounds = args.rounds or rounds
        self.cases: list[Case] = []
        self.only = args.only

    def case(self, name: str, statements: dict[str, str], namespace: dict) -> None:
        if self.only and self.only not in name:
            return
        case = Case(name, statements, namespace)
        for impl, stmt in statements.items():
            # Fail early, with the implementation's name, on a broken statement.
            try:
                eval(compile(stmt, f"<{impl}>", "exec"), dict(namespace))
            except Exception as exc:  # noqa: BLE001
                raise SystemExit(f"{name} / {impl}: {stmt!r} raised {exc!r}") from exc
            case.timers[impl] = timeit.Timer(stmt, globals=namespace)
        self.cases.append(case)

    def run(self) -> list[Case]:
        empty = timeit.Timer("pass")
        loop_cost = min(empty.timeit(self.number) for _ in range(5)) / self.number
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            for _ in range(self.rounds):
                for case in self.cases:
                    for impl, timer in case.timers.items():
                        t = timer.timeit(self.number) / self.number - loop_cost
                        case.best[impl] = min(case.best.get(impl, float("inf")), t)
        finally:
            if gc_was_enabled:
                gc.enable()
        self.report(loop_cost)
        return self.cases

    def report(self, loop_cost: float) -> None:
        print(f"\n== {self.title} ==  (python {sys.version.split()[0]}, "
              f"{self.number} ops x {self.rounds} rounds, loop cost {loop_cost * 1e9:.1f} ns subtracted)")
        width = max((len(c.name) for c in self.cases), default=10)
        for case in self.cases:
            impls = list(case.best)
            base = case.best[impls[0]]
            parts = []
            for impl in impls:
                ns = case.best[impl] * 1e9
                if impl == impls[0]:
                    parts.append(f"{impl} {ns:8.1f} ns")
                else:
                    ratio = case.best[impl] / base if base > 0 else float("inf")
                    parts.append(f"{impl} {ns:8.1f} ns ({ratio:5.2f}x)")
            print(f"  {case.name:<{width}}  " + " | ".join(parts))
        print("  (x: how many times the peer's cost is velmora's; above 1 means velmora is faster)")


def ratio(cases: list[Case], name: str, peer: str, base: str = "velmora") -> float:
    """Cost of `peer` divided by the cost of `base` for one case."""
    for case in cases:
        if case.name == name:
            return case.best[peer] / case.best[base]
    raise KeyError(name)


_ARGS = None


def _parse_args():
    global _ARGS
    if _ARGS is None:
        parser = argparse.ArgumentParser(add_help=True)
        parser.add_argument("--scale", type=float, default=1.0, help="multiply the operation counts")
        parser.add_argument("--rounds", type=int, default=0, help="rounds per case")
        parser.add_argument("--only", default="", help="run only cases whose name contains this")
        _ARGS, _ = parser.parse_known_args()
    return _ARGS
