"""The ``zelk-sdk`` command: the SDK's operations for an operator's shell.

    zelk-sdk fetch MODEL_ID_OR_URL      download and extract a model, print its directory
    zelk-sdk model-type DIR             print the model type of an extracted model
    zelk-sdk flowsweep --flows FLOWS.json --node ID --out-key KEY [--redis URL] [--dry-run]
                                        delete (or list) the Redis keys of one stream

Results go to standard output, one per line, so that a shell can use them;
log lines go to standard error through the SDK's logger factory. The exit
status is 0 on success, 1 when the operation failed and 2 for a usage error.

The compiled modules take their settings when they are imported (see
``zelk_sdk.constants``: ``SERVER_HOST``, ``ZELK_MODEL_DIR``,
``ZELK_MODEL_URL_PATH``, ``ZELK_TOKEN_FILE``); the options of ``fetch``
override them by setting the module's attributes after import, which the
module's functions read at every call.
"""

from __future__ import annotations

import argparse
import logging
import re
import sys
from collections.abc import Iterable, Sequence
from typing import Any, cast

from zelk_sdk import __version__
from zelk_sdk.logging import get_logger

DEFAULT_REDIS_URL = "redis://localhost:6379/0"

# the loggers of the modules that the commands drive
_MODULE_LOGGERS = ("CLI", "MODEL", "REDIS_FLOWSWEEP")


class CommandError(Exception):
    """A failure that the command reports in one log line, exit status 1."""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of seconds: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 second, not {value}")
    return value


def _level_options(parser: argparse.ArgumentParser, default: Any) -> None:
    level = parser.add_mutually_exclusive_group()
    level.add_argument(
        "-v", "--verbose", dest="level", action="store_const", const=logging.DEBUG, default=default, help="log debug lines too"
    )
    level.add_argument(
        "-q", "--quiet", dest="level", action="store_const", const=logging.WARNING, default=default,
        help="log warnings and errors only",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelk-sdk",
        description="Operator tools of the zelk_sdk edge SDK. Results go to stdout, log lines to stderr.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _level_options(parser, None)
    # the same options after the command name; given there, they win
    common = argparse.ArgumentParser(add_help=False)
    _level_options(common, argparse.SUPPRESS)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = commands.add_parser(
        "fetch",
        parents=[common],
        help="download and extract a model, print its directory",
        description="Download and extract a detection model and print its directory. A model key is "
        "resolved through the backend's model-URL service with the device token; a direct http(s) URL "
        "is downloaded as it is. A model directory or archive left by an earlier run is reused. Failed "
        "attempts are repeated once a second until the time budget is spent; then the exit status is 1.",
    )
    p.add_argument("model", metavar="MODEL_ID_OR_URL", help="a model key or a direct http(s) URL of a .tar.xz archive")
    p.add_argument("--model-dir", metavar="DIR", help="base directory of the models (default: $ZELK_MODEL_DIR or /models)")
    p.add_argument(
        "--token-file",
        metavar="FILE",
        help="the device token file (default: $ZELK_TOKEN_FILE or /etc/zelk/device_token)",
    )
    p.add_argument(
        "--server-host",
        metavar="HOST",
        help="the platform backend, host[:port] or a base URL (default: $SERVER_HOST or http://localhost:8080)",
    )
    p.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=_positive_int,
        help="time budget for all attempts, also the download's network timeout (default: 300)",
    )
    p.set_defaults(run=_fetch)

    p = commands.add_parser(
        "model-type",
        parents=[common],
        help="print the model type of an extracted model directory",
        description="Print the model type (one of the MODEL_TYPE values) of an extracted model "
        "directory. Exit status 1 when the type cannot be determined or the directory cannot be read.",
    )
    p.add_argument("model_dir", metavar="DIR", help="the model directory")
    p.set_defaults(run=_model_type)

    p = commands.add_parser(
        "flowsweep",
        parents=[common],
        help="delete the Redis keys of one stream of a Node-RED flow",
        description="Delete the Redis keys of one stream: those of the node ID and of every node "
        "downstream of it in the flows export (keys redis_<node id>_*), and the node's output key. "
        "The deleted keys are printed, one per line. Needs the redis package (pip install 'redis>=5').",
    )
    p.add_argument("--flows", metavar="FLOWS.json", required=True, help="the Node-RED flows export")
    p.add_argument("--node", metavar="ID", required=True, help="the id of the stream's first node")
    p.add_argument("--out-key", metavar="KEY", required=True, help="that node's primary Redis output key")
    p.add_argument("--redis", metavar="URL", default=DEFAULT_REDIS_URL, help=f"the Redis server (default: {DEFAULT_REDIS_URL})")
    p.add_argument("--dry-run", action="store_true", help="list the keys that would be deleted, delete nothing")
    p.set_defaults(run=_flowsweep)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run one command; returns the exit status."""
    args = build_parser().parse_args(argv)
    log = get_logger("CLI")
    _set_level(args.level)
    try:
        status: int = args.run(args, log)
        return status
    except CommandError as e:
        log.error(str(e))
        return 1
    except KeyboardInterrupt:
        log.error("interrupted")
        return 130


def _set_level(level: int | None) -> None:
    # A module sets its logger's level from ZELK_LOG_LEVEL when it is imported;
    # the commands import theirs lazily and call this again afterwards.
    if level is not None:
        for name in _MODULE_LOGGERS:
            logging.getLogger(name).setLevel(level)


def _print_lines(lines: Iterable[str]) -> None:
    for line in lines:
        print(line)
    sys.stdout.flush()


# ------------------------------------------------------------------ fetch


def _fetch(args: argparse.Namespace, log: logging.Logger) -> int:
    from zelk_sdk import constants
    from zelk_sdk.model import fetch

    _set_level(args.level)
    if args.model_dir is not None:
        fetch.BASE_MODEL_DIR = args.model_dir
    if args.token_file is not None:
        fetch.TOKEN_FILE = args.token_file
    if args.server_host is not None:
        fetch.MODEL_URL = constants.model_url(args.server_host, constants.MODEL_URL_PATH)
    if args.timeout is not None:
        fetch.DOWNLOAD_MODEL_TIMEOUT = args.timeout

    real_logger = fetch.logger
    bar = ProgressBar(real_logger, sys.stderr) if sys.stderr.isatty() else None
    if bar is not None:
        # the module calls only the four level methods: the bar has them
        fetch.logger = cast(logging.Logger, bar)
    try:
        model_dir = fetch.download_detection_model(args.model)
    finally:
        if bar is not None:
            bar.end()
        fetch.logger = real_logger
    if model_dir is None:
        raise CommandError(f"no model for {args.model} within {fetch.DOWNLOAD_MODEL_TIMEOUT} seconds")
    _print_lines([model_dir])
    return 0


class ProgressBar:
    """The fetch module's logger while a terminal watches: the five-percent
    progress lines of a transfer become one bar, redrawn in place on the
    terminal; every other line goes to the real logger as it is."""

    _PROGRESS = re.compile(r"Downloading\.\.\. (\d+)% \((\d+)MB / (\d+)MB\)")
    WIDTH = 30

    def __init__(self, logger: Any, stream: Any) -> None:
        self._logger = logger
        self._stream = stream
        self._drawn = False

    def info(self, message: str) -> None:
        m = self._PROGRESS.fullmatch(message)
        if m is None:
            self.end()
            self._logger.info(message)
            return
        pct, done, total = (int(g) for g in m.groups())
        filled = min(self.WIDTH, pct * self.WIDTH // 100)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self._stream.write(f"\r[{bar}] {pct:3d}% {done}/{total} MB")
        self._stream.flush()
        self._drawn = True

    def debug(self, message: str) -> None:
        self.end()
        self._logger.debug(message)

    def warning(self, message: str) -> None:
        self.end()
        self._logger.warning(message)

    def error(self, message: str) -> None:
        self.end()
        self._logger.error(message)

    def end(self) -> None:
        """Ends the bar's line, if one is drawn."""
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False


