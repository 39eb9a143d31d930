"""Concurrent use: fetchers racing for one model in two processes of four
threads each; check passes and clearing passes on threads of one process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

from support.archives import tarfile_xz, tree
from support.logcap import RecordingLogger
from support.redis_server import redis_server  # noqa: F401

FETCHER = r"""
import json, os, sys, threading
from zelk_sdk.model import fetch

base, url, go, expected = sys.argv[1:5]
with open(expected) as f:
    expected = json.load(f)
fetch.BASE_MODEL_DIR = base
start = threading.Barrier(4)
results = []

def listing(path):
    out = {}
    for dirpath, _, files in os.walk(path):
        for f in files:
            p = os.path.join(dirpath, f)
            with open(p, "rb") as fp:
                out[os.path.relpath(p, path)] = fp.read().hex()
    return out

def worker():
    start.wait()
    # one attempt each: no retry may hide a call that failed because of another
    path = fetch.download_url(url)
    # complete the moment it is handed out
    results.append({"path": path, "complete": path is not None and listing(path) == expected})

print("ready", flush=True)
while not os.path.exists(go):
    pass
threads = [threading.Thread(target=worker) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(results), flush=True)
"""


def test_two_processes_of_four_threads_fetch_one_model(tmp_path, backend):
    files = {f"m/part{i}.bin": os.urandom(50_000) for i in range(40)}
    members = [("m", "dir")] + list(files.items())
    url = backend.serve("m.tar.xz", tarfile_xz(members), write_size=16384)
    base, go = tmp_path / "models", tmp_path / "go"
    expected = tmp_path / "expected.json"
    expected.write_text(json.dumps({k[2:]: v.hex() for k, v in files.items()}))
    env = dict(os.environ, ZELK_LOG_LEVEL=os.environ.get("ZELK_CHILD_LOG", "ERROR"))
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", FETCHER, str(base), url, str(go), str(expected)],
            stdout=subprocess.PIPE,
            env=env,
            text=True,
        )
        for _ in range(2)
    ]
    try:
        for p in procs:
            assert p.stdout.readline().strip() == "ready"
        go.touch()
        outputs = [p.communicate(timeout=120)[0] for p in procs]
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
    assert [p.returncode for p in procs] == [0, 0]
    results = [r for out in outputs for r in json.loads(out.strip().splitlines()[-1])]
    assert results == [{"path": str(base / "m"), "complete": True}] * 8
    assert tree(base / "m") == {k[2:]: v for k, v in files.items()}
    assert sorted(os.listdir(base)) == ["m"]  # no archive, no scratch entry left


FORKED_DURING_A_REQUEST = r"""
import os, sys, threading, time
from zelk_sdk.model import fetch

base, slow, fast = sys.argv[1:4]
fetch.BASE_MODEL_DIR = base
fetch.DOWNLOAD_MODEL_TIMEOUT = 2  # the answer's limit: the headers come after 1 s
result = []
parent = threading.Thread(target=lambda: result.append(fetch.download_url(slow)))
parent.start()
time.sleep(0.5)  # while the parent's request waits for its headers
pid = os.fork()
if pid == 0:
    fetch.BASE_MODEL_DIR = base + "-child"
    os.mkdir(fetch.BASE_MODEL_DIR)
    fetch.download_url(fast)  # the child's own request, with its own watch
    time.sleep(3)  # past the limit the parent's request had
    os._exit(0)
parent.join()
os.waitpid(pid, 0)
print(result[0])
"""


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_child_of_fork_leaves_its_parent_s_requests_alone(tmp_path, backend):
    # the socket of a request in flight is the child's too: the child's watch
    # of answers shut it down once the parent's request had waited as long as
    # its limit allows, though its answer had long come
    files = {f"m/part{i}.bin": os.urandom(65536) for i in range(40)}
    members = [("m", "dir")] + list(files.items())
    data = tarfile_xz(members)
    slow = backend.serve("m.tar.xz", data, headers_delay=1.0, drip_after=0, drip_bytes=len(data) // 50,
                         drip_seconds=0.06)
    fast = backend.serve("f.tar.xz", tarfile_xz([("f", "dir"), ("f/a", b"a")]))
    base = tmp_path / "models"
    base.mkdir()
    done = subprocess.run([sys.executable, "-c", FORKED_DURING_A_REQUEST, str(base), slow, fast],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == str(base / "m"), done.stderr[-2000:]
    assert tree(base / "m") == {k[2:]: v for k, v in files.items()}


@pytest.fixture
def tracing_off():
    tracemalloc.stop()
    yield
    tracemalloc.stop()


def test_check_passes_and_clearing_passes_on_threads(redis_server, tracing_off, monkeypatch):  # noqa: F811
    from zelk_sdk.debug.leakscope import LeakscopeManager
    from zelk_sdk.nodered import ZelkFlow
    from zelk_sdk.redis import flowsweep
    from zelk_sdk.redis.wrapper import ZelkRedis

    monkeypatch.setattr(flowsweep, "logger", RecordingLogger())
    r = ZelkRedis(redis_server.url, cluster=False)
    r.client.flushall()
    stream = [f"redis_{n}_{i}" for n in "abcd" for i in range(5)] + ["out_a"]
    others = [f"redis_x_{i}" for i in range(5)] + ["redis_ab_1"]
    for k in stream + others:
        r.client.set(k, "v")
    nodes = [{"id": "a", "type": "t", "wires": [["b", "c"], ["d"]]}, {"id": "b", "type": "t", "wires": [["d"]]}]
    nodes += [{"id": n, "type": "t", "wires": []} for n in "cdx"]
    flow = ZelkFlow(nodes, "a")
    shared = flowsweep.FlowsweepManager(r, flow, flow.parse_flow()["cur_node"], "out_a")
    traced = LeakscopeManager(limit=3, logger=RecordingLogger(), debug=True)
    quiet = LeakscopeManager(logger=RecordingLogger())

    deadline = time.monotonic() + 3
    errors: list[BaseException] = []
    results: list[object] = []

    def loop(body):
        def run():
            try:
                while time.monotonic() < deadline:
                    results.append(body())
            except BaseException as exc:  # recorded for the main thread
                errors.append(exc)

        return threading.Thread(target=run)

    def sweep():
        ok = shared.clear_stream_keys()
        shared.reset_cleanup_flag()
        return ok

    def one_shot():
        return flowsweep.clear_stream_redis_keys(r, flow, flow.parse_flow()["cur_node"], "out_a", max_ports=3)

    threads = [loop(traced.leakscope_check), loop(quiet.leakscope_check), loop(sweep), loop(one_shot)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    traced.stop()
    assert not errors and results and set(results) == {True}
    assert sorted(k.decode() for k in r.client.keys()) == sorted(others)
    r.close()
