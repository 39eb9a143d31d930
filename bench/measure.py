"""What every row of bench/run.py measures with and writes its lines with:
the one loop that makes cases take turns (`alternate`), the line of the table
(`line`) and the table itself (`table`)."""

from __future__ import annotations

import random
import statistics
import sys
import time
from typing import Any, Callable

MiB = 1 << 20


class Quiet:
    """A logger that drops every line."""

    def info(self, message: Any) -> None:
        pass

    debug = warning = error = info


# ------------------------------------------------------------------ measuring


def alternate(cases: list[Callable[[], Any]], runs: int, clock: Callable[[], float] = time.perf_counter, *,
              setup: Callable[[], Any] | None = None, teardown: Callable[[], Any] | None = None,
              warmup: bool = True, order: str = "rotate", seed: int = 0,
              self_timed: bool = False) -> list[list[Any]]:
    """The samples of each case, one per run: its seconds by `clock`, or with
    `self_timed` whatever the case returns (a case that times only part of its
    work returns its figure: a float, or a tuple or dict of them).

    The cases take turns in every run. `order` is their order within a run:
    "rotate" starts run r at case r % len(cases); "shuffle" draws a new order
    for every round from random.Random(seed + round), the rounds counted from 0
    with the warm-up round among them, so that no case always follows another;
    "fixed" keeps the list's order. The warm-up round (`warmup`), whose samples
    are dropped, goes in the list's order unless shuffled. `setup` runs untimed
    before each case and `teardown` untimed after it, in the warm-up round too."""
    if order not in ("rotate", "fixed", "shuffle"):
        raise ValueError(f"unknown order {order!r}")
    n = len(cases)
    rounds = [-1] * warmup + list(range(runs))  # -1: the warm-up round
    samples: list[list[Any]] = [[] for _ in cases]
    for k, r in enumerate(rounds):
        idx = list(range(n))
        if order == "shuffle":
            random.Random(seed + k).shuffle(idx)
        elif order == "rotate" and r >= 0:
            idx = idx[r % n:] + idx[: r % n]
        for i in idx:
            if setup:
                setup()
            if self_timed:
                got = cases[i]()
            else:
                t = clock()
                cases[i]()
                got = clock() - t
            if teardown:
                teardown()
            if r >= 0:
                samples[i].append(got)
    return samples


def speed(baseline: list[float] | None, native: list[float]) -> list[float] | None:
    """Per-run baseline time / native time."""
    if not baseline:
        return None
    return [b / n for b, n in zip(baseline, native) if n > 0]


def med(values: list[float]) -> float:
    return statistics.median(values)


def progress(msg: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# ------------------------------------------------------------------ the table


def line(row: str, case: str, unit: str, native: list[float] | None, *, peer: list[float] | None = None,
         peer_label: str = "", limit: list[float] | None = None, limit_label: str = "",
         vs_peer: list[float] | None = None, vs_limit: list[float] | None = None, target: str = "-",
         check: tuple[str, str, float] | None = None, note: str = "", scale: float = 1.0) -> dict:
    """One line of the table. Figures are in seconds (or bytes for MiB) and
    shown in `unit`; `check` is (which ratio or figure, "min"/"max", bound)."""
    if vs_peer is None and native and peer:
        vs_peer = speed(peer, native)
    if vs_limit is None and native and limit:
        vs_limit = speed(limit, native)
    return dict(row=row, case=case, unit=unit, native=native, peer=peer, peer_label=peer_label, limit=limit,
                limit_label=limit_label, vs_peer=vs_peer, vs_limit=vs_limit, target=target, check=check,
                note=note, scale=scale)


UNITS = {"s": 1.0, "ms": 1e3, "us": 1e6, "ns": 1e9, "MiB": 1 / MiB}


def fmt_fig(values: list[float] | None, unit: str, scale: float = 1.0) -> str:
    if not values:
        return "-"
    k = UNITS[unit] * scale
    med = statistics.median(values) * k
    lo, hi = min(values) * k, max(values) * k
    digits = 0 if med >= 100 else 1 if med >= 10 else 2
    if len(values) == 1:
        return f"{med:.{digits}f} {unit}"
    return f"{med:.{digits}f} {unit} [{lo:.{digits}f}-{hi:.{digits}f}]"


def fmt_ratio(values: list[float] | None) -> str:
    if not values:
        return "-"
    med = statistics.median(values)
    if len(values) == 1:
        return f"{med:.2f}x"
    return f"{med:.2f}x [{min(values):.2f}-{max(values):.2f}]"


def verdict(ln: dict) -> str:
    if not ln["check"]:
        return ""
    which, how, bound = ln["check"]
    values = ln[which]
    if not values:
        return "not measured"
    med = statistics.median(values) * (1 / MiB if which == "native" and ln["unit"] == "MiB" else 1)
    ok = med >= bound if how == "min" else med < bound
    return "met" if ok else "**missed**"


def table(lines: list[dict]) -> str:
    out = ["| row | case | native | peer (same run) | limit (same run) | native vs peer | native vs limit | target | |",
           "|---|---|---|---|---|---|---|---|---|"]
    for ln in lines:
        peer = fmt_fig(ln["peer"], ln["unit"], ln["scale"])
        if ln["peer_label"]:
            peer = f"{ln['peer_label']}: {peer}"
        limit = fmt_fig(ln["limit"], ln["unit"], ln["scale"])
        if ln["limit_label"]:
            limit = f"{ln['limit_label']}: {limit}"
        case = ln["case"] + (f" ({ln['note']})" if ln["note"] else "")
        out.append(f"| {ln['row']} | {case} | {fmt_fig(ln['native'], ln['unit'], ln['scale'])} | {peer} | {limit} | "
                   f"{fmt_ratio(ln['vs_peer'])} | {fmt_ratio(ln['vs_limit'])} | {ln['target']} | {verdict(ln)} |")
    return "\n".join(out)
