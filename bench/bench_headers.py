"""velmora Headers against multidict.CIMultiDict and Starlette's Headers.

A realistic request of 16 headers (two `accept-*`-style repeats included).
velmora is asked with bytes keys where the request path uses them; the peers
only take str keys, so their "lower-case bytes key" rows use the lower-case
str key, the closest they offer.

    python bench/bench_headers.py [--scale F] [--rounds N] [--only NAME]
"""

from __future__ import annotations

import sys
from pathlib import Path

from multidict import CIMultiDict
from starlette.datastructures import Headers as StarletteHeaders
from starlette.datastructures import MutableHeaders

from velmora.headers import Headers

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Bench, ratio  # noqa: E402

RAW = [
    (b"host", b"example.com"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"referer", b"https://example.com/articles/"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=4f2a9c; theme=dark"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
    (b"sec-fetch-mode", b"navigate"),
    (b"sec-fetch-site", b"same-origin"),
    (b"sec-fetch-user", b"?1"),
    (b"priority", b"u=0, i"),
    (b"x-forwarded-for", b"203.0.113.7"),
    (b"accept", b"application/json"),
]


def velmora_headers() -> Headers:
    h = Headers()
    for name, value in RAW:
        h.add(name, value)
    return h


def multidict_headers() -> CIMultiDict:
    return CIMultiDict((n.decode("latin-1"), v.decode("latin-1")) for n, v in RAW)


def main() -> None:
    ns = {
        "h": velmora_headers(), "m": multidict_headers(), "s": StarletteHeaders(raw=list(RAW)),
        # Changing operations get objects of their own.
        "hs": velmora_headers(), "ms": multidict_headers(), "ss": MutableHeaders(raw=list(RAW)),
        "ha": velmora_headers(), "ma": multidict_headers(), "sa": MutableHeaders(raw=list(RAW)),
        "hr": velmora_headers(), "mr": multidict_headers(), "sr": MutableHeaders(raw=list(RAW)),
    }
    bench = Bench("Headers: 16-header request", number=200_000)
    cases = [
        ("first, lower bytes key", "h.get_first(b'cookie')", "m.getone('cookie')", "s.get('cookie')"),
        ("all, lower bytes key", "h.get(b'accept')", "m.getall('accept')", "s.getlist('accept')"),
        ("first, mixed str key", "h.get_first('Cookie')", "m.getone('Cookie')", "s.get('Cookie')"),
        ("all, mixed str key", "h.get('Accept')", "m.getall('Accept')", "s.getlist('Accept')"),
        ("first, absent key", "h.get_first(b'x-missing')", "m.get('x-missing')", "s.get('x-missing')"),
        ("in, lower bytes key", "b'cookie' in h", "'cookie' in m", "'cookie' in s"),
        ("in, mixed str key", "'Cookie' in h", "'Cookie' in m", "'Cookie' in s"),
        ("in, absent key", "b'x-missing' in h", "'x-missing' in m", "'x-missing' in s"),
        ("set", "hs.set(b'connection', b'close')", "ms['connection'] = 'close'",
         "ss['connection'] = 'close'"),
        ("add (growing)", "ha.add(b'x-extra', b'1')", "ma.add('x-extra', '1')", "sa.append('x-extra', '1')"),
        ("add + remove", "hr.add(b'x-tmp', b'1'); hr.remove(b'x-tmp')",
         "mr.add('x-tmp', '1'); del mr['x-tmp']", "sr.append('x-tmp', '1'); del sr['x-tmp']"),
        ("iterate entries", "for _ in h: pass", "for _ in m.items(): pass", "for _ in s.items(): pass"),
    ]
    for name, vel, md, st in cases:
        bench.case(name, {"velmora": vel, "multidict": md, "starlette": st}, ns)
    results = bench.run()
    if bench.only:
        return

    print("\nTargets (velmora cost / peer cost):")
    for name, limit in [("first, lower bytes key", 0.8), ("in, lower bytes key", 0.8),
                        ("first, mixed str key", 1.0), ("in, mixed str key", 1.0)]:
        share = 1 / ratio(results, name, "multidict")
        print(f"  {name:<24} vs multidict {share:5.2f} (target <= {limit})  {'ok' if share <= limit else 'MISSED'}")
    lookups = [c.name for c in results if c.name.startswith(("first", "all", "in"))]
    worst = min(ratio(results, name, "starlette") for name in lookups)
    print(f"  every look-up vs starlette: at least {worst:.1f}x faster (target >= 3)  "
          f"{'ok' if worst >= 3 else 'MISSED'}")


if __name__ == "__main__":
    main()
