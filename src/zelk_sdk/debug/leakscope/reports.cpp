// Snapshot reports: the top allocation sites of one snapshot, and the largest
// differences against the stored baselines.
#include "common.hpp"

namespace zelk::leakscope {
namespace {

constexpr Param kCompareParams[] = {
    {"self"},
    {"cur_tm_snapshot", "tracemalloc.Snapshot"},
};

constexpr Param kDisplayParams[] = {
    {"self"},
    {"snapshot", "tracemalloc.Snapshot"},
    {"key_type", "str", Exact::str, str_default("lineno")},
};

Ref display_top_trace_scripts(Ctx& c) {
  PyObject* self = c.arg(param(kDisplayParams, "self"));
  PyObject* key_type = c.arg(param(kDisplayParams, "key_type"));  // exactly a str: tested by the frame

  // the import bootstrap and sources without a file say nothing about the
  // application; the filters are built afresh at every call
  Ref bootstrap =
      call(getattr(c.global(n::tracemalloc), c.interned(n::Filter)), Py_False, c.interned(n::frozen_bootstrap));
  Ref unknown = call(getattr(c.global(n::tracemalloc), c.interned(n::Filter)), Py_False, c.interned(n::unknown));
  Ref filters = Ref::steal(PyTuple_Pack(2, bootstrap.get(), unknown.get()));
  Ref snapshot = call_method(c.arg(param(kDisplayParams, "snapshot")), c.interned(n::filter_traces), filters);
  Ref top_stats = call_method(snapshot, c.interned(n::statistics), key_type);

  log_info(c, self, [&] { return textf("leak.tm - Top %U lines", fmt(getattr(self, c.interned(n::limit))).get()); });

  // for index, stat in enumerate(top_stats[:self._limit], 1)
  Ref enumerate = c.global(n::enumerate);
  Ref numbered = call(enumerate, slice(top_stats, nullptr, getattr(self, c.interned(n::limit))), integer(1));
  for (Iter it(numbered); Ref item = it.next();) {
    auto [index, stat] = unpack2(item);
    Ref frame = getitem(getattr(stat, c.interned(n::traceback)), integer(0));
    log_info(c, self, [&] {
      Ref filename = fmt(getattr(frame, c.interned(n::filename)));
      Ref lineno = fmt(getattr(frame, c.interned(n::lineno)));
      Ref size = kib(getattr(stat, c.interned(n::size)), ".2f");
      return textf("leak.tm -  #%U: %U:%U: %UKiB", fmt(index).get(), filename.get(), lineno.get(), size.get());
    });
    Ref getline = getattr(c.global(n::linecache), c.interned(n::getline));
    Ref source = call(getline, getattr(frame, c.interned(n::filename)), getattr(frame, c.interned(n::lineno)));
    Ref line = call_method(source, c.interned(n::strip));
    if (truthy(line)) log_info(c, self, [&] { return textf("leak.tm - \t%U", fmt(line).get()); });
  }

  Ref other = slice(top_stats, getattr(self, c.interned(n::limit)), nullptr);
  if (truthy(other)) {
    Ref size = sum_of_sizes(c, other);
    log_info(c, self, [&] {
      Ref count = call(c.global(n::len), other);
      return textf("leak.tm -  %U other: %U KiB", fmt(count).get(), kib(size, ".1f").get());
    });
  }

  Ref total = sum_of_sizes(c, top_stats);
  log_info(c, self, [&] { return textf("leak.tm -  Total allocated size: %U KiB", kib(total, ".1f").get()); });
  return none();
}

// One section of compare_snapshots: `baseline_id` names the attribute that
// holds the baseline, `label` is the section's name in the log.
void compare_section(Ctx& c, PyObject* self, PyObject* cur_tm_snapshot, int baseline_id, const char* label) {
  if (getattr(self, c.interned(baseline_id)).get() == Py_None) return;
  log_info(c, self, [&] { return textf("leak.tm - compare with %s: =======================", label); });
  Ref top_stats = call_method(cur_tm_snapshot, c.interned(n::compare_to), getattr(self, c.interned(baseline_id)),
                              c.interned(n::lineno));
  Ref listed = slice(top_stats, nullptr, integer(10));
  for (Iter it(listed); Ref stat = it.next();) {
    log_info(c, self, [&] { return textf("leak.tm - compare with %s: %U", label, fmt(stat).get()); });
  }
}

Ref compare_snapshots(Ctx& c) {
  compare_section(c, c.arg(param(kCompareParams, "self")), c.arg(param(kCompareParams, "cur_tm_snapshot")),
                  n::first_tm_snapshot, "first");
  compare_section(c, c.arg(param(kCompareParams, "self")), c.arg(param(kCompareParams, "cur_tm_snapshot")),
                  n::last_tm_snapshot, "last");
  return none();
}

}  // namespace

const FunctionDef kDisplayTopTraceScripts = declare({
    .name = "display_top_trace_scripts",
    .qualname = "LeakscopeManager.display_top_trace_scripts",
    .doc = "Log the top memory-allocating lines of a tracemalloc snapshot.\n"
           "\n"
           "Traces of the interpreter's frozen import bootstrap and of unknown sources\n"
           "are filtered out before reporting. Each listed line shows its size in KiB\n"
           "and its source text; the rest is summed in one line, then the total.\n"
           "\n"
           "Args:\n"
           "    snapshot: the tracemalloc.Snapshot to analyse.\n"
           "    key_type: grouping key passed to tracemalloc.Snapshot.statistics\n"
           "        (default \"lineno\").\n",
    .params = params(kDisplayParams),
    .returns = "None",
    .style = ArgStyle::interpreter,
    .body = display_top_trace_scripts,
});

const FunctionDef kCompareSnapshots = declare({
    .name = "compare_snapshots",
    .qualname = "LeakscopeManager.compare_snapshots",
    .doc = "Compare a snapshot against the first and the most recent previous one.\n"
           "\n"
           "Logs the top 10 allocation differences, grouped by line, for each baseline\n"
           "that exists; does nothing when neither does.\n"
           "\n"
           "Args:\n"
           "    cur_tm_snapshot: the tracemalloc.Snapshot to compare.\n",
    .params = params(kCompareParams),
    .returns = "None",
    .style = ArgStyle::interpreter,
    .body = compare_snapshots,
});

}  // namespace zelk::leakscope
