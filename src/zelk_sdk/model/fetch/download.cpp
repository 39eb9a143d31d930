// Streaming file download.
#include "common.hpp"
#include "scratch.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"cloud_url", "str", Exact::str}, {"local_file", "str", Exact::str}};

constexpr long long kChunkSize = 1048576;

// True when the body's end is given by its Content-Length alone: no transfer
// or content coding that lets the delivered length differ.
bool framed_by_length(Ctx& c, PyObject* headers) {
  Ref te = call_method(headers, c.interned(n::get), c.interned(n::transfer_encoding));
  if (te.get() != Py_None) return false;
  Ref ce = call_method(headers, c.interned(n::get), c.interned(n::content_encoding));
  if (ce.get() == Py_None) return true;
  return PyUnicode_Check(ce.get()) && PyUnicode_CompareWithASCIIString(ce.get(), "identity") == 0;
}

Ref download_file(Ctx& c) {
  PyObject* cloud_url = c.arg(param(kParams, "cloud_url"));
  PyObject* local_file = c.arg(param(kParams, "local_file"));

  log_info(c, [&] { return text("Downloading..."); });
  log_info(c, [&] { return textf("\tcloud url: %U", cloud_url); });
  log_info(c, [&] { return textf("\ttar.xz file: %U", local_file); });

  Ref get = getattr(c.global(n::requests), c.interned(n::get));
  Ref timeout = c.global(n::DOWNLOAD_MODEL_TIMEOUT);
  Ref r = call(get, cloud_url, kw(c, n::stream, Py_True), kw(c, n::timeout, timeout));
  Ref status = getattr(r, c.interned(n::status_code));
  if (rich_compare(status, integer(200), Py_NE)) {
    log_warning(c, [&] {
      return textf("failed downloading status code: %U", fmt(getattr(r, c.interned(n::status_code))).get());
    });
    return boolean(false);
  }
  Ref headers = getattr(r, c.interned(n::headers));
  Ref total =
      Ref::steal(PyNumber_Long(call_method(headers, c.interned(n::get), c.interned(n::content_length), integer(0))));
  const bool total_set = truthy(total);
  const bool check_length = total_set && framed_by_length(c, headers);

  Ref downloaded = integer(0);
  Ref last_pct = integer(-1);
  Ref hundred = integer(100);
  Ref five = integer(5);
  Ref kib = integer(1024);

  // The body goes to a scratch file beside local_file and takes its name only
  // once complete: a broken transfer never leaves a partial archive there.
  const std::string final_path = scratch::encode_path(local_file);
  scratch::sweep(scratch::parent_dir(final_path));
  scratch::PartFile part;
  Ref file = part.open_for(final_path, local_file, c.pinned(pin_open));
  with(file, c.interned(n::enter), c.interned(n::exit), [&](PyObject* fp) {
    Ref chunks = call_method(r, c.interned(n::iter_content), kw(c, n::chunk_size, integer(kChunkSize)));
    Iter it(chunks);
    while (Ref chunk = it.next()) {
      call_method(fp, c.interned(n::write), chunk);
      downloaded = Ref::steal(PyNumber_Add(downloaded, integer(length(chunk))));
      if (!total_set) continue;
      Ref scaled = Ref::steal(PyNumber_Multiply(downloaded, hundred));
      Ref pct = Ref::steal(PyNumber_Long(Ref::steal(PyNumber_TrueDivide(scaled, total))));
      if (rich_compare(pct, last_pct, Py_NE) &&
          rich_compare(Ref::steal(PyNumber_Remainder(pct, five)), integer(0), Py_EQ)) {
        Ref mb_done = Ref::steal(PyNumber_FloorDivide(Ref::steal(PyNumber_FloorDivide(downloaded, kib)), kib));
        Ref mb_total = Ref::steal(PyNumber_FloorDivide(Ref::steal(PyNumber_FloorDivide(total, kib)), kib));
        log_info(c,
                 [&] { return textf("Downloading... %S%% (%SMB / %SMB)", pct.get(), mb_done.get(), mb_total.get()); });
        last_pct = pct;
      }
    }
    if (check_length && rich_compare(downloaded, total, Py_LT)) {
      Ref msg = textf("incomplete download: received %S of %S bytes declared by Content-Length", downloaded.get(),
                      total.get());
      raise_instance(call(c.pinned(pin_OSError), msg));
    }
    call_method(fp, c.interned(n::flush));
    part.commit(local_file);
  });
  return boolean(true);
}

}  // namespace

const FunctionDef kDownloadFile = declare({
    .name = "download_file",
    .doc = "Stream a remote file to a local path.\n"
           "\n"
           "The body is fetched with a streaming GET (timeout DOWNLOAD_MODEL_TIMEOUT) and\n"
           "written in 1 MiB chunks; when the server declares the size, progress is logged\n"
           "in five-percent steps. The body is written to a temporary file in the same\n"
           "directory that is renamed onto local_file only once the whole body is there,\n"
           "so local_file never holds a partial download.\n"
           "\n"
           "Args:\n"
           "    cloud_url: the URL to fetch.\n"
           "    local_file: the destination path; its directory must exist.\n"
           "\n"
           "Returns:\n"
           "    True once the file is complete; False when the status is not 200.\n"
           "    Errors of the request, the transfer and the file system propagate.\n",
    .params = params(kParams),
    .returns = "bool",
    .body = download_file,
});

}  // namespace zelk::fetch
