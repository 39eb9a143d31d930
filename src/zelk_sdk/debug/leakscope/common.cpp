#include "common.hpp"

namespace zelk::leakscope {

ZELK_NAMES_DEFINE(ZELK_LEAKSCOPE_NAMES);

std::pair<Ref, Ref> unpack2(PyObject* value) {
  PyObject* it = PyObject_GetIter(value);
  if (it == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    throw_error();
  }
  Ref iter = Ref::steal(it);
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = Ref::steal_or_null(PyIter_Next(iter));
    if (!items[i]) {
      if (PyErr_Occurred()) throw_error();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw_error();
    }
  }
  Ref extra = Ref::steal_or_null(PyIter_Next(iter));
  if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) throw_error();
  return {std::move(items[0]), std::move(items[1])};
}

Ref kib(PyObject* bytes, const char* format) {
  Ref kib = Ref::steal(PyNumber_TrueDivide(bytes, integer(1024)));
  return Ref::steal(PyObject_Format(kib, text(format)));
}

Ref sum_of_sizes(Ctx& c, PyObject* stats) {
  Ref sizes = Ref::steal(PyList_New(0));
  for (Iter it(stats); Ref stat = it.next();) check(PyList_Append(sizes, getattr(stat, c.interned(n::size))));
  return call(c.global(n::sum), sizes);
}

Ref slice(PyObject* seq, PyObject* start, PyObject* stop) {
  Ref s = Ref::steal(PySlice_New(start, stop, nullptr));
  return getitem(seq, s);
}

}  // namespace zelk::leakscope
