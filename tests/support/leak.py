"""Shared pieces of the memory diagnostics tests."""

from __future__ import annotations

import tracemalloc

import pytest

from support import alloc_site


@pytest.fixture(autouse=True)
def no_tracing_left():
    """Every test starts and ends with the allocation tracer off."""
    tracemalloc.stop()
    yield
    tracemalloc.stop()
    alloc_site.release()


class Recorder:
    """Stands in for a module: forwards every attribute to the real one and
    records which attributes were used and what each call returned."""

    def __init__(self, real):
        self._real = real
        self.used: list[str] = []
        self.calls: list[tuple[str, tuple, dict, object]] = []

    def __getattr__(self, name):
        self.used.append(name)
        attr = getattr(self._real, name)
        if not callable(attr):
            return attr

        def forward(*args, **kwargs):
            result = attr(*args, **kwargs)
            self.calls.append((name, args, kwargs, result))
            return result

        return forward

    def results(self, name: str) -> list:
        return [r for n, _, _, r in self.calls if n == name]
