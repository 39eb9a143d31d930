"""Faults of the servers the SDK talks to: every one ends with its log lines and
the failure result, with nothing on disk that looks like a model or an archive,
and with the Redis keys intact where no deletion was sent."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import threading
import time

import pytest
import redis
import requests
from redis.backoff import NoBackoff
from redis.retry import Retry

from support.archives import tarfile_xz, tree
from support.emulation import scaled
from support.faults import RawServer, reset
from support.redis_server import SpyRedis, free_port
from zelk_sdk.nodered import ZelkFlow
from zelk_sdk.redis import flowsweep
from zelk_sdk.redis.wrapper import ZelkRedis

MODEL = {"m/weights.bin": os.urandom(300_000), "m/labels.txt": b"cat\ndog\n"}  # does not compress


@pytest.fixture(scope="module")
def model_xz():
    return tarfile_xz([("m", "dir"), *MODEL.items()])


def attempt_head(url: str, base) -> list[tuple[str, str]]:
    tar = os.path.join(base, "m.tar.xz")
    return [
        ("info", f"Get the download url from model_id:{url}"),
        ("info", "Downloading..."),
        ("info", f"\tcloud url: {url}"),
        ("info", f"\ttar.xz file: {tar}"),
    ]


def assert_nothing_left(base) -> None:
    """No archive, no model directory, no scratch entry."""
    assert not os.path.exists(base) or os.listdir(base) == []


@pytest.fixture
def budget(fetch, monkeypatch):
    """A one-second budget, which is also the download's read timeout: one attempt."""
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 1)


# ------------------------------------------------------------------ model server


def test_stalled_download_times_out(fetch, fetch_log, backend, model_env, budget, model_xz):
    url = backend.serve("m.tar.xz", model_xz, stall_after=100_000, stall_seconds=4, write_size=50_000)
    t0 = time.monotonic()
    assert fetch.download_detection_model(url) is None
    assert time.monotonic() - t0 < 3.5  # the timeout, one pause; not the stall
    *lines, last = fetch_log.records
    assert lines == [("info", "Download model")] + attempt_head(url, model_env)
    assert last[0] == "warning" and last[1].startswith(f"Failed to download from {url} - ")
    assert "Read timed out" in last[1]
    assert_nothing_left(model_env)


def test_short_stall_within_the_timeout_is_no_fault(fetch, fetch_log, backend, model_env, monkeypatch, model_xz):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 3)
    url = backend.serve("m.tar.xz", model_xz, stall_after=100_000, stall_seconds=1, write_size=50_000)
    path = fetch.download_detection_model(url)
    assert path == os.path.join(model_env, "m") and tree(path) == {k[2:]: v for k, v in MODEL.items()}


def reset_after(body: bytes, sent: int):
    def handler(conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body[:sent])
        time.sleep(0.05)
        reset(conn)

    return handler


def garbage(conn):
    conn.sendall(b"\x00\xffSSH-2.0-nonsense\r\n\r\n" * 20)


@pytest.mark.parametrize(
    "handler, expected",
    [
        (lambda body: reset_after(body, 150_000), "Connection broken"),
        (lambda body: garbage, "Connection aborted"),
    ],
    ids=["reset mid-body", "not HTTP"],
)
def test_broken_transfers(fetch, fetch_log, model_env, budget, model_xz, handler, expected):
    with RawServer(handler(model_xz)) as server:
        url = server.base + "/files/m.tar.xz"
        assert fetch.download_detection_model(url) is None
    *lines, last = fetch_log.records
    assert lines == [("info", "Download model")] + attempt_head(url, model_env)
    assert last[0] == "warning" and last[1].startswith(f"Failed to download from {url} - ")
    assert expected in last[1]
    assert_nothing_left(model_env)


def drip_headers(conn):
    """A status line, then a header that never ends, a byte at a time, each
    well within the client's time-out (for 20 s at most)."""
    conn.sendall(b"HTTP/1.1 200 OK\r\nX-Slow: ")
    end = time.monotonic() + scaled(20)
    while time.monotonic() < end:
        conn.sendall(b"x")
        time.sleep(0.1)


