#include "xz_reader.hpp"

#include <fcntl.h>
#include <lzma.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "feed.hpp"
#include "native.hpp"
#include "scratch.hpp"

namespace zelk::fetch::xz {
namespace {

constexpr std::size_t kInputSize = 1 << 16;
// what is kept of the decoded data last handed out: far more than tarfile
// reads past the header it looks at (one record of 10 KiB)
constexpr std::size_t kTailBytes = 1 << 16;
// below malloc's mmap threshold: a piece of heap reused from call to call
constexpr std::size_t kDrainSize = 1 << 16;
constexpr int kBlock = 512;
// how much decoded data a reader of a growing file lets pile up unsynced
// while it waits for the network
constexpr std::uint64_t kFlushEvery = std::uint64_t{8} << 20;
// how long a reader of a growing file that has caught up with the transfer
// waits for a threaded decoder's output, or for the transfer, before it asks
// the other once more
constexpr std::chrono::milliseconds kFedPoll{20};

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
// The most memory one decoder may take, its threads' buffers included: a
// 32-bit process shares its address space with the interpreter and the
// extraction. Far above what an archive of xz's presets needs (9 MiB for -6,
// 65 MiB for -9 and -9e), far below what an xz header may ask for (a
// dictionary of 1.5 GiB, filled by a small file of zeros).
constexpr std::uint64_t kMemoryLimit32 = 128 * kMiB;
constexpr std::uint64_t kMemoryLimit64 = 256 * kMiB;
constexpr std::uint64_t kMemoryLimit = sizeof(void*) < 8 ? kMemoryLimit32 : kMemoryLimit64;

// `withdrawn`: the transfer that a reader of a growing file follows gave the
// file up (or started another), or the decoded data outgrew its budget.
enum class Status { ok, end, truncated, corrupt, memory, memlimit, io, withdrawn };

// The cores this process may run on.
std::uint32_t usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::uint32_t>(std::max(1, CPU_COUNT(&set)));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint32_t>(online) : 1;
}

// How much memory more decoding threads may take before liblzma uses fewer
// of them (down to one, which needs no buffer of a block's size): a quarter
// of the machine's memory, and no more than kMemoryLimit. Each thread holds a
// whole block, so the bound is what keeps an archive of a few huge blocks (a
// small file of gigabytes of zeros) from taking gigabytes: its blocks are
// decoded one at a time instead.
std::uint64_t threading_memory() {
  std::uint64_t limit = lzma_physmem() / 4;
  if (limit == 0) limit = 64 * kMiB;
  return std::min(limit, kMemoryLimit);
}

// True when the file's first block header states the block's sizes, as the
// threaded encoder writes them: only such blocks can be decoded side by side.
// A file written in one thread (tarfile, xz -T1) has none, and decoding it
// with the threaded decoder would only start a thread that does nothing.
bool has_sized_blocks(int fd) {
  unsigned char head[14];
  if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return false;
  static constexpr unsigned char kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || head[12] == 0) return false;
  return (head[13] & 0xC0) == 0xC0;  // compressed and uncompressed size present
}

// A decoder for concatenated streams and their padding, on at most `threads`
// threads as the file's blocks and the memory allow, and within kMemoryLimit
// either way: a file that needs more fails with LZMA_MEMLIMIT_ERROR before
// the decoder takes it. A threaded decoder that cannot be set up gives way
// to the single-threaded one.
lzma_ret start_decoder(lzma_stream* strm, std::uint32_t threads, std::uint32_t timeout_ms = 0) {
  if (threads > 1) {
    lzma_mt mt{};
    mt.flags = LZMA_CONCATENATED;
    mt.threads = threads;
    // lzma_code runs without the GIL: it may block as long as decoding takes
    // (a reader of a growing file asks it for output without input, and
    // waits for the transfer instead where none comes within `timeout_ms`)
    mt.timeout = timeout_ms;
    mt.memlimit_threading = threading_memory();
    mt.memlimit_stop = kMemoryLimit;
    if (lzma_stream_decoder_mt(strm, &mt) == LZMA_OK) return LZMA_OK;
  }
  return lzma_stream_decoder(strm, kMemoryLimit, LZMA_CONCATENATED);
}

