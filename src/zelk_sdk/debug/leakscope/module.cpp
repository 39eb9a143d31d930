// zelk_sdk.debug.leakscope: the import statements and the class statement, in
// their order.
#include "common.hpp"

namespace zelk::leakscope {
namespace {

constexpr const char* kModuleDoc =
    "Memory profiling and garbage-collection diagnostics for the platform's application containers.";

void exec(PyObject* m, FrameState& fs) {
  import_module(m, "copy");
  import_module(m, "gc");
  import_module(m, "linecache");
  import_module(m, "threading");
  import_module(m, "tracemalloc");
  import_from(m, "typing", {"Optional"});
  import_module(m, "logging");
  import_from(m, "zelk_sdk.logging", {"get_logger"});

  // class LeakscopeManager(threading.Thread): the base is whatever
  // `threading.Thread` is when the class statement runs
  Ref threading = Ctx::lookup_global(PyModule_GetDict(m), fs.builtins, fs.names[n::threading]);
  Ref bases = Ref::steal(PyTuple_Pack(1, getattr(threading, fs.names[n::Thread]).get()));
  Ref cls = make_class(m, "LeakscopeManager", kManagerDoc, bases,
                       {&kInit, &kDisplayTopTraceScripts, &kCompareSnapshots, &kLeakscopeCheck, &kStop});
  bind(m, "LeakscopeManager", cls);
}

}  // namespace
}  // namespace zelk::leakscope

ZELK_DEFINE_MODULE(leakscope, "zelk_sdk.debug.leakscope", zelk::leakscope::kModuleDoc, zelk::leakscope::kNames,
                   zelk::leakscope::n::count, zelk::leakscope::exec)
