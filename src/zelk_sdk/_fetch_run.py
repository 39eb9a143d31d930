"""``zelk-sdk fetch``: one call of ``download_detection_model``, watched.

The module function runs as it always does; the command watches it from
outside, through what it already hands out, and changes none of its calls:

- its log lines (through a stand-in for its ``logger`` that passes every line
  on) say what each attempt did and why it failed;
- the HTTP client's response hook shows each answer: the model-URL service's
  status and error text, an archive's length and where a resumed transfer
  starts;
- its pause between two attempts (a stand-in for its ``time`` whose ``sleep``
  is the real one) is where the command stops once a failure is one that no
  further attempt can mend: the attempt has cleaned up by then;
- the scratch file it writes, found among the process's open files, gives
  the bytes actually written, for the progress bar.

A stop, the ``--timeout`` and the signals end the call with an exception
that the module lets through as it lets Ctrl-C through: its scratch files and
its lock go with it.
"""

from __future__ import annotations

import json
import logging
import os
import re
import signal
import threading
import time
import types
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

from zelk_sdk import _store


class Interrupted(KeyboardInterrupt):
    """Ends the fetch as Ctrl-C does; `status` is the command's exit status."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason


class Stopped(KeyboardInterrupt):
    """Ends the fetch where no further attempt can help; `cause` says why."""


class OutOfTime(KeyboardInterrupt):
    """The --timeout ran out."""


# ------------------------------------------------------------------ causes

_NETWORK = (
    (r"Connection refused", "the connection was refused"),
    (r"Name or service not known|Temporary failure in name resolution|No address associated|nodename nor servname",
     "its host name cannot be resolved"),
    (r"Read timed out\. \(read timeout=([\d.]+)\)", "it accepted the connection but did not answer within {0} s"),
    (r"Read timed out", "it accepted the connection but did not answer in time"),
    (r"timed out", "the connection timed out"),
    (r"Network is unreachable", "the network is unreachable"),
    (r"No route to host", "there is no route to the host"),
    (r"Connection reset by peer|RemoteDisconnected|Connection aborted|closed connection without response",
     "it closed the connection"),
    (r"CERTIFICATE_VERIFY_FAILED", "its TLS certificate could not be verified"),
    (r"SSLError|SSL:", "the TLS handshake failed"),
)
_WHERE = re.compile(r"host='([^']*)', port=(\d+)")


def sentence(error: str, what: str = "the server") -> str:
    """A failure of the HTTP client as a sentence, where it is one of the
    network's; other texts as they are."""
    for pattern, text in _NETWORK:
        m = re.search(pattern, error)
        if m:
            where = _WHERE.search(error)
            server = f"{what} at {where[1]}:{where[2]}" if where else what
            return f"cannot reach {server}: " + text.format(*m.groups())
    return error


def error_text(body: bytes) -> str:
    """The short error text of an answer's body: a JSON object's error,
    message or detail, or a short line of plain text."""
    try:
        data = json.loads(body)
    except ValueError:
        data = None
    if isinstance(data, dict):
        for name in ("error", "message", "detail"):
            if isinstance(data.get(name), str):
                return str(data[name])[:200]
        return ""
    try:
        text = body.decode("utf-8").strip()
    except UnicodeDecodeError:
        return ""
    return text if text and len(text) <= 200 and "\n" not in text and text.isprintable() else ""


# the warnings of the module, and what they mean for the next attempt
_NO_TOKEN = re.compile(r"Token file not found at (.*)")
_TOKEN_UNREADABLE = re.compile(r"Failed to read device token: (.*)")
_URL_STATUS = re.compile(r"failed to get the model url with status\. (\d+)")
_URL_FAILED = re.compile(r"failed to get the model url (.*)")
_DOWNLOAD_FAILED = re.compile(r"Failed to download from (.*?) - (.*)")
_EXTRACT_FAILED = re.compile(r"Failed to extracting tarxz (.*?) - (.*)")
_ARCHIVE_STATUS = re.compile(r"failed downloading status code: (\d+)")
_ATTEMPT_FAILED = re.compile(r"Failed download zelk model: (.*)")
_NO_SPACE = re.compile(r"not enough space in |\[Errno 28\]")
# an archive whose data is cut or damaged may be mended by a new transfer
# where its length was not declared (a connection that closed early)
_DAMAGED = re.compile(r"truncated|damaged|compressed file ended|Corrupt|corrupt|unexpected end")
PERMANENT_STATUSES = (401, 403, 404)


