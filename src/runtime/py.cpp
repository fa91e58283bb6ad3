#include "runtime/py.hpp"

#include <vector>

namespace vc {

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

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  return t;
}

Ref list(std::initializer_list<PyObject*> items) {
  Ref l = Ref::steal(PyList_New((Py_ssize_t)items.size()));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(o));
  return l;
}

Ref dict() { return Ref::steal(PyDict_New()); }

Ref literal(const char* source) {
  Ref ns = dict();
  check(PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()));
  return Ref::steal(PyRun_String(source, Py_eval_input, ns, ns));
}

Ref str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }
Ref format(PyObject* o) { return Ref::steal(PyObject_Format(o, nullptr)); }

Ref cat(std::initializer_list<PyObject*> parts) {
  Ref sep = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  Ref l = list(parts);
  return Ref::steal(PyUnicode_Join(sep, l));
}

std::string utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) throw_pending();
  return std::string(p, (size_t)n);
}

bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) == 1; }

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

bool is_instance(PyObject* o, PyObject* cls) { return check(PyObject_IsInstance(o, cls)) == 1; }

// ---- attributes and items -------------------------------------------------

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }
Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref attr_or(PyObject* o, const char* name, PyObject* dflt) {
  PyObject* v = PyObject_GetAttrString(o, name);
  if (v != nullptr) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
  PyErr_Clear();
  return Ref::borrow(dflt);
}

void set_attr(PyObject* o, const char* name, PyObject* value) { check(PyObject_SetAttrString(o, name, value)); }

Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
Ref item(PyObject* o, const char* key) { return item(o, text(key)); }

void set_item(PyObject* o, const char* key, PyObject* value) {
  Ref k = text(key);
  check(PyObject_SetItem(o, k, value));
}

Ref get(PyObject* mapping, const char* key, PyObject* dflt) {
  Ref k = text(key);
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, k);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_pending();
    return Ref::borrow(dflt ? dflt : Py_None);
  }
  if (dflt == nullptr) return call_method(mapping, "get", {k.get()});
  return call_method(mapping, "get", {k.get(), dflt});
}

Py_ssize_t length(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw_pending();
  return n;
}

// ---- calls ----------------------------------------------------------------

Ref call(PyObject* f, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kw) {
  std::vector<PyObject*> argv;
  argv.reserve(pos.size() + kw.size() + 1);
  argv.push_back(nullptr);  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
  argv.insert(argv.end(), pos.begin(), pos.end());
  Ref names;
  if (kw.size() != 0) {
    names = Ref::steal(PyTuple_New((Py_ssize_t)kw.size()));
    Py_ssize_t i = 0;
    for (const Kw& k : kw) {
      PyObject* name = PyUnicode_InternFromString(k.name);
      if (name == nullptr) throw_pending();
      PyTuple_SET_ITEM(names.get(), i++, name);
      argv.push_back(k.value);
    }
  }
  return Ref::steal(PyObject_Vectorcall(f, argv.data() + 1, pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

Ref call_kwargs(PyObject* f, PyObject* mapping) {
  if (!PyDict_Check(mapping) && !PyObject_HasAttrString(mapping, "keys")) {
    PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping)->tp_name);
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

Ref call_method(PyObject* o, const char* name, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kw) {
  Ref m = attr(o, name);
  return call(m, pos, kw);
}

// ---- imports ----------------------------------------------------------------

namespace {

Ref builtin_import() {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* imp = PyDict_GetItemString(builtins, "__import__");
  if (imp == nullptr) {
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw_pending();
  }
  return Ref::borrow(imp);
}

// The IMPORT_FROM step: an attribute of the module, else the submodule in
// sys.modules, else Python's own ImportError text.
Ref import_name_from(PyObject* module, const char* name) {
  PyObject* v = PyObject_GetAttrString(module, name);
  if (v != nullptr) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
  PyErr_Clear();
  Ref pkgname = attr_or(module, "__name__", Py_None);
  if (PyUnicode_Check(pkgname)) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", pkgname.get(), name));
    PyObject* sub = PyImport_GetModule(full);
    if (sub != nullptr) return Ref::steal(sub);
    if (PyErr_Occurred()) throw_pending();
  }
  Ref path = attr_or(module, "__file__", Py_None);
  Ref msg = path.is_none()
                ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name, pkgname.get()))
                : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, pkgname.get(), path.get()));
  Ref exc = call(PyExc_ImportError, {msg.get()}, {{"name", pkgname.get()}, {"path", path.get()}});
  raise(exc);
}

}  // namespace

Ref import_binding(const char* dotted) {
  Ref imp = builtin_import();
  Ref name = text(dotted);
  return call(imp, {name.get()});
}

Ref import_module(const char* dotted) {
  Ref top = import_binding(dotted);
  // `import a.b` binds `a`; the value used is the attribute chain a.b.
  Ref cur = top;
  std::string_view rest(dotted);
  size_t dot = rest.find('.');
  while (dot != std::string_view::npos) {
    rest = rest.substr(dot + 1);
    dot = rest.find('.');
    std::string part(rest.substr(0, dot));
    cur = attr(cur, part.c_str());
  }
  return cur;
}

Ref import_from(const char* module, const char* name) {
  Ref imp = builtin_import();
  Ref mod_name = text(module);
  Ref nm = text(name);
  Ref fromlist = tuple({nm.get()});
  Ref level = integer(0);
  Ref mod = call(imp, {mod_name.get(), Py_None, Py_None, fromlist.get(), level.get()});
  return import_name_from(mod, name);
}

Ref import_relative(PyObject* globals, const char* module, const char* name) {
  Ref imp = builtin_import();
  Ref mod_name = text(module);
  Ref nm = text(name);
  Ref fromlist = tuple({nm.get()});
  Ref level = integer(1);
  Ref mod = call(imp, {mod_name.get(), globals, Py_None, fromlist.get(), level.get()});
  return import_name_from(mod, name);
}

// ---- globals --------------------------------------------------------------

Ref global(PyObject* globals, const char* name) {
  PyObject* v = PyDict_GetItemString(globals, name);
  if (v != nullptr) return Ref::borrow(v);
  v = PyDict_GetItemString(PyEval_GetBuiltins(), name);
  if (v != nullptr) return Ref::borrow(v);
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw_pending();
}

Ref environ_get(PyObject* globals, PyObject* name, PyObject* dflt) {
  Ref environ = attr(global(globals, "os"), "environ");
  if (dflt == nullptr) return call_method(environ, "get", {name});
  return call_method(environ, "get", {name, dflt});
}

Ref environ_get(PyObject* globals, const char* name, PyObject* dflt) {
  Ref key = text(name);
  return environ_get(globals, key.get(), dflt);
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

bool matches(PyObject* exc, PyObject* type) { return PyErr_GivenExceptionMatches(exc, type) != 0; }

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
  Ref logger = global(globals, "logger");
  Ref method = attr(logger, level);
  std::vector<PyObject*> pos;
  Ref msg = text(message);
  pos.push_back(msg);
  pos.insert(pos.end(), args.begin(), args.end());
  Ref t = Ref::steal(PyTuple_New((Py_ssize_t)pos.size()));
  for (size_t i = 0; i < pos.size(); ++i) PyTuple_SET_ITEM(t.get(), (Py_ssize_t)i, Py_NewRef(pos[i]));
  Ref kw;
  if (extra != nullptr) {
    kw = dict();
    check(PyDict_SetItemString(kw, "extra", extra));
  }
  call_star(method, t, kw);
}

}  // namespace vc
