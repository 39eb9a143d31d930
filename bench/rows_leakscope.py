"""The check pass row of bench/run.py: a leakscope check pass with debug off
against a bare collection, and with debug on against the pure-Python peer."""

from __future__ import annotations

import argparse
import gc
import time

from measure import Quiet, alternate, line


def row_check_pass(cfg: argparse.Namespace) -> list[dict]:
    import tracemalloc

    from baselines import py_leakscope
    from zelk_sdk.debug import leakscope

    runs = 7 if cfg.quick else 21
    lines = []
    live = [{"i": i, "items": [i]} for i in range(500_000)]
    gc.collect()
    off = leakscope.LeakscopeManager(logger=Quiet())
    bare, n = alternate([gc.collect, off.leakscope_check], runs, time.process_time)
    lines.append(line("check pass", f"`leakscope_check`, debug off, {len(live) * 2:,} live containers (CPU time)",
                      "ms", n, peer=bare, peer_label="bare `gc.collect()`",
                      target="within 5% of bare collect (>= 0.95x)", check=("vs_peer", "min", 1 / 1.05)))
    del live, off
    gc.collect()

    native = leakscope.LeakscopeManager(limit=10, logger=Quiet(), debug=True)
    peer = py_leakscope.LeakscopeManager(limit=10, logger=Quiet(), debug=True)
    live = [[i] for i in range(100_000)]  # traced: allocated after tracing started
    try:
        n, p = alternate([native.leakscope_check, peer.leakscope_check], 2 if cfg.quick else 3, time.process_time)
    finally:
        native.stop()
        peer.stop()
        tracemalloc.stop()
    lines.append(line("check pass", f"`leakscope_check`, debug on, {len(live):,} live traced objects (CPU time)",
                      "ms", n, peer=p, peer_label="Python", target="native no slower than the peer (>= 1.00x)",
                      check=("vs_peer", "min", 1.0)))
    return lines