def test_headers_dripped_within_the_time_out_end_with_it(fetch, fetch_log, model_env, budget):
    with RawServer(drip_headers, limit=1) as server:
        url = server.base + "/files/m.tar.xz"
        t0 = time.monotonic()
        assert fetch.download_detection_model(url) is None
        took = time.monotonic() - t0
    assert took < scaled(10), took  # the drip goes on for 20 s
    *lines, last = fetch_log.records
    assert lines == [("info", "Download model")] + attempt_head(url, model_env)
    assert last == ("warning", f"Failed to download from {url} - the server's answer did not come within 1 s: "
                               "its headers or redirects were too slow")
    assert_nothing_left(model_env)


def redirect_with_endless_body(location: str, then: bytes = b""):
    """A redirect whose close-delimited body goes on for 20 s (a client that
    reads it before it follows the redirect waits for it); later connections
    get `then`."""
    answered = []

    def handler(conn):
        if answered:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(then) + then)
            return
        answered.append(1)
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nConnection: close\r\n\r\n" % location.encode())
        end = time.monotonic() + scaled(20)
        while time.monotonic() < end:
            conn.sendall(b" " * 1024)
            time.sleep(0.05)

    return handler


@pytest.mark.parametrize("hop", ["archive", "model-URL service"])
def test_a_redirects_body_is_not_read(fetch, fetch_log, backend, model_env, monkeypatch, model_xz, hop):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 5)
    url = backend.serve("m.tar.xz", model_xz)
    if hop == "archive":
        handler = redirect_with_endless_body(url)
    else:
        handler = redirect_with_endless_body("/y/m", json.dumps({"url": url}).encode())
    with RawServer(handler, limit=2) as server:
        if hop == "archive":
            key = server.base + "/files/m.tar.xz"
        else:
            key = "m"
            monkeypatch.setattr(fetch, "MODEL_URL", server.base + "/x/<MODEL_KEY>")
        t0 = time.monotonic()
        result = fetch.download_detection_model(key)
        took = time.monotonic() - t0
    assert result == os.path.join(model_env, "m") and took < scaled(4), (result, took, fetch_log.lines)


def framing_without_body(conn):
    """A chunked body whose chunks carry one byte each behind 60 KB of chunk
    extension: the connection is busy, the body does not grow (for 30 s)."""
    conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    end = time.monotonic() + scaled(30)
    while time.monotonic() < end:
        conn.sendall(b"1;" + b"x" * 60_000 + b"\r\nA\r\n")
        time.sleep(0.05)


def test_framing_without_body_is_a_stall(fetch, fetch_log, model_env, monkeypatch):
    monkeypatch.setenv("ZELK_FETCH_STALL_WINDOW", "0.2")  # the body's window: 0.2 s x 1024 / 30, 6.8 s
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 5)
    with RawServer(framing_without_body, limit=1) as server:
        url = server.base + "/files/m.tar.xz"
        t0 = time.monotonic()
        assert fetch.download_url(url) is None
        took = time.monotonic() - t0
    assert took < scaled(20), took
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to download from {url} - the transfer stalled: less than 1 KiB/s for 6.8"), warning
    assert_nothing_left(model_env)


def test_fewer_bytes_than_declared(fetch, fetch_log, backend, model_env, budget, model_xz):
    url = backend.serve("m.tar.xz", model_xz, declared_length=len(model_xz) + 5000)
    assert fetch.download_detection_model(url) is None
    *lines, last = fetch_log.records
    assert lines == [("info", "Download model")] + attempt_head(url, model_env)
    assert last[0] == "warning" and last[1].startswith(f"Failed to download from {url} - ")
    assert "IncompleteRead" in last[1]
    assert_nothing_left(model_env)


def test_garbage_body_is_refused_at_extraction(fetch, fetch_log, backend, model_env, budget):
    url = backend.serve("m.tar.xz", os.urandom(4000))
    assert fetch.download_detection_model(url) is None
    tar = os.path.join(model_env, "m.tar.xz")
    *lines, last = fetch_log.records
    assert lines == [("info", "Download model")] + attempt_head(url, model_env) + [
        ("info", "Downloading... 100% (0MB / 0MB)"),
        ("info", f"Extracting model file - {tar} to {model_env}"),
    ]
    assert last[0] == "warning" and last[1].startswith(f"Failed to extracting tarxz {tar} - ")
    assert_nothing_left(model_env)


