// Model archive download and extraction.
#include "common.hpp"
#include "scratch.hpp"

namespace zelk::fetch {
namespace {

bool os_path_test(Ctx& c, PyObject* os, int fn, PyObject* p) {
  return truthy(call(getattr(getattr(os, c.name(n::path)), c.name(fn)), p));
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
