#include "binding.hpp"

#include "handle.hpp"

namespace zelk {
namespace {

const char* exact_type_name(Exact t) {
  switch (t) {
    case Exact::str:
      return "str";
    case Exact::int_:
      return "int";
    case Exact::dict:
      return "dict";
    case Exact::set:
      return "set";
    case Exact::any:
      break;
  }
  return "object";
}

bool has_exact_type(Exact t, PyObject* o) {
  switch (t) {
    case Exact::str:
      return PyUnicode_CheckExact(o);
    case Exact::int_:
      return PyLong_CheckExact(o);
    case Exact::dict:
      return PyDict_CheckExact(o);
    case Exact::set:
      return PyAnySet_CheckExact(o) && !PyFrozenSet_CheckExact(o);
    case Exact::any:
      break;
  }
  return true;
}

// ------------------------------------------------------------ argument errors

void count_error_compiled(const FunctionDef& def, Py_ssize_t found) {
  Py_ssize_t expected = def.nparams;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, "exactly",
               expected, expected == 1 ? "" : "s", found);
}

void too_many_interpreter(const FunctionDef& def, PyObject* defaults, Py_ssize_t given) {
  Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  Py_ssize_t argcount = def.nparams;
  Ref sig;
  bool plural;
  if (ndefaults) {
    plural = true;
    sig = Ref::steal_or_null(PyUnicode_FromFormat("from %zd to %zd", argcount - ndefaults, argcount));
  } else {
    plural = argcount != 1;
    sig = Ref::steal_or_null(PyUnicode_FromFormat("%zd", argcount));
  }
  if (!sig) return;
  PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd %s given", def.qualname, sig.get(),
               plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_interpreter(const FunctionDef& def, PyObject* const* bound) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  Ref names = Ref::steal_or_null(PyList_New(0));
  if (!names) return;
  for (int i = 0; i < def.nparams; ++i) {
    if (bound[i] != nullptr) continue;
    Ref quoted = Ref::steal_or_null(PyUnicode_FromFormat("'%s'", def.params[i].name));
    if (!quoted || PyList_Append(names, quoted) < 0) return;
  }
  Py_ssize_t n = PyList_GET_SIZE(names.get());
  Ref joined;
  if (n == 1) {
    joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else {
    Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), n - 1));
    if (PyList_SetSlice(names, n - 1, n, nullptr) < 0) return;
    Ref sep = Ref::steal_or_null(PyUnicode_FromString(n == 2 ? " and " : ", and "));
    Ref comma = Ref::steal_or_null(PyUnicode_FromString(", "));
    if (!sep || !comma) return;
    Ref head = Ref::steal_or_null(PyUnicode_Join(comma, names));
    if (!head) return;
    joined = Ref::steal_or_null(PyUnicode_FromFormat("%U%U%U", head.get(), sep.get(), last.get()));
    if (!joined) return;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", def.qualname, n,
               n == 1 ? "" : "s", joined.get());
}

int find_param(const FunctionDef& def, PyObject* kwname) {
  for (int j = 0; j < def.nparams; ++j) {
    if (PyUnicode_EqualToUTF8(kwname, def.params[j].name)) return j;
  }
  return -1;
}

}  // namespace

bool bind_arguments(const FunctionDef& def, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  const bool compiled = def.style == ArgStyle::compiled;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const int n = def.nparams;

  if (n == 0 && compiled) {
    if (nkw > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name);
      return false;
    }
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def.name, nargs);
      return false;
    }
    return true;
  }
  if (compiled && nargs > n) {
    count_error_compiled(def, nargs);
    return false;
  }
  for (int i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kwname = PyTuple_GET_ITEM(kwnames, k);
    int j = find_param(def, kwname);
    if (j < 0) {
      if (compiled) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, kwname);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", def.qualname, kwname);
      }
      return false;
    }
    if (bound[j] != nullptr || j < nargs) {
      if (compiled) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, kwname);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", def.qualname, kwname);
      }
      return false;
    }
    bound[j] = args[nargs + k];
  }
  if (nargs > n) {
    too_many_interpreter(def, defaults, nargs);
    return false;
  }
  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  const int first_default = n - static_cast<int>(ndefaults);
  bool missing = false;
  for (int j = 0; j < n; ++j) {
    if (bound[j] != nullptr) continue;
    if (j >= first_default) {
      bound[j] = PyTuple_GET_ITEM(defaults, j - first_default);
      continue;
    }
    if (compiled) {
      count_error_compiled(def, j);
      return false;
    }
    missing = true;
  }
  if (missing) {
    missing_interpreter(def, bound);
    return false;
  }
  return true;
}

bool check_types(const FunctionDef& def, PyObject* const* argv) noexcept {
  for (int j = 0; j < def.nparams; ++j) {
    const Param& p = def.params[j];
    if (p.type == Exact::any || has_exact_type(p.type, argv[j])) continue;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 exact_type_name(p.type), Py_TYPE(argv[j])->tp_name);
    return false;
  }
  return true;
}

}  // namespace zelk
