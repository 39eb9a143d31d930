"""Downloads over links that drop: a broken transfer keeps its bytes and the
next attempt asks for the rest, a server that cannot continue them makes the
download start over (never a spliced archive), and concurrent fetches of one
model make one transfer."""

from __future__ import annotations

import json
import lzma
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from support.archives import tree
from support.emulation import EMULATED, scaled

MiB = 1024 * 1024


def model(size: int, seed: int = 3) -> tuple[dict, bytes]:
    import io
    import random
    import tarfile

    files = {f"part{i}.bin": random.Random(seed + i).randbytes(size // 4) for i in range(4)}
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as tf:
        for name, data in files.items():
            info = tarfile.TarInfo(f"m/{name}")
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return files, lzma.compress(buf.getvalue(), preset=0)


def archive_requests(backend) -> list[dict]:
    return [h for p, h in backend.requests if p.endswith("/m.tar.xz")]


def test_a_model_larger_than_one_connection_arrives(fetch, fetch_log, model_env, backend, monkeypatch):
    files, data = model(32 * MiB)
    url = backend.serve("m.tar.xz", data, etag='"v1"', ranges=True, reset_every=4 * MiB)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", scaled(60))
    assert fetch.download_detection_model(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    assert backend.archives["m.tar.xz"].served <= 1.5 * len(data)
    assert os.listdir(model_env) == ["m"]
    resumed = [line for line in fetch_log.lines if line.startswith("Resuming download at ")]
    assert resumed[0] == f"Resuming download at 4MB of {len(data) // MiB}MB"
    # progress counts from the resume point against the whole size
    after = fetch_log.lines[fetch_log.lines.index(resumed[0]) + 1]
    assert after.startswith("Downloading... ") and after.endswith(f"MB / {len(data) // MiB}MB)")
    pct = int(after.split("... ")[1].split("%")[0])
    assert pct * len(data) // 100 >= 4 * MiB - len(data) // 100


@pytest.mark.parametrize("server", ["ignores ranges", "refuses ranges", "archive replaced", "no validator",
                                    "weak validator on the range", "close-delimited range",
                                    "close-delimited range at another offset"])
def test_a_server_that_cannot_continue_makes_it_start_over(fetch, fetch_log, model_env, backend, server):
    """Or, for an honest range without a Content-Length, goes on."""
    files, data = model(6 * MiB)
    new_files, new_data = model(6 * MiB, seed=11)
    options = {"ignores ranges": {}, "refuses ranges": {"refuse_ranges": True}, "archive replaced": {"ranges": True},
               "no validator": {"ranges": True}, "weak validator on the range": {"ranges": True, "range_etag": 'W/"v2"'},
               "close-delimited range": {"ranges": True},
               "close-delimited range at another offset": {"ranges": True, "range_shift": 1}}[server]
    etag = None if server == "no validator" else '"v1"'
    url = backend.serve("m.tar.xz", data, etag=etag, break_after=2 * MiB, **options)
    assert fetch.download_url(url) is None  # the transfer broke
    kept = [n for n in os.listdir(model_env) if n.endswith(".resume")]
    assert len(kept) == (0 if server == "no validator" else 1)
    archive = backend.archives["m.tar.xz"]
    archive.break_after = None
    if server in ("archive replaced", "weak validator on the range"):  # a range of another archive
        archive.data, files = new_data, new_files
        if server == "archive replaced":
            archive.etag = '"v2"'
    if server.startswith("close-delimited range"):  # no Content-Length to give a wrong offset away
        archive.content_length = False
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    assert os.listdir(model_env) == ["m"]
    second = archive_requests(backend)[1]
    assert ("Range" in second) == (server != "no validator")
    if server != "no validator":
        assert second["If-Range"] == '"v1"'


def broken_transfer(fetch, backend, model_env, **options) -> tuple[dict, str]:
    """A model whose first transfer breaks after 2 MiB, served with `options`;
    returns its files and URL once that transfer broke and the archive is
    served whole again."""
    files, data = model(4 * MiB)
    url = backend.serve("m.tar.xz", data, ranges=True, break_after=2 * MiB, **options)
    assert fetch.download_url(url) is None
    backend.archives["m.tar.xz"].break_after = None
    return files, url


def kept_file(model_env, kind: str):
    return next((model_env / n for n in os.listdir(model_env) if n.endswith(kind)), None)


D36, D37 = "Sun, 06 Nov 1994 08:49:36 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"
# server options; whether the broken transfer keeps its bytes; the If-Range
# the next call sends (None: it asks for the whole archive)
VALIDATORS = {
    "date of the same second as Date": ({"last_modified": D37, "date": D37}, False, None),
    "date a second before Date": ({"last_modified": D36, "date": D37}, True, D36),
    "date in the RFC 850 form": ({"last_modified": "Sunday, 06-Nov-94 08:49:36 GMT", "date": D37}, True,
                                 "Sunday, 06-Nov-94 08:49:36 GMT"),
    "date in the asctime form": ({"last_modified": "Sun Nov  6 08:49:36 1994", "date": D37}, True,
                                 "Sun Nov  6 08:49:36 1994"),
    "date without a Date": ({"last_modified": D36, "date": ""}, False, None),
    "date that is no date": ({"last_modified": "Sun, 31 Nov 1994 08:49:36 GMT", "date": D37}, False, None),
    "ETag folded with a bare CR": ({"etag": '"v1\r v2"'}, False, None),
    "ETag with a control character": ({"etag": '"v1\x01"'}, False, None),
    "kept validator malformed": ({"etag": '"v1"'}, True, None),
    "resume request refused by the client": ({"etag": '"v1"'}, True, None),
}


@pytest.mark.parametrize("case", list(VALIDATORS))
def test_bytes_are_kept_and_resumed_by_sound_validators_only(fetch, model_env, backend, monkeypatch, case):
    """A weak date (the archive may change again within its second) or a
    malformed validator keeps nothing; kept bytes whose resume request cannot
    be made go, and the same call starts over."""
    options, kept, if_range = VALIDATORS[case]
    files, url = broken_transfer(fetch, backend, model_env, **options)
    info = kept_file(model_env, ".resinfo")
    assert (info is not None) == kept
    if case == "kept validator malformed":  # one that the client would send
        info.write_bytes(info.read_bytes().replace(b'"v1"', b'"v\x01"'))
    if case == "resume request refused by the client":
        import requests

        def get(url, headers=None, **kw):
            if headers:
                raise requests.exceptions.InvalidHeader("refused")
            return real_get(url, **kw)

        real_get = requests.get
        monkeypatch.setattr(requests, "get", get)
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    assert archive_requests(backend)[1].get("If-Range") == if_range
    assert len(archive_requests(backend)) == 2
    assert os.listdir(model_env) == ["m"]


@pytest.mark.parametrize("kind", [".resume", ".resinfo"])
@pytest.mark.parametrize("planted", ["a second name of an outside file", "another user's file"])
def test_kept_files_that_are_not_ours_alone_are_left_alone(fetch, model_env, backend, tmp_path, kind, planted):
    files, url = broken_transfer(fetch, backend, model_env, etag='"v1"')
    name = kept_file(model_env, kind)
    victim = tmp_path / "outside"
    victim.write_bytes(b"x" * 190)
    name.unlink()
    if planted == "another user's file":
        if os.geteuid() != 0:
            pytest.skip("making another user's file needs root")
        os.chown(victim, 65534, 65534)
        victim = victim.rename(name)
    else:
        os.link(victim, name)
    before = victim.stat()
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    after = victim.stat()
    assert victim.read_bytes() == b"x" * 190
    assert (after.st_mode, after.st_mtime_ns, after.st_nlink, after.st_uid) == (
        before.st_mode, before.st_mtime_ns, before.st_nlink, before.st_uid)
    assert "Range" not in archive_requests(backend)[1]


CHILD = """
import sys
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = sys.argv[1]
print(fetch.download_url(sys.argv[2]), flush=True)
"""


def test_killed_then_resumed_by_another_process(fetch, fetch_log, model_env, backend):
    files, data = model(4 * MiB)
    url = backend.serve("m.tar.xz", data, etag='"v1"', ranges=True, stall_after=2 * MiB, stall_seconds=30,
                        write_size=65536)
    model_env.mkdir()
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(model_env), url])
    try:
        deadline = time.monotonic() + scaled(30)
        while time.monotonic() < deadline:
            kept = [model_env / n for n in os.listdir(model_env) if n.endswith(".resume")]
            if kept and kept[0].stat().st_size >= MiB:
                break
            time.sleep(0.01)
        else:
            pytest.fail("the transfer never started")
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    backend.archives["m.tar.xz"].stall_after = None
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    assert archive_requests(backend)[1]["Range"].startswith("bytes=")
    assert os.listdir(model_env) == ["m"]


FETCHER = """
import json, sys
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = sys.argv[1]
print(json.dumps(fetch.download_url(sys.argv[2])), flush=True)
"""


def test_processes_fetching_one_model_make_one_transfer(fetch, model_env, backend):
    files, data = model(4 * MiB)
    url = backend.serve("m.tar.xz", data, write_size=16384)
    model_env.mkdir()
    env = dict(os.environ, ZELK_LOG_LEVEL="ERROR")
    procs = [subprocess.Popen([sys.executable, "-c", FETCHER, str(model_env), url], stdout=subprocess.PIPE, env=env,
                              text=True) for _ in range(3)]
    results = [json.loads(p.communicate(timeout=scaled(120))[0]) for p in procs]
    assert results == [str(model_env / "m")] * 3
    assert tree(model_env / "m") == files
    assert len(archive_requests(backend)) == 1
    assert os.listdir(model_env) == ["m"]


@pytest.mark.parametrize("pace", ["a drip", "slow but steady"])
def test_a_transfer_without_real_progress_is_given_up_and_resumed(fetch, fetch_log, model_env, backend, monkeypatch,
                                                                   pace):
    """Less than 1 KiB/s over the stall window (1 s here) fails the attempt,
    even inside one chunk of 1 MiB whose every read brings a byte in time; the
    chunks written stay for the next call. A body that keeps coming at some
    KiB/s (no chunk of it complete within the window) is never cut off."""
    monkeypatch.setenv("ZELK_FETCH_STALL_WINDOW", "1")
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", scaled(60))  # longer than any gap between bytes
    files, data = model(4 * MiB if pace == "a drip" else MiB)
    drip = {"a drip": dict(drip_after=2 * MiB + 4096, drip_bytes=1, drip_seconds=0.1),
            "slow but steady": dict(drip_after=0, drip_bytes=32 * 1024, drip_seconds=0.1)}[pace]
    url = backend.serve("m.tar.xz", data, etag='"v1"', ranges=True, **drip)
    results = []
    call = threading.Thread(target=lambda: results.append(fetch.download_url(url)), daemon=True)
    call.start()
    call.join(scaled(30))
    assert not call.is_alive(), "the transfer was never given up"
    [result] = results
    if pace == "slow but steady":
        assert result == str(model_env / "m") and tree(model_env / "m") == files
        return
    assert result is None
    # under user-mode emulation the kernel's count of bytes received cannot be had: whole chunks are counted,
    # over the window one chunk needs at 1 KiB/s (1024 s for 30 s, scaled alike)
    window = "34.1333" if EMULATED else "1"
    assert fetch_log.at("warning") == [
        f"Failed to download from {url} - the transfer stalled: less than 1 KiB/s for {window} s"
    ]
    assert kept_file(model_env, ".resume").stat().st_size == 2 * MiB  # the chunks that were complete
    backend.archives["m.tar.xz"].drip_after = None
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == files
    assert archive_requests(backend)[1]["Range"].startswith("bytes=")


@pytest.fixture
def held_model_lock(model_env):
    """The lock of model "m", held by another process."""
    from support.scratch import held, keyed_name

    model_env.mkdir()
    with held(model_env / keyed_name("m", ".lock")) as holder:
        yield holder


@pytest.mark.parametrize("caller", ["download_url", "download_detection_model"])
def test_the_wait_for_a_held_lock_ends_with_the_budget(fetch, fetch_log, model_env, backend, held_model_lock,
                                                       monkeypatch, caller):
    """Logged once when it starts; it ends where the call's budget ends (for
    download_detection_model: counted from its start, not from the attempt's)."""
    url = backend.serve("m.tar.xz", model(4096)[1])
    times = {}
    real_info = fetch_log.info

    def info(message):
        times.setdefault(message, time.monotonic())
        real_info(message)

    monkeypatch.setattr(fetch_log, "info", info)
    if caller == "download_url":
        monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 1)
        assert fetch.download_url(url) is None
    else:
        # the one attempt starts 3 s into a budget of 3.5 s
        monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 3.5)
        monkeypatch.setattr(fetch, "get_model_url", lambda m: time.sleep(3) or url)
        assert fetch.download_detection_model("m") is None
    ended = time.monotonic()
    assert fetch_log.lines.count("waiting for another fetch of m") == 1
    assert ended - times["waiting for another fetch of m"] < 2.5  # 0.5 s or 1 s
    assert fetch_log.at("warning")[0] == (
        f"Failed to download from {url} - the wait for the lock of m ran out: another fetch (or program) still holds it")
    assert archive_requests(backend) == []


def test_ctrl_c_ends_the_wait_for_a_held_lock(model_env, backend, held_model_lock):
    url = backend.serve("m.tar.xz", b"never fetched")
    env = dict(os.environ, ZELK_LOG_LEVEL="INFO")
    # a suite started in the background of a shell without job control has
    # SIGINT ignored, and an interpreter started so leaves it ignored: the
    # child gets the default back, as a terminal's process has it
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(model_env), url], stderr=subprocess.PIPE, env=env,
                            text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        for line in proc.stderr:
            if line.rstrip().endswith("waiting for another fetch of m"):
                break
        proc.send_signal(signal.SIGINT)
        rest = proc.communicate(timeout=scaled(30))[1]
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == -signal.SIGINT and rest.rstrip().endswith("KeyboardInterrupt")
