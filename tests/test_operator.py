"""The device operator's day: zelk-sdk fetch that says why and keeps to its
time, offline start from the store's index, the progress bar, -v, the model
store's commands, signals. Against the local backend, real archives, a pty."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import time
from contextlib import contextmanager

import pytest

from support.archives import gnu_tar_xz, tarfile_xz
from support.backend import Backend
from support.cli import SCRIPT, clean_env, last_line, on_terminal, start
from support.emulation import EMULATED, scaled
from support.scratch import held, keyed_name, scratch_name

MiB = 1 << 20
FILES = {"model.tflite": b"\0" * 4096, "labels.txt": "person\n"}


@pytest.fixture
def device(backend, tmp_path):
    """Model key "person" served by the backend; the command's options for it."""
    url = backend.serve("person.tar.xz", gnu_tar_xz(tmp_path, "person", FILES))
    backend.model("person", url)
    token = tmp_path / "token"
    token.write_text(backend.token + "\n")
    base = tmp_path / "models"
    options = ["--server-host", backend.base, "--token-file", str(token), "--model-dir", str(base)]
    return backend, base, options


def fetch_cli(*args: str, env: dict[str, str] | None = None, timeout: float = 120):
    began = time.monotonic()
    proc = start("fetch", *args, env=env, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=scaled(timeout))
    return proc.returncode, out, err, time.monotonic() - began


def archive_gets(backend) -> int:
    return sum(p.startswith("/files/") for p in backend.paths())




# ------------------------------------------------------------------ what no attempt can mend


def _no_token(backend, tmp_path, options):
    options[options.index("--token-file") + 1] = str(tmp_path / "absent")
    return f"no device token file at {tmp_path / 'absent'}", 0


def _bad_token(backend, tmp_path, options):
    (tmp_path / "token").write_text("stolen")
    return "the model-URL service answered 401: bad device token", 0


def _forbidden(backend, tmp_path, options):
    backend.model("person", status=403, body=b"device disabled")
    return "the model-URL service answered 403: device disabled", 0


def _unknown(backend, tmp_path, options):
    backend.replies.pop("person")
    return "the model-URL service answered 404: unknown model", 0


def _no_name(backend, tmp_path, options):
    backend.model("person", backend.base + "/files/")
    return f"{backend.base}/files/ names no model archive", 0


def _unsafe(backend, tmp_path, options):
    backend.serve("person.tar.xz", tarfile_xz([("person", "dir"), ("person/../../evil", b"x")]))
    return "the archive person.tar.xz was refused: Attempted path traversal in tar archive: person/../../evil", 1


def _no_room(backend, tmp_path, options):
    backend.archives["person.tar.xz"].declared_length = 1 << 50
    return "not enough space in ", 1


@pytest.mark.parametrize("case", [_no_token, _bad_token, _forbidden, _unknown, _no_name, _unsafe, _no_room],
                         ids=lambda f: f.__name__.strip("_"))
def test_fetch_stops_at_once_on_what_no_attempt_can_mend(device, tmp_path, case):
    backend, base, options = device
    cause, transfers = case(backend, tmp_path, options)
    status, out, err, took = fetch_cli("person", *options, "--timeout", "100")
    assert (status, out) == (1, "")
    assert last_line(err).startswith(f"ERROR CLI: no model for person: {cause}"), err
    assert took < scaled(20)
    assert archive_gets(backend) == transfers  # an archive refused is not fetched again
    assert not base.exists() or [n for n in os.listdir(base) if not n.endswith(".tar.xz")] == []


def limit(seconds: int) -> int:
    """A --timeout of `seconds` on the host; under emulation the command's
    start alone (imports) takes several seconds of it."""
    return seconds * 15 if EMULATED else seconds


def test_fetch_retries_what_may_mend_and_says_what_failed_last(device):
    backend, base, options = device
    backend.model("person", status=500, body=b"")
    status, _, err, _ = fetch_cli("-v", "person", *options, "--timeout", str(limit(3)))
    assert status == 1
    assert "DEBUG CLI: retrying in 1 s: the model-URL service answered 500" in err
    assert "the last attempt failed: the model-URL service answered 500" in last_line(err)
    assert backend.paths().count("/api/v1/models/person/download-url") >= 2

    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    options[options.index("--server-host") + 1] = f"http://127.0.0.1:{port}"
    status, _, err, _ = fetch_cli("person", *options, "--timeout", str(limit(2)))
    assert status == 1
    assert last_line(err).endswith(
        f"the last attempt failed: cannot reach the model-URL service at 127.0.0.1:{port}: the connection was refused")


# ------------------------------------------------------------------ the whole command's time


