"""The compiled modules seen through the tools that Python code points at them:
help(), inspect, functools, pickle and multiprocessing."""

from __future__ import annotations

import copy
import functools
import gc
import inspect
import multiprocessing
import pickle
import pydoc
import re

import pytest

from support.logcap import RecordingLogger

MODULES = ["zelk_sdk.model.fetch", "zelk_sdk.debug.leakscope", "zelk_sdk.redis.flowsweep"]


@pytest.fixture(params=MODULES)
def module(request):
    return pytest.importorskip(request.param)


def is_native(obj):
    # each module has its own function type, made from one type description
    return type(obj).__qualname__ == "native_function" and hasattr(obj, "__signature__")


def own_functions(module):
    return {n: v for n, v in vars(module).items() if is_native(v)}


def own_classes(module):
    return {n: v for n, v in vars(module).items() if isinstance(v, type) and v.__module__ == module.__name__}


def methods(cls):
    return {n: v for n, v in vars(cls).items() if is_native(v)}


def every_callable(module):
    found = [(n, f) for n, f in own_functions(module).items()]
    for cname, cls in own_classes(module).items():
        found += [(f"{cname}.{n}", f) for n, f in methods(cls).items()]
    return found


def flat(text: str) -> str:
    # whitespace and the bars of a class page go; pydoc wraps long signatures
    return re.sub(r"[\s|]+", "", text)


def test_every_module_has_functions_or_classes(module):
    assert every_callable(module)


def test_help_shows_each_function_and_method_with_signature_and_docstring(module):
    page = flat(pydoc.render_doc(module, renderer=pydoc.plaintext))
    assert flat(module.__doc__.splitlines()[0]) in page
    for name, f in every_callable(module):
        first_line = flat(inspect.getdoc(f).splitlines()[0])
        own = flat(pydoc.render_doc(f, renderer=pydoc.plaintext))
        assert flat(f.__name__ + str(inspect.signature(f))) in own, name
        assert first_line in own, name
        if not f.__name__.startswith("_") or f.__name__ == "__init__":
            # on the module's page, as for a Python function; private names are left out there alike
            assert flat(f.__name__ + str(inspect.signature(f))) in page, name
            assert first_line in page, name


def test_docstrings_through_inspect(module):
    assert inspect.getdoc(module)
    for cls in own_classes(module).values():
        assert inspect.getdoc(cls) == inspect.cleandoc(cls.__doc__)
    for name, f in every_callable(module):
        doc = inspect.getdoc(f)
        assert doc and doc == inspect.cleandoc(f.__doc__), name
        # not inherited: __init__ describes its own class's arguments
        assert "This constructor should always be called with keyword arguments" not in doc


def test_annotation_texts_resolve_in_the_module_namespace(module):
    # typing.get_type_hints evaluates them in __globals__, as for a Python function
    import typing

    for name, f in every_callable(module):
        hints = typing.get_type_hints(f)
        assert set(hints) == set(f.__annotations__), name
        assert all(not isinstance(h, str) for h in hints.values()), name


class Wrong:
    """A value that no exact-type parameter accepts."""


SHAPES = ["all positional", "all keyword", "one missing", "one extra", "unknown keyword", "twice"]


def call_shape(params, shape):
    names = [p.name for p in params]
    values = [Wrong() for _ in names]
    if shape == "all positional":
        return values, {}
    if shape == "all keyword":
        return [], dict(zip(names, values))
    if shape == "one missing":
        # a parameter without a default, the others by keyword
        required = [n for n, p in zip(names, params) if p.default is p.empty]
        return [], {n: v for n, v in zip(names, values) if n != required[0]} if required else None
    if shape == "one extra":
        return [*values, Wrong()], {}
    if shape == "unknown keyword":
        return values, {"no_such_parameter": Wrong()}
    return values, {names[0]: Wrong()}  # the first parameter given twice


def typed_callables():
    """(label, callable, signature) for every callable that has a type-tested
    parameter, called the way an application calls it."""
    from zelk_sdk.debug import leakscope
    from zelk_sdk.model import fetch

    out = [(n, f, inspect.signature(f)) for n, f in own_functions(fetch).items() if n != "get_device_token"]
    manager = leakscope.LeakscopeManager()
    out.append(("LeakscopeManager", leakscope.LeakscopeManager, inspect.signature(leakscope.LeakscopeManager)))
    out.append(("display_top_trace_scripts", manager.display_top_trace_scripts,
                inspect.signature(manager.display_top_trace_scripts)))
    try:
        from zelk_sdk.redis import flowsweep
    except ImportError:
        return out
    fm = flowsweep.FlowsweepManager(object(), object(), {}, "out")
    out.append(("FlowsweepManager", flowsweep.FlowsweepManager, inspect.signature(flowsweep.FlowsweepManager)))
    out.append(("clear_stream_redis_keys", flowsweep.clear_stream_redis_keys,
                inspect.signature(flowsweep.clear_stream_redis_keys)))
    for name in ("_discover_downstream_nodes", "clear_stream_keys"):
        bound = getattr(fm, name)
        out.append((name, bound, inspect.signature(bound)))
    return out


def test_signatures_accept_exactly_the_calls_that_the_functions_accept():
    # A call that inspect.signature binds must get past argument binding (and
    # fail on the exact-type test, before the body); one it refuses must fail
    # in binding. A signature out of step with the function shows here.
    for label, f, sig in typed_callables():
        params = list(sig.parameters.values())
        for shape in SHAPES:
            args, kwargs = call_shape(params, shape)
            if kwargs is None:
                continue
            try:
                sig.bind(*args, **kwargs)
                binds = True
            except TypeError:
                binds = False
            with pytest.raises(TypeError) as e:
                f(*args, **kwargs)
            assert ("has incorrect type" in str(e.value)) == binds, (label, shape, str(e.value))


