"""Normal and full size of the reliability tests.

The normal suite (what CI runs) runs every reliability test at a size that
keeps the whole suite within minutes. With ``ZELK_FULL=1`` the same tests run
at full size: 50 000 calls per leak case, 30 kills, more generated examples.
``ZELK_SANITIZED=1`` is set by scripts/sanitize.sh: the sanitizer's allocator
holds freed memory back, so resident-memory figures mean nothing there.
"""

from __future__ import annotations

import os

FULL = os.environ.get("ZELK_FULL", "") not in ("", "0")
SANITIZED = os.environ.get("ZELK_SANITIZED", "") not in ("", "0")


def scale(normal: int, full: int) -> int:
    """A count for this mode."""
    return full if FULL else normal
