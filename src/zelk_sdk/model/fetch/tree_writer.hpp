// Members of an archive written under a directory descriptor, never by path.
//
// Every write of an extraction goes through descriptors: the destination is a
// directory descriptor opened before the first member, each component of a
// member's path is opened from the one before it with O_NOFOLLOW, files are
// created with O_CREAT | O_EXCL | O_NOFOLLOW after whatever held the name was
// unlinked (never followed), modes and times are set on open descriptors, and
// hard links are made only to regular files this extraction wrote. So no link,
// on disk before or made by the archive, and no rename of the destination or
// of anything above it, can carry a write outside the destination: the kernel
// refuses the walk, and the member is refused.
#pragma once

#include <string>

#include "common.hpp"

namespace zelk::fetch::writer {

// Extracts the members of `tar`, a TarFile of the interpreter's own class, in
// archive order into the directory `root_fd`. Each member first goes through
// `check` (the _check closure: raises for a name or link that leaves) and
// through tarfile's "data" filter against `path` (the destination as a str,
// also what errors name); then it is written. Member data is read from
// tar.fileobj at the member's offset, as tarfile reads it, region by region for
// a sparse member (its holes stay holes). A member that goes through a link, or a hard link to
// anything but a regular file extracted before it, is refused.
void extract_members(Ctx& c, PyObject* tar, PyObject* check, PyObject* path, int root_fd);

// The room that the extraction in scope on this thread was judged to need
// (the tar data its xz index states), on the file system of `dir_fd`. What
// the writer takes is counted in blocks as the file system reports them
// (a directory as 4 KiB); once that passes what was stated (a lying index,
// sparse regions a block apart, many small files), the writer looks at the
// free space every member and every 16 MiB or 1024 regions, and stops the
// extraction before the file system's reserve (a twentieth, at most 64 MiB).
class SpaceGuard {
 public:
  // A `strict` guard stops the extraction as soon as it took more than
  // `stated`, whatever is free (the room beyond it belongs to someone else).
  SpaceGuard(int dir_fd, std::string dir, unsigned long long stated, bool strict = false) noexcept;
  SpaceGuard(const SpaceGuard&) = delete;
  SpaceGuard& operator=(const SpaceGuard&) = delete;
  ~SpaceGuard();

  // Counts `bytes` more taken by the extraction in scope, if any.
  static void charge(unsigned long long bytes) noexcept;
  // Raises OSError("not enough space in DIR: ...") when the extraction in
  // scope took more than was stated and the file system is down to its
  // reserve.
  static void check();

 private:
  int dir_fd_;
  std::string dir_;
  unsigned long long stated_;
  bool strict_;
  unsigned long long taken_ = 0;
  SpaceGuard* outer_;
};

}  // namespace zelk::fetch::writer
