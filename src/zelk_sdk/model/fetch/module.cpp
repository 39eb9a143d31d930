// zelk_sdk.model.fetch: the import statements and bindings, in their order.
#include "answer_watch.hpp"
#include "common.hpp"
#include "tar_header.hpp"
#include "xz_reader.hpp"

namespace zelk::fetch {
namespace {

constexpr const char* kModuleDoc =
    "Model download and extraction utilities for the platform's application containers.\n"
    "\n"
    "This module handles the whole lifecycle of fetching a detection model:\n"
    "\n"
    "- resolving the signed download link from the platform backend's model-URL\n"
    "  service with the device token, or accepting a direct HTTP(S) URL;\n"
    "- streaming the .tar.xz archive to disk in 1 MiB chunks with progress lines;\n"
    "- safe tar extraction that refuses path-traversal members;\n"
    "- basic model-type detection of an extracted model directory.\n"
    "\n"
    "The backend host comes from the environment variable SERVER_HOST, read by\n"
    "zelk_sdk.constants. A model directory or archive already on disk is reused.\n";

void exec(PyObject* m, FrameState& fs) {
  import_module(m, "os");
  import_module(m, "time");
  import_module(m, "shutil");
  import_module(m, "requests");
  import_module(m, "tarfile");
  import_module(m, "json");
  import_module(m, "magic");
  import_from(m, "typing", {"Optional"});
  import_from(m, "urllib.parse", {"urlparse"});
  import_from(m, "zelk_sdk.logging", {"get_logger"});
  import_from(m, "zelk_sdk.constants", {"MODEL_TYPE"});
  import_from(m, "zelk_sdk.constants.variables", {"TOKEN_FILE"});
  import_from(m, "zelk_sdk.constants", {"BASE_MODEL_DIR", "MODEL_URL"});

  // open and OSError are resolved once, here, and used as resolved
  PyObject* globals = PyModule_GetDict(m);
  fs.pin(pin_open, Ctx::lookup_global(globals, fs.builtins, text("open")));
  fs.pin(pin_OSError, Ctx::lookup_global(globals, fs.builtins, text("OSError")));

  Ref os = Ctx::lookup_global(globals, fs.builtins, fs.names[n::os]);
  Ref os_path = getattr(os, fs.names[n::path]);
  fs.pin(pin_path_join, getattr(os_path, fs.names[n::join]));
  fs.pin(pin_path_isfile, getattr(os_path, fs.names[n::isfile]));
  fs.pin(pin_path_isdir, getattr(os_path, fs.names[n::isdir]));
  fs.pin(pin_path_splitext, getattr(os_path, fs.names[n::splitext]));
  fs.pin(pin_path_abspath, getattr(os_path, fs.names[n::abspath]));
  fs.pin(pin_path_dirname, getattr(os_path, fs.names[n::dirname]));
  fs.pin(pin_os_sep, getattr(os, fs.names[n::sep]));
  fs.pin(pin_os, os);
  fs.pin(pin_os_stat, getattr(os, fs.names[n::stat]));
  fs.pin(pin_os_remove, getattr(os, fs.names[n::remove]));
  Ref tarfile = Ctx::lookup_global(globals, fs.builtins, fs.names[n::tarfile]);
  fs.pin(pin_tarfile, tarfile);
  fs.pin(pin_tarfile_open, getattr(tarfile, fs.names[n::open]));
  fs.pin(pin_ReadError, getattr(tarfile, fs.names[n::ReadError]));
  fs.pin(pin_FileNotFoundError, Ctx::lookup_global(globals, fs.builtins, fs.names[n::FileNotFoundError]));
  fs.pin(pin_xz_reader_type, xz::create_type(m));
  fs.pin(pin_TarFile, getattr(tarfile, fs.names[n::TarFile]));
  fs.pin(pin_Stream, getattr(tarfile, fs.names[n::Stream]));
  fs.pin(pin_ExtractError, getattr(tarfile, fs.names[n::ExtractError]));
  fs.pin(pin_SpecialFileError, getattr(tarfile, fs.names[n::SpecialFileError]));
  fs.pin(pin_AbsoluteLinkError, getattr(tarfile, fs.names[n::AbsoluteLinkError]));
  fs.pin(pin_TarInfo, tar_header::create_class(m, getattr(tarfile, text("TarInfo"))));
  Ref requests = Ctx::lookup_global(globals, fs.builtins, fs.names[n::requests]);
  fs.pin(pin_requests, requests);
  fs.pin(pin_requests_get, getattr(requests, fs.names[n::get]));
  fs.pin(pin_TooManyRedirects, getattr(requests, text("TooManyRedirects")));
  fs.pin(pin_RequestException, getattr(requests, text("RequestException")));
  fs.pin(pin_Session,
         make_class(m, "Session", "requests' session, following no redirect and reading none.",
                    Ref::steal(PyTuple_Pack(1, getattr(requests, text("Session")).get())), {&kNoRedirectTarget}));
  fs.pin(pin_ConnectionError, getattr(requests, text("ConnectionError")));
  fs.pin(pin_Timeout, getattr(requests, text("Timeout")));
  Ref url_parse = Ref::steal(PyImport_ImportModule("urllib.parse"));
  fs.pin(pin_urljoin, getattr(url_parse, text("urljoin")));
  fs.pin(pin_parse_url, getattr(Ref::steal(PyImport_ImportModule("urllib3.util")), text("parse_url")));

  Ref get_logger = Ctx::lookup_global(globals, fs.builtins, text("get_logger"));
  bind(m, "logger", call(get_logger, text("MODEL")));

  Ref magic = Ctx::lookup_global(globals, fs.builtins, fs.names[n::magic]);
  Ref magic_cls = getattr(magic, text("Magic"));
  bind(m, "fm", call(magic_cls, Kw{text("mime"), Py_False}, Kw{text("uncompress"), Py_False}));

  bind(m, "DOWNLOAD_MODEL_TIMEOUT", integer(300));

  AnswerWatch::install();

  def_function(m, kGetDeviceToken);
  def_function(m, kGetModelUrl);
  def_function(m, kDownloadDetectionModel);
  def_function(m, kCheckModelType);
  def_function(m, kSafeExtract);
  def_function(m, kDownloadFile);
  def_function(m, kDownloadUrl);
}

}  // namespace
}  // namespace zelk::fetch

ZELK_DEFINE_MODULE(fetch, "zelk_sdk.model.fetch", zelk::fetch::kModuleDoc, zelk::fetch::kNames, zelk::fetch::n::count,
                   zelk::fetch::exec)
