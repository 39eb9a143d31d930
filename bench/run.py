"""Benchmarks of the compiled modules, each against its peer and its limit.

    .venv/bin/python bench/run.py [--quick] [--rows import,walk,...] [--cache DIR]

Prints one Markdown table. Every row runs in a fresh process of its own (so
that the heap one row builds does not slow the collections of the next), and
each row measures the native figure and its baselines in that same process,
taking turns run by run, so that all of them see the same machine. A figure is
the median of the runs with their range in brackets; a ratio is the median of
the per-run ratios, with their range, as "speed": baseline time / native time,
so that above 1 the native code is faster.

The servers it needs (redis-server, nginx) are started on free 127.0.0.1 ports
and stopped again; the large files (a 1 GiB body, a 512 MiB model archive) are
built once under the cache directory and reused by later runs.

This file is the driver; the rows are in rows_fetch.py, rows_flowsweep.py,
rows_leakscope.py and rows_import.py, and what they measure with (`alternate`)
and write their lines with (`line`, `table`) is in measure.py.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from measure import line, progress, table  # noqa: E402
from rows_fetch import (  # noqa: E402
    row_call_overhead,
    row_completeness,
    row_download,
    row_extract,
    row_model_type,
    row_overlap,
    row_resume,
)
from rows_flowsweep import perf_target, row_clear, row_walk  # noqa: E402
from rows_import import row_import  # noqa: E402
from rows_leakscope import row_check_pass  # noqa: E402

ROWS = ["import", "walk", "clear", "model type", "download", "extract", "completeness", "resume", "overlap",
        "check pass", "call overhead"]

ROW_FUNCS = {"import": row_import, "walk": row_walk, "clear": row_clear, "model type": row_model_type,
             "download": row_download, "extract": row_extract, "completeness": row_completeness,
             "resume": row_resume, "overlap": row_overlap,
             "check pass": row_check_pass,
             "call overhead": row_call_overhead}


# ------------------------------------------------------------------ driver


def run_child(row: str, cfg: argparse.Namespace) -> list[dict]:
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        args = [sys.executable, str(Path(__file__)), "--child", row, "--json", out.name, "--cache", str(cfg.cache)]
        if cfg.quick:
            args.append("--quick")
        r = subprocess.run(args)
        if r.returncode != 0:
            return [line(row, f"the row failed (exit status {r.returncode}; see the output above)", "s", None)]
        return json.load(open(out.name))


def header(cfg: argparse.Namespace, started: float, load: tuple[float, ...]) -> str:
    uname = platform.uname()
    return (f"Run {time.strftime('%Y-%m-%d %H:%M', time.localtime(started))}{' (--quick)' if cfg.quick else ''} "
            f"on {uname.machine}, {os.cpu_count()} cores, Linux {uname.release}, Python {platform.python_version()}; "
            f"load average {load[0]:.1f} at the start, {os.getloadavg()[0]:.1f} at the end; "
            f"{(time.time() - started) / 60:.1f} min.")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer runs and smaller bodies (a few minutes)")
    ap.add_argument("--rows", default=",".join(ROWS), help=f"comma-separated rows, of: {', '.join(ROWS)}")
    ap.add_argument("--cache", type=Path, default=Path(os.environ.get("ZELK_BENCH_CACHE", "/var/tmp/zelk-bench")),
                    help="where the large inputs are built once and kept (default /var/tmp/zelk-bench)")
    ap.add_argument("--out", type=Path, default=HERE / "out" / "table.md", help="also write the table here")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--json", help=argparse.SUPPRESS)
    ap.add_argument("--perf-target", nargs=2, help=argparse.SUPPRESS)
    cfg = ap.parse_args()

    if cfg.perf_target:
        perf_target(cfg.perf_target[0], float(cfg.perf_target[1]))
        return
    cfg.cache.mkdir(parents=True, exist_ok=True)
    if cfg.child:
        lines = ROW_FUNCS[cfg.child](cfg)
        with open(cfg.json, "w") as f:
            json.dump(lines, f)
        return

    rows = [r.strip() for r in cfg.rows.split(",") if r.strip()]
    unknown = [r for r in rows if r not in ROW_FUNCS]
    if unknown:
        ap.error(f"unknown rows: {unknown}")
    started, load = time.time(), os.getloadavg()
    lines = []
    for row in rows:
        t = time.perf_counter()
        progress(f"row {row} ...")
        lines += run_child(row, cfg)
        progress(f"row {row}: {time.perf_counter() - t:.0f} s")
    text = header(cfg, started, load) + "\n\n" + table(lines) + "\n"
    print(text)
    with contextlib.suppress(OSError):
        cfg.out.parent.mkdir(parents=True, exist_ok=True)
        cfg.out.write_text(text)


if __name__ == "__main__":
    main()
