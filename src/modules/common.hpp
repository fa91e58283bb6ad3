// Helpers shared by the vorel_cloud modules (not part of the runtime layer:
// they name this package's exceptions and the core SDK's ApprovalDenied).
// `Scope` is a `vc::Call` or a `vc::Frame`: names are read from the calling
// module's globals at each use, so patched exceptions count.
#pragma once
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
    Ref refusals = vc::tuple({s.global("ApprovalDeniedError"_n).get(),
                              s.global("ApprovalExpiredError"_n).get()});
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

}  // namespace vorel
