"""The import row of bench/run.py: the time to import each compiled module in a
fresh process, against its pure-Python peer and a bare interpreter start."""

from __future__ import annotations

import argparse
import functools
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import alternate, line

HERE = Path(__file__).resolve().parent

IMPORT_SNIPPET = "import time; t = time.perf_counter(); import {m}; print(time.perf_counter() - t)"
MODULES = [("zelk_sdk.model.fetch", "py_fetch"), ("zelk_sdk.redis.flowsweep", "py_flowsweep"),
           ("zelk_sdk.debug.leakscope", "py_leakscope")]


def row_import(cfg: argparse.Namespace) -> list[dict]:
    runs = 5 if cfg.quick else 15
    env = {**os.environ, "PYTHONPATH": str(HERE / "baselines")}
    with tempfile.TemporaryDirectory() as cwd:  # keep the source tree off sys.path

        def in_process(mod: str) -> float:
            r = subprocess.run([sys.executable, "-c", IMPORT_SNIPPET.format(m=mod)], cwd=cwd, env=env,
                               capture_output=True, text=True, check=True)
            return float(r.stdout)

        def bare() -> float:
            t = time.perf_counter()
            subprocess.run([sys.executable, "-c", "pass"], cwd=cwd, env=env, check=True)
            return time.perf_counter() - t

        lines = []
        for native_mod, peer_mod in MODULES:
            for m in (native_mod, peer_mod):
                in_process(m)  # warm the page cache and the bytecode cache
            nat, peer, lim = alternate([functools.partial(in_process, native_mod),
                                        functools.partial(in_process, peer_mod), bare], runs,
                                       warmup=False, order="fixed", self_timed=True)
            lines.append(line("import", f"`import {native_mod}` in a fresh process", "ms", nat, peer=peer,
                              peer_label=f"`{peer_mod}`", limit=lim, limit_label="whole `python -c pass`",
                              vs_limit=None, target="native no slower than the peer (>= 1.00x)",
                              check=("vs_peer", "min", 1.0)))
            lines[-1]["vs_limit"] = None
    return lines

