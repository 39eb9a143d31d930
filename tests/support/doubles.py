"""Stand-ins for what flowsweep is handed: a flow and a key store. (The logger
stand-in is support.logcap.RecordingLogger.)"""

from __future__ import annotations

import fnmatch


class Flow:
    """What flowsweep reads of a flow: `_nodes`, its node table by id."""

    def __init__(self, nodes: dict | None = None) -> None:
        self._nodes = {} if nodes is None else nodes


class MemoryRedis:
    """The wrapper's scan_keys and delete_many over keys held in a dict.

    Matching is shell-style: Redis matching as long as the ids hold no glob
    characters. With `record` the patterns scanned and the keys handed to
    delete_many are kept; `fail`, an exception class and its text, makes both
    calls raise (a new instance each time: a raised one keeps its traceback).
    """

    def __init__(self, keys=(), record: bool = True, fail: tuple[type[BaseException], str] | None = None) -> None:
        self.keys = dict.fromkeys(keys)
        self.record, self.fail = record, fail
        self.patterns: list[str] = []
        self.deleted: list[list] = []

    def _called(self, calls: list, arg: object) -> None:
        if self.fail:
            raise self.fail[0](self.fail[1])
        if self.record:
            calls.append(arg)

    def scan_keys(self, pattern: str = "*") -> list[str]:
        self._called(self.patterns, pattern)
        return [k for k in self.keys if fnmatch.fnmatchcase(k, pattern)]

    def delete_many(self, keys) -> int:
        keys = list(keys)
        self._called(self.deleted, keys)
        gone = [k for k in dict.fromkeys(keys) if k in self.keys]  # a repeated key counts once
        for k in gone:
            del self.keys[k]
        return len(gone)
