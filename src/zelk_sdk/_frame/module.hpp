// Module frame: per-module state, call context, module-global lookup at call
// time, import statements, and class statements.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "function.hpp"
#include "handle.hpp"

namespace zelk {

// Everything a module keeps: created in its exec step, released with it.
// Nothing here caches a module attribute; attributes are looked up per call.
struct FrameState {
  Ref function_type;
  Ref builtins;             // the builtins namespace (a dict)
  Ref module_name;          // the module's __name__
  std::vector<Ref> names;   // interned names, indexed by the module's own enum
  std::vector<Ref> pinned;  // objects resolved once at import, by the module's own enum

  // Keeps `value` under the module's index `id`.
  void pin(int id, Ref value) {
    if (pinned.size() <= static_cast<std::size_t>(id)) pinned.resize(static_cast<std::size_t>(id) + 1);
    pinned[static_cast<std::size_t>(id)] = std::move(value);
  }
};

FrameState& frame_state(PyObject* module);

// What a function body sees of its call.
class Ctx {
 public:
  Ctx(PyObject* module, PyObject* globals, PyObject* closure, PyObject* const* args, FrameState& fs) noexcept
      : module_(module), globals_(globals), closure_(closure), args_(args), fs_(fs) {}

  PyObject* arg(int i) const noexcept { return args_[i]; }
  PyObject* closure() const noexcept { return closure_; }
  PyObject* module() const noexcept { return module_; }
  PyObject* globals() const noexcept { return globals_; }
  FrameState& state() const noexcept { return fs_; }
  // The module's interned text `id` (a name or a constant text), not a value
  // looked up: that is global().
  PyObject* interned(int id) const noexcept { return fs_.names[static_cast<std::size_t>(id)].get(); }
  PyObject* pinned(int i) const noexcept { return fs_.pinned[static_cast<std::size_t>(i)].get(); }

  // The module attribute `id`, looked up now: the module namespace first, then
  // the builtins; NameError "name '...' is not defined" when neither has it.
  Ref global(int id) const { return lookup_global(globals_, fs_.builtins.get(), interned(id)); }

  static Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

 private:
  PyObject* module_;
  PyObject* globals_;
  PyObject* closure_;
  PyObject* const* args_;
  FrameState& fs_;
};

// A keyword argument named by one of the module's interned names.
inline Kw kw(Ctx& c, int id, PyObject* value) { return Kw{c.interned(id), value}; }

// One log line, `logger.<method>(text)`: as the statement evaluates it, the
// method is looked up first and the text built after it, so whatever building
// the text does happens between the lookup and the call.
template <class Make>
void log_line(Ctx& c, PyObject* logger, int method, Make&& make) {
  Ref bound = getattr(logger, c.interned(method));
  call(bound, make());
}

// A module's table of interned names from an X-macro list `LIST(X)` of
// X(id, "text") entries: ZELK_NAMES(LIST) declares `struct n` (n::id is the
// index of "text") and the array kNames; ZELK_NAMES_DEFINE(LIST) defines the
// array, in one source file of the module.
#define ZELK_NAME_ID(id, text) id,
#define ZELK_NAME_TEXT(id, text) text,
#define ZELK_NAMES(LIST)                     \
  struct n {                                 \
    enum : int { LIST(ZELK_NAME_ID) count }; \
  };                                         \
  extern const char* const kNames[n::count]
#define ZELK_NAMES_DEFINE(LIST) const char* const kNames[n::count] = {LIST(ZELK_NAME_TEXT)}

// ------------------------------------------------------------ module definition

// Module exec step of a module built on the frame. `names` are interned into
// the state in order; `body` then performs the module's statements in order.
// Any exception aborts the import with that exception.
using ExecBody = void (*)(PyObject* module, FrameState& fs);
int exec_module(PyObject* module, const char* const* names, std::size_t nnames, ExecBody body);

int module_traverse(PyObject* module, visitproc visit, void* arg);
int module_clear(PyObject* module);
void module_free(void* module);

// Size of the per-module state that the three functions above manage.
inline constexpr Py_ssize_t kStateSize = sizeof(FrameState*);

// Defines PyInit_<short_name>: multi-phase initialisation whose exec step runs
// exec_module(names, body). Used once per extension, at global scope.
#define ZELK_DEFINE_MODULE(short_name, dotted_name, doc, names, nnames, body)             \
  namespace {                                                                             \
  int zelk_exec_slot(PyObject* m) { return ::zelk::exec_module(m, names, nnames, body); } \
  PyModuleDef_Slot zelk_slots[] = {                                                       \
      {Py_mod_exec, reinterpret_cast<void*>(zelk_exec_slot)},                             \
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},               \
      {0, nullptr},                                                                       \
  };                                                                                      \
  PyModuleDef zelk_def = {PyModuleDef_HEAD_INIT,                                          \
                          dotted_name,                                                    \
                          doc,                                                            \
                          ::zelk::kStateSize,                                             \
                          nullptr,                                                        \
                          zelk_slots,                                                     \
                          ::zelk::module_traverse,                                        \
                          ::zelk::module_clear,                                           \
                          ::zelk::module_free};                                           \
  }                                                                                       \
  PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&zelk_def); }

// ------------------------------------------------------------ module statements

// `import name` (binds the top-level module under its own name).
void import_module(PyObject* module, const char* name);
// `from package import a, b, ...` (binds each name, in order). A missing name
// raises ImportError("cannot import name %S").
void import_from(PyObject* module, const char* package, std::initializer_list<const char*> names);
// `name = value`
void bind(PyObject* module, const char* name, PyObject* value);
// `def name(...)` at module level.
void def_function(PyObject* module, const FunctionDef& def);

// `class Name(bases): """doc"""; <methods>` built by calling the metaclass of
// the bases, with the namespace holding our function objects. Each method gets
// the class's cell (for super()) as its closure.
Ref make_class(PyObject* module, const char* name, const char* doc, PyObject* bases,
               std::initializer_list<const FunctionDef*> methods);

// super(cls, self): `cls` comes from a method's closure cell.
Ref super_of(PyObject* cell, PyObject* self);

}  // namespace zelk
