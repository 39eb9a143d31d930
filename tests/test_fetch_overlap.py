"""download_url extracts an archive while it downloads: into its private
staging directory, from the bytes the transfer has put in the archive's file,
published only once the transfer succeeded and the whole archive on disk
passed every check. Whatever the overlap does, the result, the log lines and
what is left on disk are those of extracting the same archive once it is on
disk. Real archives, served over 127.0.0.1."""

from __future__ import annotations

import lzma
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from support.archives import raw_tar, tarfile_xz, tree, xz_blocks
from support.emulation import scaled

MiB = 1 << 20
STAGING = ".staging"


def model_files(seed: int, first: str = "a.bin") -> dict[str, bytes]:
    rng = random.Random(seed)
    return {first: rng.randbytes(MiB // 2), **{f"w{i}.bin": rng.randbytes(MiB // 2) for i in range(10)}}


class StagingWatch:
    """Records, while a call runs, which members appeared in a staging
    directory of `base`, and how many bytes the server had sent by then."""

    def __init__(self, base: Path, archive) -> None:
        self.base, self.archive = base, archive
        self.seen: dict[str, int] = {}  # member -> body bytes served when first seen
        self.stagings: set[str] = set()  # the staging directories that had members
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)

    def _poll(self) -> None:
        while not self._stop.is_set():
            try:
                for entry in os.scandir(self.base):
                    if entry.name.endswith(STAGING):
                        for name in os.listdir(Path(entry.path, "m")):
                            self.seen.setdefault(name, self.archive.served)
                            self.stagings.add(entry.name)
            except OSError:
                pass
            time.sleep(0.005)

    def __enter__(self) -> "StagingWatch":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def leftovers(base: Path) -> list[str]:
    return sorted(n for n in os.listdir(base) if n.startswith(".zelk-tmp-") and not n.endswith((".resume", ".resinfo")))


@pytest.mark.parametrize("blocks", [False, True], ids=["one xz block", "threaded xz blocks"])
def test_members_are_extracted_before_the_last_byte_arrives(fetch, fetch_log, backend, model_env, blocks):
    files = model_files(1)
    raw = raw_tar("m", files)
    data = xz_blocks(raw) if blocks else lzma.compress(raw, preset=0)
    # the last bytes wait: what is staged meanwhile was read from the file
    url = backend.serve("m.tar.xz", data, etag='"v1"', stall_after=len(data) - 200_000,
                      stall_seconds=scaled(2))
    model_env.mkdir()
    with StagingWatch(model_env, backend.archives["m.tar.xz"]) as watch:
        assert fetch.download_url(url) == str(model_env / "m")
    assert any(served < len(data) for served in watch.seen.values()), watch.seen
    # the early extraction is the one published: the archive on disk was
    # not extracted once more
    assert len(watch.stagings) == 1, watch.stagings
    assert tree(model_env / "m") == files
    assert sorted(os.listdir(model_env)) == ["m"]
    lines = fetch_log.lines
    assert lines[:3] == ["Downloading...", f"\tcloud url: {url}", f"\ttar.xz file: {model_env / 'm.tar.xz'}"]
    assert lines[-3:] == [lines[-3], f"Extracting model file - {model_env / 'm.tar.xz'} to {model_env}",
                          "Finished the downloading"]
    assert lines[-3].startswith("Downloading... 100%")


@pytest.mark.parametrize("changed", [False, True], ids=["resumed (206)", "started over (200, new ETag)"])
def test_kept_bytes_are_extracted_at_once_and_dropped_with_the_archive(fetch, fetch_log, backend, model_env,
                                                                       changed):
    old = model_files(2, first="old_only.bin")
    new = model_files(3, first="new_only.bin")
    old_data = lzma.compress(raw_tar("m", old), preset=0)
    url = backend.serve("m.tar.xz", old_data, etag='"a"', ranges=True, break_after=len(old_data) * 2 // 3)
    model_env.mkdir()
    assert fetch.download_url(url) is None  # broken off: two thirds kept
    data, expected = (lzma.compress(raw_tar("m", new), preset=0), new) if changed else (old_data, old)
    # the answer waits, so that the kept bytes are being extracted meanwhile
    backend.serve("m.tar.xz", data, etag='"b"' if changed else '"a"', ranges=True, headers_delay=scaled(1))
    fetch_log.clear()
    with StagingWatch(model_env, backend.archives["m.tar.xz"]) as watch:
        assert fetch.download_url(url) == str(model_env / "m")
    assert "old_only.bin" in watch.seen
    assert tree(model_env / "m") == expected
    assert sorted(os.listdir(model_env)) == ["m"]
    assert any(line.startswith("Resuming download at") for line in fetch_log.lines) != changed


def hostile(members) -> bytes:
    return tarfile_xz(members)


def cut(data: bytes) -> bytes:
    return data[: len(data) - 200]


BIG = random.Random(4).randbytes(3 * MiB)
# archives whose extraction fails or warns, each with its own texts
ARCHIVES = {
    "a member leaving the destination": lambda: hostile([("m", "dir"), ("m/a.bin", BIG), ("../evil", b"x")]),
    "a link out of the model": lambda: hostile([("m", "dir"), ("m/a.bin", BIG), ("m/l", ("sym", "../../etc"))]),
    "no model directory": lambda: hostile([("other", "dir"), ("other/a.bin", BIG)]),
    "entries beside the model": lambda: hostile([("m", "dir"), ("m/a.bin", BIG), ("._m", b"x"), ("x/y", b"z")]),
    "xz data cut off": lambda: cut(hostile([("m", "dir"), ("m/a.bin", BIG), ("m/b.bin", BIG)])),
    "tar data without its end marker": lambda: lzma.compress(raw_tar("m", {"a.bin": BIG})[:-1024], preset=0),
    "a damaged header": lambda: lzma.compress(raw_tar("m", {"a.bin": BIG, "b": b"y"})[:-2048] + b"\x01" * 2048,
                                              preset=0),
    "data after the end marker, then corrupt xz": lambda: (lambda d: d[:-60] + bytes([d[-60] ^ 1]) + d[-59:])(
        lzma.compress(raw_tar("m", {"a.bin": BIG}) + bytes(MiB), preset=0)),
    # a growing file has no index to state this: the reader must stop there
    "more after the end marker than a tar writer pads with": lambda: lzma.compress(
        raw_tar("m", {"a.bin": BIG}) + bytes(65 * MiB), preset=0),
}


def outcome(fetch, fetch_log, base: Path, url: str) -> tuple:
    """What a call gives: its result, its lines from the extraction on (the
    base directory written as BASE), and what is left in the base directory."""
    fetch_log.clear()
    got = fetch.download_url(url)
    lines = [line.replace(str(base), "BASE") for line in fetch_log.lines]
    start = next(i for i, line in enumerate(lines) if line.startswith("Extracting model file"))
    left = {name: tree(base / name) if (base / name).is_dir() else "file" for name in os.listdir(base)}
    return (got and got.replace(str(base), "BASE")), lines[start:], left


@pytest.mark.parametrize("case", list(ARCHIVES))
def test_an_archive_refused_while_it_arrives_reads_as_on_disk(fetch, fetch_log, backend, model_env, monkeypatch,
                                                              case):
    data = ARCHIVES[case]()
    url = backend.serve("m.tar.xz", data, etag='"v1"')
    model_env.mkdir()
    downloaded = outcome(fetch, fetch_log, model_env, url)
    on_disk = model_env.parent / "on-disk"
    on_disk.mkdir()
    (on_disk / "m.tar.xz").write_bytes(data)
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", str(on_disk))
    assert downloaded == outcome(fetch, fetch_log, on_disk, url)
    assert leftovers(model_env) == []


TRANSFER_FAULTS = {
    "the connection breaks": dict(break_after=2 * MiB, etag='"v1"'),
    "a body longer than declared (cut there: a short archive)": dict(declared_length=2 * MiB),
    "an error status": dict(status=503),
}


@pytest.mark.parametrize("fault", list(TRANSFER_FAULTS))
def test_a_failed_transfer_publishes_nothing_and_leaves_no_staging(fetch, fetch_log, backend, model_env, fault):
    data = lzma.compress(raw_tar("m", model_files(5)), preset=0)
    url = backend.serve("m.tar.xz", data, **TRANSFER_FAULTS[fault])
    model_env.mkdir()
    assert fetch.download_url(url) is None
    assert not (model_env / "m").exists() and not (model_env / "m.tar.xz").exists()
    assert leftovers(model_env) == []
    assert "Finished the downloading" not in fetch_log.lines


SUBINTERPRETER = """
import _interpreters, os, threading, time
interp = _interpreters.create()  # isolated, with a lock of its own
err = _interpreters.run_string(interp, '''if True:
    from zelk_sdk.model import fetch
    fetch.BASE_MODEL_DIR = {base!r}
    assert fetch.download_url({url!r}) == {model!r}
''')
assert err is None, err
_interpreters.destroy(interp)
# the interpreter's exit, while a daemon thread fetches in a subinterpreter
stuck = _interpreters.create()
threading.Thread(target=_interpreters.exec, daemon=True, args=(stuck, '''if True:
    from zelk_sdk.model import fetch
    fetch.BASE_MODEL_DIR = {stuck_base!r}
    fetch.download_url({stuck_url!r})
''')).start()
while not os.listdir({stuck_base!r}):
    time.sleep(0.01)
time.sleep(0.3)
"""


def test_a_subinterpreter_with_a_lock_of_its_own_fetches_and_exits_cleanly(backend, model_env, tmp_path):
    # a subinterpreter extracts after the transfer, on the caller's thread: the
    # interpreter's exit ends a subinterpreter that has a thread state besides
    # the one running in it with a fatal error (it did in half of the exits of
    # a daemon thread's fetch there)
    files = model_files(6)
    data = xz_blocks(raw_tar("m", files))
    url = backend.serve("m.tar.xz", data, etag='"v1"', stall_after=len(data) // 2, stall_seconds=scaled(0.5))
    stuck_url = backend.serve("s.tar.xz", data, etag='"v2"', stall_after=len(data) // 2, stall_seconds=scaled(30))
    model_env.mkdir()
    stuck_base = tmp_path / "stuck"
    stuck_base.mkdir()
    script = SUBINTERPRETER.format(base=str(model_env), url=url, model=str(model_env / "m"),
                                  stuck_base=str(stuck_base), stuck_url=stuck_url)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=scaled(120))
    assert done.returncode == 0, done.stderr[-2000:]
    assert tree(model_env / "m") == files
    assert sorted(os.listdir(model_env)) == ["m"]



EXIT_CHILD = """
import os, threading, time
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = {base!r}
threading.Thread(target=fetch.download_url, args=({url!r},), daemon=True).start()
deadline = time.monotonic() + 60
while not any(n.endswith(".staging") for n in os.listdir({base!r})):
    assert time.monotonic() < deadline, "nothing was staged"
    time.sleep(0.01)
time.sleep({linger})
"""


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_fetches(backend, model_env, tmp_path):
    # the interpreter ends such a thread by unwinding it where it asks for the
    # GIL: what it unwinds must not touch the interpreter (it crashed the
    # process at exit in about one run in seven)
    data = xz_blocks(raw_tar("m", model_files(7)))
    url = backend.serve("m.tar.xz", data, etag='"v1"', stall_after=len(data) // 2, stall_seconds=scaled(30))
    children = []
    for k in range(8):
        base = tmp_path / f"base{k}"
        base.mkdir()
        # the exits come at different steps of the early extraction
        script = EXIT_CHILD.format(base=str(base), url=url, linger=0.05 * k)
        children.append(subprocess.Popen([sys.executable, "-c", script],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    for child in children:
        out, err = child.communicate(timeout=scaled(120))
        assert child.returncode == 0, err[-2000:]


FETCH_AT_EXIT = """
import gc
from zelk_sdk.model import fetch
fetch.BASE_MODEL_DIR = {base!r}


class Late:  # cyclic garbage: the interpreter's exit collects it
    def __del__(self, download_url=fetch.download_url):
        download_url({url!r})


late = Late()
late.me = late
gc.disable()
del late
"""


def test_a_fetch_from_a_finalizer_of_the_exit_ends(backend, model_env, tmp_path):
    # the early extraction's thread cannot take the GIL while the interpreter
    # exits, and is ended: the fetch must still learn that it ended (it waited
    # for ever)
    data = xz_blocks(raw_tar("m", model_files(8)))
    url = backend.serve("m.tar.xz", data, etag='"v1"')
    model_env.mkdir()
    child = subprocess.run([sys.executable, "-c", FETCH_AT_EXIT.format(base=str(model_env), url=url)],
                           capture_output=True, text=True, timeout=scaled(60))
    assert child.returncode == 0, child.stderr[-2000:]



class RecordingOs:
    """The os module, with an os.path whose calls record their thread."""

    def __init__(self) -> None:
        import types

        self.calls: list[str] = []
        self.path = types.SimpleNamespace(**{name: self._recorded(getattr(os.path, name))
                                             for name in ("abspath", "join", "dirname")})

    def _recorded(self, fn):
        def call(*args):
            self.calls.append(threading.current_thread().name)
            return fn(*args)
        return call

    def __getattr__(self, name):
        return getattr(os, name)


@pytest.mark.parametrize("restored", [True, False], ids=["rebound and restored meanwhile", "left rebound"])
def test_os_rebound_during_the_transfer_is_called_only_as_without_the_overlap(fetch, backend, model_env,
                                                                              monkeypatch, restored):
    # the early extraction uses the functions that import found; it is
    # published only if they are the module's still, and otherwise the
    # archive on disk is extracted on the caller's thread, with what is bound
    files = model_files(8)
    data = xz_blocks(raw_tar("m", files))
    url = backend.serve("m.tar.xz", data, etag='"v1"', stall_after=len(data) // 2, stall_seconds=scaled(1.5))
    model_env.mkdir()
    proxy = RecordingOs()

    def rebind() -> None:
        while not any(n.endswith(STAGING) for n in os.listdir(model_env)):
            time.sleep(0.005)
        fetch.os = proxy
        if restored:
            time.sleep(0.2)
            fetch.os = os

    monkeypatch.setattr(fetch, "os", os)
    t = threading.Thread(target=rebind)
    t.start()
    assert fetch.download_url(url) == str(model_env / "m")
    t.join()
    assert tree(model_env / "m") == files
    assert set(proxy.calls) == (set() if restored else {threading.current_thread().name}), proxy.calls
