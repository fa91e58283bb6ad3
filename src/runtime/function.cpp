#include "runtime/function.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/module.hpp"

namespace vc {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncDef* def;
  PyObject* dict;      // instance __dict__
  PyObject* globals;   // module dict used for global look-ups
  PyObject* defaults;  // tuple: one entry per parameter (NULL-free; unused for required ones)
  PyObject* captures;  // tuple of captured values, or NULL
  PyObject* names;     // tuple: the parameters' names, interned (keyword matching by identity)
  PyObject* weakrefs;
  // The parameter table's shape, worked out once: positional parameters,
  // how many of them have defaults, where *args and **kwargs are (-1: none).
  unsigned char npos, pos_defaults;
  signed char var_pos, var_kw;
};

size_t param_count(const FunctionObject* fn) { return fn->def->params.size(); }
size_t capture_count(const FunctionObject* fn) { return fn->captures ? (size_t)PyTuple_GET_SIZE(fn->captures) : 0; }
#ifndef NDEBUG
void check_index(size_t i, size_t n) {
  if (i >= n) {
    PyErr_Format(PyExc_SystemError, "native index %zu out of range (%zu)", i, n);
    throw_pending();
  }
}
#endif

namespace {
Ref own_attribute(const Call& c, PyObject* name) {
  // The function type is immutable and neither it nor object defines these
  // names, so getattr finds them in the instance dict, or raises as it would.
  FunctionObject* f = c.fn;
  if (f->dict != nullptr) {
    if (PyObject* v = PyDict_GetItemWithError(f->dict, name)) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_pending();
  }
  return attr(c.self(), name);
}
}  // namespace

Ref function_name(const Call& c) { return own_attribute(c, "__name__"_n); }
Ref function_qualname(const Call& c) { return own_attribute(c, "__qualname__"_n); }

PyObject* capture_of(const FunctionObject* fn, size_t i) {
  check_index(i, capture_count(fn));
  return PyTuple_GET_ITEM(fn->captures, (Py_ssize_t)i);
}
PyObject* globals_of(const FunctionObject* fn) { return fn->globals; }

Frame::Frame(const Call& c) : fn_(Ref::borrow(c.self())), n_(param_count(c.fn)) {
  for (size_t i = 0; i < n_; ++i) args_[i] = Ref::borrow(c.args[i]);
}

namespace {

Ref qualname_of(FunctionObject* f) {
  PyObject* q = PyDict_GetItemWithError(f->dict, "__qualname__"_n);
  if (q != nullptr && PyUnicode_Check(q)) return Ref::borrow(q);
  return text(f->def->name);
}

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- the interpreter's own wording.
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) out += " and ";
      else if (i + 1 == names.size()) out += ", and ";
      else out += ", ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

[[noreturn]] void too_many_positional(FunctionObject* f, size_t given, size_t npos, size_t with_default,
                                      size_t kwonly_given) {
  Ref q = qualname_of(f);
  std::string sig;
  bool plural;
  if (with_default > 0) {
    sig = "from " + std::to_string(npos - with_default) + " to " + std::to_string(npos);
    plural = true;
  } else {
    sig = std::to_string(npos);
    plural = npos != 1;
  }
  std::string kwonly;
  if (kwonly_given > 0) {
    kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " + std::to_string(kwonly_given) +
             " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
  }
  PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zu%s %s given", q.get(), sig.c_str(),
               plural ? "s" : "", given, kwonly.c_str(), (given == 1 && kwonly_given == 0) ? "was" : "were");
  throw_pending();
}

[[noreturn]] void missing(FunctionObject* f, const std::vector<const char*>& names, const char* kind) {
  Ref q = qualname_of(f);
  std::string list = quoted_list(names);
  PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s", q.get(), names.size(), kind,
               names.size() == 1 ? "" : "s", list.c_str());
  throw_pending();
}

