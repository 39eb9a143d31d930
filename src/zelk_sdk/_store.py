"""The model store as an operator sees it: what the base directory holds, and
its removal, for ``zelk-sdk models``.

The fetch module names its own entries in the base directory
``.zelk-tmp-<16 hex>-<8 hex check><kind>``; the names and their check values
are computed here exactly as the module computes them, so that nothing else is
ever taken for one of them. Everything below works through one descriptor of
the base directory and never follows a symbolic link.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import re
import secrets
import shutil
import stat
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field

PREFIX = ".zelk-tmp-"
PART, STAGING, NEW, RESUME, RESINFO, LOCK, INDEX = ".part", ".staging", ".new", ".resume", ".resinfo", ".lock", ".index"
KINDS = (PART, STAGING, NEW, RESUME, RESINFO, LOCK, INDEX)
ARCHIVE = ".tar.xz"
# what a leftover is, by kind
LEFTOVER_KIND = {
    PART: "partial download",
    STAGING: "partial extraction",
    NEW: "unfinished entry",
    RESUME: "kept partial download",
    RESINFO: "kept download's description",
    LOCK: "lock file",
    ARCHIVE: "archive not extracted",
}
_NAME = re.compile(r"\.zelk-tmp-([0-9a-f]{16})-([0-9a-f]{8})(\.[a-z]+)")
_INDEX_KEY = "/index"  # no model name holds a slash


def _check(digits: str, kind: str) -> str:
    h = 2166136261
    for b in b"zelk scratch " + digits.encode() + kind.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return f"{h:08x}"


def kind_of(name: str) -> str | None:
    """The kind of the module's own entry `name`; None for any other name."""
    m = _NAME.fullmatch(name)
    if m is None or m[3] not in KINDS or _check(m[1], m[3]) != m[2]:
        return None
    return m[3]


def keyed_name(key: str, kind: str) -> str:
    """The entry of `kind` that belongs to `key` (a model or archive name)."""
    h = 14695981039346656037
    for b in kind.encode() + b"\0" + os.fsencode(key):
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    digits = f"{h:016x}"
    return f"{PREFIX}{digits}-{_check(digits, kind)}{kind}"


def random_name(kind: str) -> str:
    digits = secrets.token_hex(8)
    return f"{PREFIX}{digits}-{_check(digits, kind)}{kind}"


INDEX_NAME = keyed_name(_INDEX_KEY, INDEX)


class StoreError(Exception):
    """What the store command reports in one line."""


@dataclass
class Model:
    name: str
    keys: list[str]
    type: str | None
    size: int
    installed: float

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, "keys": self.keys, "type": self.type, "size": self.size,
                "installed": self.installed}


@dataclass
class Leftover:
    name: str
    kind: str
    size: int
    age: float
    in_use: bool  # locked by a running fetch: never removed

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, "kind": LEFTOVER_KIND[self.kind], "size": self.size, "in_use": self.in_use}


@dataclass
class Listing:
    base: str
    models: list[Model] = field(default_factory=list)
    leftovers: list[Leftover] = field(default_factory=list)


def _open_dir(path: str, dir_fd: int | None = None) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)


def _disk_usage(dir_fd: int, name: str) -> int:
    """Bytes on disk of `name` in `dir_fd` and all below it, links not followed."""
    st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    total = st.st_blocks * 512
    if not stat.S_ISDIR(st.st_mode):
        return total
    stack = [_open_dir(name, dir_fd)]
    try:
        while stack:
            fd = stack.pop()
            try:
                for entry in os.scandir(fd):
                    est = entry.stat(follow_symlinks=False)
                    total += est.st_blocks * 512
                    if stat.S_ISDIR(est.st_mode):
                        try:
                            stack.append(_open_dir(entry.name, fd))
                        except OSError:
                            pass
            finally:
                os.close(fd)
    finally:
        for fd in stack:
            os.close(fd)
    return total


def _is_locked(dir_fd: int, name: str) -> bool:
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as e:
        return e.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
    finally:
        os.close(fd)
    return False


