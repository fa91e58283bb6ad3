// Module definition with multi-phase initialisation and per-module state.
//
// Module state holds only constants of the native layer (the heap types of
// this module). Everything a caller may patch (imported names, the logger,
// sibling functions) lives in the module dict and is looked up at each use.
#pragma once
#include <span>

#include "runtime/function.hpp"

namespace vc {

struct ModuleState {
  PyObject* function_type;
  PyObject* coroutine_type;
  // The module's dataclass (the first one `Module::dataclass` made), for the
  // guarded construction below: the class, its fields' names in order and
  // the type version its generated __init__ was seen under.
  PyObject* dataclass;
  PyObject* dataclass_fields;
  unsigned int dataclass_version;
  // Its instances' fields read as `obj.<field>` would from the instance
  // dict: attribute look-up is the generic one and no field name is a data
  // descriptor on the class (both checked under the same type version).
  bool dataclass_plain_reads;
};

ModuleState& state_of(PyObject* module);

// cls(**fields) for the module's own dataclass with every field given, in
// field order: while `cls` is still that class with the same type version
// (so the generated __init__, __new__ and __setattr__ are the ones it was
// built with) the instance is made and its fields set directly, as that
// __init__ would; otherwise (a patched global, a changed class, other
// keywords) `cls` is called as usual.
//     Ref p = construct(c, c.global("ApprovalRequestPayload"_n), "warrant_id"_kw = w, ...);
Ref construct_fields(PyObject* module, PyObject* cls, PyObject* kwnames, PyObject* const* values, size_t n);
template <class Scope, class... A>
Ref construct(const Scope& s, PyObject* cls, const A&... a) {
  static_assert((detail::is_kw<A> && ...), "dataclass fields are passed by keyword");
  PyObject* values[sizeof...(A) + 1] = {nullptr, detail::ptr(a)...};
  PyObject* module = PyType_GetModule(Py_TYPE(s.self()));
  if (module == nullptr) throw_pending();
  return construct_fields(module, cls, detail::kwnames<A...>(), values + 1, sizeof...(A));
}

// The fields of `obj`, in field order, as `obj.<field>` reads each: while obj
// is exactly an instance of the module's dataclass and the class is unchanged
// (the guard of `construct`), they are read from the instance dict in one
// pass and true is returned; otherwise nothing is read and the caller reads
// the attributes as usual.
//     std::array<Ref, 12> v;
//     if (!read_fields(c, self, v)) { ... attr(self, "warrant_id"_n) ... }
bool read_fields_of(PyObject* module, PyObject* obj, std::span<Ref> out);
template <class Scope>
bool read_fields(const Scope& s, PyObject* obj, std::span<Ref> out) {
  PyObject* module = PyType_GetModule(Py_TYPE(s.self()));
  if (module == nullptr) throw_pending();
  return read_fields_of(module, obj, out);
}

inline constexpr size_t kMaxFields = 32;

struct FieldDef {
  const char* name;
  const char* annotation;
  const char* default_literal = nullptr;  // nullptr = required
};

class Module {
 public:
  explicit Module(PyObject* m);
  PyObject* object() const { return m_; }
  PyObject* globals() const { return dict_; }

  void set(const char* name, PyObject* value);
  // def name(...): a module-level function, stored as a global and returned.
  Ref def(const FuncDef& def);
  // import module / import a.b as b
  void import(const char* module, const char* as = nullptr);
  // from module import name, ...
  void from_import(const char* module, std::initializer_list<const char*> names);
  // from .module import name, ...
  void from_relative(const char* module, std::initializer_list<const char*> names);
  // logger = logging.getLogger(name)
  void logger(const char* name);
  // @dataclass class name: fields...; methods...
  Ref dataclass(const char* name, const char* doc, std::span<const FieldDef> fields,
                std::initializer_list<const FuncDef*> methods);
  // class name(bases, metaclass=meta): namespace; meta NULL = type(bases[0]) or type.
  Ref make_class(const char* name, PyObject* bases, PyObject* ns, PyObject* meta = nullptr);
  // A method for a class namespace (qualname "Class.method").
  Ref method(const char* class_name, const FuncDef& def);

 private:
  void remember_dataclass(PyObject* cls, std::span<const FieldDef> fields);
  PyObject* m_;
  PyObject* dict_;
};

using ModuleBody = void (*)(Module&);

// Shared parts of every module's PyModuleDef.
int module_exec(PyObject* m, ModuleBody body);
int module_traverse(PyObject* m, visitproc visit, void* arg);
int module_clear(PyObject* m);
void module_free(void* m);

}  // namespace vc

// Defines PyInit_<name> for a module whose body is `body(vc::Module&)`.
#define VOREL_MODULE(NAME, DOC, BODY)                                             \
  static int NAME##_exec(PyObject* m) { return ::vc::module_exec(m, BODY); }      \
  static PyModuleDef_Slot NAME##_slots[] = {                                      \
      {Py_mod_exec, reinterpret_cast<void*>(NAME##_exec)},                        \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
      {0, nullptr}};                                                              \
  static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT,                         \
                                   "vorel_cloud." #NAME,                          \
                                   DOC,                                           \
                                   sizeof(::vc::ModuleState),                     \
                                   nullptr,                                       \
                                   NAME##_slots,                                  \
                                   ::vc::module_traverse,                         \
                                   ::vc::module_clear,                            \
                                   ::vc::module_free};                            \
  PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
