"""The rows of bench/run.py for zelk_sdk.redis.flowsweep: walk (the flow walk
and key collection, with a perf profile of both) and clear (clearing a
stream's keys in a private redis-server)."""

from __future__ import annotations

import argparse
import gc
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import Quiet, alternate, line, med

RUNNER = Path(__file__).resolve().parent / "run.py"

# ------------------------------------------------------------------ row: walk

EVAL_SYMBOLS = ("_PyEval_", "_PyFrame_", "_PyThreadState_PushFrame", "_PyThreadState_PopFrame", "listiter_next",
                "_Py_Specialize", "clear_thread_frame", "_PyEvalFramePushAndInit", "_PyObject_VectorcallTstate")


def walk_managers():
    from bench_flowsweep import Flow, MemoryRedis, mixed
    from baselines import py_flowsweep
    from zelk_sdk.redis import flowsweep

    flowsweep.logger = py_flowsweep.logger = Quiet()
    nodes, root = mixed(20000)
    flow = Flow(nodes)
    native = flowsweep.FlowsweepManager(MemoryRedis(nodes), flow, root, "redis_root_out")
    peer = py_flowsweep.FlowsweepManager(MemoryRedis(nodes), flow, root, "redis_root_out")
    return nodes, root, native, peer


def perf_target(which: str, seconds: float) -> None:
    """Child of the profile: builds the flow, says so, waits, then collects keys
    for `seconds`."""
    _, _, native, peer = walk_managers()
    m = native if which == "native" else peer
    print("ready", flush=True)
    sys.stdin.readline()
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        m._collect_stream_redis_keys()


