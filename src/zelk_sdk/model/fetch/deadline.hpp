// The end of a call's time budget, on the monotonic clock: what a wait other
// than on the network (the per-model lock) may not outlast.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "common.hpp"

namespace zelk::fetch {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // `seconds` after `start`. A budget that is no real number (a stand-in's
  // tuple of timeouts, NaN) bounds nothing; one of infinite seconds neither.
  Deadline(Clock::time_point start, double seconds) noexcept : start_(start), seconds_(seconds), resolved_(true) {}
  // DOWNLOAD_MODEL_TIMEOUT seconds after `start`, the value read when a wait
  // first asks for it (a call that never waits never looks it up).
  explicit Deadline(Clock::time_point start) noexcept : start_(start) {}

  // Seconds left, negative once passed; infinity when unbounded.
  double remaining(Ctx& c) {
    if (!resolved_) {
      seconds_ = seconds_of(c.global(n::DOWNLOAD_MODEL_TIMEOUT));
      resolved_ = true;
    }
    if (!(seconds_ < std::numeric_limits<double>::infinity())) return std::numeric_limits<double>::infinity();
    return seconds_ - std::chrono::duration<double>(Clock::now() - start_).count();
  }

  // A budget as seconds: infinity for anything that is not a finite number.
  static double seconds_of(PyObject* budget) noexcept {
    const double s = PyFloat_AsDouble(budget);
    if (s == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::numeric_limits<double>::infinity();
    }
    return std::isnan(s) ? std::numeric_limits<double>::infinity() : s;
  }

 private:
  Clock::time_point start_;
  double seconds_ = 0;
  bool resolved_ = false;
};

// The deadline of the attempt this thread is making, while it makes it:
// download_detection_model sets it for each attempt, download_url for its
// own call. A request's answer must come by its end plus one read time-out.
class AttemptScope {
 public:
  explicit AttemptScope(Deadline& d) noexcept : outer_(current_), d_(d) { current_ = this; }
  AttemptScope(const AttemptScope&) = delete;
  AttemptScope& operator=(const AttemptScope&) = delete;
  ~AttemptScope() { current_ = outer_; }

  // The time a request's answer may take: `own` (the request's time-out),
  // cut to what is left of the attempt's budget plus one read time-out
  // (DOWNLOAD_MODEL_TIMEOUT), and never less than a tenth of a second.
  static double answer_limit(Ctx& c, double own) {
    if (current_ == nullptr) return own;
    const double read_timeout = Deadline::seconds_of(c.global(n::DOWNLOAD_MODEL_TIMEOUT));
    const double left = current_->d_.remaining(c) + read_timeout;
    return std::isnan(left) ? own : std::max(0.1, std::min(own, left));
  }

 private:
  static inline thread_local AttemptScope* current_ = nullptr;
  AttemptScope* outer_;
  Deadline& d_;
};

}  // namespace zelk::fetch
