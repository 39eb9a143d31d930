// download_url, as download_detection_model uses it.
#pragma once

#include "common.hpp"
#include "deadline.hpp"

namespace zelk::fetch {

// When `downloader` is the module's own download_url and `cloud_url` a str,
// runs download_url(cloud_url=cloud_url) with its waits bounded by `deadline`
// (the budget of the enclosing call) and returns its result; otherwise
// returns an empty Ref (the caller then calls `downloader` as written). For a
// fetch by the model key `key` (nullptr for a URL), the model it installs or
// reuses is recorded in the store's index.
Ref download_url_within(Ctx& c, PyObject* downloader, PyObject* cloud_url, Deadline& deadline, PyObject* key);

// The checks of an archive that tarfile has read through the module's xz
// `reader` up to where the extractor left it (`f` is the TarFile): the rest of
// the member list, the end-of-archive marker where tarfile stopped, and the
// xz data whole and intact to its end. Raises tarfile.ReadError otherwise.
void check_archive_complete(Ctx& c, PyObject* f, PyObject* reader);

}  // namespace zelk::fetch
