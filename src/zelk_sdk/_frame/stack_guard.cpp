#include "stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

namespace zelk {

thread_local NativeThread native_thread [[gnu::tls_model("initial-exec")]];

std::uintptr_t find_stack_floor() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  std::size_t size = 0;
  int rc = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || low == nullptr || size == 0) return 0;
  // an eighth of the stack, at least 32 KiB and at most 256 KiB, but never
  // more than a quarter: the smallest stack a thread may be given (32 KiB)
  // must still run native calls that Python code could make there
  std::size_t margin = std::min(std::clamp<std::size_t>(size / 8, 32 * 1024, 256 * 1024), size / 4);
  return reinterpret_cast<std::uintptr_t>(low) + margin;
}

}  // namespace zelk
