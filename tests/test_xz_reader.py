"""The archive reader against a reference reading of the same bytes: `xz -dc`
(all streams, stream padding, every check) and tarfile over the result. On single-block, multi-block (the threaded decoder),
multi-stream and padded archives, cut at many points or with a byte changed,
download_url installs exactly the reference's model or fails."""

from __future__ import annotations

import io
import json
import lzma
import os
import random
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

from support.archives import tree, with_dictionary, xz_zeros_after
from support.emulation import EMULATED, POINTER_BITS, not_under_emulation, scaled

FILES = {f"m/layer{i}.bin": random.Random(i).randbytes(40_000) + bytes(60_000) for i in range(12)}


def tar_bytes(files: dict[str, bytes] = FILES) -> bytes:
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as tf:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def xz_cli(data: bytes, *args: str) -> bytes:
    return subprocess.run(["xz", "-c", *args], input=data, capture_output=True, check=True).stdout


def variants() -> dict[str, bytes]:
    raw = tar_bytes()
    half = len(raw) // 2 // 512 * 512
    out = {
        "single block": lzma.compress(raw, preset=0),
        "multi-stream, padded": lzma.compress(raw[:half]) + bytes(4) + lzma.compress(raw[half:]) + bytes(8),
    }
    out["multi-block"] = xz_cli(raw, "-0", "-T2", "--block-size=65536")
    return out


VARIANTS = variants()


def reference(data: bytes) -> dict | None:
    """The model as a strict reader gets it, or None where it fails."""
    done = subprocess.run(["xz", "-dc"], input=data, capture_output=True)
    if done.returncode != 0:
        return None
    raw = done.stdout
    members = {}
    with tarfile.open(fileobj=io.BytesIO(raw), mode="r:") as tf:
        for m in tf:
            members[m.name[2:]] = tf.extractfile(m).read()
        end = tf.offset
    if raw[end : end + 512] != bytes(512):
        return None  # no end-of-archive marker where the member list stops
    return members


