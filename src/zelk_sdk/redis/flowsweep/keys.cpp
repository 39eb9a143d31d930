// Key collection and the clearing pass: one pattern scan per node of the
// stream, one deletion for all keys, at most once per manager until reset.
#include "common.hpp"

namespace zelk::flowsweep {
namespace {

constexpr Param kConvenienceParams[] = {
    {"redis_wrapper", "Any"},
    {"nodered_flow", "Any"},
    {"node_config", "Dict[str, Any]", Exact::dict},
    {"redis_out_key", "str", Exact::str},
    {"max_ports", "int", Exact::int_, int_default(10)},
};

constexpr Param kClearParams[] = {
    {"self"},
    {"max_ports", "int", Exact::int_, int_default(10)},
};

constexpr Param kSelfOnly[] = {{"self"}};

bool is_glob_char(Py_UCS4 ch) { return ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\'; }

// `s` with a backslash before every character that Redis MATCH reads as glob
// syntax, so that the id only ever matches itself.
Ref glob_escape(PyObject* s) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t special = 0;
  for (Py_ssize_t i = 0; i < len; ++i) special += is_glob_char(PyUnicode_READ(kind, data, i));
  if (special == 0) return Ref::borrow(s);
  Ref out = Ref::steal(PyUnicode_New(len + special, PyUnicode_MAX_CHAR_VALUE(s)));
  const int out_kind = PyUnicode_KIND(out.get());
  void* out_data = PyUnicode_DATA(out.get());
  for (Py_ssize_t i = 0, j = 0; i < len; ++i) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (is_glob_char(ch)) PyUnicode_WRITE(out_kind, out_data, j++, '\\');
    PyUnicode_WRITE(out_kind, out_data, j++, ch);
  }
  return out;
}

// "redis_<id>_*": every key that the node owns.
Ref key_pattern(PyObject* node_id) { return textf("redis_%U_*", glob_escape(fmt(node_id)).get()); }

Ref collect_stream_redis_keys(Ctx& c) {
  PyObject* self = c.arg(param(kSelfOnly, "self"));
  Ref all_keys = Ref::steal(PySet_New(nullptr));
  Ref node_ids = Ref::steal(PySet_New(nullptr));

  Ref current_node_id = call_method(getattr(self, c.interned(n::node_config)), c.interned(n::get), c.interned(n::id));
  log(c, n::info, [&] { return textf("[flowsweep] current_node_id=%R", current_node_id.get()); });
  if (truthy(current_node_id)) {
    check(PySet_Add(node_ids, current_node_id));
  } else {
    log(c, n::warning, [&] {
      return text("[flowsweep] node_config has no 'id' \xe2\x80\x94 current node keys will not be collected");
    });
  }

  Ref visited = Ref::steal(PySet_New(nullptr));
  Ref downstream =
      call_method(self, c.interned(n::discover_downstream_nodes), getattr(self, c.interned(n::node_config)), visited);
  // the line's values are computed after the logger's method is looked up,
  // as the f-string of a logging statement computes them
  Ref downstream_ids;
  log(c, n::info, [&] {
    downstream_ids = Ref::steal(PyList_New(0));
    for_each(downstream,
             [&](PyObject* entry) { check(PyList_Append(downstream_ids, getitem(entry, c.interned(n::node_id)))); });
    return textf("[flowsweep] downstream nodes found: %U", fmt(downstream_ids).get());
  });
  for_each(downstream_ids, [&](PyObject* id) { check(PySet_Add(node_ids, id)); });

  check(PySet_Add(all_keys, getattr(self, c.interned(n::redis_out_key))));
  // node_ids is ours alone: nothing the scans run can change it
  for (Iter it(node_ids); Ref id = it.next();) {
    Ref pattern = key_pattern(id);
    Ref found =
        call_method(getattr(self, c.interned(n::redis_wrapper)), c.interned(n::scan_keys), kw(c, n::pattern, pattern));
    for_each(found, [&](PyObject* key) { check(PySet_Add(all_keys, key)); });
  }

  log(c, n::info, [&] {
    Ref sorted_keys = Ref::steal(PySequence_List(all_keys));
    check(PyList_Sort(sorted_keys));
    return textf("[flowsweep] found %zd existing keys: %U", PySet_GET_SIZE(all_keys.get()), fmt(sorted_keys).get());
  });
  return Ref::steal(PySequence_List(all_keys));
}

Ref clear_stream_keys(Ctx& c) {
  PyObject* self = c.arg(param(kClearParams, "self"));
  if (truthy(getattr(self, c.interned(n::keys_cleared)))) {
    log(c, n::debug, [&] { return text("Redis keys already cleared, skipping"); });
    return boolean(true);
  }
  log(c, n::info, [&] { return text("Clearing all Redis KV stores for this stream"); });
  try {
    Ref redis_keys = call_method(self, c.interned(n::collect_stream_redis_keys));
    Ref deleted = call_method(getattr(self, c.interned(n::redis_wrapper)), c.interned(n::delete_many), redis_keys);
    log(c, n::info, [&] {
      Ref deleted_text = fmt(deleted);
      return textf("Flowsweep complete: %U/%zd keys deleted", deleted_text.get(), length(redis_keys));
    });
    setattr(self, c.interned(n::keys_cleared), Py_True);
    return boolean(true);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log(c, n::error, [&] { return textf("Failed to clear Redis keys: %U", str(e.value()).get()); });
    return boolean(false);
  }
}

Ref reset_cleanup_flag(Ctx& c) {
  setattr(c.arg(param(kSelfOnly, "self")), c.interned(n::keys_cleared), Py_False);
  return none();
}

Ref clear_stream_redis_keys(Ctx& c) {
  Ref manager =
      call(c.global(n::FlowsweepManager), kw(c, n::redis_wrapper, c.arg(param(kConvenienceParams, "redis_wrapper"))),
           kw(c, n::nodered_flow, c.arg(param(kConvenienceParams, "nodered_flow"))),
           kw(c, n::node_config, c.arg(param(kConvenienceParams, "node_config"))),
           kw(c, n::redis_out_key, c.arg(param(kConvenienceParams, "redis_out_key"))));
  return call_method(manager, c.interned(n::clear_stream_keys),
                     kw(c, n::max_ports, c.arg(param(kConvenienceParams, "max_ports"))));
}

}  // namespace

