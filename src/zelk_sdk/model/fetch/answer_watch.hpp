// The watch over a request's answer, from its connect to its last header.
//
// The client's time-out is per receive: a server that sends its status line
// and headers a byte at a time, each byte within the time-out, keeps a
// request waiting for hours (a header block may be 100 lines of 64 KiB). The
// stall watch only begins with the body, so the headers are bounded here.
//
// While an AnswerWatch lives, every socket that this thread connects (the
// interpreter's "socket.connect" audit event) is watched, the latest one
// only: once `limit` seconds have passed since the first connect, it is shut
// down, which ends the blocked receive at once, and fired() says so. The
// limit is the request's own time-out: a server that answers within it, as
// the client already demands of its first byte, is never cut off.
#pragma once

#include <chrono>

#include "common.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch {

class AnswerWatch {
 public:
  // Watches this thread's connects for `seconds`; a limit that is no finite
  // positive number watches nothing.
  AnswerWatch(Ctx& c, double seconds) noexcept;
  AnswerWatch(const AnswerWatch&) = delete;
  AnswerWatch& operator=(const AnswerWatch&) = delete;
  ~AnswerWatch();

  // True once the limit ended the request.
  bool fired() const noexcept;
  // Raises the error of an answer that did not come in time.
  [[noreturn]] void raise_late(Ctx& c) const;

  // Adds the audit hook that reports connects (once per process).
  static void install() noexcept;

 private:
  static int hook(const char* event, PyObject* args, void*) noexcept;
  void connected(int fd) noexcept;
  static void run();

  double seconds_;
  PyObject* fileno_;  // the module's interned "fileno", for the hook
  AnswerWatch* outer_;
  // under the process's keeper's lock (answer_watch.cpp)
  std::chrono::steady_clock::time_point until_{};
  tree::Fd socket_;
  bool fired_ = false;
};

// request() (a call of the client that connects) under an AnswerWatch of
// `seconds`: an answer that did not come in time raises the watch's error,
// whatever the client made of its socket being shut down.
template <class Request>
Ref answered_within(Ctx& c, double seconds, Request&& request) {
  AnswerWatch watch(c, seconds);
  Ref answer;
  try {
    answer = request();
  } catch (PyErr& e) {
    if (!e.is_exception() || !watch.fired()) throw;
  }
  if (watch.fired()) {
    if (answer) call_method(answer, c.interned(n::close));
    watch.raise_late(c);
  }
  return answer;
}

}  // namespace zelk::fetch
