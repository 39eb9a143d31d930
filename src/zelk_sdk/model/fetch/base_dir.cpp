#include "base_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "scratch.hpp"

namespace zelk::fetch::scratch {
namespace {

// A symbolic link on the way is followed at most this often, as the kernel
// does.
constexpr int kMaxLinks = 40;

bool ours_or_roots(uid_t uid) noexcept { return uid == 0 || uid == geteuid(); }

// Somebody but this process's user (and its own group) and root may write
// the directory `dir` at `path`. With an access ACL, the group bits are the
// ACL's mask: any write they allow may be a named user's.
bool others_may_write(const struct stat& dir, const std::string& path) noexcept {
  if ((dir.st_mode & S_IWOTH) != 0) return true;
  if ((dir.st_mode & S_IWGRP) == 0) return false;
  if (dir.st_gid != getegid() && dir.st_gid != 0) return true;
  const ssize_t acl = lgetxattr(path.c_str(), "system.posix_acl_access", nullptr, 0);
  return acl > 0 || (acl < 0 && errno != ENODATA && errno != ENOTSUP);
}

// Nobody but this process's user and root can replace `entry` of `holder`
// (at `where`): the holder is theirs and writable by nobody else, or it is a
// sticky directory (as /tmp), where only an entry's owner may rename it, and
// the entry is theirs.
bool name_is_safe(const struct stat& holder, const std::string& where, const struct stat& entry) noexcept {
  if (!ours_or_roots(holder.st_uid)) return false;
  if (!others_may_write(holder, where)) return true;
  return (holder.st_mode & S_ISVTX) != 0 && ours_or_roots(entry.st_uid);
}

// The parts of `path` onto a stack of parts still to walk: its first part last.
void push_parts(std::vector<std::string>& todo, const std::string& path) {
  const std::vector<std::string> parts = tree::path_parts(path);
  todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

std::string joined(const std::string& dir, const std::string& name) {
  std::string out = dir;
  if (out != "/") out += '/';
  out += name;
  return out;
}

enum class Walk { ok, unsafe, missing, failed };

// Walks `path` (absolute) from the root, each part looked at without
// following it: a link is followed (its target walked in its place) and a
// directory entered only where the name is safe (name_is_safe). `unsafe`
// names the directory that is not; errno tells a failure. With
// `stop_at_missing`, a part that does not exist ends the walk (Walk::missing).
Walk walk(const std::string& path, bool stop_at_missing, tree::Fd& out, std::string& unsafe) {
  constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  std::vector<std::string> todo;
  push_parts(todo, path);
  tree::Fd cur{::open("/", kPathFlags)};
  if (!cur) return Walk::failed;
  std::string where = "/";
  int links = 0;
  while (!todo.empty()) {
    const std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == ".") continue;
    struct stat holder;
    struct stat entry;
    if (fstat(cur.get(), &holder) != 0) return Walk::failed;
    if (part == "..") {
      tree::Fd up{openat(cur.get(), "..", kPathFlags)};
      if (!up) return Walk::failed;
      cur = std::move(up);
      where = parent_dir(where);
      continue;
    }
    if (fstatat(cur.get(), part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !stop_at_missing) return Walk::failed;
      // What is missing will be made by path, then walked on: parts below
      // it are as yet nothing, but a ".." climbs back out of them to what
      // exists, and the walk goes on from there.
      int missing = 1;
      while (missing > 0 && !todo.empty()) {
        const std::string next = std::move(todo.back());
        todo.pop_back();
        if (next == "..") {
          --missing;
        } else if (next != ".") {
          ++missing;
        }
      }
      if (missing > 0) return Walk::missing;
      continue;
    }
    if (!name_is_safe(holder, where, entry)) {
      unsafe = where;
      return Walk::unsafe;
    }
    if (S_ISLNK(entry.st_mode)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return Walk::failed;
      }
      std::string text;
      if (!tree::read_link(cur.get(), part.c_str(), text)) return Walk::failed;
      if (!text.empty() && text[0] == '/') {
        cur.reset(::open("/", kPathFlags));
        if (!cur) return Walk::failed;
        where.assign(1, '/');
      }
      push_parts(todo, text);
      continue;
    }
    tree::Fd next{openat(cur.get(), part.c_str(), kPathFlags)};
    struct stat opened;
    if (!next || fstat(next.get(), &opened) != 0) return Walk::failed;
    // the entry judged is the one entered
    if (opened.st_dev != entry.st_dev || opened.st_ino != entry.st_ino) {
      unsafe = where;
      return Walk::unsafe;
    }
    cur = std::move(next);
    where = joined(where, part);
  }
  // The base directory itself: nobody else may write it either, or they
  // could plant an archive that the next fetch reuses as the model.
  struct stat base;
  if (fstat(cur.get(), &base) != 0) return Walk::failed;
  if (!ours_or_roots(base.st_uid) || others_may_write(base, where)) {
    unsafe = where;
    return Walk::unsafe;
  }
  out.reset(openat(cur.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return out ? Walk::ok : Walk::failed;
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) raise_errno_path(path);
  std::string out = cwd;
  if (!path.empty()) out.append("/").append(path);
  return out;
}

[[noreturn]] void raise_unsafe(const std::string& path, const std::string& holder) {
  raise(PyExc_PermissionError, textf("the base directory %R could be replaced by another user: %R may be written "
                                     "by others",
                                     decode_path(path).get(), decode_path(holder).get())
                                   .get());
}

}  // namespace

BaseDir::BaseDir(const std::string& path) : path_(absolute(path)) {
  std::string unsafe;
  switch (walk(path_, false, fd_, unsafe)) {
    case Walk::unsafe:
      raise_unsafe(path_, unsafe);
    case Walk::missing:
    case Walk::failed:
      raise_errno_path(path_);
    case Walk::ok:
      break;
  }
  struct stat st;
  if (fstat(fd_.get(), &st) != 0) raise_errno_path(path_);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
}

void BaseDir::check(const std::string& path) {
  const std::string abs = absolute(path);
  tree::Fd ignored;
  std::string unsafe;
  // errors are left to what makes or opens the directory next
  if (walk(abs, true, ignored, unsafe) == Walk::unsafe) raise_unsafe(abs, unsafe);
}

bool BaseDir::still_named() const noexcept {
  struct stat st;
  return ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void BaseDir::raise_replaced() const {
  raise(PyExc_OSError,
        textf("the base directory %R was replaced while the model was fetched", decode_path(path_).get()).get());
}

}  // namespace zelk::fetch::scratch
