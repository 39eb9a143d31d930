#include "scratch.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "scratch_names.hpp"
#include "tree_check.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::scratch {
namespace {

[[noreturn]] void raise_errno(PyObject* filename) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  throw_error();
}

}  // namespace

void raise_errno_path(const std::string& path) {
  Ref name;
  {
    tree::SavedErrno keep;
    name = decode_path(path);
  }
  raise_errno(name);
}

std::string encode_path(PyObject* path) {
  // str, bytes or an os.PathLike, as os functions take them
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(path, &converted) == 0) throw_error();
  Ref bytes = Ref::steal(converted);
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes, &data, &size));
  if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
    raise(PyExc_ValueError, "embedded null byte");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Ref decode_path(const std::string& path) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
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

bool space_of(int dir_fd, Space& out) noexcept {
  struct statvfs vfs;
  if (dir_fd < 0 || fstatvfs(dir_fd, &vfs) != 0) return false;
  out.free = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  out.size = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
  return true;
}

void raise_no_space(const std::string& dir, PyObject* detail) {
  raise(PyExc_OSError, textf("not enough space in %U: %U", decode_path(dir).get(), detail).get());
}

void raise_no_space(const std::string& dir, unsigned long long need, unsigned long long free) {
  raise_no_space(dir, textf("need %llu MiB, %llu MiB free", mib_up(need), free / kMiB));
}

// ------------------------------------------------------------ PartFile

PartFile::~PartFile() {
  if (place_ != nullptr && !name_.empty() && !committed_) unlinkat(place_->dir_fd, name_.c_str(), 0);
}

Ref PartFile::open_for(const Place& place, PyObject* final_path_obj, PyObject* open) {
  if (place.dir_fd < 0) {
    errno = place.dir_errno;
    raise_errno(final_path_obj);
  }
  // what open(local_file, "wb") would refuse, refused before the body is read
  struct stat st;
  if (fstatat(place.dir_fd, place.name.c_str(), &st, 0) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      raise_errno(final_path_obj);
    }
    if (faccessat(place.dir_fd, place.name.c_str(), W_OK, 0) != 0) raise_errno(final_path_obj);
  }
  place_ = &place;
  const Names names = random_names("", kPart);
  tree::Fd fd{openat(place.dir_fd, names.born.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)};
  if (!fd) raise_errno(final_path_obj);  // the destination the caller named, not our scratch name
  name_ = names.born;
  if (!lock_new(fd.get()) ||
      tree::rename_noreplace(place.dir_fd, names.born.c_str(), place.dir_fd, names.final.c_str()) != 0) {
    raise_errno(final_path_obj);
  }
  name_ = names.final;
  Ref file = call(open, integer(fd.get()), text("wb"));
  fd.release();  // the file object owns it now
  return file;
}

void PartFile::commit(PyObject* final_path_obj) {
  if (renameat(place_->dir_fd, name_.c_str(), place_->dir_fd, place_->name.c_str()) != 0) raise_errno(final_path_obj);
  committed_ = true;
}

// ------------------------------------------------------------ ModelLock

namespace {

// The lock is polled: first after 10 ms, then at twice the pause before, up
// to a quarter of a second.
constexpr int kLockPollFirstMs = 10;
constexpr int kLockPollMaxMs = 250;

}  // namespace

ModelLock::ModelLock(Ctx& c, const BaseDir& base, const std::string& model_name, Deadline& deadline, bool announce)
    : base_(fcntl(base.fd(), F_DUPFD_CLOEXEC, 0)), name_(keyed_path("", model_name, kLock)) {
  if (!base_) raise_errno_path(base.path());
  bool announced = !announce;
  for (;;) {
    tree::Fd fd{openat(base_.get(), name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)};
    struct stat st;
    if (!fd) {
      // a read-only base directory, or one we may not write: nothing to
      // coordinate there
      if (errno == EROFS || errno == EACCES || errno == EPERM) return;
      // a link, a directory or a socket holds the name: not ours, left alone
      if (errno == ELOOP || errno == EISDIR || errno == ENXIO || errno == EOPNOTSUPP) {
        foreign_ = base.path() + "/" + name_;
        return;
      }
      raise_errno_path(base.path() + "/" + name_);  // no descriptors left, ...
    }
    if (fstat(fd.get(), &st) != 0 || !owned_alone(st)) {
      foreign_ = base.path() + "/" + name_;
      return;
    }
    // Polled, not a blocking flock: the wait ends with the call's budget
    // whoever holds the lock (a fetch stuck on a server, another program),
    // and Ctrl-C works throughout.
    for (int pause_ms = kLockPollFirstMs;; pause_ms = std::min(2 * pause_ms, kLockPollMaxMs)) {
      if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
      if (errno == EINTR) {
        if (PyErr_CheckSignals() < 0) throw_error();
        continue;
      }
      if (errno != EWOULDBLOCK) return;  // a file system without locks
      if (!announced) {
        announced = true;
        log_info(c, [&] { return textf("waiting for another fetch of %U", decode_path(model_name).get()); });
      }
      const double left = deadline.remaining(c);
      if (left <= 0) {
        raise(PyExc_TimeoutError,
              textf("the wait for the lock of %U ran out: another fetch (or program) still holds it",
                    decode_path(model_name).get())
                  .get());
      }
      const double pause_s = std::min(left, pause_ms / 1000.0);
      struct timespec pause{static_cast<time_t>(pause_s), static_cast<long>(std::fmod(pause_s, 1.0) * 1e9)};
      Py_BEGIN_ALLOW_THREADS;
      nanosleep(&pause, nullptr);
      Py_END_ALLOW_THREADS;
      if (PyErr_CheckSignals() < 0) throw_error();
    }
    // the holder before us removed the file we waited on: wait on the new one
    if (tree::names_open(base_.get(), name_.c_str(), fd.get())) {
      fd_ = std::move(fd);
      return;
    }
  }
}

