#include "runtime/py.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vc {

// ---- names ------------------------------------------------------------------

PyObject* make_name(const char* s) { return check(PyUnicode_InternFromString(s)); }

namespace {

// Direct-mapped caches. A replaced name is not released (interned strings
// are immortal from 3.12 on); a replaced tuple is, so callers hold their own
// reference to a tuple while they use it (a nested call may evict it).
struct NameSlot {
  const char* key;
  PyObject* name;
};
NameSlot name_slots[1024];

struct TupleSlot {
  PyObject* tuple;
};
TupleSlot tuple_slots[256];

}  // namespace

PyObject* name_of(const char* s) {
  NameSlot& slot = name_slots[(reinterpret_cast<uintptr_t>(s) >> 2) & 1023];
  if (slot.key == s && slot.name != nullptr) {
    const char* have = PyUnicode_AsUTF8(slot.name);
    if (have != nullptr && std::strcmp(have, s) == 0) return slot.name;
    PyErr_Clear();
  }
  PyObject* n = make_name(s);
  slot.key = s;
  slot.name = n;
  return n;
}

PyObject* names_tuple(PyObject* const* names, size_t n) {
  uintptr_t h = n;
  for (size_t i = 0; i < n; ++i) h = h * 31 + (reinterpret_cast<uintptr_t>(names[i]) >> 4);
  TupleSlot& slot = tuple_slots[(h ^ (h >> 11)) & 255];
  if (PyObject* t = slot.tuple; t != nullptr && (size_t)PyTuple_GET_SIZE(t) == n) {
    size_t i = 0;
    while (i < n && PyTuple_GET_ITEM(t, (Py_ssize_t)i) == names[i]) ++i;
    if (i == n) return t;
  }
  PyObject* t = check(PyTuple_New((Py_ssize_t)n));
  for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, (Py_ssize_t)i, Py_NewRef(names[i]));
  Py_XSETREF(slot.tuple, t);
  return t;
}

Ref lookup(PyObject* o, PyObject* name) {
  PyObject* v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int rc = PyObject_GetOptionalAttr(o, name, &v);
#else
  const int rc = _PyObject_LookupAttr(o, name, &v);
#endif
  if (rc < 0) throw_pending();
  return Ref::steal_or_null(v);
}

void throw_pending() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native call failed without setting an exception");
  throw PyError{};
}

// ---- values --------------------------------------------------------------

Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref text(std::string_view s) { return Ref::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref bytes(std::string_view d) { return Ref::steal(PyBytes_FromStringAndSize(d.data(), (Py_ssize_t)d.size())); }

Ref tuple(std::span<PyObject* const> items) {
  Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  return t;
}

Ref tuple(std::initializer_list<PyObject*> items) {
  return tuple(std::span<PyObject* const>(items.begin(), items.size()));
}

Ref list(std::initializer_list<PyObject*> items) {
  Ref l = Ref::steal(PyList_New((Py_ssize_t)items.size()));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(o));
  return l;
}

Ref dict() { return Ref::steal(PyDict_New()); }

namespace {

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return true;
}

// The literals parameter tables use, made without compiling anything: None,
// True, False, (), decimal integers, plain decimal floats and quoted text
// without escapes. NULL (no error set) for anything else.
PyObject* simple_literal(std::string_view s) {
  if (s == "None") return Py_NewRef(Py_None);
  if (s == "True") return Py_NewRef(Py_True);
  if (s == "False") return Py_NewRef(Py_False);
  if (s == "()") return PyTuple_New(0);
  if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front()) {
    std::string_view body = s.substr(1, s.size() - 2);
    const char stop[] = {s.front(), '\\', '\n', '\r', '\0'};
    if (body.find_first_of(stop) != std::string_view::npos) return nullptr;
    return PyUnicode_DecodeUTF8(body.data(), (Py_ssize_t)body.size(), nullptr);
  }
  std::string_view digits = s.substr(!s.empty() && s.front() == '-' ? 1 : 0);
  // 0 only alone: "007" is a syntax error, left to the compiler.
  if (all_digits(digits) && (digits.size() == 1 || digits.front() != '0')) {
    std::string z(s);
    return PyLong_FromString(z.c_str(), nullptr, 10);
  }
  const size_t dot = digits.find('.');
  if (dot != std::string_view::npos && all_digits(digits.substr(0, dot)) &&
      (dot + 1 == digits.size() || all_digits(digits.substr(dot + 1)))) {
    Ref t = text(s);
    return PyFloat_FromString(t);
  }
  return nullptr;
}

}  // namespace

Ref literal(const char* source) {
  if (PyObject* v = simple_literal(source)) return Ref::steal(v);
  if (PyErr_Occurred()) throw_pending();
  Ref ns = dict();
  check(PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()));
  return Ref::steal(PyRun_String(source, Py_eval_input, ns, ns));
}

