#include "tree_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scratch.hpp"
#include "tar_header.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::writer {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// How many directories of the current member's path are held open; below
// that depth only the deepest one is, and the way down is opened anew.
constexpr std::size_t kHeldLevels = 16;
constexpr long long kCopyChunk = 1 << 20;

enum class Walk { ok, through_link, escapes, failed };

// The directories from the destination down to where the last member was
// written, as open descriptors: consecutive members mostly share them, so a
// member costs what its own new parts cost, not its whole depth.
//
// Below kHeldLevels only the deepest directory stays open. Climbing back up
// past such a level (a ".." of a name, or the next member's path that parts
// from this one) opens ".." of the directory left and takes it only when it
// is the very directory recorded on the way down (device and inode); so each
// level walked costs a bounded number of calls once down and once up, and a
// path of n parts costs O(n), whatever its "..". A directory moved meanwhile
// is opened anew by name from the nearest directory still held.
class Dirs {
 public:
  explicit Dirs(int root) noexcept : root_(root) {}

  // Walks `parts` from the destination, each part opened without following
  // a link; missing directories are made when `create` (as tarfile makes a
  // member's parents), and counted in made(). errno is set for
  // Walk::failed.
  Walk walk(const std::vector<std::string>& parts, bool create) {
    std::size_t keep = 0;
    while (keep < parts.size() && keep < levels_.size() && parts[keep] != ".." && levels_[keep].name == parts[keep]) {
      ++keep;
    }
    while (levels_.size() > keep) pop();
    for (std::size_t i = keep; i < parts.size(); ++i) {
      const std::string& part = parts[i];
      if (part == "..") {
        if (levels_.empty()) return Walk::escapes;
        pop();
        continue;
      }
      const int parent = top();
      if (parent < 0) return Walk::failed;
      tree::StepCount::step();
      tree::Fd fd{openat(parent, part.c_str(), kDirFlags)};
      if (!fd && errno == ENOENT && create) {
        if (mkdirat(parent, part.c_str(), 0777) == 0) {
          ++made_;
        } else if (errno != EEXIST) {
          return Walk::failed;
        }
        fd.reset(openat(parent, part.c_str(), kDirFlags));
      }
      if (!fd) {
        if (errno != ELOOP && errno != ENOTDIR) return Walk::failed;
        struct stat st;
        tree::SavedErrno keep_errno;
        if (fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
          return Walk::through_link;
        }
        return Walk::failed;
      }
      // below kHeldLevels only the deepest directory stays open; what it
      // is is recorded for the way back up
      if (levels_.size() > kHeldLevels) release_back();
      levels_.push_back(Level{part, std::move(fd), 0, 0, false});
    }
    return top() < 0 ? Walk::failed : Walk::ok;
  }

  // The deepest directory walked; -1 with errno when it cannot be opened
  // again (something moved it meanwhile).
  int top() {
    if (levels_.empty()) return root_;
    if (levels_.back().fd) return levels_.back().fd.get();
    std::size_t from = levels_.size() - 1;
    while (from > 0 && !levels_[from - 1].fd) --from;
    tree::Fd cur;
    for (std::size_t i = from; i < levels_.size(); ++i) {
      const int parent = cur ? cur.get() : (i == 0 ? root_ : levels_[i - 1].fd.get());
      tree::StepCount::step();
      tree::Fd next{openat(parent, levels_[i].name.c_str(), kDirFlags)};
      if (!next) return -1;
      cur = std::move(next);
    }
    levels_.back().fd = std::move(cur);
    return levels_.back().fd.get();
  }

  std::size_t depth() const noexcept { return levels_.size(); }
  // How many directories the walks have made so far.
  std::size_t made() const noexcept { return made_; }

 private:
  struct Level {
    std::string name;
    tree::Fd fd;
    dev_t dev;
    ino_t ino;
    bool known;  // dev and ino recorded
  };

  // Closes the deepest directory's descriptor, recording what it is.
  void release_back() {
    Level& back = levels_.back();
    struct stat st;
    if (back.fd && fstat(back.fd.get(), &st) == 0) {
      back.dev = st.st_dev;
      back.ino = st.st_ino;
      back.known = true;
    }
    back.fd.reset();
  }