def read_index(dir_fd: int) -> dict[str, str]:
    """The store's index (model key: model name), where it is a plain file of ours."""
    try:
        fd = os.open(INDEX_NAME, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    except OSError:
        return {}
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1 or st.st_uid != os.geteuid() or st.st_size > 256 * 1024:
            return {}
        with os.fdopen(os.dup(fd), "rb") as f:
            data = json.loads(f.read())
    except (OSError, ValueError):
        return {}
    finally:
        os.close(fd)
    return {k: v for k, v in data.items() if isinstance(k, str) and isinstance(v, str)} if isinstance(data, dict) else {}


@contextmanager
def opened(base: str) -> Iterator[int]:
    try:
        fd = _open_dir(base)
    except OSError as e:
        raise StoreError(f"cannot open the model directory {base}: {e.strerror}") from None
    try:
        yield fd
    finally:
        os.close(fd)


def list_store(base: str, model_type: Callable[[str], str | None] | None = None) -> Listing:
    listing = Listing(base)
    now = time.time()
    with opened(base) as dir_fd:
        keys: dict[str, list[str]] = {}
        for key, name in read_index(dir_fd).items():
            keys.setdefault(name, []).append(key)
        for entry in sorted(os.scandir(dir_fd), key=lambda e: e.name):
            try:
                st = entry.stat(follow_symlinks=False)
                kind = kind_of(entry.name)
                if kind is None and entry.name.endswith(ARCHIVE) and stat.S_ISREG(st.st_mode):
                    kind = ARCHIVE
                if kind is None:
                    if stat.S_ISDIR(st.st_mode):
                        path = os.path.join(base, entry.name)
                        listing.models.append(Model(entry.name, sorted(keys.get(entry.name, [])),
                                                    model_type(path) if model_type else None,
                                                    _disk_usage(dir_fd, entry.name), st.st_ctime))
                    continue
                if kind == INDEX:
                    continue
                lock_of = entry.name if kind != ARCHIVE else keyed_name(entry.name[: -len(ARCHIVE)], LOCK)
                listing.leftovers.append(Leftover(entry.name, kind, _disk_usage(dir_fd, entry.name),
                                                  now - max(st.st_mtime, st.st_ctime), _is_locked(dir_fd, lock_of)))
            except OSError:
                continue  # gone meanwhile
    return listing


@contextmanager
def model_lock(dir_fd: int, name: str) -> Iterator[None]:
    """The lock a fetch of model `name` holds, taken without waiting; raises
    StoreError while a fetch holds it."""
    lock = keyed_name(name, LOCK)
    fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1 or st.st_uid != os.geteuid():
            raise StoreError(f"{name}: its lock file {lock} is not the fetch module's; nothing removed")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise StoreError(f"{name} is being fetched right now (its lock is held); not removed") from None
        yield
        # the lock file goes as a fetch's would: while held, if still ours
        try:
            now = os.stat(lock, dir_fd=dir_fd, follow_symlinks=False)
            if (now.st_dev, now.st_ino) == (st.st_dev, st.st_ino):
                os.unlink(lock, dir_fd=dir_fd)
        except OSError:
            pass
    finally:
        os.close(fd)


def _remove_dir(dir_fd: int, name: str) -> None:
    """Removes the directory `name`: renamed to a scratch name first, so that
    it is gone from its name at once and a removal cut short is swept by the
    next fetch."""
    doomed = random_name(STAGING)
    os.rename(name, doomed, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    shutil.rmtree(doomed, dir_fd=dir_fd)


def remove_model(base: str, name: str) -> int:
    """Removes the model `name` under its lock; returns the bytes freed."""
    if not name or "/" in name or name in (".", "..") or kind_of(name) is not None:
        raise StoreError(f"{name!r} is no model name")
    with opened(base) as dir_fd:
        try:
            st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
        except FileNotFoundError:
            raise StoreError(f"no model {name} in {base}") from None
        if not stat.S_ISDIR(st.st_mode):
            raise StoreError(f"{name} in {base} is no model directory")
        with model_lock(dir_fd, name):
            size = _disk_usage(dir_fd, name)
            _remove_dir(dir_fd, name)
    return size


def remove_leftover(base: str, leftover: Leftover) -> bool:
    """Removes a leftover that no fetch holds; False where one does now."""
    with opened(base) as dir_fd:
        if leftover.kind == ARCHIVE:
            with model_lock(dir_fd, leftover.name[: -len(ARCHIVE)]):
                os.unlink(leftover.name, dir_fd=dir_fd)
            return True
        # removed while locked, as the module's sweep removes it: a fetch
        # that opens it meanwhile waits, then finds its name gone
        fd = os.open(leftover.name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return False
            st, now = os.fstat(fd), os.stat(leftover.name, dir_fd=dir_fd, follow_symlinks=False)
            if (st.st_dev, st.st_ino) != (now.st_dev, now.st_ino) or st.st_uid != os.geteuid():
                return False
            if leftover.kind == STAGING:
                _remove_dir(dir_fd, leftover.name)
            else:
                os.unlink(leftover.name, dir_fd=dir_fd)
        finally:
            os.close(fd)
    return True
