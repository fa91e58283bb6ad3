// vorel_cloud.langgraph: the LangGraph approval handler (cloud request, dashboard
// link, its own poll loop on the running loop's clock) and drop-in subclasses
// of the core SDK's VorelMiddleware / VorelToolNode that wire that handler in
// whenever an API key is in the environment.
#include <cstring>
#include <string>
#include <utility>

#include "modules/common.hpp"
#include "runtime/aio.hpp"
#include "runtime/vorel.hpp"

using namespace vc;

namespace {

constexpr const char* kDefaultDashboardUrl = "https://app.vorel.cloud";
constexpr const char* kMissingLangGraph =
    "vorel_cloud.langgraph requires vorel[langgraph]. Install with: pip install 'vorel[langgraph]'";

// ---- the approval handler -------------------------------------------------------

enum class P : size_t { request };
enum class Cap : size_t { api_key, signing_key, base_url, poll_interval, timeout, dashboard, extract, asyncio };

Ref timeout_message(PyObject* timeout) {
  return fmt(
      "timed out after {!s}s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) or "
      "VOREL_APPROVAL_TIMEOUT env var.",
      timeout);
}

// The steps of one gate that do not wait live in plain functions: their
// temporaries end on the C stack, so a pending gate keeps in its coroutine
// frame only what the next step needs.

Ref build_payload(const Frame& f) {
  PyObject* request = f.arg(P::request);
  Ref key = call(f.global("_get_idempotency_key"_n), request);
  return call(f.global("build_approval_request_payload"_n), request, "signing_key"_kw = f.capture(Cap::signing_key),
              "idempotency_key"_kw = key);
}

Ref open_client(const Frame& f) {
  return call(f.global("AsyncVorelCloudClient"_n), f.capture(Cap::api_key), "base_url"_kw = f.capture(Cap::base_url));
}

// client.create_request(**payload.to_create_request_kwargs()), not yet awaited;
// the payload and its kwargs are done with once the call is made.
Ref create_call(PyObject* client, Ref payload) {
  Ref kwargs = call_method(payload, "to_create_request_kwargs"_n);
  Ref create = attr(client, "create_request"_n);
  return call_kwargs(create, kwargs);
}

// f"{dashboard}/approvals?request={request_id!s}"; for the usual str values
// without the template's per-call parsing.
Ref approval_link(PyObject* dashboard, PyObject* request_id) {
  if (!PyUnicode_CheckExact(dashboard) || !PyUnicode_CheckExact(request_id))
    return fmt("{}/approvals?request={!s}", dashboard, request_id);
  Ref head = Ref::steal(PyUnicode_Concat(dashboard, "/approvals?request="_n));
  return Ref::steal(PyUnicode_Concat(head, request_id));
}

// The new request's id, with the dashboard link to it logged.
Ref announce(const Frame& f, PyObject* created) {
  Ref request_id = item(created, "id"_n);
  Ref link = approval_link(f.capture(Cap::dashboard), request_id);
  Ref tool = attr(f.arg(P::request), "tool"_n);
  log(f.globals(), "info", "approval gate for '%s' - request %s - %s", {tool.get(), request_id.get(), link.get()});
  return request_id;
}

// remaining <= 0 and remaining < interval, with float fast paths (the loop
// clock and the usual settings); anything else compares as Python does.
bool at_or_below_zero(PyObject* remaining) {
  if (PyFloat_CheckExact(remaining)) return PyFloat_AS_DOUBLE(remaining) <= 0.0;
  Ref zero = integer(0);
  return compare(remaining, zero, Py_LE);
}
bool below(PyObject* a, PyObject* b) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return PyFloat_AS_DOUBLE(a) < PyFloat_AS_DOUBLE(b);
  return compare(a, b, Py_LT);
}

// status == word. Two exact str are equal exactly when their canonical
// forms (same width, same code points) are.
bool is_status(PyObject* status, Name name) {
  PyObject* word = name;
  if (PyUnicode_CheckExact(status)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(status);
    const int kind = PyUnicode_KIND(status);
    return n == PyUnicode_GET_LENGTH(word) && kind == (int)PyUnicode_KIND(word) &&
           std::memcmp(PyUnicode_DATA(status), PyUnicode_DATA(word), (size_t)n * (size_t)kind) == 0;
  }
  return compare(status, word, Py_EQ);
}