class Watch:
    """What the command knows of the fetch in progress."""

    def __init__(self, model: str, log: logging.Logger, real_logger: Any, bar: "ProgressBar | None") -> None:
        self.model = model
        self.log = log
        self._logger = real_logger
        self.bar = bar
        self.cause = ""  # why the last attempt failed, as a sentence
        self.permanent = False  # no further attempt can mend it
        self.doing = "starting"
        self.attempts = 0
        self.url_answer: tuple[int, str] | None = None
        self.declared_length = True

    # the module's logger: every line goes on as it is
    def debug(self, message: str, *args: Any) -> None:
        self._line(logging.DEBUG, message, args)

    def info(self, message: str, *args: Any) -> None:
        if self.bar is not None and self.bar.takes(message):
            return
        self._line(logging.INFO, message, args)
        self._progress(message)

    def warning(self, message: str, *args: Any) -> None:
        self._line(logging.WARNING, message, args)
        self._failed(message)

    def error(self, message: str, *args: Any) -> None:
        self._line(logging.ERROR, message, args)

    def _line(self, level: int, message: str, args: tuple[Any, ...]) -> None:
        if self.bar is not None:
            self.bar.clear()
        self._logger.log(level, message, *args)

    def _progress(self, message: str) -> None:
        if message.startswith("Get the download url from model_id:"):
            self.attempts += 1
            self.url_answer = None
            self.doing = "asking the model-URL service for the archive's URL"
            if self.attempts > 1:
                self.log.debug(f"attempt {self.attempts} after: {self.cause or 'no URL'}")
        elif message == "Downloading...":
            self.doing = "downloading the archive"
        elif message.startswith("Extracting model file"):
            self.doing = "extracting the archive"
        elif message.startswith("waiting for another fetch of "):
            name = message.removeprefix("waiting for another fetch of ")
            self.doing = f"waiting for another fetch of {name}"
            holder = lock_holder(self.base, name)
            self.log.debug(f"the lock of {name} is held by {f'process {holder}' if holder else 'another process'}")

    base = ""  # the base directory, set by run()

    def _failed(self, message: str) -> None:
        permanent, cause = classify(message, self.url_answer, self.declared_length)
        if cause:
            self.cause, self.permanent = cause, self.permanent or permanent

    # the module's `time`: its pause between attempts
    def sleep(self, seconds: float) -> None:
        if self.permanent:
            raise Stopped(self.cause)
        self.log.debug(f"retrying in {seconds} s: {self.cause or 'the attempt failed'}")
        self.doing = "pausing before the next attempt"
        time.sleep(seconds)

    # the HTTP client's response hook
    def on_response(self, r: Any, *args: Any, **kwargs: Any) -> None:
        request = r.request
        self.log.debug(f"{request.method} {redact(r.url)} -> {r.status_code} in {r.elapsed.total_seconds():.3f} s")
        if "x-device-token" in request.headers:
            if r.status_code != 200 and not r.is_redirect:
                # a streamed answer (the module's own client) is read no further than its first 4 KiB
                self.url_answer = (r.status_code, error_text(r.content if not kwargs.get("stream") else first_bytes(r)))
            return
        if r.status_code in (200, 206) and kwargs.get("stream"):
            self.declared_length = "Content-Length" in r.headers
            if self.bar is not None:
                self.bar.transfer(r.status_code, r.headers)


def first_bytes(r: Any, most: int = 4096) -> bytes:
    """The start of a streamed answer's body, decoded; nothing where it cannot be read."""
    try:
        data = r.raw.read(most, decode_content=True)
    except Exception:  # the answer is judged by its status alone then
        return b""
    return data if isinstance(data, bytes) else b""


