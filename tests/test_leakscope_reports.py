"""LeakscopeManager's snapshot reports, on real tracemalloc snapshots."""

from __future__ import annotations

import linecache
import sys
import tracemalloc

import pytest

from support import alloc_site
from support.leak import Recorder, no_tracing_left  # noqa: F401
from support.logcap import RecordingLogger
from zelk_sdk.debug import leakscope

SITES = ("big", "medium", "small")


def manager(limit=10):
    return leakscope.LeakscopeManager(limit=limit, logger=RecordingLogger())


@pytest.fixture
def site_snapshot():
    """A real snapshot holding only the three allocations of alloc_site, and
    the traced size of each site, summed from its raw traces."""
    tracemalloc.start()
    alloc_site.allocate(300_000, 120_000, 40_000)
    snap = alloc_site.only_here(tracemalloc.take_snapshot())
    sizes = {name: site_size(snap, name) for name in SITES}
    assert sizes["big"] >= 300_000 and sizes["medium"] >= 120_000 and sizes["small"] >= 40_000
    assert sum(sizes.values()) == sum(t.size for t in snap.traces)
    return snap, sizes


def site_size(snap, name):
    line = alloc_site.line_of(name)
    return sum(t.size for t in snap.traces if t.traceback[0] == tracemalloc.Frame((alloc_site.FILE, line)))


def listed(index, name, size):
    where = f"{alloc_site.FILE}:{alloc_site.line_of(name)}"
    return [f"leak.tm -  #{index}: {where}: {size / 1024:.2f}KiB", "leak.tm - \t" + alloc_site.source_of(name)]


def rest(sizes, names):
    return [f"leak.tm -  {len(names)} other: {sum(sizes[n] for n in names) / 1024:.1f} KiB"]


def total(sizes):
    return [f"leak.tm -  Total allocated size: {sum(sizes.values()) / 1024:.1f} KiB"]


@pytest.mark.parametrize(
    "limit, shown, other",
    [
        (2, SITES[:2], SITES[2:]),
        (3, SITES, ()),  # exactly the number of statistics
        (5, SITES, ()),  # more than there are
        (0, (), SITES),
        (-1, SITES[:2], SITES[2:]),  # counts from the end, as slicing does
    ],
)
def test_top_report_lines(site_snapshot, limit, shown, other):
    snap, sizes = site_snapshot
    m = manager(limit)
    assert m.display_top_trace_scripts(snap) is None
    expected = [f"leak.tm - Top {limit} lines"]
    for index, name in enumerate(shown, 1):
        expected += listed(index, name, sizes[name])
    if other:
        expected += rest(sizes, other)
    assert m.logger.lines == expected + total(sizes)
    assert all(level == "info" for level, _ in m.logger.records)


def test_snapshot_without_traces():
    tracemalloc.start()
    m = manager()
    m.display_top_trace_scripts(snapshot=alloc_site.nothing(tracemalloc.take_snapshot()))
    assert m.logger.lines == ["leak.tm - Top 10 lines", "leak.tm -  Total allocated size: 0.0 KiB"]


def test_units_and_decimals_of_known_sizes():
    # the tracer's own Snapshot class over raw traces of known sizes:
    # (domain, size, frames, total frames)
    snap = tracemalloc.Snapshot(
        (
            (0, 3584, (("/app/main.py", 42),), 1),
            (0, 512, (("/app/other.py", 7),), 1),
            (0, 100, (("/app/other.py", 8),), 1),
            (0, 9999, (("<unknown>", 0),), 1),
            (0, 7777, (("<frozen importlib._bootstrap>", 3),), 1),
        ),
        1,
    )
    m = manager(1)
    m.display_top_trace_scripts(snap)
    assert m.logger.lines == [
        "leak.tm - Top 1 lines",
        "leak.tm -  #1: /app/main.py:42: 3.50KiB",  # no such file: no source line
        "leak.tm -  2 other: 0.6 KiB",
        "leak.tm -  Total allocated size: 4.1 KiB",
    ]
    m = manager(3)
    m.display_top_trace_scripts(snap)
    assert m.logger.lines[2:4] == ["leak.tm -  #2: /app/other.py:7: 0.50KiB", "leak.tm -  #3: /app/other.py:8: 0.10KiB"]


def test_key_types(site_snapshot):
    snap, sizes = site_snapshot
    m = manager()
    m.display_top_trace_scripts(snap, key_type="filename")
    # grouped by file the line number is 0: there is no source line to show
    assert m.logger.lines == [
        "leak.tm - Top 10 lines",
        f"leak.tm -  #1: {alloc_site.FILE}:0: {sum(sizes.values()) / 1024:.2f}KiB",
    ] + total(sizes)

    class Text(str):
        pass

    m.logger.clear()
    for bad in (None, Text("lineno"), b"lineno"):
        with pytest.raises(TypeError) as e:
            m.display_top_trace_scripts(snap, key_type=bad)
        assert str(e.value) == f"Argument 'key_type' has incorrect type (expected str, got {type(bad).__name__})"
    with pytest.raises(ValueError):
        m.display_top_trace_scripts(snap, key_type="nope")  # refused by the tracer itself
    assert m.logger.lines == []


