"""The ``zelk-sdk`` command: the SDK's operations for an operator's shell.

    zelk-sdk fetch MODEL_ID_OR_URL      download and extract a model, print its directory
    zelk-sdk models list|rm|prune       what the model store holds; remove models and leftovers
    zelk-sdk model-type DIR             print the model type of an extracted model
    zelk-sdk flowsweep --flows FLOWS.json --node ID --out-key KEY [--redis URL] [--dry-run]
                                        delete (or list) the Redis keys of one stream
    zelk-sdk completion bash            a bash completion script

Results go to standard output, one per line, so that a shell can use them;
log lines go to standard error through the SDK's logger factory. The exit
status is 0 on success, 1 when the operation failed, 2 for a usage error, 130
after Ctrl-C and 143 after SIGTERM (which is handled as Ctrl-C is).

The compiled modules take their settings when they are imported (see
``zelk_sdk.constants``: ``SERVER_HOST``, ``ZELK_MODEL_DIR``,
``ZELK_MODEL_URL_PATH``, ``ZELK_TOKEN_FILE``); the options of ``fetch``
override them by setting the module's attributes after import, which the
module's functions read at every call.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from collections.abc import Iterable, Sequence
from typing import Any

from zelk_sdk import __version__, _fetch_run, _store
from zelk_sdk.logging import get_logger

DEFAULT_REDIS_URL = "redis://localhost:6379/0"

# the loggers of the modules that the commands drive
_MODULE_LOGGERS = ("CLI", "MODEL", "REDIS_FLOWSWEEP")
# the HTTP client's own, shown with -v
_CLIENT_LOGGERS = ("urllib3",)


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
        "attempts are repeated once a second until the time budget is spent; a failure that no attempt can "
        "mend (no token file, an answer of 401, 403 or 404 from the model-URL service, a URL that names no "
        "model, an archive refused, too little space) ends the command at once. Exit status 1 then, with the "
        "cause in the last line.",
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
        help="a limit on the whole command's wall-clock time, waits included; also the time budget of the "
        "attempts and the download's network timeout (default: 300)",
    )
    p.add_argument(
        "--offline",
        action="store_true",
        help="make no request: a model key gives the model directory it last resolved to (as ZELK_OFFLINE=1)",
    )
    p.set_defaults(run=_fetch)

    p = commands.add_parser(
        "models",
        parents=[common],
        help="list the model store, remove models and leftovers",
        description="The model store in the base directory: its models and the leftovers of fetches "
        "(kept partial downloads, scratch entries of runs that were killed, archives not extracted).",
    )
    in_store = argparse.ArgumentParser(add_help=False, parents=[common])
    in_store.add_argument(
        "--model-dir", metavar="DIR", help="base directory of the models (default: $ZELK_MODEL_DIR or /models)"
    )
    store = p.add_subparsers(dest="store_command", metavar="ACTION", required=True)
    q = store.add_parser("list", parents=[in_store], help="the models (name, key, type, size, installed) and the leftovers")
    q.add_argument("--json", action="store_true", help="one JSON object")
    q.add_argument("--names", action="store_true", help=argparse.SUPPRESS)  # for shell completion
    q.set_defaults(run=_models_list)
    q = store.add_parser("rm", parents=[in_store], help="remove models, each under its lock (a fetch in progress is never cut)")
    q.add_argument("names", metavar="NAME", nargs="+", help="a model's directory name")
    q.set_defaults(run=_models_rm)
    q = store.add_parser("prune", parents=[in_store], help="remove the leftovers no fetch is using; with --older-than, old models too")
    q.add_argument("--older-than", metavar="DAYS", type=float, help="also remove the models installed more than DAYS ago")
    q.add_argument("--dry-run", action="store_true", help="list what would be removed, remove nothing")
    q.set_defaults(run=_models_prune)

    p = commands.add_parser("completion", help="print a shell completion script",
                            description="Print the completion script of a shell: "
                            "eval \"$(zelk-sdk completion bash)\" in ~/.bashrc.")
    p.add_argument("shell", choices=["bash"])
    p.set_defaults(run=_completion)

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
    _fetch_run.terminate_like_interrupt()
    try:
        status: int = args.run(args, log)
        return status
    except CommandError as e:
        log.error(str(e))
        return 1
    except _fetch_run.Interrupted as e:
        log.error(e.reason)
        return e.status
    except KeyboardInterrupt:
        log.error("interrupted")
        return 130


def _set_level(level: int | None) -> None:
    # A module sets its logger's level from ZELK_LOG_LEVEL when it is imported;
    # the commands import theirs lazily and call this again afterwards.
    if level is not None:
        for name in _MODULE_LOGGERS:
            logging.getLogger(name).setLevel(level)
    if level is not None and level <= logging.DEBUG:
        for name in _CLIENT_LOGGERS:
            get_logger(name).setLevel(level)


def _print_lines(lines: Iterable[str]) -> None:
    for line in lines:
        print(line)
    sys.stdout.flush()


# ------------------------------------------------------------------ fetch


def _fetch(args: argparse.Namespace, log: logging.Logger) -> int:
    started = time.monotonic()
    if args.offline:
        os.environ["ZELK_OFFLINE"] = "1"
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
    # the limit counts from the command's start: the imports are part of it
    left = None if args.timeout is None else max(0.01, args.timeout - (time.monotonic() - started))
    try:
        model_dir = _fetch_run.run(fetch, args.model, log, left, args.timeout, sys.stderr)
    except _fetch_run.FetchFailed as e:
        raise CommandError(str(e)) from None
    _print_lines([model_dir])
    return 0


# ------------------------------------------------------------------ models


def _base_dir(args: argparse.Namespace) -> str:
    from zelk_sdk import constants

    return str(args.model_dir if args.model_dir is not None else constants.BASE_MODEL_DIR)


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return ""


def _when(t: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(t))


def _table(rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]


def _listing(args: argparse.Namespace, with_types: bool) -> _store.Listing:
    model_type = None
    if with_types:
        from zelk_sdk.model import fetch

        def model_type(path: str) -> str | None:
            quiet, fetch.logger = fetch.logger, logging.getLogger("zelk_sdk.quiet")  # its lines are for fetches
            try:
                result: str | None = fetch.check_model_type(path)
                return result
            except OSError:
                return None
            finally:
                fetch.logger = quiet
    try:
        return _store.list_store(_base_dir(args), model_type)
    except _store.StoreError as e:
        raise CommandError(str(e)) from None


def _models_list(args: argparse.Namespace, log: logging.Logger) -> int:
    listing = _listing(args, with_types=not args.names)
    if args.names:
        _print_lines(m.name for m in listing.models)
        return 0
    if args.json:
        _print_lines([json.dumps({"base_dir": listing.base, "models": [m.as_json() for m in listing.models],
                                  "leftovers": [x.as_json() for x in listing.leftovers]})])
        return 0
    lines = [f"models in {listing.base}:"]
    if listing.models:
        rows = [["NAME", "KEY", "TYPE", "SIZE", "INSTALLED"]] + [
            [m.name, ", ".join(m.keys) or "-", m.type or "?", _size(m.size), _when(m.installed)] for m in listing.models]
        lines += ["  " + line for line in _table(rows)]
    else:
        lines.append("  none")
    if listing.leftovers:
        lines.append("leftovers (zelk-sdk models prune removes those not in use):")
        rows = [[x.name, _store.LEFTOVER_KIND[x.kind] + (" (in use)" if x.in_use else ""), _size(x.size)]
                for x in listing.leftovers]
        lines += ["  " + line for line in _table(rows)]
    _print_lines(lines)
    return 0


def _models_rm(args: argparse.Namespace, log: logging.Logger) -> int:
    failed = 0
    for name in args.names:
        try:
            size = _store.remove_model(_base_dir(args), name)
        except (_store.StoreError, OSError) as e:
            log.error(str(e))
            failed += 1
            continue
        log.info(f"removed {name} ({_size(size)})")
        _print_lines([name])
    return 1 if failed else 0


def _models_prune(args: argparse.Namespace, log: logging.Logger) -> int:
    listing = _listing(args, with_types=False)
    now = time.time()
    doomed = [x for x in listing.leftovers if not x.in_use]
    old = [] if args.older_than is None else [m for m in listing.models if now - m.installed > args.older_than * 86400]
    if args.dry_run:
        _print_lines([x.name for x in doomed] + [m.name for m in old])
        return 0
    freed, failed = 0, 0
    for leftover in doomed:
        try:
            if _store.remove_leftover(listing.base, leftover):
                freed += leftover.size
                _print_lines([leftover.name])
        except (_store.StoreError, OSError) as e:
            log.warning(f"{leftover.name}: {e}")
    for model in old:
        try:
            freed += _store.remove_model(listing.base, model.name)
            _print_lines([model.name])
        except (_store.StoreError, OSError) as e:
            log.error(str(e))
            failed += 1
    log.info(f"freed {_size(freed)}")
    return 1 if failed else 0


# ------------------------------------------------------------------ completion

_BASH_COMPLETION = r"""# bash completion of zelk-sdk: eval "$(zelk-sdk completion bash)"
_zelk_sdk() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd="" action="" w
  for w in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case $w in -*) ;; *) if [[ -z $cmd ]]; then cmd=$w; elif [[ -z $action ]]; then action=$w; fi ;; esac
  done
  case $prev in
    --model-dir|--token-file|--flows) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --server-host|--timeout|--node|--out-key|--redis|--older-than) return ;;
  esac
  case $cmd in
    "") COMPREPLY=($(compgen -W "fetch models model-type flowsweep completion -v -q --version --help" -- "$cur")) ;;
    fetch) COMPREPLY=($(compgen -W "--model-dir --token-file --server-host --timeout --offline -v -q --help" -- "$cur")) ;;
    model-type) COMPREPLY=($(compgen -d -- "$cur")) ;;
    flowsweep) COMPREPLY=($(compgen -W "--flows --node --out-key --redis --dry-run --help" -- "$cur")) ;;
    completion) COMPREPLY=($(compgen -W "bash" -- "$cur")) ;;
    models)
      case $action in
        "") COMPREPLY=($(compgen -W "list rm prune" -- "$cur")) ;;
        list) COMPREPLY=($(compgen -W "--json --model-dir" -- "$cur")) ;;
        prune) COMPREPLY=($(compgen -W "--older-than --dry-run --model-dir" -- "$cur")) ;;
        rm)
          local dir="" i
          for ((i = 1; i < COMP_CWORD; i++)); do [[ ${COMP_WORDS[i]} == --model-dir ]] && dir=${COMP_WORDS[i+1]}; done
          COMPREPLY=($(compgen -W "--model-dir $("${COMP_WORDS[0]}" -q models list ${dir:+--model-dir "$dir"} --names 2>/dev/null)" -- "$cur")) ;;
      esac ;;
  esac
}
complete -F _zelk_sdk zelk-sdk
"""


def _completion(args: argparse.Namespace, log: logging.Logger) -> int:
    sys.stdout.write(_BASH_COMPLETION)
    return 0


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
