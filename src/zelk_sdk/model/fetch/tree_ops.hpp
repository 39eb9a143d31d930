// POSIX operations on directory trees, for the scratch entries and the move of
// a model into place. Nothing here touches the interpreter: a failure is an
// errno, so callers may run these without the GIL and raise afterwards.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace zelk::fetch::tree {

// How deep the removal of a tree goes; deeper levels are left in place.
inline constexpr int kMaxDepth = 4096;

// Keeps errno as it is across the clean-up calls of an error path.
class SavedErrno {
 public:
  SavedErrno() noexcept : saved_(errno) {}
  ~SavedErrno() { errno = saved_; }
  SavedErrno(const SavedErrno&) = delete;
  SavedErrno& operator=(const SavedErrno&) = delete;

 private:
  int saved_;
};

// An owned file descriptor, closed with errno kept.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      SavedErrno keep;
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool is_dot(const char* name) noexcept;

// A directory stream over `fd` (which stays open) from its first entry, or
// nullptr with errno set.
DIR* open_listing(int fd) noexcept;

// Calls `each(name)` for the entries of the directory `fd` but "." and "..",
// until it returns false. False when the directory cannot be listed.
template <class Each>
bool for_each_entry(int fd, Each&& each) {
  DIR* d = open_listing(fd);
  if (d == nullptr) return false;
  while (dirent* e = readdir(d)) {
    if (is_dot(e->d_name)) continue;
    if (!each(static_cast<const char*>(e->d_name))) break;
  }
  SavedErrno keep;
  closedir(d);
  return true;
}

// Removes everything below the directory `fd` (best effort); never follows a
// symbolic link.
void remove_children(int fd) noexcept;

// renameat2(..., RENAME_NOREPLACE), also where the kernel or the file system
// lacks it (then checked and renamed in two steps). 0, or -1 with errno.
int rename_noreplace(int from_fd, const char* from, int to_fd, const char* to) noexcept;

// True when `name` in `dirfd` is a directory itself (not a link to one).
bool is_dir_at(int dirfd, const char* name) noexcept;

// True when `name` in `dirfd` (not followed) is the file open at `fd`.
bool names_open(int dirfd, const char* name, int fd) noexcept;

// The directory steps (a directory opened, made or looked at) that the
// extraction in scope on this thread has taken: a member's walk is bounded
// by the limits of its path, and the sum of them is what these count.
class StepCount {
 public:
  StepCount() noexcept;
  StepCount(const StepCount&) = delete;
  StepCount& operator=(const StepCount&) = delete;
  ~StepCount();

  // One more step of the extraction in scope, if any.
  static void step() noexcept;
  std::size_t total() const noexcept { return total_; }

 private:
  std::size_t total_ = 0;
  StepCount* outer_;
};

// The parts of a path as a walk takes them: empty and "." parts dropped,
// ".." kept (it climbs out of the part before it).
std::vector<std::string> path_parts(const std::string& path);

// The text of the symbolic link `name` in `dir_fd`; false with errno set
// (ENAMETOOLONG for a text of PATH_MAX bytes or more).
bool read_link(int dir_fd, const char* name, std::string& target);

}  // namespace zelk::fetch::tree
