"""Memory profiling and garbage-collection diagnostics for the platform's application containers."""

import copy as copy
import gc as gc
import linecache as linecache
import logging as logging
import threading as threading
import tracemalloc as tracemalloc
from typing import Optional as Optional

from zelk_sdk.logging import get_logger as get_logger

class LeakscopeManager(threading.Thread):
    logger: logging.Logger
    debug: bool
    _limit: int
    _first_tm_snapshot: tracemalloc.Snapshot | None
    _last_tm_snapshot: tracemalloc.Snapshot | None
    def __init__(self, limit: int = 10, logger: Optional[logging.Logger] = None, debug: bool = False) -> None: ...
    def display_top_trace_scripts(self, snapshot: tracemalloc.Snapshot, key_type: str = "lineno") -> None: ...
    def compare_snapshots(self, cur_tm_snapshot: tracemalloc.Snapshot) -> None: ...
    def leakscope_check(self) -> bool: ...
    def stop(self) -> None: ...
