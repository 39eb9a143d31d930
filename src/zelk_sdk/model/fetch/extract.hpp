// Safe extraction, as download_url uses it.
#pragma once

#include "common.hpp"

namespace zelk::fetch {

// When `extractor` is the module's own _safe_extract and `tar` a TarFile of
// the interpreter's own class, extracts `tar` into the open directory
// `root_fd` (whose path is `path`) as _safe_extract(tar, path) would, and
// returns true; otherwise does nothing and returns false (the caller then
// calls `extractor` as written).
bool extract_into(Ctx& c, PyObject* extractor, PyObject* tar, PyObject* path, int root_fd);

// While one is in scope on a thread, the member checks there use the os and
// os.path functions that import found, not what the module's `os` is now: an
// extraction on a thread of the module's own, started while they were the
// module's, is published only if they still are when it ends (a rebinding
// meanwhile is seen by the extraction of the file on disk that follows, on
// the caller's thread).
class ImportedNames {
 public:
  ImportedNames() noexcept;
  ImportedNames(const ImportedNames&) = delete;
  ImportedNames& operator=(const ImportedNames&) = delete;
  ~ImportedNames();

 private:
  bool outer_;
};

}  // namespace zelk::fetch
