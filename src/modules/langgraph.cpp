// vorel_cloud.langgraph: the LangGraph approval handler (cloud request, dashboard
// link, its own poll loop on the running loop's clock) and drop-in subclasses
// of the core SDK's VorelMiddleware / VorelToolNode that wire that handler in
// whenever an API key is in the environment.
#include <cstring>
#include <string>
#include <vector>

#include "runtime/vorel.hpp"

using namespace vc;

namespace {

constexpr const char* kDefaultDashboardUrl = "https://app.vorel.cloud";
constexpr const char* kMissingLangGraph =
    "vorel_cloud.langgraph requires vorel[langgraph]. Install with: pip install 'vorel[langgraph]'";

// ---- functions with *args / **kwargs ---------------------------------------
//
// The runtime's function type takes named parameters only. Constructors that
// forward everything to the core classes need Python's variadic parameters,
// so this module carries a small sibling type: same face (instance __dict__,
// method binding, lazily built __signature__, the interpreter's TypeError
// texts), with `*args` collected into a tuple and `**kwargs` into a new dict.

struct VarCall;
using VarImpl = Ref (*)(VarCall&);

constexpr size_t kMaxNamed = 4;

struct VarDef {
  const char* name;
  const char* doc;
  std::span<const Param> params;  // required, positional-or-keyword
  const char* varargs;            // name of *args, or nullptr
  const char* varkw;              // name of **kwargs, or nullptr
  const char* varkw_annotation;   // annotation of **kwargs, or nullptr
  VarImpl impl;
  const char* returns = nullptr;
};

struct VarFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const VarDef* def;
  PyObject* dict;
  PyObject* globals;
  PyObject* captures;  // tuple, never NULL
  PyObject* weakrefs;
};

struct VarCall {
  VarFunction* fn;
  PyObject* named[kMaxNamed];  // borrowed, in parameter order
  Ref args;                    // tuple
  Ref kwargs;                  // fresh dict, owned by this call

  PyObject* capture(size_t i) const { return PyTuple_GET_ITEM(fn->captures, (Py_ssize_t)i); }
  PyObject* globals() const { return fn->globals; }
  Ref global(const char* name) const { return vc::global(fn->globals, name); }
};

Ref var_qualname(VarFunction* f) {
  PyObject* q = PyDict_GetItemString(f->dict, "__qualname__");
  if (q != nullptr && PyUnicode_Check(q)) return Ref::borrow(q);
  return text(f->def->name);
}

std::string quoted_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// Binds arguments in the interpreter's order: positionals, then keywords
// (unexpected / duplicate names), then the count of positionals, then
// missing parameters.
void var_parse(VarFunction* f, PyObject* const* argv, size_t nargsf, PyObject* kwnames, VarCall& c) {
  const VarDef& d = *f->def;
  const size_t n = d.params.size();
  const size_t given = PyVectorcall_NARGS(nargsf);
  for (size_t i = 0; i < kMaxNamed; ++i) c.named[i] = nullptr;
  const size_t bound = given < n ? given : n;
  for (size_t i = 0; i < bound; ++i) c.named[i] = argv[i];
  const size_t extra = given - bound;
  c.args = Ref::steal(PyTuple_New(d.varargs ? (Py_ssize_t)extra : 0));
  if (d.varargs)
    for (size_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(c.args.get(), (Py_ssize_t)i, Py_NewRef(argv[n + i]));
  c.kwargs = dict();

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = argv[given + (size_t)k];
    size_t i = 0;
    for (; i < n; ++i)
      if (PyUnicode_CompareWithASCIIString(name, d.params[i].name) == 0) break;
    if (i < n) {
      if (c.named[i] != nullptr) {
        Ref q = var_qualname(f);
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", q.get(), name);
        throw_pending();
      }
      c.named[i] = value;
      continue;
    }
    if (d.varkw == nullptr) {
      Ref q = var_qualname(f);
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", q.get(), name);
      throw_pending();
    }
    check(PyDict_SetItem(c.kwargs, name, value));
  }

  if (given > n && d.varargs == nullptr) {
    Ref q = var_qualname(f);
    PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given", q.get(), n,
                 n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    throw_pending();
  }
  std::vector<const char*> absent;
  for (size_t i = 0; i < n; ++i)
    if (c.named[i] == nullptr) absent.push_back(d.params[i].name);
  if (!absent.empty()) {
    Ref q = var_qualname(f);
    std::string list = quoted_names(absent);
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s", q.get(), absent.size(),
                 absent.size() == 1 ? "" : "s", list.c_str());
    throw_pending();
  }
}

