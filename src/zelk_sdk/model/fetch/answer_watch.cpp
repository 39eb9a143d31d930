#include "answer_watch.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "per_process.hpp"

namespace zelk::fetch {
namespace {

using Clock = std::chrono::steady_clock;

// The watch of this thread's request, if any.
thread_local AnswerWatch* current = nullptr;

// One thread of the process keeps every watch's time: a thread a request
// would cost more than the request on a small device (and user-mode
// emulation keeps some of each thread's memory for good). One per process
// (of_this_process): a child of fork() must not shut down the sockets of
// the watches its parent had running, which it shares.
struct Keeper {
  std::mutex mutex;
  std::condition_variable wake;
  std::set<AnswerWatch*> watches;  // those whose time runs
  bool running = false;            // its thread was made
};

Keeper& keeper() { return of_this_process<Keeper>(); }

}  // namespace

AnswerWatch::AnswerWatch(Ctx& c, double seconds) noexcept
    : seconds_(std::isfinite(seconds) && seconds > 0 ? seconds : 0), fileno_(c.interned(n::fileno)), outer_(current) {
  if (seconds_ > 0) current = this;
}

AnswerWatch::~AnswerWatch() {
  if (seconds_ > 0) current = outer_;
  Keeper& k = keeper();
  std::lock_guard<std::mutex> hold(k.mutex);
  k.watches.erase(this);
}

bool AnswerWatch::fired() const noexcept {
  std::lock_guard<std::mutex> hold(keeper().mutex);
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
  Keeper& k = keeper();
  std::lock_guard<std::mutex> hold(k.mutex);
  if (fired_) {
    shutdown(own.get(), SHUT_RDWR);
    return;
  }
  // a new connect means the request before it is done (a redirect
  // followed, an address given up): its socket is let go, or the duplicate
  // would keep a connection open that its client closed
  socket_ = std::move(own);
  if (k.watches.count(this) != 0) return;
  until_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_));
  if (!k.running) {
    try {
      std::thread(run).detach();
      k.running = true;
    } catch (const std::system_error&) {
      return;  // no thread to be had: the request goes on under the client's time-out
    }
  }
  k.watches.insert(this);
  k.wake.notify_one();
}

void AnswerWatch::run() {
  Keeper& k = keeper();
  std::unique_lock<std::mutex> hold(k.mutex);
  for (;;) {
    Clock::time_point next = Clock::time_point::max();
    const Clock::time_point now = Clock::now();
    for (auto it = k.watches.begin(); it != k.watches.end();) {
      AnswerWatch* w = *it;
      if (w->until_ <= now) {
        w->fired_ = true;
        shutdown(w->socket_.get(), SHUT_RDWR);
        it = k.watches.erase(it);
        continue;
      }
      next = std::min(next, w->until_);
      ++it;
    }
    if (next == Clock::time_point::max()) {
      k.wake.wait(hold);
    } else {
      k.wake.wait_until(hold, next);
    }
  }
}

int AnswerWatch::hook(const char* event, PyObject* args, void*) noexcept {
  AnswerWatch* watch = current;
  if (watch == nullptr || std::strcmp(event, "socket.connect") != 0) return 0;
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) return 0;
  long v = -1;
  exit_barrier([&] {  // a socket class's own fileno() may let the GIL go
    Ref fd = Ref::steal_or_null(PyObject_CallMethodNoArgs(PyTuple_GET_ITEM(args, 0), watch->fileno_));
    v = fd && PyLong_Check(fd.get()) ? PyLong_AsLong(fd) : -1;
    if (PyErr_Occurred()) PyErr_Clear();
  });
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