// What one status response means: approved (`outcome` set, empty Ref back),
// refused or out of time (ApprovalDenied raised), still open (how long to
// sleep before the next poll).
Ref after_poll(const Frame& f, PyObject* denied, PyObject* request_id, PyObject* loop, PyObject* deadline,
               PyObject* response, Ref& outcome) {
  PyObject* request = f.arg(P::request);
  Ref status;
  {
    Ref raw = get(response, "status"_n, ""_n);
    status = call_method(str(raw), "lower"_n);
  }
  if (is_status(status, "approved"_n)) {
    Ref tool = attr(request, "tool"_n);
    log(f.globals(), "info", "approval granted for '%s' (request %s)", {tool.get(), request_id});
    outcome = call(f.capture(Cap::extract), response);
    return Ref();
  }
  if (is_status(status, "denied"_n) || is_status(status, "rejected"_n)) {
    Ref reason = get(response, "denied_reason"_n);
    raise(vorel::denial(denied, request, truthy(reason) ? reason : status));
  }
  if (is_status(status, "expired"_n)) raise(vorel::denial(denied, request, "approval request expired"_n));
  // Still open (pending, unknown, missing or null status). The deadline is
  // consulted only here, so a decision seen on the last poll wins.
  Ref remaining = subtract(deadline, call_method(loop, "time"_n));
  if (at_or_below_zero(remaining)) raise(vorel::denial(denied, request, timeout_message(f.capture(Cap::timeout))));
  PyObject* interval = f.capture(Cap::poll_interval);
  return below(remaining, interval) ? remaining : Ref::borrow(interval);
}

Coro gate(Frame f) {
  Ref denied = import_from("vorel.approval"_n, "ApprovalDenied"_n);
  Ref payload = build_payload(f);
  Ref client = open_client(f);

  // From here on the client is closed on every way out.
  Ref outcome;
  Ref error;
  try {
    Ref request_id;
    {
      Ref creating = create_call(client, std::move(payload));
      Ref created = co_await await(std::move(creating));
      request_id = announce(f, created);
    }
    // The deadline starts once the request exists; creating it is not waiting.
    Ref loop = call_method(f.global("asyncio"_n), "get_running_loop"_n);
    Ref deadline = add(call_method(loop, "time"_n), f.capture(Cap::timeout));
    while (true) {
      aio::Sleep pause;
      {
        Ref polling = call_method(client, "get_request"_n, request_id);
        Ref response = co_await await(std::move(polling));
        Ref delay = after_poll(f, denied, request_id, loop, deadline, response, outcome);
        if (!delay) break;
        pause = aio::start_sleep(f.capture(Cap::asyncio), f.global("asyncio"_n), delay);
      }
      Ref pause_error;
      try {
        co_await await(std::move(pause.awaitable));
      } catch (PyError&) {
        pause_error = take_error();
      }
      aio::end_sleep(f.capture(Cap::asyncio), pause.timer, std::move(pause_error));
    }
  } catch (PyError&) {
    error = vorel::refusal_to_denial(f, take_error(), denied, f.arg(P::request),
                                     [&] { return timeout_message(f.capture(Cap::timeout)); });
  }
  co_await aclose(client, error);
  if (error) rethrow(std::move(error));
  co_return outcome;
}

Ref handle(Call& c) { return start(c, gate(Frame(c))); }

using K = ParamKind;

