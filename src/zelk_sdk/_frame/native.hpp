// Python objects that carry a C++ value, for the few module objects whose
// state is native (a decoder, a file descriptor). The value lives inside the
// object; it is built with the object and destroyed with it.
#pragma once

#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "handle.hpp"

namespace zelk {

template <class T>
struct NativeObject {
  PyObject_HEAD T value;
};

template <class T>
T& native(PyObject* o) noexcept {
  return reinterpret_cast<NativeObject<T>*>(o)->value;
}

template <class T>
void native_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  native<T>(self).~T();
  type->tp_free(self);
  Py_DECREF(type);  // a heap type's instances own a reference to it
}

// A heap type for T, not instantiable from Python: `slots` end with {0, nullptr}
// and must not set Py_tp_dealloc.
template <class T>
Ref native_type(PyObject* module, const char* qualified_name, PyType_Slot* slots, std::size_t nslots) {
  std::vector<PyType_Slot> all(slots, slots + nslots);
  all.insert(all.begin(), PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<T>)});
  PyType_Spec layout{qualified_name, static_cast<int>(sizeof(NativeObject<T>)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, all.data()};
  return Ref::steal(PyType_FromModuleAndSpec(module, &layout, nullptr));
}

// A new instance of `type` holding a default-constructed T.
template <class T>
Ref native_new(PyObject* type) {
  static_assert(std::is_nothrow_default_constructible_v<T>);
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref o = Ref::steal(tp->tp_alloc(tp, 0));
  new (&native<T>(o.get())) T();
  return o;
}

// The body of a C-level method: a thrown PyErr is restored, nullptr returned.
// (Not noexcept: a thread that the interpreter ends at its exit is unwound
// from where it asks for the GIL, through here.)
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f().release();
  } catch (PyErr& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace zelk
