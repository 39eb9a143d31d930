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


def xz_tar(members: Iterator[Member] | bytes) -> bytes:
    """The members as a pax tar, xz-compressed (preset 6): empty files, 0644.
    Bytes are a tar made by hand, compressed as they are."""
    if isinstance(members, bytes):
        return lzma.compress(members, preset=6)
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


def block(info: tarfile.TarInfo, patch: dict[int, bytes] | None = None) -> bytes:
    """The GNU header of `info`, with bytes patched in at their offsets and
    the checksum made anew."""
    buf = bytearray(info.tobuf(format=tarfile.GNU_FORMAT)[-512:])
    for at, value in (patch or {}).items():
        buf[at:at + len(value)] = value
    buf[148:156] = b" " * 8
    buf[148:156] = b"%06o\0 " % sum(buf)
    return bytes(buf)


def padded(data: bytes) -> bytes:
    return data + b"\0" * (-len(data) % 512)


def header(type_: bytes, name: str, payload: bytes) -> bytes:
    info = tarfile.TarInfo(name)
    info.type, info.size = type_, len(payload)
    return block(info) + padded(payload)


def pax_record(key: str, value: bytes) -> bytes:
    body = b" %s=%s\n" % (key.encode(), value)
    n = len(body) + 1
    while len(b"%d" % n) + len(body) != n:
        n += 1
    return b"%d" % n + body


def raw_tar(*parts: bytes, last: str = "m/f") -> bytes:
    """Hand-made headers, then an empty file `last` and the end marker."""
    return b"".join(parts) + block(tarfile.TarInfo(last)) + b"\0" * 1024


def gnu_sparse(blocks: int, name: str = "m/sparse") -> bytes:
    """An old GNU sparse member of `blocks` extension blocks of 21 regions."""
    info = tarfile.TarInfo(name)
    info.type = tarfile.GNUTYPE_SPARSE
    head = block(info, {482: b"\1" if blocks else b"\0", 483: b"%011o\0" % (blocks * 21 * 1024)})
    entries = b"".join(b"%011o\0%011o\0" % (i * 1024, 1) for i in range(1, 22))
    ext = entries + b"\1" + b"\0" * 7
    return head + ext * (blocks - 1) + entries + b"\0" * 8


def sparse_map_10(regions: int, name: str = "m/sparse") -> bytes:
    """A pax member with a 1.0 sparse map that states `regions` regions."""
    pax = b"".join(pax_record(k, v) for k, v in [("GNU.sparse.major", b"1"), ("GNU.sparse.minor", b"0"),
                                                 ("GNU.sparse.name", name.encode()),
                                                 ("GNU.sparse.realsize", b"1024")])
    data = padded(b"%d\n" % regions + b"0\n1\n" * min(regions, 100))
    info = tarfile.TarInfo("m/GNUSparseFile.0/sparse")
    info.size = len(data)
    return header(tarfile.XHDTYPE, "pax", pax) + block(info) + data


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

SHAPES["20000 members between two directories 250 deep"] = (
    lambda: ((f"m/{'ab'[i % 2]}/{deep(249)}/f{i}", "file", "") for i in range(20000)), "directory steps to extract")

SHAPES["40 chained links of 4000 bytes, 3000 links to the chain"] = (
    lambda: iter([("m/f", "file", "")] + [(f"m/k{j}", "sym", "./" * 1990 + (f"k{j + 1}" if j < 39 else "f"))
                                          for j in range(40)] + [(f"m/l{i}", "sym", "k0") for i in range(3000)]),
    "links take more than 2000000 steps to judge")

# Headers that tarfile reads whole, or by recursion, before any check sees the member
SHAPES.update({
    "a pax record of 256 KiB and a byte": (
        lambda: raw_tar(header(tarfile.XHDTYPE, "pax", pax_record("comment", b"c" * (256 * 1024 - 15)))),
        "has a header record of 262145 bytes"),
    "a long name of 1 MiB": (lambda: raw_tar(header(tarfile.GNUTYPE_LONGNAME, "././@LongLink", b"n" * 2**20)),
                             "has a header record of 1048576 bytes"),
    "9 pax records before a member": (
        lambda: raw_tar(*[header(tarfile.XHDTYPE, "pax", pax_record("comment", b"c"))] * 9),
        "has more than 8 header records before one member"),
    "an old GNU sparse map of 3122 blocks": (lambda: raw_tar(gnu_sparse(3122)),
                                             "has a sparse map of more than 65536 regions"),
    "a 1.0 sparse map of a billion regions": (lambda: raw_tar(sparse_map_10(10**9)),
                                              "has a sparse map of more than 65536 regions"),
})

# what only the full mode runs
HEAVY: dict[str, tuple[Callable[[], Iterator[Member]], str]] = {
    "100000 empty members": (lambda: ((f"m/f{i}", "file", "") for i in range(99_999)), "installed"),
    "1000000 empty members": (lambda: ((f"m/f{i}", "file", "") for i in range(1_000_000)),
                              "the archive has more than 100000 members"),
    "99000 symbolic links to a target 254 deep": (
        lambda: iter([(f"m/{deep(254)}/f", "file", "")] + [(f"m/l{i}", "sym", f"{deep(254)}/f") for i in range(99_000)]),
        "directory steps to extract"),
    "99000 hard links to a file 254 deep, each 254 deep": (
        lambda: iter([(f"m/a/{deep(253)}/f", "file", "")]
                     + [(f"m/b{i % 2}/{deep(253)}/l{i}", "lnk", f"m/a/{deep(253)}/f") for i in range(99_000)]),
        "directory steps to extract"),
    "a pax record of 300 MB": (
        lambda: raw_tar(header(tarfile.XHDTYPE, "pax", pax_record("comment", b"c" * 300_000_000))),
        "has a header record of 300000"),
    "an old GNU sparse map of 4 million regions": (lambda: raw_tar(gnu_sparse(4_000_000 // 21)),
                                                   "has a sparse map of more than 65536 regions"),
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
