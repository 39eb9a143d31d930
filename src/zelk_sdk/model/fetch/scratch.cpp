#include "scratch.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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
  final_ = final_path;
  const Names names = random_names(parent_dir(final_path), kPart);
  Ref file;
  try {
    file = call(open, decode_path(names.born), text("xb"));
  } catch (PyErr& e) {
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
  path_ = names.born;
  int fd = PyObject_AsFileDescriptor(file);
  if (fd < 0) throw_error();
  if (!lock_new(fd) || ::rename(names.born.c_str(), names.final.c_str()) != 0) raise_errno(final_path_obj);
  path_ = names.final;
  return file;
}

void PartFile::commit(PyObject* final_path_obj) {
  if (::rename(path_.c_str(), final_.c_str()) != 0) raise_errno(final_path_obj);
  committed_ = true;
}

// ------------------------------------------------------------ ModelLock

ModelLock::ModelLock(const std::string& base_dir, const std::string& model_name) {
  const std::string path = keyed_path(base_dir, model_name, kLock);
  for (;;) {
    tree::Fd fd{::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)};
    if (!fd) {
      // a read-only base directory, or one we may not write: nothing to
      // coordinate there; anything else in the lock's place is an error
      if (errno == EROFS || errno == EACCES || errno == EPERM) return;
      raise_errno_path(path);
    }
    for (;;) {
      int r;
      int err;
      Py_BEGIN_ALLOW_THREADS;
      r = flock(fd.get(), LOCK_EX);
      err = errno;
      Py_END_ALLOW_THREADS;
      if (r == 0) break;
      if (err != EINTR) return;  // a file system without locks
      if (PyErr_CheckSignals() < 0) throw_error();
    }
    // the holder before us removed the file we waited on: wait on the new one
    struct stat locked;
    struct stat named;
    if (fstat(fd.get(), &locked) == 0 && ::stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
        locked.st_ino == named.st_ino) {
      path_ = path;
      fd_ = std::move(fd);
      return;
    }
  }
}

ModelLock::~ModelLock() {
  if (!fd_) return;
  ::unlink(path_.c_str());
  fd_.reset();
}

// ------------------------------------------------------------ Staging

Staging::Staging(const std::string& base_dir) : base_(base_dir) {
  // Extraction goes by absolute paths: a relative base lets the kernel reach,
  // from the working directory, paths too long for the checks to test.
  if (base_.empty() || base_[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) raise_errno_path(base_);
    base_ = std::string(cwd) + (base_.empty() ? "" : "/" + base_);
  }
  sweep(base_);
  const Names names = random_names(base_, kStaging);
  if (::mkdir(names.born.c_str(), 0700) != 0) raise_errno_path(names.born);
  tree::Fd fd{::open(names.born.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (!fd || !lock_new(fd.get()) || ::rename(names.born.c_str(), names.final.c_str()) != 0) {
    {
      tree::SavedErrno keep;
      ::rmdir(names.born.c_str());
    }
    raise_errno_path(names.born);
  }
  path_ = names.final;
  lock_fd_ = std::move(fd);
}

Staging::~Staging() {
  if (!lock_fd_) return;
  Py_BEGIN_ALLOW_THREADS;
  tree::remove_children(lock_fd_.get());
  ::rmdir(path_.c_str());
  lock_fd_.reset();
  Py_END_ALLOW_THREADS;
}

Ref Staging::path() const { return decode_path(path_); }

std::vector<std::string> Staging::verify(const std::string& model_name) {
  std::vector<std::string> strays;
  bool has_model = false;
  std::string escaping;
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
    if (has_model) escaping = escaping_link(lock_fd_.get(), model_name);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;  // thrown again below, with the GIL held
  }
  Py_END_ALLOW_THREADS;
  if (out_of_memory) throw std::bad_alloc();
  if (!has_model) {
    raise(PyExc_Exception, textf("the archive holds no directory %R", decode_path(model_name).get()).get());
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
  std::string failed;  // the path an error is about; empty: success
  int err = 0;
  bool out_of_memory = false;  // building an error's path failed
  Py_BEGIN_ALLOW_THREADS;
  try {
    [&] {
      auto fail = [&](const std::string& path) {
        err = errno;
        failed = path;
      };
      tree::Fd base_fd{::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
      if (!base_fd) return fail(base_);
      // everything extracted reaches the disk before the model directory appears
      if (syncfs(lock_fd_.get()) != 0) return fail(path_);
      if (tree::rename_noreplace(lock_fd_.get(), model_name.c_str(), base_fd.get(), model_name.c_str()) != 0) {
        // a model directory that appeared meanwhile is complete: keep it
        if ((errno != EEXIST && errno != ENOTEMPTY) || !tree::is_dir_at(base_fd.get(), model_name.c_str())) {
          return fail(base_ + "/" + model_name);
        }
      }
      fsync(base_fd.get());
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