// The uncompressed size that the file's xz indexes state, all streams
// together, read backwards from its end (stream footers, indexes, stream
// headers) without decoding any block: an upper bound of the tar data.
// Nothing where the file is cut, damaged, or no xz file: the decoding then
// tells what is wrong. `buf` holds kInputSize bytes.
std::optional<std::uint64_t> read_stated_size(int fd, std::uint8_t* buf) noexcept {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::nullopt;
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (lzma_file_info_decoder(&s, &index, kMemoryLimit, static_cast<std::uint64_t>(st.st_size)) != LZMA_OK) {
    return std::nullopt;
  }
  std::optional<std::uint64_t> size;
  std::uint64_t pos = 0;
  for (;;) {
    if (s.avail_in == 0) {
      const ssize_t got = ::pread(fd, buf, kInputSize, static_cast<off_t>(pos));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      s.next_in = buf;
      s.avail_in = static_cast<std::size_t>(got);
      pos += static_cast<std::uint64_t>(got);
    }
    const lzma_ret r = lzma_code(&s, LZMA_RUN);
    if (r == LZMA_SEEK_NEEDED) {
      pos = s.seek_pos;
      s.avail_in = 0;
    } else if (r == LZMA_STREAM_END) {
      size = lzma_index_uncompressed_size(index);
      lzma_index_end(index, nullptr);
      break;
    } else if (r != LZMA_OK) {
      break;
    }
  }
  lzma_end(&s);
  return size;
}

// MemoryError with words: a bare one reads as an empty reason in a log line.
[[noreturn]] void raise_no_memory() { raise(PyExc_MemoryError, "not enough memory to decode the archive"); }

struct Reader {
  int fd = -1;
  // Reading a file while a transfer writes it: the bytes it has committed
  // are read, and nothing else (fd is then the grant's, not closed here).
  std::shared_ptr<Feed> feed;
  Feed::Grant grant;
  std::uint64_t in_pos = 0;  // where the next input is read from
  // What the extraction wrote is pushed to the disk while the reader waits
  // for the network (syncfs of this directory's file system), so that little
  // is left to sync at the end.
  tree::Fd flush_dir;
  std::uint64_t flushed_at = 0;  // decoded bytes at the last push
  lzma_stream strm = LZMA_STREAM_INIT;
  bool decoder_ready = false;
  std::uint32_t threads = 1;  // what the decoder may use; fewer after it ran out of memory
  std::unique_ptr<std::uint8_t[]> input;
  bool input_done = false;  // the file has been read to its end
  bool finished = false;    // the decoder reached the end of the last stream
  bool busy = false;
  bool truncated = false;  // the file ended inside the xz data
  int io_errno = 0;
  std::uint64_t memory_needed = 0;  // what a file over kMemoryLimit asked for
  std::optional<std::uint64_t> stated_size;
  std::uint64_t delivered = 0;  // decoded bytes handed out so far
  // After a restart, the decoder's output up to here was handed out already
  // and is decoded again only to be thrown away, into `skip`.
  std::uint64_t resume_at = 0;
  std::unique_ptr<std::uint8_t[]> skip;
  std::deque<std::pair<std::uint64_t, Ref>> tail;
  std::size_t tail_size = 0;
  Ref name;
  Ref read_error;

