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

int exec_slot(PyObject* m) { return exec_module(m, kNames, n::count, exec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT,
    "zelk_sdk.debug.leakscope",
    kModuleDoc,
    kStateSize,
    nullptr,
    slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace zelk::leakscope

PyMODINIT_FUNC PyInit_leakscope() { return PyModuleDef_Init(&zelk::leakscope::def); }
