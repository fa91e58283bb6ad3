// vorel_cloud.langgraph: the LangGraph approval handler (cloud request, dashboard
// link, its own poll loop on the running loop's clock) and drop-in subclasses
// of the core SDK's VorelMiddleware / VorelToolNode that wire that handler in
// whenever an API key is in the environment.
#include <cmath>
#include <string>
#include <utility>

#include "runtime/vorel.hpp"
#include "modules/common.hpp"

using namespace vc;

namespace {

constexpr const char* kDefaultDashboardUrl = "https://app.vorel.cloud";
constexpr const char* kMissingLangGraph =
    "vorel_cloud.langgraph requires vorel[langgraph]. Install with: pip install 'vorel[langgraph]'";

// ---- small helpers ------------------------------------------------------------

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
    // `except` clauses match against whatever the module globals name right now.
    Ref denied_error = global(g, "ApprovalDeniedError");
    Ref expired_error = global(g, "ApprovalExpiredError");
    Ref refused = tuple({denied_error.get(), expired_error.get()});
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
    Ref creating = call_kwargs(create, create_kwargs);
    Ref created = co_await await(std::move(creating));
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
      Ref response = co_await await(std::move(polling));
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
      co_await await(std::move(sleeping));
    }
  } catch (PyError&) {
    error = take_error();
  }
  if (error) error = translate_cloud_error(g, error, approval_denied, request, timeout);

  // finally: await client.close() -- its own error replaces whatever was
  // leaving, with that error as its __context__.
  Ref close_error;
  try {
    Ref closing;
    if (error) {
      Handling scope(error);
      closing = call_method(client, "close");
    } else {
      closing = call_method(client, "close");
    }
    co_await await_handling(std::move(closing), error);
  } catch (PyError&) {
    close_error = take_error();
  }
  if (close_error) rethrow(close_error);
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
    Ref configured = environ_get(c.globals(), "VOREL_APPROVAL_TIMEOUT", text("900").get());
    effective_timeout = call(reinterpret_cast<PyObject*>(&PyFloat_Type), {configured.get()});
    vorel::require_seconds(effective_timeout, "VOREL_APPROVAL_TIMEOUT");
  } else {
    vorel::require_seconds(effective_timeout, "timeout");
  }
  vorel::require_seconds(poll_interval, "poll_interval");

  Ref dashboard = Ref::borrow(dashboard_url);
  if (!truthy(dashboard)) dashboard = environ_get(c.globals(), "VOREL_DASHBOARD_URL", text("").get());
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

Ref auto_approval_handler(Call& c) {
  PyObject* overrides = c.var_kwargs;
  PyObject* explicit_key = PyDict_GetItemString(overrides, "api_key");  // borrowed
  const bool key_from_environment = explicit_key == nullptr || !truthy(explicit_key);
  Ref api_key;
  if (!key_from_environment) {
    api_key = Ref::borrow(explicit_key);
  } else {
    api_key = environ_get(c.globals(), "VOREL_API_KEY", text("").get());
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
  // A key from the environment goes to the endpoint exported with it (as
  // connect() does), never to the hosted default; an explicit base_url wins.
  if (key_from_environment && !truthy(get(kwargs, "base_url"))) {
    Ref url = environ_get(c.globals(), "VOREL_CONTROL_PLANE_URL", text("").get());
    if (truthy(url)) set_item(kwargs, "base_url", url);
  }
  return call_star(c.global("langgraph_cloud_approval"), nullptr, kwargs);
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
  PyObject* given = PyDict_GetItemWithError(c.var_kwargs, text("approval_handler"));
  if (given == nullptr && PyErr_Occurred()) throw_pending();
  if (given != nullptr && given != Py_None) return;
  Ref handler = call(c.global("_auto_approval_handler"));
  if (!handler.is_none()) check(PyDict_SetItemString(c.var_kwargs, "approval_handler", handler));
}

// super(__class__, self).__init__, with __class__ from the class cell that
// class creation filled in.
Ref super_init(const Call& c, PyObject* self) {
  PyObject* cls = PyCell_Get(c.capture(0));
  if (cls == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    throw_pending();
  }
  Ref owner = Ref::steal(cls);
  Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), {owner.get(), self});
  return attr(proxy, "__init__");
}

Ref cloud_middleware_init(Call& c) {
  PyObject* self = c.arg(0);
  // Positional arguments belong to the core constructor's own signature;
  // only a keyword-style construction is completed with a cloud handler.
  if (PyTuple_GET_SIZE(c.var_args.get()) == 0) wire_handler(c);
  Ref init = super_init(c, self);
  call_star(init, c.var_args, c.var_kwargs);
  return none();
}

Ref cloud_tool_node_init(Call& c) {
  PyObject* self = c.arg(0);
  PyObject* tools = c.arg(1);
  wire_handler(c);
  Ref init = super_init(c, self);
  Ref args = tuple({tools});
  call_star(init, args, c.var_kwargs);
  return none();
}

Ref missing_init(Call& c) {
  Ref message = text(kMissingLangGraph);
  Ref exc = call(PyExc_ImportError, {message.get()});
  raise_from(exc, c.capture(0));
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

const Flavor kMiddleware{
    "VorelMiddleware",
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

const Flavor kToolNode{
    "VorelToolNode",
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
  Ref init = make_closure(c, *fl.cloud_init, init_qualname.c_str(), {class_cell.get()});
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
  Ref init = make_closure(c, kMissingInit, init_qualname.c_str(), {import_error});
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

  m.def(kApprovalDef);
  m.def(kIdempotencyDef);

  m.def(kAutoHandlerDef);
  Ref middleware_factory = m.def(kMiddlewareFactoryDef);
  Ref tool_node_factory = m.def(kToolNodeFactoryDef);
  m.set("VorelMiddleware", call(middleware_factory));
  m.set("VorelToolNode", call(tool_node_factory));
}

}  // namespace

VOREL_MODULE(langgraph, kModuleDoc, body)
