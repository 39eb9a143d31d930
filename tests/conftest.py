import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# The package under test is the installed one, never the source tree.
SRC = HERE.parent / "src"
assert not any(Path(p).resolve() == SRC for p in sys.path if p), "source tree on sys.path"

CORPUS = HERE.parent.parent / "shared" / "corpus"

from support.emulation import EMULATED  # noqa: E402

if EMULATED:
    # Under emulation every instruction is translated: Hypothesis's time limit
    # per example and its too-slow check would measure the emulator.
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "emulated", parent=settings.default, deadline=None, suppress_health_check=[HealthCheck.too_slow]
    )
    settings.load_profile("emulated")


@pytest.fixture(scope="session")
def corpus() -> Path:
    if not CORPUS.is_dir():
        pytest.skip("shared corpus not present")
    return CORPUS
