// Owning references, the C++ carrier of Python exceptions, and the small call
// vocabulary that the module bodies are written in.
//
// Rule of the house: module code never calls Py_INCREF/Py_DECREF itself. Every
// new reference goes into a Ref the moment it is returned by the C API, and
// every failing C API call turns into a thrown PyErr that carries the raised
// Python exception to the function boundary, where it is restored.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace zelk {

// True on a thread that the interpreter is ending at its exit: Python 3.13
// ends a thread that asks for the GIL once finalization has begun (a daemon
// thread) by unwinding its stack, with no thread state. The destructors that
// run then must not touch the interpreter: what they hold is left to the
// exiting process.
inline bool unwound_at_exit() noexcept { return PyThreadState_GetUnchecked() == nullptr && Py_IsFinalizing(); }

// Where that unwinding cannot pass (a destructor: it would end the process
// with std::terminate), the thread waits for the process's end instead. It
// holds no GIL then; the exiting process ends it.
[[noreturn]] void park_for_exit() noexcept;

// Runs `fn(arg)`, which asks for the GIL again or lets go of a last
// reference (a finalizer may let the GIL go and ask for it back: a file or a
// socket closed), from a destructor or an exception handler: a thread that
// the interpreter ends meanwhile is parked (park_for_exit) instead of
// unwound. A cleanup of this function's own frame (never inlined) stops the
// unwinding before any frame of its caller sees it; a handler could not take
// it while another exception is being handled (std::terminate).
void exit_barrier_call(void (*fn)(void*), void* arg);

template <class F>
void exit_barrier(F&& f) {
  exit_barrier_call([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); }, &f);
}

// Py_DECREF of a reference that may be the last (exit_barrier).
void release_last(PyObject* p) noexcept;

// An owning reference to a Python object (or to nothing).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~Ref() {
    if (p_ == nullptr || unwound_at_exit()) return;
    if (Py_REFCNT(p_) > 1) {
      Py_DECREF(p_);  // not the last: no finalizer runs
    } else {
      release_last(p_);
    }
  }

  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference; throws the pending Python error for nullptr.
  static Ref steal(PyObject* p);
  // Takes over a new reference that may legitimately be nullptr.
  static Ref steal_or_null(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept { return steal_or_null(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  operator PyObject*() const noexcept { return p_; }

 private:
  PyObject* p_ = nullptr;
};

// A raised Python exception travelling through C++ frames.
class PyErr : public std::exception {
 public:
  // Takes the exception that is currently raised (the error indicator is
  // cleared). Without one, a SystemError stands in for it.
  PyErr();
  explicit PyErr(Ref exc) noexcept : exc_(std::move(exc)) {}

  const char* what() const noexcept override { return "Python exception"; }

  PyObject* value() const noexcept { return exc_.get(); }
  // True when the exception is an instance of `type` (a class or a tuple).
  bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), type) != 0; }
  // True for the `Exception` family; interrupts and exit requests are not.
  bool is_exception() const noexcept { return matches(PyExc_Exception); }
  // Hands the exception back to the interpreter's error indicator.
  void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

 private:
  Ref exc_;
};

// Throws the currently raised Python exception.
[[noreturn]] void throw_error();

inline Ref Ref::steal(PyObject* p) {
  if (p == nullptr) throw_error();
  return steal_or_null(p);
}

// Throws when a C API status code reports a failure (-1).
inline void check(int status) {
  if (status < 0) throw_error();
}

// Raises `type(message)` as a PyErr.
[[noreturn]] void raise(PyObject* type, const char* message);
// Raises `type(message)` where the message is a str object.
[[noreturn]] void raise(PyObject* type, PyObject* message);
// Raises an already built exception instance.
[[noreturn]] void raise_instance(PyObject* exc);

