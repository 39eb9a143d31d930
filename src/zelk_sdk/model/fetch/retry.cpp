// Detection model download with retry.
#include "archive.hpp"
#include "common.hpp"
#include "deadline.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"model_id", "str", Exact::str}};

// The one-second pause between attempts, cut short where less of the budget
// is left: no attempt starts after it, so sleeping past it only delays the
// answer.
void pause(Ctx& c, PyObject* s_time) {
  Ref time = c.global(n::time);
  Ref elapsed = Ref::steal(PyNumber_Subtract(call(getattr(time, c.interned(n::time))), s_time));
  Ref left = Ref::steal(PyNumber_Subtract(c.global(n::DOWNLOAD_MODEL_TIMEOUT), elapsed));
  Ref one = integer(1);
  if (rich_compare(left, one, Py_GE)) {
    call(getattr(time, c.interned(n::sleep)), one);
  } else if (rich_compare(left, integer(0), Py_GT)) {
    call(getattr(time, c.interned(n::sleep)), left);
  }
}

Ref download_detection_model(Ctx& c) {
  PyObject* model_id = c.arg(param(kParams, "model_id"));
  Ref internal = getattr(c.global(n::MODEL_TYPE), c.interned(n::INTERNAL));
  if (rich_compare(model_id, internal, Py_EQ)) return optional_str(Ref::borrow(model_id));

  Ref s_time = call(getattr(c.global(n::time), c.interned(n::time)));
  // the same start on the monotonic clock: the module's own download_url
  // ends its waits where the budget ends
  const Deadline::Clock::time_point started = Deadline::Clock::now();
  Ref model_dir = none();
  log_info(c, [&] { return text("Download model"); });
  for (;;) {
    Ref now = call(getattr(c.global(n::time), c.interned(n::time)));
    Ref elapsed = Ref::steal(PyNumber_Subtract(now, s_time));
    Ref budget = c.global(n::DOWNLOAD_MODEL_TIMEOUT);
    if (!rich_compare(elapsed, budget, Py_LT)) break;

    Deadline deadline(started, Deadline::seconds_of(budget));
    AttemptScope attempt(deadline);
    Ref url = call(c.global(n::get_model_url), model_id);
    try {
      if (truthy(url)) {
        Ref downloader = c.global(n::download_url);
        Ref got = download_url_within(c, downloader, url, deadline);
        model_dir = got ? got : call(downloader, kw(c, n::cloud_url, url));
      } else {
        pause(c, s_time);
        continue;
      }
    } catch (PyErr& e) {
      if (!e.is_exception()) throw;
      Handling handling(e);
      log_warning(c, [&] { return textf("Failed download zelk model: %U", str(e.value()).get()); });
    }
    if (model_dir.get() != Py_None) break;
    pause(c, s_time);
  }
  return optional_str(model_dir);
}

}  // namespace

const FunctionDef kDownloadDetectionModel = declare({
    .name = "download_detection_model",
    .doc = "Download and extract a detection model, retrying until timeout.\n"
           "\n"
           "Each attempt resolves the URL anew (get_model_url) and hands it to\n"
           "download_url; a failed attempt is followed by a one-second pause (shorter\n"
           "where less of the budget is left). Attempts\n"
           "start while fewer than DOWNLOAD_MODEL_TIMEOUT seconds have passed; a wait\n"
           "for another fetch of the same model ends with that budget.\n"
           "\n"
           "Args:\n"
           "    model_id: a model key, a direct HTTP(S) URL, or MODEL_TYPE.INTERNAL for\n"
           "        a model shipped in the container (returned unchanged at once).\n"
           "\n"
           "Returns:\n"
           "    The model directory, model_id for the internal model, or None when the\n"
           "    time budget ran out.\n",
    .params = params(kParams),
    .returns = "Optional[str]",
    .body = download_detection_model,
});

}  // namespace zelk::fetch