ModelLock::~ModelLock() {
  if (!fd_) return;
  if (tree::names_open(base_.get(), name_.c_str(), fd_.get())) unlinkat(base_.get(), name_.c_str(), 0);
  fd_.reset();
}

// ------------------------------------------------------------ Staging

Staging::Staging(const BaseDir& base) : base_(base) {
  sweep_at(base.fd());
  const Names names = random_names("", kStaging);
  if (mkdirat(base.fd(), names.born.c_str(), 0700) != 0) raise_errno_path(base.path() + "/" + names.born);
  tree::Fd fd{openat(base.fd(), names.born.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (!fd || !lock_new(fd.get()) ||
      tree::rename_noreplace(base.fd(), names.born.c_str(), base.fd(), names.final.c_str()) != 0) {
    {
      tree::SavedErrno keep;
      unlinkat(base.fd(), names.born.c_str(), AT_REMOVEDIR);
    }
    raise_errno_path(base.path() + "/" + names.born);
  }
  name_ = names.final;
  lock_fd_ = std::move(fd);
}

Staging::~Staging() {
  if (!lock_fd_) return;
  auto remove = [&] {
    tree::remove_children(lock_fd_.get());
    if (tree::names_open(base_.fd(), name_.c_str(), lock_fd_.get())) unlinkat(base_.fd(), name_.c_str(), AT_REMOVEDIR);
    lock_fd_.reset();
  };
  if (unwound_at_exit()) {  // there is no GIL to release
    remove();
    return;
  }
  exit_barrier([&] {
    Py_BEGIN_ALLOW_THREADS;
    remove();
    Py_END_ALLOW_THREADS;
  });
}

Ref Staging::path() const { return decode_path(base_.path() + "/" + name_); }

std::vector<std::string> Staging::verify(const std::string& model_name) {
  std::vector<std::string> strays;
  bool has_model = false;
  std::string escaping;
  bool over = false;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS;
  try {
    tree::for_each_entry(lock_fd_.get(), [&](const char* name) {
      if (model_name == name) {
        has_model = tree::is_dir_at(lock_fd_.get(), name);
      } else {
        strays.emplace_back(name);
      }
      return true;
    });
    if (has_model) escaping = escaping_link(lock_fd_.get(), model_name, kMaxWalkSteps, over);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;  // thrown again below, with the GIL held
  }
  Py_END_ALLOW_THREADS;
  if (out_of_memory) throw std::bad_alloc();
  if (!has_model) {
    raise(PyExc_Exception, textf("the archive holds no directory %R", decode_path(model_name).get()).get());
  }
  if (over) {
    raise(PyExc_Exception, textf("the archive's links take more than %zu steps to judge", kMaxWalkSteps).get());
  }
  if (!escaping.empty()) {
    raise(PyExc_Exception, textf("Attempted path traversal in tar archive: %U", decode_path(escaping).get()).get());
  }
  std::sort(strays.begin(), strays.end());
  return strays;
}

void Staging::publish(const std::string& model_name) {
  // All of this is file system work that may take long on a slow card: the
  // GIL is released for it, and errors are raised once it is held again.
  const int base_fd = base_.fd();
  int err = 0;
  enum { none, sync, move } failed = none;
  bool replaced = false;
  Py_BEGIN_ALLOW_THREADS;
  // everything extracted reaches the disk before the model directory appears
  if (syncfs(fd()) != 0) {
    err = errno;
    failed = sync;
  } else if (!base_.still_named()) {
    replaced = true;
  } else if (tree::rename_noreplace(fd(), model_name.c_str(), base_fd, model_name.c_str()) != 0) {
    // a model directory that appeared meanwhile is complete: keep it
    err = errno;
    if ((err != EEXIST && err != ENOTEMPTY) || !tree::is_dir_at(base_fd, model_name.c_str())) failed = move;
  } else {
    fsync(base_fd);
    // the path the caller is given must lead to the model: where the base
    // directory was replaced meanwhile, the model goes back to be removed
    if (!base_.still_named()) {
      replaced = true;
      tree::rename_noreplace(base_fd, model_name.c_str(), fd(), model_name.c_str());
    }
  }
  Py_END_ALLOW_THREADS;
  if (replaced) base_.raise_replaced();
  if (failed != none) {
    errno = err;
    raise_errno_path(base_.path() + "/" + (failed == sync ? name_ : model_name));
  }
}

}  // namespace zelk::fetch::scratch
