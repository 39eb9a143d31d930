// The transfer, as download_url uses it.
#pragma once

#include "common.hpp"
#include "scratch.hpp"

namespace zelk::fetch {

// When `downloader` is the module's own download_file, runs
// download_file(cloud_url=cloud_url, local_file=local_file) with the file's
// directory given as the open `place` (so nothing of the transfer is made by
// path) and returns its result; otherwise returns an empty Ref (the caller
// then calls `downloader` as written).
Ref download_into(Ctx& c, PyObject* downloader, PyObject* cloud_url, PyObject* local_file, const scratch::Place& place);

}  // namespace zelk::fetch