const FunctionDef kCollectStreamRedisKeys = declare({
    .name = "_collect_stream_redis_keys",
    .qualname = "FlowsweepManager._collect_stream_redis_keys",
    .doc = "Collect all existing Redis keys related to this stream.\n"
           "\n"
           "The stream is the current node (when its \"id\" is set) and every node\n"
           "downstream of it. Each distinct node id is scanned once, with the pattern\n"
           "\"redis_<id>_*\" (glob characters in the id are escaped, so the pattern\n"
           "matches that node's keys only); redis_out_key is always included.\n"
           "\n"
           "Returns:\n"
           "    A new list of the distinct keys, in no particular order.\n"
           "\n"
           "Raises:\n"
           "    Whatever the walk or the Redis wrapper raises.\n",
    .params = params(kSelfOnly),
    .returns = "List[str]",
    .style = ArgStyle::interpreter,
    .body = collect_stream_redis_keys,
});

const FunctionDef kClearStreamKeys = declare({
    .name = "clear_stream_keys",
    .qualname = "FlowsweepManager.clear_stream_keys",
    .doc = "Clear all Redis KV stores related to this stream.\n"
           "\n"
           "Collects the stream's keys and deletes them with one delete_many call.\n"
           "After a successful pass the manager skips further passes until\n"
           "reset_cleanup_flag() is called.\n"
           "\n"
           "Args:\n"
           "    max_ports: exactly an int; kept for compatibility, it has no effect\n"
           "        (every port of every node is followed).\n"
           "\n"
           "Returns:\n"
           "    True when the keys were deleted now or by an earlier pass; False when\n"
           "    the pass failed (the error is logged, and the next call tries again).\n",
    .params = params(kClearParams),
    .returns = "bool",
    .style = ArgStyle::interpreter,
    .body = clear_stream_keys,
});

const FunctionDef kResetCleanupFlag = declare({
    .name = "reset_cleanup_flag",
    .qualname = "FlowsweepManager.reset_cleanup_flag",
    .doc = "Reset the cleanup flag to allow re-running cleanup.\n"
           "\n"
           "The next clear_stream_keys() call performs a full pass again. Nothing is\n"
           "logged and Redis is not touched.\n",
    .params = params(kSelfOnly),
    .returns = "None",
    .style = ArgStyle::interpreter,
    .body = reset_cleanup_flag,
});

const FunctionDef kClearStreamRedisKeys = declare({
    .name = "clear_stream_redis_keys",
    .doc = "Convenience function to clear Redis keys for a Node-RED stream.\n"
           "\n"
           "Builds a new FlowsweepManager and runs one clearing pass, so every call\n"
           "performs a full pass.\n"
           "\n"
           "Args:\n"
           "    redis_wrapper: the Redis wrapper (scan_keys and delete_many).\n"
           "    nodered_flow: the flow object with its node table _nodes.\n"
           "    node_config: the current node's configuration, exactly a dict.\n"
           "    redis_out_key: the current node's primary output key, exactly a str.\n"
           "    max_ports: exactly an int; it has no effect.\n"
           "\n"
           "Returns:\n"
           "    True when the keys were deleted, False when the pass failed.\n"
           "\n"
           "Example:\n"
           "    >>> from zelk_sdk.nodered import ZelkFlow\n"
           "    >>> from zelk_sdk.redis.wrapper import ZelkRedis\n"
           "    >>> from zelk_sdk.redis.flowsweep import clear_stream_redis_keys\n"
           "    >>> flow = ZelkFlow(\"/data/flows.json\", node_id)\n"
           "    >>> node_config = flow.parse_flow()[\"cur_node\"]\n"
           "    >>> clear_stream_redis_keys(ZelkRedis(\"redis://localhost:6379/0\"), flow,\n"
           "    ...                         node_config, f\"redis_{node_id}_out\")\n"
           "    True\n",
    .params = params(kConvenienceParams),
    .returns = "bool",
    .style = ArgStyle::interpreter,
    .body = clear_stream_redis_keys,
});

}  // namespace zelk::flowsweep
