// The extraction of an archive while its transfer runs (download_url's own
// path only): a worker thread (kept for the next fetch) reads the file the
// transfer writes, through
// the module's xz reader over a Feed, and extracts it into a private staging
// directory with the same checks as the extraction of a file on disk. Nothing
// leaves the staging directory here: download_url publishes it, after the
// transfer returned true, only when this extraction read exactly the file
// that became the archive. Whatever goes wrong (a refused member, a damaged
// archive, a transfer that starts over too late to follow, not enough room)
// only ends the overlap: download_url then extracts the archive on disk as it
// always did, which gives that archive's own result and texts.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "feed.hpp"
#include "scratch.hpp"

namespace zelk::fetch {

class Overlap {
 public:
  // `archive_path` names the archive in texts; `extractor` is the module's
  // own _safe_extract; `model` the model directory's name. The extraction starts
  // at once, on a worker, and waits for the transfer's first file.
  Overlap(Ctx& c, const scratch::BaseDir& base, PyObject* archive_path, PyObject* extractor, std::string model);
  Overlap(const Overlap&) = delete;
  Overlap& operator=(const Overlap&) = delete;
  // Stops the feed, waits for the extraction and removes the staging directory.
  ~Overlap();

  // The feed for the transfer; nullptr where no thread could be started.
  Feed* feed() noexcept { return started_ ? feed_.get() : nullptr; }

  // Once the transfer has returned true: waits for the extraction (without
  // the interpreter's lock; signals are handled) and returns its staging
  // directory, checked, when it extracted the whole file that is now
  // `archive_name` in the base directory; `strays` are the other top-level
  // entries it found. nullptr otherwise (nothing of it is left then).
  scratch::Staging* result(const std::string& archive_name, std::vector<std::string>& strays);

 private:
  void run(PyThreadState* state);
  bool extract(const Feed::Grant& grant);
  void wait_for_end();

  Ctx& c_;
  const scratch::BaseDir& base_;
  Ref archive_path_;
  Ref extractor_;
  std::string model_;
  std::shared_ptr<Feed> feed_;
  // written by the thread until `ended_`, read by the caller after it
  std::optional<scratch::Staging> staging_;
  std::vector<std::string> strays_;
  Feed::Grant read_;  // the generation extracted whole
  bool whole_ = false;
  std::mutex m_;
  std::condition_variable cv_;
  bool ended_ = false;
  bool started_ = false;  // a worker runs run(), until `ended_`
};

}  // namespace zelk::fetch
