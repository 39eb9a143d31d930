#include "common.hpp"

namespace zelk::fetch {

ZELK_NAMES_DEFINE(ZELK_FETCH_NAMES);

Ref optional_str(Ref value) {
  if (value.get() == Py_None || PyUnicode_CheckExact(value.get())) return value;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(value.get())->tp_name);
  throw_error();
}

}  // namespace zelk::fetch