  Reader() noexcept = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (decoder_ready) lzma_end(&strm);
    if (fd >= 0 && !feed) ::close(fd);
  }

  // The threaded decoder ran out of memory (a thread or a block's buffer it
  // could not get, as under a limit of the address space), or met a block
  // over kMemoryLimit (it cannot tell how much that block needs; the
  // single-threaded decoder can): the decoding starts over from the file's
  // start on `fewer` threads, and what was handed out already is decoded
  // again and thrown away. False where even that cannot be set up.
  bool restart_on(std::uint32_t fewer) noexcept {
    const std::uint64_t done = std::max<std::uint64_t>(strm.total_out, resume_at);
    lzma_end(&strm);
    strm = LZMA_STREAM_INIT;
    decoder_ready = false;
    threads = fewer;
    if (done > 0 && !skip) skip.reset(new (std::nothrow) std::uint8_t[kDrainSize]);
    if ((done > 0 && !skip) || start_decoder(&strm, threads) != LZMA_OK) return false;
    decoder_ready = true;
    in_pos = 0;
    strm.avail_in = 0;
    input_done = false;
    resume_at = done;
    return true;
  }

  // A reader of a growing file sets its decoder up once the first block
  // header is there (or the file has ended): how many threads it may use
  // depends on it.
  Status start_fed() noexcept {
    constexpr std::uint64_t kHead = 14;
    std::uint64_t have = 0;
    while (have < kHead) {
      std::uint64_t more = 0;
      const Feed::Next next = feed->wait(grant.generation, have, more);
      if (next == Feed::Next::withdrawn) return Status::withdrawn;
      if (next == Feed::Next::end) break;
      have += more;
    }
    threads = has_sized_blocks(fd) ? usable_cores() : 1;
    const lzma_ret ret = start_decoder(&strm, threads, static_cast<std::uint32_t>(kFedPoll.count()));
    if (ret == LZMA_MEM_ERROR) return Status::memory;
    if (ret != LZMA_OK) return Status::corrupt;
    decoder_ready = true;
    return Status::ok;
  }

  // Fills out[0, size) as far as the data goes; `produced` says how far.
  // Plain C work on the reader's own state: runs without the GIL.
  Status decode(std::uint8_t* out, std::size_t size, std::size_t& produced) noexcept {
    produced = 0;
    if (finished) return Status::end;
    if (!decoder_ready) {
      const Status started = start_fed();
      if (started != Status::ok) return started;
    }
    strm.next_out = out;
    strm.avail_out = size;
    int idle = 0;
    bool polled = false;  // the decoder was asked since the last wait for the transfer
    Status status = Status::ok;
    while (strm.avail_out > 0) {
      if (feed && !feed->live(grant.generation)) {
        status = Status::withdrawn;
        break;
      }
      // a reader of a growing file: what the feed has beyond in_pos, and
      // whether the file ended there
      std::uint64_t fed = 0;
      bool feed_end = false;
      bool poll = false;  // ask the decoder for output, with no new input
      if (strm.avail_in == 0 && !input_done && feed) {
        Feed::Next next = Feed::Next::none;
        if (!feed->starved(grant.generation, in_pos)) {
          next = feed->wait(grant.generation, in_pos, fed);
        } else if (strm.avail_out < size) {
          // caught up with the transfer: what is decoded goes to the
          // extraction now, not once more bytes arrive
          break;
        } else if (threads > 1 && !polled) {
          // the decoder's threads go on with the input they have: their
          // output is asked for (the decoder waits up to kFedPoll for it)
          // before the reader waits for the transfer
          polled = poll = true;
        } else {
          if (flush_dir && strm.total_out - flushed_at >= kFlushEvery) {
            ::syncfs(flush_dir.get());
            flushed_at = strm.total_out;
          }
          if (threads > 1) {
            next = feed->wait_for(grant.generation, in_pos, fed, kFedPoll);
            if (next == Feed::Next::none) {
              polled = false;
              continue;
            }
          } else {
            next = feed->wait(grant.generation, in_pos, fed);
          }
        }
        if (next == Feed::Next::withdrawn) {
          status = Status::withdrawn;
          break;
        }
        feed_end = next == Feed::Next::end;
      }
      if (strm.avail_in == 0 && !input_done && !poll) {
        std::size_t want = kInputSize;
        if (feed) want = feed_end ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(want, fed));
        ssize_t got = want == 0 ? 0 : ::pread(fd, input.get(), want, static_cast<off_t>(in_pos));
        if (got < 0) {
          if (errno == EINTR) continue;
          io_errno = errno;
          status = Status::io;
          break;
        }
        // what was read counts only if the transfer did not withdraw the
        // file meanwhile (it does so before it truncates or replaces it)
        if (feed && ((got == 0 && want > 0) || !feed->live(grant.generation))) {
          status = Status::withdrawn;
          break;
        }
        if (got == 0) {
          input_done = true;
        } else {
          strm.next_in = input.get();
          strm.avail_in = static_cast<std::size_t>(got);
          in_pos += static_cast<std::uint64_t>(got);
        }
      }
      const std::size_t in_before = strm.avail_in;
      const std::uint64_t out_before = strm.total_out;
      const auto called = std::chrono::steady_clock::now();
      lzma_ret r;
      if (strm.total_out < resume_at) {
        std::uint8_t* const next_out = strm.next_out;
        const std::size_t avail_out = strm.avail_out;
        strm.next_out = skip.get();
        strm.avail_out = static_cast<std::size_t>(std::min<std::uint64_t>(kDrainSize, resume_at - strm.total_out));
        r = lzma_code(&strm, input_done ? LZMA_FINISH : LZMA_RUN);
        strm.next_out = next_out;
        strm.avail_out = avail_out;
        // the same file decodes to the same data: it cannot end sooner
        if (r == LZMA_STREAM_END) r = LZMA_DATA_ERROR;
      } else {
        r = lzma_code(&strm, input_done ? LZMA_FINISH : LZMA_RUN);
      }
      // liblzma says that no progress was possible twice in a row as a
      // buffer error: for a poll without input that is no fault of the data
      if (poll && r == LZMA_BUF_ERROR) r = LZMA_OK;
      if (feed && strm.total_out > grant.budget) {
        status = Status::withdrawn;
        break;
      }
      if (r == LZMA_STREAM_END) {
        finished = true;
        status = Status::end;
        break;
      }
      if (r == LZMA_OK) {
        // liblzma reports an input that ends inside a stream as a lack of
        // progress once it has nothing more to read
        // (a threaded decoder of a growing file that waited out its timeout
        // for its threads made no progress yet, but the data goes on)
        const bool waited = feed && threads > 1 && std::chrono::steady_clock::now() - called >= kFedPoll / 2;
        if (input_done && strm.avail_in == in_before && strm.total_out == out_before && !waited && ++idle > 2) {
          status = Status::truncated;
          break;
        }
        continue;
      }
      if ((r == LZMA_MEM_ERROR || r == LZMA_MEMLIMIT_ERROR) && threads > 1) {
        const std::size_t avail_out = strm.avail_out;
        const bool restarted = restart_on(r == LZMA_MEM_ERROR ? threads / 2 : 1);
        strm.next_out = out + (size - avail_out);
        strm.avail_out = avail_out;
        if (restarted) continue;
        status = Status::memory;
        break;
      }
      if (r == LZMA_BUF_ERROR && input_done) {
        status = Status::truncated;
      } else if (r == LZMA_MEM_ERROR) {
        status = Status::memory;
      } else if (r == LZMA_MEMLIMIT_ERROR) {
        memory_needed = lzma_memusage(&strm);
        status = Status::memlimit;
      } else {
        status = Status::corrupt;
      }
      break;
    }
    produced = size - strm.avail_out;
    return status;
  }

  // Raises the error that `status` stands for; returns for ok and end.
  void raise_for(Status status) const {
    switch (status) {
      case Status::ok:
      case Status::end:
        return;
      case Status::truncated:
        raise(read_error, "truncated archive: the file does not end with a complete xz stream");
      case Status::corrupt:
        // as tarfile's own xz reader words it
        raise(read_error, "invalid compressed data");
      case Status::memory:
        raise_no_memory();
      case Status::memlimit:
        raise(read_error, textf("the archive needs %llu MiB of memory to decode; the limit is %llu MiB",
                                static_cast<unsigned long long>((memory_needed + kMiB - 1) / kMiB),
                                static_cast<unsigned long long>(kMemoryLimit / kMiB))
                              .get());
      case Status::withdrawn:
        raise(read_error, "the transfer gave up the file that was being read");
      case Status::io:
        errno = io_errno;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
        throw_error();
    }
  }

  void keep(Ref chunk, std::size_t size) {
    tail.emplace_back(delivered, std::move(chunk));
    tail_size += size;
    delivered += size;
    while (tail.size() > 1 &&
           tail_size - static_cast<std::size_t>(PyBytes_GET_SIZE(tail.front().second.get())) >= kTailBytes) {
      tail_size -= static_cast<std::size_t>(PyBytes_GET_SIZE(tail.front().second.get()));
      tail.pop_front();
    }
  }

  // Up to `size` decoded bytes as a new bytes object (fewer only at the end).
  Ref read(std::size_t size) {
    if (busy) raise(PyExc_RuntimeError, "reentrant call to the archive reader");
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    std::size_t produced = 0;
    Status status;
    busy = true;
    Py_BEGIN_ALLOW_THREADS;
    status = decode(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), size, produced);
    Py_END_ALLOW_THREADS;
    busy = false;
    // A file that ends inside the xz data reads as the end of the data, so
    // that tarfile words what that cuts short ("unexpected end of data"), as
    // its own reader would; block_at() and drain() still tell it.
    if (status == Status::truncated) {
      truncated = true;
    } else {
      raise_for(status);
    }
    if (produced < size) {
      out = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(out.get()), static_cast<Py_ssize_t>(produced)));
    }
    if (produced > 0) keep(out, produced);
    return out;
  }
};

