// Model type detection.
#include <sys/stat.h>

#include <cstring>
#include <initializer_list>

#include "common.hpp"

namespace zelk::fetch {
namespace {

constexpr Param kParams[] = {{"model_dir", "str", Exact::str}};

constexpr Param kDirnameParams[] = {{"search_dirname"}, {"dir_path"}};

constexpr Param kExtParams[] = {{"search_exts"}, {"dir_path"}};

constexpr Param kDirParams[] = {{"dir_path"}};

// os.path.join(dir_path, name) for texts, as posixpath joins them.
Ref join_path(PyObject* dir_path, PyObject* name) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(dir_path);
  if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '/') return Ref::borrow(name);
  if (n == 0 || PyUnicode_READ_CHAR(dir_path, n - 1) == '/') return concat({dir_path, name});
  Ref sep = Ref::steal(PyUnicode_FromOrdinal('/'));
  return concat({dir_path, sep, name});
}

// os.path.isfile(path) or os.path.isdir(path) for a text: stat() with links
// followed, the interpreter's lock released as os.stat releases it; a path
// that cannot be encoded or holds a NUL, and any failing stat(), give False.
bool stat_is(PyObject* path, mode_t kind) {
  Ref raw = Ref::steal_or_null(PyUnicode_EncodeFSDefault(path));
  if (!raw) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
    PyErr_Clear();
    return false;
  }
  const char* bytes = PyBytes_AS_STRING(raw.get());
  if (std::strlen(bytes) != static_cast<std::size_t>(PyBytes_GET_SIZE(raw.get()))) return false;
  struct stat st;
  int rc;
  Py_BEGIN_ALLOW_THREADS;
  rc = ::stat(bytes, &st);
  Py_END_ALLOW_THREADS;
  return rc == 0 && (st.st_mode & S_IFMT) == kind;
}

// os.path.splitext(name)[1] for a text: from the last dot after the last
// slash, unless only dots precede it there; else empty.
Ref extension_of(PyObject* name) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  const Py_ssize_t sep = PyUnicode_FindChar(name, '/', 0, n, -1);
  const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, n, -1);
  if (sep == -2 || dot == -2) throw_error();
  for (Py_ssize_t i = sep + 1; i < dot; ++i) {
    if (PyUnicode_READ_CHAR(name, i) != '.') return Ref::steal(PyUnicode_Substring(name, dot, n));
  }
  return Ref::steal(PyUnicode_New(0, 0));
}

// Names in `dir_path` whose joined path passes os.path.<test>. While the
// module's os.path.join and the test are still the functions os.path had at
// import, and os.stat (which the test calls) is too, each entry is joined and
// tested here with the same result; a rebound function is called per entry as
// it is.
template <class Each>
void for_listed(Ctx& c, PyObject* dir_path, int test, Each&& each) {
  Ref os = c.global(n::os);
  Ref names = call(getattr(os, c.interned(n::listdir)), dir_path);
  Ref os_path = getattr(os, c.interned(n::path));
  Ref join = getattr(os_path, c.interned(n::join));
  Ref pred = getattr(os_path, c.interned(test));
  const bool files = test == n::isfile;
  const bool inline_test =
      join.get() == c.pinned(pin_path_join) && pred.get() == c.pinned(files ? pin_path_isfile : pin_path_isdir) &&
      getattr(c.pinned(pin_os), c.interned(n::stat)).get() == c.pinned(pin_os_stat) && PyUnicode_CheckExact(dir_path);
  Iter it(names);
  while (Ref name = it.next()) {
    const bool pass = inline_test && PyUnicode_CheckExact(name.get())
                          ? stat_is(join_path(dir_path, name), files ? S_IFREG : S_IFDIR)
                          : truthy(call(pred, call(join, dir_path, name)));
    if (pass) each(name.get(), os_path.get());
  }
}

// get_extensions(dir_path): the lower-cased extensions of the regular files
// directly in dir_path, each once, in no particular order.
Ref get_extensions(Ctx& c) {
  PyObject* dir_path = c.arg(param(kDirParams, "dir_path"));
  Ref exts = Ref::steal(PySet_New(nullptr));
  for_listed(c, dir_path, n::isfile, [&](PyObject* name, PyObject* os_path) {
    Ref splitext = getattr(os_path, c.interned(n::splitext));
    Ref ext = splitext.get() == c.pinned(pin_path_splitext) && PyUnicode_CheckExact(name)
                  ? extension_of(name)
                  : getitem(call(splitext, name), integer(1));
    check(PySet_Add(exts, call_method(ext, c.interned(n::lower))));
  });
  return Ref::steal(PySequence_List(exts));
}

// get_sub_dirs(dir_path): the names of the directories directly in dir_path.
Ref get_sub_dirs(Ctx& c) {
  Ref dirs = Ref::steal(PyList_New(0));
  for_listed(c, c.arg(param(kDirParams, "dir_path")), n::isdir,
             [&](PyObject* name, PyObject*) { check(PyList_Append(dirs, name)); });
  return dirs;
}

// b_include_ext(search_exts, dir_path): every extension present, tested in order.
Ref b_include_ext(Ctx& c) {
  Ref exts = call(c.closure(), kw(c, n::dir_path, c.arg(param(kExtParams, "dir_path"))));
  Iter it(c.arg(param(kExtParams, "search_exts")));
  while (Ref ext = it.next()) {
    if (!contains(exts, ext)) return boolean(false);
  }
  return boolean(true);
}

