// The watch over a transfer that makes no real progress: plain POSIX and a
// thread of its own, no interpreter.
//
// A body is read in chunks of 1 MiB, and the client's read of one chunk
// returns only once the whole chunk or the end has come; its time-out is per
// receive, so a server that sends a byte now and then keeps both waiting for
// ever. The watch therefore counts what the kernel receives on the
// response's socket (TCP_INFO's count of bytes received), sampled on a
// thread of its own: when less than `rate` bytes per second came in over the
// last `window`, it shuts the socket down, which ends the blocked read at
// once, and says so (stalled()). The caller turns whatever the read then
// raises (or a close-delimited body that then seems to end) into the stall's
// error.
//
// Where the kernel's count cannot be had (a kernel without it, or an
// emulator that does not pass TCP_INFO through), the watch counts what the
// caller reports after each piece it received (progress()), over a window
// long enough for one piece to arrive at the least rate that counts as
// progress: a transfer at that rate is still never cut off, and one that
// drips is still given up, later. Where the kernel's count is had, the
// caller's count is judged over that longer window too: bytes of framing
// (chunk extensions, trailers) that bring no body keep the kernel's count
// going, but not for ever.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "tree_ops.hpp"

namespace zelk::fetch {

class StallWatch {
 public:
  using Seconds = std::chrono::duration<double>;

  // Watches the socket `fd` (a duplicate of it, so the descriptor is ours
  // while the watch runs, whoever closes the original); `fallback` is the
  // window where the caller's count is used. Nothing is watched where `fd`
  // is no socket (watching() is false then).
  StallWatch(int fd, Seconds window, long long rate, Seconds fallback) noexcept;
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;
  // Stops the watch; the socket is left as it is.
  ~StallWatch();

  bool watching() const noexcept { return thread_.joinable(); }
  // True once the watch gave the transfer up.
  bool stalled() const noexcept { return stalled_.load(std::memory_order_acquire); }
  // The window the verdict is taken over.
  Seconds window() const noexcept { return window_; }
  // The bytes received so far, as the caller counts them.
  void progress(unsigned long long bytes) noexcept { reported_.store(bytes, std::memory_order_release); }

 private:
  void run(long long rate);

  tree::Fd fd_;
  bool kernel_count_ = false;
  Seconds window_;
  Seconds fallback_;
  std::atomic<unsigned long long> reported_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<bool> stalled_{false};
  std::thread thread_;
};

}  // namespace zelk::fetch
