// Streaming file download.
#include "download.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "answer_watch.hpp"
#include "common.hpp"
#include "deadline.hpp"
#include "resume.hpp"
#include "scratch.hpp"
#include "stall_watch.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"cloud_url", "str", Exact::str}, {"local_file", "str", Exact::str}};

constexpr long long kChunkSize = 1048576;

// A transfer that brings less than kStallBytes a second, averaged over
// kStallWindow, is given up (its kept bytes stay for a resume).
constexpr long long kStallBytes = 1024;
constexpr double kStallWindow = 30;
// For the test suite only: the window in seconds, in place of kStallWindow.
constexpr char kStallWindowVariable[] = "ZELK_FETCH_STALL_WINDOW";

// A body of unknown length stops before the last twentieth of its file
// system (5 %), or before its last 64 MiB where that is less.

// The length that a Content-Length value declares: a number, or the same
// number repeated ("201396, 201396", as a repeated header arrives). Empty
// (undeclared, as for a missing header) for differing numbers, a negative
// one, or anything that is no number.
Ref declared_length(PyObject* value) {
  Ref number;
  if (!PyUnicode_Check(value)) {
    // a stand-in's int (or whatever int() takes)
    number = Ref::steal_or_null(PyNumber_Long(value));
    if (!number) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
      PyErr_Clear();
      return Ref();
    }
  } else {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) throw_error();
    std::string_view rest(utf8, static_cast<std::size_t>(size));
    for (;;) {
      const std::size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      const std::size_t first = item.find_first_not_of(" \t");
      item = first == std::string_view::npos ? std::string_view()
                                             : item.substr(first, item.find_last_not_of(" \t") + 1 - first);
      if (item.empty() || item.find_first_not_of("0123456789") != std::string_view::npos) return Ref();
      Ref one = Ref::steal(PyLong_FromString(std::string(item).c_str(), nullptr, 10));
      if (number && !rich_compare(number, one, Py_EQ)) return Ref();
      number = one;
      if (comma == std::string_view::npos) break;
      rest = rest.substr(comma + 1);
    }
  }
  if (rich_compare(number, integer(0), Py_LT)) return Ref();
  return number;
}

// True for the error of a write that found its file system (or the user's
// quota) full.
bool out_of_space(const PyErr& e) {
  if (!e.matches(PyExc_OSError)) return false;
  Ref err = Ref::steal_or_null(PyObject_GetAttrString(e.value(), "errno"));
  if (!err) {
    PyErr_Clear();
    return false;
  }
  const long code = PyLong_Check(err.get()) ? PyLong_AsLong(err) : -1;
  if (code == -1) PyErr_Clear();
  return code == ENOSPC || code == EDQUOT;
}

// The stall window, in seconds.
double stall_window() {
  if (const char* v = std::getenv(kStallWindowVariable)) {
    char* end = nullptr;
    const double s = std::strtod(v, &end);
    if (end != v && *end == '\0' && s >= 0.05 && s <= kStallWindow) return s;
  }
  return kStallWindow;
}

[[noreturn]] void raise_stalled(Ctx& c, const StallWatch& watch) {
  char window[32];
  std::snprintf(window, sizeof window, "%g", watch.window().count());
  raise_instance(call(c.pinned(pin_OSError),
                      textf("the transfer stalled: less than %lld KiB/s for %s s", kStallBytes / 1024, window)));
}

// The socket the body of `r` comes on: r.raw.fileno(); -1 for a response
// without one (a stand-in, a body already read to its end).
int response_socket(PyObject* r) {
  try {
    Ref raw = getattr(r, text("raw"));
    Ref fd = call_method(raw, text("fileno"));
    const long v = PyLong_Check(fd.get()) ? PyLong_AsLong(fd) : -1;
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    return v >= 0 && v <= INT_MAX ? static_cast<int>(v) : -1;
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    return -1;
  }
}

