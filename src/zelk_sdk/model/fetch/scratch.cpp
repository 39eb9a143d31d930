#include "scratch.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace zelk::fetch::scratch {
namespace {

constexpr char kPrefix[] = ".zelk-tmp-";

// A directory stream over `fd` (which stays open), from its first entry: the
// duplicate shares the file position of `fd`, which an earlier listing may
// have left at the end.
DIR* open_listing(int fd) {
  int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return nullptr;
  DIR* d = fdopendir(dup_fd);
  if (d == nullptr) {
    ::close(dup_fd);
    return nullptr;
  }
  rewinddir(d);
  return d;
}

[[noreturn]] void raise_errno(PyObject* filename) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  throw_error();
}

[[noreturn]] void raise_errno_path(const std::string& path) {
  int saved = errno;
  Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  errno = saved;
  raise_errno(name);
}

std::string random_name(const char* suffix) {
  unsigned char bytes[8];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      // no entropy source: the address of a stack object and the time will do
      unsigned long long v = reinterpret_cast<std::uintptr_t>(&got) ^ static_cast<unsigned long long>(time(nullptr));
      std::memcpy(bytes, &v, sizeof bytes);
      break;
    }
    got += static_cast<std::size_t>(r);
  }
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return std::string(kPrefix) + hex + suffix;
}

// flock(2) with the GIL released while it blocks (another thread of this
// process may hold the lock and need the GIL to let go of it); a signal that
// interrupts the wait is handled like anywhere else in Python code.
int flock_wait(int fd, int op) {
  for (;;) {
    int r;
    int err;
    Py_BEGIN_ALLOW_THREADS;
    r = flock(fd, op);
    err = errno;
    Py_END_ALLOW_THREADS;
    if (r == 0) return 0;
    if (err != EINTR) {
      errno = err;
      return -1;
    }
    if (PyErr_CheckSignals() < 0) throw_error();
  }
}

// An open directory with an flock of the given kind; not locked when the
// directory cannot be opened for reading or the file system refuses locks.
class DirLock {
 public:
  DirLock(const std::string& dir, int op) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    try {
      locked_ = flock_wait(fd_, op) == 0;
    } catch (...) {
      ::close(fd_);
      throw;
    }
  }
  ~DirLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  int fd() const { return fd_; }
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

// Removes everything below the directory `fd` (which stays open); never
// follows symbolic links.
void remove_children(int fd, int depth = 0) {
  if (depth > 4096) return;
  DIR* d = open_listing(fd);
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        remove_children(child, depth + 1);
        ::close(child);
      }
      unlinkat(fd, name, AT_REMOVEDIR);
    } else {
      unlinkat(fd, name, 0);
    }
  }
  closedir(d);
}

void remove_tree_at(int dirfd, const char* name) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(dirfd, name, 0);
    return;
  }
  int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    remove_children(fd);
    ::close(fd);
  }
  unlinkat(dirfd, name, AT_REMOVEDIR);
}

int rename_noreplace(int from_fd, const char* from, int to_fd, const char* to) {
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

bool is_dir_at(int dirfd, const char* name) {
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Moves `name` from one directory into another as extraction would have
// written it there: new entries are renamed, directories are merged into
// existing ones, and other entries replace other entries. A directory never
// replaces a file nor a file a directory (EISDIR / ENOTDIR), as extraction
// itself refuses. Returns false with errno set on failure.
bool move_entry(int from_fd, const char* name, int to_fd, int depth = 0) {
  if (rename_noreplace(from_fd, name, to_fd, name) == 0) return true;
  if (errno != EEXIST && errno != ENOTEMPTY) return false;
  const bool src_dir = is_dir_at(from_fd, name);
  const bool dst_dir = is_dir_at(to_fd, name);
  if (src_dir != dst_dir) {
    errno = dst_dir ? EISDIR : ENOTDIR;
    return false;
  }
  if (!src_dir) return renameat(from_fd, name, to_fd, name) == 0;
  if (depth >= 4096) {
    errno = ELOOP;
    return false;
  }
  int src = openat(from_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int dst = openat(to_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool ok = src >= 0 && dst >= 0;
  if (ok) {
    DIR* d = open_listing(src);
    if (d == nullptr) {
      ok = false;
    } else {
      while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (!move_entry(src, e->d_name, dst, depth + 1)) {
          ok = false;
          break;
        }
      }
      int saved = errno;
      closedir(d);
      errno = saved;
    }
  }
  int saved = errno;
  if (src >= 0) ::close(src);
  if (dst >= 0) ::close(dst);
  errno = saved;
  if (ok) unlinkat(from_fd, name, AT_REMOVEDIR);
  return ok;
}

}  // namespace

std::string encode_path(PyObject* path) {
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(path));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes, &data, &size));
  if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
    raise(PyExc_ValueError, "embedded null byte");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string parent_dir(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  std::string head = path.substr(0, slash + 1);
  // drop trailing slashes unless the head is nothing but slashes
  std::size_t end = head.find_last_not_of('/');
  if (end == std::string::npos) return head;
  return head.substr(0, end + 1);
}

