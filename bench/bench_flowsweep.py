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
import sys
from pathlib import Path
from typing import Any, Dict, List

from zelk_sdk.redis import flowsweep

sys.path.insert(0, str(Path(__file__).resolve().parent))
from baselines import py_flowsweep  # noqa: E402
from baselines.py_flowsweep import FlowsweepManager as PyManager  # noqa: E402


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


def mixed(n: int = 20000, stream: int = 100, width: int = 10, seed: int = 7) -> tuple[Dict[str, Dict[str, Any]], Dict[str, Any]]:
    """A flow of n nodes in streams of `stream` nodes, each an inject node and
    layers of `width` nodes wired to 2-3 nodes of the next layer; some wires go
    back to an earlier layer (cycles), repeat a target, lead to a node that is
    no longer in the flow, or join a node of an earlier stream (repeats across
    streams). Returns the node table and the root, wired to every stream."""
    rnd = random.Random(seed)
    ids = [f"{rnd.getrandbits(64):016x}" for _ in range(n)]
    nodes = {i: {"id": i, "type": "function", "z": "tab1", "name": "", "wires": [[]]} for i in ids}
    heads = []
    for s0 in range(0, n, stream):
        sids = ids[s0 : s0 + stream]
        layers = [sids[:1]] + [sids[k : k + width] for k in range(1, len(sids), width)]
        heads.append(sids[0])
        nodes[sids[0]]["type"] = "inject"
        for li, layer in enumerate(layers[:-1]):
            nxt = layers[li + 1]
            for nid in layer:
                targets = rnd.sample(nxt, min(len(nxt), rnd.choice((2, 2, 3)))) if li else list(nxt)
                r = rnd.random()
                if r < 0.05 and li > 0:
                    targets[-1] = rnd.choice(layers[rnd.randrange(li)])  # back to an earlier layer
                elif r < 0.10:
                    targets.append(targets[0])  # the same target twice
                elif r < 0.12:
                    targets.append("0" * 16)  # a node that was deleted from the flow
                elif r < 0.15 and s0 > 0:
                    targets.append(ids[rnd.randrange(s0)])  # into an earlier stream
                nodes[nid]["wires"] = [targets] if rnd.random() < 0.5 else [targets[:1], targets[1:]]
    root = {"id": "root", "type": "inject", "z": "tab1", "wires": [heads]}
    nodes["root"] = root
    return nodes, root


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
    flowsweep.logger = py_flowsweep.logger = Quiet()
    rows = []
    shapes = [("tree", tree(args.nodes), "n0"), ("layered", layered(args.nodes), "root"), ("mixed", *mixed(args.nodes))]
    for name, nodes, start in shapes:
        start = start if isinstance(start, str) else start["id"]
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
