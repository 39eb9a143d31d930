// Safe tar extraction.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string>
#include <vector>

#include "common.hpp"
#include "scratch.hpp"

namespace zelk::fetch {
namespace {

// Where a relative path below the destination really leads: its components are
// walked on disk the way the kernel walks them when the member is written,
// following the symbolic links already there. A lexical test misses a link that
// climbs out through another link ("a -> .", "b -> a/.."), and os.path.realpath,
// which the archive module's own filter relies on, stops resolving once the
// expanded path outgrows PATH_MAX and then misses it too. This walk never gives
// up silently: a path it cannot follow to the end counts as leaving.
class DiskWalk {
 public:
  explicit DiskWalk(std::string root) : root_(std::move(root)) {}

  // Walks `rel` on from the current position; false when it leaves the root
  // (or loops, or grows too long to follow). In a strict walk a ".." may only
  // leave a directory that is really there: not one reached through a link
  // (replacing that link would move the target) and not one still missing
  // (creating it as a link later would).
  bool walk(const std::string& rel, bool strict) {
    std::deque<Step> queue;
    append(queue, rel, false);
    while (!queue.empty()) {
      Step s = std::move(queue.front());
      queue.pop_front();
      if (s.name.empty() || s.name == ".") continue;
      if (s.name == "..") {
        if (parts_.empty() || (strict && parts_.back().pinned)) return false;
        parts_.pop_back();
        continue;
      }
      std::string p = current() + "/" + s.name;
      if (p.size() >= PATH_MAX) return false;
      bool exists = false;
      if (parts_.empty() || parts_.back().exists) {
        struct stat st;
        if (lstat(p.c_str(), &st) == 0) {
          if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (++links_ > kMaxLinks || !read_link(p, target) || target[0] == '/') return false;
            std::deque<Step> spliced;
            append(spliced, target, true);
            queue.insert(queue.begin(), spliced.begin(), spliced.end());
            continue;
          }
          exists = true;
        } else if (errno != ENOENT && errno != ENOTDIR) {
          return false;
        }
      }
      parts_.push_back({std::move(s.name), exists, s.via_link || (strict && !exists)});
    }
    return true;
  }
  // The current position becomes a plain directory that ".." may leave.
  void settle() {
    for (Part& p : parts_) p.pinned = false;
  }
  bool at_root() const { return parts_.empty(); }

 private:
  static constexpr int kMaxLinks = 40;  // the kernel's limit
  struct Step {
    std::string name;
    bool via_link;
  };
  struct Part {
    std::string name;
    bool exists;
    bool pinned;
  };

  static void append(std::deque<Step>& queue, const std::string& path, bool via_link) {
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      queue.push_back({path.substr(start, slash - start), via_link});
      start = slash + 1;
    }
  }
  static bool read_link(const std::string& path, std::string& target) {
    target.assign(PATH_MAX, '\0');
    ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;
    target.resize(static_cast<std::size_t>(n));
    return true;
  }
  std::string current() const {
    std::string p = root_;
    for (const Part& part : parts_) p += "/" + part.name;
    return p;
  }

  std::string root_;
  std::vector<Part> parts_;
  int links_ = 0;
};

[[noreturn]] void refuse(PyObject* member_name) {
  raise(PyExc_Exception, textf("Attempted path traversal in tar archive: %U", fmt(member_name).get()).get());
}