// b_include_dir(search_dirname, dir_path): a sub-directory of exactly that name.
Ref b_include_dir(Ctx& c) {
  Ref dirs = call(c.closure(), kw(c, n::dir_path, c.arg(param(kDirnameParams, "dir_path"))));
  return boolean(contains(dirs, c.arg(param(kDirnameParams, "search_dirname"))));
}

const FunctionDef kGetExtensions = declare({
    .name = "get_extensions",
    .qualname = "check_model_type.<locals>.get_extensions",
    .doc = "Lower-cased extensions of the regular files directly in dir_path.",
    .params = params(kDirParams),
    .body = get_extensions,
});
const FunctionDef kGetSubDirs = declare({
    .name = "get_sub_dirs",
    .qualname = "check_model_type.<locals>.get_sub_dirs",
    .doc = "Names of the directories directly in dir_path.",
    .params = params(kDirParams),
    .body = get_sub_dirs,
});
const FunctionDef kBIncludeExt = declare({
    .name = "b_include_ext",
    .qualname = "check_model_type.<locals>.b_include_ext",
    .doc = "True when dir_path holds a file of every extension in search_exts.",
    .params = params(kExtParams),
    .body = b_include_ext,
});
const FunctionDef kBIncludeDir = declare({
    .name = "b_include_dir",
    .qualname = "check_model_type.<locals>.b_include_dir",
    .doc = "True when dir_path holds a sub-directory named search_dirname.",
    .params = params(kDirnameParams),
    .body = b_include_dir,
});

// The tests of the rule table, over one model directory: file extensions,
// sub-directory names, and parts of the path.
class DirectoryTests {
 public:
  DirectoryTests(Ctx& c, PyObject* model_dir)
      : c_(c),
        model_dir_(model_dir),
        has_ext_(make_function(c.module(), kBIncludeExt, make_function(c.module(), kGetExtensions))),
        has_dir_(make_function(c.module(), kBIncludeDir, make_function(c.module(), kGetSubDirs))) {}

  bool has(PyObject* dir, std::initializer_list<const char*> exts) {
    Ref list = Ref::steal(PyList_New(0));
    for (const char* e : exts) check(PyList_Append(list, text(e)));
    return truthy(call(has_ext_, kw(c_, n::search_exts, list), kw(c_, n::dir_path, dir)));
  }
  bool has(std::initializer_list<const char*> exts) { return has(model_dir_, exts); }
  bool hasdir(const char* name) {
    return truthy(call(has_dir_, kw(c_, n::search_dirname, text(name)), kw(c_, n::dir_path, model_dir_)));
  }
  bool path_contains(PyObject* haystack, const char* needle) {
    Py_ssize_t r = PyUnicode_Find(haystack, text(needle), 0, PY_SSIZE_T_MAX, 1);
    if (r == -2) throw_error();
    return r >= 0;
  }
  bool path_contains(const char* needle) { return path_contains(model_dir_, needle); }
  Ref type(int id) { return optional_str(getattr(c_.global(n::MODEL_TYPE), c_.interned(id))); }

 private:
  Ctx& c_;
  PyObject* model_dir_;
  Ref has_ext_;
  Ref has_dir_;
};

Ref check_model_type(Ctx& c) {
  PyObject* model_dir = c.arg(param(kParams, "model_dir"));
  DirectoryTests t(c, model_dir);

  if (t.has({".weights"}) && (t.path_contains("yolov") || t.path_contains("yolo_"))) return t.type(n::TF_YOLO);
  if (t.has({".xml", ".bin"})) return t.type(n::OPENVINO);
  if (t.has({".tflite"})) return t.type(n::TF_LITE);
  if (t.has({".trt"})) return t.type(n::TensorRT);
  Ref lowered = call_method(model_dir, c.interned(n::lower));
  if (t.path_contains(lowered, "yolo") && (t.has({".pb"}) || t.hasdir("saved_model"))) return t.type(n::TF_YOLO);
  if (t.hasdir("saved_model")) {
    Ref saved = call(getattr(getattr(c.global(n::os), c.interned(n::path)), c.interned(n::join)), model_dir,
                     text("saved_model"));
    if (t.has(saved, {".pb"})) return t.type(n::TF_V2);
  } else if (t.has({".pb"})) {
    return t.type(n::TF_V1);
  }
  if (t.has({".weights"})) return t.type(n::TF_V2);
  if (t.has({".cfg", ".pt"})) return t.type(n::TORCH);
  log_warning(c, [&] { return textf("Could not determine model type for: %U", model_dir); });
  return none();
}

}  // namespace

const FunctionDef kCheckModelType = declare({
    .name = "check_model_type",
    .doc = "Infer the ML framework type from the contents of a model directory.\n"
           "\n"
           "Only file-name extensions of the files directly in model_dir (and, for\n"
           "TensorFlow 2, in its saved_model sub-directory), the names of its\n"
           "sub-directories and the text of the path are looked at. The first test that\n"
           "holds decides: TF_YOLO (.weights under a yolov/yolo_ path), OPENVINO (.xml\n"
           "and .bin), TF_LITE (.tflite), TensorRT (.trt), TF_YOLO (a yolo path with .pb\n"
           "or saved_model/), TF_V2 (saved_model/ holding a .pb), TF_V1 (.pb without\n"
           "saved_model/), TF_V2 (.weights), TORCH (.cfg and .pt).\n"
           "\n"
           "Args:\n"
           "    model_dir: the model directory.\n"
           "\n"
           "Returns:\n"
           "    A MODEL_TYPE value, or None (with a warning) when no test holds.\n"
           "    Errors of listing the directory propagate.\n",
    .params = params(kParams),
    .returns = "Optional[str]",
    .body = check_model_type,
});

}  // namespace zelk::fetch
