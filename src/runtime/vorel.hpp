// The native runtime layer in one include.
//
// Rules of use (module code):
//  1. Ownership: a `Ref` owns one reference; a raw `PyObject*` borrows. No
//     Py_INCREF/Py_DECREF in module files. A failed C API or Python call
//     throws `vc::PyError` (an error is set); Python-facing entry points
//     convert it back (`guard`, done for you by function objects).
//  2. Names: every attribute, key, method, global and keyword name at a call
//     site is a literal with `_n` (`"tool"_n`) or `_kw` (`"reason"_kw = v`):
//     interned once, matched by identity. Only load-time tables (`Module`,
//     `FuncDef`, `Param`, `FieldDef`) and `log` take `const char*`.
//  3. Calls: `call(f)`, `call(f, a, b, "k"_kw = v)`, `call_method(o, "m"_n, a)`,
//     `call_kwargs(f, mapping)`, `call_star(f, args, kwargs)`; arguments are
//     Refs or borrowed pointers, keywords last.
//  4. Everything a caller may patch is read at each use: `c.global("x"_n)`,
//     `import_from("a"_n, "b"_n)` inside the function, `environ_get`,
//     `log(c.globals(), "info", "msg %s", {arg})`. Fast paths run only behind
//     an identity guard and fall back to the plain call: `construct`,
//     `read_fields` (module.hpp), `call_native` (function.hpp).
//  5. Parameters and captures are named by scoped enums, in table order:
//     `c.arg(P::request)`, `c.capture(Cap::timeout)` (bounds-checked in a
//     debug build).
//  6. Optional attributes: `attr_or(o, "x"_n, dflt)` / `lookup(o, "x"_n)`
//     create no exception for a missing attribute.
//  7. Errors: `try { ... } catch (PyError&) { Ref e = take_error(); ... }`;
//     `except T:` is `caught(e, T)` (or `caught(e, [&] { return c.global(..); })`
//     to evaluate the clause while `e` is handled); `raise_in_except`,
//     `raise_from_handled` for chaining. `with_statement`, `try_finally`,
//     `close_after` (flow.hpp) instead of hand-written clean-up.
//  8. Coroutines: `Coro body(Frame f)` started by `start(c, body(Frame(c)))`;
//     `co_await await(std::move(x))` on an awaitable built in its own
//     statement, never inside `catch`; `co_await aclose(obj, error)` for
//     `finally: await obj.close()`. Keep temporaries in inner scopes so they
//     do not live across an await.
//  9. Messages are written whole: `fmt("approval {} for {}: {}", a, b, c)`.
#pragma once
#include "runtime/coroutine.hpp"
#include "runtime/flow.hpp"
#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/py.hpp"
#include "runtime/ref.hpp"
