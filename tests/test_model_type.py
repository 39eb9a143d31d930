"""Model type detection on real directory trees shaped like model exports."""

import os

import pytest

from support.archives import write_tree


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
