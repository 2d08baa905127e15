"""Seeded, replayable fuzzing of the velmora extension modules.

    python fuzz/run.py                              every target, 60 s in all, a random seed
    python fuzz/run.py --target url --seed 7 --iterations 100000
    python fuzz/run.py --target headers --seed 7 --start 4242 --iterations 1 --trace

Each target runs in a child process so that a crash is caught and located: the
child announces every iteration before running it, and iteration i of seed s
draws everything from ``random.Random(f"{target}:{s}:{i}")``, so the last one
announced replays on its own.  A crash, a SystemError or an exception a target
does not expect fails the run; the parent then replays the iteration with
``--trace`` and writes the trace and the replay command to fuzz/crashes/.
Run it on the sanitizer build (``./run-tests --sanitize --fuzz ...``) so that
reads of freed memory are reported, not only those that happen to crash.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from evil import Chaos  # noqa: E402
from targets import TARGETS, Finding, Run  # noqa: E402


def worker(args: argparse.Namespace) -> int:
    target = TARGETS[args.target]
    progress = args.progress_fd
    deadline = time.monotonic() + args.budget if args.budget else None
    end = args.start + args.iterations if args.iterations else None
    i = args.start
    while (end is None or i < end) and (deadline is None or time.monotonic() < deadline):
        if progress is not None:
            os.write(progress, b"%d\n" % i)
        rng = random.Random(f"{args.target}:{args.seed}:{i}")
        trace: list[str] | None = Echo() if args.trace else None
        run = Run(rng, trace)
        if rng.random() < args.evil:
            run.chaos = Chaos(rng, trace, only=args.mutations)
            run.chaos.on("gc.collect", lambda _rng: gc.collect())
        Chaos.current = run.chaos
        try:
            target.one(run)
        except Finding as exc:
            return report(args, i, run, f"{exc}")
        except SystemError:
            return report(args, i, run, traceback.format_exc())
        except Exception as exc:
            if run.chaos is None and not isinstance(exc, target.EXPECTED):
                return report(args, i, run, traceback.format_exc())
        finally:
            Chaos.current = None
            run.chaos = None
        i += 1
    if progress is not None:
        os.write(progress, b"done %d\n" % (i - args.start))
    return 0


def report(args: argparse.Namespace, i: int, run: Run, what: str) -> int:
    print(f"fuzz {args.target}: iteration {i} of seed {args.seed}: {what}", file=sys.stderr, flush=True)
    return 3


class Echo(list):
    """A trace that is printed as it grows, so that a crash keeps it."""

    def append(self, line: str) -> None:
        print(line, file=sys.stderr, flush=True)
        super().append(line)


def replay_command(target: str, seed: int, i: int) -> str:
    return f"python fuzz/run.py --target {target} --seed {seed} --start {i} --iterations 1 --trace"


def run_target(name: str, args: argparse.Namespace, budget: float | None) -> tuple[int, int]:
    """Runs one target in children; returns (inputs run, crashes)."""
    deadline = time.monotonic() + budget if budget else None
    start, total, crashes = args.start, 0, 0
    end = args.start + args.iterations if args.iterations else None
    env = dict(os.environ, PYTHONHASHSEED=os.environ.get("PYTHONHASHSEED", "0"))
    while True:
        left = deadline - time.monotonic() if deadline else None
        if (left is not None and left <= 0) or (end is not None and start >= end):
            break
        read_fd, write_fd = os.pipe()
        cmd = [sys.executable, __file__, "--worker", "--target", name, "--seed", str(args.seed),
               "--start", str(start), "--iterations", str(end - start if end else 0),
               "--evil", str(args.evil), "--progress-fd", str(write_fd)]
        if args.mutations:
            cmd += ["--mutations", ",".join(args.mutations)]
        if left is not None:
            cmd += ["--budget", f"{left:.3f}"]
        if args.trace:
            cmd.append("--trace")
        child = subprocess.Popen(cmd, pass_fds=(write_fd,), env=env)
        os.close(write_fd)
        last, count = None, None
        with os.fdopen(read_fd, "rb") as pipe:
            for line in pipe:
                if line.startswith(b"done"):
                    count = int(line.split()[1])
                else:
                    last = int(line)
        status = child.wait()
        if status == 0 and count is not None:
            total += count
            break
        crashes += 1
        print(f"fuzz {name}: child failed (status {status}) at iteration {last}, seed {args.seed}",
              file=sys.stderr, flush=True)
        if last is None:
            break
        total += last - start + 1
        if not args.trace:
            save_crash(name, args.seed, last, status, env,
                       ["--mutations", ",".join(args.mutations)] if args.mutations else [])
        if not args.keep_going:
            break
        start = last + 1
    return total, crashes


def save_crash(name: str, seed: int, i: int, status: int, env: dict[str, str], mutations: list[str]) -> None:
    cmd = [sys.executable, __file__, "--target", name, "--seed", str(seed), "--start", str(i),
           "--iterations", "1", "--trace", "--worker"] + mutations
    replay = subprocess.run(cmd, env=env, capture_output=True, text=True, errors="replace")
    out = HERE / "crashes" / f"{name}-{seed}-{i}.txt"
    out.parent.mkdir(exist_ok=True)
    tail = "\n".join(replay.stderr.splitlines()[-80:])
    out.write_text(
        f"target {name}, seed {seed}, iteration {i}: child status {status}\n"
        f"replay (status {replay.returncode}): PYTHONHASHSEED={env['PYTHONHASHSEED']} "
        f"{replay_command(name, seed, i)} {' '.join(mutations)}\n\n{tail}\n")
    print(f"fuzz {name}: trace written to {out.relative_to(HERE.parent)}", file=sys.stderr)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--target", action="append", choices=sorted(TARGETS),
                        help="a target to run (repeatable; default: all)")
    parser.add_argument("--seed", type=int, default=None, help="default: a random seed, printed")
    parser.add_argument("--start", type=int, default=0, help="first iteration")
    parser.add_argument("--iterations", type=int, default=0,
                        help="iterations per target (0: until the time budget is spent)")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds in all, shared by the targets (default 60 without --iterations)")
    parser.add_argument("--evil", type=float, default=0.5,
                        help="share of iterations that use hook-running objects")
    parser.add_argument("--mutations", type=lambda text: text.split(","), default=None,
                        help="only these hook mutations (comma-separated names, as the traces show them)")
    parser.add_argument("--trace", action="store_true", help="print every operation")
    parser.add_argument("--keep-going", action="store_true",
                        help="after a crash, go on with the next iteration")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--progress-fd", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    if args.worker:
        args.target = args.target[0]
        return worker(args)
    names = args.target or sorted(TARGETS)
    budget = args.budget
    if budget is None and not args.iterations:
        budget = 60.0
    share = budget / len(names) if budget else None
    print(f"fuzz: seed {args.seed}, targets {', '.join(names)}"
          + (f", {budget:g} s" if budget else ""), flush=True)
    status = 0
    for name in names:
        started = time.monotonic()
        count, crashes = run_target(name, args, share)
        print(f"fuzz {name}: {count} inputs in {time.monotonic() - started:.1f} s"
              + (f", {crashes} FAILED" if crashes else ""), flush=True)
        status |= bool(crashes)
    return status


if __name__ == "__main__":
    sys.exit(main())
