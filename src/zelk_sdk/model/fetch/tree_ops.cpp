#include "tree_ops.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace zelk::fetch::tree {
namespace {

void remove_below(int fd, int depth) noexcept {
  if (depth > kMaxDepth) return;
  try {
    for_each_entry(fd, [&](const char* name) {
      struct stat st;
      if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
      if (S_ISDIR(st.st_mode)) {
        if (Fd child{openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)}) {
          remove_below(child.get(), depth + 1);
        }
        unlinkat(fd, name, AT_REMOVEDIR);
      } else {
        unlinkat(fd, name, 0);
      }
      return true;
    });
  } catch (...) {
    // nothing in the loop allocates; a removal is best effort all the same
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

void remove_children(int fd) noexcept { remove_below(fd, 0); }

int rename_noreplace(int from_fd, const char* from, int to_fd, const char* to) noexcept {
  int r = renameat2(from_fd, from, to_fd, to, RENAME_NOREPLACE);
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

bool is_dir_at(int dirfd, const char* name) noexcept {
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace zelk::fetch::tree
