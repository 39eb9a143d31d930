"""Logger factory of the SDK.

Every logger handed out shares one handler, set up once, that writes lines like
``2026-12-08 07:24:27,123 INFO MODEL: Download model`` to standard error. The
level comes from the environment variable ``ZELK_LOG_LEVEL`` (a level name such
as DEBUG or WARNING, or a number; INFO when unset or not understood).
"""

from __future__ import annotations

import logging
import os
import sys
import threading

LOG_LEVEL_ENV = "ZELK_LOG_LEVEL"
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

_lock = threading.Lock()
_handler: logging.Handler | None = None


def _level_from_env() -> int:
    raw = os.environ.get(LOG_LEVEL_ENV, "").strip()
    if not raw:
        return logging.INFO
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    return level if isinstance(level, int) else logging.INFO


def _shared_handler() -> logging.Handler:
    global _handler
    with _lock:
        if _handler is None:
            handler = logging.StreamHandler(sys.stderr)
            handler.setFormatter(logging.Formatter(LOG_FORMAT))
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
