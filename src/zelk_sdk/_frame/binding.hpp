// Binding a call's arguments to a declaration's parameters, with the two
// styles of argument errors, and the exact-type tests of annotated
// parameters.
#pragma once

#include "function.hpp"

namespace zelk {

// Fills `bound` (borrowed references, def.nparams of them) from the call's
// arguments and `defaults` (the function's __defaults__ tuple, or nullptr),
// raising the exact TypeError of the function's style on failure.
bool bind_arguments(const FunctionDef& def, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Tests each parameter that demands an exact type; raises the TypeError
// "Argument '...' has incorrect type (...)" for the first that fails.
bool check_types(const FunctionDef& def, PyObject* const* argv) noexcept;

}  // namespace zelk
