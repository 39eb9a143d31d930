#include "tree_ops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zelk::fetch::tree {
namespace {

// Depth first without recursion and with two descriptors at a time: a
// hostile archive may nest directories thousands deep, and this runs on any
// thread, with any descriptor limit. A directory that cannot be opened or
// removed is passed over; everything else goes.
void remove_below(int root) noexcept {
  try {
    Fd cur{fcntl(root, F_DUPFD_CLOEXEC, 0)};
    if (!cur) return;
    std::vector<std::string> names;               // from `root` down to `cur`
    std::vector<std::set<std::string>> stuck(1);  // per level: what could not go
    // the directory each level was entered from: the way back up is "..",
    // which is wherever the directory is now; if someone moved it meanwhile,
    // ".." is no longer ours and the removal stops there
    std::vector<std::pair<dev_t, ino_t>> above;
    for (;;) {
      std::string sub;
      for_each_entry(cur.get(), [&](const char* name) {
        struct stat st;
        if (fstatat(cur.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
        if (!S_ISDIR(st.st_mode)) {
          unlinkat(cur.get(), name, 0);
          return true;
        }
        if (stuck.back().count(name) != 0) return true;
        sub = name;
        return false;
      });
      if (!sub.empty()) {
        Fd child;
        if (names.size() < static_cast<std::size_t>(kMaxDepth)) {
          child.reset(openat(cur.get(), sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!child) {
          if (unlinkat(cur.get(), sub.c_str(), AT_REMOVEDIR) != 0) stuck.back().insert(sub);
          continue;
        }
        struct stat here;
        if (fstat(cur.get(), &here) != 0) return;
        above.emplace_back(here.st_dev, here.st_ino);
        cur = std::move(child);
        names.push_back(std::move(sub));
        stuck.emplace_back();
        continue;
      }
      if (names.empty()) return;
      Fd parent{openat(cur.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
      struct stat there;
      if (!parent || fstat(parent.get(), &there) != 0 || there.st_dev != above.back().first ||
          there.st_ino != above.back().second) {
        return;
      }
      above.pop_back();
      cur = std::move(parent);
      stuck.pop_back();
      if (unlinkat(cur.get(), names.back().c_str(), AT_REMOVEDIR) != 0) stuck.back().insert(names.back());
      names.pop_back();
    }
  } catch (...) {
    // out of memory: a removal is best effort
  }
}

}  // namespace

bool is_dot(const char* name) noexcept { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// The duplicate shares the file position of `fd`, which an earlier listing
// may have left at the end: rewind it.
DIR* open_listing(int fd) noexcept {
  Fd dup{fcntl(fd, F_DUPFD_CLOEXEC, 0)};
  if (!dup) return nullptr;
  DIR* d = fdopendir(dup.get());
  if (d == nullptr) return nullptr;
  dup.release();  // the stream owns it now
  rewinddir(d);
  return d;
}

void remove_children(int fd) noexcept { remove_below(fd); }

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)  // <linux/fs.h>
#endif

int rename_noreplace(int from_fd, const char* from, int to_fd, const char* to) noexcept {
  // the system call itself: glibc wraps it only from 2.28 on, and the release
  // wheels are built against glibc 2.17
  int r = static_cast<int>(syscall(SYS_renameat2, from_fd, from, to_fd, to, RENAME_NOREPLACE));
  if (r == 0 || (errno != EINVAL && errno != ENOSYS)) return r;
  // a file system without RENAME_NOREPLACE, or a kernel (or a container's
  // system call filter) without renameat2
  struct stat st;
  if (fstatat(to_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(from_fd, from, to_fd, to);
}

bool names_open(int dirfd, const char* name, int fd) noexcept {
  struct stat held;
  struct stat named;
  return fstat(fd, &held) == 0 && fstatat(dirfd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

namespace {
thread_local StepCount* steps_in_scope = nullptr;
}  // namespace

StepCount::StepCount() noexcept : outer_(steps_in_scope) { steps_in_scope = this; }
StepCount::~StepCount() { steps_in_scope = outer_; }

void StepCount::step() noexcept {
  if (steps_in_scope != nullptr) ++steps_in_scope->total_;
}

std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && !(end - start == 1 && path[start] == '.')) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool read_link(int dir_fd, const char* name, std::string& target) {
  char buf[PATH_MAX];
  const ssize_t n = readlinkat(dir_fd, name, buf, sizeof buf);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return false;
  }
  target.assign(buf, static_cast<std::size_t>(n));
  return true;
}

bool is_dir_at(int dirfd, const char* name) noexcept {
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace zelk::fetch::tree
