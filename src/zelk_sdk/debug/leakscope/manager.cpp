// LeakscopeManager: the constructor, the check pass and stop.
#include "common.hpp"

namespace zelk::leakscope {
namespace {

Ref init(Ctx& c) {
  PyObject* self = c.arg(0);
  PyObject* limit = c.arg(1);  // exactly an int: tested by the frame before anything below
  Ref logger = Ref::borrow(c.arg(2));
  PyObject* debug = c.arg(3);

  call_method(super_of(c.closure(), self), c.name(n::init));
  if (logger.get() == Py_None) logger = call(c.global(n::get_logger), c.name(n::logger_name));
  setattr(self, c.name(n::logger), logger);
  setattr(self, c.name(n::debug), debug);
  setattr(self, c.name(n::limit), limit);
  setattr(self, c.name(n::first_tm_snapshot), Py_None);
  setattr(self, c.name(n::last_tm_snapshot), Py_None);

  if (truthy(getattr(self, c.name(n::debug)))) {
    call_method(c.global(n::tracemalloc), c.name(n::start));
    setattr(self, c.name(n::first_tm_snapshot), call_method(c.global(n::tracemalloc), c.name(n::take_snapshot)));
  }
  return none();
}

Ref leakscope_check(Ctx& c) {
  PyObject* self = c.arg(0);
  if (!truthy(getattr(self, c.name(n::debug)))) {
    // production path: one full collection and nothing else
    call_method(c.global(n::gc), c.name(n::collect));
    return boolean(true);
  }

  Ref cur_tm_snapshot = call_method(c.global(n::tracemalloc), c.name(n::take_snapshot));
  call_method(self, c.name(n::display_top_trace_scripts), kw(c, n::snapshot, cur_tm_snapshot));

  // tm_size, tm_peak = tracemalloc.get_traced_memory()
  std::pair<Ref, Ref> traced = unpack2(call_method(c.global(n::tracemalloc), c.name(n::get_traced_memory)));
  log_info(c, self, [&] {
    return textf("leak.tm - get_traced_memory: %U, %U", fmt(traced.first).get(), fmt(traced.second).get());
  });

  call_method(self, c.name(n::compare_snapshots), kw(c, n::cur_tm_snapshot, cur_tm_snapshot));
  setattr(self, c.name(n::last_tm_snapshot), call_method(c.global(n::copy), c.name(n::copy), cur_tm_snapshot));

  log_info(c, self, [&] {
    Ref count = call_method(c.global(n::gc), c.name(n::get_count));
    return textf("leak.gc - get_count (before): %U", fmt(count).get());
  });
  log_info(c, self, [&] {
    Ref found = call_method(c.global(n::gc), c.name(n::collect));
    return textf("leak.gc - collect: %U", fmt(found).get());
  });
  log_info(c, self, [&] {
    Ref count = call_method(c.global(n::gc), c.name(n::get_count));
    return textf("leak.gc - get_count (after): %U", fmt(count).get());
  });
  return boolean(true);
}

Ref stop(Ctx& c) {
  if (truthy(getattr(c.arg(0), c.name(n::debug)))) call_method(c.global(n::tracemalloc), c.name(n::stop));
  return none();
}

constexpr Param kInitParams[] = {
    {"self"},
    {"limit", "int", Exact::int_, int_default(10)},
    {"logger", "Optional[logging.Logger]", Exact::any, kNone},
    {"debug", "bool", Exact::any, kFalse},
};
constexpr Param kSelfOnly[] = {{"self"}};

}  // namespace

const char* const kManagerDoc =
    "Memory leak detector and GC diagnostic helper for long-running container processes.\n"
    "\n"
    "Wraps the tracemalloc and gc modules to take periodic memory snapshots, log\n"
    "the top allocation sites and compare growth against both the initial and the\n"
    "previous snapshot. With debug=False (the default) it is a no-op except for\n"
    "running gc.collect() on each leakscope_check() call, so it is safe to leave\n"
    "instantiated in production.\n"
    "\n"
    "Args:\n"
    "    limit: number of top allocation lines to report per snapshot (default 10).\n"
    "    logger: the logger to use; by default a new logger named \"leakscope\".\n"
    "    debug: enables full profiling. When false, only garbage collection is\n"
    "        performed and no snapshots are taken (default False).\n"
    "\n"
    "Example:\n"
    "    manager = LeakscopeManager(limit=5, debug=True)\n"
    "    while running:\n"
    "        ...\n"
    "        manager.leakscope_check()\n"
    "    manager.stop()\n";

// Without a docstring of its own, inspect.getdoc() and help() would show the
// one of threading.Thread.__init__, which describes other arguments.
const FunctionDef kInit = {
    "__init__",
    "LeakscopeManager.__init__",
    "Initialize the LeakscopeManager.\n"
    "\n"
    "Runs the thread base constructor (the thread is never started). With debug\n"
    "true, starts tracemalloc and keeps a first snapshot.\n"
    "\n"
    "Args:\n"
    "    limit: number of top allocation lines to report per snapshot (default 10).\n"
    "    logger: the logger to use; when None, get_logger(\"leakscope\").\n"
    "    debug: enables full profiling (default False).\n",
    kInitParams,
    4,
    nullptr,
    ArgStyle::interpreter,
    init,
    __FILE__,
    __LINE__,
};

const FunctionDef kLeakscopeCheck = {
    "leakscope_check",
    "LeakscopeManager.leakscope_check",
    "Run a memory and GC diagnostic pass.\n"
    "\n"
    "With debug=True: take a tracemalloc snapshot, log the top allocation sites,\n"
    "report the traced-memory totals, compare against the first and the previous\n"
    "snapshot, and run a full collection with the collector's counts logged\n"
    "before and after. With debug=False: run gc.collect() only.\n"
    "\n"
    "Returns:\n"
    "    Always True.\n",
    kSelfOnly,
    1,
    "bool",
    ArgStyle::interpreter,
    leakscope_check,
    __FILE__,
    __LINE__,
};

const FunctionDef kStop = {
    "stop",
    "LeakscopeManager.stop",
    "Stop tracing.\n"
    "\n"
    "Safe to call even when debug=False, which has no effect in that case.\n"
    "Tracing ends for the whole process; the stored snapshots are kept.\n",
    kSelfOnly,
    1,
    "None",
    ArgStyle::interpreter,
    stop,
    __FILE__,
    __LINE__,
};

}  // namespace zelk::leakscope
