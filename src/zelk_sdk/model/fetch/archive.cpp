// Model archive download and extraction.
#include "archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "download.hpp"
#include "extract.hpp"
#include "index.hpp"
#include "overlap.hpp"
#include "scratch.hpp"
#include "tar_header.hpp"
#include "tree_writer.hpp"
#include "xz_reader.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"cloud_url", "str", Exact::str}};

bool os_path_test(Ctx& c, PyObject* os, int fn, PyObject* p) {
  return truthy(call(getattr(getattr(os, c.interned(n::path)), c.interned(fn)), p));
}

// While the module's `tarfile` is the interpreter's own module with its own
// open, archives are read through the module's xz reader, and the checks
// below judge what tarfile read from it. A stand-in gets the statement as it
// is written: tarfile.open(tar_xz_file, "r|xz").
bool own_tarfile(Ctx& c, PyObject* tarfile) {
  if (tarfile != c.pinned(pin_tarfile)) return false;
  return rich_compare(getattr(tarfile, c.interned(n::open)), c.pinned(pin_tarfile_open), Py_EQ);
}

// os.remove(path) of the entry `name` of the base directory. While the
// module's `os` and its `remove` are what import found, the entry is removed
// through the base directory's descriptor (with the audit event os.remove
// raises); a stand-in gets the statement as written.
void remove_in_base(Ctx& c, const scratch::BaseDir& base, const std::string& name, PyObject* path) {
  Ref os = c.global(n::os);
  Ref remove = getattr(os, c.interned(n::remove));
  if (os.get() != c.pinned(pin_os) || remove.get() != c.pinned(pin_os_remove)) {
    call(remove, path);
    return;
  }
  check(PySys_Audit("os.remove", "Oi", path, base.fd()));
  if (unlinkat(base.fd(), name.c_str(), 0) != 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
  }
}

// True while the module's names that an extraction uses are what import
// found: tarfile and its open, _safe_extract, os, os.sep and the os.path
// functions the member checks call. Looks, never raises: a name that is missing is
// reported where the extraction reaches it.
bool own_extraction(Ctx& c) {
  auto bound = [&](int id) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(c.globals(), c.interned(id), &found) < 0) PyErr_Clear();
    return Ref::steal_or_null(found);
  };
  auto holds = [](PyObject* o, PyObject* name, PyObject* want) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &found) < 0) PyErr_Clear();
    Ref keep = Ref::steal_or_null(found);
    return keep.get() == want;
  };
  Ref tarfile = bound(n::tarfile);
  Ref extractor = bound(n::safe_extract);
  Ref os = bound(n::os);
  if (tarfile.get() != c.pinned(pin_tarfile) || os.get() != c.pinned(pin_os) ||
      !is_function_of(extractor.get(), c.module(), kSafeExtract) ||
      !holds(tarfile, c.interned(n::open), c.pinned(pin_tarfile_open))) {
    return false;
  }
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(os, c.interned(n::path), &found) < 0) PyErr_Clear();
  Ref os_path = Ref::steal_or_null(found);
  return os_path && holds(os, c.interned(n::sep), c.pinned(pin_os_sep)) &&
         holds(os_path, c.interned(n::abspath), c.pinned(pin_path_abspath)) &&
         holds(os_path, c.interned(n::join), c.pinned(pin_path_join)) &&
         holds(os_path, c.interned(n::dirname), c.pinned(pin_path_dirname));
}

// download_file(cloud_url=cloud_url, local_file=tar_xz_file), looked up now;
// the module's own makes its files through the base directory's descriptor.
// While the extraction is the module's own too, the archive is extracted into
// a staging directory as it arrives (`overlap`, see overlap.hpp); not in a
// subinterpreter: the interpreter's exit ends a subinterpreter that still
// has a thread state besides the caller's with a fatal error, and a daemon
// thread's fetch there would leave the extraction's. Nor while the
// interpreter exits (a fetch from a finalizer it runs): a thread that asks
// for the GIL then is ended.
Ref download(Ctx& c, const scratch::BaseDir& base, const std::string& name, PyObject* cloud_url, PyObject* tar_xz_file,
             std::optional<Overlap>& overlap, const std::string& model) {
  Ref downloader = c.global(n::download_file);
  const scratch::Place place{base.fd(), 0, base.path(), name};
  Feed* feed = nullptr;
  if (is_function_of(downloader, c.module(), kDownloadFile) && own_extraction(c) &&
      PyInterpreterState_Get() == PyInterpreterState_Main() && !Py_IsFinalizing()) {
    overlap.emplace(c, base, tar_xz_file, c.global(n::safe_extract), model);
    feed = overlap->feed();
  }
  if (Ref ok = download_into(c, downloader, cloud_url, tar_xz_file, place, feed)) return ok;
  return call(downloader, kw(c, n::cloud_url, cloud_url), kw(c, n::local_file, tar_xz_file));
}

