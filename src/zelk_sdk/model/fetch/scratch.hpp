// Scratch entries on disk: the temporary file a download is written to and the
// staging directory an archive is extracted into. Both live next to their final
// place (so the final rename stays on one file system), are named
// ".zelk-tmp-<random>.part" / ".zelk-tmp-<random>.staging", and are held under
// an exclusive flock(2) by their writer for as long as it works on them.
//
// A writer that was killed leaves its entry behind unlocked; the next writer in
// the same directory removes such entries (sweep). Creating an entry and taking
// its lock happens under a shared lock of the directory, sweeping under an
// exclusive one, so a sweep never sees an entry between its creation and its
// lock.
#pragma once

#include <string>

#include "common.hpp"

namespace zelk::fetch::scratch {

// A str path in the file system encoding; raises for embedded NULs.
std::string encode_path(PyObject* path);
// The directory part of a path, as os.path.dirname gives it ("." for none).
std::string parent_dir(const std::string& path);

// Removes the stale scratch entries of `dir` (best effort, silent).
void sweep(const std::string& dir);

// The scratch file of one download. It is created and locked by open_for();
// the destructor removes it unless commit() renamed it into place.
class PartFile {
 public:
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();

  // Opens a new scratch file beside `final_path` through the builtin `open`
  // (mode "xb"), locks it, and returns the file object. An OSError reports
  // `final_path_obj`, the destination the caller named.
  Ref open_for(const std::string& final_path, PyObject* final_path_obj, PyObject* open);
  // Renames the scratch file onto the destination (while still locked).
  void commit(PyObject* final_path_obj);

 private:
  std::string path_;
  std::string final_;
  bool committed_ = false;
};

// The private directory one extraction writes into. The destructor removes it
// with whatever it still holds.
class Staging {
 public:
  explicit Staging(const std::string& base_dir);
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging();

  // The staging directory as a str path.
  Ref path() const;
  // Makes the extracted tree durable, then moves every top-level entry into
  // the base directory, `model_name` last: once the model directory exists it
  // is complete. A model directory that appeared meanwhile (another process
  // finished first) is kept and ours discarded.
  void publish(const std::string& model_name);

 private:
  std::string base_;
  std::string path_;
  int lock_fd_ = -1;
};

}  // namespace zelk::fetch::scratch
