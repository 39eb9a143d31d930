"""Crash safety: a model fetch killed with SIGKILL at a random moment of its
download, extraction or move into place, followed by a normal fetch, always
ends with a complete model directory, and the killed writers' scratch entries
do not pile up.

The child reports where it is through audit events (the connection, the
archive opened for extraction, the archive removed once the model is in place); the
parent kills it after a random delay within that phase, measured on a first,
uninterrupted run. 5 kills in the normal suite, 30 with ZELK_FULL=1.
"""

from __future__ import annotations

import io
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tarfile
import time

import pytest

from support.archives import tree
from support.faults import RawServer
from support.modes import scale

KILLS = scale(5, 30)
PHASES = ["download", "extract", "move"]
SCRATCH = ".zelk-tmp-"

CHILD = r"""
import os, sys, time
from zelk_sdk.model import fetch

base, url = sys.argv[1], sys.argv[2]
fetch.BASE_MODEL_DIR = base
archive = os.path.join(base, "m.tar.xz")
seen = set()

def mark(phase):
    if phase not in seen:
        seen.add(phase)
        os.write(1, f"{phase} {time.monotonic()}\n".encode())

def hook(event, args):
    if event == "socket.connect":
        mark("download")
    elif event == "open" and args[0] == archive:
        mark("extract")
    elif event == "os.remove" and args[0] == archive:
        mark("move")

sys.addaudithook(hook)
result = fetch.download_detection_model(url)
os.write(1, f"done {time.monotonic()} {result}\n".encode())
"""


def make_files() -> dict[str, bytes]:
    rng = random.Random(7)
    return {f"layer{i:03d}.bin": rng.randbytes(20_000) for i in range(200)}


@pytest.fixture(scope="module")
def model():
    files = make_files()
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:xz", preset=0) as tf:
        for name in ["m", *(f"m/{n}" for n in files)]:
            info = tarfile.TarInfo(name)
            data = files.get(name[2:], b"")
            if name == "m":
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tf.addfile(info)
            else:
                info.size = len(data)
                tf.addfile(info, io.BytesIO(data))
    return files, buf.getvalue()


def throttled(body: bytes, piece: int = 65536, pause: float = 0.004):
    """An archive server slow enough for a kill to land inside the download."""

    def handler(conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body))
        for start in range(0, len(body), piece):
            conn.sendall(body[start : start + piece])
            time.sleep(pause)

    return handler


def run_child(base, url, kill_in: str | None = None, delay: float = 0.0) -> dict[str, float]:
    """Runs a fetch in a child; kills it `delay` seconds after it enters phase
    `kill_in`. Returns the phase times the child reported."""
    env = dict(os.environ, ZELK_LOG_LEVEL="WARNING")
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(base), url], stdout=subprocess.PIPE, env=env)
    marks: dict[str, float] = {}
    buf = b""
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 0.5)
            if not ready:
                continue
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                phase, stamp, *_ = line.decode().split(" ")
                marks[phase] = float(stamp)
                if phase == kill_in:
                    time.sleep(delay)
                    proc.send_signal(signal.SIGKILL)
        else:
            pytest.fail("the child fetch hung")
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stdout.close()
    if kill_in is None:
        assert proc.returncode == 0 and "done" in marks
    return marks


def state(base) -> str:
    """Where the killed fetch stood, from what it left."""
    names = os.listdir(base) if os.path.isdir(base) else []
    staging = any(n.startswith(SCRATCH) and n.endswith(".staging") for n in names)
    if "m" in names:
        return "move" if staging else "done"
    if "m.tar.xz" in names:
        return "extract"
    return "move" if staging else "download"


def test_killed_fetches_leave_nothing_partial(fetch, fetch_log, tmp_path, model, monkeypatch):
    files, data = model
    base = tmp_path / "models"
    base.mkdir()
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", str(base))
    with RawServer(throttled(data), limit=4 * KILLS + 4) as server:
        url = server.base + "/files/m.tar.xz"
        marks = run_child(base, url)
        span = {
            "download": marks["extract"] - marks["download"],
            "extract": marks["move"] - marks["extract"],
            "move": marks["done"] - marks["move"],
        }
        shutil.rmtree(base / "m")

        rng = random.Random(int(os.environ.get("ZELK_KILL_SEED", time.time_ns())))
        hit = []
        for i in range(KILLS):
            phase = PHASES[i % 3]
            run_child(base, url, kill_in=phase, delay=rng.uniform(0, span[phase]))
            hit.append(state(base))
            assert not (base / "m").exists() or tree(base / "m") == files, "a partial model directory"
            assert not (base / "m.tar.xz").exists() or (base / "m.tar.xz").read_bytes() == data, "a partial archive"

            assert fetch.download_detection_model(url) == str(base / "m")
            assert tree(base / "m") == files
            left = [n for n in os.listdir(base) if n.startswith(SCRATCH)]
            # a killed writer's entry, and the model's lock file if the killed
            # run held it: the next run that takes the lock removes it
            writers = [n for n in left if not n.endswith(".lock")]
            assert len(writers) <= 1 and len(left) - len(writers) <= 1, f"scratch entries pile up: {left}"
            shutil.rmtree(base / "m")

        # the next fetch that writes sweeps whatever a killed writer left
        assert fetch.download_detection_model(url) == str(base / "m")
        assert sorted(os.listdir(base)) == ["m"]
    print("phases hit:", hit)
    # the kill moments come from an unloaded first run; under load some land
    # later than planned, but they must not all miss the fetch
    assert set(hit) - {"done"}, hit
