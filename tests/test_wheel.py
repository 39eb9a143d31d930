"""The wheel that `pip wheel .` builds: its contents, its metadata, and an
install into a fresh environment without building anything.

The whole suite against an installed wheel is scripts/wheel-check.sh; this
test is the quick part of it. ZELK_SKIP_WHEEL=1 leaves it out.
"""

from __future__ import annotations

import email.parser
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(not (ROOT / "pyproject.toml").is_file(), reason="needs the source tree"),
]

STUBS = ["zelk_sdk/model/fetch.pyi", "zelk_sdk/redis/flowsweep.pyi", "zelk_sdk/debug/leakscope.pyi"]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", ".", "-w", str(out), "--no-build-isolation", "--no-deps", "-q"],
        cwd=ROOT, check=True, capture_output=True, timeout=600,
    )
    (found,) = out.glob("zelk_sdk-*.whl")
    return found


def test_wheel_carries_modules_stubs_and_licence_but_no_sources(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    for stub in [*STUBS, "zelk_sdk/py.typed", "zelk_sdk/cli.py", "zelk_sdk/__main__.py", "zelk_sdk/logging.py",
                 "zelk_sdk/constants/__init__.py", "zelk_sdk/constants/variables.py", "zelk_sdk/redis/utils.py"]:
        assert stub in names, stub
    for module in ("zelk_sdk/model/fetch.", "zelk_sdk/debug/leakscope."):
        assert any(n.startswith(module) and n.endswith(".so") for n in names), module
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    assert not [n for n in names if n.endswith((".cpp", ".hpp")) or "/_frame/" in n]
    assert not [n for n in names if "__pycache__" in n or n.startswith(("tests/", "bench/", "scripts/"))]


def test_wheel_metadata_is_complete(wheel):
    zf = zipfile.ZipFile(wheel)
    (meta_name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
    meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    import zelk_sdk

    assert meta["Name"] == "zelk-sdk"
    assert meta["Version"] == zelk_sdk.__version__
    assert meta["License-Expression"] == "Apache-2.0"
    assert meta["Requires-Python"] == "<3.14,>=3.13"
    requires = meta.get_all("Requires-Dist")
    assert "requests>=2.28" in requires and "python-magic>=0.4.27" in requires
    assert 'redis>=5; extra == "redis"' in requires
    assert meta["Summary"]
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()
    (entry_points,) = [n for n in zf.namelist() if n.endswith(".dist-info/entry_points.txt")]
    assert "zelk-sdk = zelk_sdk.cli:main" in zf.read(entry_points).decode()
    assert "-cp313-cp313-" in wheel.name


def test_wheel_installs_and_runs_in_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120)
    python = venv / "bin" / "python"
    # binary packages only: nothing may need a compiler here; this pip installs into the new environment
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--only-binary=:all:",
                    str(wheel)], check=True, capture_output=True, timeout=600)
    probe = (
        "import zelk_sdk.model.fetch as f, zelk_sdk.debug.leakscope as l, zelk_sdk.cli, inspect, pickle;"
        "assert 'site-packages' in f.__file__;"
        "assert pickle.loads(pickle.dumps(f.download_url)) is f.download_url;"
        "print(inspect.signature(f.download_file), l.LeakscopeManager().leakscope_check())"
    )
    r = subprocess.run([str(python), "-c", probe], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "(cloud_url: 'str', local_file: 'str') -> 'bool' True\n"
    cli = subprocess.run([str(venv / "bin" / "zelk-sdk"), "model-type", str(tmp_path)],
                         capture_output=True, text=True, timeout=60)
    assert cli.returncode == 1 and "Could not determine model type" in cli.stderr
