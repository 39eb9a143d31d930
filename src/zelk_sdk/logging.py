"""Logger factory of the SDK.

Every logger handed out shares one handler, set up once, that writes lines like
``2026-12-08 07:24:27,123 INFO MODEL: Download model`` to standard error. The
level comes from the environment variable ``ZELK_LOG_LEVEL``: a level name such
as DEBUG or WARNING (in any case), or a number; INFO when unset. Any other value
gets one line on standard error that says so, and INFO.

A signed download URL is a credential until it expires: the handler writes the
query string of every URL in a line as ``?…``, unless ``ZELK_LOG_SIGNED_URLS=1``
(read when a line is written).
"""

from __future__ import annotations

import logging
import os
import re
import sys
import threading

LOG_LEVEL_ENV = "ZELK_LOG_LEVEL"
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
SIGNED_URLS_ENV = "ZELK_LOG_SIGNED_URLS"

# the query of a URL (scheme://...?query) or of a request line's path ("GET /p?query HTTP/1.1")
_QUERY = re.compile(r"((?:\b[a-zA-Z][a-zA-Z0-9+.-]*://|(?<=[A-Z] )/)[^\s?#\"']*)\?[^\s#\"']+")


def redact_signed_urls(text: str) -> str:
    """`text` with the query string of each URL in it shown as ``?…``."""
    if os.environ.get(SIGNED_URLS_ENV) == "1":
        return text
    return _QUERY.sub("\\1?\u2026", text)


class _Formatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return redact_signed_urls(super().format(record))

_lock = threading.Lock()
_handler: logging.Handler | None = None
# the last value of ZELK_LOG_LEVEL reported as not a level: each logger reads
# the variable, and a bad value is reported once, not once per logger
_reported: str | None = None


def _level_from_env() -> int:
    global _reported
    raw = os.environ.get(LOG_LEVEL_ENV, "").strip()
    if not raw:
        return logging.INFO
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    if isinstance(level, int):
        return level
    if raw != _reported:
        _reported = raw
        print(
            f"zelk_sdk: {LOG_LEVEL_ENV}={raw!r} is not a log level (DEBUG, INFO, WARNING, ERROR, CRITICAL"
            " or a number); using INFO",
            file=sys.stderr,
            flush=True,
        )
    return logging.INFO


def _shared_handler() -> logging.Handler:
    global _handler
    with _lock:
        if _handler is None:
            handler = logging.StreamHandler(sys.stderr)
            handler.setFormatter(_Formatter(LOG_FORMAT))
            _handler = handler
        return _handler


def get_logger(name: str) -> logging.Logger:
    """Return the logger ``name`` with the SDK's handler and level attached."""
    logger = logging.getLogger(name)
    handler = _shared_handler()
    with _lock:
        if handler not in logger.handlers:
            logger.addHandler(handler)
        logger.setLevel(_level_from_env())
        # the SDK's lines are written once, by its own handler
        logger.propagate = False
    return logger
