import json
import re

import pytest

from support.doubles import Flow
from support.logcap import RecordingLogger
from support.redis_server import SpyRedis, disposable_redis, redis_server  # noqa: F401
from zelk_sdk.nodered import ZelkFlow
from zelk_sdk.redis import flowsweep


@pytest.fixture
def rz(redis_server):
    r = SpyRedis(redis_server.url, cluster=False)
    r.client.flushall()
    yield r
    r.close()


def put(r, *keys):
    for k in keys:
        r.client.set(k, "v")


def stored(r):
    return sorted(k.decode() for k in r.client.keys())


def manager(r, wires, start="a", out="redis_a_out"):
    flow = ZelkFlow([{"id": k, "type": "t", "wires": v} for k, v in wires.items()], start)
    return flowsweep.FlowsweepManager(r, flow, flow.parse_flow()["cur_node"], out)


def test_pass_once_until_reset(rz, sweep_log):
    put(rz, "redis_b_1", "redis_b_2", "redis_c_1", "redis_ab_1", "redis_a")
    m = manager(rz, {"a": [["b"]], "b": [], "c": [["b"]]})
    assert m.clear_stream_keys() is True
    assert sweep_log.records == [
        ("info", "Clearing all Redis KV stores for this stream"),
        ("info", "[flowsweep] current_node_id='a'"),
        ("info", "[flowsweep] downstream nodes found: ['b']"),
        ("info", "[flowsweep] found 3 existing keys: ['redis_a_out', 'redis_b_1', 'redis_b_2']"),
        ("info", "Flowsweep complete: 2/3 keys deleted"),
    ]
    assert sorted(rz.scans) == ["redis_a_*", "redis_b_*"]
    assert rz.deletes == [["redis_a_out", "redis_b_1", "redis_b_2"]]
    assert stored(rz) == ["redis_a", "redis_ab_1", "redis_c_1"]

    sweep_log.clear()
    m.nodered_flow = None  # a second pass must not touch the flow either
    assert m.clear_stream_keys() is True
    assert sweep_log.records == [("debug", "Redis keys already cleared, skipping")] and len(rz.scans) == 2

    assert m.reset_cleanup_flag() is None and m._keys_cleared is False and len(sweep_log.records) == 1
    assert m.clear_stream_keys() is False  # a full pass again: it fails on the flow now
    m._keys_cleared = True  # set by hand: obeyed
    assert m.clear_stream_keys() is True and sweep_log.records[-1][0] == "debug"


def test_one_scan_per_distinct_node(rz, sweep_log):
    # a reaches d twice and itself once; max_ports has no effect
    put(rz, "redis_a_out", "redis_d_1")
    m = manager(rz, {"a": [["b", "c"]], "b": [["d"]], "c": [["d"]], "d": [["a"]]})
    results = []
    for max_ports in (1, 100):
        sweep_log.clear()
        rz.scans.clear()
        results.append((m.clear_stream_keys(max_ports=max_ports), list(sweep_log.lines)))
        m.reset_cleanup_flag()
        put(rz, "redis_a_out", "redis_d_1")
    assert results[0] == results[1]
    assert results[0][1][2:] == [
        "[flowsweep] downstream nodes found: ['b', 'd', 'a', 'c', 'd']",
        "[flowsweep] found 2 existing keys: ['redis_a_out', 'redis_d_1']",
        "Flowsweep complete: 2/2 keys deleted",
    ]
    assert sorted(rz.scans) == ["redis_a_*", "redis_b_*", "redis_c_*", "redis_d_*"]
    assert rz.deletes[0] == ["redis_a_out", "redis_d_1"]


def test_current_node_without_id(rz, sweep_log):
    m = flowsweep.FlowsweepManager(rz, ZelkFlow([{"id": "x", "type": "t"}], "x"), {"wires": [["x"]]}, "out")
    assert m.clear_stream_keys() is True
    assert sweep_log.lines[1:3] == [
        "[flowsweep] current_node_id=None",
        "[flowsweep] node_config has no 'id' \u2014 current node keys will not be collected",
    ]
    assert sweep_log.records[2][0] == "warning"
    assert rz.scans == ["redis_x_*"] and rz.deletes == [["out"]]


