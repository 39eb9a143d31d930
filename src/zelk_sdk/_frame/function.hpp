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

#include <cstdint>

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

struct FunctionDef {
  const char* name;
  const char* qualname;  // "Class.method" or "outer.<locals>.inner"; nullptr: same as name
  const char* doc;
  const Param* params;
  int nparams;
  const char* return_annotation;  // nullptr: no return annotation
  ArgStyle style;
  Body body;
  const char* file;  // source file shown in tracebacks
  int line;
};

// Creates a function object of `module`'s function type. `closure` is handed to
// the body through Ctx::closure() (the cells of a nested function, or the
// defining class of a method for super()).
Ref make_function(PyObject* module, const FunctionDef& def, PyObject* closure = nullptr);

// The heap type of the module's functions; created once per module at exec.
Ref create_function_type(PyObject* module);

// Traceback entry for a native function that an exception leaves.
void add_traceback(const FunctionDef& def, PyObject* globals);

// The result rule of functions annotated "Optional[str]": exactly str or None.
Ref optional_str(Ref value);

}  // namespace zelk
