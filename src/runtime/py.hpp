// Python operations as C++ calls: values, attributes, items, calls with
// keywords, imports at call time, module globals, exceptions with their
// chaining, and logging through a module's `logger`.
#pragma once
#include <array>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "runtime/names.hpp"
#include "runtime/ref.hpp"

namespace vc {

// ---- values --------------------------------------------------------------
Ref none();
Ref boolean(bool v);
Ref text(std::string_view s);          // str from UTF-8
Ref integer(long long v);
Ref real(double v);
Ref bytes(std::string_view data);
Ref tuple(std::initializer_list<PyObject*> items);
Ref tuple(std::span<PyObject* const> items);  // a run of borrowed items known only at run time
Ref list(std::initializer_list<PyObject*> items = {});
Ref dict();
// Evaluates a Python literal ("None", "2.0", "'text'", "()") once; for defaults.
// The common forms are made directly; only others are compiled.
Ref literal(const char* source);

Ref str(PyObject* o);                  // str(o)
Ref format(PyObject* o);               // format(o), i.e. f"{o}"
bool truthy(PyObject* o);
bool equals_text(PyObject* o, const char* s);  // o == "s" with Python semantics
// Python operators with their full semantics (numbers of any type).
Ref add(PyObject* a, PyObject* b);
Ref subtract(PyObject* a, PyObject* b);
bool compare(PyObject* a, PyObject* b, int op);  // Py_LT, Py_LE, Py_EQ, Py_NE, ...

// a, b, ... = o  (exactly n items, with the interpreter's messages)
std::vector<Ref> unpack(PyObject* o, size_t n);
// isinstance(o, (bytes, bytearray)) and isinstance(o, str), subclasses included
inline bool is_bytes_like(PyObject* o) { return PyBytes_Check(o) || PyByteArray_Check(o); }
inline bool is_text(PyObject* o) { return PyUnicode_Check(o); }

// a, b, c = o for a fixed count, without a heap vector.
template <size_t N>
std::array<Ref, N> unpack(PyObject* o) {
  std::array<Ref, N> out;
  // An exact tuple or list of the right size is read in place, as the
  // interpreter's own unpacking does; anything else is iterated.
  if ((PyTuple_CheckExact(o) || PyList_CheckExact(o)) && Py_SIZE(o) == (Py_ssize_t)N) {
    PyObject** items = PySequence_Fast_ITEMS(o);
    for (size_t i = 0; i < N; ++i) out[i] = Ref::borrow(items[i]);
    return out;
  }
  std::vector<Ref> v = unpack(o, N);  // errors and texts in one place
  for (size_t i = 0; i < N; ++i) out[i] = std::move(v[i]);
  return out;
}

// ---- attributes and items -------------------------------------------------
// Names and keys are `"x"_n` (interned once, matched by identity).
Ref attr(PyObject* o, PyObject* name);
// getattr(o, name, dflt): a missing attribute creates no exception object.
Ref attr_or(PyObject* o, PyObject* name, PyObject* dflt);
// getattr(o, name, <absent>): an empty Ref when the attribute is missing.
Ref lookup(PyObject* o, PyObject* name);
void set_attr(PyObject* o, PyObject* name, PyObject* value);
Ref item(PyObject* o, PyObject* key);  // o[key]
void set_item(PyObject* o, PyObject* key, PyObject* value);
// mapping.get(key) / mapping.get(key, dflt) as Python would call it: without a
// default the method gets one argument (fast path for exact dicts).
Ref get(PyObject* mapping, PyObject* key, PyObject* dflt = nullptr);
Py_ssize_t length(PyObject* o);  // len(o)

// ---- calls ----------------------------------------------------------------
// `call(f, a, b, "name"_kw = v)` and `call_method(o, "m"_n, a, "k"_kw = v)`.
// Arguments are Refs or borrowed pointers; keywords come last. The kwnames
// tuple is built once per call shape; the argument array is on the stack.
template <Lit S>
struct KwArg {
  PyObject* value;
};
template <Lit S>
struct KwName {
  KwArg<S> operator=(PyObject* v) const noexcept { return {v}; }
};
template <Lit S>
constexpr KwName<S> operator""_kw() {
  return {};
}

namespace detail {
template <class T>
struct kw_of : std::false_type {
  static PyObject* name() { return nullptr; }
};
template <Lit S>
struct kw_of<KwArg<S>> : std::true_type {
  static PyObject* name() { return vc::name<S>(); }
};
template <class T>
constexpr bool is_kw = kw_of<std::remove_cvref_t<T>>::value;

inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }
inline PyObject* ptr(Name n) noexcept { return n.get(); }
template <Lit S>
PyObject* ptr(const KwArg<S>& k) noexcept {
  return k.value;
}

// A loop, not a fold: for an empty pack the fold would leave its flags set
// and never read, which newer compilers warn about.
template <class... A>
constexpr bool keywords_last() {
  constexpr bool kw[] = {is_kw<A>..., false};
  bool seen = false;
  for (size_t i = 0; i < sizeof...(A); ++i) {
    if (kw[i]) seen = true;
    else if (seen) return false;
  }
  return true;
}
template <class... A>
constexpr size_t count_kw() {
  return (size_t{0} + ... + (is_kw<A> ? 1 : 0));
}
template <class... A>
PyObject* kwnames() {
  static PyObject* const names = [] {
    PyObject* items[sizeof...(A) + 1] = {};
    size_t n = 0;
    ((is_kw<A> ? (void)(items[n++] = kw_of<std::remove_cvref_t<A>>::name()) : (void)0), ...);
    // Owned by this call shape for the life of the process (immutable).
    PyObject* t = PyTuple_New((Py_ssize_t)n);
    if (t == nullptr) throw_pending();
    for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, (Py_ssize_t)i, Py_NewRef(items[i]));
    return t;
  }();
  return names;
}
}  // namespace detail

