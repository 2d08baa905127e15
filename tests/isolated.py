"""Running a piece of code in a fresh interpreter with the debug allocator,
which overwrites freed memory: a use after free then crashes (or shows in
the result the code checks) instead of passing by luck."""

from __future__ import annotations

import os
import subprocess
import sys


def run_isolated(code: str) -> None:
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
