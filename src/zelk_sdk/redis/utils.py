"""Key naming of the Redis stores that Node-RED nodes own."""

from __future__ import annotations

from typing import Any


def gen_redis_key_local(node_id: Any, suffix: Any) -> str:
    """Return the key ``redis_<node_id>_<suffix>`` of one store of a node."""
    return f"redis_{node_id}_{suffix}"
