"""Names of the fetch module's scratch entries, as a writer of the module
makes them: ".zelk-tmp-<16 hex>-<8 hex check>.<kind>"."""

from __future__ import annotations

import os


def check_value(digits: str, kind: str) -> int:
    h = 2166136261
    for b in b"zelk scratch " + digits.encode() + kind.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def scratch_name(kind: str = ".part", digits: str | None = None) -> str:
    digits = digits or os.urandom(8).hex()
    return f".zelk-tmp-{digits}-{check_value(digits, kind):08x}{kind}"