def perf_profile(which: str, seconds: float, workdir: Path) -> list[tuple[float, str, str]] | None:
    """(percent, shared object, symbol) of the samples of a key collection loop,
    recorded with perf attached after the set-up; None without a usable perf."""
    if shutil.which("perf") is None:
        return None
    data = workdir / f"perf-{which}.data"
    child = subprocess.Popen([sys.executable, str(RUNNER), "--perf-target", which, str(seconds)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        child.stdout.readline()
        rec = subprocess.Popen(["perf", "record", "-q", "-F", "999", "-p", str(child.pid), "-o", str(data)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        child.stdin.write("go\n")
        child.stdin.flush()
        child.wait(seconds + 60)
        rec.wait(60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if not data.exists():
        return None
    rep = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children", "--sort", "dso,sym", "-q"],
                         capture_output=True, text=True)
    rows = []
    for text in rep.stdout.splitlines():
        parts = text.split()
        if len(parts) >= 4 and parts[0].endswith("%"):
            rows.append((float(parts[0].rstrip("%")), parts[1], " ".join(parts[3:])))
    return rows or None


def row_walk(cfg: argparse.Namespace) -> list[dict]:
    runs = 7 if cfg.quick else 21
    nodes, root, native, peer = walk_managers()
    assert sorted(native._collect_stream_redis_keys()) == sorted(peer._collect_stream_redis_keys())
    assert native._discover_downstream_nodes(root, set()) == peer._discover_downstream_nodes(root, set())
    entries = len(native._discover_downstream_nodes(root, set()))
    clock = time.process_time
    lines = []
    n, p = alternate([native._collect_stream_redis_keys, peer._collect_stream_redis_keys], runs, clock,
                     setup=gc.collect)
    shape = f"{len(nodes)} nodes, {entries} entries, CPU time"
    lines.append(line("walk", f"`_collect_stream_redis_keys`, in-memory wrapper ({shape})", "ms", n, peer=p,
                      peer_label="Python", target="native >= 3x faster", check=("vs_peer", "min", 3.0)))
    n, p = alternate([lambda: native._discover_downstream_nodes(root, set()),
                      lambda: peer._discover_downstream_nodes(root, set())], runs, clock, setup=gc.collect)
    lines.append(line("walk", "breakdown: the walk alone (`_discover_downstream_nodes`)", "ms", n, peer=p,
                      peer_label="Python"))
    gc.disable()
    try:
        n2, p2 = alternate([native._collect_stream_redis_keys, peer._collect_stream_redis_keys], runs, clock,
                           setup=gc.collect)
    finally:
        gc.enable()
    lines.append(line("walk", "breakdown: key collection with the collector off", "ms", n2, peer=p2,
                      peer_label="Python"))

    with tempfile.TemporaryDirectory() as work:
        prof_p = perf_profile("python", 2.0 if cfg.quick else 4.0, Path(work))
        prof_n = perf_profile("native", 2.0 if cfg.quick else 4.0, Path(work))
    if prof_p and prof_n:
        own = sum(pct for pct, dso, _ in prof_n if dso.startswith("flowsweep"))
        evals = sum(pct for pct, _, sym in prof_p if sym.startswith(EVAL_SYMBOLS))
        ratio = med(lines[0]["vs_peer"])
        lines[0]["note"] = (f"perf: the module's own code is {own:.0f}% of the native samples, the rest is the "
                            f"runtime's dict/set/list/str/allocation/collector work that the semantics ask for; "
                            f"with its own code free the ratio would be at most {ratio / (1 - own / 100):.2f}x. "
                            f"The interpreter's eval loop, frames and list iterator are {evals:.0f}% of the "
                            f"Python peer's samples")
    else:
        lines[0]["note"] = "perf not available: no profile"
    return lines


# ------------------------------------------------------------------ row: clear


def node_id(rnd: random.Random) -> str:
    return f"{rnd.getrandbits(64):016x}"


def clear_fixture(stream_nodes: int, total_keys: int = 20000, owned: int = 5000, seed: int = 11):
    """A flows export: a stream of `stream_nodes` nodes (a tree of fan-out 2-3
    from the current node) owning `owned` keys, and other flows owning the rest."""
    rnd = random.Random(seed + stream_nodes)
    stream = [node_id(rnd) for _ in range(stream_nodes)]
    others = [node_id(rnd) for _ in range((total_keys - owned) // 50)]
    export = [{"id": "tab1", "type": "tab", "label": "Flow 1"}]
    for i, nid in enumerate(stream):
        export.append({"id": nid, "type": "function", "z": "tab1", "wires": [[]]})
    for i in range(1, stream_nodes):
        parent = export[1 + (i - 1) // rnd.choice((2, 3)) if i > 3 else 1]
        parent["wires"][0].append(stream[i])
    for i, nid in enumerate(others):
        export.append({"id": nid, "type": "function", "z": "tab1",
                       "wires": [[others[i + 1]]] if i + 1 < len(others) else [[]]})
    stream_keys = [f"redis_{stream[i % stream_nodes]}_{i // stream_nodes}" for i in range(owned)]
    other_keys = [f"redis_{others[i % len(others)]}_{i // len(others)}" for i in range(total_keys - owned)]
    return export, stream, stream_keys, other_keys


def row_clear(cfg: argparse.Namespace) -> list[dict]:
    import redis

    from services import RedisServer
    from zelk_sdk.nodered import ZelkFlow
    from zelk_sdk.redis import flowsweep
    from zelk_sdk.redis.wrapper import ZelkRedis

    if shutil.which("redis-server") is None:
        return [line("clear", "redis-server is not installed", "s", None)]
    flowsweep.logger = Quiet()
    runs = 2 if cfg.quick else 5
    naive_runs, naive_nodes = (1, 3) if cfg.quick else (3, 10)
    lines = []
    with tempfile.TemporaryDirectory() as work, RedisServer(Path(work)) as server:
        client = redis.Redis(port=server.port)
        zr = ZelkRedis(server.url)
        value = b"v" * 64
        per_node: dict[int, float] = {}
        for size in (50, 100, 200):
            export, stream, stream_keys, other_keys = clear_fixture(size)
            out_key = f"redis_{stream[0]}_out"
            client.flushall()
            pipe = client.pipeline(transaction=False)
            for k in other_keys:
                pipe.set(k, value)
            pipe.execute()
            flow = ZelkFlow(export, stream[0])
            cur = flow.parse_flow()["cur_node"]

            def restore() -> None:
                p = client.pipeline(transaction=False)
                for k in stream_keys:
                    p.set(k, value)
                p.set(out_key, value)
                p.execute()

            def check() -> None:
                left = client.dbsize()
                assert left == len(other_keys), f"{left} keys left, expected {len(other_keys)}"

            def native() -> None:
                assert flowsweep.FlowsweepManager(zr, flow, cur, out_key).clear_stream_keys() is True

            def limit() -> None:
                ids = set(stream)
                doomed = [out_key.encode()]
                for k in client.scan_iter(match="redis_*", count=10000):
                    if k.split(b"_", 2)[1].decode() in ids:
                        doomed.append(k)
                p = client.pipeline(transaction=False)
                for i in range(0, len(doomed), 500):
                    p.unlink(*doomed[i:i + 500])
                p.execute()

            n, lim = alternate([native, limit], runs, setup=restore, teardown=check)
            per_node[size] = med(n) / size
            peer = None
            note = f"{size} nodes owning 5000 of 20000 keys"
            if size == 100:
                # The naive loop makes one COUNT-10 keyspace walk per node, the same
                # for every node: it is timed on `naive_nodes` of the stream and
                # scaled to the whole stream.
                sample = stream[:naive_nodes]

                def naive() -> None:
                    for nid in sample:
                        for k in client.scan_iter(match=f"redis_{nid}_*"):
                            client.delete(k)

                (scan,) = alternate([naive], naive_runs, setup=restore, warmup=False)
                peer = [t * size / naive_nodes for t in scan]
                note += f"; naive loop timed on {naive_nodes} of the {size} nodes per run and scaled x{size // naive_nodes}"
            lines.append(line("clear", f"`clear_stream_keys` through `ZelkRedis` ({note})", "s", n, peer=peer,
                              peer_label="naive `scan_iter` + `delete`" if peer else "", limit=lim,
                              limit_label="1 SCAN COUNT 10000 + pipelined UNLINK",
                              target="native >= 5x the naive loop" if peer else "growth: see note",
                              check=("vs_peer", "min", 5.0) if peer else None))
        slope = (per_node[200] * 200 - per_node[50] * 50) / 150
        growth = (f"grows {slope * 1e3:.0f} ms per stream node (one keyspace SCAN each); "
                  f"200/50 nodes: {per_node[200] * 200 / (per_node[50] * 50):.1f}x")
        lines[-1]["case"] += f"; {growth}"
        zr.close()
        client.close()
    return lines

