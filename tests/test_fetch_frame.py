"""The fetch module as Python code sees it: namespace, signatures, argument and
result rules, call-time name lookup, import failures."""

import inspect
import pickle
import subprocess
import sys
import textwrap
import typing
import urllib.parse

import pytest

FUNCTIONS = [
    ("get_device_token", [], "Read the device authentication token from disk."),
    ("get_model_url", [("model_id", "str")], "Resolve a model identifier to a downloadable URL."),
    (
        "download_detection_model",
        [("model_id", "str")],
        "Download and extract a detection model, retrying until timeout.",
    ),
    (
        "check_model_type",
        [("model_dir", "str")],
        "Infer the ML framework type from the contents of a model directory.",
    ),
    (
        "_safe_extract",
        [("tar", "tarfile.TarFile"), ("path", "str")],
        "Extract a tar archive while rejecting path-traversal members.",
    ),
    ("download_file", [("cloud_url", "str"), ("local_file", "str")], "Stream a remote file to a local path."),
    ("download_url", [("cloud_url", "str")], "Download and extract a model archive from a signed URL."),
]
RETURNS = {"_safe_extract": "None", "download_file": "bool"}


def test_namespace_is_bound_in_order(fetch):
    import json, os, shutil, tarfile, time

    import magic
    import requests

    import zelk_sdk.constants as constants
    import zelk_sdk.logging

    names = [k for k in vars(fetch) if not k.startswith("__")]
    assert names == [
        "os", "time", "shutil", "requests", "tarfile", "json", "magic", "Optional", "urlparse",
        "get_logger", "MODEL_TYPE", "TOKEN_FILE", "BASE_MODEL_DIR", "MODEL_URL", "logger", "fm",
        "DOWNLOAD_MODEL_TIMEOUT", *[f[0] for f in FUNCTIONS],
    ]  # fmt: skip
    assert (fetch.os, fetch.time, fetch.shutil, fetch.requests) == (os, time, shutil, requests)
    assert (fetch.tarfile, fetch.json, fetch.magic) == (tarfile, json, magic)
    assert fetch.Optional is typing.Optional and fetch.urlparse is urllib.parse.urlparse
    assert fetch.get_logger is zelk_sdk.logging.get_logger
    assert fetch.MODEL_TYPE is constants.MODEL_TYPE
    assert type(fetch.DOWNLOAD_MODEL_TIMEOUT) is int and fetch.DOWNLOAD_MODEL_TIMEOUT == 300
    assert isinstance(fetch.fm, magic.Magic)
    assert "SERVER_HOST" in fetch.__doc__ and "safe tar extraction" in fetch.__doc__


@pytest.mark.parametrize("name, params, first_line", FUNCTIONS)
def test_functions_look_like_python_functions(fetch, name, params, first_line):
    f = getattr(fetch, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "zelk_sdk.model.fetch"
    assert f.__doc__.splitlines()[0] == first_line
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    ret = RETURNS.get(name, "Optional[str]")
    assert f.__annotations__ == {**dict(params), "return": ret}
    sig = inspect.signature(f)
    assert [(p.name, p.kind, p.annotation) for p in sig.parameters.values()] == [
        (n, inspect.Parameter.POSITIONAL_OR_KEYWORD, a) for n, a in params
    ]
    assert sig.return_annotation == ret
    assert pickle.loads(pickle.dumps(f)) is f
    assert inspect.getdoc(f).startswith(first_line)


def test_signature_text(fetch):
    assert str(inspect.signature(fetch.get_model_url)) == "(model_id: 'str') -> 'Optional[str]'"


def test_keyword_call_is_the_same_call(fetch, fetch_log):
    assert fetch.get_model_url(model_id="https://h/m.tar.xz") == "https://h/m.tar.xz"
    assert fetch.get_model_url("https://h/m.tar.xz") == "https://h/m.tar.xz"
    assert fetch_log.lines == ["Get the download url from model_id:https://h/m.tar.xz"] * 2


def test_module_names_are_looked_up_at_call_time(fetch, fetch_log, monkeypatch):
    calls = []
    monkeypatch.setattr(fetch, "get_model_url", lambda m: calls.append(m) or None)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 0)
    assert fetch.download_detection_model("key") is None
    assert calls == []  # budget 0: no attempt
    monkeypatch.delattr(fetch, "logger")
    with pytest.raises(NameError, match=r"^name 'logger' is not defined$"):
        fetch.download_detection_model("key")


def test_builtins_fallback_and_pinned_open(fetch, fetch_log, monkeypatch, tmp_path):
    import builtins

    token = tmp_path / "t"
    token.write_text("abc")
    monkeypatch.setattr(fetch, "TOKEN_FILE", str(token))
    # FileNotFoundError comes from the builtins until the module defines its own
    assert fetch.get_device_token() == "abc"
    # open is resolved once at import: neither a module attribute nor a new builtin changes it
    monkeypatch.setattr(fetch, "open", lambda *a, **k: 1 / 0, raising=False)
    monkeypatch.setattr(builtins, "open", lambda *a, **k: 1 / 0)
    assert fetch.get_device_token() == "abc"


def test_result_rule_for_optional_str(fetch, fetch_log, monkeypatch):
    monkeypatch.setattr(fetch, "get_model_url", lambda m: "u")
    monkeypatch.setattr(fetch, "download_url", lambda cloud_url: 5)
    with pytest.raises(TypeError, match=r"^Expected unicode, got int$"):
        fetch.download_detection_model("key")


def test_traceback_names_native_frames(fetch, tmp_path):
    with pytest.raises(FileNotFoundError) as err:
        fetch.check_model_type(str(tmp_path / "missing"))
    names = [entry.name for entry in err.traceback]
    assert "check_model_type.<locals>.get_extensions" in names
    assert "check_model_type" in names


def run_isolated(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_import_fails_without_a_configuration_name_and_retries():
    r = run_isolated(
        """
        import sys, zelk_sdk.constants as c
        url = c.MODEL_URL
        del c.MODEL_URL
        try:
            import zelk_sdk.model.fetch
        except ImportError as e:
            print("1:", type(e).__name__, e)
        print("registered:", "zelk_sdk.model.fetch" in sys.modules)
        c.MODEL_URL = url
        import zelk_sdk.model.fetch as f
        print("2:", f.MODEL_URL == url, [k for k in vars(f) if not k.startswith("_")][-3:])
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "1: ImportError cannot import name MODEL_URL",
        "registered: False",
        "2: True ['check_model_type', 'download_file', 'download_url']",
    ]


def test_import_failures_propagate():
    r = run_isolated(
        """
        import sys
        import zelk_sdk.logging as zl
        def broken(name):
            raise RuntimeError("no logger for " + name)
        real, zl.get_logger = zl.get_logger, broken
        try:
            import zelk_sdk.model.fetch
        except RuntimeError as e:
            print("logger:", e)
        zl.get_logger = real
        sys.modules["magic"] = None
        try:
            import zelk_sdk.model.fetch
        except ImportError as e:
            print("magic:", type(e).__name__)
        del sys.modules["magic"]
        import zelk_sdk.model.fetch as f
        print("ok:", f.logger.name)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["logger: no logger for MODEL", "magic: ModuleNotFoundError", "ok: MODEL"]


def test_interrupts_pass_through_exception_handlers(fetch, fetch_log, monkeypatch):
    def interrupted(*a, **k):
        raise KeyboardInterrupt

    monkeypatch.setattr(fetch, "get_device_token", interrupted)
    with pytest.raises(KeyboardInterrupt):
        fetch.get_model_url("key")
    assert fetch_log.at("warning") == []
