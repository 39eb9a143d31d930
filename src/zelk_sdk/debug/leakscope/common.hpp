// Names and shared helpers of zelk_sdk.debug.leakscope.
#pragma once

#include "module.hpp"

namespace zelk::leakscope {

// Every name the module's methods look up or call, interned once per module.
#define ZELK_LEAKSCOPE_NAMES(X)                             \
  X(copy, "copy")                                           \
  X(gc, "gc")                                               \
  X(linecache, "linecache")                                 \
  X(threading, "threading")                                 \
  X(tracemalloc, "tracemalloc")                             \
  X(get_logger, "get_logger")                               \
  X(sum, "sum")                                             \
  X(len, "len")                                             \
  X(enumerate, "enumerate")                                 \
  X(Thread, "Thread")                                       \
  X(init, "__init__")                                       \
  X(logger, "logger")                                       \
  X(debug, "debug")                                         \
  X(limit, "_limit")                                        \
  X(first_tm_snapshot, "_first_tm_snapshot")                \
  X(last_tm_snapshot, "_last_tm_snapshot")                  \
  X(display_top_trace_scripts, "display_top_trace_scripts") \
  X(compare_snapshots, "compare_snapshots")                 \
  X(snapshot, "snapshot")                                   \
  X(cur_tm_snapshot, "cur_tm_snapshot")                     \
  X(info, "info")                                           \
  X(start, "start")                                         \
  X(stop, "stop")                                           \
  X(take_snapshot, "take_snapshot")                         \
  X(get_traced_memory, "get_traced_memory")                 \
  X(collect, "collect")                                     \
  X(get_count, "get_count")                                 \
  X(Filter, "Filter")                                       \
  X(filter_traces, "filter_traces")                         \
  X(statistics, "statistics")                               \
  X(compare_to, "compare_to")                               \
  X(traceback, "traceback")                                 \
  X(filename, "filename")                                   \
  X(lineno, "lineno")                                       \
  X(size, "size")                                           \
  X(getline, "getline")                                     \
  X(strip, "strip")                                         \
  X(frozen_bootstrap, "<frozen importlib._bootstrap>")      \
  X(unknown, "<unknown>")                                   \
  X(logger_name, "leakscope")

ZELK_NAMES(ZELK_LEAKSCOPE_NAMES);

// `self.logger.info(message)`: the logger and its method are looked up before
// the message is built, as the statement evaluates them, so that whatever the
// message's values do (a collection, say) happens between lookup and call.
template <class Message>
void log_info(Ctx& c, PyObject* self, Message&& message) {
  log_line(c, getattr(self, c.interned(n::logger)), n::info, std::forward<Message>(message));
}

// `a, b = value`, with the interpreter's errors for the wrong number of items.
std::pair<Ref, Ref> unpack2(PyObject* value);

// `format(bytes / 1024, format)`: a size in KiB with true division.
Ref kib(PyObject* bytes, const char* format);

// `sum(stat.size for stat in stats)`, through the `sum` the module sees now.
Ref sum_of_sizes(Ctx& c, PyObject* stats);

// `seq[start:stop]` with either bound left out (nullptr).
Ref slice(PyObject* seq, PyObject* start, PyObject* stop);

// The methods of LeakscopeManager, in the order of the class body.
extern const FunctionDef kInit;
extern const FunctionDef kDisplayTopTraceScripts;
extern const FunctionDef kCompareSnapshots;
extern const FunctionDef kLeakscopeCheck;
extern const FunctionDef kStop;
extern const char* const kManagerDoc;

}  // namespace zelk::leakscope
