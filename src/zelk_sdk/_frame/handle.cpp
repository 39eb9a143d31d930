#include "handle.hpp"

#include <cstdarg>

namespace zelk {

PyErr::PyErr() : exc_(Ref::steal_or_null(PyErr_GetRaisedException())) {
  if (!exc_) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exc_ = Ref::steal_or_null(PyErr_GetRaisedException());
  }
}

void throw_error() { throw PyErr(); }

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_error();
}

void raise(PyObject* type, PyObject* message) {
  PyErr_SetObject(type, message);
  throw_error();
}

void raise_instance(PyObject* exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  throw_error();
}

Ref lookup_special(PyObject* o, PyObject* name) {
  PyObject* f = _PyType_Lookup(Py_TYPE(o), name);  // borrowed
  if (f == nullptr) {
    if (PyErr_Occurred()) throw_error();
    return Ref();
  }
  descrgetfunc get = Py_TYPE(f)->tp_descr_get;
  if (get == nullptr) return Ref::borrow(f);
  Ref keep = Ref::borrow(f);
  return Ref::steal(get(f, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
}

Ref textf(const char* format, ...) {
  va_list va;
  va_start(va, format);
  PyObject* r = PyUnicode_FromFormatV(format, va);
  va_end(va);
  return Ref::steal(r);
}

}  // namespace zelk
