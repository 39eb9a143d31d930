// The transfer, as download_url uses it.
#pragma once

#include "common.hpp"
#include "feed.hpp"
#include "scratch.hpp"

namespace zelk::fetch {

// When `downloader` is the module's own download_file, runs
// download_file(cloud_url=cloud_url, local_file=local_file) with the file's
// directory given as the open `place` (so nothing of the transfer is made by
// path) and returns its result; otherwise returns an empty Ref (the caller
// then calls `downloader` as written). With a `feed`, the transfer tells it
// which file it writes and which of its bytes are in it (see feed.hpp), and
// stops it when it fails.
Ref download_into(Ctx& c, PyObject* downloader, PyObject* cloud_url, PyObject* local_file, const scratch::Place& place,
                  Feed* feed = nullptr);

}  // namespace zelk::fetch
