#include "stall_watch.hpp"

#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <system_error>
#include <utility>

namespace zelk::fetch {
namespace {

using Clock = std::chrono::steady_clock;

// The bytes the kernel has received on the TCP socket `fd` so far; false
// where it cannot say (no TCP socket, a kernel without the count).
bool bytes_received(int fd, std::uint64_t& out) noexcept {
  struct tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(struct tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    return false;
  }
  out = info.tcpi_bytes_received;
  return true;
}

}  // namespace

StallWatch::StallWatch(int fd, Seconds window, long long rate, Seconds fallback) noexcept
    : window_(window), fallback_(fallback) {
  int type = 0;
  socklen_t size = sizeof type;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return;
  std::uint64_t ignored;
  kernel_count_ = bytes_received(fd, ignored);
  if (!kernel_count_) window_ = std::max(window, fallback);
  fd_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!fd_) return;
  try {
    thread_ = std::thread([this, rate] { run(rate); });
  } catch (const std::system_error&) {
    // no thread to be had: the transfer goes on unwatched
  }
}

StallWatch::~StallWatch() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
}

void StallWatch::run(long long rate) {
  const Seconds window = window_;
  // the body's own bytes count over the longer window where the kernel's
  // count is had too: bytes of framing alone (chunk extensions, trailers,
  // a header comment) keep the connection busy but bring no body
  const Seconds body_window = std::max(window, fallback_);
  // a sample every tenth of the window, at most every second: the verdict
  // comes at most a tenth of a window (or a second) late
  const auto tick = std::chrono::duration_cast<Clock::duration>(std::min(window / 10, Seconds(1)));
  struct Sample {
    Clock::time_point at;
    std::uint64_t received;  // the kernel's count
    std::uint64_t body;      // the caller's
  };
  std::deque<Sample> samples;
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    Sample now{Clock::now(), 0, reported_.load(std::memory_order_acquire)};
    if (kernel_count_ && !bytes_received(fd_.get(), now.received)) return;
    samples.push_back(now);
    // the oldest sample kept is the newest one at least the longer window old
    while (samples.size() >= 2 && now.at - samples[1].at >= body_window) samples.pop_front();
    const auto behind = [&](Seconds span, std::uint64_t Sample::* count) {
      // the newest sample at least `span` old, if any: too little since then
      const Sample* from = nullptr;
      for (const Sample& old : samples) {
        if (now.at - old.at < span) break;
        from = &old;
      }
      return from != nullptr &&
             static_cast<double>(now.*count - from->*count) < span.count() * static_cast<double>(rate);
    };
    const bool by_kernel = kernel_count_ && behind(window, &Sample::received);
    if (by_kernel || behind(body_window, &Sample::body)) {
      if (!by_kernel) window_ = body_window;  // read only once stalled() says so
      stalled_.store(true, std::memory_order_release);
      shutdown(fd_.get(), SHUT_RDWR);
      return;
    }
    if (wake_.wait_for(hold, tick, [this] { return stop_; })) return;
  }
}

}  // namespace zelk::fetch
