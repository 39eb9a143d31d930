"""zelk_sdk.debug.leakscope written in Python: the same imports and the same
class, so that a check pass can be timed against the compiled module."""

import copy
import gc
import linecache
import threading
import tracemalloc
from typing import Optional
import logging

from zelk_sdk.logging import get_logger


class LeakscopeManager(threading.Thread):
    def __init__(self, limit: int = 10, logger: Optional[logging.Logger] = None, debug: bool = False):
        super().__init__()
        if logger is None:
            logger = get_logger("leakscope")
        self.logger = logger
        self.debug = debug
        self._limit = limit
        self.first_tm_snapshot = None
        self.last_tm_snapshot = None
        if self.debug:
            tracemalloc.start()
            self.first_tm_snapshot = tracemalloc.take_snapshot()

    def display_top_trace_scripts(self, snapshot, key_type: str = "lineno") -> None:
        snapshot = snapshot.filter_traces(
            (
                tracemalloc.Filter(False, "<frozen importlib._bootstrap>"),
                tracemalloc.Filter(False, "<unknown>"),
            )
        )
        top_stats = snapshot.statistics(key_type)
        self.logger.info(f"leak.tm - Top {self._limit} lines")
        for index, stat in enumerate(top_stats[: self._limit], 1):
            frame = stat.traceback[0]
            self.logger.info(f"leak.tm -  #{index}: {frame.filename}:{frame.lineno}: {stat.size / 1024:.2f}KiB")
            line = linecache.getline(frame.filename, frame.lineno).strip()
            if line:
                self.logger.info(f"leak.tm - \t{line}")
        other = top_stats[self._limit :]
        if other:
            size = sum([stat.size for stat in other])
            self.logger.info(f"leak.tm -  {len(other)} other: {size / 1024:.1f} KiB")
        total = sum([stat.size for stat in top_stats])
        self.logger.info(f"leak.tm -  Total allocated size: {total / 1024:.1f} KiB")

    def compare_snapshots(self, cur_tm_snapshot) -> None:
        for label, baseline in (("first", "first_tm_snapshot"), ("last", "last_tm_snapshot")):
            if getattr(self, baseline) is None:
                continue
            self.logger.info(f"leak.tm - compare with {label}: =======================")
            top_stats = cur_tm_snapshot.compare_to(getattr(self, baseline), "lineno")
            for stat in top_stats[:10]:
                self.logger.info(f"leak.tm - compare with {label}: {stat}")

    def leakscope_check(self) -> bool:
        if not self.debug:
            gc.collect()
            return True
        cur_tm_snapshot = tracemalloc.take_snapshot()
        self.display_top_trace_scripts(snapshot=cur_tm_snapshot)
        tm_size, tm_peak = tracemalloc.get_traced_memory()
        self.logger.info(f"leak.tm - get_traced_memory: {tm_size}, {tm_peak}")
        self.compare_snapshots(cur_tm_snapshot=cur_tm_snapshot)
        self.last_tm_snapshot = copy.copy(cur_tm_snapshot)
        self.logger.info(f"leak.gc - get_count (before): {gc.get_count()}")
        self.logger.info(f"leak.gc - collect: {gc.collect()}")
        self.logger.info(f"leak.gc - get_count (after): {gc.get_count()}")
        return True

    def stop(self) -> None:
        if self.debug:
            tracemalloc.stop()