const Param kHandleParams[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const FuncDef kHandleDef{"_handle",
                         "Resolve one approval gate through Vorel Cloud.\n\n"
                         "Creates the approval request, logs its dashboard link, polls until it is\n"
                         "decided and returns the signed approval(s); raises ApprovalDenied otherwise.",
                         kHandleParams,
                         handle,
                         "Union[Any, List[Any]]",
                         true};

enum class Arg : size_t { api_key, signing_key, base_url, dashboard_url, poll_interval, timeout };
// The standard asyncio as the module found it at load, for the guards of the pause.
enum class ApprovalCap : size_t { asyncio };

Ref langgraph_cloud_approval(Call& c) {
  Ref extract = import_relative(c.globals(), "approval"_n, "_extract_signed_approvals"_n);

  Ref timeout = Ref::borrow(c.arg(Arg::timeout));
  if (timeout.is_none()) {
    Ref configured = environ_get(c.globals(), "VOREL_APPROVAL_TIMEOUT"_n, "900"_n);
    timeout = call(reinterpret_cast<PyObject*>(&PyFloat_Type), configured);
    vorel::require_seconds(timeout, "VOREL_APPROVAL_TIMEOUT");
  } else {
    vorel::require_seconds(timeout, "timeout");
  }
  PyObject* poll_interval = c.arg(Arg::poll_interval);
  vorel::require_seconds(poll_interval, "poll_interval");

  Ref dashboard = Ref::borrow(c.arg(Arg::dashboard_url));
  if (!truthy(dashboard)) dashboard = environ_get(c.globals(), "VOREL_DASHBOARD_URL"_n, text(""));
  if (!truthy(dashboard)) dashboard = text(kDefaultDashboardUrl);
  dashboard = call_method(dashboard, "rstrip"_n, "/"_n);

  // In the order of Cap.
  return make_closure(c, kHandleDef, "langgraph_cloud_approval.<locals>._handle",
                      {c.arg(Arg::api_key), c.arg(Arg::signing_key), c.arg(Arg::base_url), poll_interval, timeout.get(),
                       dashboard.get(), extract.get(), c.capture(ApprovalCap::asyncio)});
}

// bytes.hex(value) / bytearray.hex(value): lower-case, two digits per byte.
// Called unbound, so a subclass's own hex() is not consulted: the buffer's
// bytes are all that count.
Ref hex_of(PyObject* value) {
  const bool is_bytes = PyBytes_Check(value);
  const char* data = is_bytes ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
  const Py_ssize_t n = is_bytes ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
  Ref out = Ref::steal(PyUnicode_New(2 * n, 127));
  Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
  static constexpr char kDigits[] = "0123456789abcdef";
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    dst[2 * i] = static_cast<Py_UCS1>(kDigits[b >> 4]);
    dst[2 * i + 1] = static_cast<Py_UCS1>(kDigits[b & 0xF]);
  }
  return out;
}

Ref get_idempotency_key(Call& c) {
  Ref value = attr_or(c.arg(P::request), "request_id"_n, Py_None);
  if (value.is_none()) return value;
  if (is_bytes_like(value)) return hex_of(value);
  return str(value);
}

// ---- auto-wiring ------------------------------------------------------------

Ref auto_approval_handler(Call& c) {
  PyObject* overrides = c.var_kwargs;
  PyObject* explicit_key = PyDict_GetItemWithError(overrides, "api_key"_n);  // borrowed
  if (explicit_key == nullptr && PyErr_Occurred()) throw_pending();
  const bool key_from_environment = explicit_key == nullptr || !truthy(explicit_key);
  Ref api_key =
      key_from_environment ? environ_get(c.globals(), "VOREL_API_KEY"_n, text("")) : Ref::borrow(explicit_key);
  if (!truthy(api_key)) return none();
  Ref kwargs = dict();
  set_item(kwargs, "api_key"_n, api_key);
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(overrides, &pos, &key, &value)) {
    if (PyUnicode_Compare(key, "api_key"_n) == 0) continue;
    set_item(kwargs, key, value);
  }
  // A key from the environment goes to the endpoint exported with it (as
  // connect() does), never to the hosted default; an explicit base_url wins.
  if (key_from_environment && !truthy(get(kwargs, "base_url"_n))) {
    Ref url = environ_get(c.globals(), "VOREL_CONTROL_PLANE_URL"_n, text(""));
    if (truthy(url)) set_item(kwargs, "base_url"_n, url);
  }
  return call_star(c.global("langgraph_cloud_approval"_n), nullptr, kwargs);
}

const Param kOverrides[] = {{"overrides", K::var_keyword, nullptr, "Any"}};
const FuncDef kAutoHandlerDef{"_auto_approval_handler",
                              "A cloud approval handler when an API key is available, else None.\n\n"
                              "The key is ``overrides['api_key']`` when truthy, else ``VOREL_API_KEY``; the other\n"
                              "overrides are passed to ``langgraph_cloud_approval``. A key from the environment is\n"
                              "sent to ``VOREL_CONTROL_PLANE_URL`` when that is set and no ``base_url`` is given.",
                              kOverrides, auto_approval_handler, "Optional[Any]"};

// Adds a cloud handler to `kwargs` unless the caller gave one.
void wire_handler(const Call& c) {
  PyObject* given = PyDict_GetItemWithError(c.var_kwargs, "approval_handler"_n);
  if (given == nullptr && PyErr_Occurred()) throw_pending();
  if (given != nullptr && given != Py_None) return;
  Ref handler = call(c.global("_auto_approval_handler"_n));
  if (!handler.is_none()) set_item(c.var_kwargs, "approval_handler"_n, handler);
}

enum class InitCap : size_t { class_cell };

// super(__class__, self).__init__, with __class__ from the class cell that
// class creation filled in.
Ref super_init(const Call& c, PyObject* self) {
  PyObject* cls = PyCell_Get(c.capture(InitCap::class_cell));
  if (cls == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    throw_pending();
  }
  Ref owner = Ref::steal(cls);
  Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), owner, self);
  return attr(proxy, "__init__"_n);
}

