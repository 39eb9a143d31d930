// zelk_sdk.redis.flowsweep: the import statements and bindings, in their
// order, and the FlowsweepManager class with its constructor.
#include "common.hpp"

namespace zelk::flowsweep {
namespace {

constexpr Param kInitParams[] = {
    {"self"},
    {"redis_wrapper", "Any"},
    {"nodered_flow", "Any"},
    {"node_config", "Dict[str, Any]", Exact::dict},
    {"redis_out_key", "str", Exact::str},
};

constexpr const char* kModuleDoc =
    "Redis utilities for clearing the KV stores of streams across Node-RED flows.\n"
    "\n"
    "Discovers and clears the Redis keys of a stream, including those of the\n"
    "downstream nodes in the flow graph.\n";

constexpr const char* kManagerDoc =
    "Manages Redis key cleanup for Node-RED streams.\n"
    "\n"
    "A manager belongs to one stream: the current node of a Node-RED flow and\n"
    "every node downstream of it. clear_stream_keys() deletes the Redis keys\n"
    "of those nodes (every key \"redis_<node id>_*\") and the node's own output\n"
    "key, at most once until reset_cleanup_flag() is called.\n";

Ref init(Ctx& c) {
  PyObject* self = c.arg(param(kInitParams, "self"));
  setattr(self, c.interned(n::redis_wrapper), c.arg(param(kInitParams, "redis_wrapper")));
  setattr(self, c.interned(n::nodered_flow), c.arg(param(kInitParams, "nodered_flow")));
  setattr(self, c.interned(n::node_config), c.arg(param(kInitParams, "node_config")));
  setattr(self, c.interned(n::redis_out_key), c.arg(param(kInitParams, "redis_out_key")));
  setattr(self, c.interned(n::keys_cleared), Py_False);
  return none();
}

void exec(PyObject* m, FrameState& fs) {
  import_from(m, "typing", {"Any", "Dict", "Set", "List"});
  import_from(m, "zelk_sdk.logging", {"get_logger"});
  import_from(m, "zelk_sdk.redis.utils", {"gen_redis_key_local"});

  Ref get_logger = Ctx::lookup_global(PyModule_GetDict(m), fs.builtins, text("get_logger"));
  bind(m, "logger", call(get_logger, text("REDIS_FLOWSWEEP")));

  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  bind(
      m, "FlowsweepManager",
      make_class(m, "FlowsweepManager", kManagerDoc, bases,
                 {&kInit, &kDiscoverDownstreamNodes, &kCollectStreamRedisKeys, &kClearStreamKeys, &kResetCleanupFlag}));
  def_function(m, kClearStreamRedisKeys);
}

}  // namespace

const FunctionDef kInit = declare({
    .name = "__init__",
    .qualname = "FlowsweepManager.__init__",
    .doc = "Initialize the FlowsweepManager.\n"
           "\n"
           "Args:\n"
           "    redis_wrapper: the Redis wrapper whose scan_keys(pattern=...) and\n"
           "        delete_many(keys) do the work (for example ZelkRedis).\n"
           "    nodered_flow: the flow object; only its node table _nodes (node id to\n"
           "        node configuration) is read (for example ZelkFlow).\n"
           "    node_config: the current node's configuration, exactly a dict; its\n"
           "        \"id\" and \"wires\" are read.\n"
           "    redis_out_key: the current node's primary Redis output key, exactly a\n"
           "        str; it is always deleted with the stream.\n",
    .params = params(kInitParams),
    .style = ArgStyle::interpreter,
    .body = init,
});

}  // namespace zelk::flowsweep

ZELK_DEFINE_MODULE(flowsweep, "zelk_sdk.redis.flowsweep", zelk::flowsweep::kModuleDoc, zelk::flowsweep::kNames,
                   zelk::flowsweep::n::count, zelk::flowsweep::exec)
