"""Model archives built for real: with GNU tar and with tarfile."""

from __future__ import annotations

import io
import os
import subprocess
import tarfile
from pathlib import Path


def write_tree(root: Path, files: dict[str, bytes | str]) -> None:
    for rel, content in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content.encode() if isinstance(content, str) else content)


def gnu_tar_xz(workdir: Path, model_name: str, files: dict[str, bytes | str], level: int = 0) -> bytes:
    """`tar -cJf` of a directory <model_name> holding `files` (xz preset `level`)."""
    src = workdir / ("src-" + model_name)
    write_tree(src / model_name, files)
    out = workdir / (model_name + ".gnu.tar.xz")
    env = {**os.environ, "XZ_OPT": f"-{level}"}
    subprocess.run(["tar", "-cJf", str(out), "-C", str(src), model_name], check=True, env=env)
    return out.read_bytes()


def tarfile_xz(members: list[tuple[str, object]]) -> bytes:
    """An xz tar built with tarfile from (name, kind) pairs, in order.

    kind: bytes or str (a regular file), "dir" (a directory), ("sym", target),
    ("lnk", target), ("fifo",), ("chr",), or a ready TarInfo-modifier callable.
    """
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:xz") as tf:
        for name, kind in members:
            info = tarfile.TarInfo(name)
            info.mtime = 1_700_000_000
            data = None
            if kind == "dir":
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
            elif isinstance(kind, tuple) and kind[0] == "sym":
                info.type = tarfile.SYMTYPE
                info.linkname = kind[1]
            elif isinstance(kind, tuple) and kind[0] == "lnk":
                info.type = tarfile.LNKTYPE
                info.linkname = kind[1]
            elif isinstance(kind, tuple) and kind[0] == "fifo":
                info.type = tarfile.FIFOTYPE
            elif isinstance(kind, tuple) and kind[0] == "chr":
                info.type = tarfile.CHRTYPE
                info.devmajor, info.devminor = 1, 3
            elif isinstance(kind, tuple) and kind[0] == "mode":
                data = kind[2] if isinstance(kind[2], bytes) else kind[2].encode()
                info.mode = kind[1]
            else:
                data = kind if isinstance(kind, bytes) else str(kind).encode()
                info.mode = 0o644
            if data is not None:
                info.size = len(data)
                tf.addfile(info, io.BytesIO(data))
            else:
                tf.addfile(info)
    return buf.getvalue()


def tree(root: Path) -> dict[str, bytes | str]:
    """Relative path -> content (files) or "->target" (links) or "dir", for comparisons."""
    out: dict[str, bytes | str] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            p = Path(dirpath, d)
            rel = str(p.relative_to(root))
            out[rel] = "->" + os.readlink(p) if p.is_symlink() else "dir"
        for f in filenames:
            p = Path(dirpath, f)
            rel = str(p.relative_to(root))
            out[rel] = "->" + os.readlink(p) if p.is_symlink() else p.read_bytes()
    return out


def xz_zeros_after(raw_tar: bytes, zeros_mib: int) -> bytes:
    """`raw_tar` and then `zeros_mib` MiB of zeros, as one xz block: a small
    file that decodes to far more than its model."""
    import lzma

    comp = lzma.LZMACompressor(preset=0)
    zeros = bytes(1 << 20)
    return b"".join([comp.compress(raw_tar), *(comp.compress(zeros) for _ in range(zeros_mib)), comp.flush()])


def with_dictionary(xz_data: bytes, dict_mib: int, block: int = 0) -> bytes:
    """The xz file with the header of its `block`-th block (from 0; those
    before it must state their sizes, as a threaded xz writes them) asking for
    an LZMA2 dictionary of `dict_mib` MiB (2^n or 3 * 2^n), its check value
    made anew. The data decodes the same with any dictionary at least as
    large as its own, so no encoder needs that memory."""
    import re
    import struct
    import zlib

    data = bytearray(xz_data)
    start = 12
    for _ in range(block):  # the compressed size is the header's first number
        digits = re.match(rb"[\x80-\xff]*[\x00-\x7f]", data[start + 2 :]).group()
        compressed = sum((b & 0x7F) << (7 * i) for i, b in enumerate(digits))
        start += (data[start] + 1) * 4 + -(-compressed // 4) * 4 + {0: 0, 1: 4, 4: 8, 10: 32}[data[7] & 0x0F]
    end = start + (data[start] + 1) * 4 - 4  # where the header's CRC32 is
    prop = end - 1
    while data[prop] == 0:  # header padding
        prop -= 1
    assert data[prop - 2 : prop] == b"\x21\x01", "one LZMA2 filter expected"
    [data[prop]] = [b for b in range(41) if (2 | (b & 1)) << (b // 2 + 11) == dict_mib << 20]
    struct.pack_into("<I", data, end, zlib.crc32(data[start:end]))
    return bytes(data)


def raw_tar(model_name: str, files: dict[str, bytes]) -> bytes:
    """An uncompressed tar of a directory <model_name> holding `files`, in order."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as tf:
        info = tarfile.TarInfo(model_name)
        info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, 1_700_000_000
        tf.addfile(info)
        for rel, data in files.items():
            info = tarfile.TarInfo(f"{model_name}/{rel}")
            info.size, info.mode, info.mtime = len(data), 0o644, 1_700_000_000
            tf.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def xz_blocks(raw: bytes, block: str = "256KiB") -> bytes:
    """`raw` compressed by a threaded xz in blocks of `block`, sizes in their headers."""
    return subprocess.run(["xz", "-0", "-T2", f"--block-size={block}", "-c"], input=raw, capture_output=True,
                          check=True).stdout
