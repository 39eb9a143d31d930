"""Private redis-server processes on free 127.0.0.1 ports, started and stopped by
fixtures, and a spy on the wrapper's calls to them."""

from __future__ import annotations

import shutil
import socket
import subprocess
import time

import pytest
import redis

from zelk_sdk.redis.wrapper import ZelkRedis


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    def __init__(self, workdir, *extra: str) -> None:
        if shutil.which("redis-server") is None:
            pytest.skip("redis-server is not installed")
        for _ in range(5):  # a free port may be taken before the server binds it
            self.port = free_port()
            args = ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", "", "--appendonly", "no"]
            self.proc = subprocess.Popen([*args, "--dir", str(workdir), *extra], stdout=subprocess.DEVNULL)
            if self._answers():
                return
            self.stop()
        raise RuntimeError("redis-server did not start")

    def _answers(self) -> bool:
        client = redis.Redis(port=self.port, socket_timeout=1)
        try:
            for _ in range(200):
                if self.proc.poll() is not None:
                    return False
                try:
                    return client.ping()
                except redis.ConnectionError:
                    time.sleep(0.025)
            return False
        finally:
            client.close()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture
def disposable_redis(tmp_path):
    """A server of the test's own, which the test may kill."""
    server = RedisServer(tmp_path)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    """Three primaries on 127.0.0.1 holding all 16384 slots; yields their ports."""
    servers = []
    try:
        for _ in range(3):
            work = tmp_path_factory.mktemp("cluster")
            bus = str(free_port())
            servers.append(RedisServer(work, "--cluster-enabled", "yes", "--cluster-port", bus,
                                       "--cluster-config-file", str(work / "nodes.conf")))
        addrs = [f"127.0.0.1:{s.port}" for s in servers]
        subprocess.run(["redis-cli", "--cluster", "create", *addrs, "--cluster-replicas", "0", "--cluster-yes"],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        for s in servers:
            c = redis.Redis(port=s.port)
            deadline = time.monotonic() + 30
            while c.cluster("info")["cluster_state"] != "ok":
                assert time.monotonic() < deadline, "cluster did not become ready"
                time.sleep(0.1)
            c.close()
        yield [s.port for s in servers]
    finally:
        for s in servers:
            s.stop()


class SpyRedis(ZelkRedis):
    """The wrapper, keeping the patterns scanned and the keys deleted (sorted);
    on_scan(number of scans so far) and on_delete() run before each call goes out."""

    def __init__(self, *args, on_scan=None, on_delete=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.scans, self.deletes = [], []
        self.on_scan, self.on_delete = on_scan, on_delete

    def scan_keys(self, pattern="*"):
        self.scans.append(pattern)
        if self.on_scan:
            self.on_scan(len(self.scans))
        return super().scan_keys(pattern=pattern)

    def delete_many(self, keys):
        self.deletes.append(sorted(keys))
        if self.on_delete:
            self.on_delete()
        return super().delete_many(keys)
