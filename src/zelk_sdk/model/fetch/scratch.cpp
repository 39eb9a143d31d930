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

#include "tree_check.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::scratch {
namespace {

constexpr char kPrefix[] = ".zelk-tmp-";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
constexpr std::size_t kRandomDigits = 16;
constexpr std::size_t kCheckDigits = 8;
constexpr char kPart[] = ".part";
constexpr char kStaging[] = ".staging";
constexpr char kNew[] = ".new";
// an entry still under its birth name is stale after this long
constexpr time_t kNewEntryStaleSeconds = 3600;

enum class Kind { none, part, staging, born, resume, resinfo, lock };

// FNV-1a over the random digits and the kind: a name that merely looks like
// ours (a user's ".zelk-tmp-notes.txt", a model called ".zelk-tmp-model") has
// no valid check value.
std::uint32_t check_value(const char* digits, const char* kind) {
  std::uint32_t h = 2166136261u;
  auto mix = [&h](const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(s[i]);
      h *= 16777619u;
    }
  };
  mix("zelk scratch ", 13);
  mix(digits, kRandomDigits);
  mix(kind, std::strlen(kind));
  return h;
}

bool is_hex(const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  }
  return true;
}

Kind kind_of(const char* name) {
  const std::size_t len = std::strlen(name);
  const std::size_t stem = kPrefixLen + kRandomDigits + 1 + kCheckDigits;
  if (len <= stem || std::strncmp(name, kPrefix, kPrefixLen) != 0) return Kind::none;
  const char* digits = name + kPrefixLen;
  const char* check = digits + kRandomDigits + 1;
  const char* kind = name + stem;
  if (!is_hex(digits, kRandomDigits) || digits[kRandomDigits] != '-' || !is_hex(check, kCheckDigits)) {
    return Kind::none;
  }
  Kind k;
  if (std::strcmp(kind, kPart) == 0) {
    k = Kind::part;
  } else if (std::strcmp(kind, kStaging) == 0) {
    k = Kind::staging;
  } else if (std::strcmp(kind, kNew) == 0) {
    k = Kind::born;
  } else if (std::strcmp(kind, kResume) == 0) {
    k = Kind::resume;
  } else if (std::strcmp(kind, kResumeInfo) == 0) {
    k = Kind::resinfo;
  } else if (std::strcmp(kind, kLock) == 0) {
    k = Kind::lock;
  } else {
    return Kind::none;
  }
  char expected[kCheckDigits + 1];
  std::snprintf(expected, sizeof expected, "%08x", static_cast<unsigned>(check_value(digits, kind)));
  return std::memcmp(expected, check, kCheckDigits) == 0 ? k : Kind::none;
}

[[noreturn]] void raise_errno(PyObject* filename) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  throw_error();
}

[[noreturn]] void raise_errno_path(const std::string& path) {
  Ref name;
  {
    tree::SavedErrno keep;
    name = decode_path(path);
  }
  raise_errno(name);
}

std::string name_in(const std::string& dir, const char* digits, const char* kind) {
  char check[kCheckDigits + 1];
  std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(check_value(digits, kind)));
  return (dir == "/" ? std::string() : dir) + "/" + kPrefix + digits + "-" + check + kind;
}

// A new scratch name: the birth name (".new") and the name of its kind.
struct Names {
  std::string born;
  std::string final;
};

Names random_names(const std::string& dir, const char* kind) {
  unsigned char bytes[kRandomDigits / 2];
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
  char digits[kRandomDigits + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(digits + 2 * i, 3, "%02x", bytes[i]);
  return {name_in(dir, digits, kNew), name_in(dir, digits, kind)};
}

// Removes the entry `name` of `dirfd` when it is a stale scratch entry: of its
// kind's type and unlocked (its writer is gone; for a lock file, its holder),
// a birth entry older than an hour, or the kept bytes of a broken transfer
// (and their description) older than kResumeMaxAge. The entry is locked
// while it is removed, and removed only if the name still refers to what was
// locked.
void remove_if_stale(int dirfd, const char* name, Kind kind, time_t now) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (kind == Kind::staging ? O_DIRECTORY : 0);
  tree::Fd fd{openat(dirfd, name, flags)};
  if (!fd) return;
  struct stat st;
  struct stat now_st;
  bool remove = fstat(fd.get(), &st) == 0 && flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  auto older_than = [&](time_t seconds) { return now - st.st_mtime > seconds && now - st.st_ctime > seconds; };
  if (remove) {
    switch (kind) {
      case Kind::part:
      case Kind::lock:
        remove = S_ISREG(st.st_mode);
        break;
      case Kind::staging:
        remove = S_ISDIR(st.st_mode);
        break;
      case Kind::resume:
      case Kind::resinfo:
        remove = S_ISREG(st.st_mode) && older_than(kResumeMaxAge);
        break;
      default:
        remove = (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) && older_than(kNewEntryStaleSeconds);
    }
  }
  remove = remove && fstatat(dirfd, name, &now_st, AT_SYMLINK_NOFOLLOW) == 0 && now_st.st_dev == st.st_dev &&
           now_st.st_ino == st.st_ino;
  if (remove && S_ISDIR(st.st_mode)) {
    tree::remove_children(fd.get());
    unlinkat(dirfd, name, AT_REMOVEDIR);
  } else if (remove) {
    unlinkat(dirfd, name, 0);
  }
}

// Takes the exclusive lock of a new entry. Nobody else has a reason to lock
// it (a sweeper does not touch entries under their birth name), so it is
// taken without waiting: a lock held there is another program's, and the
// entry is given up rather than waited for.
bool lock_new(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

}  // namespace

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

bool is_scratch_name(const char* name) { return kind_of(name) != Kind::none; }

std::string keyed_path(const std::string& dir, const std::string& key, const char* kind) {
  // FNV-1a, 64 bits, over the kind and the key: the same entry for the same
  // destination every time
  std::uint64_t h = 14695981039346656037ull;
  for (const std::string& part : {std::string(kind), std::string(1, '\0'), key}) {
    for (unsigned char ch : part) {
      h ^= ch;
      h *= 1099511628211ull;
    }
  }
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(h));
  return name_in(dir, digits, kind);
}

std::string birth_path(const std::string& dir) { return random_names(dir, kNew).born; }

void sweep(const std::string& dir) {
  Py_BEGIN_ALLOW_THREADS;
  if (tree::Fd dirfd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)}) {
    const time_t now = time(nullptr);
    tree::for_each_entry(dirfd.get(), [&](const char* name) {
      const Kind kind = kind_of(name);
      if (kind != Kind::none) remove_if_stale(dirfd.get(), name, kind, now);
      return true;
    });
  }
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
