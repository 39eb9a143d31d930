// What a transfer has written of its file, told as it goes to a reader of the
// same file on another thread (plain C++, no interpreter).
//
// The transfer is the one that knows which bytes are the archive's: it offers
// a file (a descriptor of its own, duplicated) with the bytes it already
// holds, commits each chunk once it is in the file, and says when the file
// has become the archive (done) or when it gave up (stopped). A file that it
// replaces or truncates (the server sent another archive, the kept bytes of a
// broken transfer could not be continued) is withdrawn first: the generation
// number goes up, and a reader of the withdrawn generation learns that what
// it read is of no use. A reader never reads past the committed bytes of its
// own generation, and checks after each read that its generation is still
// the current one, so it sees exactly the bytes that end up in the archive.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "tree_ops.hpp"

namespace zelk::fetch {

class Feed {
 public:
  // One generation: the file to read (shared, so that withdrawing it never
  // closes a descriptor a read is using) and how many decoded bytes the
  // extraction may produce from it before it gives way (the room left on the
  // file system once the rest of the transfer has its place).
  struct Grant {
    std::shared_ptr<const tree::Fd> file;
    std::uint64_t generation = 0;
    std::uint64_t budget = 0;
  };
  // `none`: nothing came within a timed wait's limit.
  enum class Next { data, end, withdrawn, none };

  // The transfer's side. begin() offers the file `fd` (duplicated; the
  // caller keeps its own) that holds `have` bytes of the archive already.
  void begin(int fd, std::uint64_t have, std::uint64_t budget) noexcept;
  // The file offered so far is no longer the archive's start. Returns its
  // generation (0 where none was offered).
  std::uint64_t withdraw() noexcept;
  // Waits until the reader is done with the withdrawn `generation` (it never
  // took it, or it removed what it made of it). Blocks: call without the
  // interpreter's lock.
  void wait_released(std::uint64_t generation);
  void commit(std::uint64_t size) noexcept;
  // The file offered last is the archive now, whole.
  void finish() noexcept;
  // Nothing more comes (a failed transfer, or the call gives up).
  void stop() noexcept;

  // The reader's side. Waits for a generation to read; false when none will
  // come. Blocks: call without the interpreter's lock.
  bool attach(Grant& out);
  // Waits until the file of `generation` holds more than `pos` bytes
  // (`available` says how many) or has ended at `pos`; `withdrawn` when the
  // generation is no longer current or the transfer stopped.
  Next wait(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available);
  // The same, but `none` once `limit` has passed without a change.
  Next wait_for(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available, std::chrono::milliseconds limit);
  // The reader is done with `generation`: what it made of it is removed.
  void release(std::uint64_t generation) noexcept;
  // True when wait() would block now: the reader has caught up with the
  // transfer.
  bool starved(std::uint64_t generation, std::uint64_t pos);
  // True while `generation` is current and not stopped; without the lock,
  // so that a reader that decodes what it read already asks at every step
  // and gives up within one once the transfer stops or starts another file
  // (a step that may write gigabytes of a highly compressed member would
  // otherwise keep a Ctrl-C waiting).
  bool live(std::uint64_t generation) const noexcept { return !stopped_ && generation_ == generation; }
  // True when the transfer finished `generation` with exactly `size` bytes.
  bool finished_with(std::uint64_t generation, std::uint64_t size);

 private:
  Next next_locked(std::uint64_t generation, std::uint64_t pos, std::uint64_t& available) const noexcept;

  std::mutex m_;
  std::condition_variable cv_;
  std::shared_ptr<const tree::Fd> file_;
  // written under the lock, read without it by live()
  std::atomic<std::uint64_t> generation_{0};
  std::uint64_t committed_ = 0;
  std::uint64_t budget_ = 0;
  bool done_ = false;
  std::atomic<bool> stopped_{false};
  std::uint64_t attached_ = 0;  // the generation the reader took last
  std::uint64_t released_ = 0;  // the last one it is done with
};

}  // namespace zelk::fetch
