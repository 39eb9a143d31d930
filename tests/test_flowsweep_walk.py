import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.doubles import Flow
from zelk_sdk.redis import flowsweep

# the smallest stack a thread may have here: Python's floor, or the C
# library's where that is higher (128 KiB on 64-bit ARM)
SMALLEST_STACK = max(32768, os.sysconf("SC_THREAD_STACK_MIN"))

TESTS = Path(__file__).parent  # the scripts below run from here, to import support


def flow_of(**wires):
    return Flow({k: {"id": k, "wires": v} for k, v in wires.items()})


def walk(flow, start, visited=None):
    m = flowsweep.FlowsweepManager(None, flow, start, "out")
    visited = set() if visited is None else visited
    return m._discover_downstream_nodes(start, visited), visited


def reference_walk(nodes, node, visited):
    out = []
    node_id = node.get("id")
    if node_id in visited:
        return out
    visited.add(node_id)
    for port, targets in enumerate(node.get("wires", [])):
        for t in targets:
            if t in nodes:
                out.append({"node": nodes[t], "port": port, "node_id": t})
                out += reference_walk(nodes, nodes[t], visited)
    return out


@pytest.mark.parametrize(
    "wires, order, ports",
    [
        # diamond: d is listed under b and under c, expanded once
        (dict(a=[["b", "c"]], b=[["d"]], c=[["d"]], d=[["e"]], e=[]), list("bdecd"), [0] * 5),
        (dict(a=[["b"]], b=[["a"]]), ["b", "a"], [0, 0]),  # cycle back to the start
        (dict(a=[[], ["b"]], b=[]), ["b"], [1]),  # empty first port
        (dict(a=[["x", "b"], ["c"]], b=[["d"]], c=[], d=[]), ["b", "d", "c"], [0, 0, 1]),  # x is unknown
    ],
)
def test_walk_order_ports_and_visited(wires, order, ports):
    flow = flow_of(**wires)
    result, visited = walk(flow, flow._nodes["a"])
    assert [e["node_id"] for e in result] == order
    assert [e["port"] for e in result] == ports
    assert all(list(e) == ["node", "port", "node_id"] and e["node"] is flow._nodes[e["node_id"]] for e in result)
    assert visited == {"a"} | {e["node_id"] for e in result}


def test_expanded_start_node_yields_nothing_and_its_wires_are_not_read():
    class Wires:
        def __iter__(self):
            raise AssertionError("wires read")

    assert walk(Flow({}), {"id": "a", "wires": Wires()}, {"a"}) == ([], {"a"})
    assert walk(Flow({}), {"id": "a"}) == ([], {"a"})


def test_nodes_without_id_count_as_none():
    nodes = {"p": {"wires": [["q"]]}, "q": {"wires": [["p"]]}}
    result, visited = walk(Flow(nodes), {"id": "s", "wires": [["p", "q"]]})
    assert [e["node_id"] for e in result] == ["p", "q", "q"]
    assert visited == {"s", None}


def test_node_table_looked_up_afresh_and_override_used():
    flow = flow_of(a=[["b", "missing"]], b=[["c"]], c=[])
    table = flow._nodes
    lookups = []

    class CountingFlow:
        @property
        def _nodes(self):
            lookups.append(1)
            return table

    class Sub(flowsweep.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            calls.append(node["id"])
            return super()._discover_downstream_nodes(node, visited)

    calls = []
    m = Sub(None, CountingFlow(), table["a"], "out")
    assert [e["node_id"] for e in m._discover_downstream_nodes(table["a"], set())] == ["b", "c"]
    assert calls == ["a", "b", "c"]
    assert len(lookups) == 2 + 2 + 1  # b and c: test and item access; missing: test only


@pytest.mark.parametrize(
    "flow, start, error, text",
    [
        (Flow({"b": ["not a dict"]}), {"id": "a", "wires": [["b"]]}, TypeError, "Argument 'node' has incorrect type"),
        (Flow({}), {"id": "a", "wires": [7]}, TypeError, "not iterable"),
        (Flow({}), {"id": "a", "wires": [[["unhashable"]]]}, TypeError, "unhashable"),
        (object(), {"id": "a", "wires": [["b"]]}, AttributeError, "_nodes"),
        (Flow({}), {"id": ["a"]}, TypeError, "unhashable"),
    ],
)
def test_bad_flows_raise(flow, start, error, text):
    with pytest.raises(error, match=text):
        walk(flow, start)


ids = st.one_of(st.sampled_from("abcdefgh"), st.none())
graphs = st.dictionaries(
    st.sampled_from("abcdef"),
    st.fixed_dictionaries({}, optional={"id": ids, "wires": st.lists(st.lists(ids, max_size=3), max_size=3)}),
    min_size=1,
)


@settings(max_examples=300, deadline=None)
@given(graphs, st.sampled_from("abcdef"))
def test_walk_matches_reference_on_random_graphs(nodes, start):
    node = nodes.get(start, {"id": start, "wires": [list(nodes)]})
    got, visited = walk(Flow(nodes), node)
    ref_visited = set()
    assert got == reference_walk(nodes, node, ref_visited)
    assert visited == ref_visited


def test_corpus_walks_match_reference(flow_exports):
    for path in flow_exports:
        nodes = {n["id"]: n for n in json.loads(path.read_text())}
        for node in nodes.values():
            assert walk(Flow(nodes), node)[0] == reference_walk(nodes, node, set()), (path.name, node["id"])


DEEP = """
import sys, threading
from zelk_sdk.redis import flowsweep
from support.doubles import Flow
flow = Flow({i: {"id": i, "wires": [[i + 1]]} for i in range(10000)})
def run():
    m = flowsweep.FlowsweepManager(None, flow, flow._nodes[0], "out")
    try:
        m._discover_downstream_nodes(flow._nodes[0], set())
    except RecursionError:
        print("RecursionError")
    print(m.clear_stream_keys())
"""


@pytest.mark.parametrize(
    "setup",
    [
        "run()",
        "sys.setrecursionlimit(100000); run()",
        "sys.setrecursionlimit(100000); threading.stack_size(1 << 20); threading.Thread(target=run).start()",
        # the smallest stack a thread may have
        f"sys.setrecursionlimit(100000); threading.stack_size({SMALLEST_STACK}); threading.Thread(target=run).start()",
    ],
)
def test_deep_chain_raises_recursion_error(setup):
    proc = subprocess.run([sys.executable, "-c", DEEP + setup], cwd=TESTS, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["RecursionError", "False"]


SMALL_STACK = """
import logging, threading
logging.disable(logging.CRITICAL)
from zelk_sdk.debug.leakscope import LeakscopeManager
from zelk_sdk.model import fetch
from zelk_sdk.redis import flowsweep
from support.doubles import Flow, MemoryRedis

def run():
    flow = Flow({"b": {"id": "b"}})
    print(flowsweep.FlowsweepManager(MemoryRedis(), flow, {"id": "a", "wires": [["b"]]}, "out").clear_stream_keys())
    print(fetch.get_model_url("https://h/m.tar.xz"))
    LeakscopeManager().stop()
    print("done")

threading.stack_size(SMALLEST_STACK)
t = threading.Thread(target=run)
t.start()
t.join()
"""


def test_native_calls_work_on_the_smallest_thread_stack():
    """The native stack guard keeps a margin below the last call, but never so
    much of a small stack that a first call is refused where Python code runs."""
    code = SMALL_STACK.replace("SMALLEST_STACK", str(SMALLEST_STACK))
    proc = subprocess.run([sys.executable, "-c", code], cwd=TESTS, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "https://h/m.tar.xz", "done"]