// True when the body's end is given by its Content-Length alone: no transfer
// or content coding that lets the delivered length differ.
bool framed_by_length(Ctx& c, PyObject* headers) {
  Ref te = call_method(headers, c.interned(n::get), c.interned(n::transfer_encoding));
  if (te.get() != Py_None) return false;
  Ref ce = call_method(headers, c.interned(n::get), c.interned(n::content_encoding));
  if (ce.get() == Py_None) return true;
  return PyUnicode_Check(ce.get()) && PyUnicode_CompareWithASCIIString(ce.get(), "identity") == 0;
}

// True when the body comes with a content coding (that the client undoes):
// ranges count bytes of the coded body, so such bytes cannot be resumed.
bool content_coded(Ctx& c, PyObject* headers) {
  Ref ce = call_method(headers, c.interned(n::get), c.interned(n::content_encoding));
  if (ce.get() == Py_None) return false;
  return !PyUnicode_Check(ce.get()) || PyUnicode_CompareWithASCIIString(ce.get(), "identity") != 0;
}

// The whole size of the archive when a 206 answer continues the kept bytes
// exactly: "Content-Range: bytes <kept>-<whole - 1>/<whole>", the whole size
// the one recorded, the validator (where the answer repeats it) the same. 0
// when it does not: then the kept bytes are not the start of this body.
long long continuation(Ctx& c, PyObject* headers, const resume::Partial& kept) {
  Ref range = call_method(headers, c.interned(n::get), text("Content-Range"));
  if (!PyUnicode_Check(range.get())) return 0;
  const char* text_range = PyUnicode_AsUTF8(range);
  if (text_range == nullptr) throw_error();
  unsigned long long first = 0, last = 0, whole = 0;
  int used = 0;
  if (std::sscanf(text_range, "bytes %llu-%llu/%llu%n", &first, &last, &whole, &used) != 3 ||
      text_range[used] != '\0' || first != kept.size() || last + 1 != whole || whole <= first ||
      (kept.info().total > 0 && whole != static_cast<unsigned long long>(kept.info().total))) {
    return 0;
  }
  // the answer must name the same archive by the same validator: a weak
  // ETag, another one, or none at all is no proof
  if (!resume::same_validator(c, headers, kept.info().validator)) return 0;
  return static_cast<long long>(whole);
}

void announce(Ctx& c, PyObject* cloud_url, PyObject* local_file) {
  log_info(c, [&] { return text("Downloading..."); });
  log_info(c, [&] { return textf("\tcloud url: %U", cloud_url); });
  log_info(c, [&] { return textf("\ttar.xz file: %U", local_file); });
}

// What the transfer tells a reader of its file (see feed.hpp); nothing
// without one. It stops the feed unless the transfer finished it.
class Telling {
 public:
  Telling(Ctx& c, Feed* feed, const scratch::Place& place) noexcept : c_(c), feed_(feed), place_(place) {}
  Telling(const Telling&) = delete;
  Telling& operator=(const Telling&) = delete;
  ~Telling() {
    if (feed_ && !finished_) feed_->stop();
  }

  // Offers the file `fd`, which holds `have` bytes of an archive of `whole`
  // bytes. The reader's extraction may write as much as is free once the
  // rest of the archive and the reserve kept for a body of unknown length
  // have their place; where that is not known, the file is not offered.
  void offer(int fd, std::uint64_t have, std::uint64_t whole) {
    if (!feed_) return;
    withdraw();  // what was offered before, and what the reader made of it
    scratch::Space space;
    if (fd < 0 || whole < have || !scratch::space_of(place_.dir_fd, space)) return;
    const std::uint64_t taken = (whole - have) + std::min(space.size / scratch::kReserveShare, scratch::kReserveMax);
    if (space.free <= taken) return;
    feed_->begin(fd, have, space.free - taken);
  }
  // Before the file offered is truncated or given up: once the reader has
  // removed what it extracted of it, so that the room that the rest of this
  // transfer is judged by is the room it had without a reader.
  void withdraw() {
    if (!feed_) return;
    const std::uint64_t gone = feed_->withdraw();
    if (gone == 0) return;
    Py_BEGIN_ALLOW_THREADS;
    feed_->wait_released(gone);
    Py_END_ALLOW_THREADS;
  }
  // Once the chunks so far are in the file (flushed from the file object).
  void commit(PyObject* fp, std::uint64_t size) {
    if (!feed_) return;
    call_method(fp, c_.interned(n::flush));
    feed_->commit(size);
  }
  void finish() noexcept {
    if (!feed_) return;
    feed_->finish();
    finished_ = true;
  }