void sweep(const std::string& dir) {
  DirLock lock(dir, LOCK_EX);
  if (!lock.locked()) return;
  const int dirfd = lock.fd();
  Py_BEGIN_ALLOW_THREADS;
  DIR* d = open_listing(dirfd);
  while (d != nullptr) {
    dirent* e = readdir(d);
    if (e == nullptr) break;
    if (std::strncmp(e->d_name, kPrefix, sizeof kPrefix - 1) != 0) continue;
    int fd = openat(dirfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    // unlocked: its writer is gone
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) remove_tree_at(dirfd, e->d_name);
    ::close(fd);
  }
  if (d != nullptr) closedir(d);
  Py_END_ALLOW_THREADS;
}

// ------------------------------------------------------------ PartFile

PartFile::~PartFile() {
  if (!path_.empty() && !committed_) ::unlink(path_.c_str());
}

Ref PartFile::open_for(const std::string& final_path, PyObject* final_path_obj, PyObject* open) {
  // what open(local_file, "wb") would refuse, refused before the body is read
  struct stat st;
  if (::stat(final_path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      raise_errno(final_path_obj);
    }
    if (::access(final_path.c_str(), W_OK) != 0) raise_errno(final_path_obj);
  }
  const std::string dir = parent_dir(final_path);
  final_ = final_path;
  DirLock lock(dir, LOCK_SH);
  path_ = (dir == "/" ? std::string() : dir) + "/" + random_name(".part");
  Ref tmp = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path_.data(), static_cast<Py_ssize_t>(path_.size())));
  Ref file;
  try {
    file = call(open, tmp, text("xb"));
  } catch (PyErr& e) {
    path_.clear();  // nothing was created
    if (!e.matches(PyExc_OSError)) throw;
    // report the destination the caller named, not our scratch name
    Ref err = Ref::steal_or_null(PyObject_GetAttrString(e.value(), "errno"));
    if (!err || !PyLong_Check(err.get())) {
      PyErr_Clear();
      throw;
    }
    errno = static_cast<int>(PyLong_AsLong(err));
    raise_errno(final_path_obj);
  }
  int fd = PyObject_AsFileDescriptor(file);
  if (fd < 0) throw_error();
  // a new file: nobody but a sweeper (which does not wait) contends for it
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  return file;
}

void PartFile::commit(PyObject* final_path_obj) {
  if (::rename(path_.c_str(), final_.c_str()) != 0) raise_errno(final_path_obj);
  committed_ = true;
}

// ------------------------------------------------------------ Staging

Staging::Staging(const std::string& base_dir) : base_(base_dir) {
  sweep(base_);
  DirLock lock(base_, LOCK_SH);
  const std::string name = random_name(".staging");
  path_ = (base_ == "/" ? std::string() : base_) + "/" + name;
  if (::mkdir(path_.c_str(), 0700) != 0) raise_errno_path(path_);
  lock_fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (lock_fd_ < 0) {
    int saved = errno;
    ::rmdir(path_.c_str());
    errno = saved;
    raise_errno_path(path_);
  }
  while (flock(lock_fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

Staging::~Staging() {
  if (lock_fd_ < 0) return;
  Py_BEGIN_ALLOW_THREADS;
  remove_children(lock_fd_);
  ::rmdir(path_.c_str());
  ::close(lock_fd_);
  Py_END_ALLOW_THREADS;
}

Ref Staging::path() const {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path_.data(), static_cast<Py_ssize_t>(path_.size())));
}

void Staging::publish(const std::string& model_name) {
  // All of this is file system work that may take long on a slow card: the
  // GIL is released for it, and errors are raised once it is held again.
  std::string failed;  // the path an error is about; empty: success
  int err = 0;
  bool out_of_memory = false;  // building an error's path failed
  Py_BEGIN_ALLOW_THREADS;
  try {
    [&] {
      int base_fd = ::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (base_fd < 0) {
        err = errno;
        failed = base_;
        return;
      }
      struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
      } closer{base_fd};
      auto fail = [&](const std::string& path) {
        err = errno;
        failed = path;
      };
      // everything extracted reaches the disk before the model directory appears
      if (syncfs(lock_fd_) != 0) return fail(path_);
      DIR* d = open_listing(lock_fd_);
      if (d == nullptr) return fail(path_);
      bool has_model = false;
      while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (model_name == name) {
          has_model = true;
          continue;
        }
        if (!move_entry(lock_fd_, name, base_fd)) {
          fail(base_ + "/" + name);
          int saved = errno;
          closedir(d);
          errno = saved;
          return;
        }
      }
      closedir(d);
      if (has_model && rename_noreplace(lock_fd_, model_name.c_str(), base_fd, model_name.c_str()) != 0) {
        // a model directory that appeared meanwhile is complete: keep it
        if ((errno != EEXIST && errno != ENOTEMPTY) || !is_dir_at(base_fd, model_name.c_str())) {
          return fail(base_ + "/" + model_name);
        }
      }
      fsync(base_fd);
    }();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;  // thrown again below, with the GIL held
  }
  Py_END_ALLOW_THREADS;
  if (out_of_memory) throw std::bad_alloc();
  if (!failed.empty()) {
    errno = err;
    raise_errno_path(failed);
  }
}

}  // namespace zelk::fetch::scratch