  // Leaves the deepest directory. Its parent, when closed, is taken from
  // its ".." if that is the directory recorded there; else top() opens it
  // anew by name when it is next needed.
  void pop() {
    tree::Fd child = std::move(levels_.back().fd);
    levels_.pop_back();
    if (levels_.empty() || levels_.back().fd || !child || !levels_.back().known) return;
    tree::StepCount::step();
    tree::Fd up{openat(child.get(), "..", kDirFlags)};
    struct stat st;
    if (up && fstat(up.get(), &st) == 0 && st.st_dev == levels_.back().dev && st.st_ino == levels_.back().ino) {
      levels_.back().fd = std::move(up);
    }
  }

  int root_;
  std::vector<Level> levels_;
  std::size_t made_ = 0;
};

// What the "data" filter decides about a member, minus its look at the disk
// (the walk below refuses any link on the way, and _check and the tree check
// judge link targets): the kind, the mode to set (none for directories and
// symbolic links), special files and absolute link targets refused with
// tarfile's own FilterError classes.
struct Decision {
  enum Kind { regular, directory, symlink, hard_link, other } kind;
  bool has_mode;
  mode_t mode;
};

Decision decide(Ctx& c, PyObject* member) {
  Decision d{Decision::other, false, 0};
  if (truthy(call_method(member, c.interned(n::isreg)))) {
    d.kind = Decision::regular;
  } else if (truthy(call_method(member, c.interned(n::islnk)))) {
    d.kind = Decision::hard_link;
  } else if (truthy(call_method(member, c.interned(n::isdir)))) {
    d.kind = Decision::directory;
  } else if (truthy(call_method(member, c.interned(n::issym)))) {
    d.kind = Decision::symlink;
  }
  Ref mode = getattr(member, c.interned(n::mode));
  if (mode.get() != Py_None) {
    // no setuid, setgid or sticky bit, no write for group and others
    const long m = PyLong_AsLong(Ref::steal(PyNumber_And(mode, integer(0755))));
    if (m == -1 && PyErr_Occurred()) throw_error();
    switch (d.kind) {
      case Decision::regular:
      case Decision::hard_link:
        // executable only where the owner may execute; the owner reads and writes
        d.mode = static_cast<mode_t>((m & 0100) != 0 ? m : m & ~0111) | 0600;
        d.has_mode = true;
        break;
      case Decision::directory:
      case Decision::symlink:
        break;
      case Decision::other:
        raise_instance(call(c.pinned(pin_SpecialFileError), member));
    }
  }
  if (d.kind == Decision::symlink || d.kind == Decision::hard_link) {
    Ref linkname = getattr(member, c.interned(n::linkname));
    const bool absolute =
        PyUnicode_Check(linkname.get())
            ? PyUnicode_GET_LENGTH(linkname.get()) > 0 && PyUnicode_READ_CHAR(linkname.get(), 0) == '/'
            : PyBytes_Check(linkname.get()) && PyBytes_GET_SIZE(linkname.get()) > 0 &&
                  PyBytes_AS_STRING(linkname.get())[0] == '/';
    if (absolute) raise_instance(call(c.pinned(pin_AbsoluteLinkError), member));
  }
  return d;
}

class Extraction {
 public:
  Extraction(Ctx& c, PyObject* tar, PyObject* path, int root_fd)
      : c_(c), tar_(tar), dest_(scratch::encode_path(path)), dirs_(root_fd) {}

  std::size_t directories_made() const noexcept { return dirs_.made(); }

  void member(PyObject* member, const Decision& d) {
    name_ = getattr(member, c_.interned(n::name));
    const std::string name = scratch::encode_path(name_);
    std::vector<std::string> parts = tree::path_parts(name);
    if (parts.empty()) refuse_member(name_);
    // A name whose last part is "." or ".." ("a/.", "a/b/..") names a
    // directory that the walk reaches: only a directory member may stand
    // there. Anything else would be made at another place than the one its
    // name (and the checks of its link target) speak of.
    const std::size_t end = name.find_last_not_of('/');
    const std::size_t slash = name.rfind('/', end);
    const std::string last =
        name.substr(slash == std::string::npos ? 0 : slash + 1,
                    end == std::string::npos ? 0 : end - (slash == std::string::npos ? 0 : slash + 1) + 1);
    if (last == "." || last == "..") {
      walk_or_raise(parts, true);
      if (dirs_.depth() == 0) refuse_member(name_);
      if (d.kind == Decision::directory) return;
      errno = EISDIR;
      fail();
    }
    leaf_ = parts.back();
    parts.pop_back();
    walk_or_raise(parts, true);
    switch (d.kind) {
      case Decision::regular:
        return regular(member, d);
      case Decision::directory:
        return directory(member, d);
      case Decision::symlink:
        return symlink(member);
      case Decision::hard_link:
        return hard_link(member, d);
      case Decision::other:
        raise(c_.pinned(pin_ExtractError),
              textf("the member %R is of a type that is not extracted", name_.get()).get());
    }
  }