 private:
  Ctx& c_;
  Feed* feed_;
  const scratch::Place& place_;
  bool finished_ = false;
};

// The transfer to `local_file`, at `place`.
Ref transfer(Ctx& c, PyObject* cloud_url, PyObject* local_file, const scratch::Place& place, Feed* feed) {
  if (place.dir_fd >= 0) scratch::sweep_at(place.dir_fd);
  // What an earlier, broken transfer to this file kept (any earlier call's,
  // with whatever URL): asked for the rest with Range and If-Range.
  resume::Partial kept(place);
  // A reader may decode the kept bytes while the rest is asked for: they are
  // withdrawn from it if they cannot be continued.
  Telling telling(c, feed, place);
  if (kept.resumable() && kept.info().total > 0) {
    telling.offer(kept.fd(), kept.size(), static_cast<std::uint64_t>(kept.info().total));
  }

  Ref get = getattr(c.global(n::requests), c.interned(n::get));
  Ref timeout = c.global(n::DOWNLOAD_MODEL_TIMEOUT);
  const double own_limit = Deadline::seconds_of(timeout);
  // requests.get(cloud_url, stream=True, timeout=..., [headers=...]). With
  // requests' own get, redirects are followed here, as requests follows them
  // for a GET, but without reading their bodies (requests reads each one
  // whole, and a few hundred bytes of one may decode to gigabytes). The
  // whole chain must answer within the watch's limit.
  const bool own_get = get.get() == c.pinned(pin_requests_get);
  auto get_answer = [&](PyObject* headers) {
    // the limit is taken anew for each request: a Range request and the
    // plain one after it share what is left of the attempt
    return answered_within(c, AttemptScope::answer_limit(c, own_limit), [&] {
      if (!own_get) {
        Kw stream = kw(c, n::stream, Py_True), limit = kw(c, n::timeout, timeout);
        return headers == nullptr ? call(get, cloud_url, stream, limit)
                                  : call(get, cloud_url, stream, limit, kw(c, n::headers, headers));
      }
      return get_following(c, cloud_url, timeout, headers, [](PyObject*) {});
    });
  };
  auto plain_get = [&] { return get_answer(nullptr); };
  Ref r;
  // what was kept cannot be continued: a reader of it learns so first
  auto drop_kept_bytes = [&] {
    telling.withdraw();
    kept.discard();
  };
  long long whole = 0;  // resuming: the archive's whole size
  if (kept.resumable()) {
    Ref headers = Ref::steal(PyDict_New());
    check(PyDict_SetItem(headers, text("Range"), textf("bytes=%llu-", static_cast<unsigned long long>(kept.size()))));
    check(PyDict_SetItem(headers, text("If-Range"), text(kept.info().validator.c_str())));
    try {
      r = get_answer(headers);
    } catch (PyErr& e) {
      // refused by the client before it was sent (a header value it will
      // not send: requests' InvalidHeader is a ValueError): the rest cannot
      // be asked for, so the transfer starts over below
      if (!e.matches(PyExc_ValueError)) throw;
    }
    Ref status = r ? getattr(r, c.interned(n::status_code)) : Ref();
    if (!status) {
      // the kept bytes go only once a plain request went through: an error
      // of the URL itself leaves them for a later call
      r = plain_get();
      drop_kept_bytes();
    } else if (rich_compare(status, integer(206), Py_EQ)) {
      Ref range_headers = getattr(r, c.interned(n::headers));
      whole = content_coded(c, range_headers) ? 0 : continuation(c, range_headers, kept);
      if (whole > 0) {
        // a Content-Length, where there is one, must be the rest of the range
        Ref length = call_method(range_headers, c.interned(n::get), c.interned(n::content_length));
        Ref rest = length.get() == Py_None ? Ref() : declared_length(length);
        if (rest && !rich_compare(rest, integer(whole - static_cast<long long>(kept.size())), Py_EQ)) whole = 0;
      }
      if (whole == 0) {  // not the rest of what was kept: start over
        drop_kept_bytes();
        r = plain_get();
      }
    } else if (rich_compare(status, integer(200), Py_EQ) || rich_compare(status, integer(416), Py_EQ)) {
      // the whole body (the archive changed, or the server ignores ranges),
      // or a range it cannot serve: what was kept is of no use
      drop_kept_bytes();
      if (!rich_compare(status, integer(200), Py_EQ)) r = plain_get();
    }
  } else {
    r = plain_get();
  }
  const bool resuming = whole > 0;
  if (!resuming) telling.withdraw();
  Ref status = getattr(r, c.interned(n::status_code));
  if (!resuming && rich_compare(status, integer(200), Py_NE)) {
    log_warning(c, [&] {
      return textf("failed downloading status code: %U", fmt(getattr(r, c.interned(n::status_code))).get());
    });
    return boolean(false);
  }
  Ref headers = getattr(r, c.interned(n::headers));
  Ref declared = declared_length(call_method(headers, c.interned(n::get), c.interned(n::content_length), integer(0)));
  Ref total = resuming ? integer(whole) : declared ? declared : integer(0);
  const bool total_set = truthy(total);
  // a resumed body must come to the whole size exactly, framed or not
  const bool check_length = resuming || (total_set && framed_by_length(c, headers));

  Ref downloaded = integer(resuming ? static_cast<long long>(kept.size()) : 0);
  Ref last_pct = integer(-1);
  Ref hundred = integer(100);
  Ref five = integer(5);
  Ref kib = integer(1024);
  // a body of known length goes only where it fits: nothing is written
  // otherwise (and bytes kept for it are of no use)
  scratch::Space space;
  if (check_length && scratch::space_of(place.dir_fd, space)) {
    Ref rest = Ref::steal(PyNumber_Subtract(total, integer(resuming ? static_cast<long long>(kept.size()) : 0)));
    unsigned long long need = PyLong_AsUnsignedLongLong(rest);
    if (need == ULLONG_MAX && PyErr_Occurred()) {
      PyErr_Clear();  // beyond 64 bits: more than any file system holds
      need = ULLONG_MAX;
    }
    if (need > space.free) {
      if (resuming) kept.discard();
      scratch::raise_no_space(place.dir, need, space.free);
    }
  }
  if (resuming) {
    log_info(c, [&] {
      return textf("Resuming download at %lldMB of %lldMB", static_cast<long long>(kept.size() >> 20), whole >> 20);
    });
  }

  // The body goes to a scratch file beside local_file and takes its name only
  // once complete: a broken transfer never leaves a partial archive there.
  // With a validator to resume by, that file is the one kept for the next
  // attempt; without one, a file of this call's own, removed if it breaks.
  scratch::PartFile part;
  Ref file;
  bool keeping = true;
  if (resuming) {
    file = kept.append(c.pinned(pin_open));
  } else {
    // bytes are kept only when they are the body as sent: a range counts
    // bytes of the coded body, which a content coding would not be
    const std::string validator = content_coded(c, headers) ? std::string() : resume::validator_of(c, headers);
    long long size = PyLong_AsLongLong(total);
    if (size == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // beyond 64 bits: a size not to record
      size = 0;
    }
    if (!validator.empty() && kept.available()) file = kept.start(c.pinned(pin_open), resume::Info{validator, size});
    if (!file) {  // nothing to keep by, or another writer took the kept file's name first
      keeping = false;
      file = part.open_for(place, local_file, c.pinned(pin_open));
    }
    // a body from byte 0, to a file of known length only: the extraction
    // must know how much room the rest of the transfer needs
    if (check_length && size > 0) {
      Ref fd = call_method(file, c.interned(n::fileno));
      telling.offer(static_cast<int>(PyLong_AsLong(fd)), 0, static_cast<std::uint64_t>(size));
      if (PyErr_Occurred()) throw_error();
    }
  }
  const std::uint64_t offset = resuming ? kept.size() : 0;  // of this body's first byte
  // Bytes that stop for space are no use to a resume (the next attempt finds
  // no more room): they go, and the file system is left as it was.
  // They are removed once the file object is closed: it may still write what
  // it holds in its buffer, to the descriptor the kept bytes own.
  unsigned long long written = 0;  // by this call
  bool drop_kept = false;
  try {
    with(file, c.interned(n::enter), c.interned(n::exit), [&](PyObject* fp) {
      Ref chunks = call_method(r, c.interned(n::iter_content), kw(c, n::chunk_size, integer(kChunkSize)));
      // Where only whole chunks can be counted, one chunk at the least rate
      // that counts as progress must fit in the window: 1 MiB at 1 KiB/s,
      // about 34 windows of 30 s (scaled alike where the window is shortened).
      const double window = stall_window();
      const double per_chunk = static_cast<double>(kChunkSize) / static_cast<double>(kStallBytes);
      StallWatch watch(response_socket(r), StallWatch::Seconds(window), kStallBytes,
                       StallWatch::Seconds(window * std::max(1.0, per_chunk / kStallWindow)));
      try {
        Iter it(chunks);
        while (Ref chunk = it.next()) {
          const Py_ssize_t n = length(chunk);
          Ref next = Ref::steal(PyNumber_Add(downloaded, integer(n)));
          if (check_length && rich_compare(next, total, Py_GT)) {
            // cut where the declared length ends: what follows is not this
            // archive (more than it holds), and nothing of it is written
            drop_kept = true;
            raise_instance(
                call(c.pinned(pin_OSError),
                     resuming ? textf("the resumed body runs past the %S bytes of the archive", total.get())
                              : textf("the body runs past the %S bytes declared by Content-Length", total.get())));
          }
          if (!check_length && scratch::space_of(place.dir_fd, space)) {
            const unsigned long long reserve = std::min(space.size / scratch::kReserveShare, scratch::kReserveMax);
            if (space.free < reserve || space.free - reserve < static_cast<unsigned long long>(n)) {
              drop_kept = true;
              // what the body needs so far, and what it had beyond the reserve
              const unsigned long long had = space.free + written;
              scratch::raise_no_space(
                  place.dir, textf("need more than %llu MiB, %llu MiB free beyond the %llu MiB kept in reserve",
                                   scratch::mib_up(written + static_cast<unsigned long long>(n)),
                                   (had > reserve ? had - reserve : 0) / scratch::kMiB, scratch::mib_up(reserve)));
            }
          }
          call_method(fp, c.interned(n::write), chunk);
          written += static_cast<unsigned long long>(n);
          telling.commit(fp, offset + written);
          watch.progress(written);
          downloaded = next;
          if (!total_set) continue;
          Ref scaled = Ref::steal(PyNumber_Multiply(downloaded, hundred));
          Ref pct = Ref::steal(PyNumber_Long(Ref::steal(PyNumber_TrueDivide(scaled, total))));
          if (rich_compare(pct, last_pct, Py_NE) &&
              rich_compare(Ref::steal(PyNumber_Remainder(pct, five)), integer(0), Py_EQ)) {
            Ref mb_done = Ref::steal(PyNumber_FloorDivide(Ref::steal(PyNumber_FloorDivide(downloaded, kib)), kib));
            Ref mb_total = Ref::steal(PyNumber_FloorDivide(Ref::steal(PyNumber_FloorDivide(total, kib)), kib));
            log_info(c, [&] {
              return textf("Downloading... %S%% (%SMB / %SMB)", pct.get(), mb_done.get(), mb_total.get());
            });
            last_pct = pct;
          }
        }
      } catch (PyErr& e) {
        // the watch shut the socket down: whatever the read made of that,
        // the transfer stalled
        if (!e.is_exception() || !watch.stalled()) throw;
        Handling handling(e);
        raise_stalled(c, watch);
      }
      // a close-delimited body seems to end where the socket was shut down
      // (one that came whole by its length came whole, however slowly)
      if (watch.stalled() && !(check_length && rich_compare(downloaded, total, Py_EQ))) raise_stalled(c, watch);
      if (check_length && rich_compare(downloaded, total, Py_LT)) {
        Ref msg = textf("incomplete download: received %S of %S bytes declared by Content-Length", downloaded.get(),
                        total.get());
        raise_instance(call(c.pinned(pin_OSError), msg));
      }
      call_method(fp, c.interned(n::flush));
      if (keeping) {
        kept.commit(local_file);
      } else {
        part.commit(local_file);
      }
    });
  } catch (PyErr& e) {
    if (keeping && (drop_kept || out_of_space(e))) kept.discard();
    throw;
  }
  telling.finish();
  return boolean(true);
}

