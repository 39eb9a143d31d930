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
from support.modes import SANITIZED

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
SMALL = {"m/w.bin": random.Random(1).randbytes(100_000)}
BLOB = random.Random(2).randbytes(4096) * 2048
TWO_BLOCKS = {"m/a.bin": BLOB, "m/b.bin": BLOB[::-1]}
NEEDS = f"the archive needs 1537 MiB of memory to decode; the limit is {128 if POINTER_BITS == 32 else 256} MiB"

CHILD = r"""
import json, logging, os, resource, sys
from zelk_sdk.model import fetch

fetch.BASE_MODEL_DIR, one_core, headroom = sys.argv[1], sys.argv[2] == "True", int(sys.argv[3])
warnings = []
fetch.logger.addHandler(type("H", (logging.Handler,), {"emit": lambda self, r: warnings.append(r.getMessage())})(logging.WARNING))
if one_core:
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
if headroom:  # the address space in use now and `headroom` MiB more, as `ulimit -v` bounds it
    used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom * 2**20,) * 2)
result = fetch.download_url("http://127.0.0.1:9/m.tar.xz")  # on disk: no request
# the peak of this program's own memory (ru_maxrss would count the parent's, which a child takes on at fork)
peak_kib = int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM:")).split()[1])
print(json.dumps([result, warnings, peak_kib // 1024]))
"""


@pytest.fixture
def small_fs(tmp_path):
    """A file system of 20 MiB (a tmpfs), mounted for the test."""
    (tmp_path / "fs").mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m,mode=0755", "tmpfs", tmp_path / "fs"],
                                           capture_output=True).returncode:
        pytest.skip("mounting a tmpfs is not allowed here")
    yield tmp_path / "fs"
    subprocess.run(["umount", tmp_path / "fs"], check=True)


def free_mib(path: Path) -> int:
    return os.statvfs(path).f_bavail * os.statvfs(path).f_frsize // MiB


def near_the_free_space(base: Path) -> dict[str, bytes]:
    """Two files whose tar data is 1 MiB short of the free space."""
    half = ((free_mib(base) - 1) * MiB - 16384) // 2
    return {"m/a.bin": (BLOB * 4)[:half], "m/b.bin": (BLOB[::-1] * 4)[:half]}


ALONE = [(False, 0)]  # a child on all cores, without a limit of its address space
HOSTILE = [
    # on a 20 MiB file system, model, archive of its tar, runs (one core, headroom MiB), expected failure
    pytest.param(False, SMALL, lambda raw: with_dictionary(xz_zeros_after(raw, 300), 1536), ALONE, NEEDS,
                 id="dictionary of 1.5 GiB, then 300 MiB of zeros"),
    pytest.param(False, FILES, lambda raw: with_dictionary(xz_cli(raw, "-0", "-T2", "--block-size=262144"), 1536, 2),
                 ALONE, NEEDS, id="dictionary of 1.5 GiB in the third block of a threaded file"),
    pytest.param(True, SMALL, lambda raw: xz_zeros_after(raw, 64), ALONE,
                 "not enough space in {base}: need 65 MiB, {free} MiB free", id="64 MiB of zeros after the marker"),
    pytest.param(True, near_the_free_space, lambda raw: lzma.compress(raw, preset=0), ALONE, None,
                 id="a model 1 MiB short of the free space"),
    pytest.param(False, SMALL, lambda raw: xz_zeros_after(raw, 65), ALONE,
                 "the archive holds 65 MiB after its end-of-archive marker; a tar writer pads with 64 MiB at most",
                 id="65 MiB after the marker, with room for it"),
    # the threaded decoder cannot have its threads or blocks' buffers: where one thread decodes the archive,
    # so does the reader; with less room it fails before it hands out anything, with more after a block
    pytest.param(False, TWO_BLOCKS, lambda raw: xz_cli(raw, "-0", "-T2", "--block-size=4MiB"),
                 [(True, 20), (False, 20), (False, 32)], None, id="ulimit -v, multi-block",
                 marks=[not_under_emulation("the emulator's own mappings count against the address space"),
                        pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs the address space")]),
]


@pytest.mark.parametrize("small, model, make, runs, refusal", HOSTILE)
def test_hostile_archives_are_refused_within_bounds(request, tmp_path, small, model, make, runs, refusal):
    base = (request.getfixturevalue("small_fs") if small else tmp_path) / "models"
    base.mkdir()
    files = model(base) if callable(model) else model
    archive = make(tar_bytes(files))
    for one_core, headroom in runs:
        (base / "m.tar.xz").write_bytes(archive)
        expected = refusal and refusal.format(base=base, free=free_mib(base))
        done = subprocess.run([sys.executable, "-c", CHILD, base, str(one_core), str(headroom)], capture_output=True,
                              text=True, timeout=scaled(300))
        result, warnings, peak_mib = json.loads(done.stdout or "null") or pytest.fail(done.stderr)
        assert all(not w.endswith(" - ") for w in warnings), f"a failure without its reason: {warnings}"
        if refusal:
            assert warnings == [f"Failed to extracting tarxz {base / 'm.tar.xz'} - {expected}"]
            assert result is None and os.listdir(base) == []
        else:
            assert (warnings, result) == ([], str(base / "m")), (one_core, headroom)
            assert tree(base / "m") == {k[2:]: v for k, v in files.items()}
            shutil.rmtree(base / "m")
        if not EMULATED:
            assert peak_mib < 200  # the decoder's bound, and room for the interpreter
