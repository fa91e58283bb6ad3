// Owning references and the bridge between Python errors and C++ exceptions.
//
// Rules of use (the whole native layer follows them):
//  1. A `Ref` owns one strong reference; `Ref::steal` adopts a new reference
//     returned by the C API, `Ref::borrow` adds one to a borrowed pointer. Both
//     throw `PyError` when handed NULL, so a failed C API call never goes on.
//  2. A raw `PyObject*` in module code is always borrowed and never released.
//  3. `PyError` means "a Python exception is set in the thread state". Nothing
//     else may be thrown across the layer.
//  4. Every entry point called by Python converts `PyError` back with
//     `vc::guard` (returns NULL / -1 with the error still set).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace vc {

struct PyError {};

// Throws PyError; a Python error must already be set.
[[noreturn]] void throw_pending();

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref(p);
  }
  static Ref borrow(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref(Py_NewRef(p));
  }
  // For results where NULL is a normal answer (no error set).
  static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow_or_null(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  bool is(PyObject* o) const noexcept { return p_ == o; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw_pending();
  return p;
}
inline int check(int rc) {
  if (rc < 0) throw_pending();
  return rc;
}

// Runs `f` at a Python-facing boundary: PyError (or a C++ failure) becomes a
// set Python error and `fail` is returned.
template <class T, class F>
T guard_value(T fail, F&& f) noexcept {
  try {
    return f();
  } catch (PyError&) {
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native error without an exception set");
  return fail;
}

template <class F>
PyObject* guard(F&& f) noexcept {
  return guard_value<PyObject*>(nullptr, [&]() -> PyObject* { return f().release(); });
}

}  // namespace vc