// Extraction writes no more than the tar data, whose size the xz index states
// (with whatever follows the end-of-archive marker, which is decoded and
// checked too): an archive that states more than the base directory has free
// is refused before anything is decoded or written. The member headers and
// the rounding of each member to 512 bytes count as data here, and serve as
// the margin for what a file takes beyond its size. An archive whose index
// cannot be read goes on, and the reader reports what is wrong with it.
void check_free_space(const scratch::BaseDir& base, PyObject* reader) {
  const std::optional<std::uint64_t> need = xz::stated_size(reader);
  scratch::Space space;
  if (!need || !scratch::space_of(base.fd(), space) || *need <= space.free) return;
  scratch::raise_no_space(base.path(), *need, space.free);
}

// The same judgement of an archive that a stand-in for tarfile extracted: the
// file is read once more, through the module's reader and the interpreter's
// own tarfile, so that what is published does not depend on the stand-in.
void check_archive_file(Ctx& c, PyObject* reader, PyObject* tar_xz_file) {
  tar_header::HeaderBudget budget;
  Ref archive = call(c.pinned(pin_tarfile_open), tar_xz_file, text("r|"), kw(c, n::fileobj, reader),
                     kw(c, n::tarinfo, c.pinned(pin_TarInfo)));
  with(archive, c.interned(n::enter), c.interned(n::exit), [&](PyObject* f) { check_archive_complete(c, f, reader); });
}

// True when the archive that this call was about to use is gone because
// another call for the same model finished first (it publishes the model,
// then removes the archive): that model is then the result.
bool finished_by_another(Ctx& c, const PyErr& e, PyObject* model_dir) {
  return e.matches(c.pinned(pin_FileNotFoundError)) && os_path_test(c, c.global(n::os), n::isdir, model_dir);
}

Ref already_there(Ctx& c, PyObject* model_dir) {
  log_info(c, [&] { return textf("model dir already exists, skipping download - %U", fmt(model_dir).get()); });
  return optional_str(Ref::borrow(model_dir));
}

