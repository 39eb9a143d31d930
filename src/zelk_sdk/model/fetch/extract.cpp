// Safe tar extraction.
#include "extract.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "common.hpp"
#include "scratch.hpp"
#include "tree_ops.hpp"
#include "tree_writer.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"tar", "tarfile.TarFile"}, {"path", "str", Exact::str}};

constexpr Param kCheckParams[] = {{"member"}};

// True when walking `rel` (a relative path as written in the archive) from
// `base` goes through a symbolic link that is already on disk; the final
// component does not count. A member written through such a link, or a link
// target resolved through one, does not land where its text says.
//
// The walk goes from descriptor to descriptor (each component looked at in
// the directory opened before it, never followed), so a path of n components
// costs O(n) calls. A component that cannot be looked at for another reason
// than being missing counts as a link: the kernel may resolve it otherwise
// later, through links that this test could not see.
//
// A symbolic link's target (`target`) is followed later, against whatever is
// on disk then, so one more thing counts there: a ".." that climbs out of a
// component not on disk yet (a later member "m -> ." would turn "m/.." into
// the destination's parent, and "m/../etc/passwd" into a file outside), or
// out of a component that is no directory now.
bool through_link(const std::string& base, PyObject* rel, bool target = false) {
  const std::string r = scratch::encode_path(rel);
  if (r.empty() || r[0] == '/') return false;
  constexpr int kLookFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  tree::Fd cur{::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
  const int open_errno = cur ? 0 : errno;
  // once a component is missing or no directory, nothing below it is on disk
  bool below_missing = false;
  std::vector<bool> on_disk;  // target: each component climbed into so far
  std::size_t start = 0;
  while (start <= r.size()) {
    std::size_t end = r.find('/', start);
    if (end == std::string::npos) end = r.size();
    const bool final_part = r.find_first_not_of('/', end) == std::string::npos;
    const std::string part = r.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") {
      if (final_part) break;
      continue;
    }
    if (target && part == ".." && !on_disk.empty()) {
      if (!on_disk.back()) return true;
      on_disk.pop_back();
    }
    if (final_part) break;
    bool is_dir = false;
    if (!below_missing && !cur) {
      if (open_errno != ENOENT && open_errno != ENOTDIR) return true;
      below_missing = true;
    }
    if (!below_missing) {
      tree::StepCount::step();
      struct stat st;
      if (fstatat(cur.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return true;
        below_missing = true;
      } else if (S_ISLNK(st.st_mode)) {
        return true;
      } else if (S_ISDIR(st.st_mode)) {
        tree::Fd next{openat(cur.get(), part.c_str(), kLookFlags)};
        if (!next) return true;
        cur = std::move(next);
        is_dir = true;
      } else {
        below_missing = true;
      }
    }
    // only a directory may be climbed out of: a file there now may be
    // replaced by a link later (tarfile unlinks it first), a directory not
    if (target && part != "..") on_disk.push_back(is_dir);
  }
  return false;
}

// A member's name as a refusal shows it: whole up to kMaxPathBytes
// characters, else its start and its length (a name may be a header record
// long).
Ref shown_name(PyObject* name) {
  constexpr Py_ssize_t kShown = 200;
  if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) <= static_cast<Py_ssize_t>(kMaxPathBytes)) {
    return textf("%R", name);
  }
  Ref start = Ref::steal(PyUnicode_Substring(name, 0, kShown));
  return textf("%R... (%zd characters)", start.get(), PyUnicode_GET_LENGTH(name));
}

// The limits of a member's name or link target: what no model has.
void within_limits(Ctx& c, PyObject* name, PyObject* text, const char* what) {
  if (!PyUnicode_Check(text)) return;
  const std::string t = scratch::encode_path(text);
  if (t.size() > kMaxPathBytes) {
    raise(c.pinned(pin_ExtractError),
          textf("the member %U has a %s longer than %zu bytes", shown_name(name).get(), what, kMaxPathBytes).get());
  }
  if (tree::path_parts(t).size() > kMaxPathParts) {
    raise(
        c.pinned(pin_ExtractError),
        textf("the member %U has a %s of more than %zu components", shown_name(name).get(), what, kMaxPathParts).get());
  }
}

