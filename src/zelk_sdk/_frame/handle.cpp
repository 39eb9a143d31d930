#include "handle.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>

namespace zelk {

PyErr::PyErr() : exc_(Ref::steal_or_null(PyErr_GetRaisedException())) {
  if (!exc_) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exc_ = Ref::steal_or_null(PyErr_GetRaisedException());
  }
}

void throw_error() { throw PyErr(); }

void park_for_exit() noexcept {
  for (;;) pause();
}

[[gnu::noinline]] void exit_barrier_call(void (*fn)(void*), void* arg) {
  struct Parker {
    bool returned = false;
    ~Parker() {
      if (!returned) park_for_exit();
    }
  } parker;
  fn(arg);
  parker.returned = true;
}

void release_last(PyObject* p) noexcept {
  exit_barrier([p] { Py_DECREF(p); });
}

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

Ref concat(std::initializer_list<PyObject*> parts) {
  Py_ssize_t size = 0;
  Py_UCS4 max_char = 0;
  for (PyObject* p : parts) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (n > PY_SSIZE_T_MAX - size) {
      PyErr_NoMemory();
      throw_error();
    }
    size += n;
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(p));
  }
  Ref joined = Ref::steal(PyUnicode_New(size, max_char));
  Py_ssize_t at = 0;
  for (PyObject* p : parts) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (PyUnicode_CopyCharacters(joined, at, p, 0, n) < 0) throw_error();
    at += n;
  }
  return joined;
}

}  // namespace zelk
