#include "index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "deadline.hpp"
#include "scratch.hpp"
#include "scratch_names.hpp"

namespace zelk::fetch::index {
namespace {

// No model name holds a slash: the index's own lock and file never share a
// name with a model's.
constexpr char kKey[] = "/index";
// what a store of models needs at the most; a larger file is no index of ours
constexpr off_t kMaxBytes = 256 * 1024;
constexpr Py_ssize_t kMaxEntries = 1000;
// a writer holds the lock for a read and a write of a small file
constexpr double kLockWaitSeconds = 2.0;

std::string file_name() { return scratch::keyed_path("", kKey, scratch::kIndex); }

Ref json_module() { return Ref::steal(PyImport_ImportModule("json")); }

// The entries of the index as a dict of str to str: empty where there is no
// index; an empty Ref where its name holds something not ours.
Ref read_entries(int dir_fd) {
  Ref entries = Ref::steal(PyDict_New());
  tree::Fd fd{openat(dir_fd, file_name().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (!fd) return errno == ENOENT ? entries : Ref();
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !scratch::owned_alone(st)) return Ref();
  if (st.st_size > kMaxBytes) return entries;
  std::string data(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t r = read(fd.get(), data.data() + got, data.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  data.resize(got);
  Ref parsed;
  try {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    parsed = call(getattr(json_module(), text("loads")), bytes);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    return entries;  // a damaged index is written anew
  }
  if (!PyDict_CheckExact(parsed.get())) return entries;
  PyObject* k;
  PyObject* v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(parsed, &pos, &k, &v)) {
    if (PyUnicode_CheckExact(k) && PyUnicode_CheckExact(v)) check(PyDict_SetItem(entries, k, v));
  }
  return entries;
}

// A name that download_url could have installed: one path component, no
// scratch name.
bool is_model_name(PyObject* name) {
  if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0) return false;
  if (PyUnicode_CompareWithASCIIString(name, ".") == 0 || PyUnicode_CompareWithASCIIString(name, "..") == 0) {
    return false;
  }
  if (PyUnicode_FindChar(name, '/', 0, PY_SSIZE_T_MAX, 1) != -1) return false;
  const std::string encoded = scratch::encode_path(name);
  return !scratch::is_scratch_name(encoded.c_str());
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes `entries` as the index: a new file, synced, renamed onto the name.
void write_entries(const scratch::BaseDir& base, PyObject* entries) {
  Ref json = call(getattr(json_module(), text("dumps")), entries);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(json, &size);
  if (utf8 == nullptr) throw_error();
  const std::string born = scratch::birth_path("");
  const std::string name = file_name();
  tree::Fd fd{openat(base.fd(), born.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
  if (!fd) return;
  const bool ok = write_all(fd.get(), utf8, static_cast<std::size_t>(size)) && write_all(fd.get(), "\n", 1) &&
                  fsync(fd.get()) == 0 && renameat(base.fd(), born.c_str(), base.fd(), name.c_str()) == 0;
  if (!ok) unlinkat(base.fd(), born.c_str(), 0);
}

}  // namespace

void remember(Ctx& c, const scratch::BaseDir& base, PyObject* key, PyObject* model_name) {
  if (!PyUnicode_CheckExact(key) || !is_model_name(model_name)) return;
  try {
    Deadline wait(Deadline::Clock::now(), kLockWaitSeconds);
    scratch::ModelLock lock(c, base, kKey, wait, false);
    if (!lock.foreign().empty()) return;
    Ref entries = read_entries(base.fd());
    if (!entries) return;  // the name holds something else: left alone
    PyObject* known = PyDict_GetItemWithError(entries, key);
    if (known == nullptr && PyErr_Occurred()) throw_error();
    if (known != nullptr && PyUnicode_Compare(known, model_name) == 0) return;
    // the key moves to the end; the oldest keys go first when there are many
    if (known != nullptr) check(PyDict_DelItem(entries, key));
    while (PyDict_GET_SIZE(entries.get()) >= kMaxEntries) {
      Py_ssize_t pos = 0;
      PyObject* oldest;
      PyObject* value;
      PyDict_Next(entries, &pos, &oldest, &value);
      check(PyDict_DelItem(entries, Ref::borrow(oldest)));
    }
    check(PyDict_SetItem(entries, key, model_name));
    write_entries(base, entries);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
  }
}

Ref recall(Ctx& c, const scratch::BaseDir& base, PyObject* key) {
  (void)c;
  Ref entries = read_entries(base.fd());
  if (!entries) return Ref();
  PyObject* name = PyDict_GetItemWithError(entries, key);
  if (name == nullptr) {
    if (PyErr_Occurred()) throw_error();
    return Ref();
  }
  if (!is_model_name(name)) return Ref();
  const std::string encoded = scratch::encode_path(name);
  if (!tree::is_dir_at(base.fd(), encoded.c_str())) return Ref();
  return Ref::borrow(name);
}

}  // namespace zelk::fetch::index