def test_glob_characters_in_ids_match_only_their_own_keys(rz, sweep_log):
    ids = ["a*", "b?", "c[x]", "d\\"]
    own = [f"redis_{i}_1" for i in ids]
    others = ["redis_ab_1", "redis_bz_1", "redis_cx_1", "redis_d_1", "redis_a*x_1"]
    put(rz, *own, *others)
    m = manager(rz, {"a*": [ids[1:]], "b?": [], "c[x]": [], "d\\": []}, start="a*", out="o")
    assert m.clear_stream_keys() is True
    assert sorted(rz.scans) == ["redis_a\\*_*", "redis_b\\?_*", "redis_c\\[x\\]_*", "redis_d\\\\_*"]
    assert stored(rz) == sorted(others)


def test_server_dying_mid_pass(disposable_redis, sweep_log):
    r = SpyRedis(disposable_redis.url, cluster=False, socket_timeout=2,
                 on_scan=lambda n: n == 2 and disposable_redis.stop())
    put(r, "redis_b_1")
    m = manager(r, {"a": [["b"]], "b": []})
    assert m.clear_stream_keys() is False
    assert len(r.scans) == 2 and r.deletes == [] and m._keys_cleared is False
    level, line = sweep_log.records[-1]
    assert level == "error" and line.startswith("Failed to clear Redis keys: ") and "127.0.0.1" in line


def test_bytes_keys_fail_the_pass_and_delete_nothing(rz, sweep_log):
    class BytesRedis(SpyRedis):
        def scan_keys(self, pattern="*"):
            return [k.encode() for k in super().scan_keys(pattern)]

    r = BytesRedis(client=rz.client)
    put(r, "redis_a_1")
    assert manager(r, {"a": []}).clear_stream_keys() is False
    assert sweep_log.records[-1][0] == "error"
    assert re.fullmatch(r"Failed to clear Redis keys: '<' not supported between instances of "
                        r"'(str' and 'bytes|bytes' and 'str)'", sweep_log.lines[-1])
    assert r.deletes == [] and stored(r) == ["redis_a_1"]


class Unhashable:
    __hash__ = None


@pytest.mark.parametrize(
    "breaks, text",
    [
        (lambda m: setattr(m, "nodered_flow", object()), "'object' object has no attribute '_nodes'"),
        (lambda m: m.nodered_flow._nodes.__setitem__("b", ["x"]),
         "Argument 'node' has incorrect type (expected dict, got list)"),
        (lambda m: m.node_config.__setitem__("wires", [[Unhashable()]]), "unhashable type: 'Unhashable'"),
        (lambda m: setattr(m, "node_config", ["x"]), "'list' object has no attribute 'get'"),
        (lambda m: setattr(m, "redis_wrapper", None), "'NoneType' object has no attribute 'scan_keys'"),
    ],
)
def test_failures_become_false(rz, sweep_log, breaks, text):
    m = manager(rz, {"a": [["b"]], "b": []})
    breaks(m)
    assert m.clear_stream_keys() is False
    assert sweep_log.records[-1] == ("error", "Failed to clear Redis keys: " + text)
    assert m._keys_cleared is False and rz.deletes == []


def test_interrupts_pass_through(rz, sweep_log):
    class Interrupted(SpyRedis):
        def delete_many(self, keys):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        manager(Interrupted(client=rz.client), {"a": []}).clear_stream_keys()
    assert sweep_log.at("error") == []


