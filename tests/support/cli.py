"""The installed zelk-sdk command, run as an operator runs it: in a process of
its own, with or without a terminal."""

from __future__ import annotations

import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

SCRIPT = Path(sys.executable).parent / "zelk-sdk"
# what the tests set themselves
_CONFIG = ("SERVER_HOST", "ZELK_MODEL_DIR", "ZELK_TOKEN_FILE", "ZELK_OFFLINE", "ZELK_LOG_SIGNED_URLS", "ZELK_LOG_LEVEL")


def clean_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in _CONFIG}
    env.update(extra)
    return env


def _sigint_as_on_a_terminal() -> None:
    # a suite started in the background of a shell without job control has
    # SIGINT ignored, and an interpreter started so leaves it ignored
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start(*args: str, env: dict[str, str] | None = None, **popen: object) -> subprocess.Popen[str]:
    popen.setdefault("preexec_fn", _sigint_as_on_a_terminal)
    return subprocess.Popen([str(SCRIPT), *args], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            env=env if env is not None else clean_env(), **popen)  # type: ignore[call-overload]


def on_terminal(*args: str, env: dict[str, str] | None = None, timeout: float = 60) -> tuple[int, str, str]:
    """Runs the command with a pty as its standard error: (status, stdout, screen)."""
    master, slave = pty.openpty()
    proc = start(*args, env=env, stderr=slave)
    os.close(slave)
    screen = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        screen += chunk
    os.close(master)
    status = proc.wait(timeout)
    assert proc.stdout is not None
    return status, proc.stdout.read(), screen.decode(errors="replace")


def last_line(stderr: str) -> str:
    """The message of the last log line, without its time."""
    return stderr.splitlines()[-1].split(" ", 2)[2]
