"""Hostile servers and neighbours: how long download_detection_model takes
against each, its peak resident growth, and what it leaves on disk, with
--before PYTHON the same for another build, side by side.

    .venv/bin/python bench/bench_server_bounds.py [--before /path/to/python] [--cap S] [--only TEXT]

Each figure is one call in a fresh process; "stopped at S s" means the call
was still running after --cap seconds. Needs root for the 20 MiB tmpfs row.
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.archives import tarfile_xz  # noqa: E402
from support.backend import Backend  # noqa: E402
from support.faults import RawServer  # noqa: E402
from support.scratch import keyed_name  # noqa: E402

MODEL = tarfile_xz([("m", "dir"), ("m/weights.bin", os.urandom(200_000)), ("m/labels.txt", b"cat\n")])

CHILD = r"""
import json, resource, sys, time
from zelk_sdk.model import fetch
base, url, budget = sys.argv[1], sys.argv[2], float(sys.argv[3])
infos, warnings = [], []
fetch.logger = type("Log", (), {"info": lambda s, m: infos.append(m), "warning": lambda s, m: warnings.append(m)})()
fetch.BASE_MODEL_DIR = base
fetch.DOWNLOAD_MODEL_TIMEOUT = budget
peak0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.monotonic()
result = fetch.download_detection_model(url)
print(json.dumps({"wall": time.monotonic() - t0, "rss": (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak0) * 1024,
                  "result": result, "last": (warnings or ["-"])[-1], "attempts": len(warnings),
                  "odd": sum(m.startswith("Downloading... -") for m in infos)}))
"""


def drip_headers(conn) -> None:
    conn.sendall(b"HTTP/1.1 200 OK\r\nX-Slow: ")
    for _ in range(600):
        conn.sendall(b"x")
        time.sleep(2)


def endless(conn) -> None:
    conn.sendall(b'HTTP/1.1 200 OK\r\nETag: "v1"\r\nConnection: close\r\n\r\n')
    block = os.urandom(1 << 20)
    while True:
        conn.sendall(block)


def with_length(value: bytes) -> Callable:
    def handler(conn) -> None:
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %s\r\nConnection: close\r\n\r\n" % value + MODEL)
    return handler


@contextlib.contextmanager
def raw(handler) -> Iterator[str]:
    with RawServer(handler, limit=100) as server:
        yield server.base + "/files/m.tar.xz"


@contextlib.contextmanager
def backend(**options) -> Iterator[str]:
    with Backend() as b:
        yield b.serve("m.tar.xz", MODEL, **options)


@contextlib.contextmanager
def flock_held(base: Path) -> Iterator[str]:
    """Another program holds the model's lock file for 20 s."""
    with backend() as url:
        fd = os.open(base / keyed_name("m", ".lock"), os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            yield url
        finally:
            os.close(fd)


@contextlib.contextmanager
def fetch_stuck(base: Path, python: str) -> Iterator[str]:
    """Another process of the same build fetches the model and is stuck in a drip."""
    with backend(drip_after=100_000, drip_bytes=1, drip_seconds=5) as url:
        other = subprocess.Popen([python, "-c", CHILD, str(base), url, "600"], stdout=subprocess.DEVNULL)
        time.sleep(3)
        try:
            yield url
        finally:
            other.kill()
            other.wait()


@contextlib.contextmanager
def small_fs(base: Path) -> Iterator[None]:
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m,mode=0755", "tmpfs", base]).returncode:
        raise RuntimeError("mounting a tmpfs needs root")
    try:
        yield
    finally:
        subprocess.run(["umount", base], check=True)


# name -> (budget, server context given (base, python), on a 20 MiB tmpfs)
ROWS: dict[str, tuple[float, Callable, bool]] = {
    "headers dripped, a byte every 2 s; budget 5": (5, lambda base, py: raw(drip_headers), False),
    "body dripped after 100 KB, a byte every 5 s; budget 15": (
        15, lambda base, py: backend(drip_after=100_000, drip_bytes=1, drip_seconds=5), False),
    "another program holds the lock file (flock) for 20 s; budget 3": (3, lambda base, py: flock_held(base), False),
    "another fetch holds the lock, stuck in a drip; budget 5": (5, fetch_stuck, False),
    "an endless body with a strong ETag, on 20 MiB; budget 5": (5, lambda base, py: raw(endless), True),
    "Content-Length: 201396, 201396 (the archive's length, twice); budget 3": (
        3, lambda base, py: raw(with_length(b"%d, %d" % (len(MODEL), len(MODEL)))), False),
    "Content-Length: -1; budget 3": (3, lambda base, py: raw(with_length(b"-1")), False),
}


def disk_used(base: Path) -> int:
    total = 0
    for root, dirs, files in os.walk(base):
        for name in dirs + files:
            with contextlib.suppress(OSError):
                total += os.lstat(os.path.join(root, name)).st_blocks * 512
    return total


def run(name: str, python: str, cap: float) -> str:
    budget, server, small = ROWS[name]
    with tempfile.TemporaryDirectory(dir="/var/tmp") as tmp:
        base = Path(tmp) / "models"
        base.mkdir(mode=0o755)
        with small_fs(base) if small else contextlib.nullcontext(), server(base, python) as url:
            try:
                out = subprocess.run([python, "-c", CHILD, str(base), url, str(budget)], capture_output=True,
                                     text=True, timeout=cap)
            except subprocess.TimeoutExpired:
                return f"stopped at {cap:.0f} s; {disk_used(base) / 2**20:.1f} MiB left on disk"
            left = disk_used(base) - (disk_used(base / "m") + 4096 if (base / "m").is_dir() else 0)
        if out.returncode:
            return "crashed: " + out.stderr.strip().splitlines()[-1][:100]
        r = json.loads(out.stdout.strip().splitlines()[-1])
        outcome = "installed" if r["result"] else f"failed ({r['attempts']} attempts): {r['last'][-90:]}"
        odd = f"; {r['odd']} progress lines below 0 %" if r["odd"] else ""
        return (f"{r['wall']:.1f} s, +{r['rss'] / 2**20:.0f} MiB, {max(left, 0) / 2**20:.1f} MiB left; "
                f"{outcome}{odd}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--before", help="the interpreter of an earlier build, measured the same way")
    ap.add_argument("--cap", type=float, default=120)
    ap.add_argument("--only", default="")
    cfg = ap.parse_args()
    cols = ["server or neighbour", "download_detection_model (this build)"]
    if cfg.before:
        cols.append("download_detection_model (before)")
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    for name in ROWS:
        if cfg.only not in name:
            continue
        row = [name, run(name, sys.executable, cfg.cap)]
        if cfg.before:
            row.append(run(name, cfg.before, cfg.cap))
        print("| " + " | ".join(row).replace("\n", " ") + " |", flush=True)


if __name__ == "__main__":
    main()
