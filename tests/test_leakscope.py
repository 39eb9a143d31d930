"""LeakscopeManager: module frame, constructor, check pass and stop."""

from __future__ import annotations

import copy as copy_module
import gc
import importlib
import sys
import threading
import tracemalloc
import typing
import weakref

import pytest

import zelk_sdk.debug
import zelk_sdk.logging
from support import alloc_site
from support.leak import Recorder, no_tracing_left  # noqa: F401
from support.logcap import RecordingLogger
from zelk_sdk.debug import leakscope

Manager = leakscope.LeakscopeManager


def test_namespace_and_class_shape():
    names = [k for k in vars(leakscope) if not k.startswith("__")]
    assert names == "copy gc linecache threading tracemalloc Optional logging get_logger LeakscopeManager".split()
    assert leakscope.gc is gc and leakscope.copy is copy_module and leakscope.Optional is typing.Optional
    assert leakscope.get_logger is zelk_sdk.logging.get_logger
    assert leakscope.logging is sys.modules["logging"]
    assert Manager.__bases__ == (threading.Thread,) and type(Manager) is type
    assert (Manager.__module__, Manager.__qualname__) == ("zelk_sdk.debug.leakscope", "LeakscopeManager")
    methods = [k for k, v in vars(Manager).items() if callable(v)]
    assert methods == ["__init__", "display_top_trace_scripts", "compare_snapshots", "leakscope_check", "stop"]
    assert "run" not in vars(Manager)
    assert Manager.__init__.__defaults__ == (10, None, False)
    assert Manager.__init__.__annotations__ == {"limit": "int", "logger": "Optional[logging.Logger]", "debug": "bool"}
    assert Manager.leakscope_check.__annotations__ == {"return": "bool"}
    assert Manager.stop.__annotations__ == {"return": "None"}
    assert Manager.display_top_trace_scripts.__defaults__ == ("lineno",)
    assert Manager.display_top_trace_scripts.__annotations__ == {
        "snapshot": "tracemalloc.Snapshot",
        "key_type": "str",
        "return": "None",
    }
    assert Manager.compare_snapshots.__annotations__ == {"cur_tm_snapshot": "tracemalloc.Snapshot", "return": "None"}
    assert Manager.compare_snapshots.__qualname__ == "LeakscopeManager.compare_snapshots"


def fresh_import():
    sys.modules.pop("zelk_sdk.debug.leakscope", None)
    try:
        return importlib.import_module("zelk_sdk.debug.leakscope")
    except ImportError:
        assert "zelk_sdk.debug.leakscope" not in sys.modules
        raise
    finally:
        sys.modules["zelk_sdk.debug.leakscope"] = leakscope
        zelk_sdk.debug.leakscope = leakscope


def test_import_takes_thread_at_class_creation_and_fails_cleanly(monkeypatch):
    class PatchedThread(threading.Thread):
        pass

    monkeypatch.setattr(threading, "Thread", PatchedThread)
    assert fresh_import().LeakscopeManager.__bases__ == (PatchedThread,)
    monkeypatch.undo()

    monkeypatch.delattr(zelk_sdk.logging, "get_logger")
    with pytest.raises(ImportError, match="cannot import name get_logger"):
        fresh_import()


def test_defaults(monkeypatch):
    asked = []
    made = RecordingLogger()
    monkeypatch.setattr(leakscope, "get_logger", lambda *a, **k: asked.append((a, k)) or made)
    m = Manager()
    assert asked == [(("leakscope",), {})]
    assert m.logger is made and m.debug is False and m._limit == 10
    assert m._first_tm_snapshot is None and m._last_tm_snapshot is None
    assert not tracemalloc.is_tracing()
    assert m.name.startswith("Thread-") and not m.is_alive() and m._target is None
    assert made.records == []


class IntSub(int):
    pass