def classify(message: str, url_answer: tuple[int, str] | None, declared_length: bool) -> tuple[bool, str]:
    """Whether the failure a warning reports is permanent, and its sentence."""
    if m := _NO_TOKEN.fullmatch(message):
        return True, f"no device token file at {m[1]}"
    if m := _TOKEN_UNREADABLE.fullmatch(message):
        return True, f"cannot read the device token: {m[1]}"
    if m := _URL_STATUS.fullmatch(message):
        status = int(m[1])
        detail = url_answer[1] if url_answer and url_answer[0] == status and url_answer[1] else ""
        return status in PERMANENT_STATUSES, f"the model-URL service answered {status}" + (f": {detail}" if detail else "")
    if m := _URL_FAILED.fullmatch(message):
        return False, sentence(m[1], "the model-URL service")
    if m := _ARCHIVE_STATUS.fullmatch(message):
        return False, f"the archive's server answered {m[1]}"
    if m := _DOWNLOAD_FAILED.fullmatch(message):
        url, error = m[1], m[2]
        if _NO_SPACE.search(error):
            return True, error
        if "names no model archive" in error:
            return True, f"{redact(url)} names no model archive"
        return False, sentence(error, "the archive's server")
    if m := _EXTRACT_FAILED.fullmatch(message):
        error = m[2]
        if _NO_SPACE.search(error):
            return True, error
        if _DAMAGED.search(error) and not declared_length:
            return False, f"the archive arrived damaged: {error}"
        return True, f"the archive {os.path.basename(m[1])} was refused: {error}"
    if m := re.fullmatch(r"offline: (.*)", message):
        return True, m[1]
    if m := _ATTEMPT_FAILED.fullmatch(message):
        return bool(_NO_SPACE.search(m[1])), m[1]
    return False, ""


def redact(url: str) -> str:
    from zelk_sdk.logging import redact_signed_urls

    return redact_signed_urls(url)


def lock_holder(base: str, model: str) -> int | None:
    """The process that holds the lock of `model`'s fetch, from /proc/locks."""
    try:
        st = os.stat(os.path.join(base, _store.keyed_name(model, _store.LOCK)), follow_symlinks=False)
        with open("/proc/locks") as f:
            for line in f:
                parts = line.split()
                if "->" in parts:  # a waiter, not the holder
                    continue
                if len(parts) >= 6 and parts[1] == "FLOCK" and parts[5].rsplit(":", 1)[-1] == str(st.st_ino):
                    return int(parts[4])
    except (OSError, ValueError):
        pass
    return None


# ------------------------------------------------------------------ the bar


def _mib(n: float) -> str:
    return f"{n / 1048576:.1f}"


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else \
        f"{seconds // 60}:{seconds % 60:02d}"


class ProgressBar:
    """A transfer's progress on a terminal, from the bytes of the scratch file
    that this process writes, redrawn a few times a second in place."""

    WIDTH = 24
    PERIOD = 0.25
    _PROGRESS = re.compile(r"Downloading\.\.\. \d+% \(\d+MB / \d+MB\)|Resuming download at \d+MB of \d+MB")

    def __init__(self, stream: TextIO, base: str) -> None:
        self._stream = stream
        self._base = os.path.realpath(base)
        self._lock = threading.Lock()
        self._drawn = False
        self._total: int | None = None
        self._start = 0  # where a resumed transfer began
        self._began = 0.0
        self._samples: list[tuple[float, int]] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="progress", daemon=True)
        self._active = False

    def takes(self, message: str) -> bool:
        """True for the module's progress lines, which the bar stands for."""
        return self._PROGRESS.fullmatch(message) is not None

    def transfer(self, status: int, headers: Any) -> None:
        """A transfer begins: its whole size and where it starts."""
        total: int | None = None
        start = 0
        if status == 206 and (m := re.fullmatch(r"bytes (\d+)-\d+/(\d+)", headers.get("Content-Range", ""))):
            start, total = int(m[1]), int(m[2])
        elif (length := headers.get("Content-Length", "")).isdigit():
            total = int(length)
        with self._lock:
            self._total, self._start, self._began, self._samples = total, start, time.monotonic(), []
            self._active = True

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        self.clear()

    def clear(self) -> None:
        with self._lock:
            if self._drawn:
                self._stream.write("\r\x1b[K")
                self._stream.flush()
                self._drawn = False

    def _run(self) -> None:
        while not self._stop.wait(self.PERIOD):
            if not self._active:
                continue
            written = self.written()
            if written is None:
                continue
            with self._lock:
                self._draw(written, time.monotonic())

    def written(self) -> int | None:
        """The size of the download file this process has open in the base
        directory (a new transfer's, or the kept bytes a resume appends to)."""
        try:
            fds = os.listdir("/proc/self/fd")
        except OSError:
            return None
        for fd in fds:
            try:
                target = os.readlink(f"/proc/self/fd/{fd}")
            except OSError:
                continue
            if os.path.dirname(target) == self._base and _store.kind_of(os.path.basename(target)) in (
                    _store.PART, _store.RESUME):
                try:
                    return os.stat(f"/proc/self/fd/{fd}").st_size
                except OSError:
                    continue
        return None

    def line(self, written: int, now: float) -> str:
        self._samples = [(t, n) for t, n in self._samples if now - t <= 5.0] + [(now, written)]
        t0, n0 = self._samples[0]
        rate = (written - n0) / (now - t0) if now - t0 > 0.2 else 0.0
        total = self._total
        parts = []
        if total:
            done = min(written, total)
            filled = done * self.WIDTH // total
            parts.append(f"[{'#' * filled}{'-' * (self.WIDTH - filled)}] {done * 100 // total:3d}%")
            parts.append(f"{_mib(done)}/{_mib(total)} MiB")
        else:
            parts.append(f"{_mib(written)} MiB")
        parts.append(f"{_mib(rate)} MiB/s")
        if total and rate > 0:
            parts.append(f"ETA {_duration((total - min(written, total)) / rate)}")
        if self._start:
            parts.append(f"(resumed at {_mib(self._start)} MiB)")
        return " ".join(parts)

    def _draw(self, written: int, now: float) -> None:
        self._stream.write("\r\x1b[K" + self.line(written, now))
        self._stream.flush()
        self._drawn = True


