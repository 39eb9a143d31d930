"""Names of the fetch module's scratch entries, as a writer of the module
makes them: ".zelk-tmp-<16 hex>-<8 hex check>.<kind>"."""

from __future__ import annotations

import os
import subprocess
import sys
from contextlib import contextmanager
from typing import Iterator


def check_value(digits: str, kind: str) -> int:
    h = 2166136261
    for b in b"zelk scratch " + digits.encode() + kind.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def scratch_name(kind: str = ".part", digits: str | None = None) -> str:
    digits = digits or os.urandom(8).hex()
    return f".zelk-tmp-{digits}-{check_value(digits, kind):08x}{kind}"


def keyed_name(key: str, kind: str) -> str:
    """The entry of a kind that belongs to one destination (".resume",
    ".resinfo") or one model (".lock"): the same name every time."""
    h = 14695981039346656037
    for b in kind.encode() + b"\0" + os.fsencode(key):
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return scratch_name(kind, f"{h:016x}")


_HOLDER = "import fcntl, sys, time\nf = open(sys.argv[1], 'a')\nfcntl.flock(f, fcntl.LOCK_EX)\nprint('held', flush=True)\ntime.sleep(600)\n"


@contextmanager
def held(path: object) -> Iterator[subprocess.Popen[str]]:
    """`path` locked by another process (as flock(1) or a fetch stuck on its
    server would hold it), until the block ends."""
    holder = subprocess.Popen([sys.executable, "-c", _HOLDER, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "held\n"
        yield holder
    finally:
        holder.kill()
        holder.wait()