def test_convenience_function_builds_a_manager_per_call(rz, sweep_log, monkeypatch):
    built = []

    class Recorded(flowsweep.FlowsweepManager):
        def __init__(self, **kwargs):
            built.append(sorted(kwargs))
            super().__init__(**kwargs)

    monkeypatch.setattr(flowsweep, "FlowsweepManager", Recorded)
    flow = ZelkFlow([{"id": "a", "type": "t", "wires": [["b"]]}, {"id": "b", "type": "t"}], "a")
    for _ in range(2):
        put(rz, "redis_b_1")
        assert flowsweep.clear_stream_redis_keys(rz, flow, flow.parse_flow()["cur_node"], "o", 3) is True
        assert stored(rz) == []
    assert built == [["node_config", "nodered_flow", "redis_out_key", "redis_wrapper"]] * 2
    assert len(rz.scans) == 4 and len(rz.deletes) == 2


def downstream_ids(nodes, start):
    seen, todo = {start}, [start]
    while todo:
        for port in nodes[todo.pop()].get("wires", []):
            for t in port:
                if t in nodes and t not in seen:
                    seen.add(t)
                    todo.append(t)
    return seen


def test_corpus_flows_clear_exactly_their_stream(rz, sweep_log, flow_exports):
    for path in flow_exports:
        nodes = {n["id"]: n for n in json.loads(path.read_text())}
        start = max(nodes, key=lambda i: (len(downstream_ids(nodes, i)), i))
        rz.client.flushall()
        put(rz, *(f"redis_{i}_{s}" for i in nodes for s in ("in", "out0")))
        flow = ZelkFlow(path, start)
        assert flowsweep.clear_stream_redis_keys(rz, flow, flow.parse_flow()["cur_node"], f"redis_{start}_out0")
        stream = downstream_ids(nodes, start)
        assert len(stream) > 1, path.name
        assert stored(rz) == sorted(f"redis_{i}_{s}" for i in nodes.keys() - stream for s in ("in", "out0"))


def test_logger_is_looked_up_before_the_line_is_built(monkeypatch):
    """As in `logger.info(f"...{x!r}")`: the method is looked up before the
    value is formatted."""

    class LoudRepr:
        def __hash__(self):
            return 1

        def __repr__(self):
            raise AssertionError("formatted before the logger was looked up")

    manager = flowsweep.FlowsweepManager(None, Flow(), {"id": LoudRepr()}, "k")
    # (rebound, not deleted: the module's namespace keeps its order)
    monkeypatch.setattr(flowsweep, "logger", object())
    with pytest.raises(AttributeError, match="has no attribute 'info'"):
        manager._collect_stream_redis_keys()


@pytest.mark.parametrize("where", ["downstream line", "found line", "completion line"])
def test_every_line_computes_its_values_after_the_lookup(monkeypatch, where):
    """The lines whose values take work (the listed ids, the sorted keys, the
    deleted count) do that work only after the logger's method is found; a
    logger that lost `info` is what the pass reports."""
    recorder = RecordingLogger()

    class ErrorsOnly:
        def error(self, message):
            recorder.error(message)

    class Loud:
        def __hash__(self):
            return 1

        def __format__(self, format_spec):
            raise ValueError("formatted before the lookup")

        def __repr__(self):
            raise ValueError("formatted before the lookup")

        def __lt__(self, other):
            raise ValueError("sorted before the lookup")

        def __getitem__(self, key):
            raise ValueError("listed before the lookup")

    class Store:
        def scan_keys(self, pattern):
            if where == "found line":
                flowsweep.logger = ErrorsOnly()
                return [Loud()]
            return []

        def delete_many(self, keys):
            flowsweep.logger = ErrorsOnly()
            return Loud()

    class Manager(flowsweep.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            if where == "downstream line":
                flowsweep.logger = ErrorsOnly()
                return [Loud()]
            return []

    monkeypatch.setattr(flowsweep, "logger", flowsweep.logger)  # restored after the test
    assert Manager(Store(), Flow(), {"id": "a"}, "k").clear_stream_keys() is False
    assert recorder.lines == ["Failed to clear Redis keys: 'ErrorsOnly' object has no attribute 'info'"]
