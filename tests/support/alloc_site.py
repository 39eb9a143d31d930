"""Allocations of known sizes at known lines, for the memory report tests.

Each allocating line carries a ``# site: NAME`` marker; ``line_of(NAME)`` finds
its number, so the tests never hard-code line numbers of this file.
"""

from __future__ import annotations

import tracemalloc

FILE = __file__
held: list[bytearray] = []


def allocate(big: int, medium: int, small: int) -> None:
    held.append(bytearray(big))  # site: big
    held.append(bytearray(medium))  # site: medium
    held.append(bytearray(small))  # site: small


def grow(amount: int) -> None:
    held.append(bytearray(amount))  # site: grow


def release() -> None:
    held.clear()


def line_of(name: str) -> int:
    marker = f"# site: {name}"
    with open(FILE, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            if text.rstrip().endswith(marker):
                return number
    raise LookupError(name)


def source_of(name: str) -> str:
    """The stripped source text of a site, as a report shows it."""
    with open(FILE, encoding="utf-8") as f:
        return f.readlines()[line_of(name) - 1].strip()


def only_here(snapshot: tracemalloc.Snapshot) -> tracemalloc.Snapshot:
    """The part of a real snapshot that this file allocated."""
    return snapshot.filter_traces([tracemalloc.Filter(True, FILE)])


def nothing(snapshot: tracemalloc.Snapshot) -> tracemalloc.Snapshot:
    """A real snapshot with every trace filtered away."""
    return snapshot.filter_traces([tracemalloc.Filter(True, "/nonexistent/*")])
