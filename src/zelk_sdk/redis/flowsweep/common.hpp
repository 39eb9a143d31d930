// Names and shared helpers of zelk_sdk.redis.flowsweep.
#pragma once

#include "module.hpp"

namespace zelk::flowsweep {

// Every name the module's functions look up or call, interned once per module.
#define ZELK_FLOWSWEEP_NAMES(X)                              \
  X(logger, "logger")                                        \
  X(FlowsweepManager, "FlowsweepManager")                    \
  X(debug, "debug")                                          \
  X(info, "info")                                            \
  X(warning, "warning")                                      \
  X(error, "error")                                          \
  X(get, "get")                                              \
  X(redis_wrapper, "redis_wrapper")                          \
  X(nodered_flow, "nodered_flow")                            \
  X(node_config, "node_config")                              \
  X(redis_out_key, "redis_out_key")                          \
  X(keys_cleared, "_keys_cleared")                           \
  X(nodes, "_nodes")                                         \
  X(discover_downstream_nodes, "_discover_downstream_nodes") \
  X(collect_stream_redis_keys, "_collect_stream_redis_keys") \
  X(clear_stream_keys, "clear_stream_keys")                  \
  X(max_ports, "max_ports")                                  \
  X(scan_keys, "scan_keys")                                  \
  X(delete_many, "delete_many")                              \
  X(pattern, "pattern")                                      \
  X(id, "id")                                                \
  X(wires, "wires")                                          \
  X(node, "node")                                            \
  X(port, "port")                                            \
  X(node_id, "node_id")

ZELK_NAMES(ZELK_FLOWSWEEP_NAMES);

// One log line through the module's `logger`, looked up now (see log_line).
template <class Make>
void log(Ctx& c, int level, Make&& make) {
  log_line(c, c.global(n::logger), level, std::forward<Make>(make));
}

// `for item in iterable: f(item)`. An exact list is walked by index with its
// size read before every step, as the list iterator does, so a list that
// changes while the body runs is seen exactly as a `for` loop would see it.
template <class F>
void for_each(PyObject* iterable, F&& f) {
  if (PyList_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
      f(item.get());
    }
    return;
  }
  for (Iter it(iterable); Ref item = it.next();) f(item.get());
}

// Methods of FlowsweepManager, in their order of definition, and the module
// function.
extern const FunctionDef kInit;
extern const FunctionDef kDiscoverDownstreamNodes;
extern const FunctionDef kCollectStreamRedisKeys;
extern const FunctionDef kClearStreamKeys;
extern const FunctionDef kResetCleanupFlag;
extern const FunctionDef kClearStreamRedisKeys;

}  // namespace zelk::flowsweep
