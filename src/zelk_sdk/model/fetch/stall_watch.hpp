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
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tree_ops.hpp"

namespace zelk::fetch {

class StallWatch {
 public:
  using Seconds = std::chrono::duration<double>;

  // Watches the socket `fd` (a duplicate of it, so the descriptor is ours
  // while the watch runs, whoever closes the original). Nothing is watched
  // where `fd` is no TCP socket with a count of bytes received (watching()
  // is false then).
  StallWatch(int fd, Seconds window, long long rate) noexcept;
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;
  // Stops the watch; the socket is left as it is.
  ~StallWatch();

  bool watching() const noexcept { return thread_.joinable(); }
  // True once the watch gave the transfer up.
  bool stalled() const noexcept { return stalled_.load(std::memory_order_acquire); }

 private:
  void run(Seconds window, long long rate);

  tree::Fd fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<bool> stalled_{false};
  std::thread thread_;
};

}  // namespace zelk::fetch
