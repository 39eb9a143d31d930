// State that belongs to one process: the threads the module keeps for its
// calls, and what they serve.
#pragma once

#include <unistd.h>

#include <atomic>

namespace zelk::fetch {

// The one T of the calling process, made on first use and never destroyed
// (its threads may still wait when the process exits). A child of fork()
// makes its own and never touches its parent's: the threads that served it
// are not in the child, its locks may be held, and what it holds (a watched
// socket, a job) is the parent's.
template <class T>
T& of_this_process() {
  struct Slot {
    pid_t pid;
    T value;
  };
  static std::atomic<Slot*> current{nullptr};
  const pid_t pid = getpid();
  Slot* s = current.load();
  if (s != nullptr && s->pid == pid) return s->value;
  auto* made = new Slot{pid, {}};
  if (current.compare_exchange_strong(s, made)) return made->value;
  delete made;  // another thread of this process made it first
  return s->value;
}

}  // namespace zelk::fetch
