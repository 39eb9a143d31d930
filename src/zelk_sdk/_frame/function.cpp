#include "function.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstring>
#include <new>

#include "binding.hpp"
#include "module.hpp"
#include "stack_guard.hpp"

namespace zelk {
namespace {

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* module;    // strong: the defining module
  FrameState* state;   // the module's state, alive as long as the module
  PyObject* globals;   // strong: the module namespace
  PyObject* closure;   // strong or null
  PyObject* defaults;  // strong tuple, or null when no parameter has one
  PyObject* name;      // the rest is built on first use
  PyObject* qualname;
  PyObject* module_name;  // __module__
  PyObject* doc;
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakreflist;
};

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ------------------------------------------------------------ the call

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* fn = as_fn(callable);
  const FunctionDef& def = *fn->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* bound[kMaxParams];
  PyObject* const* argv = args;
  if (kwnames != nullptr || nargs != def.nparams) {
    if (!bind_arguments(def, fn->defaults, args, nargs, kwnames, bound)) return nullptr;
    argv = bound;
  }
  if (!check_types(def, argv)) return nullptr;

  DepthGuard guard(def);
  if (!guard.ok()) return nullptr;
  try {
    Ctx ctx(fn->module, fn->globals, fn->closure, argv, *fn->state);
    Ref result = def.body(ctx);
    return result.release();
  } catch (PyErr& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "%s(): internal error: %s", def.qualname, e.what());
  }
  add_traceback(def, fn->globals);
  return nullptr;
}

// ------------------------------------------------------------ attributes

PyObject* lazy_text(PyObject** slot, const char* value) {
  if (*slot == nullptr) *slot = PyUnicode_FromString(value);
  return Py_XNewRef(*slot);
}

PyObject* get_name(PyObject* self, void*) { return lazy_text(&as_fn(self)->name, as_fn(self)->def->name); }
PyObject* get_qualname(PyObject* self, void*) { return lazy_text(&as_fn(self)->qualname, as_fn(self)->def->qualname); }

int set_text(PyObject** slot, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_text(&as_fn(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_text(&as_fn(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) {
  FunctionObject* fn = as_fn(self);
  if (fn->doc == nullptr) {
    fn->doc = fn->def->doc ? PyUnicode_FromString(fn->def->doc) : Py_NewRef(Py_None);
  }
  return Py_XNewRef(fn->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_fn(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_fn(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* fn = as_fn(self);
  if (fn->annotations == nullptr) {
    const FunctionDef& def = *fn->def;
    Ref d = Ref::steal_or_null(PyDict_New());
    if (!d) return nullptr;
    for (int j = 0; j < def.nparams; ++j) {
      const Param& p = def.params[j];
      if (p.annotation == nullptr) continue;
      Ref v = Ref::steal_or_null(PyUnicode_FromString(p.annotation));
      if (!v || PyDict_SetItemString(d, p.name, v) < 0) return nullptr;
    }
    if (def.return_annotation != nullptr) {
      Ref v = Ref::steal_or_null(PyUnicode_FromString(def.return_annotation));
      if (!v || PyDict_SetItemString(d, "return", v) < 0) return nullptr;
    }
    fn->annotations = d.release();
  }
  return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_fn(self)->annotations, value && value != Py_None ? Py_NewRef(value) : nullptr);
  return 0;
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_fn(self)->globals); }

// inspect.Signature built from the declaration table.
PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* fn = as_fn(self);
  const FunctionDef& def = *fn->def;
  try {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect, "Parameter"));
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect, "Signature"));
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter, "POSITIONAL_OR_KEYWORD"));
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter, "empty"));
    Ref kw_default = text("default");
    Ref kw_annotation = text("annotation");
    Ref kw_return = text("return_annotation");
    Ref params = Ref::steal(PyList_New(0));
    const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const int first_default = def.nparams - static_cast<int>(ndefaults);
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    for (int j = 0; j < def.nparams; ++j) {
      Ref name = text(def.params[j].name);
      PyObject* dflt = j >= first_default ? PyTuple_GET_ITEM(fn->defaults, j - first_default) : empty.get();
      PyObject* found = nullptr;
      check(PyDict_GetItemRef(annotations, name, &found));
      Ref ann = Ref::steal_or_null(found);
      Ref p = call(parameter, name, kind, Kw{kw_default, dflt}, Kw{kw_annotation, ann ? ann.get() : empty.get()});
      check(PyList_Append(params, p));
    }
    Ref ret_key = text("return");
    PyObject* found = nullptr;
    check(PyDict_GetItemRef(annotations, ret_key, &found));
    Ref ret = Ref::steal_or_null(found);
    Ref sig = call(signature, params, Kw{kw_return, ret ? ret.get() : empty.get()});
    return sig.release();
  } catch (PyErr& e) {
    e.restore();
    return nullptr;
  }
}