PyObject* var_vectorcall(PyObject* self, PyObject* const* argv, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<VarFunction*>(self);
  return guard([&] {
    VarCall c{f, {}, Ref(), Ref()};
    var_parse(f, argv, nargsf, kwnames, c);
    return f->def->impl(c);
  });
}

Ref var_annotations(VarFunction* f) {
  const VarDef& d = *f->def;
  Ref ann = dict();
  for (const Param& p : d.params)
    if (p.annotation) check(PyDict_SetItemString(ann, p.name, annotation(f->globals, p.annotation)));
  if (d.varkw && d.varkw_annotation)
    check(PyDict_SetItemString(ann, d.varkw, annotation(f->globals, d.varkw_annotation)));
  if (d.returns) check(PyDict_SetItemString(ann, "return", annotation(f->globals, d.returns)));
  return ann;
}

Ref var_signature(VarFunction* f) {
  const VarDef& d = *f->def;
  Ref inspect = import_module("inspect");
  Ref parameter = attr(inspect, "Parameter");
  Ref signature = attr(inspect, "Signature");
  Ref empty = attr(parameter, "empty");
  Ref params = list();
  auto add = [&](const char* name, const char* kind, const char* ann_expr) {
    Ref nm = text(name);
    Ref k = attr(parameter, kind);
    Ref ann = ann_expr ? annotation(f->globals, ann_expr) : empty;
    Ref p = call(parameter, {nm.get(), k.get()}, {{"annotation", ann.get()}});
    check(PyList_Append(params, p));
  };
  for (const Param& p : d.params) add(p.name, "POSITIONAL_OR_KEYWORD", p.annotation);
  if (d.varargs) add(d.varargs, "VAR_POSITIONAL", nullptr);
  if (d.varkw) add(d.varkw, "VAR_KEYWORD", d.varkw_annotation);
  Ref ret = d.returns ? annotation(f->globals, d.returns) : attr(signature, "empty");
  return call(signature, {params.get()}, {{"return_annotation", ret.get()}});
}

PyObject* var_getattro(PyObject* self, PyObject* name) {
  PyObject* r = PyObject_GenericGetAttr(self, name);
  if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
  auto* f = reinterpret_cast<VarFunction*>(self);
  const bool sig = PyUnicode_CompareWithASCIIString(name, "__signature__") == 0;
  const bool ann = !sig && PyUnicode_CompareWithASCIIString(name, "__annotations__") == 0;
  if (!sig && !ann) return nullptr;
  PyErr_Clear();
  return guard([&] {
    Ref v = sig ? var_signature(f) : var_annotations(f);
    check(PyDict_SetItem(f->dict, name, v));
    return v;
  });
}

PyObject* var_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* var_repr(PyObject* self) {
  auto* f = reinterpret_cast<VarFunction*>(self);
  return guard([&] {
    Ref q = var_qualname(f);
    return Ref::steal(PyUnicode_FromFormat("<function %U at %p>", q.get(), self));
  });
}

int var_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<VarFunction*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->globals);
  Py_VISIT(f->captures);
  return 0;
}

int var_clear(PyObject* self) {
  auto* f = reinterpret_cast<VarFunction*>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->captures);
  return 0;
}

