// Device token and model URL resolution.
#include "answer_watch.hpp"
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

// requests' own limit of redirects followed for one request
constexpr int kMaxRedirects = 30;
// The model-URL request's time-out, in seconds: per receive for the client,
// for the whole answer here.
constexpr int kModelUrlTimeout = 30;

// Where a request goes: the scheme, host and port as the HTTP client itself
// parses the URL before it connects (urllib3's parse_url, which requests
// uses: a parser that read "http://a:1\\@b:2/" otherwise than the client
// would let a redirect reach another host), scheme and host in lower case,
// the port with the scheme's default filled in. Userinfo plays no part, as in
// requests' own check before it keeps credentials.
struct Origin {
  Ref scheme;
  Ref host;  // None where the URL names no host
  Ref port;  // None for a scheme without a default port
};

Origin origin_of(Ctx& c, PyObject* url) {
  Ref parts = call(c.pinned(pin_parse_url), url);
  Origin o{getattr(parts, c.interned(n::scheme)), getattr(parts, c.interned(n::host)),
           getattr(parts, c.interned(n::port))};
  if (o.scheme.get() != Py_None) o.scheme = call_method(o.scheme, c.interned(n::lower));
  if (o.host.get() != Py_None) o.host = call_method(o.host, c.interned(n::lower));
  if (o.port.get() == Py_None) {
    if (rich_compare(o.scheme, c.interned(n::http), Py_EQ)) o.port = integer(80);
    if (rich_compare(o.scheme, c.interned(n::https), Py_EQ)) o.port = integer(443);
  }
  return o;
}

bool same_origin(const Origin& a, const Origin& b) {
  return a.host.get() != Py_None && rich_compare(a.scheme, b.scheme, Py_EQ) && rich_compare(a.host, b.host, Py_EQ) &&
         rich_compare(a.port, b.port, Py_EQ);
}

// "scheme://host:port", without userinfo, path or query (which may carry a
// credential of their own).
Ref origin_text(const Origin& o) {
  Ref host = o.host.get() == Py_None ? text("") : str(o.host);  // an IPv6 host keeps its brackets
  if (o.port.get() == Py_None) return textf("%U://%U", str(o.scheme).get(), host.get());
  return textf("%U://%U:%S", str(o.scheme).get(), host.get(), o.port.get());
}

// The Location that requests would follow from `r`, decoded as requests
// decodes it (the header's latin-1 text taken as UTF-8); empty when `r` is not
// a redirect or its Location is empty, where requests returns `r` itself.
Ref redirect_target(Ctx& c, PyObject* r) {
  if (!truthy(getattr(r, c.interned(n::is_redirect)))) return {};
  Ref location = getitem(getattr(r, c.interned(n::headers)), c.interned(n::location));
  Ref raw = Ref::steal(PyUnicode_AsLatin1String(location));
  Ref target = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), nullptr));
  if (PyUnicode_GET_LENGTH(target.get()) == 0) return {};
  return target;
}

// requests.get(url, headers=headers, timeout=30) with requests' own get, whose
// redirects would take the device token to any host: they are followed here,
// as requests follows them for a GET, but only within the origin of `url`;
// a redirect anywhere else is refused before anything is sent there.
Ref get_within_origin(Ctx& c, PyObject* get, PyObject* url, PyObject* headers) {
  Ref current = Ref::borrow(url);
  Origin own;
  for (int hops = 0;; ++hops) {
    Ref r = answered_within(c, kModelUrlTimeout, [&] {
      return call(get, current, kw(c, n::headers, headers), kw(c, n::timeout, integer(kModelUrlTimeout)),
                  kw(c, n::allow_redirects, Py_False));
    });
    Ref location = redirect_target(c, r);
    if (!location) return r;
    call_method(r, c.interned(n::close));
    if (hops == kMaxRedirects) raise(c.pinned(pin_TooManyRedirects), textf("Exceeded %d redirects.", kMaxRedirects));
    Ref target = call(c.pinned(pin_urljoin), current, location);
    if (!own.scheme) own = origin_of(c, url);
    Origin to = origin_of(c, target);
    if (!same_origin(own, to)) {
      raise(c.pinned(pin_RequestException),
            textf("the model-URL service redirected to another origin (%U); the device token is not sent there",
                  origin_text(to).get()));
    }
    current = std::move(target);
  }
}

thread_local bool unreachable = false;

// No HTTP answer at all: no connection, a time-out of the client's, or the
// answer watch's (answer_watch.cpp: an answer that did not come in time).
bool no_answer(Ctx& c, const PyErr& e) {
  if (e.matches(c.pinned(pin_ConnectionError)) || e.matches(c.pinned(pin_Timeout))) return true;
  if (Py_TYPE(e.value()) != reinterpret_cast<PyTypeObject*>(c.pinned(pin_RequestException))) return false;
  Ref text = str(e.value());
  return PyUnicode_Tailmatch(text, Ref::steal(PyUnicode_FromString("the server's answer did not come within")), 0,
                             PY_SSIZE_T_MAX, -1) == 1;
}

Ref get_model_url(Ctx& c) {
  PyObject* model_id = c.arg(param(kModelIdParams, "model_id"));
  unreachable = false;
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
    Ref get = getattr(requests, c.interned(n::get));
    // a stand-in requests gets the statement as it is written
    Ref r = requests.get() == c.pinned(pin_requests) && get.get() == c.pinned(pin_requests_get)
                ? get_within_origin(c, get, url, headers)
                : answered_within(c, kModelUrlTimeout, [&] {
                    return call(get, url, kw(c, n::headers, headers), kw(c, n::timeout, integer(kModelUrlTimeout)));
                  });
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
    unreachable = no_answer(c, e);
    log_warning(c, [&] { return textf("failed to get the model url %U", str(e.value()).get()); });
    return none();
  }
}

}  // namespace

bool model_url_unreachable() noexcept { return unreachable; }

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
