#include "overlap.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "archive.hpp"
#include "extract.hpp"
#include "per_process.hpp"
#include "tar_header.hpp"
#include "tree_writer.hpp"
#include "xz_reader.hpp"

namespace zelk::fetch {
namespace {

// The threads that extract while a transfer runs: one is made when none is
// idle, and kept a while for the next fetch. User-mode emulation keeps part
// of every thread's memory for good (about 170 KiB), and a device saves the
// thread's start. One set per process (of_this_process).
class Workers {
 public:
  // Runs `job` on a worker; false where no thread could be had.
  bool run(std::function<void()> job) {
    std::lock_guard lock(m_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() <= idle_) {
      wake_.notify_one();
      return true;
    }
    try {
      std::thread([this] { work(); }).detach();
    } catch (const std::system_error&) {
      jobs_.pop_back();
      return false;
    }
    return true;
  }

 private:
  static constexpr std::chrono::seconds kIdle{60};

  // Not noexcept: a job that the interpreter ends at its exit unwinds
  // through here, and the thread ends.
  void work() {
    std::unique_lock lock(m_);
    for (;;) {
      ++idle_;
      const bool given = wake_.wait_for(lock, kIdle, [this] { return !jobs_.empty(); });
      --idle_;
      if (!given) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex m_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::size_t idle_ = 0;
};

}  // namespace

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
    started_ = of_this_process<Workers>().run([this, state] { run(state); });
  } catch (const std::bad_alloc&) {
    started_ = false;
  }
  if (!started_) {
    PyThreadState_Clear(state);
    PyThreadState_Delete(state);
  }
}

Overlap::~Overlap() {
  feed_->stop();
  exit_barrier([this] { wait_for_end(); });
  staging_.reset();
}

void Overlap::wait_for_end() {
  if (!started_) return;
  auto ended = [this] {
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return ended_; });
  };
  if (unwound_at_exit()) {  // there is no GIL to release
    ended();
    return;
  }
  Py_BEGIN_ALLOW_THREADS;
  ended();
  Py_END_ALLOW_THREADS;
}

// Not noexcept: the interpreter ends this thread by unwinding it where it
// asks for the GIL during the interpreter's exit.
void Overlap::run(PyThreadState* state) {
  // The end is marked last, and also when the interpreter's exit unwinds
  // this job (its thread state is gone with the interpreter then): the
  // caller waits for the mark, and may destroy this object once it sees it.
  struct EndMark {
    Overlap& o;
    ~EndMark() {
      std::lock_guard lock(o.m_);
      o.ended_ = true;
      o.cv_.notify_all();
    }
  } end_mark{*this};
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
  if (!started_) return nullptr;  // none could be started
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