void parse(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Call& c) {
  PyObject** out = c.args;
  const auto params = f->def->params;
  const size_t n = params.size();
  const size_t given = PyVectorcall_NARGS(nargsf);
  const size_t npos = f->npos, pos_defaults = f->pos_defaults;
  const long var_pos = f->var_pos, var_kw = f->var_kw;
  auto is_named = [&](size_t i) {
    return params[i].kind == ParamKind::positional_or_keyword || params[i].kind == ParamKind::keyword_only;
  };
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (given > npos && var_pos < 0) {
    size_t kwonly_given = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      for (size_t i = npos; i < n; ++i)
        if (params[i].kind == ParamKind::keyword_only && PyUnicode_CompareWithASCIIString(name, params[i].name) == 0)
          ++kwonly_given;
    }
    too_many_positional(f, given, npos, pos_defaults, kwonly_given);
  }
  const size_t taken = given < npos ? given : npos;
  for (size_t i = 0; i < taken; ++i) out[i] = args[i];
  if (var_pos >= 0) {
    c.var_args = Ref::steal(PyTuple_New((Py_ssize_t)(given - taken)));
    for (size_t i = taken; i < given; ++i)
      PyTuple_SET_ITEM(c.var_args.get(), (Py_ssize_t)(i - taken), Py_NewRef(args[i]));
    out[var_pos] = c.var_args;
  }
  if (var_kw >= 0) {
    c.var_kwargs = dict();
    out[var_kw] = c.var_kwargs;
  }

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[given + (size_t)k];
    size_t i = 0;
    for (; i < n; ++i)
      if (is_named(i) && PyTuple_GET_ITEM(f->names, (Py_ssize_t)i) == name) break;
    if (i == n)
      for (i = 0; i < n; ++i)
        if (is_named(i) && PyUnicode_CompareWithASCIIString(name, params[i].name) == 0) break;
    if (i == n) {
      if (var_kw >= 0) {
        check(PyDict_SetItem(c.var_kwargs, name, value));
        continue;
      }
      Ref q = qualname_of(f);
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", q.get(), name);
      throw_pending();
    }
    if (out[i] != nullptr) {
      Ref q = qualname_of(f);
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", q.get(), name);
      throw_pending();
    }
    out[i] = value;
  }

  std::vector<const char*> absent;
  for (size_t i = 0; i < n; ++i)
    if (params[i].kind == ParamKind::positional_or_keyword && out[i] == nullptr && params[i].default_literal == nullptr)
      absent.push_back(params[i].name);
  if (!absent.empty()) missing(f, absent, "positional");
  for (size_t i = 0; i < n; ++i)
    if (params[i].kind == ParamKind::keyword_only && out[i] == nullptr && params[i].default_literal == nullptr)
      absent.push_back(params[i].name);
  if (!absent.empty()) missing(f, absent, "keyword-only");

  for (size_t i = 0; i < n; ++i)
    if (out[i] == nullptr) out[i] = PyTuple_GET_ITEM(f->defaults, (Py_ssize_t)i);
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] {
    Call c{{}, f, {}, {}, {}};
    parse(f, args, nargsf, kwnames, c);
    return f->def->impl(c);
  });
}

// Every parameter given, none of them variadic, keywords exactly the
// remaining parameters in table order.
bool takes_exactly(FunctionObject* f, size_t npos, PyObject* kwnames) {
  const auto params = f->def->params;
  const size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0;
  if (npos + nkw != params.size()) return false;
  if (nkw == 0 && npos == 1) return params[0].kind == ParamKind::positional_or_keyword;
  for (size_t i = 0; i < params.size(); ++i) {
    const ParamKind kind = params[i].kind;
    if (i < npos ? kind != ParamKind::positional_or_keyword
                 : kind == ParamKind::var_positional || kind == ParamKind::var_keyword)
      return false;
    if (i >= npos && PyTuple_GET_ITEM(kwnames, (Py_ssize_t)(i - npos)) != PyTuple_GET_ITEM(f->names, (Py_ssize_t)i))
      return false;
  }
  return true;
}

