"""Model type detection on real directory trees shaped like model exports."""

import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.archives import write_tree
from support.modes import scale


@pytest.fixture
def mt(fetch):
    return fetch.MODEL_TYPE


def make(tmp_path, rel, files):
    root = tmp_path / rel
    root.mkdir(parents=True, exist_ok=True)
    write_tree(root, files)
    return str(root)


@pytest.mark.parametrize(
    "rel, files, expected",
    [
        ("yolov4", {"yolov4.cfg": "", "yolov4.weights": b"w"}, "TF_YOLO"),
        ("exports/yolo_tiny/m", {"m.weights": b"w"}, "TF_YOLO"),
        ("ir", {"model.xml": "<net/>", "model.bin": b"b"}, "OPENVINO"),
        ("lite", {"detect.TFLITE": b"t"}, "TF_LITE"),
        ("engine", {"model.tar.trt": b"e"}, "TensorRT"),
        ("YOLOv5-export", {"frozen.pb": b"p"}, "TF_YOLO"),
        ("my_YOLO", {"saved_model/saved_model.pb": b"p"}, "TF_YOLO"),
        ("tf2", {"saved_model/saved_model.pb": b"p", "saved_model/variables/variables.index": b"i"}, "TF_V2"),
        ("tf1", {"frozen_inference_graph.pb": b"p"}, "TF_V1"),
        ("YOLOv4", {"yolov4.cfg": "", "yolov4.weights": b"w"}, "TF_V2"),
        ("darknet", {"net.weights": b"w"}, "TF_V2"),
        ("torch", {"model.cfg": "", "model.pt": b"t"}, "TORCH"),
    ],
)
def test_decision_rows(fetch, fetch_log, mt, tmp_path, rel, files, expected):
    path = make(tmp_path, rel, files)
    result = fetch.check_model_type(path)
    assert result == getattr(mt, expected) and type(result) is str
    assert fetch_log.records == []


@pytest.mark.parametrize(
    "files",
    [
        {},
        {"model.xml": "<net/>"},
        {"model.pt": b"t"},
        {".pb": b"hidden"},
        {"sub/model.tflite": b"t", "variables/variables.index": b"i"},
        {"Saved_Model/saved_model.pb": b"p"},
        # a saved_model directory without a .pb next to a frozen graph: no TF_V1
        {"saved_model/readme.txt": "x", "frozen.pb": b"p"},
    ],
)
def test_undecidable(fetch, fetch_log, tmp_path, files):
    path = make(tmp_path, "model", files)
    assert fetch.check_model_type(path) is None
    assert fetch_log.records == [("warning", f"Could not determine model type for: {path}")]


def test_directories_and_links_named_like_files(fetch, fetch_log, mt, tmp_path):
    path = make(tmp_path, "m", {"model.bin": b"b"})
    os.mkdir(os.path.join(path, "model.xml"))
    assert fetch.check_model_type(path) is None
    os.rmdir(os.path.join(path, "model.xml"))
    real = tmp_path / "elsewhere.xml"
    real.write_text("<net/>")
    os.symlink(real, os.path.join(path, "model.xml"))
    assert fetch.check_model_type(path) == mt.OPENVINO


def test_missing_or_unlistable_paths_raise_unlogged(fetch, fetch_log, tmp_path):
    with pytest.raises(FileNotFoundError):
        fetch.check_model_type(str(tmp_path / "missing"))
    f = tmp_path / "file"
    f.write_text("x")
    with pytest.raises(NotADirectoryError):
        fetch.check_model_type(str(f))
    assert fetch_log.records == []


def test_inner_functions_are_called_with_keywords_and_look_names_up(fetch, fetch_log, tmp_path, monkeypatch):
    path = make(tmp_path, "x", {"a.tflite": b""})
    import os as real_os

    listed = []

    class SpyOs:
        path = real_os.path

        @staticmethod
        def listdir(p):
            listed.append(p)
            return real_os.listdir(p)

    monkeypatch.setattr(fetch, "os", SpyOs)
    fetch.check_model_type(path)
    # weights, xml+bin, tflite: one listing per test, nothing cached
    assert listed == [path] * 3

    class Types:
        TF_LITE = 7

    monkeypatch.setattr(fetch, "os", real_os)
    monkeypatch.setattr(fetch, "MODEL_TYPE", Types)
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        fetch.check_model_type(path)


