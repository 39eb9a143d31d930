"""Whether the suite runs under user-mode emulation, and a skip for the few
tests that cannot.

scripts/arm.sh runs the suite on 32-bit ARM through an emulator and sets
ZELK_EMULATED=1. Under emulation the code is the real armv7l build, but the
kernel is the host's and every instruction is translated: time-critical
assertions, ptrace and /proc details of the emulator itself are not those of a
device. A test that depends on such a thing is marked with
``@not_under_emulation("reason")``; the reason is printed in the skip summary.
"""

from __future__ import annotations

import os
import platform
import struct
import sys

import pytest

EMULATED_ENV = "ZELK_EMULATED"


def emulated(environ: dict[str, str] | os._Environ[str] = os.environ) -> bool:
    """True when the environment says that the suite runs under emulation."""
    return environ.get(EMULATED_ENV, "").strip().lower() not in ("", "0", "false", "no")


EMULATED = emulated()

# Facts of the interpreter the suite runs in (not of the machine it is on).
MACHINE = platform.machine()
POINTER_BITS = struct.calcsize("P") * 8
SSIZE_MAX = sys.maxsize


# How much slower than native the emulated run is, at worst: compiled code
# 5 to 20 times, process start-up (an interpreter, a server) more.
SLOWDOWN = 20 if EMULATED else 1


def scaled(seconds: float) -> float:
    """A wait or timeout of `seconds` on the host, as long as it must be here.

    For limits that guard against a hang (a server that never comes up, a
    subprocess that never ends), not for limits a test asserts."""
    return seconds * SLOWDOWN


def not_under_emulation(reason: str) -> pytest.MarkDecorator:
    """Skips the test under emulation; `reason` says what emulation lacks."""
    if not reason or not reason.strip():
        raise ValueError("a test skipped under emulation must say why")
    return pytest.mark.skipif(EMULATED, reason=f"not under emulation: {reason}")