Ref download_file(Ctx& c) {
  PyObject* cloud_url = c.arg(param(kParams, "cloud_url"));
  PyObject* local_file = c.arg(param(kParams, "local_file"));
  announce(c, cloud_url, local_file);
  // the file's directory is opened once: the transfer makes and renames its
  // files there by descriptor (a missing directory fails where the file is
  // made, as open() would)
  const std::string final_path = scratch::encode_path(local_file);
  scratch::Place place;
  place.dir = scratch::parent_dir(final_path);
  const std::size_t slash = final_path.rfind('/');
  place.name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  tree::Fd dir_fd{::open(place.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  place.dir_fd = dir_fd.get();
  place.dir_errno = dir_fd ? 0 : errno;
  return transfer(c, cloud_url, local_file, place, nullptr);
}

}  // namespace

Ref download_into(Ctx& c, PyObject* downloader, PyObject* cloud_url, PyObject* local_file, const scratch::Place& place,
                  Feed* feed) {
  if (!is_function_of(downloader, c.module(), kDownloadFile)) return Ref();
  announce(c, cloud_url, local_file);
  return transfer(c, cloud_url, local_file, place, feed);
}

const FunctionDef kDownloadFile = declare({
    .name = "download_file",
    .doc = "Stream a remote file to a local path.\n"
           "\n"
           "The body is fetched with a streaming GET (timeout DOWNLOAD_MODEL_TIMEOUT) and\n"
           "written in 1 MiB chunks; when the server declares the size, progress is logged\n"
           "in five-percent steps. The body is written to a temporary file in the same\n"
           "directory that is renamed onto local_file only once the whole body is there,\n"
           "so local_file never holds a partial download. When the response names a\n"
           "strong validator (a strong ETag, or a Last-Modified at least a second before\n"
           "its Date), the bytes of a transfer that breaks are kept, and the next call\n"
           "for the same local_file asks for the rest (Range and If-Range), whatever URL\n"
           "it is given; a server that answers with the whole body, or with a range that\n"
           "does not continue them, starts it over.\n"
           "\n"
           "A transfer that brings less than 1 KiB/s over 30 s is given up as stalled\n"
           "(OSError; its kept bytes stay for the next call). A body of known length\n"
           "that does not fit the free space of local_file's file system is not\n"
           "written; one of unknown length stops before the file system's last 5 %\n"
           "(64 MiB at most); a transfer stopped for space keeps nothing. A repeated\n"
           "Content-Length counts once; differing, negative or unparsable values\n"
           "declare no length.\n"
           "\n"
           "Args:\n"
           "    cloud_url: the URL to fetch.\n"
           "    local_file: the destination path; its directory must exist.\n"
           "\n"
           "Returns:\n"
           "    True once the file is complete; False when the status is not 200 (206\n"
           "    for a resumed transfer). Errors of the request, the transfer and the file\n"
           "    system propagate.\n",
    .params = params(kParams),
    .returns = "bool",
    .body = download_file,
});

}  // namespace zelk::fetch
