#include "resume.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "scratch.hpp"
#include "scratch_names.hpp"

namespace zelk::fetch::resume {
namespace {

constexpr char kInfoMagic[] = "zelk-resume 1";
// the longest validator kept: the description is read line by line into a
// buffer of this size and a bit
constexpr std::size_t kMaxValidator = 1000;

// --------------------------------------------------------------- HTTP dates

constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::string_view kLongDays[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

// The number `n` digits at `at` make; -1 when they are not all digits.
int digits(std::string_view s, std::size_t at, std::size_t n) {
  if (at + n > s.size()) return -1;
  int v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

template <std::size_t N>
int index_of(const std::string_view (&names)[N], std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

// Seconds since the epoch of a UTC date and "HH:MM:SS" at `at` of `s`; false
// for a date or a time that does not exist.
bool seconds_of(long long year, int month, int day, std::string_view s, std::size_t at, long long& out) {
  const int h = digits(s, at, 2), m = digits(s, at + 3, 2), sec = digits(s, at + 6, 2);
  if (month < 1 || h < 0 || m < 0 || sec < 0 || s[at + 2] != ':' || s[at + 5] != ':' || h > 23 || m > 59 || sec > 60) {
    return false;
  }
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > kMonthDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  // days from the civil date (proleptic Gregorian calendar)
  const long long y = year - (month <= 2);
  const long long era = y / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  out = days * 86400 + h * 3600 + m * 60 + sec;
  return true;
}

// An HTTP date, in any of its three forms, as seconds since the epoch:
//   IMF-fixdate  "Sun, 06 Nov 1994 08:49:37 GMT"
//   RFC 850      "Sunday, 06-Nov-94 08:49:37 GMT"
//   asctime      "Sun Nov  6 08:49:37 1994"
// Exactly these: false for anything else.
bool http_date(std::string_view s, long long& out) {
  if (s.size() == 29 && index_of(kDays, s.substr(0, 3)) >= 0 && s.substr(3, 2) == ", " && s[7] == ' ' && s[11] == ' ' &&
      s[16] == ' ' && s.substr(25) == " GMT") {
    const int year = digits(s, 12, 4);
    return year >= 0 && seconds_of(year, index_of(kMonths, s.substr(8, 3)) + 1, digits(s, 5, 2), s, 17, out);
  }
  const std::size_t comma = s.find(',');
  if (comma != std::string_view::npos && index_of(kLongDays, s.substr(0, comma)) >= 0) {
    std::string_view rest = s.substr(comma);  // ", 06-Nov-94 08:49:37 GMT"
    const int yy = digits(rest, 9, 2);
    if (rest.size() != 24 || rest.substr(0, 2) != ", " || rest[4] != '-' || rest[8] != '-' || rest[11] != ' ' ||
        rest.substr(20) != " GMT" || yy < 0) {
      return false;
    }
    // a two-digit year more than 50 years ahead is of the century before
    const time_t now = time(nullptr);
    struct tm today;
    gmtime_r(&now, &today);
    const long long this_year = today.tm_year + 1900LL;
    long long year = this_year - this_year % 100 + yy;
    if (year > this_year + 50) year -= 100;
    return seconds_of(year, index_of(kMonths, rest.substr(5, 3)) + 1, digits(rest, 2, 2), rest, 12, out);
  }
  if (s.size() == 24 && index_of(kDays, s.substr(0, 3)) >= 0 && s[3] == ' ' && s[7] == ' ' && s[10] == ' ' &&
      s[19] == ' ') {
    const int day = s[8] == ' ' ? digits(s, 9, 1) : digits(s, 8, 2);
    const int year = digits(s, 20, 4);
    return year >= 0 && seconds_of(year, index_of(kMonths, s.substr(4, 3)) + 1, day, s, 11, out);
  }
  return false;
}

// A strong entity tag: '"', visible ASCII but '"', '"'.
bool strong_etag(std::string_view v) {
  if (v.size() < 2 || v.size() > kMaxValidator || v.front() != '"' || v.back() != '"') return false;
  for (char ch : v.substr(1, v.size() - 2)) {
    if (ch < 0x21 || ch > 0x7e || ch == '"') return false;
  }
  return true;
}

// What a request may carry as If-Range: a strong ETag or an HTTP date.
bool well_formed(std::string_view v) {
  long long ignored;
  return strong_etag(v) || http_date(v, ignored);
}

// The value of the header `name` (empty when it is absent or not a str),
// every character of it: one with a NUL is not cut short to look valid.
std::string header(Ctx& c, PyObject* headers, const char* name) {
  Ref value = call_method(headers, c.interned(n::get), text(name));
  if (!PyUnicode_Check(value.get())) return std::string();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) throw_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

// ------------------------------------------------------------ the kept files

// Removes `name` when it is a file of ours alone (whatever else is there
// stays: removing a name never writes into a file, but a planted name is not
// ours to remove either).
void unlink_ours(int dirfd, const std::string& name) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && scratch::owned_alone(st)) {
    unlinkat(dirfd, name.c_str(), 0);
  }
}

// Opens `name` (never following a link, never waiting on a FIFO); `st` is
// what it opened. Empty with errno set when it cannot be opened.
tree::Fd open_kept(int dirfd, const std::string& name, int flags, struct stat& st) {
  tree::Fd fd{openat(dirfd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (fd && fstat(fd.get(), &st) != 0) fd.reset();
  return fd;
}

// "zelk-resume 1\n<validator>\n<total>\n", with a well-formed validator;
// false for anything else.
bool read_info(tree::Fd fd, Info& info) {
  std::FILE* f = fdopen(fd.get(), "r");
  if (f == nullptr) return false;
  fd.release();
  char line[kMaxValidator + 2];
  bool ok = false;
  if (std::fgets(line, sizeof line, f) != nullptr && std::string(line) == std::string(kInfoMagic) + "\n" &&
      std::fgets(line, sizeof line, f) != nullptr) {
    std::string v(line);
    if (!v.empty() && v.back() == '\n') {
      v.pop_back();
      long long total = -1;
      if (well_formed(v) && std::fscanf(f, "%lld", &total) == 1 && total >= 0) {
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

Partial::Partial(const scratch::Place& place) : place_(place) {
  data_ = scratch::keyed_path("", place.name, scratch::kResume);
  info_name_ = scratch::keyed_path("", place.name, scratch::kResumeInfo);
  if (place.dir_fd < 0) {
    available_ = false;
    return;
  }
  const int dirfd = place.dir_fd;
  // Anything but files of ours alone under these names (a directory, a link,
  // a FIFO, a second name of some other file, another user's file) is left
  // as it is: nothing is resumed or kept here, the transfer goes on.
  struct stat info_st;
  tree::Fd info_fd = open_kept(dirfd, info_name_, O_RDONLY, info_st);
  if (info_fd ? !scratch::owned_alone(info_st) : errno != ENOENT) {
    available_ = false;
    return;
  }
  struct stat st;
  tree::Fd fd = open_kept(dirfd, data_, O_RDWR, st);
  if (!fd) {
    if (errno != ENOENT) available_ = false;
    return;
  }
  // ours before it is locked (another's file is not even locked), and still
  // ours once locked; a lock held is another writer's
  if (!scratch::owned_alone(st) || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &st) != 0 ||
      !scratch::owned_alone(st)) {
    available_ = false;
    return;
  }
  fd_ = std::move(fd);
  const bool fresh = info_fd && time(nullptr) - info_st.st_mtime <= scratch::kResumeMaxAge;
  if (!fresh || !read_info(std::move(info_fd), info_) ||
      (info_.total > 0 && static_cast<long long>(st.st_size) > info_.total)) {
    // stale, unreadable, or with a validator no request could carry
    info_ = Info();
    discard();
    return;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void Partial::discard() noexcept {
  if (place_.dir_fd < 0) return;
  if (fd_) {
    if (tree::names_open(place_.dir_fd, data_.c_str(), fd_.get())) unlinkat(place_.dir_fd, data_.c_str(), 0);
    fd_.reset();
  }
  unlink_ours(place_.dir_fd, info_name_);
  size_ = 0;
  info_ = Info();
}

Ref Partial::file_object(PyObject* open) {
  return call(open, integer(fd_.get()), text("ab"), Kw{text("closefd"), Py_False});
}

Ref Partial::start(PyObject* open, const Info& info) {
  const int dirfd = place_.dir_fd;
  // The bytes' file first, empty and locked (never another writer's), then
  // their description, then the bytes: a writer that finds the file locked
  // keeps nothing here, so only the holder of the bytes describes them, and
  // bytes without a description are never resumed.
  if (fd_) {
    if (ftruncate(fd_.get(), 0) != 0) scratch::raise_errno_path(place_.path_of(data_));
  } else {
    const std::string born_data = scratch::birth_path("");
    tree::Fd fd{openat(dirfd, born_data.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
    if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      tree::SavedErrno keep;
      unlinkat(dirfd, born_data.c_str(), 0);
      scratch::raise_errno_path(place_.path_of(data_));
    }
    // never over another writer's kept bytes, nor over anything else there
    if (tree::rename_noreplace(dirfd, born_data.c_str(), dirfd, data_.c_str()) != 0) {
      const int err = errno;
      unlinkat(dirfd, born_data.c_str(), 0);
      if (err == EEXIST) return Ref();
      errno = err;
      scratch::raise_errno_path(place_.path_of(data_));
    }
    fd_ = std::move(fd);
  }
  size_ = 0;
  info_ = Info();
  struct stat there;
  if (fstatat(dirfd, info_name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && !scratch::owned_alone(there)) {
    discard();  // something not ours took the description's name: keep nothing
    return Ref();
  }
  const std::string born = scratch::birth_path("");
  tree::Fd info_fd{openat(dirfd, born.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
  std::FILE* f = info_fd ? fdopen(info_fd.get(), "w") : nullptr;
  if (f == nullptr) scratch::raise_errno_path(place_.path_of(born));
  info_fd.release();
  const bool written = std::fprintf(f, "%s\n%s\n%lld\n", kInfoMagic, info.validator.c_str(), info.total) > 0;
  if (std::fclose(f) != 0 || !written || renameat(dirfd, born.c_str(), dirfd, info_name_.c_str()) != 0) {
    tree::SavedErrno keep;
    unlinkat(dirfd, born.c_str(), 0);
    scratch::raise_errno_path(place_.path_of(info_name_));
  }
  info_ = info;
  return file_object(open);
}

Ref Partial::append(PyObject* open) { return file_object(open); }

void Partial::commit(PyObject* final_path_obj) {
  const int dirfd = place_.dir_fd;
  // only the file this call wrote (and has locked) becomes the archive: a
  // name that now refers to something else is never published
  if (!tree::names_open(dirfd, data_.c_str(), fd_.get())) {
    raise(PyExc_OSError,
          textf("the kept download %s was replaced while it was written", place_.path_of(data_).c_str()));
  }
  if (renameat(dirfd, data_.c_str(), dirfd, place_.name.c_str()) != 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path_obj);
    throw_error();
  }
  unlink_ours(dirfd, info_name_);
  fd_.reset();
}

bool same_validator(Ctx& c, PyObject* headers, const std::string& validator) {
  const bool etag = !validator.empty() && validator[0] == '"';
  return validator == header(c, headers, etag ? "ETag" : "Last-Modified");
}

std::string validator_of(Ctx& c, PyObject* headers) {
  // a weak ETag ("W/...") cannot ask for a range: If-Range needs a strong
  // validator; nor can a malformed one, which no request may carry
  std::string etag = header(c, headers, "ETag");
  if (strong_etag(etag)) return etag;
  std::string modified = header(c, headers, "Last-Modified");
  long long modified_at = 0;
  long long date_at = 0;
  if (http_date(modified, modified_at) && http_date(header(c, headers, "Date"), date_at) &&
      modified_at <= date_at - 1) {
    return modified;
  }
  return std::string();
}

}  // namespace zelk::fetch::resume
