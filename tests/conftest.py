"""Reference-leak mode (``pytest --leaks``, on an interpreter built with
--with-pydebug; ``./run-tests --leaks`` sets it up).

Every test module runs once as usual, then its tests are repeated quietly
(no capture, reports or warnings bookkeeping, which would grow by
themselves): a few warm-up rounds fill the caches, then
``sys.gettotalrefcount()`` and ``sys.getallocatedblocks()`` are compared
between rounds.  A module whose every measured round grows either count
leaks, and fails the session.  Modules that set ``LEAK_REPEAT = False``
(their tests run in subprocesses) are not repeated.
"""

from __future__ import annotations

import contextlib
import gc
import io
import sys
import warnings

import pytest

WARMUPS = 3
ROUNDS = 3


def pytest_addoption(parser):
    parser.addoption("--leaks", action="store_true",
                     help="repeat every test module and fail on reference or memory-block growth "
                          "(needs a --with-pydebug interpreter)")


def pytest_configure(config):
    if config.getoption("--leaks"):
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError("--leaks needs an interpreter built --with-pydebug")
        config.pluginmanager.register(LeakHunter(), "velmora-leaks")


def run_quietly(item, nextitem):
    item._initrequest()
    state = item.session._setupstate
    sink = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        warnings.simplefilter("ignore")
        try:
            state.setup(item)
            item.runtest()
        except (Exception, pytest.skip.Exception, pytest.fail.Exception, pytest.xfail.Exception):
            pass
        finally:
            with contextlib.suppress(Exception, pytest.fail.Exception):
                state.teardown_exact(nextitem)
            item._request = False
            item.funcargs = None


def counts() -> tuple[int, int]:
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


class LeakHunter:
    def __init__(self):
        self.results: list[tuple[str, list[int], list[int]]] = []

    def repeat(self, items):
        deltas_refs, deltas_blocks = [], []
        for round_ in range(WARMUPS + ROUNDS):
            refs, blocks = counts()
            for i, item in enumerate(items):
                run_quietly(item, items[i + 1] if i + 1 < len(items) else None)
            after_refs, after_blocks = counts()
            if round_ >= WARMUPS:
                deltas_refs.append(after_refs - refs)
                deltas_blocks.append(after_blocks - blocks)
        self.results.append((items[0].module.__name__, deltas_refs, deltas_blocks))

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
            group.append(item)
            if nextitem is None or nextitem.module is not item.module:
                if getattr(item.module, "LEAK_REPEAT", True):
                    self.repeat(group)
                group = []
        return True

    @staticmethod
    def leaks(deltas: list[int]) -> bool:
        # as CPython's own refleak hunting: growth in every measured round
        return all(d >= 1 for d in deltas)

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.section("reference leaks (growth per round, after warm-up)")
        for module, refs, blocks in self.results:
            flag = "LEAK" if self.leaks(refs) or self.leaks(blocks) else "ok"
            terminalreporter.write_line(f"{flag:4} {module}: references {refs}, blocks {blocks}")

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session):
        if any(self.leaks(refs) or self.leaks(blocks) for _, refs, blocks in self.results):
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
