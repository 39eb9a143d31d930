// Scratch names and the sweep of stale entries: plain POSIX work.
#include "scratch_names.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "scratch.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::scratch {
namespace {

constexpr char kPrefix[] = ".zelk-tmp-";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
constexpr std::size_t kRandomDigits = 16;
constexpr std::size_t kCheckDigits = 8;
constexpr char kNew[] = ".new";
// an entry still under its birth name is stale after this long
constexpr time_t kNewEntryStaleSeconds = 3600;

enum class Kind { none, part, staging, born, resume, resinfo, lock, index };

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
  } else if (std::strcmp(kind, kIndex) == 0) {
    k = Kind::index;
  } else {
    return Kind::none;
  }
  char expected[kCheckDigits + 1];
  std::snprintf(expected, sizeof expected, "%08x", static_cast<unsigned>(check_value(digits, kind)));
  return std::memcmp(expected, check, kCheckDigits) == 0 ? k : Kind::none;
}

std::string name_in(const std::string& dir, const char* digits, const char* kind) {
  char check[kCheckDigits + 1];
  std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(check_value(digits, kind)));
  const std::string name = std::string(kPrefix) + digits + "-" + check + kind;
  if (dir.empty()) return name;  // a name relative to a directory descriptor
  return (dir == "/" ? std::string() : dir) + "/" + name;
}

Names make_random_names(const std::string& dir, const char* kind) {
  unsigned char bytes[kRandomDigits / 2];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    // the system call itself: glibc wraps it only from 2.25 on, and the
    // release wheels are built against glibc 2.17
    auto r = static_cast<ssize_t>(syscall(SYS_getrandom, bytes + got, sizeof bytes - got, 0));
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
  // only an entry of this user's (a regular file with no other name): the
  // sweep runs without any lock of the directory, on names anyone who can
  // write there may have planted, and it neither locks nor removes those
  bool remove = fstat(fd.get(), &st) == 0 && st.st_uid == geteuid() && (!S_ISREG(st.st_mode) || owned_alone(st)) &&
                flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
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

}  // namespace

Names random_names(const std::string& dir, const char* kind) { return make_random_names(dir, kind); }

bool owned_alone(const struct stat& st) noexcept {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

bool lock_new(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

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
  tree::Fd dirfd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dirfd) sweep_at(dirfd.get());
}

void sweep_at(int dirfd) {
  Py_BEGIN_ALLOW_THREADS;
  const time_t now = time(nullptr);
  tree::for_each_entry(dirfd, [&](const char* name) {
    const Kind kind = kind_of(name);
    if (kind != Kind::none && kind != Kind::index) remove_if_stale(dirfd, name, kind, now);
    return true;
  });
  Py_END_ALLOW_THREADS;
}

}  // namespace zelk::fetch::scratch
