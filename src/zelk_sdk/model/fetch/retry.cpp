// Detection model download with retry.
#include "archive.hpp"
#include "common.hpp"
#include "deadline.hpp"
#include "index.hpp"
#include "scratch.hpp"

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

// ZELK_OFFLINE, read at every call: "1" resolves a model key from the store's
// index only; "fallback" does so where the model-URL service cannot be
// reached; anything else (unset) changes nothing.
enum class Offline { off, only, fallback };

Offline offline_mode(Ctx& c) {
  Ref environ = getattr(c.pinned(pin_os), text("environ"));
  Ref value = call_method(environ, c.interned(n::get), text("ZELK_OFFLINE"), text(""));
  if (PyUnicode_CompareWithASCIIString(value, "1") == 0) return Offline::only;
  if (PyUnicode_CompareWithASCIIString(value, "fallback") == 0) return Offline::fallback;
  if (PyUnicode_GET_LENGTH(value.get()) != 0 && PyUnicode_CompareWithASCIIString(value, "0") != 0) {
    log_warning(c, [&] { return textf("ZELK_OFFLINE=%R is neither 1 nor fallback: ignored", value.get()); });
  }
  return Offline::off;
}

// The model directory that the key `model_id` last resolved to, if it is
// still there; an empty Ref otherwise. Raises OSError for a base directory
// that cannot be used.
Ref remembered(Ctx& c, PyObject* model_id) {
  Ref save_dir = c.global(n::BASE_MODEL_DIR);
  scratch::BaseDir base(scratch::encode_path(save_dir));
  Ref name = index::recall(c, base, model_id);
  if (!name) return Ref();
  return call(c.pinned(pin_path_join), save_dir, name);
}

Ref offline_only(Ctx& c, PyObject* model_id) {
  Ref dir;
  try {
    dir = remembered(c, model_id);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log_warning(c, [&] { return textf("offline: no model for %U - %U", model_id, str(e.value()).get()); });
    return none();
  }
  if (!dir) {
    log_warning(c, [&] {
      return textf("offline: no model directory of %U is remembered in %U", model_id,
                   fmt(c.global(n::BASE_MODEL_DIR)).get());
    });
    return none();
  }
  log_info(c, [&] { return textf("offline: %U last resolved to %U, used without a request", model_id, dir.get()); });
  return optional_str(dir);
}

// In fallback mode, after an attempt whose model-URL request got no answer:
// the remembered model, or an empty Ref.
Ref fallback_model(Ctx& c, PyObject* model_id) {
  if (!is_function_of(c.global(n::get_model_url), c.module(), kGetModelUrl) || !model_url_unreachable()) return Ref();
  try {
    Ref dir = remembered(c, model_id);
    if (dir) {
      log_warning(c, [&] {
        return textf("the model-URL service cannot be reached: using %U, the model %U last resolved to", dir.get(),
                     model_id);
      });
    }
    return dir;
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    return Ref();
  }
}

Ref download_detection_model(Ctx& c) {
  PyObject* model_id = c.arg(param(kParams, "model_id"));
  Ref internal = getattr(c.global(n::MODEL_TYPE), c.interned(n::INTERNAL));
  if (rich_compare(model_id, internal, Py_EQ)) return optional_str(Ref::borrow(model_id));
  // a model key, as get_model_url tells it from a URL
  const bool by_key = PyUnicode_Tailmatch(model_id, c.interned(n::http), 0, PY_SSIZE_T_MAX, -1) != 1;
  const Offline offline = by_key ? offline_mode(c) : Offline::off;
  if (offline == Offline::only) return offline_only(c, model_id);

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
        Ref got = download_url_within(c, downloader, url, deadline, by_key ? model_id : nullptr);
        model_dir = got ? got : call(downloader, kw(c, n::cloud_url, url));
      } else {
        if (offline == Offline::fallback) {
          if (Ref dir = fallback_model(c, model_id)) return optional_str(dir);
        }
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
           "With ZELK_OFFLINE=1 a model key is resolved, without any request, to the\n"
           "model directory it last resolved to; with ZELK_OFFLINE=fallback, so is an\n"
           "attempt whose model-URL request got no answer at all.\n"
           "\n"
           "Returns:\n"
           "    The model directory, model_id for the internal model, or None when the\n"
           "    time budget ran out.\n",
    .params = params(kParams),
    .returns = "Optional[str]",
    .body = download_detection_model,
});

}  // namespace zelk::fetch