def test_frozen_bootstrap_is_left_out_of_top_and_total_but_not_comparisons(tmp_path, monkeypatch):
    (tmp_path / "freshly_imported_mod.py").write_text("VALUES = [str(i) for i in range(100)]\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "freshly_imported_mod", raising=False)
    tracemalloc.start()
    empty = alloc_site.nothing(tracemalloc.take_snapshot())
    __import__("freshly_imported_mod")
    alloc_site.allocate(30_000, 20_000, 10_000)
    both = tracemalloc.take_snapshot().filter_traces(
        [tracemalloc.Filter(True, "<frozen importlib._bootstrap>"), tracemalloc.Filter(True, alloc_site.FILE)]
    )
    bootstrap = both.filter_traces([tracemalloc.Filter(True, "<frozen importlib._bootstrap>")])
    assert len(bootstrap.traces) > 0
    sizes = {name: site_size(both, name) for name in SITES}

    m = manager()
    m.display_top_trace_scripts(both)
    expected = ["leak.tm - Top 10 lines"]
    for index, name in enumerate(SITES, 1):
        expected += listed(index, name, sizes[name])
    assert m.logger.lines == expected + total(sizes)

    m.logger.clear()
    m._first_tm_snapshot = empty
    m.compare_snapshots(bootstrap)
    header = "leak.tm - compare with first: ======================="
    assert m.logger.lines[0] == header and len(m.logger.lines) > 1
    bootstrap_line = "leak.tm - compare with first: <frozen importlib._bootstrap>:"
    assert all(line.startswith(bootstrap_line) for line in m.logger.lines[1:])


def test_compare_sections(site_snapshot):
    snap, _ = site_snapshot
    empty = alloc_site.nothing(snap)
    m = manager()
    m.compare_snapshots(snap)
    assert m.logger.lines == []

    def section(label, cur, base):
        return [f"leak.tm - compare with {label}: ======================="] + [
            f"leak.tm - compare with {label}: {d}" for d in cur.compare_to(base, "lineno")
        ]

    m._first_tm_snapshot = empty
    m.compare_snapshots(cur_tm_snapshot=snap)
    assert m.logger.lines == section("first", snap, empty)
    first_line = f"leak.tm - compare with first: {alloc_site.FILE}:{alloc_site.line_of('big')}: size="
    assert m.logger.lines[1].startswith(first_line) and len(m.logger.lines) == 4

    m.logger.clear()
    m._last_tm_snapshot = snap
    m.compare_snapshots(snap)
    assert m.logger.lines == section("first", snap, empty) + section("last", snap, snap)
    assert all(" (+0 B), count=" in line for line in m.logger.lines[-3:])

    m.logger.clear()
    m._last_tm_snapshot = empty
    m.compare_snapshots(empty)  # no statistic on either side: the headers alone
    assert m.logger.lines == [
        "leak.tm - compare with first: =======================",
        "leak.tm - compare with last: =======================",
    ]


def test_compare_lists_ten_at_most_and_logs_the_header_first():
    tracemalloc.start()
    held = {}
    exec("\n".join(f"x{i} = bytearray({1000 * (i + 1)})" for i in range(15)), held)  # 15 sites
    whole = tracemalloc.take_snapshot()
    assert len(whole.statistics("lineno")) > 10
    m = manager(limit=1)  # the count of comparisons does not follow the limit
    m._last_tm_snapshot = alloc_site.nothing(whole)
    m.compare_snapshots(whole)
    assert len(m.logger.lines) == 11

    m.logger.clear()
    m._first_tm_snapshot = object()
    with pytest.raises(AttributeError):
        m.compare_snapshots(whole)
    assert m.logger.lines == ["leak.tm - compare with first: ======================="]


def test_filters_built_per_call_and_names_looked_up_per_use(site_snapshot, monkeypatch):
    snap, _ = site_snapshot
    tm = Recorder(tracemalloc)

    class Lines:
        def getline(self, filename, lineno, *rest):
            assert rest == ()
            return "   looked up now \n" if lineno == alloc_site.line_of("big") else linecache.getline(filename, lineno)

    monkeypatch.setattr(leakscope, "tracemalloc", tm)
    monkeypatch.setattr(leakscope, "linecache", Lines())
    m = manager(1)
    m.display_top_trace_scripts(snap)
    m.display_top_trace_scripts(snap)
    filters = [(args, kwargs) for name, args, kwargs, _ in tm.calls if name == "Filter"]
    assert filters == 2 * [((False, "<frozen importlib._bootstrap>"), {}), ((False, "<unknown>"), {})]
    assert m.logger.lines[2] == "leak.tm - \tlooked up now"