void var_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* f = reinterpret_cast<VarFunction*>(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  var_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMemberDef var_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(VarFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(VarFunction, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(VarFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot var_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(var_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(var_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(var_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(var_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(var_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
    {Py_tp_repr, reinterpret_cast<void*>(var_repr)},
    {Py_tp_members, var_members},
    {0, nullptr}};

PyType_Spec var_spec = {"vorel_cloud.native_function", sizeof(VarFunction), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                        var_slots};

Ref make_var_function(PyObject* type, PyObject* globals, const VarDef& def, const char* qualname,
                      std::initializer_list<PyObject*> captures = {}) {
  if (def.params.size() > kMaxNamed) raise(PyExc_SystemError, "too many named parameters for a native function");
  Ref obj = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
  auto* f = reinterpret_cast<VarFunction*>(obj.get());
  f->vectorcall = var_vectorcall;
  f->def = &def;
  f->globals = Py_NewRef(globals);
  f->dict = check(PyDict_New());
  f->captures = tuple(captures).release();
  Ref name = text(def.name);
  check(PyDict_SetItemString(f->dict, "__name__", name));
  Ref qn = text(qualname ? qualname : def.name);
  check(PyDict_SetItemString(f->dict, "__qualname__", qn));
  PyObject* modname = PyDict_GetItemString(globals, "__name__");
  check(PyDict_SetItemString(f->dict, "__module__", modname ? modname : Py_None));
  Ref doc = def.doc ? text(def.doc) : none();
  check(PyDict_SetItemString(f->dict, "__doc__", doc));
  return obj;
}

// ---- small helpers ------------------------------------------------------------

// `except` clauses match against whatever the module globals name right now.
Ref exception_tuple(PyObject* g, std::initializer_list<const char*> names) {
  Ref t = Ref::steal(PyTuple_New((Py_ssize_t)names.size()));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, global(g, n).release());
  return t;
}

// `f(**mapping)`: a dict is passed as is, any other mapping is copied first.
Ref call_with_mapping(PyObject* f, PyObject* mapping) {
  if (PyDict_Check(mapping)) return call_star(f, nullptr, mapping);
  Ref copy = dict();
  check(PyDict_Merge(copy, mapping, 1));
  return call_star(f, nullptr, copy);
}

// An error raised in a `finally` block while `in_flight` propagates gets it as
// the end of its context chain, as the interpreter links errors raised while
// one is being handled.
void chain_in_flight(PyObject* exc, PyObject* in_flight) {
  PyObject* tail = exc;
  for (int guard_steps = 0; guard_steps < 1000; ++guard_steps) {
    if (tail == in_flight) return;
    PyObject* next = PyException_GetContext(tail);  // new ref
    if (next == nullptr) break;
    Py_DECREF(next);  // still referenced by tail
    tail = next;
  }
  chain_context(tail, in_flight);
}

Ref timeout_message(PyObject* timeout) {
  Ref head = text("timed out after ");
  Ref value = str(timeout);
  Ref tail = text("s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) or "
                  "VOREL_APPROVAL_TIMEOUT env var.");
  return cat({head.get(), value.get(), tail.get()});
}

Ref denial(PyObject* approval_denied, PyObject* request, PyObject* reason) {
  return call(approval_denied, {request}, {{"reason", reason}});
}

// The cloud client's own refusals become ApprovalDenied; everything else,
// ApprovalDenied included, goes on unchanged.
Ref translate_cloud_error(PyObject* g, Ref exc, PyObject* approval_denied, PyObject* request, PyObject* timeout) {
  try {
    Handling scope(exc);
    Ref refused = exception_tuple(g, {"ApprovalDeniedError", "ApprovalExpiredError"});
    if (matches(exc, refused)) {
      Ref reason = str(exc);
      Ref denied = denial(approval_denied, request, reason);
      raise_from(denied, exc);
    }
    Ref timed_out = global(g, "ApprovalTimeoutError");
    if (matches(exc, timed_out)) {
      Ref reason = timeout_message(timeout);
      Ref denied = denial(approval_denied, request, reason);
      raise(denied);
    }
  } catch (PyError&) {
    return take_error();
  }
  return exc;
}

// ---- the approval handler -------------------------------------------------------

Coro handle_gate(Ref globals_holder, Ref request, Ref api_key, Ref signing_key, Ref base_url, Ref poll_interval,
                 Ref timeout, Ref dashboard, Ref extract) {
  PyObject* g = globals_holder;
  Ref approval_denied = import_from("vorel.approval", "ApprovalDenied");
  Ref idempotency_key = call(global(g, "_get_idempotency_key"), {request.get()});
  Ref payload = call(global(g, "build_approval_request_payload"), {request.get()},
                     {{"signing_key", signing_key.get()}, {"idempotency_key", idempotency_key.get()}});
  Ref client = call(global(g, "AsyncVorelCloudClient"), {api_key.get()}, {{"base_url", base_url.get()}});

  // From here on the client is closed on every way out.
  Ref result;
  Ref error;
  try {
    Ref create_kwargs = call_method(payload, "to_create_request_kwargs");
    Ref create = attr(client, "create_request");
    Ref creating = call_with_mapping(create, create_kwargs);
    Ref created = co_await await(creating);
    Ref request_id = item(created, "id");

    Ref id_text = str(request_id);
    Ref route = text("/approvals?request=");
    Ref link = cat({dashboard.get(), route.get(), id_text.get()});
    Ref tool = attr(request, "tool");
    log(g, "info", "approval gate for '%s' - request %s - %s", {tool.get(), request_id.get(), link.get()});

    // The deadline starts once the request exists; creating it is not waiting.
    Ref loop = call_method(global(g, "asyncio"), "get_running_loop");
    Ref started = call_method(loop, "time");
    Ref deadline = add(started, timeout);
    Ref status_key = text("status");
    Ref reason_key = text("denied_reason");
    Ref zero = integer(0);
    while (true) {
      Ref polling = call_method(client, "get_request", {request_id.get()});
      Ref response = co_await await(polling);
      Ref empty = text("");
      Ref raw_status = call_method(response, "get", {status_key.get(), empty.get()});
      Ref status = call_method(str(raw_status), "lower");

      if (equals_text(status, "approved")) {
        Ref granted_tool = attr(request, "tool");
        log(g, "info", "approval granted for '%s' (request %s)", {granted_tool.get(), request_id.get()});
        result = call(extract, {response.get()});
        break;
      }
      if (equals_text(status, "denied") || equals_text(status, "rejected")) {
        Ref reason = call_method(response, "get", {reason_key.get()});
        if (!truthy(reason)) reason = status;
        raise(denial(approval_denied, request, reason));
      }
      if (equals_text(status, "expired")) {
        Ref reason = text("approval request expired");
        raise(denial(approval_denied, request, reason));
      }
      // Still open (pending, unknown, missing or null status). The deadline
      // is consulted only here, so a decision seen on the last poll wins.
      Ref now = call_method(loop, "time");
      Ref remaining = subtract(deadline, now);
      if (compare(remaining, zero, Py_LE)) {
        Ref reason = timeout_message(timeout);
        raise(denial(approval_denied, request, reason));
      }
      Ref sleep_for = compare(remaining, poll_interval, Py_LT) ? remaining : poll_interval;
      Ref sleeping = call_method(global(g, "asyncio"), "sleep", {sleep_for.get()});
      co_await await(sleeping);
    }
  } catch (PyError&) {
    error = take_error();
  }
  if (error) error = translate_cloud_error(g, error, approval_denied, request, timeout);

  Ref close_error;
  try {
    Ref closing = call_method(client, "close");
    co_await await(closing);
  } catch (PyError&) {
    close_error = take_error();
  }
  if (close_error) {
    if (error) chain_in_flight(close_error, error);
    rethrow(close_error);
  }
  if (error) rethrow(error);
  co_return result;
}

enum HandlerCapture : size_t { kApiKey, kSigningKey, kBaseUrl, kPollInterval, kTimeout, kDashboard, kExtract };

Ref handle(Call& c) {
  auto cap = [&](size_t i) { return Ref::borrow(c.capture(i)); };
  return start(c, handle_gate(Ref::borrow(c.globals()), Ref::borrow(c.arg(0)), cap(kApiKey), cap(kSigningKey),
                              cap(kBaseUrl), cap(kPollInterval), cap(kTimeout), cap(kDashboard), cap(kExtract)));
}

using K = ParamKind;

const Param kHandleParams[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const FuncDef kHandleDef{"_handle",
                         "Resolve one approval gate through Vorel Cloud.\n\n"
                         "Creates the approval request, logs its dashboard link, polls until it is\n"
                         "decided and returns the signed approval(s); raises ApprovalDenied otherwise.",
                         kHandleParams, handle, "Union[Any, List[Any]]", true};

Ref environ_get(PyObject* g, const char* name, const char* fallback) {
  Ref environ = attr(global(g, "os"), "environ");
  Ref key = text(name);
  Ref dflt = text(fallback);
  return call_method(environ, "get", {key.get(), dflt.get()});
}

Ref langgraph_cloud_approval(Call& c) {
  PyObject* api_key = c.arg(0);
  PyObject* signing_key = c.arg(1);
  PyObject* base_url = c.arg(2);
  PyObject* dashboard_url = c.arg(3);
  PyObject* poll_interval = c.arg(4);
  PyObject* timeout = c.arg(5);

  Ref extract = import_relative(c.globals(), "approval", "_extract_signed_approvals");

  Ref effective_timeout = Ref::borrow(timeout);
  if (effective_timeout.is_none()) {
    Ref configured = environ_get(c.globals(), "VOREL_APPROVAL_TIMEOUT", "900");
    effective_timeout = call(reinterpret_cast<PyObject*>(&PyFloat_Type), {configured.get()});
  }

  Ref dashboard = Ref::borrow(dashboard_url);
  if (!truthy(dashboard)) dashboard = environ_get(c.globals(), "VOREL_DASHBOARD_URL", "");
  if (!truthy(dashboard)) dashboard = text(kDefaultDashboardUrl);
  Ref slash = text("/");
  dashboard = call_method(dashboard, "rstrip", {slash.get()});

  return make_closure(c, kHandleDef, "langgraph_cloud_approval.<locals>._handle",
                      {api_key, signing_key, base_url, poll_interval, effective_timeout.get(), dashboard.get(),
                       extract.get()});
}

Ref get_idempotency_key(Call& c) {
  Ref value = attr_or(c.arg(0), "request_id", Py_None);
  if (value.is_none()) return value;
  // Lower-case hex, two digits per byte, for bytes and bytearray alike.
  if (PyBytes_Check(value.get())) return call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), "hex", {value.get()});
  if (PyByteArray_Check(value.get()))
    return call_method(reinterpret_cast<PyObject*>(&PyByteArray_Type), "hex", {value.get()});
  return str(value);
}

// ---- auto-wiring ------------------------------------------------------------

Ref auto_approval_handler(VarCall& c) {
  PyObject* overrides = c.kwargs;
  PyObject* explicit_key = PyDict_GetItemString(overrides, "api_key");  // borrowed
  Ref api_key;
  if (explicit_key != nullptr && truthy(explicit_key)) {
    api_key = Ref::borrow(explicit_key);
  } else {
    api_key = environ_get(c.globals(), "VOREL_API_KEY", "");
  }
  if (!truthy(api_key)) return none();
  Ref kwargs = dict();
  check(PyDict_SetItemString(kwargs, "api_key", api_key));
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(overrides, &pos, &key, &value)) {
    if (PyUnicode_CompareWithASCIIString(key, "api_key") == 0) continue;
    check(PyDict_SetItem(kwargs, key, value));
  }
  return call_star(c.global("langgraph_cloud_approval"), nullptr, kwargs);
}

const VarDef kAutoHandlerDef{"_auto_approval_handler",
                             "A cloud approval handler when an API key is available, else None.\n\n"
                             "The key is ``overrides['api_key']`` when truthy, else ``VOREL_API_KEY``; the other\n"
                             "overrides are passed to ``langgraph_cloud_approval``.",
                             {},
                             nullptr,
                             "overrides",
                             "Any",
                             auto_approval_handler,
                             "Optional[Any]"};

// Adds a cloud handler to `kwargs` unless the caller gave one.
void wire_handler(const VarCall& c) {
  PyObject* given = PyDict_GetItemWithError(c.kwargs, text("approval_handler"));
  if (given == nullptr && PyErr_Occurred()) throw_pending();
  if (given != nullptr && given != Py_None) return;
  Ref handler = call(c.global("_auto_approval_handler"));
  if (!handler.is_none()) check(PyDict_SetItemString(c.kwargs, "approval_handler", handler));
}

// super(__class__, self).__init__, with __class__ from the class cell that
// class creation filled in.
Ref super_init(const VarCall& c, PyObject* self) {
  PyObject* cls = PyCell_Get(c.capture(0));
  if (cls == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    throw_pending();
  }
  Ref owner = Ref::steal(cls);
  Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), {owner.get(), self});
  return attr(proxy, "__init__");
}

Ref cloud_middleware_init(VarCall& c) {
  PyObject* self = c.named[0];
  // Positional arguments belong to the core constructor's own signature;
  // only a keyword-style construction is completed with a cloud handler.
  if (PyTuple_GET_SIZE(c.args.get()) == 0) wire_handler(c);
  Ref init = super_init(c, self);
  call_star(init, c.args, c.kwargs);
  return none();
}

Ref cloud_tool_node_init(VarCall& c) {
  PyObject* self = c.named[0];
  PyObject* tools = c.named[1];
  wire_handler(c);
  Ref init = super_init(c, self);
  Ref args = tuple({tools});
  call_star(init, args, c.kwargs);
  return none();
}

Ref missing_init(VarCall& c) {
  Ref message = text(kMissingLangGraph);
  Ref exc = call(PyExc_ImportError, {message.get()});
  raise_from(exc, c.capture(0));
}

const Param kSelf[] = {{"self"}};
const Param kSelfTools[] = {{"self"}, {"tools"}};

const VarDef kCloudMiddlewareInit{"__init__", nullptr, kSelf, "args", "kwargs", nullptr, cloud_middleware_init};
const VarDef kCloudToolNodeInit{"__init__", nullptr, kSelfTools, nullptr, "kwargs", nullptr, cloud_tool_node_init};
const VarDef kMissingInit{"__init__", nullptr, kSelf, "_a", "_kw", nullptr, missing_init};

// ---- class factories -------------------------------------------------------------

struct Flavor {
  const char* public_name;   // VorelMiddleware / VorelToolNode
  const char* factory;       // _make_cloud_..._class
  const char* cloud_name;    // _CloudVorel...
  const char* missing_name;  // _MissingVorel...
  const char* doc;
  const VarDef* cloud_init;
};

const Flavor kMiddleware{
    "VorelMiddleware",
    "_make_cloud_middleware_class",
    "_CloudVorelMiddleware",
    "_MissingVorelMiddleware",
    "Drop-in replacement for ``vorel.langgraph.VorelMiddleware``.\n\n"
    "Same constructor, same behaviour. When ``VOREL_API_KEY`` is set and no\n"
    "``approval_handler`` is provided, a Vorel Cloud approval handler is\n"
    "auto-wired, so approval gates are resolved through the Vorel Cloud API.\n\n"
    "Migration::\n\n"
    "    # before\n"
    "    from vorel.langgraph import VorelMiddleware\n"
    "    # after\n"
    "    from vorel_cloud.langgraph import VorelMiddleware\n",
    &kCloudMiddlewareInit};

const Flavor kToolNode{
    "VorelToolNode",
    "_make_cloud_tool_node_class",
    "_CloudVorelToolNode",
    "_MissingVorelToolNode",
    "Drop-in replacement for ``vorel.langgraph.VorelToolNode``.\n\n"
    "Same constructor, same behaviour. When ``VOREL_API_KEY`` is set and no\n"
    "``approval_handler`` is provided, a Vorel Cloud approval handler is\n"
    "auto-wired, so approval gates are resolved through the Vorel Cloud API.\n\n"
    "Migration::\n\n"
    "    # before\n"
    "    from vorel.langgraph import VorelToolNode\n"
    "    # after\n"
    "    from vorel_cloud.langgraph import VorelToolNode\n",
    &kCloudToolNodeInit};

std::string local_name(const Flavor& fl, const char* cls, const char* member = nullptr) {
  std::string q = std::string(fl.factory) + ".<locals>." + cls;
  if (member != nullptr) q += std::string(".") + member;
  return q;
}

// The namespace a class statement would start from: meta.__prepare__(name, bases).
Ref prepare_namespace(PyObject* meta, const char* name, PyObject* bases) {
  Ref prepare = attr_or(meta, "__prepare__", Py_None);
  if (prepare.is_none()) return dict();
  Ref nm = text(name);
  Ref ns = call(prepare, {nm.get(), bases});
  if (!PyDict_Check(ns.get())) raise(PyExc_TypeError, "class namespace must be a dict");
  return ns;
}

Ref finish_class(Ref cls, const Flavor& fl) {
  Ref public_name = text(fl.public_name);
  set_attr(cls, "__name__", public_name);
  set_attr(cls, "__qualname__", public_name);
  return cls;
}

Ref build_cloud_class(const Call& c, const Flavor& fl, PyObject* core) {
  Module mod(PyType_GetModule(Py_TYPE(c.self())));
  PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(core));
  Ref bases = tuple({core});
  Ref ns = prepare_namespace(meta, fl.cloud_name, bases);
  Ref qualname = text(local_name(fl, fl.cloud_name));
  check(PyDict_SetItemString(ns, "__qualname__", qualname));
  Ref doc = text(fl.doc);
  check(PyDict_SetItemString(ns, "__doc__", doc));
  Ref class_cell = Ref::steal(PyCell_New(nullptr));
  std::string init_qualname = local_name(fl, fl.cloud_name, "__init__");
  Ref init = make_var_function(c.capture(0), c.globals(), *fl.cloud_init, init_qualname.c_str(), {class_cell.get()});
  check(PyDict_SetItemString(ns, "__init__", init));
  check(PyDict_SetItemString(ns, "__classcell__", class_cell));
  Ref cls = mod.make_class(fl.cloud_name, bases, ns, meta);
  // type.__new__ fills the cell; a metaclass that bypasses it still gets a
  // working super().
  Ref filled = Ref::steal_or_null(PyCell_Get(class_cell));
  if (!filled) {
    if (PyErr_Occurred()) throw_pending();
    check(PyCell_Set(class_cell, cls));
  }
  return finish_class(cls, fl);
}

Ref build_missing_class(const Call& c, const Flavor& fl, PyObject* import_error) {
  Module mod(PyType_GetModule(Py_TYPE(c.self())));
  Ref bases = tuple({});
  Ref ns = dict();
  Ref qualname = text(local_name(fl, fl.missing_name));
  check(PyDict_SetItemString(ns, "__qualname__", qualname));
  std::string init_qualname = local_name(fl, fl.missing_name, "__init__");
  Ref init = make_var_function(c.capture(0), c.globals(), kMissingInit, init_qualname.c_str(), {import_error});
  check(PyDict_SetItemString(ns, "__init__", init));
  Ref cls = mod.make_class(fl.missing_name, bases, ns);
  return finish_class(cls, fl);
}

Ref make_class_for(const Call& c, const Flavor& fl) {
  Ref core;
  try {
    core = import_from("vorel.langgraph", fl.public_name);
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_ImportError)) rethrow(e);
    Handling scope(e);
    return build_missing_class(c, fl, e);
  }
  return build_cloud_class(c, fl, core);
}

