// Names and shared helpers of zelk_sdk.model.fetch.
#pragma once

#include "module.hpp"

namespace zelk::fetch {

// Every name the module's functions look up or call, interned once per module,
// and the constant texts of hot paths.
#define ZELK_FETCH_NAMES(X)                               \
  X(os, "os")                                             \
  X(time, "time")                                         \
  X(shutil, "shutil")                                     \
  X(requests, "requests")                                 \
  X(tarfile, "tarfile")                                   \
  X(json, "json")                                         \
  X(magic, "magic")                                       \
  X(urlparse, "urlparse")                                 \
  X(MODEL_TYPE, "MODEL_TYPE")                             \
  X(TOKEN_FILE, "TOKEN_FILE")                             \
  X(BASE_MODEL_DIR, "BASE_MODEL_DIR")                     \
  X(MODEL_URL, "MODEL_URL")                               \
  X(logger, "logger")                                     \
  X(fm, "fm")                                             \
  X(DOWNLOAD_MODEL_TIMEOUT, "DOWNLOAD_MODEL_TIMEOUT")     \
  X(get_device_token, "get_device_token")                 \
  X(get_model_url, "get_model_url")                       \
  X(download_detection_model, "download_detection_model") \
  X(check_model_type, "check_model_type")                 \
  X(safe_extract, "_safe_extract")                        \
  X(download_file, "download_file")                       \
  X(download_url, "download_url")                         \
  X(FileNotFoundError, "FileNotFoundError")               \
  X(info, "info")                                         \
  X(warning, "warning")                                   \
  X(enter, "__enter__")                                   \
  X(exit, "__exit__")                                     \
  X(read, "read")                                         \
  X(write, "write")                                       \
  X(replace, "replace")                                   \
  X(encoding, "encoding")                                 \
  X(get, "get")                                           \
  X(headers, "headers")                                   \
  X(timeout, "timeout")                                   \
  X(stream, "stream")                                     \
  X(status_code, "status_code")                           \
  X(content, "content")                                   \
  X(decode, "decode")                                     \
  X(loads, "loads")                                       \
  X(url, "url")                                           \
  X(iter_content, "iter_content")                         \
  X(chunk_size, "chunk_size")                             \
  X(content_length, "Content-Length")                     \
  X(transfer_encoding, "Transfer-Encoding")               \
  X(content_encoding, "Content-Encoding")                 \
  X(fileno, "fileno")                                     \
  X(flush, "flush")                                       \
  X(path, "path")                                         \
  X(abspath, "abspath")                                   \
  X(join, "join")                                         \
  X(sep, "sep")                                           \
  X(name, "name")                                         \
  X(extract, "extract")                                   \
  X(filter, "filter")                                     \
  X(data, "data")                                         \
  X(issym, "issym")                                       \
  X(islnk, "islnk")                                       \
  X(linkname, "linkname")                                 \
  X(dirname, "dirname")                                   \
  X(basename, "basename")                                 \
  X(makedirs, "makedirs")                                 \
  X(exist_ok, "exist_ok")                                 \
  X(isdir, "isdir")                                       \
  X(isfile, "isfile")                                     \
  X(exists, "exists")                                     \
  X(remove, "remove")                                     \
  X(from_file, "from_file")                               \
  X(find, "find")                                         \
  X(open, "open")                                         \
  X(cloud_url, "cloud_url")                               \
  X(local_file, "local_file")                             \
  X(INTERNAL, "INTERNAL")                                 \
  X(sleep, "sleep")                                       \
  X(listdir, "listdir")                                   \
  X(splitext, "splitext")                                 \
  X(lower, "lower")                                       \
  X(dir_path, "dir_path")                                 \
  X(search_exts, "search_exts")                           \
  X(search_dirname, "search_dirname")                     \
  X(TF_YOLO, "TF_YOLO")                                   \
  X(OPENVINO, "OPENVINO")                                 \
  X(TF_LITE, "TF_LITE")                                   \
  X(TensorRT, "TensorRT")                                 \
  X(TF_V1, "TF_V1")                                       \
  X(TF_V2, "TF_V2")                                       \
  X(TORCH, "TORCH")                                       \
  X(fileobj, "fileobj")                                   \
  X(stat, "stat")                                         \
  X(ReadError, "ReadError")                               \
  X(mode, "mode")                                         \
  X(offset, "offset")                                     \
  X(rstrip, "rstrip")                                     \
  X(slash, "/")                                           \
  X(isreg, "isreg")                                       \
  X(seek, "seek")                                         \
  X(offset_data, "offset_data")                           \
  X(sparse, "sparse")                                     \
  X(size, "size")                                         \
  X(mtime, "mtime")                                       \
  X(TarFile, "TarFile")                                   \
  X(ExtractError, "ExtractError")                         \
  X(SpecialFileError, "SpecialFileError")                 \
  X(AbsoluteLinkError, "AbsoluteLinkError")               \
  X(Stream, "_Stream")                                    \
  X(members, "members")                                   \
  X(http, "http")                                         \
  X(https, "https")                                       \
  X(allow_redirects, "allow_redirects")                   \
  X(is_redirect, "is_redirect")                           \
  X(location, "location")                                 \
  X(close, "close")                                       \
  X(get_redirect_target, "get_redirect_target")           \
  X(tarinfo, "tarinfo")                                   \
  X(sparse_structs, "_sparse_structs")                    \
  X(tell, "tell")                                         \
  X(block, "_block")                                      \
  X(nti, "nti")                                           \
  X(scheme, "scheme")                                     \
  X(host, "host")                                         \
  X(port, "port")                                         \
  X(msg_get_url, "Get the download url from model_id:")

// n::os is the index of "os" in the module's name table, and so on.
ZELK_NAMES(ZELK_FETCH_NAMES);

// Objects resolved once at import. open and OSError are used as resolved;
// os.path's own functions only tell whether the module's `os.path` still has
// them (see model_type.cpp).
enum Pinned : int {
  pin_open,
  pin_OSError,
  pin_path_join,
  pin_path_isfile,
  pin_path_isdir,
  pin_path_splitext,
  // and those the checks of an extraction call (see overlap.hpp)
  pin_path_abspath,
  pin_path_dirname,
  pin_os_sep,     // os.sep as import found it
  pin_os,         // the os module, as os.path's functions use it
  pin_os_stat,    // its stat, which os.path.isfile and isdir call
  pin_os_remove,  // its remove: while `os.remove` is still it, removals in the
                  // base directory go through its descriptor (archive.cpp)
  // the interpreter's own tarfile module and its open, as imported: while
  // the module's `tarfile` is still these, archives are read through the
  // module's own xz reader (see archive.cpp)
  pin_tarfile,
  pin_tarfile_open,
  pin_ReadError,
  pin_FileNotFoundError,
  pin_xz_reader_type,
  // the interpreter's TarFile class, its stream, ExtractError and the
  // FilterError classes of the "data" filter's refusals: a TarFile of that
  // class is extracted through descriptors, with the filter's decisions made
  // there (tree_writer.hpp)
  pin_TarFile,
  pin_Stream,
  pin_ExtractError,
  pin_SpecialFileError,
  pin_AbsoluteLinkError,
  // the module's TarInfo class, whose headers are read within limits
  // (tar_header.hpp): archives of the module's own path are read with it
  pin_TarInfo,
  // the requests module and its get, as imported: while the module's
  // `requests` is still these, get_model_url follows redirects itself and
  // sends the device token to its own origin only (see token.cpp)
  pin_requests,
  pin_requests_get,
  pin_TooManyRedirects,
  pin_RequestException,
  // a requests.Session of the module's that follows no redirect and reads
  // no redirect's body (see get_once)
  pin_Session,
  pin_urljoin,
  pin_parse_url,
  // what cannot reach a server at all: no connection, a time-out
  pin_ConnectionError,
  pin_Timeout,
};

// One log line through the module's `logger`, looked up now (see log_line).
template <class Make>
void log_info(Ctx& c, Make&& make) {
  log_line(c, c.global(n::logger), n::info, std::forward<Make>(make));
}
// The same for a text already built by concat from texts: building it has no
// effect that the order could show, so the method is called without making a
// bound method first (the common call of get_model_url pays for little else).
inline void log_info_built(Ctx& c, PyObject* message) {
  call_method(c.global(n::logger), c.interned(n::info), message);
}
template <class Make>
void log_warning(Ctx& c, Make&& make) {
  log_line(c, c.global(n::logger), n::warning, std::forward<Make>(make));
}

// The result rule of functions annotated "Optional[str]": exactly str or None,
// else TypeError "Expected unicode, got <type>".
Ref optional_str(Ref value);

// Raises the refusal of a member: Exception("Attempted path traversal in tar
// archive: <name>").
[[noreturn]] void refuse_member(PyObject* member_name);

// What no model is: an archive of more members (directories made for their
// paths count too, on the descriptor path), a member path or link target of
// more components ("a/../b" has three) or more bytes. Such an archive is
// refused with tarfile's ExtractError naming the limit.
inline constexpr std::size_t kMaxMembers = 100000;
inline constexpr std::size_t kMaxPathParts = 256;
inline constexpr std::size_t kMaxPathBytes = 4096;
// The directory steps of all member paths and link targets together (each
// directory opened, made or looked at once more): an archive in tree order
// takes a step or two a member, and one that jumps between deep directories
// or links to deep targets over and over is refused at this count.
inline constexpr std::size_t kMaxWalkSteps = 2000000;

// One GET of `url` with requests' own client, through a session of the
// module's that neither follows redirects nor reads a redirect's body
// (requests' own reads it whole, even with allow_redirects=False), streamed:
// session.get(url, [headers=headers,] timeout=timeout, stream=True,
// allow_redirects=False), the session closed as requests.get closes its own.
Ref get_once(Ctx& c, PyObject* url, PyObject* timeout, PyObject* headers);

// How many redirects a request follows, as requests follows them.
inline constexpr int kMaxRedirects = 30;
// The Location that requests would follow from the response `r`, decoded as
// requests decodes it; nothing when `r` is no redirect or its Location is
// empty (requests returns `r` itself then).
Ref redirect_target(Ctx& c, PyObject* r);

// get_once from `url`, following redirects as requests follows them for a
// GET (kMaxRedirects at most), each redirect closed unread; `check(target)`
// judges each target before anything is sent there (it raises to refuse).
// The answer that is no redirect.
template <class Check>
Ref get_following(Ctx& c, PyObject* url, PyObject* timeout, PyObject* headers, Check&& check) {
  Ref current = Ref::borrow(url);
  for (int hops = 0;; ++hops) {
    Ref r = get_once(c, current, timeout, headers);
    Ref location = redirect_target(c, r);
    if (!location) return r;
    call_method(r, c.interned(n::close));
    if (hops == kMaxRedirects) raise(c.pinned(pin_TooManyRedirects), textf("Exceeded %d redirects.", kMaxRedirects));
    Ref target = call(c.pinned(pin_urljoin), current, location);
    check(target.get());
    current = std::move(target);
  }
}

// Counts one more member of an archive; past kMaxMembers, the archive is
// refused.
void count_member(Ctx& c, std::size_t& count);

// True when the last call of the module's own get_model_url on this thread
// failed without any HTTP answer (no connection, a time-out).
bool model_url_unreachable() noexcept;

// The functions of the module, in their order of definition.
extern const FunctionDef kGetDeviceToken;
extern const FunctionDef kGetModelUrl;
extern const FunctionDef kDownloadDetectionModel;
extern const FunctionDef kCheckModelType;
extern const FunctionDef kSafeExtract;
extern const FunctionDef kDownloadFile;
extern const FunctionDef kDownloadUrl;
// Session.get_redirect_target of the module's session (token.cpp).
extern const FunctionDef kNoRedirectTarget;

}  // namespace zelk::fetch