// f()
Ref call(PyObject* f);

template <class... A>
  requires(sizeof...(A) > 0)
Ref call(PyObject* f, const A&... a) {
  static_assert(detail::keywords_last<A...>(), "keyword arguments come after positional ones");
  constexpr size_t nkw = detail::count_kw<A...>();
  PyObject* argv[sizeof...(A) + 1] = {nullptr, detail::ptr(a)...};
  PyObject* names = nkw ? detail::kwnames<A...>() : nullptr;
  return Ref::steal(PyObject_Vectorcall(f, argv + 1, (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

template <class... A>
Ref call_method(PyObject* o, Name method, const A&... a) {
  static_assert(detail::keywords_last<A...>(), "keyword arguments come after positional ones");
  constexpr size_t nkw = detail::count_kw<A...>();
  PyObject* argv[sizeof...(A) + 2] = {nullptr, o, detail::ptr(a)...};
  PyObject* names = nkw ? detail::kwnames<A...>() : nullptr;
  return Ref::steal(
      PyObject_VectorcallMethod(method, argv + 1, (1 + sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

// f(**mapping): any mapping, copied into a fresh dict as a call site does
// (a non-mapping gets Python's TypeError).
Ref call_kwargs(PyObject* f, PyObject* mapping);
// f(*args, **kwargs): `args` a tuple, `kwargs` a dict; either may be NULL.
Ref call_star(PyObject* f, PyObject* args, PyObject* kwargs);

// ---- imports (through builtins.__import__, so sys.modules and patches count) --
// While builtins.__import__ is the interpreter's own, the import machinery is
// called directly (as ceval does); a replaced __import__ is called instead.
Ref import_module(PyObject* dotted);                           // import a.b  -> a.b
Ref import_binding(PyObject* dotted);                          // import a.b  -> a (the name it binds)
Ref import_from(PyObject* module, PyObject* name);             // from module import name
Ref import_relative(PyObject* globals, PyObject* module, PyObject* name);  // from .module import name

// ---- module globals, looked up at each use like LOAD_GLOBAL ---------------
Ref global(PyObject* globals, PyObject* name);

// os.environ.get(name[, dflt]) through the module's `os` global.
Ref environ_get(PyObject* globals, PyObject* name, PyObject* dflt = nullptr);

// ---- exceptions ----------------------------------------------------------
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* exc);               // raise exc
[[noreturn]] void raise_from(PyObject* exc, PyObject* cause);  // raise exc from cause
Ref take_error();                                     // the pending exception, cleared
[[noreturn]] void rethrow(Ref exc);                   // re-raise unchanged
// `except type:` test of a taken error (type may be a tuple). A type that is
// not a BaseException class (nor a tuple of them) raises Python's TypeError,
// with `exc` as its context.
bool matches(PyObject* exc, PyObject* type);

// Inside this scope `handled` is the exception being handled, as within
// `except ... as handled:`; anything raised gets it as __context__.
class Handling {
 public:
  explicit Handling(PyObject* handled);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* previous_;
};

// `except ... as handled: raise exc` (implicit context) and
// `except ... as handled: raise exc from handled` (explicit cause).
[[noreturn]] void raise_in_except(PyObject* exc, PyObject* handled);
[[noreturn]] void raise_from_handled(PyObject* exc, PyObject* handled);

// Python's implicit chaining after the fact: `exc.__context__ = context` unless
// that would make a cycle (the same rule the interpreter applies on raise).
void chain_context(PyObject* exc, PyObject* context);

// ---- logging --------------------------------------------------------------
// logger.<level>(message, *args, extra=extra) with `logger` read from the
// module globals at each call; formatting stays deferred to logging.
// Called as `logger.<level>(message, *args[, extra=extra])` by
// PyObject_VectorcallMethod: no bound method, no tuple, no dict.
void log(PyObject* globals, const char* level, const char* message, std::initializer_list<PyObject*> args = {},
         PyObject* extra = nullptr);

// ---- message templates -----------------------------------------------------
// A message written whole: "{}" is replaced by format(arg) (f"{arg}"), "{!r}"
// by repr(arg), "{!s}" by str(arg), in order.
Ref fmt(const char* tmpl, std::initializer_list<PyObject*> args);
template <class... A>
Ref fmt(const char* tmpl, const A&... a) {
  return fmt(tmpl, {detail::ptr(a)...});
}

}  // namespace vc
