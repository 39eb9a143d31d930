#include "answer_watch.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace zelk::fetch {
namespace {

// The watch of this thread's request, if any.
thread_local AnswerWatch* current = nullptr;

}  // namespace

AnswerWatch::AnswerWatch(Ctx& c, double seconds) noexcept
    : seconds_(std::isfinite(seconds) && seconds > 0 ? seconds : 0), fileno_(c.interned(n::fileno)), outer_(current) {
  if (seconds_ > 0) current = this;
}

AnswerWatch::~AnswerWatch() {
  if (seconds_ > 0) current = outer_;
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
}

bool AnswerWatch::fired() const noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  return fired_;
}

void AnswerWatch::raise_late(Ctx& c) const {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.3g", seconds_);
  raise_instance(
      call(c.pinned(pin_RequestException),
           textf("the server's answer did not come within %s s: its headers or redirects were too slow", limit)));
}

void AnswerWatch::connected(int fd) noexcept {
  tree::Fd own{fcntl(fd, F_DUPFD_CLOEXEC, 0)};
  if (!own) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (fired_) {
    shutdown(own.get(), SHUT_RDWR);
    return;
  }
  // a new connect means the request before it is done (a redirect
  // followed, an address given up): its socket is let go, or the duplicate
  // would keep a connection open that its client closed
  sockets_.clear();
  sockets_.push_back(std::move(own));
  if (thread_.joinable()) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(seconds_));
  try {
    thread_ = std::thread([this, until] { run(until); });
  } catch (const std::system_error&) {
    // no thread to be had: the request goes on under the client's time-out
  }
}

void AnswerWatch::run(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (wake_.wait_until(hold, until, [this] { return stop_; })) return;
  fired_ = true;
  for (const tree::Fd& s : sockets_) shutdown(s.get(), SHUT_RDWR);
}

int AnswerWatch::hook(const char* event, PyObject* args, void*) noexcept {
  AnswerWatch* watch = current;
  if (watch == nullptr || std::strcmp(event, "socket.connect") != 0) return 0;
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) return 0;
  Ref fd = Ref::steal_or_null(PyObject_CallMethodNoArgs(PyTuple_GET_ITEM(args, 0), watch->fileno_));
  const long v = fd && PyLong_Check(fd.get()) ? PyLong_AsLong(fd) : -1;
  if (PyErr_Occurred()) PyErr_Clear();
  if (v >= 0 && v <= INT_MAX) watch->connected(static_cast<int>(v));
  return 0;
}

void AnswerWatch::install() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    // refused by a hook of the application's: requests stay under the
    // client's own time-outs only
    if (PySys_AddAuditHook(hook, nullptr) != 0) PyErr_Clear();
  });
}

}  // namespace zelk::fetch