@pytest.mark.parametrize("limit", [True, None, 5.0, IntSub(3), "10"])
def test_limit_must_be_exactly_int_before_base_constructor(monkeypatch, limit):
    ran = []
    real_init = threading.Thread.__init__
    monkeypatch.setattr(threading.Thread, "__init__", lambda self, *a, **k: ran.append(1) or real_init(self, *a, **k))
    monkeypatch.setattr(leakscope, "get_logger", lambda *a: ran.append(2))
    with pytest.raises(TypeError) as e:
        Manager(limit=limit, debug=True)
    assert str(e.value) == f"Argument 'limit' has incorrect type (expected int, got {type(limit).__name__})"
    assert ran == [] and not tracemalloc.is_tracing()
    Manager(7, RecordingLogger())
    assert ran == [1]


def test_falsy_logger_is_kept_and_debug_is_stored_unconverted(monkeypatch):
    class FalsyLogger(RecordingLogger):
        def __bool__(self):
            return False

    monkeypatch.setattr(leakscope, "get_logger", None)  # would fail if called
    log = FalsyLogger()
    off = Manager(logger=log, debug=0)
    assert off.logger is log and off.debug == 0 and type(off.debug) is int and not tracemalloc.is_tracing()
    on = Manager(logger=log, debug=[1])
    assert on.debug == [1] and tracemalloc.is_tracing()
    assert isinstance(on._first_tm_snapshot, tracemalloc.Snapshot) and on._last_tm_snapshot is None
    assert log.records == []


def test_debug_off_pass_is_one_collection_and_nothing_else(monkeypatch):
    log = RecordingLogger()
    m = Manager(logger=log)
    counting_gc, watched_tm = Recorder(gc), Recorder(tracemalloc)
    monkeypatch.setattr(leakscope, "gc", counting_gc)
    monkeypatch.setattr(leakscope, "tracemalloc", watched_tm)
    monkeypatch.setattr(leakscope, "copy", None)
    monkeypatch.setattr(leakscope, "linecache", None)
    assert m.leakscope_check() is True
    assert [(name, args, kwargs) for name, args, kwargs, _ in counting_gc.calls] == [("collect", (), {})]
    assert counting_gc.used == ["collect"]
    assert m.stop() is None
    assert watched_tm.used == [] and log.records == [] and m._last_tm_snapshot is None


@pytest.mark.parametrize("how", ["stopped", "switched on later"])
def test_debug_pass_without_tracing_raises_and_logs_nothing(monkeypatch, how):
    log = RecordingLogger()
    if how == "stopped":
        m = Manager(logger=log, debug=True)
        first = m._first_tm_snapshot
        m.stop()
        m.stop()  # harmless
        assert m._first_tm_snapshot is first
    else:
        m = Manager(logger=log)
        m.debug = True
    counting_gc = Recorder(gc)
    monkeypatch.setattr(leakscope, "gc", counting_gc)
    with pytest.raises(RuntimeError, match="must be tracing"):
        m.leakscope_check()
    assert log.records == [] and counting_gc.used == [] and m._last_tm_snapshot is None