bool is_special_file(int dir_fd, const std::string& name) {
  struct stat st;
  return fstatat(dir_fd, name.c_str(), &st, 0) == 0 &&
         (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
}

Ref quoted_names(const std::vector<std::string>& names) {
  Ref list = Ref::steal(PyList_New(0));
  for (const std::string& name : names) check(PyList_Append(list, repr(scratch::decode_path(name))));
  return Ref::steal(PyUnicode_Join(text(", "), list));
}

// What an extraction ends with: the top-level entries besides the model are
// named, the model is published and its archive removed.
void install(Ctx& c, const scratch::BaseDir& base_dir, scratch::Staging& staging,
             const std::vector<std::string>& strays, PyObject* tar_xz_file, PyObject* model_dir,
             const std::string& model, const std::string& archive_name) {
  if (!strays.empty()) {
    log_warning(c, [&] {
      return textf("Ignored entries of %U outside the model directory - %U", fmt(tar_xz_file).get(),
                   quoted_names(strays).get());
    });
  }
  // The model is published before its archive is removed, so that a
  // concurrent call that finds the archive gone finds the model. (An
  // archive named like its model must make room for it first.)
  const bool same_path = rich_compare(tar_xz_file, model_dir, Py_EQ);
  if (!same_path) staging.publish(model);
  try {
    remove_in_base(c, base_dir, archive_name, tar_xz_file);
  } catch (PyErr& e) {
    // another call for the same model got there first
    if (!e.matches(c.pinned(pin_FileNotFoundError))) throw;
  }
  if (same_path) staging.publish(model);
}

// download_url(cloud_url) whose waits end at `deadline`; for the model key
// `key` (nullptr for none), the model it resolved to is recorded in the index.
Ref fetch_model(Ctx& c, PyObject* cloud_url, Deadline& deadline, PyObject* key) {
  AttemptScope attempt(deadline);
  try {
    Ref a = call(c.global(n::urlparse), cloud_url);
    Ref save_dir = c.global(n::BASE_MODEL_DIR);
    // The base directory is trusted only where nobody else can put something
    // in its place: what exists of its path is judged before anything is
    // made there, and it is opened by the same walk once it exists. From then
    // on, what the call makes, renames and removes in it goes through that
    // descriptor: a base directory renamed or replaced meanwhile never gets
    // anything written into it, and the archive extracted is the one this
    // call found or wrote.
    const std::string save_path = scratch::encode_path(save_dir);
    scratch::BaseDir::check(save_path);
    call(getattr(c.global(n::os), c.interned(n::makedirs)), save_dir, kw(c, n::exist_ok, Py_True));
    scratch::BaseDir base_dir(save_path);

    // One lookup of os and os.path serves the name statements that follow:
    // they run back to back, with only the parse result's `path` and str
    // methods between them (the statements after them look os up anew).
    Ref os = c.global(n::os);
    Ref os_path = getattr(os, c.interned(n::path));
    Ref url_path = getattr(a, c.interned(n::path));
    Ref base = call(getattr(os_path, c.interned(n::basename)), url_path);
    Ref model_name = call_method(base, c.interned(n::replace), text(".tar.xz"), text(""));
    Ref join = getattr(os_path, c.interned(n::join));
    Ref tar_xz_file = call(join, save_dir, base);
    Ref model_dir = call(join, save_dir, model_name);
    auto resolved = [&](Ref dir) {
      if (key != nullptr && dir.get() != Py_None) index::remember(c, base_dir, key, model_name);
      return dir;
    };

    // A URL whose last segment names no model would make the base directory
    // itself (or its parent) the "model"; one whose name is itself an archive
    // name ("bar.tar.x.tar.xzz" gives "bar.tar.xz") would remove another
    // model's archive as the file in the way of this model, and one named like
    // a scratch entry would be swept away by the next fetch.
    if (PyUnicode_Check(model_name.get()) &&
        (PyUnicode_GET_LENGTH(model_name.get()) == 0 || PyUnicode_CompareWithASCIIString(model_name, ".") == 0 ||
         PyUnicode_CompareWithASCIIString(model_name, "..") == 0 ||
         PyUnicode_Tailmatch(model_name, text(".tar.xz"), 0, PY_SSIZE_T_MAX, 1) == 1 ||
         scratch::is_scratch_name(scratch::encode_path(model_name).c_str()))) {
      raise(PyExc_ValueError, textf("the URL path %R names no model archive", url_path.get()).get());
    }

    if (os_path_test(c, c.global(n::os), n::isdir, model_dir)) return resolved(already_there(c, model_dir));

    const std::string model = scratch::encode_path(model_name);
    const std::string archive_name = scratch::encode_path(base);
    if (os_path_test(c, c.global(n::os), n::exists, model_dir)) {
      log_info(c, [&] { return textf("remove model file (not a directory) - %U", fmt(model_dir).get()); });
      remove_in_base(c, base_dir, model, model_dir);
    }

    // One fetch of this model at a time, across threads and processes: a call
    // that waited here finds what the one before it left, and reuses it as
    // any call reuses what is on disk.
    scratch::ModelLock model_lock(c, base_dir, model, deadline);
    if (!model_lock.foreign().empty()) {
      log_warning(c, [&] {
        return textf("fetching %U without its lock: %R is not a lock file of this module", fmt(model_name).get(),
                     scratch::decode_path(model_lock.foreign()).get());
      });
    }
    if (os_path_test(c, c.global(n::os), n::isdir, model_dir)) return resolved(already_there(c, model_dir));

    std::optional<Overlap> overlap;
    if (os_path_test(c, c.global(n::os), n::exists, tar_xz_file)) {
      log_info(c, [&] { return textf("tar.xz file already exists - %U", fmt(tar_xz_file).get()); });
      // A FIFO, socket or device in the archive's place is no archive, and
      // libmagic would open a FIFO and wait for a writer: it is downloaded
      // anew like an empty file.
      bool is_valid_tar = !is_special_file(base_dir.fd(), archive_name);
      if (is_valid_tar) {
        Ref ret;
        try {
          ret = call_method(c.global(n::fm), c.interned(n::from_file), tar_xz_file);
        } catch (PyErr& e) {
          if (e.is_exception() && finished_by_another(c, e, model_dir)) return resolved(already_there(c, model_dir));
          throw;
        }
        is_valid_tar = ret.get() != Py_None &&
                       rich_compare(call_method(ret, c.interned(n::find), text("empty")), integer(-1), Py_EQ);
      }
      if (!is_valid_tar) {
        log_info(c, [&] { return textf("tar.xz is invalid, re-downloading - %U", fmt(tar_xz_file).get()); });
        remove_in_base(c, base_dir, archive_name, tar_xz_file);
        if (!truthy(download(c, base_dir, archive_name, cloud_url, tar_xz_file, overlap, model))) return none();
      }
    } else {
      if (!truthy(download(c, base_dir, archive_name, cloud_url, tar_xz_file, overlap, model))) return none();
    }

    log_info(c, [&] { return textf("Extracting model file - %U to %U", fmt(tar_xz_file).get(), fmt(save_dir).get()); });
    try {
      // What was extracted while it arrived is published only if it is the
      // whole archive that is on disk now, and while the extraction is still
      // the module's own; otherwise the file on disk is extracted, as it
      // always was.
      std::vector<std::string> strays;
      scratch::Staging* early = overlap ? overlap->result(archive_name, strays) : nullptr;
      // (looked at once the extraction has ended: another thread may have
      // rebound a name while it ran)
      if (early && !own_extraction(c)) early = nullptr;
      if (early) {
        // the event that opening the archive raises, as below
        check(PySys_Audit("open", "Osi", tar_xz_file.get(), "rb", O_RDONLY | O_CLOEXEC));
        install(c, base_dir, *early, strays, tar_xz_file, model_dir, model, archive_name);
      } else {
        overlap.reset();
        // The archive is extracted into a private staging directory inside
        // the base directory; the model directory appears only once every
        // member is on disk and the tree has been checked, and nothing but
        // the model directory leaves the staging directory.
        Ref tarfile = c.global(n::tarfile);
        const bool own = own_tarfile(c, tarfile);
        std::optional<scratch::Staging> staged;
        tar_header::HeaderBudget budget;
        std::optional<writer::SpaceGuard> guard;
        Ref reader;
        Ref archive;
        try {
          // the module's reader, opened before anything is decoded or
          // written: tarfile reads through it, or it reads a stand-in's
          // archive once more
          reader = xz::open_at(c.pinned(pin_xz_reader_type), base_dir.fd(), archive_name, tar_xz_file,
                               c.pinned(pin_ReadError));
          check_free_space(base_dir, reader);
          guard.emplace(base_dir.fd(), base_dir.path(), xz::stated_size(reader).value_or(0));
          staged.emplace(base_dir);
          if (own) {
            archive = call(getattr(tarfile, c.interned(n::open)), tar_xz_file, text("r|"), kw(c, n::fileobj, reader),
                           kw(c, n::tarinfo, c.pinned(pin_TarInfo)));
          } else {
            archive = call(getattr(tarfile, c.interned(n::open)), tar_xz_file, text("r|xz"));
          }
        } catch (PyErr& e) {
          if (e.is_exception() && finished_by_another(c, e, model_dir)) return resolved(already_there(c, model_dir));
          throw;
        }
        scratch::Staging& staging = *staged;
        with(archive, c.interned(n::enter), c.interned(n::exit), [&](PyObject* f) {
          Ref extractor = c.global(n::safe_extract);
          Ref staging_path = staging.path();
          if (!extract_into(c, extractor, f, staging_path, staging.fd())) call(extractor, f, staging_path);
          if (own) {
            check_archive_complete(c, f, reader);
          } else {
            // a stand-in read the archive: it is judged all the same, by a
            // second reading of its own
            check_archive_file(c, reader, tar_xz_file);
          }
          install(c, base_dir, staging, staging.verify(model), tar_xz_file, model_dir, model, archive_name);
        });
      }
    } catch (PyErr& e) {
      if (!e.is_exception()) throw;
      overlap.reset();
      Handling handling(e);
      log_warning(
          c, [&] { return textf("Failed to extracting tarxz %U - %U", fmt(tar_xz_file).get(), str(e.value()).get()); });
      // where the base directory was replaced, its path names somebody
      // else's directory now: nothing is removed there
      if (!base_dir.still_named()) return none();
      try {
        remove_in_base(c, base_dir, archive_name, tar_xz_file);
      } catch (PyErr& removal) {
        if (!removal.matches(c.pinned(pin_OSError))) throw;
      }
      return none();
    }
    log_info(c, [&] { return text("Finished the downloading"); });
    return resolved(optional_str(model_dir));
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log_warning(c, [&] { return textf("Failed to download from %U - %U", cloud_url, str(e.value()).get()); });
    return none();
  }
}

Ref download_url(Ctx& c) {
  // called on its own, the call has DOWNLOAD_MODEL_TIMEOUT seconds from now
  Deadline deadline(Deadline::Clock::now());
  return fetch_model(c, c.arg(param(kParams, "cloud_url")), deadline, nullptr);
}

}  // namespace