PyObject* fn_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyObject* fn_repr(PyObject* self) {
  Ref q = Ref::steal_or_null(get_qualname(self, nullptr));
  if (!q) return nullptr;
  return PyUnicode_FromFormat("<function %U at %p>", q.get(), self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_fn(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->module);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->closure);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->module_name);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->dict);
  return 0;
}

int fn_clear(PyObject* self) {
  FunctionObject* fn = as_fn(self);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->closure);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module_name);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->dict);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_fn(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "zelk_sdk._frame.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

Ref make_default(const Default& d) {
  switch (d.kind) {
    case Default::none:
      return none();
    case Default::false_:
      return boolean(false);
    case Default::true_:
      return boolean(true);
    case Default::int_:
      return integer(d.i);
    case Default::str:
      return text(d.s);
    case Default::required:
      break;
  }
  return Ref();
}

}  // namespace

Ref create_function_type(PyObject* module) { return Ref::steal(PyType_FromModuleAndSpec(module, &fn_spec, nullptr)); }

bool is_function_of(PyObject* o, PyObject* module, const FunctionDef& def) noexcept {
  if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != frame_state(module).function_type.get()) return false;
  const auto* fn = reinterpret_cast<const FunctionObject*>(o);
  return fn->def == &def && fn->module == module;
}

Ref make_function(PyObject* module, const FunctionDef& def, PyObject* closure) {
  FrameState& fs = frame_state(module);
  int ndefaults = 0;
  for (int j = 0; j < def.nparams; ++j) {
    if (def.params[j].def.kind != Default::required) ++ndefaults;
  }
  Ref defaults;
  if (ndefaults > 0) {
    defaults = Ref::steal(PyTuple_New(ndefaults));
    for (int j = def.nparams - ndefaults, k = 0; j < def.nparams; ++j, ++k) {
      PyTuple_SET_ITEM(defaults.get(), k, make_default(def.params[j].def).release());
    }
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(fs.function_type.get());
  FunctionObject* fn = PyObject_GC_New(FunctionObject, tp);
  if (fn == nullptr) throw_error();
  fn->vectorcall = fn_vectorcall;
  fn->def = &def;
  fn->module = Py_NewRef(module);
  fn->state = &fs;
  fn->globals = Py_NewRef(PyModule_GetDict(module));
  fn->closure = Py_XNewRef(closure);
  fn->defaults = defaults.release();
  fn->name = nullptr;
  fn->qualname = nullptr;
  fn->module_name = Py_NewRef(fs.module_name.get());
  fn->doc = nullptr;
  fn->annotations = nullptr;
  fn->dict = nullptr;
  fn->weakreflist = nullptr;
  PyObject_GC_Track(fn);
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

void add_traceback(const FunctionDef& def, PyObject* globals) {
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  const char* file = def.file;
  if (const char* p = std::strstr(file, "zelk_sdk/")) file = p;
  Ref code = Ref::steal_or_null(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, def.qualname, def.line)));
  Ref frame;
  if (code) {
    frame = Ref::steal_or_null(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  if (!frame) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace zelk
