// State that belongs to one process: the threads the module keeps for its
// calls, and what they serve.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace zelk::fetch {

// How many fork()s lie between the first process that asked and the calling
// one: a child counts one more than its parent, so no descendant has its
// ancestor's count (a process id may come back, after a wrap or in another
// namespace).
inline std::uint64_t forks_so_far() {
  static std::atomic<std::uint64_t> forks{0};
  static const bool counted = pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1); }) == 0;
  (void)counted;  // without the handler (no memory) a child keeps its parent's state
  return forks.load();
}

// The one T of the calling process, made on first use and never destroyed
// (its threads may still wait when the process exits). A child of fork()
// makes its own and never touches its parent's: the threads that served it
// are not in the child, its locks may be held, and what it holds (a watched
// socket, a job) is the parent's.
template <class T>
T& of_this_process() {
  struct Slot {
    std::uint64_t forks;
    T value;
  };
  static std::atomic<Slot*> current{nullptr};
  const std::uint64_t forks = forks_so_far();
  Slot* s = current.load();
  if (s != nullptr && s->forks == forks) return s->value;
  auto* made = new Slot{forks, {}};
  if (current.compare_exchange_strong(s, made)) return made->value;
  delete made;  // another thread of this process made it first
  return s->value;
}

}  // namespace zelk::fetch