enum class MiddlewareP : size_t { self };
enum class ToolNodeP : size_t { self, tools };

Ref cloud_middleware_init(Call& c) {
  // Positional arguments belong to the core constructor's own signature;
  // only a keyword-style construction is completed with a cloud handler.
  if (PyTuple_GET_SIZE(c.var_args.get()) == 0) wire_handler(c);
  Ref init = super_init(c, c.arg(MiddlewareP::self));
  call_star(init, c.var_args, c.var_kwargs);
  return none();
}

Ref cloud_tool_node_init(Call& c) {
  wire_handler(c);
  Ref init = super_init(c, c.arg(ToolNodeP::self));
  Ref args = tuple({c.arg(ToolNodeP::tools)});
  call_star(init, args, c.var_kwargs);
  return none();
}

enum class MissingCap : size_t { import_error };

Ref missing_init(Call& c) {
  Ref message = text(kMissingLangGraph);
  raise_from(call(PyExc_ImportError, message), c.capture(MissingCap::import_error));
}

const Param kSelfArgsKwargs[] = {{"self"}, {"args", K::var_positional}, {"kwargs", K::var_keyword}};
const Param kSelfToolsKwargs[] = {{"self"}, {"tools"}, {"kwargs", K::var_keyword}};
const Param kSelfAnything[] = {{"self"}, {"_a", K::var_positional}, {"_kw", K::var_keyword}};

const FuncDef kCloudMiddlewareInit{"__init__", nullptr, kSelfArgsKwargs, cloud_middleware_init};
const FuncDef kCloudToolNodeInit{"__init__", nullptr, kSelfToolsKwargs, cloud_tool_node_init};
const FuncDef kMissingInit{"__init__", nullptr, kSelfAnything, missing_init};

// ---- class factories -------------------------------------------------------------

struct Flavor {
  const char* public_name;   // VorelMiddleware / VorelToolNode
  const char* factory;       // _make_cloud_..._class
  const char* cloud_name;    // _CloudVorel...
  const char* missing_name;  // _MissingVorel...
  const char* doc;
  const FuncDef* cloud_init;
};

const Flavor kMiddleware{"VorelMiddleware",
                         "_make_cloud_middleware_class",
                         "_CloudVorelMiddleware",
                         "_MissingVorelMiddleware",
                         "Drop-in replacement for ``vorel.langgraph.VorelMiddleware``.\n\n"
                         "Same constructor, same behaviour. When ``VOREL_API_KEY`` is set and no\n"
                         "``approval_handler`` is provided, a Vorel Cloud approval handler is\n"
                         "auto-wired, so approval gates are resolved through the Vorel Cloud API\n"
                         "at ``VOREL_CONTROL_PLANE_URL`` (as ``connect()`` exports it), or at the\n"
                         "hosted API when that is unset or empty.\n\n"
                         "Migration::\n\n"
                         "    # before\n"
                         "    from vorel.langgraph import VorelMiddleware\n"
                         "    # after\n"
                         "    from vorel_cloud.langgraph import VorelMiddleware\n",
                         &kCloudMiddlewareInit};

const Flavor kToolNode{"VorelToolNode",
                       "_make_cloud_tool_node_class",
                       "_CloudVorelToolNode",
                       "_MissingVorelToolNode",
                       "Drop-in replacement for ``vorel.langgraph.VorelToolNode``.\n\n"
                       "Same constructor, same behaviour. When ``VOREL_API_KEY`` is set and no\n"
                       "``approval_handler`` is provided, a Vorel Cloud approval handler is\n"
                       "auto-wired, so approval gates are resolved through the Vorel Cloud API\n"
                       "at ``VOREL_CONTROL_PLANE_URL`` (as ``connect()`` exports it), or at the\n"
                       "hosted API when that is unset or empty.\n\n"
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
  Ref prepare = attr_or(meta, "__prepare__"_n, Py_None);
  if (prepare.is_none()) return dict();
  Ref ns = call(prepare, text(name), bases);
  if (!PyDict_Check(ns.get())) raise(PyExc_TypeError, "class namespace must be a dict");
  return ns;
}

Ref finish_class(Ref cls, const Flavor& fl) {
  Ref public_name = text(fl.public_name);
  set_attr(cls, "__name__"_n, public_name);
  set_attr(cls, "__qualname__"_n, public_name);
  return cls;
}