Ref build_annotations(FunctionObject* f) {
  Ref ann = dict();
  for (const Param& p : f->def->params)
    if (p.annotation) check(PyDict_SetItemString(ann, p.name, annotation(f->globals, p.annotation)));
  if (f->def->returns) check(PyDict_SetItemString(ann, "return", annotation(f->globals, f->def->returns)));
  return ann;
}

Ref build_signature(FunctionObject* f) {
  Ref inspect = import_module("inspect"_n);
  Ref parameter = attr(inspect, "Parameter"_n);
  Ref empty = attr(parameter, "empty"_n);
  const char* kind_names[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD"};
  Ref params = list();
  Py_ssize_t i = 0;
  for (const Param& p : f->def->params) {
    Ref name = text(p.name);
    PyObject* dflt = p.default_literal ? PyTuple_GET_ITEM(f->defaults, i) : empty.get();
    Ref ann = p.annotation ? annotation(f->globals, p.annotation) : empty;
    Ref kind = attr(parameter, name_of(kind_names[static_cast<int>(p.kind)]));
    Ref param = call(parameter, name, kind, "default"_kw = dflt, "annotation"_kw = ann);
    check(PyList_Append(params, param));
    ++i;
  }
  Ref ret = f->def->returns ? annotation(f->globals, f->def->returns) : attr(attr(inspect, "Signature"_n), "empty"_n);
  return call(attr(inspect, "Signature"_n), params, "return_annotation"_kw = ret);
}

PyObject* fn_getattro(PyObject* self, PyObject* name) {
  PyObject* r = PyObject_GenericGetAttr(self, name);
  if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
  auto* f = reinterpret_cast<FunctionObject*>(self);
  const bool sig = PyUnicode_CompareWithASCIIString(name, "__signature__") == 0;
  const bool ann = !sig && PyUnicode_CompareWithASCIIString(name, "__annotations__") == 0;
  if (!sig && !ann) return nullptr;
  PyErr_Clear();
  // Built on first use and kept, so the cost is paid only by introspection.
  return guard([&] {
    Ref v = sig ? build_signature(f) : build_annotations(f);
    check(PyDict_SetItem(f->dict, name, v));
    return v;
  });
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] {
    Ref q = qualname_of(f);
    return Ref::steal(PyUnicode_FromFormat("<function %U at %p>", q.get(), self));
  });
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->globals);
  Py_VISIT(f->defaults);
  Py_VISIT(f->captures);
  Py_VISIT(f->names);
  return 0;
}

int fn_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->captures);
  Py_CLEAR(f->names);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Pickled, copied and deep-copied by reference, as Python functions are: the
// qualified name is looked up in `__module__` again (a closure's "<locals>"
// name fails there, as a Python closure's does).
PyObject* fn_reduce(PyObject* self, PyObject*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] { return qualname_of(f); });
}

