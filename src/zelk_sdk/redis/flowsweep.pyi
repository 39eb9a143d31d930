from logging import Logger
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Set as Set

from zelk_sdk.logging import get_logger as get_logger
from zelk_sdk.redis.utils import gen_redis_key_local as gen_redis_key_local

logger: Logger

class FlowsweepManager:
    redis_wrapper: Any
    nodered_flow: Any
    node_config: Dict[str, Any]
    redis_out_key: str
    _keys_cleared: bool
    def __init__(self, redis_wrapper: Any, nodered_flow: Any, node_config: Dict[str, Any], redis_out_key: str) -> None: ...
    def _discover_downstream_nodes(self, node: Dict[str, Any], visited: Set[str]) -> List[Dict[str, Any]]: ...
    def _collect_stream_redis_keys(self) -> List[str]: ...
    def clear_stream_keys(self, max_ports: int = 10) -> bool: ...
    def reset_cleanup_flag(self) -> None: ...

def clear_stream_redis_keys(
    redis_wrapper: Any, nodered_flow: Any, node_config: Dict[str, Any], redis_out_key: str, max_ports: int = 10
) -> bool: ...
