"""The zelk-sdk command, run as the installed console script, and the demo
whose backend it can be tried against by hand."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from support.archives import gnu_tar_xz
from support.emulation import scaled

SCRIPT = Path(sys.executable).parent / "zelk-sdk"


def run(*args: str, env: dict[str, str] | None = None, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    full_env = {k: v for k, v in os.environ.items() if k not in ("SERVER_HOST", "ZELK_MODEL_DIR", "ZELK_TOKEN_FILE")}
    full_env.update(env or {})
    return subprocess.run(
        [str(SCRIPT), *args], capture_output=True, text=True, env=full_env, timeout=timeout, stdin=subprocess.DEVNULL
    )


@pytest.fixture
def served_model(backend, tmp_path):
    """A model key "person" whose archive holds person/model.tflite."""
    data = gnu_tar_xz(tmp_path, "person", {"model.tflite": b"\0" * 4096, "labels.txt": "person\n"})
    url = backend.serve("person.tar.xz", data)
    backend.model("person", url)
    token = tmp_path / "token"
    token.write_text(backend.token + "\n")
    return backend, token, tmp_path / "models"


def test_console_script_is_installed_with_help_for_each_command():
    assert SCRIPT.is_file()
    top = run("--help")
    assert top.returncode == 0
    for command in ("fetch", "model-type", "flowsweep"):
        assert command in top.stdout
        sub = run(command, "--help")
        assert sub.returncode == 0, sub.stderr
        assert sub.stdout.startswith(f"usage: zelk-sdk {command}")
    assert "--dry-run" in run("flowsweep", "--help").stdout
    as_module = subprocess.run([sys.executable, "-m", "zelk_sdk", "model-type", "--help"],
                               capture_output=True, text=True, timeout=60)
    assert as_module.returncode == 0 and "usage: " in as_module.stdout
    assert run().returncode == 2  # no command
    assert run("fetch", "key", "--timeout", "0").returncode == 2


def test_fetch_prints_the_model_directory_configured_by_options(served_model):
    backend, token, models = served_model
    r = run("fetch", "person", "--server-host", backend.base, "--token-file", str(token), "--model-dir", str(models))
    assert r.returncode == 0, r.stderr
    # stdout holds the directory and nothing else; the log went to stderr
    assert r.stdout == str(models / "person") + "\n"
    assert (models / "person" / "model.tflite").stat().st_size == 4096
    assert "INFO MODEL: Download model" in r.stderr
    assert ("/api/v1/models/person/download-url", "Bearer device-token-1") in [
        (p, h.get("x-device-token")) for p, h in backend.requests
    ]

    # the directory is reused on the next run, without a download
    backend.requests.clear()
    again = run("-q", "fetch", "person", "--server-host", backend.base, "--token-file", str(token),
                "--model-dir", str(models))
    assert again.returncode == 0 and again.stdout == r.stdout
    assert "INFO" not in again.stderr
    assert all(not p.startswith("/files/") for p in backend.paths())


def test_fetch_configured_by_environment_and_the_model_type_of_its_result(served_model):
    backend, token, models = served_model
    env = {"SERVER_HOST": backend.base, "ZELK_TOKEN_FILE": str(token), "ZELK_MODEL_DIR": str(models)}
    r = run("fetch", "person", env=env)
    assert r.returncode == 0, r.stderr
    model_dir = r.stdout.strip()
    assert model_dir == str(models / "person")

    t = run("model-type", model_dir)
    assert t.returncode == 0, t.stderr
    from zelk_sdk.constants import MODEL_TYPE

    assert t.stdout == MODEL_TYPE.TF_LITE + "\n"


def test_fetch_of_a_direct_url_needs_no_token(backend, tmp_path):
    url = backend.serve("cars.tar.xz", gnu_tar_xz(tmp_path, "cars", {"model.xml": "<net/>", "model.bin": b"\1"}))
    r = run("fetch", url, "--model-dir", str(tmp_path / "m"), "--token-file", str(tmp_path / "absent"))
    assert r.returncode == 0, r.stderr
    assert r.stdout == str(tmp_path / "m" / "cars") + "\n"


def test_model_type_failures(tmp_path):
    (tmp_path / "notes.txt").write_text("no model here")
    undetermined = run("model-type", str(tmp_path))
    assert undetermined.returncode == 1 and undetermined.stdout == ""
    assert "Could not determine model type for: " + str(tmp_path) in undetermined.stderr

    missing = run("model-type", str(tmp_path / "absent"))
    assert missing.returncode == 1 and missing.stdout == ""
    assert "ERROR CLI: cannot read the model directory" in missing.stderr


def test_flowsweep_without_the_redis_package_says_what_to_install(tmp_path):
    from importlib.metadata import requires

    # what the hint names is what the package's redis extra requires
    [wanted] = [r.split(";")[0].strip() for r in requires("zelk-sdk") or [] if r.endswith('extra == "redis"')]
    hint = f"pip install '{wanted}'"
    code = "import sys; sys.modules['redis'] = None; from zelk_sdk.cli import main; sys.exit(main(sys.argv[1:]))"
    r = subprocess.run(
        [sys.executable, "-c", code, "flowsweep", "--flows", str(tmp_path / "f.json"), "--node", "a", "--out-key", "k"],
        capture_output=True, text=True, timeout=60,
    )
    assert r.returncode == 1
    assert hint in r.stderr
    assert hint in " ".join(run("flowsweep", "--help").stdout.split())
    wrapper = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['redis'] = None; import zelk_sdk.redis.wrapper"],
        capture_output=True, text=True, timeout=60,
    )
    assert wrapper.returncode == 1
    assert wrapper.stderr.splitlines()[-1] == f"ImportError: zelk_sdk.redis.wrapper needs redis-py: {hint}"


@pytest.mark.parametrize(
    "value, level, first_line",
    [
        ("", 20, None),
        ("warning", 30, None),
        ("Debug", 10, None),
        ("15", 15, None),
        (
            "bogus",
            20,
            "zelk_sdk: ZELK_LOG_LEVEL='bogus' is not a log level (DEBUG, INFO, WARNING, ERROR, CRITICAL or a number);"
            " using INFO",
        ),
    ],
)
def test_log_level_from_the_environment(value, level, first_line):
    """Names in any case and numbers set the level; anything else is said once
    on standard error, however many loggers read it, and INFO is in force."""
    code = (
        "from zelk_sdk.logging import get_logger\n"
        "a, b = get_logger('A'), get_logger('B')\n"
        "print(a.level, b.level)\n"
        "a.info('info line')\n"
        "b.debug('debug line')\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                       env={**os.environ, "ZELK_LOG_LEVEL": value})
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{level} {level}\n"
    lines = r.stderr.splitlines()
    if first_line is not None:
        assert lines.pop(0) == first_line
    assert [line.split(" ", 2)[2] for line in lines] == [
        text for text, at in (("INFO A: info line", 20), ("DEBUG B: debug line", 10)) if at >= level
    ]


# ------------------------------------------------------------------ flowsweep against a private redis-server

FLOWS = [
    {"id": "tab1", "type": "tab", "label": "camera"},
    {"id": "a", "type": "zelk-input", "z": "tab1", "wires": [["b"], ["c"]]},
    {"id": "b", "type": "zelk-model", "z": "tab1", "wires": [["c"]]},
    {"id": "c", "type": "zelk-output", "z": "tab1", "wires": []},
    {"id": "other", "type": "zelk-input", "z": "tab1", "wires": []},
]


@pytest.fixture
def redis_url(request):
    pytest.importorskip("zelk_sdk.redis.flowsweep")
    pytest.importorskip("zelk_sdk.nodered")
    redis_server = pytest.importorskip("support.redis_server")
    server = redis_server.RedisServer(request.getfixturevalue("tmp_path"))
    request.addfinalizer(server.stop)
    return server.url


def test_flowsweep_dry_run_lists_then_the_sweep_deletes(redis_url, tmp_path):
    import redis

    flows = tmp_path / "flows.json"
    flows.write_text(json.dumps(FLOWS))
    client = redis.Redis.from_url(redis_url, decode_responses=True)
    stream = ["redis_a_0", "redis_b_0", "redis_b_1", "redis_c_0"]
    for key in [*stream, "redis_other_0", "a_out"]:
        client.set(key, "v")
    args = ["flowsweep", "--flows", str(flows), "--node", "a", "--out-key", "a_out", "--redis", redis_url]

    dry = run(*args, "--dry-run")
    assert dry.returncode == 0, dry.stderr
    assert dry.stdout.split() == sorted([*stream, "a_out"])
    assert client.exists(*stream, "a_out") == 5

    done = run(*args)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == sorted([*stream, "a_out"])
    assert "5 of 5 keys existed and were deleted" in done.stderr
    assert client.exists(*stream, "a_out") == 0
    assert client.get("redis_other_0") == "v"


def test_flowsweep_failures_exit_1(redis_url, tmp_path):
    flows = tmp_path / "flows.json"
    flows.write_text(json.dumps(FLOWS))
    unknown_node = run("flowsweep", "--flows", str(flows), "--node", "zz", "--out-key", "k", "--redis", redis_url)
    assert unknown_node.returncode == 1 and "ERROR CLI: cannot use the flows export" in unknown_node.stderr
    no_server = run("flowsweep", "--flows", str(flows), "--node", "a", "--out-key", "k",
                    "--redis", "redis://127.0.0.1:1/0")
    assert no_server.returncode == 1 and no_server.stdout == ""


def test_fetch_on_a_terminal_draws_the_progress_as_a_bar(served_model):
    """On a terminal the progress lines give way to the bar (drawn while a
    transfer lasts: tests/test_operator.py); the other lines stay log lines."""
    from support.cli import on_terminal

    backend, token, models = served_model
    status, out, screen = on_terminal("fetch", "person", "--server-host", backend.base, "--token-file", str(token),
                                      "--model-dir", str(models))
    assert status == 0 and out == str(models / "person") + "\n"
    assert "Downloading... 100%" not in screen
    assert "INFO MODEL: Finished the downloading" in screen


# ------------------------------------------------------------------ the demo, and its backend for zelk-sdk by hand

DEMO = Path(__file__).resolve().parent.parent / "scripts" / "demo.py"


def demo(tmp_path: Path, *args: str) -> subprocess.Popen[str]:
    env = {**os.environ, "TMPDIR": str(tmp_path)}
    proc = subprocess.Popen([sys.executable, str(DEMO), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True, env=env)
    # a demo that hangs ends the test instead of holding it
    timer = threading.Timer(scaled(120), proc.kill)
    timer.daemon = True
    timer.start()
    return proc


def test_demo_removes_its_directory_unless_kept(tmp_path):
    for args in ([], ["--keep"]):
        proc = demo(tmp_path, *args)
        out, err = proc.communicate()
        assert proc.returncode == 0, err
        assert "model type:     openvino\n" in out and "(reused, no download)\n" in out
        work = Path(next(line for line in out.splitlines() if line.startswith("model dir: ")).split()[2]).parents[1]
        assert work.parent == tmp_path
        if args:
            assert out.endswith(f"demo: the model and its files are in {work} (remove it when done)\n")
            assert (work / "models" / "person-detection-0200" / "model.xml").is_file()
        else:
            assert out.endswith(f"demo: removed {work} (--keep keeps it)\n")
            assert not work.exists()
    assert len(list(tmp_path.glob("zelk-demo-*"))) == 1


def test_demo_serve_prints_commands_that_fetch_from_another_shell(tmp_path):
    proc = demo(tmp_path, "--serve")
    try:
        lines: list[str] = []
        while not (lines and lines[-1].startswith("demo: its archive's direct URL")):
            line = proc.stdout.readline()
            assert line, (lines, proc.stderr.read())
            lines.append(line.rstrip("\n"))
        # the printed lines as a user pastes them; a budget makes a wrong one fail in seconds, not minutes
        budget = f" --timeout {int(scaled(10))}"
        shell = "\n".join(line.strip() for line in lines if line.startswith("  ")) + budget
        clean = {k: v for k, v in os.environ.items() if k not in ("SERVER_HOST", "ZELK_MODEL_DIR", "ZELK_TOKEN_FILE")}
        by_key = subprocess.run(["sh", "-c", shell], capture_output=True, text=True, env=clean, timeout=scaled(60))
        assert by_key.returncode == 0, by_key.stderr
        model_dir = Path(by_key.stdout.strip())
        assert model_dir.name == "person-detection-0200" and (model_dir / "model.bin").is_file()
        direct = lines[-1].split("without the token: ", 1)[1] + budget
        by_url = subprocess.run(["sh", "-c", direct], capture_output=True, text=True, timeout=scaled(60),
                                env={**clean, "ZELK_MODEL_DIR": str(tmp_path / "direct")})
        assert by_url.stdout == str(tmp_path / "direct" / "person-detection-0200") + "\n", by_url.stderr
    except BaseException:
        proc.kill()
        raise
    proc.send_signal(signal.SIGTERM)
    rest, err = proc.communicate()
    assert proc.returncode == 0, err
    assert rest.endswith(f"demo: removed {model_dir.parent.parent} (--keep keeps it)\n")
    assert list(tmp_path.glob("zelk-demo-*")) == []