def test_timeout_limits_the_whole_command(device):
    backend, base, options = device
    t = limit(2)
    with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts connections, never answers
        host = f"http://127.0.0.1:{silent.getsockname()[1]}"
        status, _, err, took = fetch_cli("person", *options, "--server-host", host, "--timeout", str(t))
    assert status == 1 and took < t + scaled(1.5), took
    assert last_line(err) == (f"ERROR CLI: no model for person within {t} seconds (--timeout): stopped while asking "
                              "the model-URL service for the archive's URL")

    base.mkdir()
    with held(base / keyed_name("person", ".lock")) as holder:
        status, _, err, took = fetch_cli("-v", "person", *options, "--timeout", str(t))
        assert status == 1 and took < t + scaled(1.5), took
        assert f"DEBUG CLI: the lock of person is held by process {holder.pid}" in err
        assert last_line(err).startswith(
            f"ERROR CLI: no model for person within {t} seconds (--timeout): stopped while waiting for another fetch "
            "of person")
        assert sorted(os.listdir(base)) == [keyed_name("person", ".lock")]  # the holder's, nothing of ours


@pytest.mark.parametrize("signum, status, line", [(signal.SIGTERM, 143, "terminated"), (signal.SIGINT, 130, "interrupted")])
def test_signals_end_a_transfer_and_remove_its_scratch_files(device, signum, status, line):
    backend, base, options = device
    backend.serve("person.tar.xz", os.urandom(4 * MiB), drip_after=MiB, drip_bytes=4096, drip_seconds=0.05)
    base.mkdir()
    proc = start("fetch", "person", *options, stderr=subprocess.PIPE)
    deadline = time.monotonic() + scaled(30)
    while not [st for n in os.listdir(base) if n.endswith(".part") and (st := os.stat(base / n)).st_size >= MiB]:
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.05)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=scaled(30))
    assert proc.returncode == status
    assert last_line(err) == f"ERROR CLI: {line}"
    assert os.listdir(base) == []  # the transfer's file and the model's lock went with it


# ------------------------------------------------------------------ offline start


def index_of(base):
    [name] = [n for n in os.listdir(base) if n.endswith(".index")]
    return base / name


def test_offline_start_from_the_index(fetch, fetch_log, model_env, backend, tmp_path, monkeypatch):
    url = backend.serve("person.tar.xz", gnu_tar_xz(tmp_path, "person", FILES))
    backend.model("person", url + "?signature=1")
    other = backend.serve("other.tar.xz", gnu_tar_xz(tmp_path, "other", FILES))
    assert fetch.download_detection_model("person") == str(model_env / "person")
    assert fetch.download_detection_model(other) == str(model_env / "other")  # a URL is no key: not indexed
    assert json.loads(index_of(model_env).read_text()) == {"person": "person"}
    assert fetch.download_detection_model("person") == str(model_env / "person")  # reused: the same entry

    monkeypatch.setenv("ZELK_OFFLINE", "1")
    asked = len(backend.requests)
    fetch_log.clear()
    assert fetch.download_detection_model("person") == str(model_env / "person")
    assert fetch.download_detection_model("unknown") is None
    assert len(backend.requests) == asked
    assert fetch_log.lines == [
        f"offline: person last resolved to {model_env / 'person'}, used without a request",
        f"offline: no model directory of unknown is remembered in {model_env}",
    ]
    # a model removed since is not returned
    os.rename(model_env / "person", model_env / "moved")
    assert fetch.download_detection_model("person") is None
    os.rename(model_env / "moved", model_env / "person")

    # the index is used only where it is a plain file of ours with one name
    index = index_of(model_env)
    elsewhere = tmp_path / "elsewhere.json"
    os.rename(index, elsewhere)
    for planted in (lambda: index.symlink_to(elsewhere), lambda: os.link(elsewhere, index)):
        planted()
        assert fetch.download_detection_model("person") is None
        index.unlink()

    monkeypatch.setenv("ZELK_OFFLINE", "fallback")
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 1)
    index.write_text('{"person": "person"}')
    backend.model("person", status=500, body=b"")  # an answer: no fallback, the attempts go on
    assert fetch.download_detection_model("person") is None
    backend.stop()  # no connection: the model on disk
    fetch_log.clear()
    assert fetch.download_detection_model("person") == str(model_env / "person")
    assert fetch_log.at("warning")[-1] == (
        f"the model-URL service cannot be reached: using {model_env / 'person'}, the model person last resolved to")


def test_offline_option_of_the_command(device):
    backend, base, options = device
    assert fetch_cli("person", *options)[0] == 0
    backend.stop()
    status, out, _, _ = fetch_cli("person", *options, "--offline")
    assert (status, out) == (0, f"{base / 'person'}\n")
    status, _, err, took = fetch_cli("unknown", *options, "--offline")
    assert status == 1 and took < scaled(10)
    assert last_line(err) == f"ERROR CLI: no model for unknown: no model directory of unknown is remembered in {base}"


# ------------------------------------------------------------------ what a terminal and -v show


def test_verbose_shows_the_requests_and_hides_signatures(device):
    backend, base, options = device
    backend.model("person", backend.base + "/files/person.tar.xz?signature=SECRET")
    _, _, err, _ = fetch_cli("-v", "person", *options)
    assert f"DEBUG CLI: GET {backend.base}/files/person.tar.xz?\u2026 -> 200 in " in err
    assert f"DEBUG CLI: GET {backend.base}/api/v1/models/person/download-url -> 200 in " in err
    assert "DEBUG urllib3.connectionpool: " in err  # the HTTP client's own lines
    assert "SECRET" not in err
    os.rename(base / "person", base.parent / "gone")
    _, _, err, _ = fetch_cli("person", *options, env=clean_env(ZELK_LOG_SIGNED_URLS="1"))
    assert "/files/person.tar.xz?signature=SECRET" in err and "DEBUG" not in err


