"""The archive reader against a reference reading of the same bytes: `xz -dc`
(all streams, stream padding, every check) and tarfile over the result. On single-block, multi-block (the threaded decoder),
multi-stream and padded archives, cut at many points or with a byte changed,
download_url installs exactly the reference's model or fails."""

from __future__ import annotations

import io
import lzma
import os
import random
import subprocess
import tarfile
from pathlib import Path

import pytest

from support.archives import tree

FILES = {f"m/layer{i}.bin": random.Random(i).randbytes(40_000) + bytes(60_000) for i in range(12)}


def tar_bytes() -> bytes:
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as tf:
        for name, data in FILES.items():
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
