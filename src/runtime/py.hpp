// Python operations as C++ calls: values, attributes, items, calls with
// keywords, imports at call time, module globals, exceptions with their
// chaining, and logging through a module's `logger`.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

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
Ref list(std::initializer_list<PyObject*> items = {});
Ref dict();
// Evaluates a Python literal ("None", "2.0", "'text'", "()") once; for defaults.
Ref literal(const char* source);

Ref str(PyObject* o);                  // str(o)
Ref format(PyObject* o);               // format(o), i.e. f"{o}"
Ref cat(std::initializer_list<PyObject*> parts);  // "".join(parts) of str objects
std::string utf8(PyObject* s);         // a str object as UTF-8
bool truthy(PyObject* o);
bool equals_text(PyObject* o, const char* s);  // o == "s" with Python semantics
bool is_instance(PyObject* o, PyObject* cls);
// Python operators with their full semantics (numbers of any type).
Ref add(PyObject* a, PyObject* b);
Ref subtract(PyObject* a, PyObject* b);
bool compare(PyObject* a, PyObject* b, int op);  // Py_LT, Py_LE, Py_EQ, Py_NE, ...

// a, b, ... = o  (exactly n items, with the interpreter's messages)
std::vector<Ref> unpack(PyObject* o, size_t n);
// isinstance(o, (bytes, bytearray)) and isinstance(o, str), subclasses included
inline bool is_bytes_like(PyObject* o) { return PyBytes_Check(o) || PyByteArray_Check(o); }
inline bool is_text(PyObject* o) { return PyUnicode_Check(o); }

// ---- attributes and items -------------------------------------------------
Ref attr(PyObject* o, const char* name);
Ref attr(PyObject* o, PyObject* name);
// getattr(o, name, dflt): only AttributeError is absorbed.
Ref attr_or(PyObject* o, const char* name, PyObject* dflt);
void set_attr(PyObject* o, const char* name, PyObject* value);
Ref item(PyObject* o, const char* key);     // o[key]
Ref item(PyObject* o, PyObject* key);
void set_item(PyObject* o, const char* key, PyObject* value);
// mapping.get(key) / mapping.get(key, dflt) as Python would call it: without a
// default the method gets one argument (fast path for exact dicts).
Ref get(PyObject* mapping, const char* key, PyObject* dflt = nullptr);
Py_ssize_t length(PyObject* o);  // len(o)

// ---- calls ----------------------------------------------------------------
struct Kw {
  const char* name;
  PyObject* value;
};
Ref call(PyObject* f, std::initializer_list<PyObject*> pos = {}, std::initializer_list<Kw> kw = {});
// f(**mapping): any mapping, copied into a fresh dict as a call site does.
Ref call_kwargs(PyObject* f, PyObject* mapping);
// f(*args, **kwargs); either may be NULL.
Ref call_star(PyObject* f, PyObject* args, PyObject* kwargs);
Ref call_method(PyObject* o, const char* name, std::initializer_list<PyObject*> pos = {},
                std::initializer_list<Kw> kw = {});

// ---- imports (through builtins.__import__, so sys.modules and patches count) --
Ref import_module(const char* dotted);                         // import a.b  -> a.b
Ref import_binding(const char* dotted);                        // import a.b  -> a (the name it binds)
Ref import_from(const char* module, const char* name);          // from module import name
Ref import_relative(PyObject* globals, const char* module, const char* name);  // from .module import name

// ---- module globals, looked up at each use like LOAD_GLOBAL ---------------
Ref global(PyObject* globals, const char* name);

// os.environ.get(name[, dflt]) through the module's `os` global.
Ref environ_get(PyObject* globals, const char* name, PyObject* dflt = nullptr);
Ref environ_get(PyObject* globals, PyObject* name, PyObject* dflt = nullptr);

// ---- exceptions ----------------------------------------------------------
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* exc);               // raise exc
[[noreturn]] void raise_from(PyObject* exc, PyObject* cause);  // raise exc from cause
Ref take_error();                                     // the pending exception, cleared
[[noreturn]] void rethrow(Ref exc);                   // re-raise unchanged
bool matches(PyObject* exc, PyObject* type);          // isinstance-style test (type may be a tuple)

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
void log(PyObject* globals, const char* level, const char* message, std::initializer_list<PyObject*> args = {},
         PyObject* extra = nullptr);

}  // namespace vc