Ref str(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);  // what PyObject_Str returns, without its signal check
  return Ref::steal(PyObject_Str(o));
}
Ref format(PyObject* o) { return Ref::steal(PyObject_Format(o, nullptr)); }

bool truthy(PyObject* o) {
  // The exact built-in types answer from their size, as their __bool__/__len__ would.
  if (o == Py_None || o == Py_False) return false;
  if (o == Py_True) return true;
  if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
  if (PyBytes_CheckExact(o)) return PyBytes_GET_SIZE(o) != 0;
  if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
  return check(PyObject_IsTrue(o)) == 1;
}

bool equals_text(PyObject* o, const char* s) {
  if (PyUnicode_CheckExact(o)) return PyUnicode_CompareWithASCIIString(o, s) == 0;
  Ref t = text(s);
  return check(PyObject_RichCompareBool(o, t, Py_EQ)) == 1;
}

std::vector<Ref> unpack(PyObject* o, size_t n) {
  PyObject* it = PyObject_GetIter(o);
  if (it == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyObject_HasAttrString((PyObject*)Py_TYPE(o), "__iter__")) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
    }
    throw_pending();
  }
  Ref iter = Ref::steal(it);
  std::vector<Ref> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    PyObject* v = PyIter_Next(iter);
    if (v == nullptr) {
      if (PyErr_Occurred()) throw_pending();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
      throw_pending();
    }
    out.push_back(Ref::steal(v));
  }
  PyObject* extra = PyIter_Next(iter);
  if (extra != nullptr) {
    Py_DECREF(extra);
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    throw_pending();
  }
  if (PyErr_Occurred()) throw_pending();
  return out;
}

Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
bool compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompareBool(a, b, op)) == 1; }

// ---- attributes and items -------------------------------------------------

Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref attr_or(PyObject* o, PyObject* name, PyObject* dflt) {
  if (Ref v = lookup(o, name)) return v;
  return Ref::borrow(dflt);
}

void set_attr(PyObject* o, PyObject* name, PyObject* value) { check(PyObject_SetAttr(o, name, value)); }

Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }

void set_item(PyObject* o, PyObject* key, PyObject* value) { check(PyObject_SetItem(o, key, value)); }

Ref get(PyObject* mapping, PyObject* k, PyObject* dflt) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, k);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_pending();
    return Ref::borrow(dflt ? dflt : Py_None);
  }
  if (dflt == nullptr) return call_method(mapping, "get"_n, k);
  return call_method(mapping, "get"_n, k, dflt);
}

Py_ssize_t length(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw_pending();
  return n;
}

// ---- calls ----------------------------------------------------------------

namespace {
constexpr size_t kStackArgs = 24;
}  // namespace

Ref call(PyObject* f) { return Ref::steal(PyObject_CallNoArgs(f)); }

#if PY_VERSION_HEX < 0x030F0000
namespace {
// How the interpreter names a callable in a call's error: "module.qualname()",
// "qualname()" for builtins, else str(f).
Ref callable_text(PyObject* f) {
  Ref qualname = lookup(f, "__qualname__"_n);
  if (!qualname) return str(f);
  Ref module = lookup(f, "__module__"_n);
  if (module && !module.is_none() && !equals_text(module, "builtins")) return fmt("{!s}.{!s}()", module, qualname);
  return fmt("{!s}()", qualname);
}
}  // namespace
#endif

Ref call_kwargs(PyObject* f, PyObject* mapping) {
  if (!PyDict_Check(mapping) && !lookup(mapping, "keys"_n)) {
#if PY_VERSION_HEX >= 0x030F0000
    // 3.15 no longer names the callable here.
    PyErr_Format(PyExc_TypeError, "Value after ** must be a mapping, not %.200s", Py_TYPE(mapping)->tp_name);
#else
    Ref shown = callable_text(f);
    PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", shown.get(),
                 Py_TYPE(mapping)->tp_name);
#endif
    throw_pending();
  }
  Ref kw = dict();
  check(PyDict_Merge(kw, mapping, 1));
  return call_star(f, nullptr, kw);
}

Ref call_star(PyObject* f, PyObject* args, PyObject* kwargs) {
  Ref a = args ? Ref::borrow(args) : Ref::steal(PyTuple_New(0));
  return Ref::steal(PyObject_Call(f, a, kwargs));
}

// ---- imports ----------------------------------------------------------------

