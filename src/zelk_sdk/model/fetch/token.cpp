// Device token and model URL resolution.
#include "common.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kModelIdParams[] = {{"model_id", "str", Exact::str}};

Ref get_device_token(Ctx& c) {
  try {
    Ref token;
    Ref file = call(c.pinned(pin_open), c.global(n::TOKEN_FILE), kw(c, n::encoding, text("utf-8")));
    with(file, c.interned(n::enter), c.interned(n::exit), [&](PyObject* f) {
      Ref content = call_method(f, c.interned(n::read));
      token = call_method(content, c.interned(n::replace), text("\n"), text(""));
    });
    return optional_str(token);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    if (e.matches(c.global(n::FileNotFoundError))) {
      log_warning(c, [&] { return textf("Token file not found at %U", fmt(c.global(n::TOKEN_FILE)).get()); });
      return none();
    }
    log_warning(c, [&] { return textf("Failed to read device token: %U", str(e.value()).get()); });
    return none();
  }
}

Ref get_model_url(Ctx& c) {
  PyObject* model_id = c.arg(param(kModelIdParams, "model_id"));
  try {
    // the common call (a direct URL) builds no text but the log line's
    log_info_built(c, concat({c.interned(n::msg_get_url), model_id}));
    if (PyUnicode_Tailmatch(model_id, c.interned(n::http), 0, PY_SSIZE_T_MAX, -1) == 1) {
      return optional_str(Ref::borrow(model_id));
    }
    Ref token = call(c.global(n::get_device_token));
    if (token.get() == Py_None) {
      log_warning(c, [&] { return text("No device token available, cannot fetch model URL"); });
      return none();
    }
    Ref url = call_method(c.global(n::MODEL_URL), c.interned(n::replace), text("<MODEL_KEY>"), model_id);
    Ref headers = Ref::steal(PyDict_New());
    check(PyDict_SetItem(headers, text("x-device-token"), textf("Bearer %U", fmt(token).get())));
    Ref requests = c.global(n::requests);
    Ref r =
        call(getattr(requests, c.interned(n::get)), url, kw(c, n::headers, headers), kw(c, n::timeout, integer(30)));
    if (rich_compare(getattr(r, c.interned(n::status_code)), integer(200), Py_NE)) {
      log_warning(c, [&] {
        return textf("failed to get the model url with status. %U", fmt(getattr(r, c.interned(n::status_code))).get());
      });
      return none();
    }
    Ref loads = getattr(c.global(n::json), c.interned(n::loads));
    Ref body = call_method(getattr(r, c.interned(n::content)), c.interned(n::decode), text("UTF-8"));
    Ref parsed = call(loads, body);
    return optional_str(getitem(parsed, c.interned(n::url)));
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log_warning(c, [&] { return textf("failed to get the model url %U", str(e.value()).get()); });
    return none();
  }
}

}  // namespace

const FunctionDef kGetDeviceToken = declare({
    .name = "get_device_token",
    .doc = "Read the device authentication token from disk.\n"
           "\n"
           "Returns:\n"
           "    The whole content of TOKEN_FILE decoded as UTF-8 with every line break\n"
           "    removed (possibly the empty text), or None when the file is missing or\n"
           "    cannot be read; a warning is logged then.\n",
    .returns = "Optional[str]",
    .body = get_device_token,
});

const FunctionDef kGetModelUrl = declare({
    .name = "get_model_url",
    .doc = "Resolve a model identifier to a downloadable URL.\n"
           "\n"
           "Args:\n"
           "    model_id: a direct URL (anything that starts with \"http\"), returned\n"
           "        unchanged, or a model key that the backend's model-URL service\n"
           "        translates into a signed download URL, asked with the device token.\n"
           "\n"
           "Returns:\n"
           "    The URL, or None when no URL could be had (a warning is logged).\n",
    .params = params(kModelIdParams),
    .returns = "Optional[str]",
    .body = get_model_url,
});

}  // namespace zelk::fetch