# ------------------------------------------------------------------ model-URL service


class CappedTimeout:
    """requests, with the model-URL request's 30-second timeout cut short."""

    def __init__(self, cap: float) -> None:
        self.cap = cap

    def get(self, url, **kwargs):
        kwargs["timeout"] = min(kwargs["timeout"], self.cap)
        return requests.get(url, **kwargs)

    def __getattr__(self, name):
        return getattr(requests, name)


def test_url_service_slower_than_its_timeout(fetch, fetch_log, backend, model_env, budget, monkeypatch):
    monkeypatch.setattr(fetch, "requests", CappedTimeout(0.5))
    backend.model("k1", backend.serve("m.tar.xz", b"never fetched"))
    backend.url_delay = 2
    assert fetch.download_detection_model("k1") is None
    (l1, l2, l3) = fetch_log.records
    assert [l1, l2] == [("info", "Download model"), ("info", "Get the download url from model_id:k1")]
    assert l3[0] == "warning" and l3[1].startswith("failed to get the model url ") and "Read timed out" in l3[1]
    assert all("/files/" not in p for p in backend.paths())
    assert_nothing_left(model_env)


def test_slow_url_service_within_its_timeout(fetch, fetch_log, backend, model_env, budget, model_xz):
    backend.model("k2", backend.serve("m.tar.xz", model_xz))
    backend.url_delay = 1.5
    path = fetch.download_detection_model("k2")
    assert path == os.path.join(model_env, "m") and tree(path) == {k[2:]: v for k, v in MODEL.items()}


def test_url_service_answers_non_json(fetch, fetch_log, backend, model_env, budget):
    backend.model("k3", body=b"<html><body>Bad gateway</body></html>")
    assert fetch.download_detection_model("k3") is None
    assert fetch_log.records == [
        ("info", "Download model"),
        ("info", "Get the download url from model_id:k3"),
        ("warning", "failed to get the model url Expecting value: line 1 column 1 (char 0)"),
    ]
    assert_nothing_left(model_env)


# ------------------------------------------------------------------ redis-server


def start_redis(port: int, workdir) -> subprocess.Popen:
    """A redis-server that writes every command to its append-only file, so
    that what it had survives a SIGKILL and a restart."""
    proc = subprocess.Popen(
        ["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--dir", str(workdir), "--save", "",
         "--appendonly", "yes", "--appendfsync", "always"],
        stdout=subprocess.DEVNULL,
    )
    client = redis.Redis(port=port, socket_timeout=1)
    try:
        for _ in range(400):
            try:
                if client.ping():
                    return proc
            except redis.ConnectionError:
                assert proc.poll() is None, "redis-server exited"
                time.sleep(0.025)
    finally:
        client.close()
    proc.kill()
    raise RuntimeError("redis-server did not start")


@pytest.fixture
def redis_proc(tmp_path):
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed")
    port = free_port()
    box = {"proc": start_redis(port, tmp_path), "port": port, "dir": tmp_path}
    yield box
    proc = box["proc"]
    if proc.poll() is None:
        proc.send_signal(signal.SIGCONT)
        proc.kill()
    proc.wait(10)


STREAM = ["redis_a_in", "redis_b_1", "redis_b_2", "redis_c_1", "out_a"]
OTHERS = ["redis_x_1", "redis_ab_1", "redis_bb_1"]


def stream_manager(wrapper):
    flow = ZelkFlow(
        [{"id": "a", "type": "t", "wires": [["b"], ["c"]]}, {"id": "b", "type": "t", "wires": [["c"]]},
         {"id": "c", "type": "t", "wires": []}, {"id": "x", "type": "t", "wires": []}],
        "a",
    )
    return flowsweep.FlowsweepManager(wrapper, flow, flow.parse_flow()["cur_node"], "out_a")


def keys_of(port) -> list[str]:
    c = redis.Redis(port=port)
    try:
        return sorted(k.decode() for k in c.keys())
    finally:
        c.close()


def spy_on(box, **hooks) -> SpyRedis:
    r = SpyRedis(f"redis://127.0.0.1:{box['port']}/0", cluster=False, socket_timeout=0.5,
                 retry=Retry(NoBackoff(), 1), **hooks)
    r.client.mset({k: "v" for k in STREAM + OTHERS})
    return r