def test_bound_methods_and_classes_have_the_signature_of_their_call():
    from zelk_sdk.debug.leakscope import LeakscopeManager

    manager = LeakscopeManager()
    assert list(inspect.signature(LeakscopeManager.display_top_trace_scripts).parameters)[0] == "self"
    assert list(inspect.signature(manager.display_top_trace_scripts).parameters) == ["snapshot", "key_type"]
    assert str(inspect.signature(LeakscopeManager)) == str(inspect.signature(manager.__init__))
    assert inspect.signature(manager.stop).return_annotation == "None"


def find_native(qualname):
    return [o for o in gc.get_objects() if is_native(o) and o.__qualname__ == qualname]


def test_nested_function_introspection(tmp_path):
    # _safe_extract makes its member check per call; catch it while it runs
    from zelk_sdk.model import fetch

    seen = {}

    class Member:
        @property
        def name(self):
            (check,) = find_native("_safe_extract.<locals>._check")
            seen["check"] = check
            return "ok.txt"

        def issym(self):
            return False

        def islnk(self):
            return False

    class Tar:
        def __iter__(self):
            return iter([Member()])

        def extract(self, member, path, filter):
            pass

    fetch._safe_extract(Tar(), str(tmp_path))
    check = seen["check"]
    assert str(inspect.signature(check)) == "(member)"
    assert check.__module__ == "zelk_sdk.model.fetch"
    assert inspect.getdoc(check).startswith("Return the member")
    assert "_check(member)" in pydoc.render_doc(check, renderer=pydoc.plaintext)
    # a local function pickles no more than a Python one does
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(check)


def test_partial_partialmethod_and_wraps(tmp_path):
    from zelk_sdk.constants import MODEL_TYPE
    from zelk_sdk.debug.leakscope import LeakscopeManager
    from zelk_sdk.model import fetch

    (tmp_path / "m.tflite").write_bytes(b"x")
    classify = functools.partial(fetch.check_model_type, str(tmp_path))
    assert classify() == MODEL_TYPE.TF_LITE
    assert str(inspect.signature(classify)) == "() -> 'Optional[str]'"
    by_keyword = functools.partial(fetch.check_model_type, model_dir=str(tmp_path))
    assert by_keyword() == MODEL_TYPE.TF_LITE

    @functools.wraps(fetch.check_model_type)
    def logged(*args, **kwargs):
        return fetch.check_model_type(*args, **kwargs)

    assert logged.__wrapped__ is fetch.check_model_type
    assert (logged.__name__, logged.__qualname__, logged.__module__) == (
        "check_model_type", "check_model_type", "zelk_sdk.model.fetch")
    assert logged.__doc__ == fetch.check_model_type.__doc__
    assert logged.__annotations__ == {"model_dir": "str", "return": "Optional[str]"}
    assert inspect.signature(logged) == inspect.signature(fetch.check_model_type)
    assert logged(str(tmp_path)) == MODEL_TYPE.TF_LITE

    class Manager(LeakscopeManager):
        # the native method bound through partialmethod and through a wrapper
        by_file = functools.partialmethod(LeakscopeManager.display_top_trace_scripts, key_type="filename")

        @functools.wraps(LeakscopeManager.compare_snapshots)
        def compare_snapshots(self, cur_tm_snapshot):
            self.logger.info("wrapped")
            return LeakscopeManager.compare_snapshots(self, cur_tm_snapshot)

    manager = Manager(limit=1, logger=RecordingLogger())
    import tracemalloc

    snapshot = tracemalloc.Snapshot([], 1)
    manager.by_file(snapshot)
    manager.compare_snapshots(snapshot)
    assert manager.logger.records == [
        ("info", "leak.tm - Top 1 lines"), ("info", "leak.tm -  Total allocated size: 0.0 KiB"), ("info", "wrapped")]
    assert Manager.compare_snapshots.__qualname__ == "LeakscopeManager.compare_snapshots"
    assert str(inspect.signature(manager.by_file)) == (
        "(snapshot: 'tracemalloc.Snapshot', *, key_type: 'str' = 'filename') -> 'None'")


def test_functions_and_classes_pickle_by_reference(module):
    objects = [*own_functions(module).values()]
    for cls in own_classes(module).values():
        objects += [cls, *methods(cls).values()]
    for obj in objects:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(obj, protocol)
            assert pickle.loads(data) is obj, (obj, protocol)
            assert module.__name__.encode() in data
        assert copy.deepcopy(obj) is obj
        assert copy.copy(obj) is obj


def _classify_in_child(f, cls, path):
    # runs in a spawned interpreter: the function and the class came by reference
    return f(path), cls.__module__, cls(limit=3)._limit


def test_functions_and_classes_cross_a_process_boundary(tmp_path):
    from zelk_sdk.constants import MODEL_TYPE
    from zelk_sdk.debug.leakscope import LeakscopeManager
    from zelk_sdk.model import fetch

    (tmp_path / "net.xml").write_text("<net/>")
    (tmp_path / "net.bin").write_bytes(b"\0")
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        result = pool.apply(_classify_in_child, (fetch.check_model_type, LeakscopeManager, str(tmp_path)))
    assert result == (MODEL_TYPE.OPENVINO, "zelk_sdk.debug.leakscope", 3)
