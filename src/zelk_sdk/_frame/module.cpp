#include "module.hpp"

#include <string>

namespace zelk {
namespace {

FrameState** state_slot(PyObject* module) { return static_cast<FrameState**>(PyModule_GetState(module)); }

}  // namespace

FrameState& frame_state(PyObject* module) {
  FrameState** slot = state_slot(module);
  if (slot == nullptr) throw_error();
  if (*slot == nullptr) raise(PyExc_SystemError, "module state is gone");
  return **slot;
}

Ref Ctx::lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(globals, name, &found));
  if (found != nullptr) return Ref::steal(found);
  check(PyDict_GetItemRef(builtins, name, &found));
  if (found != nullptr) return Ref::steal(found);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw_error();
}

int exec_module(PyObject* module, const char* const* names, std::size_t nnames, ExecBody body) {
  FrameState** slot = state_slot(module);
  if (slot == nullptr) return -1;
  try {
    *slot = new FrameState;
    FrameState& fs = **slot;
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    fs.builtins = Ref::borrow(PyModule_GetDict(builtins_module));
    fs.module_name = Ref::steal(PyModule_GetNameObject(module));
    fs.names.reserve(nnames);
    for (std::size_t i = 0; i < nnames; ++i) fs.names.push_back(Ref::steal(PyUnicode_InternFromString(names[i])));
    fs.function_type = create_function_type(module);
    body(module, fs);
    return 0;
  } catch (PyErr& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "module initialisation failed: %s", e.what());
  }
  return -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  FrameState** slot = state_slot(module);
  if (slot == nullptr || *slot == nullptr) return 0;
  FrameState& fs = **slot;
  Py_VISIT(fs.function_type.get());
  Py_VISIT(fs.builtins.get());
  for (const Ref& r : fs.pinned) Py_VISIT(r.get());
  return 0;
}

int module_clear(PyObject* module) {
  FrameState** slot = state_slot(module);
  if (slot == nullptr || *slot == nullptr) return 0;
  FrameState& fs = **slot;
  fs.function_type = nullptr;
  fs.builtins = nullptr;
  fs.pinned.clear();
  return 0;
}

void module_free(void* module) {
  FrameState** slot = state_slot(static_cast<PyObject*>(module));
  if (slot == nullptr) {
    PyErr_Clear();
    return;
  }
  delete *slot;
  *slot = nullptr;
}

void import_module(PyObject* module, const char* name) {
  PyObject* globals = PyModule_GetDict(module);
  Ref m = Ref::steal(PyImport_ImportModuleLevel(name, globals, nullptr, nullptr, 0));
  bind(module, name, m);
}

void import_from(PyObject* module, const char* package, std::initializer_list<const char*> names) {
  PyObject* globals = PyModule_GetDict(module);
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, text(n).release());
  Ref m = Ref::steal(PyImport_ImportModuleLevel(package, globals, nullptr, fromlist, 0));
  for (const char* n : names) {
    Ref name = text(n);
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttr(m, name, &value));
    if (value == nullptr) {
      // a submodule that the import above loaded but did not bind
      std::string full = std::string(package) + "." + n;
      Ref sub = Ref::steal_or_null(PyImport_GetModule(text(full.c_str())));
      if (!sub && PyErr_Occurred()) throw_error();
      if (!sub) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        throw_error();
      }
      value = sub.release();
    }
    Ref v = Ref::steal(value);
    bind(module, n, v);
  }
}

void bind(PyObject* module, const char* name, PyObject* value) {
  check(PyDict_SetItemString(PyModule_GetDict(module), name, value));
}

void def_function(PyObject* module, const FunctionDef& def) { bind(module, def.name, make_function(module, def)); }

namespace {

// The most derived metaclass of the bases, as the class statement picks it.
Ref metaclass_of(PyObject* bases) {
  PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
  const Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
    if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner), reinterpret_cast<PyTypeObject*>(t))) continue;
    if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), reinterpret_cast<PyTypeObject*>(winner))) {
      winner = t;
      continue;
    }
    raise(PyExc_TypeError,
          "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the metaclasses "
          "of all its bases");
  }
  return Ref::borrow(winner);
}

}  // namespace

Ref make_class(PyObject* module, const char* name, const char* doc, PyObject* bases,
               std::initializer_list<const FunctionDef*> methods) {
  FrameState& fs = frame_state(module);
  Ref meta = metaclass_of(bases);
  Ref cls_name = text(name);
  Ref ns;
  Ref prepare = Ref::steal_or_null(PyObject_GetAttrString(meta, "__prepare__"));
  if (prepare) {
    ns = call(prepare, cls_name, bases);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    ns = Ref::steal(PyDict_New());
  }
  check(PyObject_SetItem(ns, text("__module__"), fs.module_name));
  check(PyObject_SetItem(ns, text("__qualname__"), cls_name));
  if (doc != nullptr) check(PyObject_SetItem(ns, text("__doc__"), text(doc)));
  Ref cell = Ref::steal(PyCell_New(nullptr));
  for (const FunctionDef* def : methods) {
    check(PyObject_SetItem(ns, text(def->name), make_function(module, *def, cell)));
  }
  Ref cls = call(meta, cls_name, bases, ns);
  check(PyCell_Set(cell, cls));
  return cls;
}

Ref super_of(PyObject* cell, PyObject* self) {
  Ref cls = Ref::steal_or_null(PyCell_Get(cell));
  if (!cls) {
    if (PyErr_Occurred()) throw_error();
    raise(PyExc_RuntimeError, "super(): empty __class__ cell");
  }
  return call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
}

}  // namespace zelk