def mutations(data: bytes) -> list[tuple[str, bytes]]:
    n = len(data)
    rnd = random.Random(n)
    cuts = sorted({12, 100, n // 3, n // 2, n - 200, n - 40, n - 13, n - 1} | {rnd.randrange(13, n) for _ in range(4)})
    out = [("whole", data)] + [(f"cut at {k}", data[:k]) for k in cuts]
    for k in sorted({30, n // 4, n // 2, n - 30, n - 6} | {rnd.randrange(0, n) for _ in range(3)}):
        changed = bytearray(data)
        changed[k] ^= 0x10
        out.append((f"byte {k} changed", bytes(changed)))
    return out


CASES = [(v, label, mutated) for v, data in VARIANTS.items() for label, mutated in mutations(data)]


@pytest.mark.parametrize("variant, label, data", CASES, ids=[f"{v}: {label}" for v, label, _ in CASES])
def test_reader_agrees_with_a_strict_reading(fetch, fetch_log, model_env, variant, label, data):
    base = model_env
    base.mkdir(exist_ok=True)
    (base / "m.tar.xz").write_bytes(data)
    expected = reference(data)
    result = fetch.download_url("http://127.0.0.1:9/m.tar.xz")  # on disk: no request
    if expected is None:
        assert result is None
        [warning] = fetch_log.at("warning")
        assert warning.startswith(f"Failed to extracting tarxz {base / 'm.tar.xz'} - ")
        assert os.listdir(base) == []
    else:
        assert result == str(base / "m")
        assert tree(Path(result)) == expected


def test_failures_are_worded_as_tarfile_words_them(fetch, fetch_log, model_env):
    base = model_env
    base.mkdir()
    data = VARIANTS["single block"]
    corrupt = bytearray(data)
    corrupt[len(data) // 2] ^= 0x10
    raw = tar_bytes()
    sixth = 6 * (512 + 100_352)  # where the seventh member's header starts
    for body, text in [
        (b"not an xz file at all" * 10, "invalid compressed data"),
        (bytes(corrupt), "invalid compressed data"),
        # cut inside a member: tarfile's own words for it
        (data[: len(data) // 2], "unexpected end of data"),
        # cut where a header would start: tarfile would end quietly there
        (lzma.compress(raw[:sixth]) + lzma.compress(raw[sixth:])[:40],
         "truncated archive: the file does not end with a complete xz stream"),
    ]:
        fetch_log.clear()
        (base / "m.tar.xz").write_bytes(body)
        assert fetch.download_url("http://127.0.0.1:9/m.tar.xz") is None
        assert fetch_log.at("warning") == [f"Failed to extracting tarxz {base / 'm.tar.xz'} - {text}"]


# ------------------------------------------------------------------ hostile inputs

MiB = 1 << 20
MEMORY_LIMIT = 128 if POINTER_BITS == 32 else 256  # MiB, what one decoder may take
SMALL = {"m/w.bin": random.Random(1).randbytes(100_000)}

CHILD = r"""
import json, logging, os, resource, sys
from zelk_sdk.model import fetch

base, one_core, headroom = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3])
fetch.BASE_MODEL_DIR = base
warnings = []
handler = logging.Handler(logging.WARNING)
handler.emit = lambda record: warnings.append(record.getMessage())
fetch.logger.addHandler(handler)
if one_core:
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
if headroom:
    # the address space as it is now, and `headroom` MiB more, as `ulimit -v` bounds it
    used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom * 2**20,) * 2)
result = fetch.download_url("http://127.0.0.1:9/m.tar.xz")  # on disk: no request
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
print(json.dumps({"result": result, "warnings": warnings, "peak_mib": peak}))
"""


def fetch_in_child(base: Path, one_core: bool = False, headroom_mib: int = 0) -> dict:
    """download_url of the archive in `base`, in a process of its own."""
    done = subprocess.run([sys.executable, "-c", CHILD, str(base), str(int(one_core)), str(headroom_mib)],
                          capture_output=True, text=True, timeout=scaled(300))
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    for line in out["warnings"]:
        assert not line.endswith(" - "), f"a failure without its reason: {line!r}"
    return out


@pytest.fixture
def small_fs(tmp_path):
    """A file system of 20 MiB (a tmpfs), mounted for the test."""
    mnt = tmp_path / "fs"
    mnt.mkdir()
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a tmpfs needs root")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m", "tmpfs", str(mnt)], capture_output=True).returncode:
        pytest.skip("mounting a tmpfs is not allowed here")
    yield mnt
    subprocess.run(["umount", str(mnt)], check=True)


def free_mib(path: Path) -> int:
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize // MiB


def memory_refusal(_base: Path) -> str:
    return f"the archive needs 1537 MiB of memory to decode; the limit is {MEMORY_LIMIT} MiB"


def space_refusal(base: Path) -> str:
    need = -(-(len(tar_bytes(SMALL)) + 64 * MiB) // MiB)
    return f"not enough space in {base}: need {need} MiB, {free_mib(base)} MiB free"


def near_the_free_space(base: Path) -> dict[str, bytes]:
    """A model whose tar data is 1 MiB short of the free space (the archive
    itself is small): it must extract."""
    size = (free_mib(base) - 1) * MiB - 16 * 1024
    pattern = random.Random(3).randbytes(64 * 1024)
    return {"m/a.bin": (pattern * (size // 2 // len(pattern) + 1))[: size // 2],
            "m/b.bin": (pattern[::-1] * (size // 2 // len(pattern) + 1))[: size // 2]}


HOSTILE = [
    # id, on the small file system, the model (or a function of the base), the archive of its tar, expected failure
    ("dictionary of 1.5 GiB, then 300 MiB of zeros", False, SMALL,
     lambda raw: with_dictionary(xz_zeros_after(raw, 300), 1536), memory_refusal),
    ("dictionary of 1.5 GiB in the third block of a threaded file", False, FILES,
     lambda raw: with_dictionary(xz_cli(raw, "-0", "-T2", "--block-size=262144"), 1536, block=2), memory_refusal),
    ("64 MiB of zeros after the marker, 20 MiB file system", True, SMALL,
     lambda raw: xz_zeros_after(raw, 64), space_refusal),
    ("a model 1 MiB short of the free space", True, near_the_free_space,
     lambda raw: lzma.compress(raw, preset=0), None),
]


@pytest.mark.parametrize("small, model, make, refusal", [h[1:] for h in HOSTILE], ids=[h[0] for h in HOSTILE])
def test_hostile_archives_are_refused_within_bounds(request, tmp_path, small, model, make, refusal):
    base = (request.getfixturevalue("small_fs") if small else tmp_path) / "models"
    base.mkdir()
    files = model(base) if callable(model) else model
    (base / "m.tar.xz").write_bytes(make(tar_bytes(files)))
    expected = refusal(base) if refusal else None
    out = fetch_in_child(base)
    if refusal:
        assert out["warnings"] == [f"Failed to extracting tarxz {base / 'm.tar.xz'} - {expected}"]
        assert out["result"] is None and os.listdir(base) == []
    else:
        assert out["warnings"] == [] and tree(Path(out["result"])) == {k[2:]: v for k, v in files.items()}
    if not EMULATED:
        assert out["peak_mib"] < 200  # the decoder's own bound, and room for the interpreter


@not_under_emulation("the emulator's own mappings count against the address space limit")
def test_threads_give_way_under_an_address_space_limit(tmp_path):
    """Under `ulimit -v` the threaded decoder cannot have its threads or its
    blocks' buffers; where one thread decodes the archive, so does the reader.
    With less room it fails before it hands out anything, with more after its
    first block (a start over that must skip what was handed out already)."""
    blob = random.Random(2).randbytes(4096) * 2048
    files = {"m/a.bin": blob, "m/b.bin": blob[::-1]}
    base = tmp_path / "models"
    base.mkdir()
    archive = xz_cli(tar_bytes(files), "-0", "-T2", "--block-size=4MiB")
    for one_core, headroom in [(True, 20), (False, 20), (False, 32)]:
        (base / "m.tar.xz").write_bytes(archive)
        out = fetch_in_child(base, one_core=one_core, headroom_mib=headroom)
        assert out["warnings"] == [] and out["result"] == str(base / "m"), (one_core, headroom, out)
        assert tree(base / "m") == {k[2:]: v for k, v in files.items()}
        shutil.rmtree(base / "m")
