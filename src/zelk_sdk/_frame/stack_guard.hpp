// The guard of native recursion: a native call counts against the
// interpreter's recursion limit and may not run into the end of its thread's
// stack, so a deep input raises RecursionError instead of crashing.
#pragma once

#include <cstdint>

#include "function.hpp"

namespace zelk {

// What the recursion guard keeps per thread, in one thread-local object so
// that a call reaches it with one TLS lookup.
struct NativeThread {
  // Native function calls in progress. The interpreter keeps the same count
  // for Python frames in its thread state; native recursion (the flow walk
  // calls itself through the instance) is held to the same limit.
  int depth = 0;
  // The lowest address that native recursion may reach on this thread: the
  // end of the thread's stack plus a margin for the work done below the last
  // guarded call (0 when the bounds are unknown). Neither call count knows the
  // stack's size: with a raised recursion limit on a small stack (a thread made
  // with threading.stack_size(), a low `ulimit -s`) they would let it overflow.
  bool floor_known = false;
  std::uintptr_t stack_floor = 0;
};
// Initial-exec: the module is loaded once, early, and a call reaches its
// thread's counters without a call into the dynamic linker.
extern thread_local NativeThread native_thread [[gnu::tls_model("initial-exec")]];

// The floor of the calling thread's stack (0 when its bounds are unknown).
std::uintptr_t find_stack_floor();

// Entered at the start of each native call, left at its end.
class DepthGuard {
 public:
  explicit DepthGuard(const FunctionDef& def) : t_(native_thread) {
    if (t_.depth >= Py_GetRecursionLimit()) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded while calling %s()", def.qualname);
      return;
    }
    if (!t_.floor_known) {
      t_.stack_floor = find_stack_floor();
      t_.floor_known = true;
    }
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < t_.stack_floor) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded while calling %s() (native stack exhausted)",
                   def.qualname);
      return;
    }
    if (Py_EnterRecursiveCall(" while calling a native function") != 0) return;
    ++t_.depth;
    ok_ = true;
  }
  ~DepthGuard() {
    if (ok_ && !unwound_at_exit()) {
      --t_.depth;
      Py_LeaveRecursiveCall();
    }
  }
  bool ok() const { return ok_; }

 private:
  NativeThread& t_;
  bool ok_ = false;
};

}  // namespace zelk
