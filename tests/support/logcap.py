"""A logger stand-in that records (level, text) pairs, in call order, or with
keep=False checks each line and drops it (for long runs)."""

from __future__ import annotations


class RecordingLogger:
    def __init__(self, keep: bool = True) -> None:
        self.records: list[tuple[str, str]] = []
        self.keep = keep

    def _rec(self, level: str, message: object, *rest: object) -> None:
        assert not rest, "the modules log one finished text per call"
        assert type(message) is str, f"log message is {type(message).__name__}"
        if self.keep:
            self.records.append((level, message))

    def debug(self, message, *rest):
        self._rec("debug", message, *rest)

    def info(self, message, *rest):
        self._rec("info", message, *rest)

    def warning(self, message, *rest):
        self._rec("warning", message, *rest)

    def error(self, message, *rest):
        self._rec("error", message, *rest)

    @property
    def lines(self) -> list[str]:
        return [m for _, m in self.records]

    def at(self, level: str) -> list[str]:
        return [m for lv, m in self.records if lv == level]

    def clear(self) -> None:
        self.records.clear()