namespace {

// The interpreter's own `__import__`: a built-in function of that name bound
// to the builtins module (a replacement is Python code, a partial, ...).
bool is_original_import(PyObject* imp) {
  static PyObject* original = nullptr;  // immutable built-in function, kept alive
  if (imp == original) return true;
  if (original != nullptr || !PyCFunction_Check(imp)) return false;
  PyObject* self = PyCFunction_GET_SELF(imp);
  if (self == nullptr || !PyModule_Check(self)) return false;
  const char* modname = PyModule_GetName(self);
  if (modname == nullptr) {
    PyErr_Clear();
    return false;
  }
  auto* fn = reinterpret_cast<PyCFunctionObject*>(imp);
  if (std::strcmp(modname, "builtins") != 0 || std::strcmp(fn->m_ml->ml_name, "__import__") != 0) return false;
  original = Py_NewRef(imp);
  return true;
}

// IMPORT_NAME as ceval does it: straight to the import machinery while
// builtins.__import__ is the original, else through the replacement.
Ref import_name(PyObject* name, PyObject* globals, PyObject* fromlist, int level) {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* imp = PyDict_GetItemWithError(builtins, "__import__"_n);
  if (imp == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw_pending();
  }
  Ref keep = Ref::borrow(imp);
  if (is_original_import(imp))
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, Py_None, fromlist, level));
  if (fromlist == nullptr && globals == nullptr && level == 0) return call(imp, name);
  Ref lvl = integer(level);
  return call(imp, name, globals ? globals : Py_None, Py_None, fromlist ? fromlist : Py_None, lvl);
}

// The IMPORT_FROM step: an attribute of the module, else the submodule in
// sys.modules, else Python's own ImportError text.
Ref import_name_from(PyObject* module, PyObject* name) {
  if (Ref v = lookup(module, name)) return v;
  Ref pkgname = attr_or(module, "__name__"_n, Py_None);
  if (PyUnicode_Check(pkgname)) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
    PyObject* sub = PyImport_GetModule(full);
    if (sub != nullptr) return Ref::steal(sub);
    if (PyErr_Occurred()) throw_pending();
  }
  Ref path = attr_or(module, "__file__"_n, Py_None);
  Ref msg =
      path.is_none()
          ? Ref::steal(PyUnicode_FromFormat("cannot import name '%U' from %R (unknown location)", name, pkgname.get()))
          : Ref::steal(PyUnicode_FromFormat("cannot import name '%U' from %R (%S)", name, pkgname.get(), path.get()));
  Ref exc = call(PyExc_ImportError, msg, "name"_kw = pkgname, "path"_kw = path);
  raise(exc);
}

Ref from_import(PyObject* module, PyObject* name, PyObject* globals, int level) {
  Ref fromlist = Ref::borrow(names_tuple(&name, 1));
  Ref mod = import_name(module, globals, fromlist, level);
  return import_name_from(mod, name);
}

}  // namespace

Ref import_binding(PyObject* dotted) { return import_name(dotted, nullptr, nullptr, 0); }

Ref import_module(PyObject* dotted) {
  Ref top = import_binding(dotted);
  // `import a.b` binds `a`; the value used is the attribute chain a.b.
  const char* s = PyUnicode_AsUTF8(dotted);
  if (s == nullptr) throw_pending();
  if (std::strchr(s, '.') == nullptr) return top;
  Ref cur = top;
  std::string_view rest(s);
  size_t dot = rest.find('.');
  while (dot != std::string_view::npos) {
    rest = rest.substr(dot + 1);
    dot = rest.find('.');
    std::string part(rest.substr(0, dot));
    cur = attr(cur, name_of(part.c_str()));
  }
  return cur;
}

Ref import_from(PyObject* module, PyObject* name) { return from_import(module, name, nullptr, 0); }

Ref import_relative(PyObject* globals, PyObject* module, PyObject* name) {
  return from_import(module, name, globals, 1);
}

// ---- globals --------------------------------------------------------------

Ref global(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v != nullptr) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_pending();
  v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (v != nullptr) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_pending();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw_pending();
}

Ref environ_get(PyObject* globals, PyObject* name, PyObject* dflt) {
  Ref environ = attr(global(globals, "os"_n), "environ"_n);
  return get(environ, name, dflt);
}

// ---- exceptions ----------------------------------------------------------

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_pending();
}

void raise(PyObject* exc) {
  if (PyExceptionClass_Check(exc)) {
    PyErr_SetNone(exc);
  } else {
    PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
  }
  throw_pending();
}

void raise_from(PyObject* exc, PyObject* cause) {
  PyException_SetCause(exc, cause ? Py_NewRef(cause) : nullptr);  // also sets __suppress_context__
  raise(exc);
}

Ref take_error() {
  PyObject* e = PyErr_GetRaisedException();
  if (e == nullptr) {
    PyErr_SetString(PyExc_SystemError, "no exception to take");
    throw_pending();
  }
  return Ref::steal(e);
}

