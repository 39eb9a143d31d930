"""The build and the interpreter it runs in agree: on the host, and on 32-bit
ARM under emulation (scripts/arm.sh)."""

from __future__ import annotations

import importlib
import os
import struct
import sys
import sysconfig
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import emulation

SRC = Path(__file__).resolve().parent.parent / "src"

# ELF e_machine of the interpreters the suite runs on
ELF_MACHINE = {"x86_64": 62, "armv7l": 40, "aarch64": 183}
EF_ARM_ABI_FLOAT_HARD = 0x400


def native_module_names() -> list[str]:
    """Dotted names of the extension modules that the tree has sources for."""
    names = []
    for d in sorted(SRC.glob("zelk_sdk/*/*/")):
        if any(d.glob("*.cpp")) and not d.name.startswith("_"):
            names.append(".".join(d.relative_to(SRC).parts))
    return names


def test_emulated_suite_runs_on_32_bit_arm():
    # arm.sh sets the flag; a root of the wrong architecture (a 64-bit ARM
    # userland, or no emulation at all) would pass every other test unnoticed
    if not emulation.EMULATED:
        return
    # scripts/wheels.sh proves its aarch64 wheel under emulation too, and names it
    expected = os.environ.get("ZELK_EMULATED_MACHINE", "armv7l")
    assert emulation.MACHINE == expected
    if expected == "armv7l":
        assert emulation.POINTER_BITS == 32
        assert sys.maxsize == 2**31 - 1


@pytest.mark.parametrize("name", native_module_names())
def test_native_module_is_built_for_this_interpreter(name):
    module = importlib.import_module(name)
    path = Path(module.__file__)
    # the installed copy, compiled: neither a source-tree leftover nor a stub
    assert SRC not in path.parents
    assert path.name.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    header = path.read_bytes()[:52]
    assert header[:4] == b"\x7fELF"
    assert header[4] == {32: 1, 64: 2}[emulation.POINTER_BITS], "ELF class differs from the interpreter's"
    order = "<" if header[5] == 1 else ">"
    e_machine = struct.unpack_from(order + "H", header, 18)[0]
    if emulation.MACHINE in ELF_MACHINE:
        assert e_machine == ELF_MACHINE[emulation.MACHINE]
    if emulation.MACHINE == "armv7l":
        (e_flags,) = struct.unpack_from(order + "I", header, 36)
        assert e_flags & EF_ARM_ABI_FLOAT_HARD, "not a hard-float (armhf) object"


def test_native_module_list_is_not_empty():
    if not SRC.is_dir():
        pytest.skip("run from a copy of the tests, without the source tree")
    assert native_module_names(), "no extension module sources found under src/zelk_sdk"


def test_emulation_flag_reading():
    assert not emulation.emulated({})
    assert not emulation.emulated({"ZELK_EMULATED": ""})
    assert not emulation.emulated({"ZELK_EMULATED": "0"})
    assert not emulation.emulated({"ZELK_EMULATED": "false"})
    assert emulation.emulated({"ZELK_EMULATED": "1"})
    assert emulation.emulated({"ZELK_EMULATED": "yes"})


def test_skip_under_emulation_needs_a_reason():
    with pytest.raises(ValueError):
        emulation.not_under_emulation(" ")
    mark = emulation.not_under_emulation("ptrace of the emulator")
    assert mark.kwargs["reason"].endswith("ptrace of the emulator")
    assert mark.args == (emulation.EMULATED,)


# Under emulation an example may take many times its native time; the suite's
# Hypothesis profile must not fail it for that.
@settings(max_examples=2)
@given(st.integers())
def test_slow_examples_pass_under_emulation(x):
    if emulation.EMULATED:
        time.sleep(0.3)


def test_scaled_waits():
    assert emulation.scaled(2) == 2 * emulation.SLOWDOWN
    assert emulation.SLOWDOWN > 1 if emulation.EMULATED else emulation.SLOWDOWN == 1
