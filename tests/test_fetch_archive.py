"""download_url on a real base directory: the reuse table, failures, and a
model directory that only ever appears complete."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from support.archives import gnu_tar_xz, tarfile_xz, tree

FILES = {"saved_model/saved_model.pb": b"pb" * 100, "saved_model/variables/variables.index": b"idx", "labels.txt": "cat\n"}


def entries(base: Path):
    return sorted(os.listdir(base))


@pytest.fixture
def served(backend, tmp_path):
    """abc123.tar.xz (GNU tar) served by the local backend."""
    data = gnu_tar_xz(tmp_path, "abc123", FILES)
    return backend.serve("abc123.tar.xz", data) + "?sig=s3cr3t", data


def test_download_and_extract(fetch, fetch_log, model_env, served):
    url, data = served
    base = model_env
    result = fetch.download_url(url)
    assert result == str(base / "abc123")
    assert tree(base / "abc123") == tree_of(FILES)
    assert entries(base) == ["abc123"]  # archive removed, no scratch entries
    archive = str(base / "abc123.tar.xz")
    assert fetch_log.records == [
        ("info", "Downloading..."),
        ("info", f"\tcloud url: {url}"),
        ("info", f"\ttar.xz file: {archive}"),
        ("info", "Downloading... 100% (0MB / 0MB)"),
        ("info", f"Extracting model file - {archive} to {base}"),
        ("info", "Finished the downloading"),
    ]

    fetch_log.clear()
    assert fetch.download_url(cloud_url=url) == str(base / "abc123")
    assert fetch_log.records == [("info", f"model dir already exists, skipping download - {base / 'abc123'}")]


def tree_of(files):
    out = {}
    for rel, content in files.items():
        parts = rel.split("/")
        for i in range(1, len(parts)):
            out["/".join(parts[:i])] = "dir"
        out[rel] = content.encode() if isinstance(content, str) else content
    return out


def test_tarfile_archive_and_plain_file_in_the_way(fetch, fetch_log, model_env, backend):
    base = model_env
    base.mkdir()
    (base / "m2").write_text("not a directory")
    url = backend.serve("m2.tar.xz", tarfile_xz([("m2", "dir"), ("m2/model.tflite", b"tfl")]))
    assert fetch.download_url(url) == str(base / "m2")
    assert (base / "m2" / "model.tflite").read_bytes() == b"tfl"
    assert fetch_log.lines[0] == f"remove model file (not a directory) - {base / 'm2'}"


def test_empty_archive_is_downloaded_again(fetch, fetch_log, model_env, served):
    url, _ = served
    base = model_env
    base.mkdir()
    (base / "abc123.tar.xz").write_bytes(b"")
    assert fetch.download_url(url) == str(base / "abc123")
    archive = base / "abc123.tar.xz"
    assert fetch_log.lines[:3] == [
        f"tar.xz file already exists - {archive}",
        f"tar.xz is invalid, re-downloading - {archive}",
        "Downloading...",
    ]
    assert tree(base / "abc123") == tree_of(FILES)


def test_archive_on_disk_is_used_without_a_request(fetch, fetch_log, model_env, served, backend):
    url, data = served
    base = model_env
    base.mkdir()
    (base / "abc123.tar.xz").write_bytes(data)
    assert fetch.download_url(url) == str(base / "abc123")
    assert backend.paths() == []
    assert entries(base) == ["abc123"]


def test_broken_archive_on_disk(fetch, fetch_log, model_env, served, backend):
    url, data = served
    base = model_env
    base.mkdir()
    archive = base / "abc123.tar.xz"
    archive.write_bytes(data[: len(data) // 2])  # truncated, but not empty
    assert fetch.download_url(url) is None
    assert backend.paths() == []
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to extracting tarxz {archive} - ")
    assert entries(base) == []  # archive removed, no partial model, no staging


PARTS = {f"part{i}.bin": os.urandom(20_000) for i in range(8)}


@pytest.mark.parametrize("maker", ["GNU tar", "tarfile"])
def test_archive_cut_anywhere_never_becomes_a_model(fetch, fetch_log, model_env, backend, tmp_path, maker):
    """An archive that lost its tail (a file cut by a power loss, a body that
    ended early) fails wherever the cut is: no member that stops short, no
    header cut in two, no missing end of the compressed stream passes for the
    end of the archive."""
    if maker == "GNU tar":
        data = gnu_tar_xz(tmp_path, "m", PARTS)
    else:
        data = tarfile_xz([(f"m/{name}", body) for name, body in PARTS.items()])
    url = backend.serve("m.tar.xz", data)
    base = model_env
    base.mkdir()
    archive = base / "m.tar.xz"
    n = len(data)
    for cut in sorted({1, 100, n // 4, n // 2, 3 * n // 4, n - 1024, n - 64, n - 12, n - 1}):
        archive.write_bytes(data[:cut])
        fetch_log.records.clear()
        assert fetch.download_url(url) is None, f"cut at {cut} of {n}"
        [warning] = fetch_log.at("warning")
        assert warning.startswith(f"Failed to extracting tarxz {archive} - "), warning
        assert entries(base) == []
    assert backend.paths() == []
    # the whole archive, with the zero padding allowed after an xz stream
    archive.write_bytes(data + bytes(8))
    assert fetch.download_url(url) == str(base / "m")
    assert tree(base / "m") == PARTS


def test_damaged_member_header_is_not_the_end_of_the_archive(fetch, fetch_log, model_env, backend):
    import io
    import lzma
    import tarfile

    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as tf:
        for name in ("m/model.xml", "m/model.bin", "m/labels.txt"):
            info = tarfile.TarInfo(name)
            info.size = 600
            tf.addfile(info, io.BytesIO(b"x" * 600))
    raw = bytearray(buf.getvalue())
    second = [m.offset for m in tarfile.open(fileobj=io.BytesIO(bytes(raw)))][1]
    raw[second + 148] ^= 1  # a bit of the second header's checksum
    base = model_env
    base.mkdir()
    archive = base / "m.tar.xz"
    archive.write_bytes(lzma.compress(bytes(raw)))
    assert fetch.download_url(backend.serve("m.tar.xz", b"")) is None
    assert fetch_log.at("warning") == [
        f"Failed to extracting tarxz {archive} - damaged archive: data follows the last member that could be read"
    ]
    assert entries(base) == []


def test_body_without_length_that_ends_early(fetch, fetch_log, model_env, backend, tmp_path):
    """Without a Content-Length nothing tells the client that the body is
    short; the archive's own end does."""
    data = gnu_tar_xz(tmp_path, "m", PARTS)
    url = backend.serve("m.tar.xz", data, content_length=False, break_after=len(data) // 2)
    assert fetch.download_url(url) is None
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to extracting tarxz {model_env / 'm.tar.xz'} - ")
    assert entries(model_env) == []


def test_error_status_leaves_nothing(fetch, fetch_log, model_env, backend):
    url = backend.serve("abc123.tar.xz", b"x", status=403)
    assert fetch.download_url(url) is None
    assert fetch_log.at("warning") == ["failed downloading status code: 403"]
    assert fetch_log.lines[:3] == ["Downloading...", f"\tcloud url: {url}", f"\ttar.xz file: {model_env / 'abc123.tar.xz'}"]
    assert entries(model_env) == []


def test_broken_transfer_is_reported_and_leaves_nothing(fetch, fetch_log, model_env, backend, tmp_path):
    data = gnu_tar_xz(tmp_path, "big", {"w.bin": os.urandom(3 * 1024 * 1024)})
    url = backend.serve("big.tar.xz", data, break_after=len(data) // 2)
    assert fetch.download_url(url) is None
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to download from {url} - ")
    assert entries(model_env) == []


def test_traversal_member_leaves_no_partial_model(fetch, fetch_log, model_env, backend):
    members = [("abc123", "dir"), ("abc123/a", b"1"), ("../x", b"evil")]
    url = backend.serve("abc123.tar.xz", tarfile_xz(members))
    assert fetch.download_url(url) is None
    archive = model_env / "abc123.tar.xz"
    assert fetch_log.at("warning") == [
        f"Failed to extracting tarxz {archive} - Attempted path traversal in tar archive: ../x"
    ]
    assert entries(model_env) == []
    assert not (model_env.parent / "x").exists()


@pytest.mark.parametrize("path", ["/files/", "/files/..", "/files/.", "/files/.tar.xz", "/"])
def test_url_without_a_model_name_is_refused(fetch, fetch_log, model_env, backend, path):
    url = backend.base + path
    assert fetch.download_url(url) is None
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to download from {url} - the URL path ")
    assert "names no model archive" in warning
    assert backend.paths() == []


def test_names_derived_from_the_last_segment(fetch, fetch_log, model_env, backend):
    url = backend.serve("a.tar.xz.tar.xz", tarfile_xz([("a", "dir"), ("a/m.trt", b"e")]))
    assert fetch.download_url(url) == str(model_env / "a")
    # without ".tar.xz" the archive and the model directory share one path
    url = backend.serve("plain", tarfile_xz([("plain", "dir"), ("plain/m.pt", b"t")]))
    assert fetch.download_url(url) == str(model_env / "plain")
    assert (model_env / "plain" / "m.pt").read_bytes() == b"t"


def test_missing_base_directory_is_created(fetch, fetch_log, model_env, monkeypatch, served):
    url, _ = served
    deep = model_env / "a" / "b"
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", str(deep))
    assert fetch.download_url(url) == str(deep / "abc123")


def test_base_directory_that_cannot_be_made(fetch, fetch_log, model_env, monkeypatch, served, tmp_path):
    url, _ = served
    (tmp_path / "file").write_text("x")
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", str(tmp_path / "file" / "models"))
    assert fetch.download_url(url) is None
    assert fetch_log.at("warning")[0].startswith(f"Failed to download from {url} - [Errno 20] Not a directory")


def test_interrupt_passes_through_and_cleans_up(fetch, fetch_log, model_env, served, monkeypatch):
    url, _ = served

    def interrupted(tar, path):
        raise KeyboardInterrupt

    monkeypatch.setattr(fetch, "_safe_extract", interrupted)
    with pytest.raises(KeyboardInterrupt):
        fetch.download_url(url)
    assert entries(model_env) == ["abc123.tar.xz"]  # the staging directory went with the interrupt


SLOW_EXTRACT = """
import sys, time
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = sys.argv[1]
real = fetch._safe_extract

class Slow:
    def __init__(self, tf):
        self.tf = tf
    def __iter__(self):
        for m in self.tf:
            time.sleep(0.02)
            yield m
    def extract(self, *a, **k):
        return self.tf.extract(*a, **k)

fetch._safe_extract = lambda tar, path: real(Slow(tar), path)
print(fetch.download_url(sys.argv[2]), flush=True)
"""


def wait_for(cond, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.005)
    return False


def test_kill_during_extraction_then_complete(fetch, fetch_log, model_env, backend, tmp_path):
    files = {f"layer{i:02d}.bin": os.urandom(2048) for i in range(40)}
    data = gnu_tar_xz(tmp_path, "killed", files)
    url = backend.serve("killed.tar.xz", data)
    model_env.mkdir()
    proc = subprocess.Popen([sys.executable, "-c", SLOW_EXTRACT, str(model_env), url], stdout=subprocess.PIPE)
    try:

        def extracting():
            for n in os.listdir(model_env):
                staging = model_env / n
                if n.endswith(".staging") and (staging / "killed").is_dir() and len(os.listdir(staging / "killed")) > 5:
                    return True
            return False

        assert wait_for(extracting), "extraction never started"
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    assert not (model_env / "killed").exists()  # no partial model directory
    assert any(n.endswith(".staging") for n in entries(model_env))
    assert fetch.download_url(url) == str(model_env / "killed")
    assert tree(model_env / "killed") == files
    assert entries(model_env) == ["killed"]  # the stale staging directory was swept


SLOW_DOWNLOAD = """
import sys
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = sys.argv[1]
print(fetch.download_url(sys.argv[2]), flush=True)
"""


def test_kill_during_download_then_complete(fetch, fetch_log, model_env, backend, tmp_path):
    files = {"w.bin": os.urandom(2 * 1024 * 1024)}
    data = gnu_tar_xz(tmp_path, "dl", files)
    url = backend.serve("dl.tar.xz", data, stall_after=1024 * 1024, stall_seconds=30, write_size=65536)
    model_env.mkdir()
    proc = subprocess.Popen([sys.executable, "-c", SLOW_DOWNLOAD, str(model_env), url])
    try:
        part = lambda: [n for n in os.listdir(model_env) if n.endswith(".part") and (model_env / n).stat().st_size > 0]
        assert wait_for(part), "download never started"
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    assert not (model_env / "dl.tar.xz").exists()  # no partial archive under the final name
    backend.archives["dl.tar.xz"].stall_after = None
    assert fetch.download_url(url) == str(model_env / "dl")
    assert tree(model_env / "dl") == files
    assert entries(model_env) == ["dl"]


def test_rebound_tarfile_without_context_manager(fetch, fetch_log, model_env, served, monkeypatch):
    url, _ = served

    class NotCM:
        pass

    monkeypatch.setattr(fetch, "tarfile", type("T", (), {"open": staticmethod(lambda *a: NotCM())}))
    assert fetch.download_url(url) is None
    archive = model_env / "abc123.tar.xz"
    assert fetch_log.at("warning") == [
        f"Failed to extracting tarxz {archive} - 'NotCM' object does not support the context manager protocol"
    ]


NO_RENAMEAT2 = r"""
#define _GNU_SOURCE
#include <errno.h>
int renameat2(int a, const char* b, int c, const char* d, unsigned int f) {
  (void)a; (void)b; (void)c; (void)d; (void)f;
  errno = ENOSYS;
  return -1;
}
"""

PUBLISH = """
import io, os, sys, tarfile
from zelk_sdk.model import fetch
base = sys.argv[1]
with tarfile.open(os.path.join(base, "m.tar.xz"), "w:xz") as t:
    info = tarfile.TarInfo("m/a.bin")
    info.size = 1
    t.addfile(info, io.BytesIO(b"x"))
fetch.BASE_MODEL_DIR = base
print(fetch.download_url("http://127.0.0.1:9/m.tar.xz"))
print(sorted(os.listdir(base)))
"""


def test_kernel_without_renameat2(tmp_path):
    """An old kernel, or a container whose system call filter lacks
    renameat2, still gets its model moved into place."""
    import shutil

    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the stand-in")
    (tmp_path / "shim.c").write_text(NO_RENAMEAT2)
    shim = tmp_path / "shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "shim.c")], check=True)
    base = tmp_path / "models"
    base.mkdir()
    # after whatever is preloaded already (the sanitizer runtimes must come first)
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    proc = subprocess.run([sys.executable, "-c", PUBLISH, str(base)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "LD_PRELOAD": preload})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [str(base / "m"), "['m']"]
