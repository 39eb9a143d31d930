// The archive's xz data, decoded by liblzma and read by tarfile as a plain tar
// stream ("r|"). Unlike tarfile's own "r|xz", it reads concatenated xz streams
// and stream padding whole, as xz -d does, and it tells a cut or corrupt file
// from a complete one. It also keeps the last bytes that it handed out, so
// that what tarfile read at the end of the member list can be judged.
//
// The decoder runs within a bound of memory (128 MiB in a 32-bit process,
// 256 MiB otherwise): a file whose headers ask for more is refused as damaged
// data, before the decoder takes it. A threaded decoder that runs out of
// memory starts over on fewer threads, down to one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common.hpp"
#include "feed.hpp"

namespace zelk::fetch::xz {

// The reader type, created once per module at import (not bound in its
// namespace).
Ref create_type(PyObject* module);

// A reader over the file `path` (a str), opened now; OSError as open() raises
// it. `read_error` is the exception class of damaged data (tarfile.ReadError).
Ref open(PyObject* type, PyObject* path, PyObject* read_error);
// The same for `name` in the open directory `dir_fd`; `path` is what the
// reader, its errors and the audit event name.
Ref open_at(PyObject* type, int dir_fd, const std::string& name, PyObject* path, PyObject* read_error);

// A reader of the file that a transfer is writing (see feed.hpp), from its
// start: it reads only the bytes committed to `grant`'s generation, waits
// (without the interpreter's lock) for more, and its read raises `read_error`
// once the transfer withdraws that file or stops, or once the decoded data
// outgrows the grant's budget. Its stated_size() is unknown. While it waits
// for the transfer, it syncs the file system of the directory `flush_dir`
// (the extraction's) now and then.
Ref open_fed(PyObject* type, std::shared_ptr<Feed> feed, const Feed::Grant& grant, int flush_dir, PyObject* path,
             PyObject* read_error);

// The uncompressed size that the file's xz indexes state (read at open, from
// the file's end, without decoding): an upper bound of the tar data, trailing
// zeros included. Nothing where the indexes cannot be read (a cut or damaged
// file), which the decoding then reports.
std::optional<std::uint64_t> stated_size(PyObject* reader);

// What the decoded stream holds in the 512 bytes at `offset`.
enum class Block { zeros, data, missing, unknown };
Block block_at(PyObject* reader, std::uint64_t offset);

// Decodes the rest of the file, checking it, and throws away what it gives:
// raises tarfile.ReadError for cut or corrupt data. Stops once more than
// `limit` bytes were decoded in all; returns how many were.
std::uint64_t drain(PyObject* reader, std::uint64_t limit = UINT64_MAX);

}  // namespace zelk::fetch::xz