Reader& reader_of(PyObject* o) { return native<Reader>(o); }

PyObject* reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    Reader& r = reader_of(self);
    if (nargs > 1) raise(PyExc_TypeError, "read() takes at most 1 argument");
    Py_ssize_t size = -1;
    if (nargs == 1 && args[0] != Py_None) {
      size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
      if (size == -1 && PyErr_Occurred()) throw_error();
    }
    if (size >= 0) return r.read(static_cast<std::size_t>(size));
    // everything that is left
    Ref parts = Ref::steal(PyList_New(0));
    for (;;) {
      Ref chunk = r.read(kDrainSize);
      if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
      check(PyList_Append(parts, chunk));
    }
    return call_method(Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)), text("join").get(), parts);
  });
}

PyObject* reader_readable(PyObject*, PyObject*) { return Py_NewRef(Py_True); }

PyObject* reader_name(PyObject* self, void*) { return Py_NewRef(reader_of(self).name.get()); }

PyMethodDef kMethods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read)), METH_FASTCALL,
     "read(size=-1, /)\n--\n\nUp to size bytes of the decoded archive."},
    {"readable", reader_readable, METH_NOARGS, "readable($self, /)\n--\n\nTrue."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"name", reader_name, nullptr, "The archive's path.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref create_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("The decoded data of a .tar.xz archive, read once from its start.")},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetSet},
      {0, nullptr},
  };
  return native_type<Reader>(module, "zelk_sdk.model.fetch.XzReader", slots, sizeof slots / sizeof slots[0]);
}