Ref make_cloud_middleware_class(Call& c) { return make_class_for(c, kMiddleware); }
Ref make_cloud_tool_node_class(Call& c) { return make_class_for(c, kToolNode); }

// ---- definitions --------------------------------------------------------------

const Param kApprovalParams[] = {{"api_key", K::positional_or_keyword, nullptr, "str"},
                                 {"signing_key", K::keyword_only, "None", "Any"},
                                 {"base_url", K::keyword_only, "'https://api.vorel.cloud'", "str"},
                                 {"dashboard_url", K::keyword_only, "''", "str"},
                                 {"poll_interval", K::keyword_only, "3.0", "float"},
                                 {"timeout", K::keyword_only, "None", "Optional[float]"}};
const FuncDef kApprovalDef{
    "langgraph_cloud_approval",
    "Build an async approval handler that resolves approval gates through Vorel Cloud.\n\n"
    "Pass the result as ``approval_handler`` to ``VorelMiddleware`` or ``VorelToolNode``.\n"
    "Each gate creates an approval request (approvers are notified through the\n"
    "tenant's channels), logs a link to it in the dashboard, polls every\n"
    "``poll_interval`` seconds and returns the signed approval(s), or raises\n"
    "``vorel.approval.ApprovalDenied`` on denial, expiry or timeout.\n\n"
    "``timeout`` defaults to ``VOREL_APPROVAL_TIMEOUT`` (900 seconds when unset) and\n"
    "``dashboard_url`` to ``VOREL_DASHBOARD_URL``; both are read here, once.",
    kApprovalParams,
    langgraph_cloud_approval,
    "Any"};

