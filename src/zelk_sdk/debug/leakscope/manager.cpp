// LeakscopeManager: the constructor, the check pass and stop.
#include "common.hpp"

namespace zelk::leakscope {
namespace {

constexpr Param kSelfOnly[] = {{"self"}};

constexpr Param kInitParams[] = {
    {"self"},
    {"limit", "int", Exact::int_, int_default(10)},
    {"logger", "Optional[logging.Logger]", Exact::any, kNone},
    {"debug", "bool", Exact::any, kFalse},
};

Ref init(Ctx& c) {
  PyObject* self = c.arg(param(kInitParams, "self"));
  PyObject* limit = c.arg(param(kInitParams, "limit"));  // exactly an int: tested by the frame before anything below
  Ref logger = Ref::borrow(c.arg(param(kInitParams, "logger")));
  PyObject* debug = c.arg(param(kInitParams, "debug"));

  call_method(super_of(c.closure(), self), c.interned(n::init));
  if (logger.get() == Py_None) logger = call(c.global(n::get_logger), c.interned(n::logger_name));
  setattr(self, c.interned(n::logger), logger);
  setattr(self, c.interned(n::debug), debug);
  setattr(self, c.interned(n::limit), limit);
  setattr(self, c.interned(n::first_tm_snapshot), Py_None);
  setattr(self, c.interned(n::last_tm_snapshot), Py_None);

  if (truthy(getattr(self, c.interned(n::debug)))) {
    call_method(c.global(n::tracemalloc), c.interned(n::start));
    setattr(self, c.interned(n::first_tm_snapshot),
            call_method(c.global(n::tracemalloc), c.interned(n::take_snapshot)));
  }
  return none();
}

Ref leakscope_check(Ctx& c) {
  PyObject* self = c.arg(param(kSelfOnly, "self"));
  if (!truthy(getattr(self, c.interned(n::debug)))) {
    // production path: one full collection and nothing else
    call_method(c.global(n::gc), c.interned(n::collect));
    return boolean(true);
  }

  Ref cur_tm_snapshot = call_method(c.global(n::tracemalloc), c.interned(n::take_snapshot));
  call_method(self, c.interned(n::display_top_trace_scripts), kw(c, n::snapshot, cur_tm_snapshot));

  // tm_size, tm_peak = tracemalloc.get_traced_memory()
  std::pair<Ref, Ref> traced = unpack2(call_method(c.global(n::tracemalloc), c.interned(n::get_traced_memory)));
  log_info(c, self, [&] {
    return textf("leak.tm - get_traced_memory: %U, %U", fmt(traced.first).get(), fmt(traced.second).get());
  });

  call_method(self, c.interned(n::compare_snapshots), kw(c, n::cur_tm_snapshot, cur_tm_snapshot));
  setattr(self, c.interned(n::last_tm_snapshot), call_method(c.global(n::copy), c.interned(n::copy), cur_tm_snapshot));

  log_info(c, self, [&] {
    Ref count = call_method(c.global(n::gc), c.interned(n::get_count));
    return textf("leak.gc - get_count (before): %U", fmt(count).get());
  });
  log_info(c, self, [&] {
    Ref found = call_method(c.global(n::gc), c.interned(n::collect));
    return textf("leak.gc - collect: %U", fmt(found).get());
  });
  log_info(c, self, [&] {
    Ref count = call_method(c.global(n::gc), c.interned(n::get_count));
    return textf("leak.gc - get_count (after): %U", fmt(count).get());
  });
  return boolean(true);
}

Ref stop(Ctx& c) {
  if (truthy(getattr(c.arg(param(kSelfOnly, "self")), c.interned(n::debug))))
    call_method(c.global(n::tracemalloc), c.interned(n::stop));
  return none();
}

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
const FunctionDef kInit = declare({
    .name = "__init__",
    .qualname = "LeakscopeManager.__init__",
    .doc = "Initialize the LeakscopeManager.\n"
           "\n"
           "Runs the thread base constructor (the thread is never started). With debug\n"
           "true, starts tracemalloc and keeps a first snapshot.\n"
           "\n"
           "Args:\n"
           "    limit: number of top allocation lines to report per snapshot (default 10).\n"
           "    logger: the logger to use; when None, get_logger(\"leakscope\").\n"
           "    debug: enables full profiling (default False).\n",
    .params = params(kInitParams),
    .style = ArgStyle::interpreter,
    .body = init,
});

const FunctionDef kLeakscopeCheck = declare({
    .name = "leakscope_check",
    .qualname = "LeakscopeManager.leakscope_check",
    .doc = "Run a memory and GC diagnostic pass.\n"
           "\n"
           "With debug=True: take a tracemalloc snapshot, log the top allocation sites,\n"
           "report the traced-memory totals, compare against the first and the previous\n"
           "snapshot, and run a full collection with the collector's counts logged\n"
           "before and after. With debug=False: run gc.collect() only.\n"
           "\n"
           "Returns:\n"
           "    Always True.\n",
    .params = params(kSelfOnly),
    .returns = "bool",
    .style = ArgStyle::interpreter,
    .body = leakscope_check,
});

const FunctionDef kStop = declare({
    .name = "stop",
    .qualname = "LeakscopeManager.stop",
    .doc = "Stop tracing.\n"
           "\n"
           "Safe to call even when debug=False, which has no effect in that case.\n"
           "Tracing ends for the whole process; the stored snapshots are kept.\n",
    .params = params(kSelfOnly),
    .returns = "None",
    .style = ArgStyle::interpreter,
    .body = stop,
});

}  // namespace zelk::leakscope
