#include "runtime/module.hpp"

#include <string>

#include "runtime/coroutine.hpp"

namespace vc {

ModuleState& state_of(PyObject* module) {
  void* s = PyModule_GetState(module);
  if (s == nullptr) throw_pending();
  return *static_cast<ModuleState*>(s);
}

Module::Module(PyObject* m) : m_(m), dict_(PyModule_GetDict(m)) {}

void Module::set(const char* name, PyObject* value) { check(PyDict_SetItemString(dict_, name, value)); }

Ref Module::def(const FuncDef& d) {
  Ref f = make_function(m_, d);
  set(d.name, f);
  return f;
}

// The module tables name things with `const char*`; at load they become the
// same interned names the call sites use.
void Module::import(const char* module, const char* as) {
  if (as != nullptr) {
    set(as, import_module(name_of(module)));
    return;
  }
  // `import a.b` binds the top-level package under its own name.
  std::string top(module);
  top = top.substr(0, top.find('.'));
  set(top.c_str(), import_binding(name_of(module)));
}

void Module::from_import(const char* module, std::initializer_list<const char*> names) {
  for (const char* n : names) set(n, import_from(name_of(module), name_of(n)));
}

void Module::from_relative(const char* module, std::initializer_list<const char*> names) {
  for (const char* n : names) set(n, import_relative(dict_, name_of(module), name_of(n)));
}

void Module::logger(const char* name) {
  Ref nm = text(name);
  set("logger", call_method(global(dict_, "logging"_n), "getLogger"_n, nm));
}

Ref Module::method(const char* class_name, const FuncDef& d) {
  std::string qn = std::string(class_name) + "." + d.name;
  return make_function(m_, d, qn.c_str());
}

Ref Module::make_class(const char* name, PyObject* bases, PyObject* ns, PyObject* meta) {
  Ref metaclass;
  if (meta != nullptr) {
    metaclass = Ref::borrow(meta);
  } else if (PyTuple_GET_SIZE(bases) > 0) {
    metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0))));
  } else {
    metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
  }
  if (PyDict_GetItemString(ns, "__module__") == nullptr) {
    PyObject* modname = PyDict_GetItemString(dict_, "__name__");
    check(PyDict_SetItemString(ns, "__module__", modname ? modname : Py_None));
  }
  if (PyDict_GetItemString(ns, "__qualname__") == nullptr) check(PyDict_SetItemString(ns, "__qualname__", text(name)));
  Ref nm = text(name);
  return call(metaclass, nm, bases, ns);
}

Ref Module::dataclass(const char* name, const char* doc, std::span<const FieldDef> fields,
                      std::initializer_list<const FuncDef*> methods) {
  Ref ns = dict();
  check(PyDict_SetItemString(ns, "__doc__", doc ? text(doc).get() : Py_None));
  Ref ann = dict();
  for (const FieldDef& f : fields) {
    check(PyDict_SetItemString(ann, f.name, annotation(dict_, f.annotation)));
    if (f.default_literal) check(PyDict_SetItemString(ns, f.name, literal(f.default_literal)));
  }
  check(PyDict_SetItemString(ns, "__annotations__", ann));
  for (const FuncDef* m : methods) check(PyDict_SetItemString(ns, m->name, method(name, *m)));
  Ref bases = tuple({});
  Ref cls = make_class(name, bases, ns);
  Ref result = call(global(dict_, "dataclass"_n), cls);
  set(name, result);
  remember_dataclass(result, fields);
  return result;
}

// Records the class for `construct` when the plain path is what its
// generated __init__ does: object.__new__, object.__setattr__, no
// __post_init__, a type version to watch.
void Module::remember_dataclass(PyObject* cls, std::span<const FieldDef> fields) {
  ModuleState& st = state_of(m_);
  if (st.dataclass != nullptr || !PyType_Check(cls)) return;
  auto* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_setattro != PyObject_GenericSetAttr) return;
  if (lookup(cls, "__post_init__"_n)) return;
  if (!PyUnstable_Type_AssignVersionTag(tp)) return;
  Ref names = Ref::steal(PyTuple_New((Py_ssize_t)fields.size()));
  for (size_t i = 0; i < fields.size(); ++i)
    PyTuple_SET_ITEM(names.get(), (Py_ssize_t)i, Py_NewRef(name_of(fields[i].name)));
  bool plain_reads = tp->tp_getattro == PyObject_GenericGetAttr;
  for (size_t i = 0; plain_reads && i < fields.size(); ++i) {
    PyObject* on_class = _PyType_Lookup(tp, PyTuple_GET_ITEM(names.get(), (Py_ssize_t)i));  // borrowed
    plain_reads = on_class == nullptr || Py_TYPE(on_class)->tp_descr_set == nullptr;
  }
  st.dataclass = Py_NewRef(cls);
  st.dataclass_fields = names.release();
  st.dataclass_version = tp->tp_version_tag;
  st.dataclass_plain_reads = plain_reads;
}

