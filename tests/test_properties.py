"""Generated inputs against small models of the rules they must follow."""

from __future__ import annotations

import contextlib
import fnmatch
import os
import tempfile

import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.doubles import Flow, MemoryRedis
from support.logcap import RecordingLogger
from support.modes import scale
from zelk_sdk.model import fetch

MiB = 1024 * 1024
ZEROS = bytes(MiB)

PROPERTY = settings(max_examples=scale(150, 2000), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@contextlib.contextmanager
def rebound(module, **names):
    old = {k: getattr(module, k) for k in names}
    for k, v in names.items():
        setattr(module, k, v)
    try:
        yield
    finally:
        for k, v in old.items():
            setattr(module, k, v)


# --------------------------------------------------------------- progress lines


def expected_progress(sizes: list[int], declared: int) -> list[str]:
    """Every multiple of five that the truncated percentage lands on, once per
    change; nothing when no size is declared."""
    lines, done, last = [], 0, -1
    for n in sizes:
        done += n
        if not declared:
            continue
        pct = int(done * 100 / declared)
        if pct != last and pct % 5 == 0:
            lines.append(f"Downloading... {pct}% ({done // MiB}MB / {declared // MiB}MB)")
            last = pct
    return lines


def fake_requests(sizes: list[int], headers: dict[str, str]):
    class Response:
        status_code = 200

        def __init__(self):
            self.headers = requests.structures.CaseInsensitiveDict(headers)

        def iter_content(self, chunk_size):
            assert chunk_size == MiB
            for n in sizes:
                yield ZEROS[:n]

    class Requests:
        @staticmethod
        def get(url, stream, timeout):
            return Response()

    return Requests


declared_lengths = st.one_of(
    st.none(),
    st.just(0),
    st.integers(1, 12 * MiB),
    st.integers(-3 * MiB, -1),  # nonsense: no length at all
)


@PROPERTY
@given(
    sizes=st.lists(st.one_of(st.integers(0, MiB), st.sampled_from([0, 1, MiB])), max_size=12),
    declared=declared_lengths,
    exact=st.booleans(),
    coded=st.booleans(),
    header=st.sampled_from(["Content-Length", "content-length", "CONTENT-LENGTH"]),
)
def test_progress_lines_follow_the_five_percent_rule(sizes, declared, exact, coded, header):
    if exact:
        declared = sum(sizes)
    headers = {} if declared is None else {header: str(declared)}
    if coded:
        headers["Content-Encoding"] = "gzip"  # the delivered length may differ: no length check
    total = max(declared or 0, 0)
    framed = total > 0 and not coded
    short = framed and sum(sizes) < total
    # a framed body is cut before the chunk that runs past its length
    written: list[int] = []
    for n in sizes:
        if framed and sum(written) + n > total:
            break
        written.append(n)
    long = len(written) < len(sizes)

    log = RecordingLogger()
    with tempfile.TemporaryDirectory() as tmp, rebound(fetch, logger=log, requests=fake_requests(sizes, headers)):
        dest = os.path.join(tmp, "m.tar.xz")
        try:
            result = fetch.download_file("http://127.0.0.1:9/m.tar.xz", dest)
        except OSError as err:
            assert short or long, err
            assert os.listdir(tmp) == []
        else:
            assert not (short or long) and result is True
            assert os.path.getsize(dest) == sum(sizes) and os.listdir(tmp) == ["m.tar.xz"]
    progress = [m for m in log.lines if m.startswith("Downloading... ")]
    assert progress == expected_progress(written, total)


# --------------------------------------------------------------- flow graphs and stream keys


def model_walk(nodes, node, visited):
    """Depth first, pre-order; a node is expanded once, listed once per wire
    from an expanded node; ids missing from the table are skipped."""
    out = []
    if node.get("id") in visited:
        return out
    visited.add(node.get("id"))
    for port, targets in enumerate(node.get("wires", [])):
        for t in targets:
            if t in nodes:
                out.append((t, port))
                out.extend(model_walk(nodes, nodes[t], visited))
    return out


node_ids = st.sampled_from(["a", "b", "c", "d", "a_b", "_", "7", 7, 0, ""])
node_configs = st.fixed_dictionaries(
    {}, optional={"id": node_ids, "wires": st.lists(st.lists(node_ids, max_size=3), max_size=3), "type": st.just("t")}
)
suffixes = st.sampled_from(["1", "in", "out_2", "", "x_y"])


@PROPERTY
@given(
    table=st.dictionaries(st.sampled_from(["a", "b", "c", "d", "a_b", "_", "7"]), node_configs, min_size=1),
    current=node_configs,
    stored=st.lists(st.tuples(st.sampled_from(["a", "b", "c", "d", "a_b", "_", "7", "e", "0"]), suffixes)),
    out_key=st.sampled_from(["redis_a_out", "out", "redis_e_1"]),
)
def test_stream_keys_follow_the_walk(table, current, stored, out_key):
    from zelk_sdk.redis import flowsweep

    keys = {f"redis_{i}_{s}" for i, s in stored}
    store = MemoryRedis(keys)  # no glob characters in the ids drawn above
    m = flowsweep.FlowsweepManager(store, Flow(table), current, out_key)

    visited: set = set()
    walk = m._discover_downstream_nodes(current, visited)
    model_visited: set = set()
    expected_walk = model_walk(table, current, model_visited)
    assert [(e["node_id"], e["port"]) for e in walk] == expected_walk and visited == model_visited
    assert all(list(e) == ["node", "port", "node_id"] and e["node"] is table[e["node_id"]] for e in walk)

    ids = {t for t, _ in expected_walk} | ({current["id"]} if current.get("id") else set())
    patterns = sorted(f"redis_{i}_*" for i in ids)
    owned = {k for k in keys if any(fnmatch.fnmatchcase(k, p) for p in patterns)} | {out_key}

    log = RecordingLogger()
    with rebound(flowsweep, logger=log):
        assert m.clear_stream_keys() is True
        assert m.clear_stream_keys() is True  # skipped: nothing more is asked of the store
    assert sorted(store.patterns) == patterns
    assert len(store.deleted) == 1 and sorted(store.deleted[0]) == sorted(owned)
    assert set(store.keys) == keys - owned
    assert f"[flowsweep] downstream nodes found: {[t for t, _ in expected_walk]}" in log.lines
    assert f"[flowsweep] found {len(owned)} existing keys: {sorted(owned)}" in log.lines
    assert log.records[-2:] == [
        ("info", f"Flowsweep complete: {len(keys & owned)}/{len(owned)} keys deleted"),
        ("debug", "Redis keys already cleared, skipping"),
    ]
