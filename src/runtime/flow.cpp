#include "runtime/flow.hpp"

namespace vc {

Ref special_method(PyObject* o, PyObject* name, const char* missing_format) {
  PyTypeObject* tp = Py_TYPE(o);
  PyObject* mro = tp->tp_mro;  // borrowed; set for every ready type
  PyObject* found = nullptr;
  Ref keep;
  const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
  for (Py_ssize_t i = 0; i < n && found == nullptr; ++i) {
    Ref d = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
    found = PyDict_GetItemWithError(d, name);
    if (found == nullptr && PyErr_Occurred()) throw_pending();
    if (found != nullptr) keep = Ref::borrow(found);
  }
  if (!keep) {
    PyErr_Format(PyExc_TypeError, missing_format, tp->tp_name);
    throw_pending();
  }
  descrgetfunc bind = Py_TYPE(keep.get())->tp_descr_get;
  if (bind != nullptr) return Ref::steal(bind(keep, o, reinterpret_cast<PyObject*>(tp)));
  return keep;
}

}  // namespace vc
