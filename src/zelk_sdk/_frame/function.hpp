// The function object of the compiled modules.
//
// Each function is declared once, as a FunctionDef table: its parameters with
// their annotation texts, defaults and the exact type a parameter demands. The
// frame binds arguments from that table (with the exact error texts), tests the
// exact types, and hands the body the bound arguments only. To Python code the
// object looks like a function: __name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__, __signature__, binding as a
// method when stored in a class, pickling by reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string_view>

#include "handle.hpp"

namespace zelk {

class Ctx;
using Body = Ref (*)(Ctx&);

// The exact type an argument must have (no subclass passes).
enum class Exact : std::uint8_t { any, str, int_, dict, set };

struct Default {
  enum Kind : std::uint8_t { required, none, false_, true_, int_, str } kind = required;
  long long i = 0;
  const char* s = nullptr;
};
inline constexpr Default kRequired{};
inline constexpr Default kNone{Default::none};
inline constexpr Default kFalse{Default::false_};
constexpr Default int_default(long long v) { return Default{Default::int_, v, nullptr}; }
constexpr Default str_default(const char* s) { return Default{Default::str, 0, s}; }

struct Param {
  const char* name;
  const char* annotation = nullptr;  // the annotation text, or none
  Exact type = Exact::any;
  Default def = kRequired;
};

// How argument-count errors read. `compiled` gives the texts of the fetch
// module ("takes exactly 1 positional argument (2 given)"); `interpreter`
// those of an ordinary Python function ("missing 1 required positional
// argument: 'x'").
enum class ArgStyle : std::uint8_t { compiled, interpreter };

inline constexpr int kMaxParams = 8;

// A function's parameter list, as checked when it is compiled (see params()).
struct Params {
  const Param* items = nullptr;
  int count = 0;
};

// The parameter list of a declaration: its length is the array's, at most
// kMaxParams, and only trailing parameters have defaults. A violation is a
// compile error (a throw in a constant evaluation).
template <std::size_t N>
consteval Params params(const Param (&list)[N]) {
  if (N > static_cast<std::size_t>(kMaxParams)) throw "a function takes at most kMaxParams parameters";
  bool defaults = false;
  for (const Param& p : list) {
    if (p.def.kind != Default::required) {
      defaults = true;
    } else if (defaults) {
      throw "a parameter without a default follows one with a default";
    }
  }
  return Params{list, static_cast<int>(N)};
}

// The index of the parameter called `name`, for reading it in the body
// (`c.arg(kUrl)`); a name the list lacks is a compile error.
template <std::size_t N>
consteval int param(const Param (&list)[N], std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == list[i].name) return static_cast<int>(i);
  }
  throw "no parameter of that name";
}

// What a declaration names, by designated initialisers; declare() checks it.
struct Declaration {
  const char* name = nullptr;
  const char* qualname = nullptr;  // "Class.method" or "outer.<locals>.inner"; nullptr: same as name
  const char* doc = nullptr;
  Params params{};
  const char* returns = nullptr;  // the return annotation; nullptr: none
  ArgStyle style = ArgStyle::compiled;
  Body body = nullptr;
};

// A function as the frame runs it. Made by declare() only.
class FunctionDef {
 public:
  const char* name;
  const char* qualname;  // never nullptr
  const char* doc;
  const Param* params;
  int nparams;
  const char* return_annotation;
  ArgStyle style;
  Body body;
  const char* file;  // source file shown in tracebacks
  int line;

 private:
  constexpr FunctionDef(const Declaration& d, const char* file_name, int at)
      : name(d.name),
        qualname(d.qualname != nullptr ? d.qualname : d.name),
        doc(d.doc),
        params(d.params.items),
        nparams(d.params.count),
        return_annotation(d.returns),
        style(d.style),
        body(d.body),
        file(file_name),
        line(at) {}
  friend consteval FunctionDef declare(Declaration, std::source_location);
};

// `const FunctionDef kDownloadUrl = declare({.name = "download_url", ...});`
// records where it stands for tracebacks.
consteval FunctionDef declare(Declaration d, std::source_location at = std::source_location::current()) {
  if (d.name == nullptr || d.body == nullptr) throw "a function needs a name and a body";
  return FunctionDef(d, at.file_name(), static_cast<int>(at.line()));
}

// Creates a function object of `module`'s function type. `closure` is handed to
// the body through Ctx::closure() (the cells of a nested function, or the
// defining class of a method for super()).
Ref make_function(PyObject* module, const FunctionDef& def, PyObject* closure = nullptr);

// True when `o` is a function object that `module` made from `def` (one of
// its own functions, not a stand-in bound in its place).
bool is_function_of(PyObject* o, PyObject* module, const FunctionDef& def) noexcept;

// The heap type of the module's functions; created once per module at exec.
Ref create_function_type(PyObject* module);

// Traceback entry for a native function that an exception leaves.
void add_traceback(const FunctionDef& def, PyObject* globals);

}  // namespace zelk
