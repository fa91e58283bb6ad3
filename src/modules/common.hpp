// Helpers shared by the vorel_cloud modules (not part of the runtime layer:
// they name this package's exceptions and the core SDK's ApprovalDenied).
// `Scope` is a `vc::Call` or a `vc::Frame`: names are read from the calling
// module's globals at each use, so patched exceptions count.
#pragma once
#include <cmath>

#include "runtime/vorel.hpp"

namespace vorel {

using vc::Ref;
using vc::operator""_n;
using vc::operator""_kw;

// VorelCloudError(message), the class read from the module globals.
//     raise(cloud_error(c, fmt("connect token required - set {} or pass token=", name)));
template <class Scope>
Ref cloud_error(const Scope& s, PyObject* message) {
  Ref cls = s.global("VorelCloudError"_n);
  return vc::call(cls, message);
}

// ApprovalDenied(request, reason=reason)
inline Ref denial(PyObject* denied_type, PyObject* request, PyObject* reason) {
  return vc::call(denied_type, request, "reason"_kw = reason);
}

// The handlers' `except` clauses around a cloud approval:
//     except (ApprovalDeniedError, ApprovalExpiredError) as e:
//         raise ApprovalDenied(request, reason=str(e)) from e
//     except ApprovalTimeoutError:
//         raise ApprovalDenied(request, reason=<timeout_reason()>)
// Returns the error that leaves: the new ApprovalDenied (chained as Python
// chains it) or `error` unchanged. The clauses' classes are module globals,
// evaluated while `error` is handled.
template <class Scope, class Reason>
Ref refusal_to_denial(const Scope& s, Ref error, PyObject* denied_type, PyObject* request, Reason&& timeout_reason) {
  try {
    vc::Handling scope(error);
    Ref refusals = vc::tuple({s.global("ApprovalDeniedError"_n), s.global("ApprovalExpiredError"_n)});
    if (vc::matches(error, refusals)) {
      Ref reason = vc::str(error);
      vc::raise_from(denial(denied_type, request, reason), error);
    }
    if (vc::matches(error, s.global("ApprovalTimeoutError"_n))) {
      Ref reason = timeout_reason();
      vc::raise(denial(denied_type, request, reason));
    }
  } catch (vc::PyError&) {
    return vc::take_error();
  }
  return error;
}

// ---- handler settings, checked when a handler is made ---------------------

// A handler's wait or pause, in seconds: a real number (int, float, or any
// other registered with `numbers.Real`), finite and not negative; zero is
// fine. Checked when the handler is made, so that a bad setting fails before
// any approval request is left pending for a human.
inline void require_seconds(PyObject* value, const char* name) {
  bool number = !PyBool_Check(value) && (PyLong_Check(value) || PyFloat_Check(value));
  if (!number && !PyBool_Check(value)) {
    Ref real_type = vc::import_from("numbers"_n, "Real"_n);
    number = vc::check(PyObject_IsInstance(value, real_type)) == 1;
  }
  if (!number) {
    PyErr_Format(PyExc_TypeError, "%s must be a number of seconds, not %.200s", name, Py_TYPE(value)->tp_name);
    vc::throw_pending();
  }
  // As seconds the value meets the float clock: an int too large for a float
  // is as unusable as an infinite one.
  bool usable = false;
  try {
    Ref as_float = Ref::steal(PyNumber_Float(value));
    double seconds = PyFloat_AS_DOUBLE(as_float.get());
    usable = std::isfinite(seconds) && seconds >= 0.0;
  } catch (vc::PyError&) {
    Ref e = vc::take_error();
    if (!vc::matches(e, PyExc_OverflowError)) vc::rethrow(e);
  }
  if (!usable) {
    PyErr_Format(PyExc_ValueError, "%s must be a finite number of seconds >= 0, got %R", name, value);
    vc::throw_pending();
  }
}

// A count: an int, or anything usable as one (`__index__`), but not a bool.
inline void require_count(PyObject* value, const char* name) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    vc::throw_pending();
  }
}

}  // namespace vorel
