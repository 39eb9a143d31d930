// Device token and model URL resolution.
#include "common.hpp"

namespace zelk::fetch {
namespace {

Ref get_device_token(Ctx& c) {
  try {
    Ref token;
    Ref file = call(c.pinned(pin_open), c.global(n::TOKEN_FILE), kw(c, n::encoding, text("utf-8")));
    with(file, c.name(n::enter), c.name(n::exit), [&](PyObject* f) {
      Ref content = call_method(f, c.name(n::read));
      token = call_method(content, c.name(n::replace), text("\n"), text(""));
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
  PyObject* model_id = c.arg(0);
  try {
    // the common call (a direct URL) builds no text but the log line's
    log_info_built(c, concat({c.name(n::msg_get_url), model_id}));
    if (PyUnicode_Tailmatch(model_id, c.name(n::http), 0, PY_SSIZE_T_MAX, -1) == 1) {
      return optional_str(Ref::borrow(model_id));
    }
    Ref token = call(c.global(n::get_device_token));
    if (token.get() == Py_None) {
      log_warning(c, [&] { return text("No device token available, cannot fetch model URL"); });
      return none();
    }
    Ref url = call_method(c.global(n::MODEL_URL), c.name(n::replace), text("<MODEL_KEY>"), model_id);
    Ref headers = Ref::steal(PyDict_New());
    check(PyDict_SetItem(headers, text("x-device-token"), textf("Bearer %U", fmt(token).get())));
    Ref requests = c.global(n::requests);
    Ref r = call(getattr(requests, c.name(n::get)), url, kw(c, n::headers, headers), kw(c, n::timeout, integer(30)));
    if (rich_compare(getattr(r, c.name(n::status_code)), integer(200), Py_NE)) {
      log_warning(c, [&] {
        return textf("failed to get the model url with status. %U", fmt(getattr(r, c.name(n::status_code))).get());
      });
      return none();
    }
    Ref loads = getattr(c.global(n::json), c.name(n::loads));
    Ref body = call_method(getattr(r, c.name(n::content)), c.name(n::decode), text("UTF-8"));
    Ref parsed = call(loads, body);
    return optional_str(getitem(parsed, c.name(n::url)));
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log_warning(c, [&] { return textf("failed to get the model url %U", str(e.value()).get()); });
    return none();
  }
}

constexpr Param kModelIdParams[] = {{"model_id", "str", Exact::str}};

}  // namespace

const FunctionDef kGetDeviceToken = {
    "get_device_token",
    nullptr,
    "Read the device authentication token from disk.\n"
    "\n"
    "Returns:\n"
    "    The whole content of TOKEN_FILE decoded as UTF-8 with every line break\n"
    "    removed (possibly the empty text), or None when the file is missing or\n"
    "    cannot be read; a warning is logged then.\n",
    nullptr,
    0,
    "Optional[str]",
    ArgStyle::compiled,
    get_device_token,
    __FILE__,
    __LINE__,
};

const FunctionDef kGetModelUrl = {
    "get_model_url",
    nullptr,
    "Resolve a model identifier to a downloadable URL.\n"
    "\n"
    "Args:\n"
    "    model_id: a direct URL (anything that starts with \"http\"), returned\n"
    "        unchanged, or a model key that the backend's model-URL service\n"
    "        translates into a signed download URL, asked with the device token.\n"
    "\n"
    "Returns:\n"
    "    The URL, or None when no URL could be had (a warning is logged).\n",
    kModelIdParams,
    1,
    "Optional[str]",
    ArgStyle::compiled,
    get_model_url,
    __FILE__,
    __LINE__,
};

}  // namespace zelk::fetch
