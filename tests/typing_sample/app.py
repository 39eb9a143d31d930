"""A small application written against the package's public interface.

It is never run: `mypy --strict` checks it against the installed package, so
that the stubs of the compiled modules are proven usable by typed code. Lines
marked `type: ignore[...]` must stay errors; `warn_unused_ignores` (part of
--strict) fails the check once a stub stops catching them.
"""

from __future__ import annotations

import functools
import logging
import tarfile
import tracemalloc
from typing import Any, Callable, Optional

from zelk_sdk.cli import main as cli_main
from zelk_sdk.constants import MODEL_TYPE
from zelk_sdk.debug import leakscope
from zelk_sdk.debug.leakscope import LeakscopeManager
from zelk_sdk.model import fetch
from zelk_sdk.nodered import ZelkFlow
from zelk_sdk.redis import ZelkRedis as LazyZelkRedis
from zelk_sdk.redis import flowsweep
from zelk_sdk.redis.wrapper import ZelkRedis
from zelk_sdk.redis.flowsweep import FlowsweepManager, clear_stream_redis_keys


def load_model(model_id: str) -> tuple[str, Optional[str]]:
    model_dir: Optional[str] = fetch.download_detection_model(model_id)
    if model_dir is None:
        raise RuntimeError("no model")
    model_type = fetch.check_model_type(model_dir)
    if model_type == MODEL_TYPE.TF_LITE:
        logging.getLogger("app").info("tflite model in %s", model_dir)
    return model_dir, model_type


def configure(base: str, token_file: str) -> None:
    fetch.BASE_MODEL_DIR = base
    fetch.TOKEN_FILE = token_file
    fetch.DOWNLOAD_MODEL_TIMEOUT = 30
    fetch.logger.info("configured")


def low_level(url: str, archive: str) -> bool:
    token: Optional[str] = fetch.get_device_token()
    resolved = fetch.get_model_url(url)
    ok: bool = fetch.download_file(resolved or url, archive)
    with tarfile.open(archive, "r|xz") as tar:
        fetch._safe_extract(tar, "/tmp/models")
    return ok and token is not None and fetch.download_url(url) is not None


def wrong_calls() -> None:
    fetch.download_detection_model(None)  # type: ignore[arg-type]
    fetch.check_model_type(b"/models/x")  # type: ignore[arg-type]
    n: int = fetch.download_url("http://x/m.tar.xz")  # type: ignore[assignment]
    del n


class Quiet:
    def info(self, message: str) -> None:
        pass


def diagnostics(limit: int) -> bool:
    manager = LeakscopeManager(limit=limit, logger=logging.getLogger("leaks"), debug=True)
    done: bool = manager.leakscope_check()
    snapshot = tracemalloc.take_snapshot()
    manager.display_top_trace_scripts(snapshot, key_type="filename")
    manager.compare_snapshots(snapshot)
    manager.stop()
    assert callable(manager.start)  # a real thread class
    leakscope.LeakscopeManager(limit="5")  # type: ignore[arg-type]
    return done


class Wrapper:
    def scan_keys(self, pattern: str = "*") -> list[str]:
        return []

    def delete_many(self, keys: list[str]) -> int:
        return len(keys)


def sweep(flow: Any, node: dict[str, Any]) -> bool:
    manager = FlowsweepManager(Wrapper(), flow, node, "redis_n1_out")
    keys: list[str] = manager._collect_stream_redis_keys()
    downstream = manager._discover_downstream_nodes(node, set())
    ports = [entry["port"] for entry in downstream]
    first = manager.clear_stream_keys(max_ports=len(ports))
    manager.reset_cleanup_flag()
    again: bool = clear_stream_redis_keys(Wrapper(), flow, node, "redis_n1_out", 10)
    flowsweep.logger.debug(f"{len(keys)} keys")
    manager.clear_stream_keys(max_ports="10")  # type: ignore[arg-type]
    return first and again


def sweep_stream(flows_file: str, node_id: str) -> bool:
    flow = ZelkFlow(flows_file, node_id)
    node_config: dict[str, Any] = flow.parse_flow()["cur_node"]
    with ZelkRedis("redis://127.0.0.1:6379/0") as redis_wrapper:
        found: list[str] = redis_wrapper.scan_keys(pattern=f"redis_{node_id}_*")
        manager = FlowsweepManager(redis_wrapper, flow, node_config, f"redis_{node_id}_out")
        done = manager.clear_stream_keys()
    assert LazyZelkRedis is ZelkRedis
    return done and not found


def wrapped() -> Callable[[str], Optional[str]]:
    resolve = functools.partial(fetch.get_model_url)

    @functools.wraps(fetch.get_model_url)
    def logged(model_id: str) -> Optional[str]:
        return resolve(model_id)

    return logged


def run_cli() -> int:
    status: int = cli_main(["model-type", "/models/person"])
    return status