// The most data an archive may hold after its end-of-archive marker.
constexpr std::size_t kMaxAfterEnd = std::size_t{64} << 20;

// tarfile's stream reader ends the member list quietly where a header is
// damaged or cut off, so the member list alone does not tell a whole archive
// from part of one. What the extractor left unread of the list is read here;
// the block where tarfile stopped must then be the end-of-archive marker (what
// follows it is ignored, as GNU tar ignores it), and the xz data must be whole
// and intact to its end.

void check_archive_complete(Ctx& c, PyObject* f, PyObject* reader) {
  for (Iter members(f); members.next();) {
  }
  Ref offset = getattr(f, c.interned(n::offset));
  const unsigned long long at = PyLong_AsUnsignedLongLong(offset);
  if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
  // what follows the marker is decoded to check it, but a tar writer pads
  // with a record at most: gigabytes of it are no model's
  // (a reader of a growing file has no index to ask: it stops decoding there)
  const std::optional<std::uint64_t> stated = xz::stated_size(reader);
  auto too_much_after = [&](std::uint64_t size) {
    raise(c.pinned(pin_ReadError),
          textf("the archive holds %llu MiB after its end-of-archive marker; a tar writer pads with %zu MiB at most",
                static_cast<unsigned long long>((size - at) >> 20), kMaxAfterEnd >> 20)
              .get());
  };
  if (stated && *stated > at && *stated - at > kMaxAfterEnd) too_much_after(*stated);
  switch (xz::block_at(reader, at)) {
    case xz::Block::zeros:
      break;
    case xz::Block::missing:
      raise(c.pinned(pin_ReadError), "truncated archive: the tar data ends before its end-of-archive marker");
    case xz::Block::data:
    case xz::Block::unknown:
      raise(c.pinned(pin_ReadError), "damaged archive: data follows the last member that could be read");
  }
  const std::uint64_t limit = stated ? UINT64_MAX : at + kMaxAfterEnd;
  const std::uint64_t decoded = xz::drain(reader, limit);
  if (decoded > limit) too_much_after(decoded);
}

