"""Cost of a leakscope check pass with debug off, against a bare gc.collect().

With debug off a check pass is meant to be one full collection and nothing
else, so the ratio should stay at 1.00 within noise. The heap is filled with
many live container objects first, so that a collection has real work to do.
A debug pass is timed as well, for reference.

    python bench/bench_leakscope.py [--objects N] [--runs N]
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time
import tracemalloc

from zelk_sdk.debug import leakscope


class Quiet:
    def info(self, message):
        pass


def medians(cases, runs: int) -> list[float]:
    """Median seconds of each callable; the cases take turns in every run, so
    that drift of the machine affects all of them alike."""
    for fn in cases:
        fn()  # warm up
    samples: list[list[float]] = [[] for _ in cases]
    for _ in range(runs):
        for fn, out in zip(cases, samples):
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return [statistics.median(s) for s in samples]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=1_000_000, help="live container objects on the heap")
    parser.add_argument("--runs", type=int, default=15, help="timed runs per case (the median is reported)")
    args = parser.parse_args()

    live = [{"i": i, "items": [i]} for i in range(args.objects // 2)]
    gc.collect()

    manager = leakscope.LeakscopeManager(logger=Quiet())
    baseline, check_off = medians([gc.collect, manager.leakscope_check], args.runs)

    debug = leakscope.LeakscopeManager(limit=10, logger=Quiet(), debug=True)
    try:
        (check_on,) = medians([debug.leakscope_check], max(3, args.runs // 3))
    finally:
        debug.stop()
        tracemalloc.stop()

    print(f"leakscope check pass, {len(live) * 2:,} live containers, median of {args.runs} runs")
    print(f"{'case':<34}{'median ms':>12}{'ratio':>10}")
    print(f"{'gc.collect() (baseline)':<34}{baseline * 1e3:>12.3f}{1.0:>10.2f}")
    print(f"{'leakscope_check, debug off':<34}{check_off * 1e3:>12.3f}{check_off / baseline:>10.2f}")
    print(f"{'leakscope_check, debug on':<34}{check_on * 1e3:>12.3f}{check_on / baseline:>10.2f}")


if __name__ == "__main__":
    main()
