"""The SDK's Redis wrapper: key scans and bulk deletion over redis-py.

``ZelkRedis`` talks to one Redis server or to a Redis Cluster through the same
two calls:

- ``scan_keys(pattern=...)`` walks the key space with SCAN and MATCH (on every
  primary of a cluster) and returns the matching keys as ``str``;
- ``delete_many(keys)`` removes keys with the non-blocking UNLINK, in batches,
  never sending one command with keys of two hash slots, and returns how many
  keys were removed.

Keys travel as bytes on the wire. A key that is not valid UTF-8 comes back from
``scan_keys`` with its undecodable bytes as surrogate escapes, and
``delete_many`` turns such a text back into the same bytes, so every key found
can be deleted.

The clients the wrapper makes give up on a server that does not answer: see
``DEFAULT_CONNECT_TIMEOUT``, ``DEFAULT_READ_TIMEOUT`` and ``DEFAULT_RETRIES``.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Iterable, Iterator
from typing import Any

try:
    import redis
    from redis.backoff import ConstantBackoff, NoBackoff
    from redis.cluster import RedisCluster
    from redis.crc import key_slot
    from redis.retry import Retry
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("zelk_sdk.redis.wrapper needs redis-py: pip install 'redis>=5'") from exc

__all__ = ["ZelkRedis"]

#: Keys asked for per SCAN step (a hint to the server, not a limit).
DEFAULT_SCAN_COUNT = 1000
#: Keys per UNLINK command.
DEFAULT_DELETE_BATCH = 500

# Time-outs and retries of the clients ZelkRedis makes (a client= given to it
# keeps its own). On an edge device a pass had better fail in seconds and be
# run again later than wait on a server that stopped or a network that is
# gone. redis-py's own defaults differ by version and by how the client is
# made: some wait for a reply without limit, others retry a timed-out command
# ten times, which kept a pass on a stopped server waiting for a minute. Each
# setting here is a default only; the caller's keyword argument of the same
# name wins (see ZelkRedis).

#: Seconds to wait for a connection to the server (``socket_connect_timeout``).
DEFAULT_CONNECT_TIMEOUT = 5.0
#: Seconds to wait for each reply (``socket_timeout``).
DEFAULT_READ_TIMEOUT = 5.0
#: Further attempts of a command whose connection broke (``retry``). A
#: time-out is not retried by a single-server client: a server that did not
#: answer for DEFAULT_READ_TIMEOUT seconds is not likely to answer at once,
#: and the command it timed out on may have run already. (The retry loop of
#: redis-py's cluster client retries time-outs as well.)
DEFAULT_RETRIES = 1
#: Seconds between a failed attempt and the next one.
DEFAULT_RETRY_BACKOFF = 0.2

_ENCODING = "utf-8"
_ERRORS = "surrogateescape"


def _decode(key: bytes | str) -> str:
    return key if isinstance(key, str) else key.decode(_ENCODING, _ERRORS)


def _encode(key: Any) -> bytes:
    if isinstance(key, str):
        return key.encode(_ENCODING, _ERRORS)
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"Redis keys are str or bytes, not {type(key).__name__}")


def _batches(keys: list[bytes], size: int) -> Iterator[list[bytes]]:
    for start in range(0, len(keys), size):
        yield keys[start : start + size]


def _default_retry() -> Retry:
    # one per client: redis-py's cluster client keeps the object it is given
    return Retry(ConstantBackoff(DEFAULT_RETRY_BACKOFF), DEFAULT_RETRIES, supported_errors=(redis.ConnectionError,))


def _refused_command(exc: Exception) -> bool:
    text = str(exc).lower()
    return (
        "unknown command" in text
        or "noperm" in text
        or "no permissions" in text
        # the cluster client's own check, against the command list of the server
        or "command doesn't exist in redis commands" in text
    )


class ZelkRedis:
    """A Redis connection with the key scan and bulk deletion of the SDK.

    Connect with a URL (``redis://[[user]:password@]host[:port][/db]``,
    ``rediss://`` for TLS, ``unix://path``) or with ``host`` and ``port``, or
    wrap an existing ``redis.Redis`` / ``redis.cluster.RedisCluster`` with
    ``client=``. ``cluster=None`` asks the server whether it runs in cluster
    mode and connects accordingly; ``True`` or ``False`` decides without asking.
    Other keyword arguments go to the redis-py client (``password``,
    ``socket_timeout``, ...).

    A client made here waits at most ``DEFAULT_CONNECT_TIMEOUT`` seconds for a
    connection and ``DEFAULT_READ_TIMEOUT`` seconds for each reply, and sends
    a command once more (``DEFAULT_RETRIES``) after ``DEFAULT_RETRY_BACKOFF``
    seconds when its connection broke. A server that stops answering thus
    fails a single-server command, and a clearing pass with it, in about
    ``DEFAULT_READ_TIMEOUT`` seconds. A cluster client retries time-outs too
    and can take much longer: a deletion that a stopped primary holds keys of
    is sent again slot by slot, and each slot waits out its own time-outs.

    The keyword arguments ``socket_connect_timeout``, ``socket_timeout`` and
    ``retry`` (a ``redis.retry.Retry``) replace these defaults, each on its
    own, and the same settings in the query of a URL win over both.
    ``socket_timeout=None`` waits for replies without limit and leaves the
    connect time-out as it is: a server that stops answering then blocks every
    command, a clearing pass too, until it answers again, so ask for it only
    on a client for long blocking commands. ``socket_connect_timeout=None`` is
    redis-py's "as long as ``socket_timeout``" (both ``None``: no limit), and
    ``retry=None`` sends each command once, on a cluster too. A client given
    with ``client=`` is used as it is.
    """

    def __init__(
        self,
        url: str | None = None,
        *,
        host: str = "localhost",
        port: int = 6379,
        db: int = 0,
        cluster: bool | None = None,
        client: Any = None,
        scan_count: int = DEFAULT_SCAN_COUNT,
        delete_batch: int = DEFAULT_DELETE_BATCH,
        **options: Any,
    ) -> None:
        for name, value in (("scan_count", scan_count), ("delete_batch", delete_batch)):
            if type(value) is not int or value < 1:
                raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")
        self.scan_count = scan_count
        self.delete_batch = delete_batch
        if client is not None:
            if url is not None or options:
                raise ValueError("give either client= or connection settings, not both")
            self._client = client
            return
        # bytes on the wire; keys are decoded here, see _decode
        options["decode_responses"] = False
        options.setdefault("socket_connect_timeout", DEFAULT_CONNECT_TIMEOUT)
        options.setdefault("socket_timeout", DEFAULT_READ_TIMEOUT)
        if "retry" not in options and "cluster_error_retry_attempts" not in options:
            options["retry"] = _default_retry()
        if cluster is None:
            cluster = self._is_cluster(url, host, port, db, options)
        if cluster:
            if db != 0:
                raise ValueError("a Redis Cluster has only database 0")
            if "retry" in options and options["retry"] is None:
                # to the cluster client None means its default retry of ten
                # attempts; here it means what it means to a single server's
                options["retry"] = Retry(NoBackoff(), 0)
            if url is not None:
                self._client = RedisCluster.from_url(url, **options)
            else:
                self._client = RedisCluster(host=host, port=port, **options)
        elif url is not None:
            self._client = redis.Redis.from_url(url, **options)
        else:
            self._client = redis.Redis(host=host, port=port, db=db, **options)

    @staticmethod
    def _is_cluster(url: str | None, host: str, port: int, db: int, options: dict[str, Any]) -> bool:
        probe = redis.Redis.from_url(url, **options) if url is not None else redis.Redis(host, port, db, **options)
        try:
            return bool(probe.info("cluster").get("cluster_enabled"))
        except redis.ResponseError:  # INFO forbidden or renamed: a single server unless cluster=True
            return False
        finally:
            probe.close()

    @property
    def client(self) -> Any:
        """The redis-py client underneath, for everything else."""
        return self._client

    @property
    def is_cluster(self) -> bool:
        return isinstance(self._client, RedisCluster)

    def _servers(self) -> list[Any]:
        """One plain client per server whose keys are to be scanned."""
        if self.is_cluster:
            # SCAN is never redirected, so nothing else would tell the client's
            # map of the cluster that a primary joined or took over slots since
            # it was made: ask the cluster now, or its keys would go unseen
            self._client.nodes_manager.initialize()
            return [self._client.get_redis_connection(node) for node in self._client.get_primaries()]
        return [self._client]

    def scan_keys(self, pattern: str = "*") -> list[str]:
        """Return the keys that match the glob ``pattern``, each once.

        SCAN visits every key that exists for the whole scan; a key created or
        deleted meanwhile may or may not be reported.
        """
        found: dict[str, None] = {}
        for server in self._servers():
            for key in server.scan_iter(match=_encode(pattern), count=self.scan_count):
                found[_decode(key)] = None
        return list(found)

    def delete_many(self, keys: Iterable[Any]) -> int:
        """UNLINK ``keys`` (str or bytes); return how many existed and were removed.

        A server that refuses UNLINK (older than 4.0, the command renamed away,
        or an ACL without it) gets DEL instead.
        """
        if isinstance(keys, (str, bytes, bytearray, memoryview)):
            raise TypeError("delete_many takes a collection of keys, not a single key")
        encoded = list(dict.fromkeys(_encode(k) for k in keys))
        if not encoded:
            return 0
        if self.is_cluster:
            # a multi-key command must not cross hash slots: one group per slot;
            # the cluster pipeline sends each group to the slot's primary and
            # follows redirections
            by_slot: dict[int, list[bytes]] = defaultdict(list)
            for key in encoded:
                by_slot[key_slot(key)].append(key)
            groups: list[list[bytes]] = list(by_slot.values())
        else:
            groups = [encoded]
        batches = [batch for group in groups for batch in _batches(group, self.delete_batch)]
        try:
            return self._delete(batches, "UNLINK")
        except redis.RedisError as exc:
            if not _refused_command(exc):
                raise
        return self._delete(batches, "DEL")

    def _delete(self, batches: list[list[bytes]], command: str) -> int:
        pipe = self._client.pipeline(transaction=False)
        for batch in batches:
            pipe.execute_command(command, *batch)
        return sum(int(n) for n in pipe.execute())

    def close(self) -> None:
        self._client.close()

    def __enter__(self) -> ZelkRedis:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<ZelkRedis {'cluster' if self.is_cluster else 'server'} {self._client!r}>"
