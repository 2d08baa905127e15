"""URL construction plus reading path and query: velmora.url.URL against
yarl.URL and urllib.parse.urlsplit, with a bare httptools.parse_url call as
the floor (parsing alone, no object of our own).

    python bench/bench_url.py [--scale 0.2] [--rounds 5] [--only absolute]

Targets: at most 2x the bare parse_url call, at least 2x faster than yarl.
The first two cases build the same value over and over, as a server does
for its common paths; the last one never repeats a value.
"""

from __future__ import annotations

import itertools
import os
import sys
from urllib.parse import urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Bench, ratio  # noqa: E402

import httptools  # noqa: E402
import yarl  # noqa: E402

from velmora.url import URL  # noqa: E402

CASES = {
    "absolute": b"https://example.com:8443/a/b?x=1#f",
    "relative": b"/api/users/42?page=2",
}


def main() -> None:
    bench = Bench("URL: construct, read path and query", number=200_000)
    for name, raw in CASES.items():
        ns = {
            "URL": URL,
            "yarl_URL": yarl.URL,
            "urlsplit": urlsplit,
            "parse_url": httptools.parse_url,
            "raw": raw,
            # yarl and urlsplit work on str; the decoding is part of their cost
            # only as far as a caller holding bytes would pay it.
            "text": raw.decode(),
        }
        bench.case(name, {
            "velmora": "u = URL(raw); u.path; u.query",
            "parse_url": "u = parse_url(raw); u.path; u.query",
            "yarl": "u = yarl_URL(text); u.path; u.query",
            "urlsplit": "u = urlsplit(text); u.path; u.query",
        }, ns)
    # Every value different: no cache of anyone's helps (velmora keeps the
    # parts of recently seen values, yarl and urlsplit keep LRU caches).
    distinct = [b"https://example.com:8443/a/b%d?x=1#f" % i for i in range(20_000)]
    ns = {
        "URL": URL, "yarl_URL": yarl.URL, "urlsplit": urlsplit, "parse_url": httptools.parse_url,
        "raw_values": itertools.cycle(distinct),
        "text_values": itertools.cycle([v.decode() for v in distinct]),
    }
    bench.case("absolute, all distinct", {
        "velmora": "u = URL(next(raw_values)); u.path; u.query",
        "parse_url": "u = parse_url(next(raw_values)); u.path; u.query",
        "yarl": "u = yarl_URL(next(text_values)); u.path; u.query",
        "urlsplit": "u = urlsplit(next(text_values)); u.path; u.query",
    }, ns)
    cases = bench.run()
    print()
    for name in [*CASES, "absolute, all distinct"]:
        if not any(c.name == name for c in cases):
            continue
        floor = 1 / ratio(cases, name, "parse_url")
        print(f"  {name}: velmora / parse_url = {floor:.2f} (target <= 2), "
              f"yarl / velmora = {ratio(cases, name, 'yarl'):.2f} (target >= 2), "
              f"urlsplit / velmora = {ratio(cases, name, 'urlsplit'):.2f}")


if __name__ == "__main__":
    main()
