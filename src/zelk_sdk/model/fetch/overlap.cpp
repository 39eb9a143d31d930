#include "overlap.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <system_error>
#include <utility>

#include "archive.hpp"
#include "extract.hpp"
#include "tar_header.hpp"
#include "tree_writer.hpp"
#include "xz_reader.hpp"

namespace zelk::fetch {

Overlap::Overlap(Ctx& c, const scratch::BaseDir& base, PyObject* archive_path, PyObject* extractor, std::string model)
    : c_(c),
      base_(base),
      archive_path_(Ref::borrow(archive_path)),
      extractor_(Ref::borrow(extractor)),
      model_(std::move(model)),
      feed_(std::make_shared<Feed>()) {
  // The thread runs in the caller's interpreter (which may be a
  // subinterpreter with a lock of its own), with a thread state made for it
  // here.
  PyThreadState* state = PyThreadState_New(PyInterpreterState_Get());
  if (state == nullptr) {
    PyErr_Clear();
    return;  // no thread: the archive is extracted once it is on disk
  }
  try {
    thread_ = std::thread([this, state] { run(state); });
  } catch (const std::system_error&) {
    PyThreadState_Clear(state);
    PyThreadState_Delete(state);
  }
}

Overlap::~Overlap() {
  feed_->stop();
  exit_barrier([this] { end_thread(); });
  staging_.reset();
}

void Overlap::end_thread() {
  if (!thread_.joinable()) return;
  if (unwound_at_exit()) {  // there is no GIL to release
    thread_.join();
    return;
  }
  Py_BEGIN_ALLOW_THREADS;
  thread_.join();
  Py_END_ALLOW_THREADS;
}

// Not noexcept: the interpreter ends this thread by unwinding it where it
// asks for the GIL during the interpreter's exit.
void Overlap::run(PyThreadState* state) {
  PyEval_RestoreThread(state);
  for (;;) {
    Feed::Grant grant;
    bool attached;
    Py_BEGIN_ALLOW_THREADS;
    attached = feed_->attach(grant);
    Py_END_ALLOW_THREADS;
    if (!attached) break;
    if (extract(grant)) {
      read_ = std::move(grant);
      whole_ = true;
      break;
    }
    staging_.reset();
    feed_->release(grant.generation);  // a transfer that starts over waits for this
    // a file withdrawn by a transfer that starts over is followed into the
    // next one, from its byte 0; any other failure ends the overlap
    if (feed_->live(grant.generation)) break;
  }
  {
    std::lock_guard lock(m_);
    ended_ = true;
  }
  cv_.notify_all();
  PyThreadState_Clear(state);
  PyThreadState_DeleteCurrent();
}

// The extraction of one generation of the transfer's file, with the checks of
// an archive on disk: the members through descriptors, the end-of-archive
// marker, the xz data whole to its end, the tree and its top-level entries.
bool Overlap::extract(const Feed::Grant& grant) {
  try {
    staging_.emplace(base_);
    Ref reader = xz::open_fed(c_.pinned(pin_xz_reader_type), feed_, grant, staging_->fd(), archive_path_,
                              c_.pinned(pin_ReadError));
    // this thread's reading of the archive, bounded as on disk; what it
    // writes must leave the transfer the room it still needs
    tar_header::HeaderBudget budget;
    writer::SpaceGuard guard(base_.fd(), base_.path(), grant.budget, true);
    ImportedNames names;
    Ref archive = call(c_.pinned(pin_tarfile_open), archive_path_, text("r|"), kw(c_, n::fileobj, reader),
                       kw(c_, n::tarinfo, c_.pinned(pin_TarInfo)));
    bool whole = false;
    with(archive, c_.interned(n::enter), c_.interned(n::exit), [&](PyObject* f) {
      Ref staging_path = staging_->path();
      if (!extract_into(c_, extractor_, f, staging_path, staging_->fd())) return;
      check_archive_complete(c_, f, reader);
      strays_ = staging_->verify(model_);
      whole = true;
    });
    return whole;
  } catch (PyErr&) {
    // whatever it was, the archive on disk will tell it again
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

scratch::Staging* Overlap::result(const std::string& archive_name, std::vector<std::string>& strays) {
  if (!thread_.joinable()) return nullptr;  // none could be started
  for (;;) {
    bool ended;
    Py_BEGIN_ALLOW_THREADS;
    {  // released before the interpreter's lock is taken back
      std::unique_lock lock(m_);
      ended = cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return ended_; });
    }
    Py_END_ALLOW_THREADS;
    if (ended) break;
    if (PyErr_CheckSignals() < 0) throw_error();
  }
  end_thread();
  // what was extracted must be the archive now on disk: the same file,
  // finished by the transfer at the size that the extraction read to its end
  struct stat named, read;
  if (whole_ && fstatat(base_.fd(), archive_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      fstat(read_.file->get(), &read) == 0 && S_ISREG(named.st_mode) && named.st_dev == read.st_dev &&
      named.st_ino == read.st_ino &&
      feed_->finished_with(read_.generation, static_cast<std::uint64_t>(named.st_size))) {
    strays = std::move(strays_);
    return &*staging_;
  }
  staging_.reset();
  return nullptr;
}

}  // namespace zelk::fetch
