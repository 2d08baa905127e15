"""Real servers for the end-to-end tests: uvicorn (ASGI) and granian (RSGI)
serving the demo application on loopback ports, one of each per session."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
HARD_TIMEOUT = 300  # seconds a server may live, whatever happens to the test run
SERVERS = ("uvicorn", "granian")

httpx = pytest.importorskip("httpx")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def command(kind: str, port: int, target: str = "demo.app:app") -> list[str]:
    if kind == "uvicorn":
        args = ["-m", "uvicorn", "--host", "127.0.0.1", "--port", str(port), "--log-level", "warning"]
    else:
        args = ["-m", "granian", "--interface", "rsgi", "--host", "127.0.0.1", "--port", str(port), "--workers", "1"]
    cmd = [sys.executable, *args, target]
    limit = shutil.which("timeout")
    return [limit, "-k", "5", str(HARD_TIMEOUT), *cmd] if limit else cmd


class Server:
    def __init__(self, kind: str, log: Path, target: str = "demo.app:app") -> None:
        pytest.importorskip(kind)
        self.kind = kind
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log_path = log
        self._log = open(log, "wb")
        env = dict(os.environ, PYTHONPATH=str(ROOT), PYTHONUNBUFFERED="1")
        self.process = subprocess.Popen(
            command(kind, self.port, target), cwd=ROOT, env=env, stdout=self._log, stderr=subprocess.STDOUT
        )
        self._wait_ready()

    def _wait_ready(self) -> None:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return
            except OSError:
                time.sleep(0.05)
        self.stop()
        pytest.fail(f"{self.kind} did not start:\n{self.log()}")

    def alive(self) -> bool:
        return self.process.poll() is None

    def log(self) -> str:
        self._log.flush()
        return self.log_path.read_text(errors="replace")

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self._log.close()


@pytest.fixture(scope="session")
def servers(tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[str, Server]]:
    logs = tmp_path_factory.mktemp("servers")
    started: dict[str, Server] = {}
    try:
        for kind in SERVERS:
            started[kind] = Server(kind, logs / f"{kind}.log")
        yield started
    finally:
        for server in started.values():
            server.stop()


@pytest.fixture(params=SERVERS)
def server(request: pytest.FixtureRequest, servers: dict[str, Server]) -> Iterator[Server]:
    server = servers[request.param]
    yield server
    assert server.alive(), f"{server.kind} died:\n{server.log()}"


@pytest.fixture
def client(server: Server) -> Iterator[httpx.Client]:
    with httpx.Client(base_url=server.url, timeout=10) as client:
        yield client