def assert_failed(log, m, fragment):
    level, line = log.records[-1]
    assert level == "error" and line.startswith("Failed to clear Redis keys: ") and fragment in line, line
    assert m._keys_cleared is False


def test_redis_stopped_mid_pass(redis_proc, sweep_log):
    proc = redis_proc["proc"]
    r = spy_on(redis_proc, on_scan=lambda n: n == 2 and proc.send_signal(signal.SIGSTOP))
    m = stream_manager(r)
    t0 = time.monotonic()
    assert m.clear_stream_keys() is False
    assert time.monotonic() - t0 < 5
    assert_failed(sweep_log, m, "Timeout reading from")  # the text after it differs by redis-py version
    assert r.deletes == []
    proc.send_signal(signal.SIGCONT)
    assert keys_of(redis_proc["port"]) == sorted(STREAM + OTHERS)  # no delete was sent: all there
    r.on_scan = None
    assert m.clear_stream_keys() is True and keys_of(redis_proc["port"]) == sorted(OTHERS)
    r.close()


@pytest.mark.parametrize("form", ["host", "url"])
def test_redis_stopped_under_the_default_time_outs(redis_proc, sweep_log, form):
    """No time-out or retry of the caller's: the wrapper's defaults end a pass
    on a stopped server with a read time-out, whichever way it was connected."""
    proc, port = redis_proc["proc"], redis_proc["port"]
    r = ZelkRedis(host="127.0.0.1", port=port) if form == "host" else ZelkRedis(f"redis://127.0.0.1:{port}/0")
    r.client.mset({k: "v" for k in STREAM + OTHERS})
    m = stream_manager(r)
    proc.send_signal(signal.SIGSTOP)
    # A hang guard, not a measure. It kills the server: a guard that let it go
    # on would turn a pass still waiting (no time-out, or a machine so loaded
    # that the time-out came late) into a pass that deletes the keys and
    # succeeds. A killed server fails the pass with a closed connection, which
    # the log line tells from the time-out this test is about.
    fired = threading.Event()
    guard = threading.Timer(scaled(60), lambda: (fired.set(), proc.kill()))
    guard.start()
    try:
        assert m.clear_stream_keys() is False
    finally:
        guard.cancel()
    assert not fired.is_set(), "the pass waited until the hang guard killed the server"
    proc.send_signal(signal.SIGCONT)
    assert_failed(sweep_log, m, "Timeout reading from")
    r.close()


def test_redis_stopped_while_deleting(redis_proc, sweep_log):
    """The deletion is on its way when the server stops: the pass cannot know
    whether it happened and says it failed; the retry settles it."""
    proc = redis_proc["proc"]
    r = spy_on(redis_proc, on_delete=lambda: proc.send_signal(signal.SIGSTOP))
    m = stream_manager(r)
    assert m.clear_stream_keys() is False
    assert_failed(sweep_log, m, "Timeout reading from")  # the text after it differs by redis-py version
    proc.send_signal(signal.SIGCONT)
    assert set(OTHERS) <= set(keys_of(redis_proc["port"])) <= set(STREAM + OTHERS)
    r.on_delete = None
    assert m.clear_stream_keys() is True and keys_of(redis_proc["port"]) == sorted(OTHERS)
    r.close()


def test_redis_killed_mid_pass(redis_proc, sweep_log):
    proc = redis_proc["proc"]
    r = spy_on(redis_proc, on_scan=lambda n: n == 2 and proc.send_signal(signal.SIGKILL))
    m = stream_manager(r)
    assert m.clear_stream_keys() is False
    assert_failed(sweep_log, m, "127.0.0.1")
    assert r.deletes == []
    proc.wait(10)
    redis_proc["proc"] = start_redis(redis_proc["port"], redis_proc["dir"])  # same port, same files
    assert keys_of(redis_proc["port"]) == sorted(STREAM + OTHERS)
    r.on_scan = None
    assert m.clear_stream_keys() is True and keys_of(redis_proc["port"]) == sorted(OTHERS)
    assert sweep_log.records[-1] == ("info", f"Flowsweep complete: {len(STREAM)}/{len(STREAM)} keys deleted")
    r.close()