# ------------------------------------------------------------------ the run


@contextmanager
def response_hook(hook: Any) -> Iterator[None]:
    """Adds `hook` to the responses of every HTTP session made meanwhile."""
    import requests.sessions

    default_hooks = requests.sessions.default_hooks

    def hooks() -> dict[str, list[Any]]:
        made: dict[str, list[Any]] = default_hooks()
        made["response"].append(hook)
        return made

    requests.sessions.default_hooks = hooks
    try:
        yield
    finally:
        requests.sessions.default_hooks = default_hooks


@contextmanager
def wall_clock(seconds: float | None) -> Iterator[None]:
    """Raises OutOfTime in the main thread once `seconds` have passed."""
    if seconds is None:
        yield
        return

    def out_of_time(signum: int, frame: Any) -> None:
        raise OutOfTime()

    previous = signal.signal(signal.SIGALRM, out_of_time)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class _Time(types.ModuleType):
    """The module's `time` during the run: the real one, with the pause
    between attempts going through the watch."""

    def __init__(self, watch: Watch) -> None:
        super().__init__("time")
        self._watch = watch

    def __getattr__(self, name: str) -> Any:
        return getattr(time, name)

    def sleep(self, seconds: float) -> None:
        self._watch.sleep(seconds)


def run(fetch: Any, model: str, log: logging.Logger, limit: float | None, timeout: int | None, stream: TextIO) -> str:
    """Fetches `model` within `limit` seconds (the rest of the --timeout
    `timeout`); returns its directory, or raises FetchFailed with the line
    that says why there is none."""
    base = str(fetch.BASE_MODEL_DIR)
    bar = ProgressBar(stream, base) if stream.isatty() else None
    real_logger, real_time = fetch.logger, fetch.time
    watch = Watch(model, log, real_logger, bar)
    watch.base = base
    fetch.logger, fetch.time = watch, _Time(watch)
    if bar is not None:
        bar.start()
    try:
        with response_hook(watch.on_response), wall_clock(limit):
            model_dir = fetch.download_detection_model(model)
    except Stopped:
        raise FetchFailed(f"no model for {model}: {watch.cause}") from None
    except OutOfTime:
        last = f"; the last attempt failed: {watch.cause}" if watch.cause else ""
        raise FetchFailed(f"no model for {model} within {timeout} seconds (--timeout): stopped while {watch.doing}{last}") from None
    finally:
        if bar is not None:
            bar.stop()
        fetch.logger, fetch.time = real_logger, real_time
    if model_dir is None:
        budget = fetch.DOWNLOAD_MODEL_TIMEOUT
        if watch.permanent:
            raise FetchFailed(f"no model for {model}: {watch.cause}")
        if watch.cause:
            raise FetchFailed(f"no model for {model} within {budget} seconds: the last attempt failed: {watch.cause}")
        raise FetchFailed(f"no model for {model} within {budget} seconds")
    return str(model_dir)


class FetchFailed(Exception):
    """The fetch's last line."""


def terminate_like_interrupt() -> None:
    """SIGTERM (a container's stop) ends the command as Ctrl-C does."""

    def terminated(signum: int, frame: Any) -> None:
        raise Interrupted(128 + signum, "terminated")

    signal.signal(signal.SIGTERM, terminated)

