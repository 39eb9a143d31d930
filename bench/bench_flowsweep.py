"""Flow walk and key collection of zelk_sdk.redis.flowsweep against a pure-Python equivalent.

Run: .venv/bin/python bench/bench_flowsweep.py [--nodes 20000] [--repeat 5]

Prints, per flow shape, the best time of the compiled walk, of the same
algorithm written in Python (measured in the same run), and their ratio; then
the same for key collection with an in-memory Redis stand-in.
"""

from __future__ import annotations

import argparse
import random
import time
from typing import Any, Dict, List, Set

from zelk_sdk.redis import flowsweep


class PyManager:
    """The walk and key collection written out in Python, as the baseline."""

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
        flowsweep.logger.info(f"[flowsweep] current_node_id={current_node_id!r}")
        if current_node_id:
            node_ids.add(current_node_id)
        downstream = self._discover_downstream_nodes(self.node_config, set())
        flowsweep.logger.info(f"[flowsweep] downstream nodes found: {[d['node_id'] for d in downstream]}")
        for d in downstream:
            node_ids.add(d["node_id"])
        all_keys.add(self.redis_out_key)
        for nid in node_ids:
            all_keys.update(self.redis_wrapper.scan_keys(pattern=f"redis_{nid}_*"))
        flowsweep.logger.info(f"[flowsweep] found {len(all_keys)} existing keys: {sorted(all_keys)}")
        return list(all_keys)


class Flow:
    def __init__(self, nodes: Dict[str, Dict[str, Any]]):
        self._nodes = nodes


class Quiet:
    def info(self, message: str) -> None:
        pass

    warning = debug = error = info


class MemoryRedis:
    """Two keys per node, answered from a dict: measures the module, not Redis."""

    def __init__(self, nodes):
        self.by_pattern = {f"redis_{i}_*": [f"redis_{i}_a", f"redis_{i}_b"] for i in nodes}

    def scan_keys(self, pattern: str) -> List[str]:
        return self.by_pattern.get(pattern, [])


def tree(n: int, fanout: int = 4) -> Dict[str, Dict[str, Any]]:
    nodes = {f"n{i}": {"id": f"n{i}", "type": "function", "wires": [[]]} for i in range(n)}
    for i in range(1, n):
        parent = nodes[f"n{(i - 1) // fanout}"]
        port = i % 2
        while len(parent["wires"]) <= port:
            parent["wires"].append([])
        parent["wires"][port].append(f"n{i}")
    return nodes


def layered(n: int, width: int = 100, fan: int = 2) -> Dict[str, Dict[str, Any]]:
    rnd = random.Random(7)
    nodes = {f"n{i}": {"id": f"n{i}", "type": "function", "wires": [[]]} for i in range(n)}
    nodes["root"] = {"id": "root", "type": "inject", "wires": [[f"n{i}" for i in range(width)]]}
    for i in range(n - width):
        layer_next = (i // width + 1) * width
        targets = rnd.sample(range(layer_next, min(layer_next + width, n)), k=min(fan, n - layer_next))
        nodes[f"n{i}"]["wires"] = [[f"n{t}" for t in targets], ["missing"]]
    return nodes


def best_pair(native, python, repeat: int) -> tuple[float, float]:
    """Best times of two callables, run alternately so that both see the same machine."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(repeat):
        for fn, out in ((native, times[0]), (python, times[1])):
            t = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t)
    return min(times[0]), min(times[1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    flowsweep.logger = Quiet()
    rows = []
    for name, nodes, start in [("tree", tree(args.nodes), "n0"), ("layered", layered(args.nodes), "root")]:
        flow = Flow(nodes)
        native = flowsweep.FlowsweepManager(MemoryRedis(nodes), flow, nodes[start], "out")
        python = PyManager(MemoryRedis(nodes), flow, nodes[start], "out")
        assert native._discover_downstream_nodes(nodes[start], set()) == python._discover_downstream_nodes(
            nodes[start], set()
        )
        assert sorted(native._collect_stream_redis_keys()) == sorted(python._collect_stream_redis_keys())
        for what in ("walk", "collect"):
            if what == "walk":
                n_t, p_t = best_pair(
                    lambda: native._discover_downstream_nodes(nodes[start], set()),
                    lambda: python._discover_downstream_nodes(nodes[start], set()),
                    args.repeat,
                )
            else:
                n_t, p_t = best_pair(native._collect_stream_redis_keys, python._collect_stream_redis_keys, args.repeat)
            rows.append((f"{what} {name} ({len(nodes)} nodes)", n_t, p_t))
    print(f"{'case':<34}{'native ms':>12}{'python ms':>12}{'ratio':>8}")
    for case, n_t, p_t in rows:
        print(f"{case:<34}{n_t * 1e3:>12.2f}{p_t * 1e3:>12.2f}{p_t / n_t:>7.1f}x")


if __name__ == "__main__":
    main()