# ------------------------------------------------------------------ model-type


def _model_type(args: argparse.Namespace, log: logging.Logger) -> int:
    from zelk_sdk.model import fetch

    _set_level(args.level)
    try:
        model_type = fetch.check_model_type(args.model_dir)
    except OSError as e:
        raise CommandError(f"cannot read the model directory: {e}") from None
    if model_type is None:
        return 1  # the module has logged why
    _print_lines([model_type])
    return 0


# ------------------------------------------------------------------ flowsweep


class _RecordingRedis:
    """The Redis wrapper as flowsweep sees it, remembering what was deleted."""

    def __init__(self, wrapper: Any) -> None:
        self._wrapper = wrapper
        self.deleted: list[str] = []
        self.count: Any = None

    def scan_keys(self, pattern: str) -> Any:
        return self._wrapper.scan_keys(pattern=pattern)

    def delete_many(self, keys: list[str]) -> Any:
        self.count = self._wrapper.delete_many(keys)
        self.deleted = list(keys)
        return self.count


def _flowsweep(args: argparse.Namespace, log: logging.Logger) -> int:
    try:
        import redis  # noqa: F401
    except ModuleNotFoundError:
        raise CommandError(
            "the flowsweep command needs the redis package; install it with: pip install 'redis>=5'"
        ) from None
    try:
        from zelk_sdk.nodered import FlowError, ZelkFlow
        from zelk_sdk.redis import flowsweep
        from zelk_sdk.redis.wrapper import ZelkRedis
    except ImportError as e:
        raise CommandError(f"this installation lacks the flowsweep module: {e}") from None

    _set_level(args.level)
    try:
        flow = ZelkFlow(args.flows, args.node)
    except (OSError, FlowError) as e:
        raise CommandError(f"cannot use the flows export: {e}") from None
    node_config = flow.parse_flow()["cur_node"]

    try:
        wrapper = ZelkRedis(args.redis)
    except (redis.RedisError, ValueError) as e:
        raise CommandError(f"cannot connect to Redis at {args.redis}: {e}") from None
    try:
        recorder = _RecordingRedis(wrapper)
        manager = flowsweep.FlowsweepManager(recorder, flow, node_config, args.out_key)
        if args.dry_run:
            try:
                keys = manager._collect_stream_redis_keys()
            except Exception as e:
                raise CommandError(f"cannot collect the stream's keys: {e}") from None
            _print_lines(sorted(keys))
            log.info(f"dry run: {len(keys)} keys would be deleted")
            return 0
        if not manager.clear_stream_keys():
            return 1  # the module has logged why
        _print_lines(sorted(recorder.deleted))
        log.info(f"{recorder.count} of {len(recorder.deleted)} keys existed and were deleted")
        return 0
    finally:
        wrapper.close()


if __name__ == "__main__":
    sys.exit(main())
