"""No reference or memory leaks: every public function and method, called many
times on its success and failure paths, leaves allocated blocks, resident
memory, open descriptors and the reference counts of its arguments flat.

The loops run in fresh subprocesses (support/leakloop.py), all groups at once;
1000 calls per case in the normal suite, 50 000 with ZELK_FULL=1.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from support.leakloop import block_limit
from support.modes import FULL, SANITIZED, scale

TESTS = Path(__file__).resolve().parent
CALLS = scale(1000, 50_000)
# shards of each group, run side by side
GROUPS = {"fetch": 2, "leakscope": 1, "flowsweep": 1}
MiB = 1024 * 1024


@pytest.fixture(scope="session")
def leak_runs() -> dict[str, list[dict]]:
    procs = {}
    for group, shards in GROUPS.items():
        for k in range(shards):
            cmd = [sys.executable, "-m", "support.leakloop", group, str(CALLS), f"{k}/{shards}"]
            procs[(group, k)] = subprocess.Popen(
                cmd, cwd=TESTS, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
            )
    runs: dict[str, list[dict]] = {group: [] for group in GROUPS}
    for (group, k), proc in procs.items():
        out, err = proc.communicate(timeout=3600 if FULL else 600)
        runs[group] += [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        if proc.returncode != 0:
            runs[group].append({"case": f"<shard {k}>", "error": f"exit {proc.returncode}: {err[-2000:]}"})
    return runs


def public_callables(group: str) -> set[str]:
    if group == "fetch":
        from zelk_sdk.model import fetch

        kind = type(fetch.get_model_url)
        return {name for name, v in vars(fetch).items() if isinstance(v, kind)}
    if group == "leakscope":
        from zelk_sdk.debug.leakscope import LeakscopeManager

        methods = {name for name, v in vars(LeakscopeManager).items() if callable(v) and name != "__init__"}
        return methods | {"LeakscopeManager"}
    if group == "flowsweep":
        from zelk_sdk.redis import flowsweep

        cls = flowsweep.FlowsweepManager
        methods = {name for name, v in vars(cls).items() if callable(v) and name != "__init__"}
        return methods | {"FlowsweepManager", "clear_stream_redis_keys"}
    raise LookupError(group)


@pytest.mark.parametrize("group", list(GROUPS))
def test_repeated_calls_leave_nothing_behind(leak_runs, group):
    results = leak_runs[group]
    covered = {r["case"].split(" ")[0].split("(")[0] for r in results}
    assert public_callables(group) <= covered, "callables without a leak case"

    bad = []
    for r in results:
        if "error" in r:
            bad.append(f"{r['case']}: {r['error']}")
            continue
        problems = []
        if r["blocks"] > block_limit(r["calls"]):
            problems.append(f"{r['blocks']} blocks")
        if r["fds"] != 0:
            problems.append(f"{r['fds']} descriptors")
        if any(r["refs"]):
            problems.append(f"references to the arguments {r['refs']}")
        if not SANITIZED and r["rss"] > 3 * MiB:
            problems.append(f"{r['rss'] // 1024} KiB resident")
        if problems:
            bad.append(f"{r['case']} ({r['calls']} calls): " + ", ".join(problems))
    assert not bad, "\n".join(bad)