Ref open(PyObject* type, PyObject* path, PyObject* read_error) {
  return open_at(type, AT_FDCWD, scratch::encode_path(path), path, read_error);
}

Ref open_at(PyObject* type, int dir_fd, const std::string& name, PyObject* path, PyObject* read_error) {
  // the event that open() raises, for the process's audit hooks
  const int flags = O_RDONLY | O_CLOEXEC;
  check(PySys_Audit("open", "Osi", path, "rb", flags));
  // opened without waiting (a FIFO in its place would block the open until a
  // writer comes), and read only if it is a regular file
  bool regular = false;
  Ref o = native_new<Reader>(type);
  Reader& r = reader_of(o);
  r.name = Ref::borrow(path);
  r.read_error = Ref::borrow(read_error);
  int fd;
  Py_BEGIN_ALLOW_THREADS;
  fd = openat(dir_fd, name.c_str(), flags | O_NONBLOCK);
  if (fd >= 0) {
    struct stat st;
    regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  Py_END_ALLOW_THREADS;
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
  }
  r.fd = fd;
  if (!regular) raise(read_error, "the archive is not a regular file");
  r.input.reset(new std::uint8_t[kInputSize]);
  lzma_ret ret;
  Py_BEGIN_ALLOW_THREADS;
  r.stated_size = read_stated_size(fd, r.input.get());
  r.threads = has_sized_blocks(fd) ? usable_cores() : 1;
  ret = start_decoder(&r.strm, r.threads);
  Py_END_ALLOW_THREADS;
  if (ret == LZMA_MEM_ERROR) raise_no_memory();
  if (ret != LZMA_OK) raise(PyExc_SystemError, "the xz decoder could not be set up");
  r.decoder_ready = true;
  return o;
}

