// C++20 coroutines with the face of Python coroutine objects.
//
// A native coroutine function returns `vc::start(call, body(...))`; the body is
// a C++ coroutine of type `vc::Coro` that may `co_await vc::await(obj)` on any
// Python awaitable. The Python object drives the body:
//   - values yielded by the awaited iterator go up to the event loop
//     unchanged (the `yield from` contract), so futures and tasks just work;
//   - `throw()` (cancellation) is forwarded into the awaited iterator, and an
//     error it raises surfaces at the `co_await` as PyError;
//   - `close()` closes the awaited iterator and raises GeneratorExit at the
//     `co_await`; clean-up that then suspends gives Python's RuntimeError.
//
// Rules for bodies:
//  1. Parameters are taken by value (`Ref`), never by reference: the frame
//     outlives the call that created it.
//  2. `co_await` is not allowed inside `catch`: take the error with
//     `take_error()`, leave the block, await the clean-up, then `rethrow`.
//  3. Build the awaitable in its own statement, then `co_await vc::await(x)`:
//     g++ 12 rejects a braced argument list (an initializer_list's array)
//     inside a full-expression that suspends ("array used as initializer").
//     Hand it over with `std::move(x)`: locals of a suspended body are not
//     visited by the cycle collector, so the frame must not keep the awaitable.
//  4. Await through `vc::await(obj)` only (its awaiter has a constructor:
//     g++ 12 destroys RAII members of brace-initialised awaiters twice).
#pragma once
#include <coroutine>

#include "runtime/function.hpp"

namespace vc {

class Coro;

struct CoroPromise {
  CoroPromise() noexcept {}  // user-declared: g++ 12 would aggregate-initialise from the arguments
  Ref result;
  Ref error;        // set when the body ended by raising
  Ref awaiting;     // iterator currently driven on the body's behalf
  Ref handled;      // exception the body is handling while it awaits (a `finally` clean-up)
  Ref sent_value;   // what the awaited iterator returned
  Ref sent_error;   // what the awaited iterator raised

  Coro get_return_object() noexcept;
  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void return_value(Ref v) noexcept { result = std::move(v); }
  void unhandled_exception() noexcept;
};

class Coro {
 public:
  using promise_type = CoroPromise;
  explicit Coro(std::coroutine_handle<CoroPromise> h) noexcept : h_(h) {}
  Coro(Coro&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Coro(const Coro&) = delete;
  Coro& operator=(const Coro&) = delete;
  ~Coro() {
    if (h_) h_.destroy();
  }
  std::coroutine_handle<CoroPromise> release() noexcept { return std::exchange(h_, {}); }

 private:
  std::coroutine_handle<CoroPromise> h_;
};

class Await {
 public:
  explicit Await(Ref awaitable, Ref handled = Ref()) noexcept
      : awaitable_(std::move(awaitable)), handled_(std::move(handled)) {}
  // Turns the awaitable into its iterator here, so a non-awaitable raises
  // TypeError at the `co_await`, as `await` does.
  bool await_ready();
  void await_suspend(std::coroutine_handle<CoroPromise> h) noexcept;
  Ref await_resume();

 private:
  Ref awaitable_;
  Ref handled_;
  Ref iterator_;
  CoroPromise* promise_ = nullptr;
};

// `co_await vc::await(x)`: the value of `await x`; throws PyError on error.
inline Await await(Ref awaitable) { return Await(std::move(awaitable)); }

// Wraps a body into a new coroutine object named after the running function.
Ref start(const Call& call, Coro body);

// Creates the coroutine type for a module (called once per module object).
PyObject* create_coroutine_type(PyObject* module);

}  // namespace vc
