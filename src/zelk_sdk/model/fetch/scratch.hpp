// Scratch entries on disk: the temporary file a download is written to and the
// staging directory an archive is extracted into. Both live next to their final
// place (so the final rename stays on one file system) and are held under an
// exclusive flock(2) by their writer for as long as it works on them.
//
// Their names are the module's own and nobody else's: ".zelk-tmp-" followed by
// 16 random hex digits, "-", 8 hex digits of a check value over the random
// part and the kind, and the kind (".part" or ".staging"). An entry is born
// under the kind ".new", locked, and only then renamed to its kind, so an
// entry that carries a kind is locked from its first moment on.
//
// A writer that was killed leaves its entry behind unlocked; the next writer in
// the same directory removes such entries (sweep): an entry of the right name,
// the right type (a regular file for ".part", a directory for ".staging") and
// no lock. Nothing else is ever removed, and no lock is taken on the directory
// itself. An entry still named ".new" is removed once it is an hour old.
#pragma once

#include <string>
#include <vector>

#include "base_dir.hpp"
#include "common.hpp"
#include "deadline.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::scratch {

// A str path in the file system encoding; raises for embedded NULs.
std::string encode_path(PyObject* path);
// The directory part of a path, as os.path.dirname gives it ("." for none).
std::string parent_dir(const std::string& path);
// A path in the file system encoding as a str.
Ref decode_path(const std::string& path);
// OSError from errno for `path` (given in the file system encoding).
[[noreturn]] void raise_errno_path(const std::string& path);

// True when `name` is a scratch name of the module (of any kind).
bool is_scratch_name(const char* name);

// The kinds of the entries that belong to one destination rather than to one
// writer: the kept bytes of a broken transfer, their description, and the
// lock of one model's fetch. keyed_path() gives the same path for the same
// key (a file or model name) every time.
inline constexpr char kResume[] = ".resume";
inline constexpr char kResumeInfo[] = ".resinfo";
inline constexpr char kLock[] = ".lock";
// the store's index of model keys (index.hpp): never swept
inline constexpr char kIndex[] = ".index";
std::string keyed_path(const std::string& dir, const std::string& key, const char* kind);
// A new birth path (kind ".new") in `dir`, for an entry that is written and
// then renamed to its place.
std::string birth_path(const std::string& dir);

// How long the bytes of a broken transfer are kept for a resume: after that
// the next fetch of the same file, or any sweep of the directory, removes them.
inline constexpr long kResumeMaxAge = 7L * 24 * 3600;

// Removes the stale scratch entries of `dir` (best effort, silent).
void sweep(const std::string& dir);
// The same for the open directory `dirfd`.
void sweep_at(int dirfd);

// The free space (for this process's user) and the whole size of the file
// system that holds the directory `dir_fd`; false where it cannot be told.
struct Space {
  unsigned long long free = 0;
  unsigned long long size = 0;
};
bool space_of(int dir_fd, Space& out) noexcept;

inline constexpr unsigned long long kMiB = 1048576;
// What a transfer or an extraction that was not told its size leaves free:
// a twentieth of the file system, at most 64 MiB.
inline constexpr unsigned long long kReserveShare = 20;
inline constexpr unsigned long long kReserveMax = 64 * kMiB;
inline unsigned long long mib_up(unsigned long long bytes) { return bytes / kMiB + (bytes % kMiB != 0); }

// OSError("not enough space in DIR: <detail>"), the one text of a transfer
// or an extraction that does not fit; the second form's detail is "need N
// MiB, M MiB free".
[[noreturn]] void raise_no_space(const std::string& dir, PyObject* detail);
[[noreturn]] void raise_no_space(const std::string& dir, unsigned long long need, unsigned long long free);

// Where a download's file goes: its directory, open, and its name there.
// Everything the download makes beside the file (the scratch file, the kept
// bytes of a broken transfer and their description) is made, renamed and
// removed relative to the directory's descriptor, never by path, so a
// directory renamed or replaced meanwhile never has anything written into
// it.
struct Place {
  int dir_fd = -1;    // not owned; -1 where the directory could not be opened
  int dir_errno = 0;  // why, then
  std::string dir;    // the directory's path, for texts
  std::string name;   // the file's name in it
  // `entry` of the directory as a path, for texts
  std::string path_of(const std::string& entry) const { return (dir == "/" ? "" : dir) + "/" + entry; }
};

// The scratch file of one download. It is created and locked by open_for();
// the destructor removes it unless commit() renamed it into place.
class PartFile {
 public:
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();

  // Makes a new scratch file in the place's directory, locks it, and returns
  // a file object of the builtin `open` on it. An OSError reports
  // `final_path_obj`, the destination the caller named.
  Ref open_for(const Place& place, PyObject* final_path_obj, PyObject* open);
  // Renames the scratch file onto the destination (while still locked).
  void commit(PyObject* final_path_obj);

 private:
  const Place* place_ = nullptr;
  std::string name_;
  bool committed_ = false;
};

// The lock of one model's fetch, a file of the module's own in the base
// directory: held from the look at what is on disk to the end of the
// extraction, so that concurrent fetches of one model (threads, or processes
// sharing the base directory) make one transfer, the others waiting and then
// reusing what it left. The kernel releases it when its holder dies. The wait
// is logged once when it starts ("waiting for another fetch of M"), polls
// with the GIL released and handles signals, and ends with the deadline: a
// TimeoutError says that the wait for the lock ran out. Where no lock file
// can be made (a read-only base directory) the fetch goes on without one; so
// it does where the name holds anything but a lock file of ours (a regular
// file with one link, owned by this process's user), which is left alone:
// foreign() then says so. With `announce` false the wait is not logged.
class ModelLock {
 public:
  ModelLock(Ctx& c, const BaseDir& base, const std::string& model_name, Deadline& deadline, bool announce = true);
  ModelLock(const ModelLock&) = delete;
  ModelLock& operator=(const ModelLock&) = delete;
  // Removes the lock file, then releases the lock.
  ~ModelLock();

  // The lock file's path when something else held its name; empty otherwise.
  const std::string& foreign() const noexcept { return foreign_; }

 private:
  tree::Fd base_;
  std::string name_;
  std::string foreign_;
  tree::Fd fd_;
};

// The private directory one extraction writes into, made in the base
// directory and used through its descriptor. The destructor removes it with
// whatever it still holds.
class Staging {
 public:
  explicit Staging(const BaseDir& base);
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging();

  // The staging directory as a str path (for what is handed to an extractor
  // by path, and for texts).
  Ref path() const;
  // The staging directory, open.
  int fd() const noexcept { return lock_fd_.get(); }
  // What the extraction produced besides `model_name`, by name; raises the
  // extraction's refusal when `model_name` is no directory or a symbolic link
  // below it resolves outside it.
  std::vector<std::string> verify(const std::string& model_name);
  // Makes the extracted tree durable, then moves the model directory (and
  // nothing else) into the base directory: once it exists there it is
  // complete. A model directory that appeared meanwhile (another process
  // finished first) is kept and ours discarded. Where the base directory's
  // path no longer leads to the directory this fetch works in, nothing is
  // published (what was moved is taken back) and the call fails.
  void publish(const std::string& model_name);

 private:
  const BaseDir& base_;
  std::string name_;
  tree::Fd lock_fd_;  // the staging directory, locked
};

}  // namespace zelk::fetch::scratch
