"""Hostile archive shapes, and one extraction of an archive measured in a
fresh process (time and resident growth), for tests and bench alike."""

from __future__ import annotations

import io
import json
import lzma
import os
import subprocess
import sys
import tarfile
from pathlib import Path
from typing import Callable, Iterator

Member = tuple[str, str, str]  # (name, kind: file, dir, sym or lnk, link target)


def xz_tar(members: Iterator[Member]) -> bytes:
    """The members as a pax tar, xz-compressed (preset 6): empty files, 0644."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.PAX_FORMAT) as tf:
        for name, kind, target in members:
            info = tarfile.TarInfo(name)
            info.mtime = 1_700_000_000
            info.mode = 0o644
            if kind == "dir":
                info.type, info.mode = tarfile.DIRTYPE, 0o755
            elif kind in ("sym", "lnk"):
                info.type = tarfile.SYMTYPE if kind == "sym" else tarfile.LNKTYPE
                info.linkname = target
            tf.addfile(info)
    return lzma.compress(buf.getvalue(), preset=6)


def deep(depth: int) -> str:
    return "/".join(["d"] * depth)


# name -> (builder of the members, what happens: "installed" or the text of the refusal)
SHAPES: dict[str, tuple[Callable[[], Iterator[Member]], str]] = {
    "200 files 900 deep": (lambda: ((f"m/{deep(900)}/f{i}", "file", "") for i in range(200)),
                           "has a path of more than 256 components"),
    "3000 files 250 deep": (lambda: ((f"m/{deep(250)}/f{i}", "file", "") for i in range(3000)), "installed"),
    "one path 1800 deep": (lambda: iter([(f"m/{deep(1800)}/f", "file", "")]),
                           "has a path of more than 256 components"),
    "300 paths 250 deep, each its own": (
        lambda: ((f"m/{i}/{deep(249)}/f", "file", "") for i in range(300)), "installed"),
    "names of 4000 bytes": (lambda: ((f"m/{i:03d}" + "/" + "/".join(["n" * 240] * 16) + f"/f{j}", "file", "")
                                     for i in range(40) for j in range(20)), "installed"),
    "a name of 5000 bytes": (lambda: iter([("m/" + "/".join(["n" * 250] * 20), "file", "")]),
                             "has a path longer than 4096 bytes"),
    "'..' back and forth, 250 deep": (
        lambda: ((f"m/{deep(125)}/" + "x/../" * 60 + f"f{i}", "file", "") for i in range(2000)), "installed"),
    "2000 hard links across deep directories": (
        lambda: iter([(f"m/a/{deep(120)}/f", "file", "")]
                     + [(f"m/b{i % 2}/{deep(120)}/l{i}", "lnk", f"m/a/{deep(120)}/f") for i in range(2000)]),
        "installed"),
    "3000 symbolic links with deep targets": (
        lambda: iter([(f"m/{deep(200)}/f", "file", "")]
                     + [(f"m/l{i}", "sym", f"{deep(200)}/f") for i in range(3000)]), "installed"),
    "10000 empty members": (lambda: ((f"m/f{i}", "file", "") for i in range(10000)), "installed"),
    "20000 members, each 100 new directories": (
        lambda: ((f"m/{i}/{deep(99)}/f", "file", "") for i in range(20000)),
        "members with the directories made for their paths"),
}

# what only the full mode runs
HEAVY: dict[str, tuple[Callable[[], Iterator[Member]], str]] = {
    "100000 empty members": (lambda: ((f"m/f{i}", "file", "") for i in range(99_999)), "installed"),
    "1000000 empty members": (lambda: ((f"m/f{i}", "file", "") for i in range(1_000_000)),
                              "the archive has more than 100000 members"),
}

_CHILD = r"""
import json, logging, resource, sys, time
how, base = sys.argv[1:3]
def rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
if how == "native":
    from zelk_sdk.model import fetch
    failures = []
    fetch.logger = type("Log", (), {"info": lambda s, m: None, "warning": lambda s, m: failures.append(m)})()
    fetch.BASE_MODEL_DIR = base
    start_rss, t0, c0 = rss(), time.monotonic(), time.process_time()
    result = fetch.download_url("http://127.0.0.1:9/models/m.tar.xz")
    outcome = "installed" if result else (failures[-1] if failures else "failed")
else:  # tarfile's own extraction of the same archive, with the data filter
    import tarfile
    start_rss, t0, c0 = rss(), time.monotonic(), time.process_time()
    try:
        with tarfile.open(base + "/m.tar.xz", "r|xz") as tf:
            tf.extractall(base + "/out", filter="data")
        outcome = "installed"
    except Exception as e:
        outcome = f"{type(e).__name__}: {e}"[:300]
print(json.dumps({"wall": time.monotonic() - t0, "cpu": time.process_time() - c0,
                  "rss_growth": rss() - start_rss, "outcome": outcome}))
"""


def measure(archive: bytes, base: Path, how: str = "native", timeout: float = 600, python: str = sys.executable) -> dict:
    """Extracts `archive` as m.tar.xz in `base` in a fresh process ("native":
    download_url; "tarfile": TarFile.extractall with the data filter): wall and
    CPU seconds, growth of the peak resident size in bytes, and the outcome
    ("installed", the warning logged, or tarfile's error). `python` runs the
    child: another build's interpreter measures that build."""
    base.mkdir(parents=True, exist_ok=True)
    (base / "m.tar.xz").write_bytes(archive)
    out = subprocess.run([python, "-c", _CHILD, how, str(base)], capture_output=True, text=True,
                         timeout=timeout, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    if out.returncode != 0:
        raise AssertionError(out.stderr[-3000:])
    return json.loads(out.stdout.strip().splitlines()[-1])