// While an `except` block runs, the caught exception is the interpreter's
// "handled" exception, so that an error raised inside the block gets it as its
// __context__, exactly as in Python code. What is saved and put back is the
// running frame's own level: PyErr_GetHandledException would give the topmost
// exception of any level below (the caller's, when a generator runs inside an
// except block), and putting that back would leave it in the generator.
class Handling {
 public:
  explicit Handling(const PyErr& e) noexcept : prev_(Ref::borrow(PyThreadState_Get()->exc_info->exc_value)) {
    PyErr_SetHandledException(e.value());
  }
  ~Handling() {
    if (!unwound_at_exit()) exit_barrier([this] { PyErr_SetHandledException(prev_.get()); });
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref prev_;
};

// ---------------------------------------------------------------- call vocabulary

// A keyword argument: an interned name and its value.
struct Kw {
  PyObject* name;
  PyObject* value;
};

namespace detail {
inline constexpr bool is_kw(const Kw*) { return true; }
template <class T>
inline constexpr bool is_kw(const T*) {
  return false;
}
inline PyObject* arg_ptr(PyObject* o) { return o; }
inline PyObject* arg_ptr(const Ref& o) { return o.get(); }
inline PyObject* arg_ptr(const Kw& k) { return k.value; }

template <class... A>
Ref vectorcall(PyObject* callable, PyObject* self, A&&... a) {
  constexpr std::size_t n = sizeof...(A);
  constexpr std::size_t nkw = (std::size_t{0} + ... + (is_kw(static_cast<std::remove_cvref_t<A>*>(nullptr)) ? 1 : 0));
  // slot 0 is scratch space for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET) or `self`
  std::array<PyObject*, n + 1> argv{self, arg_ptr(a)...};
  Ref kwnames;
  if constexpr (nkw > 0) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    Py_ssize_t i = 0;
    auto put = [&](auto&& x) {
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(x)>, Kw>) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(x.name));
      }
    };
    (put(a), ...);
  }
  const std::size_t npos = n - nkw;
  if (self == nullptr) {
    return Ref::steal(
        PyObject_Vectorcall(callable, argv.data() + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  }
  // method call: `callable` is the method name, argv[0] the object
  return Ref::steal(
      PyObject_VectorcallMethod(callable, argv.data(), (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}
}  // namespace detail

// callable(args..., name=value...): positional arguments first, then Kw{...}.
template <class... A>
Ref call(PyObject* callable, A&&... a) {
  return detail::vectorcall(callable, nullptr, std::forward<A>(a)...);
}

// obj.name(args...), without building a bound method where the type allows.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A&&... a) {
  return detail::vectorcall(name, obj, std::forward<A>(a)...);
}

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref getitem(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }

inline bool truthy(PyObject* o) {
  int r = PyObject_IsTrue(o);
  check(r);
  return r != 0;
}
inline bool contains(PyObject* container, PyObject* item) {
  int r = PySequence_Contains(container, item);
  check(r);
  return r != 0;
}
inline bool rich_compare(PyObject* a, PyObject* b, int op) {
  int r = PyObject_RichCompareBool(a, b, op);
  check(r);
  return r != 0;
}
inline Py_ssize_t length(PyObject* o) {
  Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw_error();
  return n;
}

// Texts, converted as an f-string converts a value (format(value, "")).
inline Ref fmt(PyObject* o) { return Ref::steal(PyObject_Format(o, nullptr)); }
inline Ref str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }
inline Ref repr(PyObject* o) { return Ref::steal(PyObject_Repr(o)); }
inline Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
// PyUnicode_FromFormat with the usual %U / %S / %R / %s / %zd conversions.
Ref textf(const char* format, ...);
// The texts joined into one new text that is sized once, as an f-string joins
// its pieces; cheaper than textf on a hot path. Every piece must be a str.
Ref concat(std::initializer_list<PyObject*> parts);
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// Iteration: `for (Iter it(obj); auto item = it.next();) { ... }`
class Iter {
 public:
  explicit Iter(PyObject* iterable) : it_(Ref::steal(PyObject_GetIter(iterable))) {}
  // The next item, or an empty Ref at the end; a raised error is thrown.
  Ref next() {
    PyObject* item = PyIter_Next(it_.get());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return Ref::steal_or_null(item);
  }

 private:
  Ref it_;
};

// A special method as the interpreter finds it: on the type, bound to `o`.
// Empty when the type has none.
Ref lookup_special(PyObject* o, PyObject* name);

// `with manager as entered: body(entered)`, with the statement's protocol:
// __enter__ and then __exit__ are looked up on the type, an exception from the
// body is offered to __exit__ and re-raised unless it returns a true value.
template <class Body>
void with(PyObject* manager, PyObject* enter_name, PyObject* exit_name, Body&& body) {
  Ref enter = lookup_special(manager, enter_name);
  if (!enter) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
    throw_error();
  }
  Ref exit = lookup_special(manager, exit_name);
  if (!exit) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
    throw_error();
  }
  Ref entered = call(enter);
  try {
    body(entered.get());
  } catch (PyErr& e) {
    Handling handling(e);
    PyObject* exc = e.value();
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(exc));
    Ref suppress = call(exit, type, exc, tb ? tb.get() : Py_None);
    if (truthy(suppress)) return;
    throw;
  }
  call(exit, Py_None, Py_None, Py_None);
}

}  // namespace zelk
