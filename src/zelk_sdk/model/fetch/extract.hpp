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

}  // namespace zelk::fetch
