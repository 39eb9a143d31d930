#include "feed.hpp"

#include <fcntl.h>

namespace zelk::fetch {

void Feed::begin(int fd, std::uint64_t have, std::uint64_t budget) noexcept {
  tree::Fd copy{fcntl(fd, F_DUPFD_CLOEXEC, 0)};
  std::lock_guard lock(m_);
  ++generation_;
  file_.reset();
  if (copy) {
    try {
      file_ = std::make_shared<const tree::Fd>(std::move(copy));
    } catch (...) {  // no memory: nothing is offered
    }
  }
  committed_ = have;
  budget_ = budget;
  done_ = false;
  cv_.notify_all();
}

std::uint64_t Feed::withdraw() noexcept {
  std::lock_guard lock(m_);
  if (!file_) return 0;
  const std::uint64_t gone = generation_;
  ++generation_;
  file_.reset();
  cv_.notify_all();
  return gone;
}

void Feed::wait_released(std::uint64_t generation) {
  std::unique_lock lock(m_);
  cv_.wait(lock, [&] { return stopped_ || attached_ != generation || released_ >= generation; });
}

void Feed::release(std::uint64_t generation) noexcept {
  std::lock_guard lock(m_);
  if (generation > released_) released_ = generation;
  cv_.notify_all();
}

void Feed::commit(std::uint64_t size) noexcept {
  std::lock_guard lock(m_);
  if (size > committed_) committed_ = size;
  cv_.notify_all();
}

void Feed::finish() noexcept {
  std::lock_guard lock(m_);
  done_ = true;
  cv_.notify_all();
}

void Feed::stop() noexcept {
  std::lock_guard lock(m_);
  stopped_ = true;
  cv_.notify_all();
}

bool Feed::attach(Grant& out) {
  std::unique_lock lock(m_);
  cv_.wait(lock, [&] { return stopped_ || done_ || file_; });
  if (stopped_ || !file_) return false;
  out = Grant{file_, generation_, budget_};
  attached_ = generation_;
  return true;
}

Feed::Next Feed::wait(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available) {
  std::unique_lock lock(m_);
  cv_.wait(lock, [&] { return stopped_ || generation != generation_ || done_ || committed_ > pos; });
  return next_locked(generation, pos, available);
}

Feed::Next Feed::wait_for(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available,
                          std::chrono::milliseconds limit) {
  std::unique_lock lock(m_);
  if (!cv_.wait_for(lock, limit, [&] { return stopped_ || generation != generation_ || done_ || committed_ > pos; })) {
    return Next::none;
  }
  return next_locked(generation, pos, available);
}

Feed::Next Feed::next_locked(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available) const noexcept {
  if (stopped_ || generation != generation_ || committed_ < pos) return Next::withdrawn;
  available = committed_ - pos;
  return available > 0 ? Next::data : Next::end;
}

bool Feed::starved(std::uint64_t generation, std::uint64_t pos) {
  std::lock_guard lock(m_);
  return !stopped_ && generation == generation_ && !done_ && committed_ <= pos;
}

bool Feed::finished_with(std::uint64_t generation, std::uint64_t size) {
  std::lock_guard lock(m_);
  return !stopped_ && done_ && generation == generation_ && file_ && committed_ == size;
}

}  // namespace zelk::fetch