Ref open_fed(PyObject* type, std::shared_ptr<Feed> feed, const Feed::Grant& grant, int flush_dir, PyObject* path,
             PyObject* read_error) {
  Ref o = native_new<Reader>(type);
  Reader& r = reader_of(o);
  r.name = Ref::borrow(path);
  r.read_error = Ref::borrow(read_error);
  r.feed = std::move(feed);
  r.grant = grant;
  r.fd = grant.file->get();
  r.flush_dir.reset(fcntl(flush_dir, F_DUPFD_CLOEXEC, 0));
  r.input.reset(new std::uint8_t[kInputSize]);
  return o;
}

Block block_at(PyObject* reader, std::uint64_t offset) {
  Reader& r = reader_of(reader);
  // the block may not have been asked for yet
  while (r.delivered < offset + kBlock && !r.finished) {
    Ref chunk = r.read(static_cast<std::size_t>(std::min<std::uint64_t>(kTailBytes, offset + kBlock - r.delivered)));
    if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
  }
  if (r.truncated) r.raise_for(Status::truncated);
  if (r.delivered < offset + kBlock) return Block::missing;
  if (r.tail.empty() || r.tail.front().first > offset) return Block::unknown;
  // the block may span several of the kept pieces
  int seen = 0;
  for (const auto& [start, chunk] : r.tail) {
    const std::uint64_t end = start + static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.get()));
    if (end <= offset + static_cast<std::uint64_t>(seen)) continue;
    const char* data = PyBytes_AS_STRING(chunk.get());
    for (std::uint64_t pos = offset + static_cast<std::uint64_t>(seen); pos < end && seen < kBlock; ++pos, ++seen) {
      if (data[pos - start] != 0) return Block::data;
    }
    if (seen == kBlock) break;
  }
  return Block::zeros;
}

std::optional<std::uint64_t> stated_size(PyObject* reader) { return reader_of(reader).stated_size; }

std::uint64_t drain(PyObject* reader, std::uint64_t limit) {
  Reader& r = reader_of(reader);
  if (r.busy) raise(PyExc_RuntimeError, "reentrant call to the archive reader");
  std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[kDrainSize]);
  Status status = Status::ok;
  r.busy = true;
  Py_BEGIN_ALLOW_THREADS;
  while (status == Status::ok && r.delivered <= limit) {
    std::size_t produced = 0;
    status = r.decode(scratch.get(), kDrainSize, produced);
    r.delivered += produced;
  }
  Py_END_ALLOW_THREADS;
  r.busy = false;
  r.raise_for(status);
  return r.delivered;
}

}  // namespace zelk::fetch::xz