def test_progress_bar_from_the_bytes_written(device):
    backend, base, options = device
    data = os.urandom(8 * MiB)
    # each response breaks off after 4 MiB, sent in about a second (the module writes 1 MiB
    # chunks): the next attempt resumes where it broke
    backend.serve("person.tar.xz", data, etag='"v1"', ranges=True, reset_every=4 * MiB, drip_after=0,
                  drip_bytes=128 * 1024, drip_seconds=0.03)
    status, _, screen = on_terminal("fetch", "person", *options, "--timeout", "60")
    assert status == 1  # random bytes are no archive: what the bar showed is the point
    bars = [part.rsplit("\x1b[K", 1)[-1] for part in screen.split("\r") if "MiB/s" in part]
    assert any("%" in b and "/8.0 MiB" in b and "ETA" in b for b in bars), screen
    assert any("(resumed at 4.0 MiB)" in b for b in bars), screen
    assert "Downloading... " not in screen and "Resuming download at" not in screen
    assert "INFO MODEL: Extracting model file" in screen


# ------------------------------------------------------------------ the model store


def store(*args: str, base) -> tuple[int, str, str]:
    proc = start("models", *args, "--model-dir", str(base), stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=scaled(60))
    return proc.returncode, out, err


def test_models_list_rm_and_prune(device):
    backend, base, options = device
    assert fetch_cli("person", *options)[0] == 0
    stale = base / scratch_name(".part")
    stale.write_bytes(b"x" * 5000)
    kept = base / keyed_name("old.tar.xz", ".resume")
    kept.write_bytes(b"y" * 3000)
    busy = base / scratch_name(".part")
    busy.write_bytes(b"z")

    with held(busy):
        status, out, _ = store("list", "--json", base=base)
        listing = json.loads(out)
        [model] = listing["models"]
        assert (model["name"], model["keys"], model["type"]) == ("person", ["person"], "tf_lite")
        assert model["size"] >= 4096
        assert sorted((x["name"], x["kind"], x["in_use"]) for x in listing["leftovers"]) == sorted([
            (stale.name, "partial download", False), (kept.name, "kept partial download", False),
            (busy.name, "partial download", True)])
        text = store("list", base=base)[1]
        assert "person  person  tf_lite" in text and "(in use)" in text

        status, out, _ = store("prune", base=base)
        assert status == 0 and sorted(out.split()) == sorted([stale.name, kept.name])
        assert sorted(os.listdir(base)) == sorted([busy.name, "person", index_of(base).name])

    with held(base / keyed_name("person", ".lock")):
        status, _, err = store("rm", "person", base=base)
        assert status == 1 and "person is being fetched right now" in err
        assert (base / "person").is_dir()
    status, out, _ = store("rm", "person", "absent", base=base)
    assert (status, out) == (1, "person\n")
    assert sorted(os.listdir(base)) == sorted([busy.name, index_of(base).name])


def test_bash_completion_offers_commands_and_model_names(device):
    backend, base, options = device
    assert fetch_cli("person", *options)[0] == 0
    script = subprocess.run([str(SCRIPT), "completion", "bash"], capture_output=True, text=True, check=True).stdout

    def complete(*words: str) -> list[str]:
        line = " ".join(f"'{w}'" for w in words)
        code = (f'{script}\nCOMP_WORDS=({line}); COMP_CWORD={len(words) - 1}; _zelk_sdk; '
                'printf "%s\\n" "${COMPREPLY[@]}"')
        env = clean_env(PATH=f"{SCRIPT.parent}:{os.environ['PATH']}")
        return subprocess.run(["bash", "-c", code], capture_output=True, text=True, env=env).stdout.split()

    assert complete("zelk-sdk", "mo") == ["models", "model-type"]
    assert complete("zelk-sdk", "models", "rm", "--model-dir", str(base), "p") == ["person"]
    assert "--offline" in complete("zelk-sdk", "fetch", "--")


# ------------------------------------------------------------------ the demo backend


def test_backend_logs_a_transfer_cut_by_its_client_in_one_line(capfd):
    lines: list[str] = []
    with Backend(on_abort=lines.append) as backend:
        backend.serve("big.tar.xz", os.urandom(MiB), drip_after=0, drip_bytes=16384, drip_seconds=0.01)
        with socket.create_connection(("127.0.0.1", backend.port)) as s:
            s.sendall(b"GET /files/big.tar.xz HTTP/1.1\r\nHost: x\r\n\r\n")
            s.recv(4096)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")  # close with a reset
        deadline = time.monotonic() + scaled(10)
        while not lines and time.monotonic() < deadline:
            time.sleep(0.05)
    assert len(lines) == 1 and lines[0].startswith("GET /files/big.tar.xz: the client went away after ")
    assert "Traceback" not in capfd.readouterr().err
