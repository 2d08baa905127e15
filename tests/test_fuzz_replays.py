"""Fuzz iterations that once crashed, replayed in a fresh interpreter with
the debug allocator (freed memory is overwritten, so a stale read crashes or
shows).  Each names the target, seed, iteration and the hook mutations the
run allowed; fuzz/run.py regenerates the same input from them, so a change
to a target's generators changes what these replay: add the new crashing
iterations rather than editing these."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[1] / "fuzz" / "run.py"

CRASHES = [
    # Header equality: the other operand's __eq__ re-initialises the header
    ("headers", 1, 102, None),
    # the expires tzinfo reassigns expires, or deletes domain and path, mid-write
    ("cookies", 1, 106, "redate"),
    ("cookies", 1, 288, "drop"),
    # a key's __hash__ replaces the static tables during a lookup
    ("routing", 2, 1439, None),
    # a name's __hash__ clears the leaf's param_names while values are built
    ("routing", 3, 19170, "clear_names"),
    # a key's __eq__ replaces the children dict being looked up
    ("routing", 3, 4269, "swap_children"),
    # a query value of one "+" is made a space inside the interpreter's shared
    # one-byte bytes object, so every later b"+" of one byte reads b" "
    ("messages", 1, 882, None),
]


@pytest.mark.parametrize("target, seed, iteration, mutations", CRASHES)
def test_fuzz_crash_replays_cleanly(target, seed, iteration, mutations):
    cmd = [sys.executable, str(RUN), "--target", target, "--seed", str(seed), "--start", str(iteration),
           "--iterations", "1"]
    if mutations:
        cmd += ["--mutations", mutations]
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONHASHSEED="0")
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stdout[-2000:] + out.stderr[-3000:]
    assert "1 inputs" in out.stdout