PyMethodDef fn_methods[] = {{"__reduce__", fn_reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyGetSetDef fn_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef fn_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot fn_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
                          {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
                          {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
                          {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                          {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
                          {Py_tp_getattro, reinterpret_cast<void*>(fn_getattro)},
                          {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
                          {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
                          {Py_tp_members, fn_members},
                          {Py_tp_methods, fn_methods},
                          {Py_tp_getset, fn_getset},
                          {0, nullptr}};

PyType_Spec fn_spec = {"vorel_cloud.native_function", sizeof(FunctionObject), 0,
                       // METHOD_DESCRIPTOR: as for Python functions, `obj.method(...)` calls
                       // the function with obj first instead of making a bound method
                       // (what fn_descr_get would return behaves exactly so).
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                       fn_slots};

Ref create(PyObject* type, PyObject* globals, const FuncDef& def, const char* qualname,
           std::initializer_list<PyObject*> captures) {
  if (def.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
  Ref obj = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
  auto* f = reinterpret_cast<FunctionObject*>(obj.get());
  f->vectorcall = fn_vectorcall;
  f->def = &def;
  f->globals = Py_NewRef(globals);
  f->dict = check(PyDict_New());
  f->defaults = check(PyTuple_New((Py_ssize_t)def.params.size()));
  f->names = check(PyTuple_New((Py_ssize_t)def.params.size()));
  f->npos = f->pos_defaults = 0;
  f->var_pos = f->var_kw = -1;
  Py_ssize_t i = 0;
  for (const Param& p : def.params) {
    if (p.kind == ParamKind::positional_or_keyword) {
      ++f->npos;
      if (p.default_literal) ++f->pos_defaults;
    } else if (p.kind == ParamKind::var_positional) {
      f->var_pos = (signed char)i;
    } else if (p.kind == ParamKind::var_keyword) {
      f->var_kw = (signed char)i;
    }
    PyObject* v = p.default_literal ? literal(p.default_literal).release() : Py_NewRef(Py_None);
    PyTuple_SET_ITEM(f->names, i, Py_NewRef(name_of(p.name)));
    PyTuple_SET_ITEM(f->defaults, i++, v);
  }
  if (captures.size() != 0) f->captures = tuple(captures).release();

  Ref name = text(def.name);
  check(PyDict_SetItemString(f->dict, "__name__", name));
  Ref qn = qualname ? text(qualname) : name;
  check(PyDict_SetItemString(f->dict, "__qualname__", qn));
  PyObject* modname = PyDict_GetItemString(globals, "__name__");
  check(PyDict_SetItemString(f->dict, "__module__", modname ? modname : Py_None));
  Ref doc = def.doc ? text(def.doc) : none();
  check(PyDict_SetItemString(f->dict, "__doc__", doc));
  if (def.coroutine) {
    Ref inspect = import_module("inspect"_n);
    call_method(inspect, "markcoroutinefunction"_n, obj);
  }
  return obj;
}

}  // namespace

Ref call_native_vector(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  if (PyVectorcall_Function(f) == fn_vectorcall) {
    auto* fn = reinterpret_cast<FunctionObject*>(f);
    if (takes_exactly(fn, nargs, kwnames)) {
      // `f` is held by the caller for the call (a global read into a Ref).
      Call c{{}, fn, {}, {}, {}};
      std::copy(args, args + fn->def->params.size(), c.args);
      return fn->def->impl(c);
    }
  }
  return Ref::steal(PyObject_Vectorcall(f, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref make_function(PyObject* module, const FuncDef& def, const char* qualname,
                  std::initializer_list<PyObject*> captures) {
  return create(state_of(module).function_type, PyModule_GetDict(module), def, qualname, captures);
}

Ref make_closure(const Call& outer, const FuncDef& def, const char* qualname,
                 std::initializer_list<PyObject*> captures) {
  return create(reinterpret_cast<PyObject*>(Py_TYPE(outer.fn)), outer.fn->globals, def, qualname, captures);
}

namespace {

constexpr const char* kTypingNames[] = {"Any",   "Dict",     "List",      "Optional", "Union",
                                        "Tuple", "Callable", "Awaitable", "Sequence"};

// Evaluates the annotation expressions of the tables without compiling them:
//   expr := atom ('[' item (',' item)* ']')?    item := expr | '[' (expr (',' expr)*)? ']'
//   atom := NAME ('.' NAME)* | quoted text without escapes
// with names resolved as the compiled expression would (typing's names, then
// the globals, then builtins). `ok` turns false, with no error set, on
// anything outside that grammar or a name that does not resolve: the caller
// then compiles the text, which gives Python's own errors.
class AnnotationReader {
 public:
  AnnotationReader(PyObject* globals, const char* p) : globals_(globals), p_(p) {}
  bool ok = true;

  Ref expression() {
    Ref v = atom();
    if (!ok) return v;
    skip();
    if (*p_ != '[') return v;
    ++p_;
    std::vector<Ref> got = items();
    if (!ok) return Ref();
    Ref key = key_of(got);
    return item(v, key);
  }
  bool at_end() {
    skip();
    return *p_ == '\0';
  }

 private:
  void skip() {
    while (*p_ == ' ') ++p_;
  }
  static bool name_char(char ch, bool first) {
    return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (!first && ch >= '0' && ch <= '9');
  }
  Ref fail() {
    ok = false;
    return Ref();
  }
  // item (',' item)* up to the closing bracket.
  std::vector<Ref> items() {
    std::vector<Ref> got;
    while (ok) {
      skip();
      if (*p_ == '[') {
        ++p_;
        skip();
        std::vector<Ref> inner;
        if (*p_ == ']') ++p_;
        else inner = items();
        if (!ok) break;
        got.push_back(pack(inner, Ref::steal(PyList_New((Py_ssize_t)inner.size()))));
      } else {
        got.push_back(expression());
      }
      skip();
      if (*p_ == ',') {
        ++p_;
        continue;
      }
      if (*p_ == ']') {
        ++p_;
        return got;
      }
      fail();
    }
    return got;
  }
  // The subscript key: one item alone, several as a tuple.
  static Ref key_of(std::vector<Ref>& got) {
    if (got.size() == 1) return std::move(got[0]);
    return pack(got, Ref::steal(PyTuple_New((Py_ssize_t)got.size())));
  }
  // Fills a new list or tuple of the right size with `got`.
  static Ref pack(std::vector<Ref>& got, Ref seq) {
    for (size_t i = 0; i < got.size(); ++i) {
      if (PyList_Check(seq)) PyList_SET_ITEM(seq.get(), (Py_ssize_t)i, got[i].release());
      else PyTuple_SET_ITEM(seq.get(), (Py_ssize_t)i, got[i].release());
    }
    return seq;
  }
  Ref atom() {
    skip();
    const char quote = *p_;
    if (quote == '\'' || quote == '"') {
      const char* start = ++p_;
      while (*p_ != '\0' && *p_ != quote && *p_ != '\\') ++p_;
      if (*p_ != quote) return fail();
      Ref s = Ref::steal(PyUnicode_DecodeUTF8(start, p_ - start, nullptr));
      ++p_;
      PyObject* raw = s.release();
      PyUnicode_InternInPlace(&raw);  // as the compiler keeps a name-like constant
      return Ref::steal(raw);
    }
    Ref v = resolve(word());
    while (ok && *p_ == '.') {
      ++p_;
      std::string part = word();
      if (!ok) break;
      v = attr(v, name_of(part.c_str()));
    }
    return v;
  }
  std::string word() {
    const char* start = p_;
    while (name_char(*p_, p_ == start)) ++p_;
    if (p_ == start) ok = false;
    return std::string(start, p_);
  }
  Ref resolve(const std::string& n) {
    if (!ok) return Ref();
    if (n == "None") return none();
    for (const char* t : kTypingNames)
      if (n == t) return attr(import_module("typing"_n), name_of(t));
    PyObject* key = name_of(n.c_str());
    for (PyObject* scope : {globals_, PyEval_GetBuiltins()}) {
      PyObject* v = PyDict_GetItemWithError(scope, key);
      if (v != nullptr) return Ref::borrow(v);
      if (PyErr_Occurred()) throw_pending();
    }
    return fail();
  }

  PyObject* globals_;
  const char* p_;
};

}  // namespace

Ref annotation(PyObject* globals, const char* expr) {
  {
    AnnotationReader reader(globals, expr);
    Ref v = reader.expression();
    if (reader.ok && reader.at_end()) return v;
  }
  Ref typing = import_module("typing"_n);
  Ref ns = dict();
  for (const char* n : {"Any", "Dict", "List", "Optional", "Union", "Tuple", "Callable", "Awaitable", "Sequence"})
    check(PyDict_SetItemString(ns, n, attr(typing, name_of(n))));
  return Ref::steal(PyRun_String(expr, Py_eval_input, globals, ns));
}

PyObject* create_function_type(PyObject* module) { return check(PyType_FromModuleAndSpec(module, &fn_spec, nullptr)); }

}  // namespace vc
