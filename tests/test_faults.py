"""Faults of the servers the SDK talks to: every one ends with its log lines,
the failure result, and nothing on disk that looks like a model or an archive."""

from __future__ import annotations

import os
import time

import pytest
import requests

from support.archives import tarfile_xz, tree
from support.faults import RawServer, reset

MODEL = {"m/weights.bin": os.urandom(300_000), "m/labels.txt": b"cat\ndog\n"}  # does not compress


@pytest.fixture(scope="module")
def model_xz():
    return tarfile_xz([("m", "dir"), ("m/weights.bin", MODEL["m/weights.bin"]), ("m/labels.txt", MODEL["m/labels.txt"])])


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