def test_rebound_path_functions_are_called(fetch, fetch_log, mt, tmp_path, monkeypatch):
    """The module tests entries itself only while os.path's own functions are
    in force; a rebound one is called for every entry."""
    path = make(tmp_path, "m", {})
    os.mkdir(os.path.join(path, "a.tflite"))  # a directory: no TF_LITE file
    assert fetch.check_model_type(path) is None
    seen = []

    def isfile(p):
        seen.append(p)
        return True

    monkeypatch.setattr(os.path, "isfile", isfile)
    assert fetch.check_model_type(path) == mt.TF_LITE
    assert seen == [os.path.join(path, "a.tflite")] * 3  # weights, xml+bin, tflite

    monkeypatch.undo()
    monkeypatch.setattr(os.path, "splitext", lambda p: (p, ".trt"))
    assert fetch.check_model_type(make(tmp_path, "n", {"plain": b""})) == mt.TensorRT

    # os.path.isfile calls os.stat: a patched one is honoured too
    monkeypatch.undo()
    real_stat = os.stat

    def stat(p, *a, **k):
        if str(p).endswith(".tflite"):
            raise FileNotFoundError(p)
        return real_stat(p, *a, **k)

    lite = make(tmp_path, "l", {"m.tflite": b""})
    assert fetch.check_model_type(lite) == mt.TF_LITE
    monkeypatch.setattr(os, "stat", stat)
    assert fetch.check_model_type(lite) is None


ENTRY_NAMES = [
    "model.xml", "model.bin", "detect.TFLITE", "m.tar.trt", ".pb", "..pb", "a..pb", "frozen.pb", "net.weights",
    "m.cfg", "m.pt", "noext", "x.", "saved_model", "Saved_Model", "mod\u00e8le.XML", "\udcff.bin", "\u6a21\u578b.pt",
]  # fmt: skip
ENTRY_KINDS = ["file", "dir", "link to file", "link to dir", "dangling link"]


@settings(max_examples=scale(150, 2000), deadline=None, suppress_health_check=list(HealthCheck))
@given(
    entries=st.dictionaries(st.sampled_from(ENTRY_NAMES), st.sampled_from(ENTRY_KINDS), max_size=8),
    saved=st.sets(st.sampled_from(["saved_model.pb", "variables.index", ".pb", "x.PB"]), max_size=2),
    rel=st.sampled_from(["m", "yolov4", "YOLO", "yolo_a/b", "mod\u00e8le"]),
)
def test_own_path_tests_agree_with_os_path(entries, saved, rel):
    """Whatever the entries (names with dots and any characters, directories,
    links, dangling links), the result and log are those of os.path's own
    functions called per entry."""
    from support.logcap import RecordingLogger
    from zelk_sdk.model import fetch

    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, rel)
        os.makedirs(root)
        target_file = os.path.join(tmp, "target-file")
        open(target_file, "w").close()
        target_dir = os.path.join(tmp, "target-dir")
        os.mkdir(target_dir)
        for name, kind in entries.items():
            p = os.path.join(root, name)
            if kind == "file":
                open(p, "w").close()
            elif kind == "dir":
                os.mkdir(p)
                if name == "saved_model":
                    for s in saved:
                        open(os.path.join(p, s), "w").close()
            else:
                os.symlink({"link to file": target_file, "link to dir": target_dir}.get(kind, tmp + "/gone"), p)

        def run():
            log, fetch.logger = fetch.logger, RecordingLogger()
            try:
                return fetch.check_model_type(root), fetch.logger.records
            finally:
                fetch.logger = log

        own = run()
        calls = []

        def wrap(f):
            return lambda *a: calls.append(f.__name__) or f(*a)

        real = {k: getattr(os.path, k) for k in ("join", "isfile", "isdir", "splitext")}
        try:
            for k, f in real.items():
                setattr(os.path, k, wrap(f))
            called = run()
        finally:
            for k, f in real.items():
                setattr(os.path, k, f)
        assert own == called
        assert ("isfile" in calls) == bool(entries)
