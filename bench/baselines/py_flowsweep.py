"""zelk_sdk.redis.flowsweep written in Python: the same imports, class and
functions, so that the walk, the key collection and the clearing pass can be
timed against the compiled module."""

from typing import Any, Dict, Set, List  # noqa: F401

from zelk_sdk.logging import get_logger
from zelk_sdk.redis.utils import gen_redis_key_local  # noqa: F401

logger = get_logger("REDIS_FLOWSWEEP")

_GLOB = str.maketrans({c: "\\" + c for c in "*?[]\\"})


class FlowsweepManager:
    def __init__(self, redis_wrapper: Any, nodered_flow: Any, node_config: Dict[str, Any], redis_out_key: str):
        self.redis_wrapper = redis_wrapper
        self.nodered_flow = nodered_flow
        self.node_config = node_config
        self.redis_out_key = redis_out_key
        self._keys_cleared = False

    def _discover_downstream_nodes(self, node: Dict[str, Any], visited: Set[str]) -> List[Dict[str, Any]]:
        downstream = []
        node_id = node.get("id")
        if node_id in visited:
            return downstream
        visited.add(node_id)
        for port_idx, targets in enumerate(node.get("wires", [])):
            for next_node_id in targets:
                if next_node_id not in self.nodered_flow._nodes:
                    continue
                next_node = self.nodered_flow._nodes[next_node_id]
                downstream.append({"node": next_node, "port": port_idx, "node_id": next_node_id})
                downstream.extend(self._discover_downstream_nodes(next_node, visited))
        return downstream

    def _collect_stream_redis_keys(self) -> List[str]:
        all_keys, node_ids = set(), set()
        current_node_id = self.node_config.get("id")
        logger.info(f"[flowsweep] current_node_id={current_node_id!r}")
        if current_node_id:
            node_ids.add(current_node_id)
        else:
            logger.warning("[flowsweep] node_config has no 'id' \u2014 current node keys will not be collected")
        downstream = self._discover_downstream_nodes(self.node_config, set())
        logger.info(f"[flowsweep] downstream nodes found: {[d['node_id'] for d in downstream]}")
        for d in downstream:
            node_ids.add(d["node_id"])
        all_keys.add(self.redis_out_key)
        for nid in node_ids:
            pattern = f"redis_{format(nid).translate(_GLOB)}_*"
            all_keys.update(self.redis_wrapper.scan_keys(pattern=pattern))
        logger.info(f"[flowsweep] found {len(all_keys)} existing keys: {sorted(all_keys)}")
        return list(all_keys)

    def clear_stream_keys(self, max_ports: int = 10) -> bool:
        if self._keys_cleared:
            logger.debug("Redis keys already cleared, skipping")
            return True
        logger.info("Clearing all Redis KV stores for this stream")
        try:
            redis_keys = self._collect_stream_redis_keys()
            deleted = self.redis_wrapper.delete_many(redis_keys)
            logger.info(f"Flowsweep complete: {deleted}/{len(redis_keys)} keys deleted")
            self._keys_cleared = True
            return True
        except Exception as e:
            logger.error(f"Failed to clear Redis keys: {e}")
            return False

    def reset_cleanup_flag(self) -> None:
        self._keys_cleared = False


def clear_stream_redis_keys(
    redis_wrapper: Any, nodered_flow: Any, node_config: Dict[str, Any], redis_out_key: str, max_ports: int = 10
) -> bool:
    manager = FlowsweepManager(
        redis_wrapper=redis_wrapper, nodered_flow=nodered_flow, node_config=node_config, redis_out_key=redis_out_key
    )
    return manager.clear_stream_keys(max_ports=max_ports)
