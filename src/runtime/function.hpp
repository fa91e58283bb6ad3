// Native function objects that behave like Python functions.
//
// A function is described once, statically, by a `FuncDef` (name, docstring,
// parameter table, implementation). The same parameter table drives argument
// parsing (with Python's own TypeError texts) and the `__signature__` that
// `inspect.signature` reports. Instances carry an instance `__dict__`
// (`__name__`, `__qualname__`, `__module__`, `__doc__` are ordinary, settable
// entries), the module globals they resolve names in, and optional captured
// values (closures). They bind as methods when stored in a class.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "runtime/py.hpp"

namespace vc {

// Parameters appear in Python's order: positional-or-keyword, then *args,
// then keyword-only, then **kwargs.
enum class ParamKind : unsigned char { positional_or_keyword, var_positional, keyword_only, var_keyword };

struct Param {
  const char* name;
  ParamKind kind = ParamKind::positional_or_keyword;
  const char* default_literal = nullptr;  // Python literal; nullptr = required
  const char* annotation = nullptr;       // Python expression over typing names; nullptr = none
};

struct Call;
using Impl = Ref (*)(Call&);

struct FuncDef {
  const char* name;
  const char* doc;
  std::span<const Param> params;
  Impl impl;
  const char* returns = nullptr;  // return annotation expression
  bool coroutine = false;         // inspect.iscoroutinefunction() is true
};

inline constexpr size_t kMaxParams = 8;

struct FunctionObject;

// Parameters and captures are named by scoped enums, in table order:
//   enum class P : size_t { request, signing_key };   c.arg(P::request)
// A debug build (no NDEBUG) checks every index against the table.
template <class E>
concept Index = std::is_enum_v<E>;

size_t param_count(const FunctionObject* fn);
size_t capture_count(const FunctionObject* fn);
#ifdef NDEBUG
inline void check_index(size_t, size_t) {}
#else
void check_index(size_t i, size_t n);  // raises SystemError when i >= n
#endif

PyObject* capture_of(const FunctionObject* fn, size_t i);  // its i-th captured value (index checked)
PyObject* globals_of(const FunctionObject* fn);            // its module's dict

// What `Call` and `Frame` share: named indices, captures and globals, read
// through the running function (`D::function()`); `D::arg(size_t)` is theirs.
template <class D>
struct FunctionScope {
  template <Index E>
  PyObject* arg(E i) const {
    return derived().arg(static_cast<size_t>(i));
  }
  PyObject* capture(size_t i) const { return capture_of(derived().function(), i); }
  template <Index E>
  PyObject* capture(E i) const {
    return capture(static_cast<size_t>(i));
  }
  PyObject* globals() const { return globals_of(derived().function()); }
  Ref global(PyObject* name) const { return vc::global(globals(), name); }
  PyObject* self() const { return reinterpret_cast<PyObject*>(derived().function()); }

 private:
  const D& derived() const { return static_cast<const D&>(*this); }
};

// What an implementation sees: parsed arguments in parameter order (borrowed,
// valid for the call), the captured values and the module globals.
struct Call : FunctionScope<Call> {
  FunctionObject* fn;
  PyObject* args[kMaxParams];
  Ref var_args;    // the *args tuple, when the function has one
  Ref var_kwargs;  // the **kwargs dict, when the function has one

  using FunctionScope<Call>::arg;
  PyObject* arg(size_t i) const {
    check_index(i, param_count(fn));
    return args[i];
  }
  FunctionObject* function() const { return fn; }
};

// `fn.__name__` / `fn.__qualname__` of the running function as getattr reads
// them now (a caller may have reassigned or deleted them).
Ref function_name(const Call& c);
Ref function_qualname(const Call& c);

// A coroutine body's view of its call, with the same interface as `Call`:
//     Coro gate(Frame f) { ... f.arg(P::request) ... f.global("asyncio"_n) ... }
//     Ref handle(Call& c) { return start(c, gate(Frame(c))); }
// It keeps the function (globals, captures) and the arguments alive for the
// body's life and nothing else: temporaries belong in inner scopes, so they
// do not stay in the C++ frame across an await.
class Frame : public FunctionScope<Frame> {
 public:
  explicit Frame(const Call& c);
  using FunctionScope<Frame>::arg;
  PyObject* arg(size_t i) const {
    check_index(i, n_);
    return args_[i].get();
  }
  FunctionObject* function() const { return reinterpret_cast<FunctionObject*>(fn_.get()); }

 private:
  Ref fn_;
  std::array<Ref, kMaxParams> args_;
  size_t n_;
};

// f(a, b, "k"_kw = v) for a module global that is usually one of this
// module's own native functions, given every parameter in table order
// (keywords named as the parameters): while `f` is such a function its
// implementation runs at once, without a call's argument parsing. Anything
// else in its place (a patched global, another callable) is called as usual.
Ref call_native_vector(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames);
template <class... A>
Ref call_native(PyObject* f, const A&... a) {
  static_assert(detail::keywords_last<A...>(), "keyword arguments come after positional ones");
  constexpr size_t nkw = detail::count_kw<A...>();
  PyObject* argv[sizeof...(A) + 1] = {nullptr, detail::ptr(a)...};
  PyObject* names = nkw ? detail::kwnames<A...>() : nullptr;
  return call_native_vector(f, argv + 1, sizeof...(A) - nkw, names);
}

// Creates a function object of the module's function type.
//   qualname  : defaults to def.name (closures pass "outer.<locals>.inner").
//   captures  : values the implementation reads with Call::capture(i).
Ref make_function(PyObject* module, const FuncDef& def, const char* qualname = nullptr,
                  std::initializer_list<PyObject*> captures = {});
// Same, from inside a running function (closures): type, globals and module
// come from the caller.
Ref make_closure(const Call& outer, const FuncDef& def, const char* qualname,
                 std::initializer_list<PyObject*> captures = {});

// Evaluates an annotation expression over typing's names and the globals.
Ref annotation(PyObject* globals, const char* expr);

// Creates the function type for a module (called once per module object).
PyObject* create_function_type(PyObject* module);

}  // namespace vc
