"""Reference-leak mode (``pytest --leaks``, on an interpreter built with
--with-pydebug; ``./run-tests --leaks`` sets it up).

Every test module runs once as usual, then its tests are repeated quietly
(no capture, reports or warnings bookkeeping, which would grow by
themselves): a few warm-up rounds fill the caches, then
``sys.gettotalrefcount()`` and ``sys.getallocatedblocks()`` are compared
between rounds.  A module whose every measured round grows either count is
run ten rounds more; if it grows in each of them too, its tests are measured
one by one the same way.  A test that grows on its own, and grows by at
least one for every two calls when its function is called 50 times in one
set-up (after 100 warm-up calls), leaks: it is named in the summary and
fails the session.  Growth that no single test explains is shown ("grew")
without failing.  Tests whose function runs its code in
another interpreter (``run_isolated``, ``subprocess``), the end-to-end tests
against real servers and modules that set ``LEAK_REPEAT = False`` are not
repeated.  The one-by-one search of a module stops after ``SEARCH_BUDGET``
seconds, and leaves out tests that take longer than ``SLOW_CALL`` seconds a
call (on a debug interpreter, a test that pushes 100,000 requests through
the pools would take minutes); the summary says so.
"""

from __future__ import annotations

import contextlib
import gc
import io
import sys
import time
import warnings

import pytest

WARMUPS = 3
ROUNDS = 3
CONFIRM = 10  # rounds that a suspect must grow in, one after the other
CALLS = 50  # measured calls of a suspect test function in one set-up
WARMUP_CALLS = 100  # after these, which fill caches that grow call by call
SEARCH_BUDGET = 120.0  # seconds for naming the leaking tests of one module
SLOW_CALL = 0.25  # seconds: slower tests are not measured one by one


def pytest_addoption(parser):
    parser.addoption("--leaks", action="store_true",
                     help="repeat every test module and fail on reference or memory-block growth "
                          "(needs a --with-pydebug interpreter)")


def pytest_configure(config):
    if config.getoption("--leaks"):
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError("--leaks needs an interpreter built --with-pydebug")
        config.pluginmanager.register(LeakHunter(), "velmora-leaks")


def run_quietly(item, nextitem, calls: int = 0):
    item._initrequest()
    state = item.session._setupstate
    sink = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        warnings.simplefilter("ignore")
        try:
            state.setup(item)
            item.runtest()
            if calls:
                # straight to the test function, so that only the code under
                # test runs again, and counted around those calls alone
                args = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}
                for _ in range(WARMUP_CALLS):
                    item.obj(**args)
                before = counts()
                for _ in range(calls):
                    item.obj(**args)
                after = counts()
                return after[0] - before[0], after[1] - before[1]
        except (Exception, pytest.skip.Exception, pytest.fail.Exception, pytest.xfail.Exception):
            pass
        finally:
            with contextlib.suppress(Exception, pytest.fail.Exception):
                state.teardown_exact(nextitem)
            item._request = False
            item.funcargs = None


SUBPROCESS_NAMES = {"run_isolated", "subprocess", "run_python"}


def in_process(item) -> bool:
    """False for a test whose function runs its code in another interpreter."""
    if "e2e" in item.nodeid.split("::")[0].split("/"):
        return False
    code = getattr(getattr(item, "obj", None), "__code__", None)
    return code is None or not SUBPROCESS_NAMES & set(code.co_names)


def counts() -> tuple[int, int]:
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


class LeakHunter:
    def __init__(self):
        self.results: list[tuple[str, list[int], list[int], list[str]]] = []

    @staticmethod
    def measure(items, warmups: int = WARMUPS, rounds: int = ROUNDS) -> tuple[list[int], list[int]]:
        deltas_refs, deltas_blocks = [], []
        for round_ in range(warmups + rounds):
            refs, blocks = counts()
            for i, item in enumerate(items):
                run_quietly(item, items[i + 1] if i + 1 < len(items) else None)
            after_refs, after_blocks = counts()
            if round_ >= warmups:
                deltas_refs.append(after_refs - refs)
                deltas_blocks.append(after_blocks - blocks)
        return deltas_refs, deltas_blocks

    @staticmethod
    def leaks(deltas: list[int]) -> bool:
        # as CPython's own refleak hunting: growth in every measured round
        return all(d >= 1 for d in deltas)

    def suspect(self, items) -> tuple[list[int], list[int]]:
        """Deltas of the measured rounds; for growth, those of a longer run.

        Caches that fill with every round (the regular-expression cache,
        interned strings, free lists) grow less and less and stop; a leak
        grows by the same amount every time.
        """
        refs, blocks = self.measure(items)
        if self.leaks(refs) or self.leaks(blocks):
            refs, blocks = self.measure(items, 0, CONFIRM)
        return refs, blocks

    @staticmethod
    def grows_per_call(item) -> bool:
        """Whether the test leaks as often as it is called.

        The set-up and tear-down of a test can leave an object or two per
        round in pytest's own state; a leak of the code under test grows
        with every call of the test function within one set-up.
        """
        growth = run_quietly(item, None, CALLS)
        return growth is not None and max(growth) >= CALLS // 2

    def repeat(self, items):
        refs, blocks = self.suspect(items)
        culprits = []
        if self.leaks(refs) or self.leaks(blocks):
            # name the tests that leak on their own, within the time budget
            deadline = time.monotonic() + SEARCH_BUDGET
            for item in items:
                if time.monotonic() > deadline:
                    culprits.append("(search stopped: time budget spent)")
                    break
                started = time.monotonic()
                run_quietly(item, None)
                if time.monotonic() - started > SLOW_CALL:
                    continue
                one_refs, one_blocks = self.suspect([item])
                if (self.leaks(one_refs) or self.leaks(one_blocks)) and self.grows_per_call(item):
                    culprits.append(f"{item.name} {one_refs}/{one_blocks}")
        self.results.append((items[0].module.__name__, refs, blocks, culprits))

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        if session.config.option.collectonly:
            return True
        items = session.items
        group = []
        for i, item in enumerate(items):
            nextitem = items[i + 1] if i + 1 < len(items) else None
            item.config.hook.pytest_runtest_protocol(item=item, nextitem=nextitem)
            if session.shouldfail:
                raise session.Failed(session.shouldfail)
            if session.shouldstop:
                raise session.Interrupted(session.shouldstop)
            if in_process(item):
                group.append(item)
            if nextitem is None or nextitem.module is not item.module:
                if group and getattr(item.module, "LEAK_REPEAT", True):
                    self.repeat(group)
                group = []
        return True

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.section("reference leaks (growth per round, after warm-up)")
        for module, refs, blocks, culprits in self.results:
            flag = ("LEAK" if self.failed(culprits) else
                    "grew" if self.leaks(refs) or self.leaks(blocks) else "ok")
            terminalreporter.write_line(f"{flag:4} {module}: references {refs}, blocks {blocks}")
            for culprit in culprits:
                terminalreporter.write_line(f"       {culprit}")

    @staticmethod
    def failed(culprits: list[str]) -> bool:
        return any(not c.startswith("(") for c in culprits)

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session):
        if any(self.failed(culprits) for *_, culprits in self.results):
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
