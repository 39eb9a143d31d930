// The bytes of a transfer that broke, kept beside its destination for the next
// attempt: a scratch file ".resume" named after the destination (so any later
// call for the same file finds it, whatever URL it is given), and a ".resinfo"
// that describes the archive those bytes are the start of: its validator (the
// response's strong ETag, else a Last-Modified at least a second older than
// its Date) and its whole size. A transfer without a validator keeps nothing.
// Only one writer at a time uses them (an flock on the ".resume" file); what
// is older than scratch::kResumeMaxAge is not resumed but removed. Both are
// used only while they are this process's alone (scratch::owned_alone):
// whatever else is found at their names is left untouched and nothing is
// kept there.
#pragma once

#include <cstdint>
#include <string>

#include "common.hpp"
#include "scratch.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::resume {

struct Info {
  std::string validator;
  long long total = 0;  // the whole size; 0 when unknown
};

class Partial {
 public:
  // The kept bytes for the file at `place` (which outlives this object).
  explicit Partial(const scratch::Place& place);
  Partial(const Partial&) = delete;
  Partial& operator=(const Partial&) = delete;
  // Closes; what was kept stays unless discarded or committed.
  ~Partial() = default;

  // Bytes of an earlier transfer and their description, locked for this call.
  bool resumable() const noexcept { return fd_ && size_ > 0 && !info_.validator.empty(); }
  std::uint64_t size() const noexcept { return size_; }
  const Info& info() const noexcept { return info_; }
  // The kept bytes' file (-1 when there is none).
  int fd() const noexcept { return fd_.get(); }
  // Whether this call may keep its own bytes here (no other writer has them).
  bool available() const noexcept { return available_; }

  // Removes what was kept.
  void discard() noexcept;
  // A new transfer of the archive `info` describes: the description is
  // written first, then the bytes go to the (empty) file; returns the file
  // object that `open` makes for it; empty when another writer took the
  // kept file's name meanwhile.
  Ref start(PyObject* open, const Info& info);
  // The kept bytes, opened for appending.
  Ref append(PyObject* open);
  // Renames the bytes onto the destination (while still locked) and removes
  // their description.
  void commit(PyObject* final_path_obj);

 private:
  Ref file_object(PyObject* open);

  const scratch::Place& place_;
  std::string data_;  // names in the place's directory
  std::string info_name_;
  tree::Fd fd_;  // the kept bytes, locked by this call
  std::uint64_t size_ = 0;
  Info info_;
  bool available_ = true;
};

// The validator of a response for If-Range: a well-formed strong ETag, else
// a Last-Modified date that is strong (at least one second before the
// response's Date: the archive did not change again within its second);
// empty when the response has neither.
std::string validator_of(Ctx& c, PyObject* headers);
// True when the response names `validator` itself: the same strong ETag, or
// (for a date) the same Last-Modified.
bool same_validator(Ctx& c, PyObject* headers, const std::string& validator);

}  // namespace zelk::fetch::resume