// tarfile reports a symbolic link that it could not create (no inodes left,
// a directory of that name in the way) only at its debug level, and may put
// a copy of the link's target there instead: a model without the link, or
// with a directory for it, would pass for the whole model. The member must be
// a link on disk once extracted.
void require_link(Ctx& c, const std::string& dest, PyObject* member) {
  Ref name = getattr(member, c.interned(n::name));
  if (!PyUnicode_Check(name.get())) return;
  Ref stripped = call_method(name, c.interned(n::rstrip), c.interned(n::slash));
  const std::string where = dest + "/" + scratch::encode_path(stripped);
  struct stat st;
  if (lstat(where.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return;
  raise_instance(
      call(c.pinned(pin_OSError), textf("could not create the symbolic link %U of the archive", fmt(name).get())));
}

bool within(PyObject* candidate, PyObject* prefix) {
  return PyUnicode_Tailmatch(candidate, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

thread_local bool imported_names = false;

// The os and os.path functions the member checks call: the module's `os` as
// it is now, or, under ImportedNames, as import found it. Each is looked up
// when it is asked for, as the statements look them up.
class OsNames {
 public:
  explicit OsNames(Ctx& c) : c_(c) {
    if (!imported_names) os_ = c.global(n::os);
  }
  Ref abspath() const { return function(n::abspath, pin_path_abspath); }
  Ref join() const { return function(n::join, pin_path_join); }
  Ref dirname() const { return function(n::dirname, pin_path_dirname); }
  Ref sep() const { return imported_names ? Ref::borrow(c_.pinned(pin_os_sep)) : getattr(os_, c_.interned(n::sep)); }

 private:
  Ref function(int name, int pinned) const {
    if (imported_names) return Ref::borrow(c_.pinned(pinned));
    return getattr(getattr(os_, c_.interned(n::path)), c_.interned(name));
  }

  Ctx& c_;
  Ref os_;
};

// _check(member), a closure over (path, abs_path, walked): returns the member
// when it lands inside the destination and within the limits, raises
// otherwise. Besides the member's own
// name, a link's target must stay inside too: a symbolic link resolved
// lexically from the member's directory, a hard link from the destination.
// Lexical resolution is exact only while no path goes through a symbolic link
// extracted earlier (`c -> .` makes "c/c/../.." climb out), so neither a
// member's parent directories nor a link target may pass through one. Where
// the members are written through descriptors (`walked`), that walk refuses
// a link on the way of a member's name or of a hard link's target by itself,
// with the same message; only a symbolic link's target, followed later, is
// looked at here.
Ref check_member(Ctx& c) {
  PyObject* member = c.arg(param(kCheckParams, "member"));
  PyObject* path = PyTuple_GET_ITEM(c.closure(), 0);
  PyObject* abs_path = PyTuple_GET_ITEM(c.closure(), 1);
  const bool walked = PyTuple_GET_ITEM(c.closure(), 2) == Py_True;

  const OsNames os(c);
  Ref name = getattr(member, c.interned(n::name));
  Ref member_path = call(os.abspath(), call(os.join(), path, name));
  Ref prefix = Ref::steal(PyNumber_Add(abs_path, os.sep()));
  // the limits first: a name past them is shown cut short
  within_limits(c, name, name, "path");
  if (!within(member_path, prefix)) refuse_member(name);

  const std::string dest = scratch::encode_path(abs_path);
  if (!walked && PyUnicode_Check(name.get()) && through_link(dest, name)) refuse_member(name);
  if (truthy(call_method(member, c.interned(n::issym)))) {
    // tarfile creates "m/cfg/" at "m/cfg": the link's directory is "m"
    Ref link_path = PyUnicode_Check(name.get()) ? call_method(name, c.interned(n::rstrip), c.interned(n::slash)) : name;
    Ref member_dir = call(os.dirname(), link_path);
    Ref linkname = getattr(member, c.interned(n::linkname));
    within_limits(c, name, linkname, "link target");
    Ref target = call(os.abspath(), call(os.join(), path, member_dir, linkname));
    // a link to the destination itself stays inside it
    if (!within(target, prefix) && !rich_compare(target, abs_path, Py_EQ)) refuse_member(name);
    if (PyUnicode_Check(member_dir.get()) && PyUnicode_Check(linkname.get()) &&
        through_link(dest + "/" + scratch::encode_path(member_dir), linkname, true)) {
      refuse_member(name);
    }
  } else if (truthy(call_method(member, c.interned(n::islnk)))) {
    Ref linkname = getattr(member, c.interned(n::linkname));
    within_limits(c, name, linkname, "link target");
    Ref target = call(os.abspath(), call(os.join(), path, linkname));
    if (!within(target, prefix)) refuse_member(name);
    if (!walked && PyUnicode_Check(linkname.get()) && through_link(dest, linkname)) refuse_member(name);
  }
  return Ref::borrow(member);
}

const FunctionDef kCheck = declare({
    .name = "_check",
    .qualname = "_safe_extract.<locals>._check",
    .doc = "Return the member if it extracts inside the destination, else raise.",
    .params = params(kCheckParams),
    .body = check_member,
});

// The _check closure of one call over (path, os.path.abspath(path), walked):
// `walked` when the members are written through descriptors.
Ref make_check(Ctx& c, PyObject* path, bool walked, Ref* abs_path_out = nullptr) {
  Ref abs_path = call(OsNames(c).abspath(), path);
  Ref cells = Ref::steal(PyTuple_Pack(3, path, abs_path.get(), walked ? Py_True : Py_False));
  if (abs_path_out != nullptr) *abs_path_out = abs_path;
  return make_function(c.module(), kCheck, cells);
}

bool own_tarfile_object(Ctx& c, PyObject* tar) {
  return reinterpret_cast<PyObject*>(Py_TYPE(tar)) == c.pinned(pin_TarFile);
}

Ref safe_extract(Ctx& c) {
  PyObject* tar = c.arg(param(kParams, "tar"));
  PyObject* path = c.arg(param(kParams, "path"));
  Ref abs_path;
  const bool own = own_tarfile_object(c, tar);
  Ref check = make_check(c, path, own, &abs_path);
  if (own) {
    // the destination is opened once; every member is written below it
    const std::string dest = scratch::encode_path(path);
    tree::Fd root{::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!root) scratch::raise_errno_path(dest);
    writer::extract_members(c, tar, check, path, root.get());
    return none();
  }
  // Anything else that iterates and extracts like a TarFile gets its own
  // extract(), by path, with the "data" filter.
  Iter members(tar);
  const std::string dest = scratch::encode_path(abs_path);
  std::size_t count = 0;
  while (Ref member = members.next()) {
    count_member(c, count);
    Ref checked = call(check, member);
    // the "data" filter also refuses device files, absolute link targets and
    // writes through links already on disk, and drops setuid bits
    call_method(tar, c.interned(n::extract), checked, kw(c, n::path, path), kw(c, n::filter, c.interned(n::data)));
    if (truthy(call_method(checked, c.interned(n::issym)))) require_link(c, dest, checked);
  }
  return none();
}

}  // namespace

void count_member(Ctx& c, std::size_t& count) {
  if (++count > kMaxMembers) {
    raise(c.pinned(pin_ExtractError), textf("the archive has more than %zu members", kMaxMembers).get());
  }
}

ImportedNames::ImportedNames() noexcept : outer_(imported_names) { imported_names = true; }

ImportedNames::~ImportedNames() { imported_names = outer_; }

void refuse_member(PyObject* member_name) {
  raise(PyExc_Exception, textf("Attempted path traversal in tar archive: %U", fmt(member_name).get()).get());
}

bool extract_into(Ctx& c, PyObject* extractor, PyObject* tar, PyObject* path, int root_fd) {
  if (!is_function_of(extractor, c.module(), kSafeExtract) || !own_tarfile_object(c, tar)) return false;
  writer::extract_members(c, tar, make_check(c, path, true), path, root_fd);
  return true;
}

const FunctionDef kSafeExtract = declare({
    .name = "_safe_extract",
    .doc = "Extract a tar archive while rejecting path-traversal members.\n"
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
    .params = params(kParams),
    .returns = "None",
    .body = safe_extract,
});

}  // namespace zelk::fetch