bool within(PyObject* candidate, PyObject* prefix) {
  return PyUnicode_Tailmatch(candidate, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

// _check(member), a closure over (path, abs_path): returns the member when it
// lands inside the destination, raises otherwise. Besides the member's own
// name, a link's target must stay inside too: a symbolic link resolved
// lexically from the member's directory, a hard link from the destination.
// Each test is made on the text and again on disk (DiskWalk), against the
// links that earlier members left there.
Ref check_member(Ctx& c) {
  PyObject* member = c.arg(0);
  PyObject* path = PyTuple_GET_ITEM(c.closure(), 0);
  PyObject* abs_path = PyTuple_GET_ITEM(c.closure(), 1);

  Ref os = c.global(n::os);
  Ref os_path = getattr(os, c.name(n::path));
  Ref abspath = getattr(os_path, c.name(n::abspath));
  Ref join = getattr(os_path, c.name(n::join));
  Ref name = getattr(member, c.name(n::name));
  Ref member_path = call(abspath, call(join, path, name));
  Ref prefix = Ref::steal(PyNumber_Add(abs_path, getattr(os, c.name(n::sep))));
  if (!within(member_path, prefix)) refuse(name);

  const std::string root = scratch::encode_path(abs_path);
  const std::string rel = scratch::encode_path(name);
  DiskWalk lands(root);
  if (!lands.walk(rel, false) || lands.at_root()) refuse(name);

  if (truthy(call_method(member, c.name(n::issym)))) {
    Ref member_dir = call(getattr(os_path, c.name(n::dirname)), name);
    Ref linkname = getattr(member, c.name(n::linkname));
    Ref target = call(abspath, call(join, path, member_dir, linkname));
    // a link to the destination itself stays inside it
    if (!within(target, prefix) && !rich_compare(target, abs_path, Py_EQ)) refuse(name);
    // the link's own directory as it is on disk, then its target from there
    DiskWalk points(root);
    if (!points.walk(scratch::parent_dir(rel), false)) refuse(name);
    points.settle();
    if (!points.walk(scratch::encode_path(linkname), true)) refuse(name);
  } else if (truthy(call_method(member, c.name(n::islnk)))) {
    Ref linkname = getattr(member, c.name(n::linkname));
    Ref target = call(abspath, call(join, path, linkname));
    if (!within(target, prefix)) refuse(name);
    DiskWalk points(root);
    if (!points.walk(scratch::encode_path(linkname), false) || points.at_root()) refuse(name);
  }
  return Ref::borrow(member);
}

constexpr Param kCheckParams[] = {{"member"}};

const FunctionDef kCheck = {
    "_check",
    "_safe_extract.<locals>._check",
    "Return the member if it extracts inside the destination, else raise.",
    kCheckParams,
    1,
    nullptr,
    ArgStyle::compiled,
    check_member,
    __FILE__,
    __LINE__,
};

Ref safe_extract(Ctx& c) {
  PyObject* tar = c.arg(0);
  PyObject* path = c.arg(1);
  Ref os = c.global(n::os);
  Ref abs_path = call(getattr(getattr(os, c.name(n::path)), c.name(n::abspath)), path);
  Ref cells = Ref::steal(PyTuple_Pack(2, path, abs_path.get()));
  Ref check = make_function(c.module(), kCheck, cells);
  Iter members(tar);
  while (Ref member = members.next()) {
    Ref checked = call(check, member);
    // the "data" filter also refuses device files, absolute link targets and
    // writes through links already on disk, and drops setuid bits
    call_method(tar, c.name(n::extract), checked, kw(c, n::path, path), kw(c, n::filter, c.name(n::data)));
  }
  return none();
}

constexpr Param kParams[] = {{"tar", "tarfile.TarFile"}, {"path", "str", Exact::str}};

}  // namespace

const FunctionDef kSafeExtract = {
    "_safe_extract",
    nullptr,
    "Extract a tar archive while rejecting path-traversal members.\n"
    "\n"
    "Each member is checked right before it is extracted: a member whose name\n"
    "resolves outside path (or to path itself), or a link whose target leaves it,\n"
    "raises Exception(\"Attempted path traversal in tar archive: <name>\"); the\n"
    "members before it stay extracted. Members are extracted with the \"data\"\n"
    "extraction filter.\n"
    "\n"
    "Args:\n"
    "    tar: an open tarfile.TarFile (a stream-mode archive is read once).\n"
    "    path: the destination directory.\n",
    kParams,
    2,
    "None",
    ArgStyle::compiled,
    safe_extract,
    __FILE__,
    __LINE__,
};

}  // namespace zelk::fetch