void rethrow(Ref exc) {
  PyErr_SetRaisedException(exc.release());
  throw PyError{};
}

namespace {
[[noreturn]] void cannot_catch(PyObject* exc) {
  PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  // The clause is evaluated while `exc` is handled: it is the new error's context.
  if (exc != nullptr && PyExceptionInstance_Check(exc)) {
    Ref raised = take_error();
    chain_context(raised, exc);
    rethrow(std::move(raised));
  }
  throw_pending();
}
}  // namespace

bool matches(PyObject* exc, PyObject* type) {
  if (PyTuple_Check(type)) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(type); i < n; ++i)
      if (!PyExceptionClass_Check(PyTuple_GET_ITEM(type, i))) cannot_catch(exc);
  } else if (!PyExceptionClass_Check(type)) {
    cannot_catch(exc);
  }
  return PyErr_GivenExceptionMatches(exc, type) != 0;
}

Handling::Handling(PyObject* handled) : previous_(PyErr_GetHandledException()) { PyErr_SetHandledException(handled); }
Handling::~Handling() {
  PyErr_SetHandledException(previous_);
  Py_XDECREF(previous_);
}

void raise_in_except(PyObject* exc, PyObject* handled) {
  Handling scope(handled);
  raise(exc);
}

void raise_from_handled(PyObject* exc, PyObject* handled) {
  Handling scope(handled);
  raise_from(exc, handled);
}

void chain_context(PyObject* exc, PyObject* context) {
  if (exc == nullptr || context == nullptr || exc == context) return;
  // Break a cycle the way the interpreter does: if `exc` already sits in
  // context's chain, cut the chain there.
  PyObject* o = context;
  while (true) {
    PyObject* c = PyException_GetContext(o);  // new ref
    if (c == nullptr) break;
    Py_DECREF(c);
    if (c == exc) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = c;
  }
  PyException_SetContext(exc, Py_NewRef(context));
}

// ---- logging --------------------------------------------------------------

void log(PyObject* globals, const char* level, const char* message, std::initializer_list<PyObject*> args,
         PyObject* extra) {
  Ref logger = global(globals, "logger"_n);
  // argv: [offset slot] logger message args... [extra]
  PyObject* argv[kStackArgs];
  if (args.size() + 4 > kStackArgs) raise(PyExc_SystemError, "too many log arguments");
  size_t n = 1;
  argv[n++] = logger;
  // The message is a literal of the calling module: interned like a name.
  argv[n++] = name_of(message);
  for (PyObject* a : args) argv[n++] = a;
  const size_t nargs = n - 1;
  PyObject* kwnames = nullptr;
  if (extra != nullptr) {
    argv[n++] = extra;
    kwnames = detail::kwnames<KwArg<"extra">>();
  }
  Ref::steal(PyObject_VectorcallMethod(name_of(level), argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// ---- message templates -----------------------------------------------------

Ref fmt(const char* tmpl, std::initializer_list<PyObject*> args) {
  PyObject* parts[2 * kStackArgs + 1];
  Ref owned[2 * kStackArgs + 1];
  size_t n = 0;
  auto arg = args.begin();
  const char* lit = tmpl;
  const char* p = tmpl;
  auto flush = [&](const char* end) {
    if (end == lit) return;
    owned[n] = Ref::steal(PyUnicode_FromStringAndSize(lit, end - lit));
    parts[n] = owned[n].get();
    ++n;
  };
  while (*p != '\0') {
    int kind = 0;  // 1 {}, 2 {!r}, 3 {!s}
    size_t width = 0;
    if (std::strncmp(p, "{}", 2) == 0) kind = 1, width = 2;
    else if (std::strncmp(p, "{!r}", 4) == 0) kind = 2, width = 4;
    else if (std::strncmp(p, "{!s}", 4) == 0) kind = 3, width = 4;
    if (kind == 0) {
      ++p;
      continue;
    }
    if (arg == args.end() || n + 2 > 2 * kStackArgs) raise(PyExc_SystemError, "message template and arguments differ");
    flush(p);
    PyObject* v = *arg++;
    owned[n] = kind == 1 ? format(v) : kind == 2 ? Ref::steal(PyObject_Repr(v)) : str(v);
    parts[n] = owned[n].get();
    ++n;
    p += width;
    lit = p;
  }
  flush(p);
  if (arg != args.end()) raise(PyExc_SystemError, "message template and arguments differ");
  Ref t = Ref::steal(PyTuple_New((Py_ssize_t)n));
  for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), (Py_ssize_t)i, Py_NewRef(parts[i]));
  return Ref::steal(PyUnicode_Join(name_of(""), t));
}

}  // namespace vc