Ref download_url_within(Ctx& c, PyObject* downloader, PyObject* cloud_url, Deadline& deadline, PyObject* key) {
  if (!is_function_of(downloader, c.module(), kDownloadUrl) || !PyUnicode_CheckExact(cloud_url)) return Ref();
  return fetch_model(c, cloud_url, deadline, key);
}

const FunctionDef kDownloadUrl = declare({
    .name = "download_url",
    .doc = "Download and extract a model archive from a signed URL.\n"
           "\n"
           "The archive <name>.tar.xz named by the URL's last path segment is stored\n"
           "under BASE_MODEL_DIR and extracted there; <name> is the model directory.\n"
           "What an earlier run left is reused: an existing model directory is returned\n"
           "at once, a non-empty archive is extracted without downloading it again.\n"
           "The model directory appears only complete: extraction goes to a staging\n"
           "directory that is moved into place when every member is on disk.\n"
           "Concurrent fetches of one model wait for each other; the wait ends, and\n"
           "the call fails, once DOWNLOAD_MODEL_TIMEOUT seconds have passed since the\n"
           "call began (since download_detection_model began, for its attempts).\n"
           "\n"
           "Args:\n"
           "    cloud_url: the URL of the model archive.\n"
           "\n"
           "Returns:\n"
           "    The model directory, or None on any failure (a warning is logged).\n",
    .params = params(kParams),
    .returns = "Optional[str]",
    .body = download_url,
});

}  // namespace zelk::fetch
