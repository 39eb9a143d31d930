// The base directory of the model store, opened once per fetch.
//
// Whoever may write a directory on the way to the base directory can rename
// what is there and put a link or a directory of their own in its place, at
// any moment, before a fetch or during it: every name the fetch then resolves
// by path may lead elsewhere. So the base directory is opened by a walk from
// the root that trusts a name only where nobody but this process's user and
// root could have changed it, and everything the fetch makes, renames or
// removes in the store goes through that one descriptor.
#pragma once

#include <sys/types.h>

#include <string>

#include "common.hpp"
#include "tree_ops.hpp"

namespace zelk::fetch::scratch {

class BaseDir {
 public:
  // Opens `path` (a relative path is taken from the working directory now).
  // Raises OSError where a directory on the way may be written by another
  // user (see check()), or the directory cannot be opened.
  explicit BaseDir(const std::string& path);
  BaseDir(const BaseDir&) = delete;
  BaseDir& operator=(const BaseDir&) = delete;

  // The same walk as far as `path` exists, before anything is made there:
  // raises as the constructor does where the part that exists is not safe.
  static void check(const std::string& path);

  int fd() const noexcept { return fd_.get(); }
  // The absolute path it was opened by.
  const std::string& path() const noexcept { return path_; }
  // True while the path still leads to the directory opened.
  bool still_named() const noexcept;
  // Raises the error of a base directory that was replaced during the fetch.
  [[noreturn]] void raise_replaced() const;

 private:
  std::string path_;
  tree::Fd fd_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

}  // namespace zelk::fetch::scratch