bool read_fields_of(PyObject* module, PyObject* obj, std::span<Ref> out) {
  ModuleState& st = state_of(module);
  PyTypeObject* tp = Py_TYPE(obj);
  if (reinterpret_cast<PyObject*>(tp) != st.dataclass || !st.dataclass_plain_reads || st.dataclass_version == 0 ||
      tp->tp_version_tag != st.dataclass_version || (size_t)PyTuple_GET_SIZE(st.dataclass_fields) != out.size())
    return false;
  Ref values = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  PyObject* names = st.dataclass_fields;
  // Set in field order by the constructor, the dict usually yields them so.
  size_t i = 0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (i < out.size() && PyDict_Next(values, &pos, &key, &value) && key == PyTuple_GET_ITEM(names, (Py_ssize_t)i))
    out[i++] = Ref::borrow(value);
  for (; i < out.size(); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, (Py_ssize_t)i);
    if (PyObject* v = PyDict_GetItemWithError(values, name)) {
      out[i] = Ref::borrow(v);
    } else {
      if (PyErr_Occurred()) throw_pending();
      out[i] = attr(obj, name);  // deleted from the instance: the class default, or Python's AttributeError
    }
  }
  return true;
}

Ref construct_fields(PyObject* module, PyObject* cls, PyObject* kwnames, PyObject* const* values, size_t n) {
  ModuleState& st = state_of(module);
  auto* tp = reinterpret_cast<PyTypeObject*>(cls);
  bool fast = cls == st.dataclass && tp->tp_version_tag == st.dataclass_version && st.dataclass_version != 0 &&
              (size_t)PyTuple_GET_SIZE(st.dataclass_fields) == n;
  for (size_t i = 0; fast && i < n; ++i)
    fast = PyTuple_GET_ITEM(st.dataclass_fields, (Py_ssize_t)i) == PyTuple_GET_ITEM(kwnames, (Py_ssize_t)i);
  if (!fast) {
    PyObject* argv[kMaxFields + 1];
    if (n > kMaxFields) raise(PyExc_SystemError, "too many dataclass fields");
    for (size_t i = 0; i < n; ++i) argv[i + 1] = values[i];
    return Ref::steal(PyObject_Vectorcall(cls, argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
  }
  // object.__new__ itself (the guard saw it in place): it also lays out the
  // instance's attribute values as a constructed instance has them.
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref obj = Ref::steal(tp->tp_new(tp, no_args, nullptr));
  for (size_t i = 0; i < n; ++i)
    check(PyObject_GenericSetAttr(obj, PyTuple_GET_ITEM(kwnames, (Py_ssize_t)i), values[i]));
  return obj;
}

int module_exec(PyObject* m, ModuleBody body) {
  return guard_value<int>(-1, [&] {
    ModuleState& st = state_of(m);
    st.function_type = create_function_type(m);
    st.coroutine_type = create_coroutine_type(m);
    Module mod(m);
    body(mod);
    return 0;
  });
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
  auto* st = static_cast<ModuleState*>(PyModule_GetState(m));
  if (st != nullptr) {
    Py_VISIT(st->function_type);
    Py_VISIT(st->coroutine_type);
    Py_VISIT(st->dataclass);
    Py_VISIT(st->dataclass_fields);
  }
  return 0;
}

int module_clear(PyObject* m) {
  auto* st = static_cast<ModuleState*>(PyModule_GetState(m));
  if (st != nullptr) {
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->coroutine_type);
    Py_CLEAR(st->dataclass);
    Py_CLEAR(st->dataclass_fields);
  }
  return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

}  // namespace vc
