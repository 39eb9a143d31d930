import inspect
import logging
import subprocess
import sys
import typing

import pytest

from support.logcap import RecordingLogger
from zelk_sdk.redis import flowsweep, utils

M = flowsweep.FlowsweepManager


def test_namespace_and_class_shape():
    names = [k for k in vars(flowsweep) if not k.startswith("__")]
    assert names == ["Any", "Dict", "Set", "List", "get_logger", "gen_redis_key_local", "logger",
                     "FlowsweepManager", "clear_stream_redis_keys"]
    assert (flowsweep.Any, flowsweep.Dict, flowsweep.List) == (typing.Any, typing.Dict, typing.List)
    assert flowsweep.gen_redis_key_local is utils.gen_redis_key_local
    assert flowsweep.logger is logging.getLogger("REDIS_FLOWSWEEP")
    assert M.__bases__ == (object,) and type(M) is type
    assert (M.__module__, M.__qualname__) == ("zelk_sdk.redis.flowsweep", "FlowsweepManager")
    assert M.__doc__.startswith("Manages Redis key cleanup for Node-RED streams.")
    assert flowsweep.__doc__.startswith("Redis utilities for clearing the KV stores of streams across Node-RED flows.")


@pytest.mark.parametrize(
    "fn, signature, doc",
    [
        (M.__init__, "(self, redis_wrapper: 'Any', nodered_flow: 'Any', node_config: 'Dict[str, Any]', "
                     "redis_out_key: 'str')", "Initialize the FlowsweepManager."),
        (M._discover_downstream_nodes, "(self, node: 'Dict[str, Any]', visited: 'Set[str]') -> "
                                       "'List[Dict[str, Any]]'",
         "Recursively discover all downstream nodes from a given node."),
        (M._collect_stream_redis_keys, "(self) -> 'List[str]'", "Collect all existing Redis keys related to this stream."),
        (M.clear_stream_keys, "(self, max_ports: 'int' = 10) -> 'bool'", "Clear all Redis KV stores related to this stream."),
        (M.reset_cleanup_flag, "(self) -> 'None'", "Reset the cleanup flag to allow re-running cleanup."),
        (flowsweep.clear_stream_redis_keys, "(redis_wrapper: 'Any', nodered_flow: 'Any', node_config: "
                                            "'Dict[str, Any]', redis_out_key: 'str', max_ports: 'int' = 10) -> 'bool'",
         "Convenience function to clear Redis keys for a Node-RED stream."),
    ],
)
def test_signatures(fn, signature, doc):
    assert str(inspect.signature(fn)) == signature
    assert fn.__defaults__ == ((10,) if "= 10" in signature else None) and fn.__kwdefaults__ is None
    assert fn.__doc__.splitlines()[0] == doc
    assert fn.__module__ == "zelk_sdk.redis.flowsweep"
    assert fn.__qualname__ == (fn.__name__ if fn is flowsweep.clear_stream_redis_keys else "FlowsweepManager." + fn.__name__)


class Config(dict):
    pass


def refused(name, expected, value):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: M(None, None, None, "k"), refused("node_config", "dict", None)),
        (lambda m: M(None, None, {}, b"k"), refused("redis_out_key", "str", b"")),
        (lambda m: M(None, None, None, None), refused("node_config", "dict", None)),
        (lambda m: m._discover_downstream_nodes(Config(), set()), refused("node", "dict", Config())),
        (lambda m: m._discover_downstream_nodes(None, set()), refused("node", "dict", None)),
        *[(lambda m, v=v: m._discover_downstream_nodes({}, v), refused("visited", "set", v))
          for v in (frozenset(), [], None)],
        *[(lambda m, v=v: m.clear_stream_keys(v), refused("max_ports", "int", v)) for v in ("10", True, None)],
        *[(lambda m, v=v: flowsweep.clear_stream_redis_keys(None, None, {}, "k", max_ports=v),
           refused("max_ports", "int", v)) for v in ("10", True, None)],
        (lambda m: flowsweep.clear_stream_redis_keys(None, None, {}, None, None), refused("redis_out_key", "str", None)),
    ],
)
def test_exact_types_refused_before_the_body(monkeypatch, call, message):
    m = M(None, None, {}, "k")
    log = RecordingLogger()
    monkeypatch.setattr(flowsweep, "logger", log)
    monkeypatch.setattr(flowsweep, "FlowsweepManager", None)  # a manager built now would fail differently
    with pytest.raises(TypeError) as err:
        call(m)
    assert str(err.value) == message
    assert log.records == [] and m._keys_cleared is False


def test_constructor_takes_keywords():
    by_keyword = M(redis_out_key="k", node_config={}, nodered_flow=2, redis_wrapper=1)
    assert vars(by_keyword) == {"redis_wrapper": 1, "nodered_flow": 2, "node_config": {}, "redis_out_key": "k",
                                "_keys_cleared": False}


EXIT_INSIDE_A_FINALIZER = """
import gc, threading, time
from zelk_sdk.redis import flowsweep

inside = threading.Event()


class LastWord(str):  # what the module lets go of last; its finalizer lets the GIL go
    def __del__(self):
        inside.set()
        time.sleep(0.5)


class Failure(Exception):
    def __str__(self):
        return LastWord("scan failed")  # logged, and let go of, while the module handles the error


class Wrapper:
    def scan_keys(self, pattern):
        if {in_handler!r}:
            raise Failure()
        return []

    def delete_many(self, keys):
        return LastWord("1")


class Flow:
    nodes = [{{"id": "n1", "wires": []}}]


class SlowExit:  # cyclic garbage, collected at the exit: it keeps the exit busy past the wake-up
    def __del__(self, sleep=time.sleep):
        sleep(1.5)


gc.disable()
cycle = SlowExit()
cycle.me = cycle
del cycle
manager = flowsweep.FlowsweepManager(Wrapper(), Flow(), {{"id": "n1"}}, "out")
threading.Thread(target=manager.clear_stream_keys, daemon=True).start()
assert inside.wait(10)
"""


@pytest.mark.parametrize("in_handler", [False, True], ids=["result", "while handling an error"])
def test_a_thread_ended_by_the_exit_inside_a_released_reference_ends_quietly(in_handler):
    # the interpreter ends a daemon thread that asks for the GIL during its
    # exit by unwinding it; here that happens inside a finalizer that runs
    # when the module lets go of a reference, where no unwinding may pass (a
    # destructor) or be caught (a handler of another exception): either ended
    # the process with std::terminate
    script = EXIT_INSIDE_A_FINALIZER.format(in_handler=in_handler)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr[-2000:]