 private:
  void walk_or_raise(const std::vector<std::string>& parts, bool create) {
    switch (dirs_.walk(parts, create)) {
      case Walk::ok:
        return;
      case Walk::through_link:
      case Walk::escapes:
        refuse_member(name_);
      case Walk::failed:
        fail();
    }
  }

  [[noreturn]] void fail() {
    const int err = errno;
    std::string where = dest_ + "/" + scratch::encode_path(name_);
    errno = err;
    scratch::raise_errno_path(where);
  }

  int parent() {
    const int fd = dirs_.top();
    if (fd < 0) fail();
    return fd;
  }

  // What holds the member's name goes first, as tar replaces it, never
  // followed: a directory stays (and the member fails on it).
  void clear(int dir) {
    if (unlinkat(dir, leaf_.c_str(), 0) != 0 && errno != ENOENT) fail();
  }

  // The file is made with its mode (which the umask may narrow; it is set
  // exactly where it did); what held the name goes only when there was one.
  void regular(PyObject* member, const Decision& d) {
    const int dir = parent();
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const mode_t made = d.has_mode ? d.mode : 0666;
    tree::Fd fd{openat(dir, leaf_.c_str(), kCreate, made)};
    if (!fd && errno == EEXIST) {
      clear(dir);
      fd.reset(openat(dir, leaf_.c_str(), kCreate, made));
    }
    if (!fd) fail();
    charged_ = 0;
    copy(member, fd.get());
    struct stat st;
    if (fstat(fd.get(), &st) != 0) fail();
    charge_blocks(st);
    attributes(fd.get(), member, d, (st.st_mode & 07777) == made);
    written_.emplace(st.st_dev, st.st_ino);
  }