Ref build_cloud_class(const Call& c, const Flavor& fl, PyObject* core) {
  Module mod(PyType_GetModule(Py_TYPE(c.self())));
  PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(core));
  Ref bases = tuple({core});
  Ref ns = prepare_namespace(meta, fl.cloud_name, bases);
  set_item(ns, "__qualname__"_n, text(local_name(fl, fl.cloud_name)));
  set_item(ns, "__doc__"_n, text(fl.doc));
  Ref class_cell = Ref::steal(PyCell_New(nullptr));
  std::string init_qualname = local_name(fl, fl.cloud_name, "__init__");
  Ref init = make_closure(c, *fl.cloud_init, init_qualname.c_str(), {class_cell.get()});
  set_item(ns, "__init__"_n, init);
  set_item(ns, "__classcell__"_n, class_cell);
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
  set_item(ns, "__qualname__"_n, text(local_name(fl, fl.missing_name)));
  std::string init_qualname = local_name(fl, fl.missing_name, "__init__");
  Ref init = make_closure(c, kMissingInit, init_qualname.c_str(), {import_error});
  set_item(ns, "__init__"_n, init);
  Ref cls = mod.make_class(fl.missing_name, bases, ns);
  return finish_class(cls, fl);
}

Ref make_class_for(const Call& c, const Flavor& fl) {
  Ref core;
  try {
    core = import_from("vorel.langgraph"_n, text(fl.public_name));
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
const FuncDef kApprovalDef{"langgraph_cloud_approval",
                           "Build an async approval handler that resolves approval gates through Vorel Cloud.\n\n"
                           "Pass the result as ``approval_handler`` to ``VorelMiddleware`` or ``VorelToolNode``.\n"
                           "Each gate creates an approval request (approvers are notified through the\n"
                           "tenant's channels), logs a link to it in the dashboard, polls every\n"
                           "``poll_interval`` seconds and returns the signed approval(s), or raises\n"
                           "``vorel.approval.ApprovalDenied`` on denial, expiry or timeout.\n\n"
                           "``timeout`` defaults to ``VOREL_APPROVAL_TIMEOUT`` (900 seconds when unset) and\n"
                           "``dashboard_url`` to ``VOREL_DASHBOARD_URL``; both are read here, once.",
                           kApprovalParams, langgraph_cloud_approval, "Any"};

const Param kRequestParam[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const FuncDef kIdempotencyDef{
    "_get_idempotency_key",
    "Idempotency key for the cloud request: the request's ``request_id`` as text (bytes as hex).\n\n"
    "None stays None, so that the key is left out rather than sent empty.",
    kRequestParam, get_idempotency_key, "Optional[str]"};

const FuncDef kMiddlewareFactoryDef{
    "_make_cloud_middleware_class",
    "The cloud ``VorelMiddleware``, or a placeholder when the core LangGraph module is missing.",
    {},
    make_cloud_middleware_class,
    "type"};
const FuncDef kToolNodeFactoryDef{
    "_make_cloud_tool_node_class",
    "The cloud ``VorelToolNode``, or a placeholder when the core LangGraph module is missing.",
    {},
    make_cloud_tool_node_class,
    "type"};

constexpr const char* kModuleDoc =
    "LangGraph integration for Vorel Cloud.\n\n"
    "``VorelMiddleware`` and ``VorelToolNode`` are drop-in replacements for the\n"
    "classes of the same names in ``vorel.langgraph``: migrating from core to\n"
    "cloud is a single import change::\n\n"
    "    from vorel.langgraph import VorelToolNode        # core\n"
    "    from vorel_cloud.langgraph import VorelToolNode  # cloud\n\n"
    "With ``VOREL_API_KEY`` in the environment (or an API key passed explicitly)\n"
    "approval gates are resolved through the Vorel Cloud API (at ``VOREL_CONTROL_PLANE_URL``\n"
    "when that is set, as ``connect()`` leaves it); with no API key the\n"
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

  // asyncio's standard pieces as loaded, kept where the handlers' pauses can compare against them.
  Ref standard_asyncio = aio::snapshot(global(m.globals(), "asyncio"_n));
  m.set(kApprovalDef.name, make_function(m.object(), kApprovalDef, nullptr, {standard_asyncio.get()}));
  m.def(kIdempotencyDef);

  m.def(kAutoHandlerDef);
  Ref middleware_factory = m.def(kMiddlewareFactoryDef);
  Ref tool_node_factory = m.def(kToolNodeFactoryDef);
  m.set("VorelMiddleware", call(middleware_factory));
  m.set("VorelToolNode", call(tool_node_factory));
}

}  // namespace

VOREL_MODULE(langgraph, kModuleDoc, body)