def test_debug_pass_order_and_exact_lines(monkeypatch):
    log = RecordingLogger()
    tm, counting_gc, copier = Recorder(tracemalloc), Recorder(gc), Recorder(copy_module)
    monkeypatch.setattr(leakscope, "tracemalloc", tm)
    monkeypatch.setattr(leakscope, "gc", counting_gc)
    monkeypatch.setattr(leakscope, "copy", copier)
    m = Manager(limit=3, logger=log, debug=True)
    first = m._first_tm_snapshot
    site = f"{alloc_site.FILE}:{alloc_site.line_of('grow')}: "
    previous = None

    for n in (1, 2):
        log.clear()
        counting_gc.calls.clear()
        alloc_site.grow(400_000)  # outgrows everything else traced since the last snapshot
        assert m.leakscope_check() is True
        lines = log.lines
        cur = tm.results("take_snapshot")[-1]
        size, peak = tm.results("get_traced_memory")[-1]
        before, after = counting_gc.results("get_count")
        (found,) = counting_gc.results("collect")

        assert lines[0] == "leak.tm - Top 3 lines"
        assert lines[1].startswith("leak.tm -  #1: " + site) and lines[1].endswith("KiB")
        assert lines[2] == "leak.tm - \t" + alloc_site.source_of("grow")
        at = lines.index(f"leak.tm - get_traced_memory: {size}, {peak}")
        assert lines[at - 1].startswith("leak.tm -  Total allocated size: ")
        sections = [("first", first)] + ([("last", previous)] if n == 2 else [])
        expected = []
        for label, base in sections:
            expected.append(f"leak.tm - compare with {label}: =======================")
            expected += [f"leak.tm - compare with {label}: {d}" for d in cur.compare_to(base, "lineno")[:10]]
        assert lines[at + 1 : -3] == expected
        if n == 2:
            header = lines.index("leak.tm - compare with last: =======================")
            assert lines[header + 1].startswith("leak.tm - compare with last: " + site)
        assert lines[-3:] == [
            f"leak.gc - get_count (before): {before}",
            f"leak.gc - collect: {found}",
            f"leak.gc - get_count (after): {after}",
        ]
        assert [name for name, *_ in counting_gc.calls] == ["get_count", "collect", "get_count"]
        assert copier.calls[-1][1] == (cur,) and m._last_tm_snapshot is copier.calls[-1][3]
        assert m._last_tm_snapshot is not cur and m._last_tm_snapshot.traces is cur.traces
        assert m._first_tm_snapshot is first
        previous = m._last_tm_snapshot


def test_reports_are_called_through_the_instance_by_keyword():
    calls = []

    class Quiet(Manager):
        def display_top_trace_scripts(self, *args, **kwargs):
            calls.append(("top", args, kwargs))

        def compare_snapshots(self, *args, **kwargs):
            calls.append(("compare", args, kwargs))

    log = RecordingLogger()
    m = Quiet(logger=log, debug=True)
    m.leakscope_check()
    (top, (_, a2, k2)) = calls
    assert top[0] == "top" and top[1] == () and list(top[2]) == ["snapshot"]
    assert a2 == () and k2 == {"cur_tm_snapshot": top[2]["snapshot"]}
    assert [line.split(": ")[0] for line in log.lines] == [
        "leak.tm - get_traced_memory",
        "leak.gc - get_count (before)",
        "leak.gc - collect",
        "leak.gc - get_count (after)",
    ]


def test_failure_midway_propagates_and_skips_the_rest(monkeypatch):
    log = RecordingLogger()
    m = Manager(logger=log, debug=True)

    class Broken:
        def __getattr__(self, name):
            if name == "get_traced_memory":
                return lambda: (1, 2, 3)
            return getattr(tracemalloc, name)

    counting_gc = Recorder(gc)
    monkeypatch.setattr(leakscope, "tracemalloc", Broken())
    monkeypatch.setattr(leakscope, "gc", counting_gc)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        m.leakscope_check()
    assert log.lines[0] == "leak.tm - Top 10 lines" and log.lines[-1].startswith("leak.tm -  Total allocated size: ")
    assert m._last_tm_snapshot is None and counting_gc.used == []


def test_repeated_debug_passes_hold_on_to_nothing():
    m = Manager(limit=5, logger=RecordingLogger(keep=False), debug=True)
    for _ in range(3):
        m.leakscope_check()
    # tracemalloc counts every thread's blocks, and a thread that an earlier
    # test left (a server's) may allocate meanwhile: a count over the bound is
    # taken once more, and the smaller one judged; a leak grows in both
    growths = []
    for _ in range(2):
        settled, _ = tracemalloc.get_traced_memory()
        for _ in range(15):
            m.leakscope_check()
        growths.append(tracemalloc.get_traced_memory()[0] - settled)
        if growths[-1] < 64 * 1024:
            break
    assert min(growths) < 64 * 1024, f"{growths} bytes more traced after 15 passes"
    gone = [weakref.ref(m), weakref.ref(m._first_tm_snapshot), weakref.ref(m._last_tm_snapshot)]
    del m
    gc.collect()
    assert [r() for r in gone] == [None, None, None]
