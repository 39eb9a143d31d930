"""Argument errors, word for word: the fetch module words them as compiled
functions do, flowsweep and leakscope as the interpreter does for Python
functions and methods. Either way the body does not run."""

import pytest

from support.logcap import RecordingLogger
from zelk_sdk.debug.leakscope import LeakscopeManager
from zelk_sdk.model import fetch
from zelk_sdk.redis.flowsweep import FlowsweepManager


class Text(str):
    pass


# The counts go through C varargs ("%zd" with a Py_ssize_t): passed with the
# wrong width they read as garbage, or as the neighbouring argument, on 32-bit
# ARM only.
FETCH_STYLE = [
    (fetch.get_model_url, ("a", "b"), {}, "get_model_url() takes exactly 1 positional argument (2 given)"),
    (fetch.get_model_url, (), {}, "get_model_url() takes exactly 1 positional argument (0 given)"),
    (fetch.download_file, ("u",), {}, "download_file() takes exactly 2 positional arguments (1 given)"),
    (fetch.download_file, (), {"local_file": "x"}, "download_file() takes exactly 2 positional arguments (0 given)"),
    (fetch.get_device_token, (1,), {}, "get_device_token() takes no arguments (1 given)"),
    (fetch.get_device_token, (0, 1, 2), {}, "get_device_token() takes no arguments (3 given)"),
    (fetch.get_device_token, (), {"x": 1}, "get_device_token() takes no keyword arguments"),
    (fetch.get_model_url, (), {"key": "k"}, "get_model_url() got an unexpected keyword argument 'key'"),
    (fetch.get_model_url, ("k",), {"model_id": "k"}, "get_model_url() got multiple values for keyword argument 'model_id'"),
    (fetch.get_model_url, (None,), {}, "Argument 'model_id' has incorrect type (expected str, got NoneType)"),
    (fetch.get_model_url, (Text("http://x"),), {}, "Argument 'model_id' has incorrect type (expected str, got Text)"),
    (fetch.check_model_type, (b"/tmp",), {}, "Argument 'model_dir' has incorrect type (expected str, got bytes)"),
    (fetch.download_detection_model, (None,), {}, "Argument 'model_id' has incorrect type (expected str, got NoneType)"),
]  # fmt: skip


sweep = FlowsweepManager(None, None, {}, "k")
scope = LeakscopeManager(logger=RecordingLogger())
F, L = "FlowsweepManager.", "LeakscopeManager."

INTERPRETER_STYLE = [
    (FlowsweepManager, (1, 2, {}), {}, F + "__init__() missing 1 required positional argument: 'redis_out_key'"),
    (FlowsweepManager, (1, 2, {}, "k"), {"redis_wrapper": 1},
     F + "__init__() got multiple values for argument 'redis_wrapper'"),
    (sweep.clear_stream_keys, (1, 2), {},
     F + "clear_stream_keys() takes from 1 to 2 positional arguments but 3 were given"),
    (sweep.reset_cleanup_flag, (), {"x": 1}, F + "reset_cleanup_flag() got an unexpected keyword argument 'x'"),
    (LeakscopeManager, (1, scope.logger, False, 4), {},
     L + "__init__() takes from 1 to 4 positional arguments but 5 were given"),
    (LeakscopeManager, (), {"limit": 1, "bogus": 2}, L + "__init__() got an unexpected keyword argument 'bogus'"),
    (LeakscopeManager, (1,), {"limit": 2}, L + "__init__() got multiple values for argument 'limit'"),
    (scope.leakscope_check, (1,), {}, L + "leakscope_check() takes 1 positional argument but 2 were given"),
    (scope.compare_snapshots, (), {},
     L + "compare_snapshots() missing 1 required positional argument: 'cur_tm_snapshot'"),
]  # fmt: skip


@pytest.mark.parametrize("call, args, kwargs, message", FETCH_STYLE + INTERPRETER_STYLE)
def test_argument_errors(fetch_log, sweep_log, call, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        call(*args, **kwargs)
    assert str(err.value) == message
    assert fetch_log.records == sweep_log.records == scope.logger.records == [] and sweep._keys_cleared is False
