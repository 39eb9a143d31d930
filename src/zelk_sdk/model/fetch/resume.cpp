#include "resume.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "scratch.hpp"

namespace zelk::fetch::resume {
namespace {

constexpr char kInfoMagic[] = "zelk-resume 1";

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "zelk-resume 1\n<validator>\n<total>\n"; false for anything else, and
// for anything but a regular file (never a FIFO to wait on, never a link).
bool read_info(const std::string& path, Info& info) {
  tree::Fd fd{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::FILE* f = fdopen(fd.get(), "r");
  if (f == nullptr) return false;
  fd.release();
  char line[1024];
  bool ok = false;
  if (std::fgets(line, sizeof line, f) != nullptr && std::string(line) == std::string(kInfoMagic) + "\n" &&
      std::fgets(line, sizeof line, f) != nullptr) {
    std::string v(line);
    if (!v.empty() && v.back() == '\n') {
      v.pop_back();
      long long total = -1;
      if (!v.empty() && std::fscanf(f, "%lld", &total) == 1 && total >= 0) {
        info.validator = v;
        info.total = total;
        ok = true;
      }
    }
  }
  std::fclose(f);
  return ok;
}

}  // namespace

Partial::Partial(const std::string& final_path) : final_(final_path) {
  dir_ = scratch::parent_dir(final_path);
  const std::string key = base_name(final_path);
  data_ = scratch::keyed_path(dir_, key, scratch::kResume);
  info_path_ = scratch::keyed_path(dir_, key, scratch::kResumeInfo);
  // something else than our regular files under these names (a directory,
  // a link, a FIFO): nothing is resumed or kept here, the transfer goes on
  struct stat named;
  if (::lstat(info_path_.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
    available_ = false;
    return;
  }
  tree::Fd fd{::open(data_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (!fd) {
    if (errno != ENOENT) available_ = false;
    return;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    available_ = false;  // another writer's
    return;
  }
  struct stat st;
  struct stat info_st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    available_ = false;
    return;
  }
  const bool fresh = ::lstat(info_path_.c_str(), &info_st) == 0 && S_ISREG(info_st.st_mode) &&
                     time(nullptr) - info_st.st_mtime <= scratch::kResumeMaxAge;
  fd_ = std::move(fd);
  if (!fresh || !read_info(info_path_, info_) ||
      (info_.total > 0 && static_cast<long long>(st.st_size) > info_.total)) {
    info_ = Info();
    discard();
    return;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void Partial::discard() noexcept {
  if (fd_) {
    ::unlink(data_.c_str());
    fd_.reset();
  }
  ::unlink(info_path_.c_str());
  size_ = 0;
  info_ = Info();
}

Ref Partial::file_object(PyObject* open) {
  return call(open, integer(fd_.get()), text("ab"), Kw{text("closefd"), Py_False});
}

Ref Partial::start(PyObject* open, const Info& info) {
  // the description first: bytes without one are never resumed
  const std::string born = scratch::birth_path(dir_);
  {
    std::FILE* f = std::fopen(born.c_str(), "wxe");
    if (f == nullptr) scratch::raise_errno_path(born);
    const bool written = std::fprintf(f, "%s\n%s\n%lld\n", kInfoMagic, info.validator.c_str(), info.total) > 0;
    if (std::fclose(f) != 0 || !written || ::rename(born.c_str(), info_path_.c_str()) != 0) {
      tree::SavedErrno keep;
      ::unlink(born.c_str());
      scratch::raise_errno_path(info_path_);
    }
  }
  if (fd_) {
    if (ftruncate(fd_.get(), 0) != 0) scratch::raise_errno_path(data_);
  } else {
    const std::string born_data = scratch::birth_path(dir_);
    tree::Fd fd{::open(born_data.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
    if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      tree::SavedErrno keep;
      ::unlink(born_data.c_str());
      scratch::raise_errno_path(data_);
    }
    // never over another writer's kept bytes
    if (tree::rename_noreplace(AT_FDCWD, born_data.c_str(), AT_FDCWD, data_.c_str()) != 0) {
      const int err = errno;
      ::unlink(born_data.c_str());
      if (err == EEXIST) return Ref();
      errno = err;
      scratch::raise_errno_path(data_);
    }
    fd_ = std::move(fd);
  }
  info_ = info;
  size_ = 0;
  return file_object(open);
}

Ref Partial::append(PyObject* open) { return file_object(open); }

void Partial::commit(PyObject* final_path_obj) {
  if (::rename(data_.c_str(), final_.c_str()) != 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path_obj);
    throw_error();
  }
  ::unlink(info_path_.c_str());
  fd_.reset();
}

bool same_validator(Ctx& c, PyObject* headers, const std::string& validator) {
  const bool etag = !validator.empty() && validator[0] == '"';
  Ref value = call_method(headers, c.interned(n::get), text(etag ? "ETag" : "Last-Modified"));
  if (!PyUnicode_Check(value.get())) return false;
  const char* utf8 = PyUnicode_AsUTF8(value);
  if (utf8 == nullptr) throw_error();
  return validator == utf8;
}

std::string validator_of(Ctx& c, PyObject* headers) {
  for (const char* name : {"ETag", "Last-Modified"}) {
    Ref value = call_method(headers, c.interned(n::get), text(name));
    if (!PyUnicode_Check(value.get())) continue;
    const char* utf8 = PyUnicode_AsUTF8(value);
    if (utf8 == nullptr) throw_error();
    std::string v(utf8);
    // a weak ETag cannot ask for a range (If-Range needs a strong validator)
    if (v.empty() || v.find('\n') != std::string::npos || (name[0] == 'E' && v.rfind("W/", 0) == 0)) continue;
    return v;
  }
  return std::string();
}

}  // namespace zelk::fetch::resume