  // The member's data, read from the archive as tarfile reads it for its own
  // extraction: from its offset in the archive's stream, region by region
  // for a sparse member, whose holes stay holes.
  void copy(PyObject* member, int fd) {
    Ref source = getattr(tar_, c_.interned(n::fileobj));
    call_method(source, c_.interned(n::seek), getattr(member, c_.interned(n::offset_data)));
    Ref sparse = getattr(member, c_.interned(n::sparse));
    const long long size = as_size(getattr(member, c_.interned(n::size)));
    if (sparse.get() == Py_None) {
      copy_region(source, fd, size);
      return;
    }
    // a map read from a pax record was judged by the record's size: the
    // regions of the whole archive are counted here
    const Py_ssize_t count = PyObject_Length(sparse);
    if (count < 0) throw_error();
    regions_ += static_cast<std::size_t>(count);
    if (regions_ > tar_header::kMaxSparseTotal) tar_header::refuse_regions(c_);
    std::size_t done = 0;
    for (Iter regions(sparse); Ref region = regions.next();) {
      if (++done % 1024 == 0) taken_so_far(fd);
      const long long offset = as_size(getitem(region, integer(0)));
      if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) fail();
      copy_region(source, fd, as_size(getitem(region, integer(1))));
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) fail();
  }

  static long long as_size(Ref value) {
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (v < 0) raise(PyExc_ValueError, "negative size in the archive");
    return v;
  }

  void copy_region(PyObject* source, int fd, long long left) {
    while (left > 0) {
      const long long want = left < kCopyChunk ? left : kCopyChunk;
      Ref chunk = call_method(source, c_.interned(n::read), integer(want));
      if (!PyBytes_Check(chunk.get())) raise(PyExc_TypeError, "the archive's stream did not read bytes");
      const Py_ssize_t n = PyBytes_GET_SIZE(chunk.get());
      if (n != want) raise(c_.pinned(pin_ReadError), "unexpected end of data");
      write_all(fd, PyBytes_AS_STRING(chunk.get()), n);
      left -= n;
      if ((since_look_ += static_cast<unsigned long long>(n)) >= kLookEvery) taken_so_far(fd);
    }
  }

  void write_all(int fd, const char* data, Py_ssize_t n) {
    Py_ssize_t done = 0;
    while (done < n) {
      ssize_t w;
      int err;
      Py_BEGIN_ALLOW_THREADS;
      w = ::write(fd, data + done, static_cast<std::size_t>(n - done));
      err = errno;
      Py_END_ALLOW_THREADS;
      if (w < 0) {
        if (err == EINTR) {
          if (PyErr_CheckSignals() < 0) throw_error();
          continue;
        }
        errno = err;
        fail();
      }
      done += w;
    }
  }

  void directory(PyObject* member, const Decision& d) {
    const int dir = parent();
    if (mkdirat(dir, leaf_.c_str(), 0777) != 0) {
      if (errno != EEXIST) fail();
      struct stat st;
      if (fstatat(dir, leaf_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail();
      if (!S_ISDIR(st.st_mode)) {
        clear(dir);
        if (mkdirat(dir, leaf_.c_str(), 0777) != 0) fail();
      }
    }
    tree::Fd fd{openat(dir, leaf_.c_str(), kDirFlags)};
    if (!fd) fail();
    attributes(fd.get(), member, d);
  }

  void symlink(PyObject* member) {
    const std::string target = scratch::encode_path(getattr(member, c_.interned(n::linkname)));
    const int dir = parent();
    if ((unlinkat(dir, leaf_.c_str(), 0) != 0 && errno != ENOENT) ||
        symlinkat(target.c_str(), dir, leaf_.c_str()) != 0) {
      // a directory in the way, no inodes left: the model would lack the link
      raise_instance(call(c_.pinned(pin_OSError),
                          textf("could not create the symbolic link %U of the archive", fmt(name_).get())));
    }
  }

  // A hard link names a regular file that this extraction wrote, reached
  // without a link: never a link, a directory, or anything that was there.
  void hard_link(PyObject* member, const Decision& d) {
    Ref linkname = getattr(member, c_.interned(n::linkname));
    std::vector<std::string> target = tree::path_parts(scratch::encode_path(linkname));
    if (target.empty()) refuse_member(name_);
    const std::string target_leaf = target.back();
    target.pop_back();
    struct stat st;
    bool ours = false;
    switch (dirs_.walk(target, false)) {
      case Walk::through_link:
      case Walk::escapes:
        refuse_member(name_);
      case Walk::failed:
        if (errno != ENOENT && errno != ENOTDIR) fail();
        break;
      case Walk::ok:
        ours = target_leaf != ".." && fstatat(parent(), target_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(st.st_mode) && written_.count({st.st_dev, st.st_ino}) != 0;
    }
    if (!ours) {
      raise(c_.pinned(pin_ExtractError),
            textf("the hard link %R does not name a file extracted before it: %R", name_.get(), linkname.get()).get());
    }
    tree::Fd from{fcntl(parent(), F_DUPFD_CLOEXEC, 0)};
    if (!from) fail();
    std::vector<std::string> parts = tree::path_parts(scratch::encode_path(name_));
    parts.pop_back();
    walk_or_raise(parts, true);
    const int dir = parent();
    struct stat here;
    const bool same = fstatat(dir, leaf_.c_str(), &here, AT_SYMLINK_NOFOLLOW) == 0 && here.st_dev == st.st_dev &&
                      here.st_ino == st.st_ino;
    if (!same) {
      clear(dir);
      if (linkat(from.get(), target_leaf.c_str(), dir, leaf_.c_str(), 0) != 0) fail();
    }
    tree::Fd fd{openat(dir, leaf_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (fd) attributes(fd.get(), member, d);
  }

  // Mode and modification time, on the open entry. As tarfile does, a mode or
  // a time that cannot be set does not fail the member; `mode_set`: the
  // entry was made with its mode.
  void attributes(int fd, PyObject* member, const Decision& d, bool mode_set = false) {
    if (d.has_mode && !mode_set) fchmod(fd, d.mode);
    Ref mtime = getattr(member, c_.interned(n::mtime));
    struct timespec when;
    if (PyLong_Check(mtime.get())) {
      int overflow = 0;
      const long long s = PyLong_AsLongLongAndOverflow(mtime, &overflow);
      if (s == -1 && PyErr_Occurred()) throw_error();
      if (overflow != 0 || static_cast<long long>(static_cast<time_t>(s)) != s) return;
      when = {static_cast<time_t>(s), 0};
    } else {
      const double t = PyFloat_AsDouble(mtime);
      if (t == -1.0 && PyErr_Occurred()) throw_error();
      const double whole = std::floor(t);
      if (!std::isfinite(t) || whole < -9.2e18 || whole > 9.2e18 ||
          static_cast<double>(static_cast<time_t>(whole)) != whole) {
        return;
      }
      when = {static_cast<time_t>(whole), static_cast<long>((t - whole) * 1e9)};
    }
    const struct timespec times[2] = {when, when};
    futimens(fd, times);
  }

  // What the file being written takes now, counted against the space
  // guard in scope (and judged by it).
  void taken_so_far(int fd) {
    since_look_ = 0;
    struct stat st;
    if (fstat(fd, &st) != 0) fail();
    charge_blocks(st);
    SpaceGuard::check();
  }

  void charge_blocks(const struct stat& st) noexcept {
    const unsigned long long now = static_cast<unsigned long long>(st.st_blocks) * 512;
    if (now > charged_) SpaceGuard::charge(now - charged_);
    charged_ = std::max(charged_, now);
  }

  static constexpr unsigned long long kLookEvery = 16ULL << 20;

  Ctx& c_;
  PyObject* tar_;
  std::string dest_;
  Dirs dirs_;
  Ref name_;
  std::string leaf_;
  std::set<std::pair<dev_t, ino_t>> written_;
  std::size_t regions_ = 0;            // sparse regions written
  unsigned long long charged_ = 0;     // of the file being written, counted so far
  unsigned long long since_look_ = 0;  // bytes written since its size was looked at
};

}  // namespace

namespace {
thread_local SpaceGuard* guard_in_scope = nullptr;
}  // namespace

SpaceGuard::SpaceGuard(int dir_fd, std::string dir, unsigned long long stated, bool strict) noexcept
    : dir_fd_(dir_fd), dir_(std::move(dir)), stated_(stated), strict_(strict), outer_(guard_in_scope) {
  guard_in_scope = this;
}

SpaceGuard::~SpaceGuard() { guard_in_scope = outer_; }

void SpaceGuard::charge(unsigned long long bytes) noexcept {
  if (guard_in_scope != nullptr) guard_in_scope->taken_ += bytes;
}

void SpaceGuard::check() {
  SpaceGuard* g = guard_in_scope;
  if (g == nullptr || g->taken_ <= g->stated_) return;
  if (g->strict_) {
    scratch::raise_no_space(
        g->dir_, textf("the extraction takes more than the %llu MiB it was given", scratch::mib_up(g->stated_)));
  }
  scratch::Space space;
  if (!scratch::space_of(g->dir_fd_, space)) return;
  const unsigned long long reserve = std::min(space.size / scratch::kReserveShare, scratch::kReserveMax);
  if (space.free >= reserve) return;
  scratch::raise_no_space(g->dir_, textf("the archive takes more than the %llu MiB its index states, %llu MiB free",
                                         scratch::mib_up(g->stated_), space.free / scratch::kMiB));
}

void extract_members(Ctx& c, PyObject* tar, PyObject* check, PyObject* path, int root_fd) {
  Extraction extraction(c, tar, path, root_fd);
  // In stream mode tarfile appends every member it reads to tar.members,
  // though none can be read again: what this extraction added is dropped
  // after each member, so memory stays flat however many members come.
  Ref list = getattr(tar, c.interned(n::members));
  const int stream = PyObject_IsInstance(getattr(tar, c.interned(n::fileobj)), c.pinned(pin_Stream));
  if (stream < 0) throw_error();
  const bool drop = stream == 1 && PyList_Check(list.get());
  const Py_ssize_t kept = drop ? PyList_GET_SIZE(list.get()) : 0;
  std::size_t count = 0;
  tree::StepCount steps;
  Iter members(tar);
  while (Ref member = members.next()) {
    count_member(c, count);
    Ref checked = call(check, member);
    const std::size_t made_before = extraction.directories_made();
    extraction.member(checked, decide(c, checked));
    SpaceGuard::charge(4096ULL * (extraction.directories_made() - made_before));
    SpaceGuard::check();
    if (steps.total() > kMaxWalkSteps) {
      raise(c.pinned(pin_ExtractError),
            textf("the archive's paths and link targets take more than %zu directory steps to extract", kMaxWalkSteps)
                .get());
    }
    if (count + extraction.directories_made() > kMaxMembers) {
      raise(
          c.pinned(pin_ExtractError),
          textf("the archive has more than %zu members with the directories made for their paths", kMaxMembers).get());
    }
    if (drop && PyList_GET_SIZE(list.get()) > kept) {
      zelk::check(PyList_SetSlice(list, kept, PyList_GET_SIZE(list.get()), nullptr));
    }
  }
}

}  // namespace zelk::fetch::writer
