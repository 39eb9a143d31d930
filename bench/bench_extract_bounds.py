"""Hostile archives: time and peak resident growth of download_url's
extraction, against tarfile's own extractall (data filter) on the same archive
and, with --before PYTHON, against another build's download_url.

    .venv/bin/python bench/bench_extract_bounds.py [--heavy] [--before /path/to/python] [--timeout S]

Each figure is one run in a fresh process (CPU seconds, wall seconds, peak
RSS growth); "timeout" means the run was stopped after --timeout seconds.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.hostile import HEAVY, SHAPES, measure, xz_tar  # noqa: E402


def cell(run) -> str:
    try:
        r = run()
    except subprocess.TimeoutExpired as e:
        return f"timeout ({e.timeout:.0f} s)"
    except AssertionError as e:
        return "crashed: " + str(e).strip().splitlines()[-1][:80]
    outcome = "installed" if r["outcome"] == "installed" else "refused: " + r["outcome"].split(" - ")[-1][:70]
    return f"{r['cpu']:.2f} s CPU, {r['wall']:.2f} s wall, +{r['rss_growth'] / 2**20:.0f} MiB; {outcome}"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--heavy", action="store_true", help="also the archives of 100 000 and 1 000 000 members")
    ap.add_argument("--before", help="the interpreter of an earlier build, measured the same way")
    ap.add_argument("--timeout", type=float, default=120)
    ap.add_argument("--only", default="", help="only the shapes whose name holds this")
    cfg = ap.parse_args()
    shapes = {**SHAPES, **HEAVY} if cfg.heavy else SHAPES
    cols = ["archive", "xz size", "download_url (this build)", "TarFile.extractall(filter='data')"]
    if cfg.before:
        cols.insert(3, "download_url (before)")
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    for name, (build, _) in shapes.items():
        if cfg.only not in name:
            continue
        data = xz_tar(build())
        row = [name, f"{len(data)} B"]
        with tempfile.TemporaryDirectory(dir="/var/tmp") as tmp:
            row.append(cell(lambda: measure(data, Path(tmp) / "native", timeout=cfg.timeout)))
            if cfg.before:
                row.append(cell(lambda: measure(data, Path(tmp) / "before", timeout=cfg.timeout, python=cfg.before)))
            row.append(cell(lambda: measure(data, Path(tmp) / "tarfile", "tarfile", timeout=cfg.timeout)))
        print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
