// Python's control-flow statements around errors, written once:
//   caught(error, type)          `except <type>:` against a taken error
//   with_statement(manager, body) `with manager as value: body(value)`
//   try_finally(body, cleanup)   `try: body() finally: cleanup()`
//   close_after(obj, body)       `try: body() finally: obj.close()`
//   aclose(obj, error)           `finally: await obj.close()` in a coroutine body
// Every one keeps Python's chaining: a clean-up that raises replaces the
// error in flight and carries it as __context__.
#pragma once
#include <utility>

#include "runtime/coroutine.hpp"
#include "runtime/py.hpp"

namespace vc {

// `except <expr>:` for an error taken with take_error(). `type` is the
// clause's expression (a pointer, a Ref or a callable producing one); a
// callable is evaluated while `error` is being handled, as Python evaluates
// the clause. A non-exception class raises Python's TypeError.
template <class T>
bool caught(PyObject* error, T&& type) {
  Handling scope(error);
  if constexpr (std::is_invocable_v<T>) {
    Ref t = type();
    return matches(error, t);
  } else {
    return matches(error, type);
  }
}

// Special-method look-up on the type, as the interpreter does for `with`
// (the instance dict is not consulted; descriptors are bound).
Ref special_method(PyObject* o, PyObject* name, const char* missing_format);

// `with manager as value: return body(value)`. An empty Ref from `body` means
// the block ran to its end; `*suppressed` tells that `__exit__` swallowed an
// error (the statement then ends normally with an empty Ref as well).
template <class Body>
Ref with_statement(PyObject* manager, Body&& body, bool* suppressed = nullptr) {
  Ref enter = special_method(manager, "__enter__"_n, "'%.200s' object does not support the context manager protocol");
  Ref exit = special_method(manager, "__exit__"_n,
                            "'%.200s' object does not support the context manager protocol (missed __exit__ method)");
  Ref value = call(enter);
  Ref result;
  try {
    result = body(value.get());
  } catch (PyError&) {
    Ref error = take_error();
    bool swallow;
    {
      Handling scope(error);
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
      Ref tb = Ref::steal_or_null(PyException_GetTraceback(error));
      Ref answer = call(exit, type, error, tb ? tb.get() : Py_None);
      swallow = truthy(answer);
    }
    if (!swallow) rethrow(std::move(error));
    if (suppressed != nullptr) *suppressed = true;
    return Ref();
  }
  call(exit, Py_None, Py_None, Py_None);
  return result;
}

// `try: return body() finally: cleanup()`. On the error path the clean-up
// runs with the error as the handled exception; if it raises, its error
// leaves instead (chained to the first).
template <class Body, class Cleanup>
Ref try_finally(Body&& body, Cleanup&& cleanup) {
  Ref result;
  try {
    result = body();
  } catch (PyError&) {
    Ref error = take_error();
    {
      Handling scope(error);
      cleanup();
    }
    rethrow(std::move(error));
  }
  cleanup();
  return result;
}

// `try: return body() finally: obj.close()`
template <class Body>
Ref close_after(PyObject* obj, Body&& body) {
  return try_finally(std::forward<Body>(body), [obj] { call_method(obj, "close"_n); });
}

// `try: body() except: error = <taken>` -- runs `body` and hands back the
// error it raised (empty when none), for the `finally` steps that follow.
template <class Body>
Ref capture_error(Body&& body) {
  try {
    body();
  } catch (PyError&) {
    return take_error();
  }
  return Ref();
}

// `finally: await obj.close()`, written after the try body took its error (if
// any) into `error`:
//     Ref error;
//     try { ... } catch (PyError&) { error = take_error(); }
//     co_await vc::aclose(client, error);
//     if (error) rethrow(std::move(error));
// The close call and every step of its await run with `error` as the handled
// exception; an error they raise replaces `error` and carries it as
// __context__. Never throws.
class AClose {
 public:
  AClose(PyObject* obj, Ref& error) noexcept : obj_(obj), error_(error) {}
  bool await_ready() noexcept;
  void await_suspend(std::coroutine_handle<CoroPromise> h) noexcept;
  void await_resume() noexcept;

 private:
  PyObject* obj_;
  Ref& error_;
  Ref iterator_;
  CoroPromise* promise_ = nullptr;
};
inline AClose aclose(PyObject* obj, Ref& error) noexcept { return AClose(obj, error); }

}  // namespace vc