const Param kRequestParam[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const FuncDef kIdempotencyDef{
    "_get_idempotency_key",
    "Idempotency key for the cloud request: the request's ``request_id`` as text (bytes as hex).\n\n"
    "None stays None, so that the key is left out rather than sent empty.",
    kRequestParam, get_idempotency_key, "Optional[str]"};

const FuncDef kMiddlewareFactoryDef{
    "_make_cloud_middleware_class",
    "The cloud ``VorelMiddleware``, or a placeholder when the core LangGraph module is missing.", {},
    make_cloud_middleware_class, "type"};
const FuncDef kToolNodeFactoryDef{
    "_make_cloud_tool_node_class",
    "The cloud ``VorelToolNode``, or a placeholder when the core LangGraph module is missing.", {},
    make_cloud_tool_node_class, "type"};

constexpr const char* kModuleDoc =
    "LangGraph integration for Vorel Cloud.\n\n"
    "``VorelMiddleware`` and ``VorelToolNode`` are drop-in replacements for the\n"
    "classes of the same names in ``vorel.langgraph``: migrating from core to\n"
    "cloud is a single import change::\n\n"
    "    from vorel.langgraph import VorelToolNode        # core\n"
    "    from vorel_cloud.langgraph import VorelToolNode  # cloud\n\n"
    "With ``VOREL_API_KEY`` in the environment (or an API key passed explicitly)\n"
    "approval gates are resolved through the Vorel Cloud API; with no API key the\n"
    "classes behave identically to the core versions. ``langgraph_cloud_approval()``\n"
    "remains for callers who want explicit control over the handler configuration::\n\n"
    "    handler = langgraph_cloud_approval(api_key, timeout=600)\n"
    "    node = VorelToolNode(tools, approval_handler=handler)\n";

void body(Module& m) {
  m.import("asyncio");
  m.import("logging");
  m.import("os");
  m.from_import("typing", {"Any", "List", "Optional", "Union"});
  m.from_relative("parvex", {"build_approval_request_payload"});
  m.from_relative("client", {"AsyncVorelCloudClient"});
  m.from_relative("exceptions", {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError"});
  m.logger("vorel_cloud.langgraph");

  m.def(kApprovalDef);
  m.def(kIdempotencyDef);

  // Module functions and the factories' constructors share one variadic
  // function type; the factories capture it to build fresh classes.
  Ref var_type = Ref::steal(PyType_FromModuleAndSpec(m.object(), &var_spec, nullptr));
  Ref auto_handler = make_var_function(var_type, m.globals(), kAutoHandlerDef, nullptr);
  m.set("_auto_approval_handler", auto_handler);

  Ref middleware_factory = make_function(m.object(), kMiddlewareFactoryDef, nullptr, {var_type.get()});
  m.set("_make_cloud_middleware_class", middleware_factory);
  Ref tool_node_factory = make_function(m.object(), kToolNodeFactoryDef, nullptr, {var_type.get()});
  m.set("_make_cloud_tool_node_class", tool_node_factory);

  m.set("VorelMiddleware", call(middleware_factory));
  m.set("VorelToolNode", call(tool_node_factory));
}

}  // namespace

VOREL_MODULE(langgraph, kModuleDoc, body)
