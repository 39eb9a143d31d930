"""Gives a wheel built for linux_<arch> its manylinux tag and the legacy alias
of that tag, and writes it anew in a fixed form: the members in sorted order
(the package first, then its .dist-info with RECORD last), each dated
SOURCE_DATE_EPOCH (or the date it had), with fixed permissions and one
compression level, so that the same inputs give the same bytes.

    python retag.py RAW.whl manylinux_2_17_armv7l OUTDIR
"""

from __future__ import annotations

import base64
import hashlib
import os
import sys
import time
import zipfile
from pathlib import Path

# the legacy names of the manylinux tags (PEP 599), for the installers that
# know only those
ALIASES = {"manylinux_2_17": "manylinux2014", "manylinux_2_12": "manylinux2010", "manylinux_2_5": "manylinux1"}


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def main(raw: str, platform: str, outdir: str) -> None:
    src = Path(raw)
    name, version, py, abi, plat = src.stem.split("-")
    arch = plat.removeprefix("linux_")
    if plat != f"linux_{arch}" or not platform.endswith("_" + arch):
        sys.exit(f"retag: {src.name} is not a linux_{arch} wheel for {platform}")
    prefix = platform[: -len(arch) - 1]
    platforms = [platform] + ([f"{ALIASES[prefix]}_{arch}"] if prefix in ALIASES else [])
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    with zipfile.ZipFile(src) as zin:
        members = {i.filename: (i, zin.read(i)) for i in zin.infolist() if not i.is_dir()}
    dist_info = f"{name}-{version}.dist-info/"
    wheel_meta = members[dist_info + "WHEEL"][1].decode().splitlines()
    lines = [line for line in wheel_meta if not line.startswith("Tag:")]
    lines += [f"Tag: {py}-{abi}-{p}" for p in platforms]
    data = {n: d for n, (_, d) in members.items()}
    data[dist_info + "WHEEL"] = ("\n".join(lines) + "\n").encode()
    record = dist_info + "RECORD"
    order = sorted(n for n in data if not n.startswith(dist_info))
    order += sorted(n for n in data if n.startswith(dist_info) and n != record)
    rows = [f"{n},{record_hash(data[n])},{len(data[n])}" for n in order]
    data[record] = ("\n".join(rows + [f"{record},,"]) + "\n").encode()
    order.append(record)
    out = Path(outdir) / f"{name}-{version}-{py}-{abi}-{'.'.join(platforms)}.whl"
    tmp = out.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w") as zout:
        for n in order:
            info, _ = members.get(n, (None, b""))
            if epoch is not None:
                date = time.gmtime(max(int(epoch), 315532800))[:6]
            else:
                date = info.date_time if info else (1980, 1, 1, 0, 0, 0)
            zi = zipfile.ZipInfo(n, date_time=date)
            executable = info is not None and (info.external_attr >> 16) & 0o111
            zi.external_attr = (0o100755 if executable else 0o100644) << 16
            zi.compress_type = zipfile.ZIP_DEFLATED
            zi.create_system = 3
            zout.writestr(zi, data[n], compresslevel=9)
    tmp.replace(out)
    print(out)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
