// Device token and model URL resolution.
#include "answer_watch.hpp"
#include "common.hpp"
#include "deadline.hpp"

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
// The model-URL request's time-out, in seconds: per receive for the client,
// for the whole answer here.
constexpr int kModelUrlTimeout = 30;
// The most content of the model-URL service's reply that is read (decoded):
// its reply is a small JSON object.
constexpr Py_ssize_t kMaxReply = Py_ssize_t{1} << 20;

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

// The answer of the model-URL service, and for a 200 its content.
struct Reply {
  Ref response;
  Ref content;  // bytes, or nothing where the response's own is to be read
};

// The content of `r` (a streamed response), decoded as requests decodes it,
// read within kMaxReply bytes: a reply of a few hundred bytes may decode to
// gigabytes.
Ref bounded_content(Ctx& c, PyObject* r) {
  Ref chunks = call_method(r, c.interned(n::iter_content), kw(c, n::chunk_size, integer(64 * 1024)));
  Ref parts = Ref::steal(PyList_New(0));
  Py_ssize_t size = 0;
  for (Iter it(chunks); Ref chunk = it.next();) {
    if (!PyBytes_Check(chunk.get())) raise(PyExc_TypeError, "the reply's content is not bytes");
    size += PyBytes_GET_SIZE(chunk.get());
    if (size > kMaxReply) {
      call_method(r, c.interned(n::close));
      raise(c.pinned(pin_RequestException),
            textf("the model-URL service's reply is larger than %zd KiB", kMaxReply / 1024).get());
    }
    check(PyList_Append(parts, chunk));
  }
  return call_method(Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)), c.interned(n::join), parts);
}

// requests.get(url, headers=headers, timeout=30) with requests' own get, whose
// redirects would take the device token to any host: they are followed here,
// as requests follows them for a GET, but only within the origin of `url`;
// a redirect anywhere else is refused before anything is sent there. The
// answers are streamed: a redirect's body is never read, and a 200's
// content within kMaxReply. The whole chain, content included, must come
// within the request's 30 s (cut to what is left of the attempt).
Reply get_within_origin(Ctx& c, PyObject* url, PyObject* headers) {
  Reply reply;
  Ref last = answered_within(c, AttemptScope::answer_limit(c, kModelUrlTimeout), [&] {
    Origin own;
    Ref r = get_following(c, url, integer(kModelUrlTimeout), headers, [&](PyObject* target) {
      if (!own.scheme) own = origin_of(c, url);
      Origin to = origin_of(c, target);
      if (!same_origin(own, to)) {
        raise(c.pinned(pin_RequestException),
              textf("the model-URL service redirected to another origin (%U); the device token is not sent there",
                    origin_text(to).get()));
      }
    });
    if (rich_compare(getattr(r, c.interned(n::status_code)), integer(200), Py_EQ)) {
      reply.content = bounded_content(c, r);
    } else {
      call_method(r, c.interned(n::close));
    }
    return r;
  });
  reply.response = std::move(last);
  return reply;
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
    Ref r;
    Ref content;
    if (requests.get() == c.pinned(pin_requests) && get.get() == c.pinned(pin_requests_get)) {
      Reply reply = get_within_origin(c, url, headers);
      r = std::move(reply.response);
      content = std::move(reply.content);
    } else {
      r = answered_within(c, AttemptScope::answer_limit(c, kModelUrlTimeout), [&] {
        return call(get, url, kw(c, n::headers, headers), kw(c, n::timeout, integer(kModelUrlTimeout)));
      });
    }
    if (rich_compare(getattr(r, c.interned(n::status_code)), integer(200), Py_NE)) {
      log_warning(c, [&] {
        return textf("failed to get the model url with status. %U", fmt(getattr(r, c.interned(n::status_code))).get());
      });
      return none();
    }
    Ref loads = getattr(c.global(n::json), c.interned(n::loads));
    if (!content) content = getattr(r, c.interned(n::content));
    Ref body = call_method(content, c.interned(n::decode), text("UTF-8"));
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

constexpr Param kRedirectParams[] = {{"self"}, {"resp"}};

// Session.get_redirect_target of the module's session: no target, so that
// requests neither follows a redirect nor reads its body.
Ref no_redirect_target(Ctx&) { return none(); }

}  // namespace

const FunctionDef kNoRedirectTarget = declare({
    .name = "get_redirect_target",
    .qualname = "Session.get_redirect_target",
    .doc = "No redirect is followed by the session itself.",
    .params = params(kRedirectParams),
    .body = no_redirect_target,
});

Ref get_once(Ctx& c, PyObject* url, PyObject* timeout, PyObject* headers) {
  Ref session = call(c.pinned(pin_Session));
  Ref r;
  try {
    Kw limit = kw(c, n::timeout, timeout), stream = kw(c, n::stream, Py_True);
    Kw no_redirects = kw(c, n::allow_redirects, Py_False);
    r = headers != nullptr
            ? call_method(session, c.interned(n::get), url, kw(c, n::headers, headers), limit, stream, no_redirects)
            : call_method(session, c.interned(n::get), url, limit, stream, no_redirects);
  } catch (PyErr&) {
    call_method(session, c.interned(n::close));
    throw;
  }
  call_method(session, c.interned(n::close));
  return r;
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
