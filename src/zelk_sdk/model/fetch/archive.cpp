// Model archive download and extraction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "common.hpp"
#include "scratch.hpp"

namespace zelk::fetch {
namespace {

bool os_path_test(Ctx& c, PyObject* os, int fn, PyObject* p) {
  return truthy(call(getattr(getattr(os, c.name(n::path)), c.name(fn)), p));
}

[[noreturn]] void damaged(Ctx& c, const char* what) {
  raise_instance(call(getattr(c.global(n::tarfile), c.name(n::ReadError)), text(what)));
}

std::uint32_t crc32(const unsigned char* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// True when the file ends with an xz stream footer (after the zero padding
// that may follow a stream) whose check value holds: the compressed data was
// not cut short.
bool ends_with_xz_footer(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = false;
  if (::fstat(fd, &st) == 0) {
    off_t end = st.st_size;
    unsigned char block[4096];
    // step back over the padding, a multiple of four zero bytes
    while (end >= 4) {
      const off_t from = std::max<off_t>(0, end - static_cast<off_t>(sizeof block));
      const ssize_t got = ::pread(fd, block, static_cast<std::size_t>(end - from), from);
      if (got != end - from) break;
      off_t i = got;
      while (i > 0 && block[i - 1] == 0) --i;
      end = from + i;
      if (i > 0 || from == 0) break;
    }
    unsigned char footer[12];
    // padding comes in whole groups of four
    if ((st.st_size - end) % 4 == 0 && end >= 24 && ::pread(fd, footer, sizeof footer, end - 12) == 12 &&
        footer[10] == 'Y' && footer[11] == 'Z') {
      const std::uint32_t stored = footer[0] | (footer[1] << 8) | (footer[2] << 16) | (std::uint32_t{footer[3]} << 24);
      ok = crc32(footer + 4, 6) == stored;
    }
  }
  ::close(fd);
  return ok;
}

// tarfile's stream reader ends the archive quietly where a member header is
// damaged or cut off, and stops decompressing where the compressed data
// stops: either would publish part of a model as the whole. After the last
// member there must be only the end-of-archive padding, and the file must end
// with a complete xz stream.
void check_archive_complete(Ctx& c, PyObject* f, PyObject* tar_xz_file) {
  Ref stream = Ref::steal_or_null(PyObject_GetAttr(f, c.name(n::fileobj)));
  if (!stream) {
    // not tarfile's archive object: nothing to drain
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
  }
  while (stream) {
    Ref chunk;
    try {
      chunk = call_method(stream, c.name(n::read), integer(65536));
    } catch (PyErr& e) {
      // data after the end of the xz stream: the stream itself is complete
      if (e.matches(PyExc_EOFError)) break;
      throw;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(chunk, &data, &size));
    if (size == 0) break;
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (data[i] != 0) damaged(c, "damaged archive: data follows the last member that could be read");
    }
  }
  if (!ends_with_xz_footer(scratch::encode_path(tar_xz_file))) {
    damaged(c, "truncated archive: the file does not end with a complete xz stream");
  }
}

Ref download_url(Ctx& c) {
  PyObject* cloud_url = c.arg(0);
  try {
    Ref a = call(c.global(n::urlparse), cloud_url);
    Ref save_dir = c.global(n::BASE_MODEL_DIR);
    call(getattr(c.global(n::os), c.name(n::makedirs)), save_dir, kw(c, n::exist_ok, Py_True));

    Ref os = c.global(n::os);
    Ref os_path = getattr(os, c.name(n::path));
    Ref url_path = getattr(a, c.name(n::path));
    Ref base = call(getattr(os_path, c.name(n::basename)), url_path);
    Ref model_name = call_method(base, c.name(n::replace), text(".tar.xz"), text(""));
    Ref join = getattr(os_path, c.name(n::join));
    Ref tar_xz_file = call(join, save_dir, base);
    Ref model_dir = call(join, save_dir, model_name);

    // A URL whose last segment names no model would make the base directory
    // itself (or its parent) the "model".
    if (PyUnicode_Check(model_name.get()) &&
        (PyUnicode_GET_LENGTH(model_name.get()) == 0 || PyUnicode_CompareWithASCIIString(model_name, ".") == 0 ||
         PyUnicode_CompareWithASCIIString(model_name, "..") == 0)) {
      raise(PyExc_ValueError, textf("the URL path %R names no model archive", url_path.get()).get());
    }

    if (os_path_test(c, c.global(n::os), n::isdir, model_dir)) {
      log_info(c, [&] { return textf("model dir already exists, skipping download - %U", fmt(model_dir).get()); });
      return optional_str(model_dir);
    }
    if (os_path_test(c, c.global(n::os), n::exists, model_dir)) {
      log_info(c, [&] { return textf("remove model file (not a directory) - %U", fmt(model_dir).get()); });
      call(getattr(c.global(n::os), c.name(n::remove)), model_dir);
    }

    if (os_path_test(c, c.global(n::os), n::exists, tar_xz_file)) {
      log_info(c, [&] { return textf("tar.xz file already exists - %U", fmt(tar_xz_file).get()); });
      Ref ret = call_method(c.global(n::fm), c.name(n::from_file), tar_xz_file);
      bool is_valid_tar =
          ret.get() != Py_None && rich_compare(call_method(ret, c.name(n::find), text("empty")), integer(-1), Py_EQ);
      if (!is_valid_tar) {
        log_info(c, [&] { return textf("tar.xz is invalid, re-downloading - %U", fmt(tar_xz_file).get()); });
        call(getattr(c.global(n::os), c.name(n::remove)), tar_xz_file);
        Ref ok = call(c.global(n::download_file), kw(c, n::cloud_url, cloud_url), kw(c, n::local_file, tar_xz_file));
        if (!truthy(ok)) return none();
      }
    } else {
      Ref ok = call(c.global(n::download_file), kw(c, n::cloud_url, cloud_url), kw(c, n::local_file, tar_xz_file));
      if (!truthy(ok)) return none();
    }

    log_info(c, [&] { return textf("Extracting model file - %U to %U", fmt(tar_xz_file).get(), fmt(save_dir).get()); });
    try {
      // The archive is extracted into a private staging directory inside the
      // base directory; the model directory appears only once every member is
      // on disk, so an interrupted extraction never leaves a partial model.
      scratch::Staging staging(scratch::encode_path(save_dir));
      Ref archive = call(getattr(c.global(n::tarfile), c.name(n::open)), tar_xz_file, text("r|xz"));
      with(archive, c.name(n::enter), c.name(n::exit), [&](PyObject* f) {
        call(c.global(n::safe_extract), f, staging.path());
        check_archive_complete(c, f, tar_xz_file);
        call(getattr(c.global(n::os), c.name(n::remove)), tar_xz_file);
      });
      staging.publish(scratch::encode_path(model_name));
    } catch (PyErr& e) {
      if (!e.is_exception()) throw;
      Handling handling(e);
      log_warning(
          c, [&] { return textf("Failed to extracting tarxz %U - %U", fmt(tar_xz_file).get(), str(e.value()).get()); });
      try {
        call(getattr(c.global(n::os), c.name(n::remove)), tar_xz_file);
      } catch (PyErr& removal) {
        if (!removal.matches(c.pinned(pin_OSError))) throw;
      }
      return none();
    }
    log_info(c, [&] { return text("Finished the downloading"); });
    return optional_str(model_dir);
  } catch (PyErr& e) {
    if (!e.is_exception()) throw;
    Handling handling(e);
    log_warning(c, [&] { return textf("Failed to download from %U - %U", cloud_url, str(e.value()).get()); });
    return none();
  }
}

constexpr Param kParams[] = {{"cloud_url", "str", Exact::str}};

}  // namespace

const FunctionDef kDownloadUrl = {
    "download_url",
    nullptr,
    "Download and extract a model archive from a signed URL.\n"
    "\n"
    "The archive <name>.tar.xz named by the URL's last path segment is stored\n"
    "under BASE_MODEL_DIR and extracted there; <name> is the model directory.\n"
    "What an earlier run left is reused: an existing model directory is returned\n"
    "at once, a non-empty archive is extracted without downloading it again.\n"
    "The model directory appears only complete: extraction goes to a staging\n"
    "directory that is moved into place when every member is on disk.\n"
    "\n"
    "Args:\n"
    "    cloud_url: the URL of the model archive.\n"
    "\n"
    "Returns:\n"
    "    The model directory, or None on any failure (a warning is logged).\n",
    kParams,
    1,
    "Optional[str]",
    ArgStyle::compiled,
    download_url,
    __FILE__,
    __LINE__,
};

}  // namespace zelk::fetch
