import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# The package under test is the installed one, never the source tree.
SRC = HERE.parent / "src"
assert not any(Path(p).resolve() == SRC for p in sys.path if p), "source tree on sys.path"

# real inputs that nobody on this project wrote; tests/data/README.md says where each comes from
DATA = HERE / "data"

from support.emulation import EMULATED  # noqa: E402

if EMULATED:
    # Under emulation every instruction is translated: Hypothesis's time limit
    # per example and its too-slow check would measure the emulator.
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "emulated", parent=settings.default, deadline=None, suppress_health_check=[HealthCheck.too_slow]
    )
    settings.load_profile("emulated")


NATIVE_MODULES = ("zelk_sdk.model.fetch", "zelk_sdk.redis.flowsweep", "zelk_sdk.debug.leakscope")


@pytest.fixture(autouse=True)
def _namespace_order_kept():
    """A name that a test deletes (monkeypatch.delattr) comes back at the end of
    the module's namespace; put the names back in their import order so that a
    later test sees each module as its import left it."""
    before = {m: list(vars(m)) for m in map(sys.modules.get, NATIVE_MODULES) if m is not None}
    yield
    for module, order in before.items():
        ns = vars(module)
        if list(ns) != order and set(ns) == set(order):
            items = dict(ns)
            ns.clear()
            ns.update((k, items[k]) for k in order)


@pytest.fixture(scope="session")
def corpus() -> Path:
    return DATA


@pytest.fixture(scope="session")
def flow_exports(corpus) -> list[Path]:
    """The real flows exports in tests/data/nodered, in name order."""
    paths = sorted((corpus / "nodered").glob("*.json"))
    assert paths, f"no flows exports in {corpus / 'nodered'}"
    return paths


@pytest.fixture
def fetch():
    from zelk_sdk.model import fetch as module

    return module


@pytest.fixture
def fetch_log(fetch, monkeypatch):
    """The fetch module's logger, rebound to a recorder for the test."""
    from support.logcap import RecordingLogger

    rec = RecordingLogger()
    monkeypatch.setattr(fetch, "logger", rec)
    return rec


@pytest.fixture
def sweep_log(monkeypatch):
    """The flowsweep module's logger, rebound to a recorder for the test."""
    from support.logcap import RecordingLogger
    from zelk_sdk.redis import flowsweep

    rec = RecordingLogger()
    monkeypatch.setattr(flowsweep, "logger", rec)
    return rec


@pytest.fixture
def backend():
    from support.backend import Backend

    with Backend() as b:
        yield b


@pytest.fixture
def model_env(fetch, backend, tmp_path, monkeypatch):
    """fetch pointed at the local backend, a token file and a base directory."""
    token = tmp_path / "token"
    token.write_text(backend.token + "\n")
    base = tmp_path / "models"
    monkeypatch.setattr(fetch, "TOKEN_FILE", str(token))
    monkeypatch.setattr(fetch, "MODEL_URL", backend.model_url)
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", str(base))
    return base


def pytest_collection_modifyitems(config, items):
    if os.environ.get("ZELK_SKIP_WHEEL") == "1":
        skip = pytest.mark.skip(reason="ZELK_SKIP_WHEEL=1")
        for item in items:
            if "wheel" in item.keywords:
                item.add_marker(skip)
