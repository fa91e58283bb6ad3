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
#include <cstddef>
#include <initializer_list>
#include <span>

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

// What an implementation sees: parsed arguments in parameter order (borrowed,
// valid for the call), the captured values and the module globals.
struct Call {
  FunctionObject* fn;
  PyObject* args[kMaxParams];
  Ref var_args;    // the *args tuple, when the function has one
  Ref var_kwargs;  // the **kwargs dict, when the function has one

  PyObject* arg(size_t i) const { return args[i]; }
  PyObject* capture(size_t i) const;
  PyObject* globals() const;
  Ref global(const char* name) const { return vc::global(globals(), name); }
  PyObject* self() const { return reinterpret_cast<PyObject*>(fn); }
};

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
