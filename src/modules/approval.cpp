// vorel_cloud.approval: cloud approval handlers (blocking, asyncio, Temporal)
// and the polling and decoding they share.
//
// Everything a caller may patch is looked up when it is used: the client
// classes, the payload builder, `time`, `asyncio`, `logger`, the exceptions and
// the sibling helpers are module globals; the core SDK, the signing core, the
// Temporal SDK and the few standard modules named in the functions are
// imported at each call, so the module loads without them.
#include <cmath>

#include "runtime/vorel.hpp"
#include "modules/common.hpp"

using namespace vc;

namespace {

constexpr const char* kDefaultBaseUrl = "'https://api.vorel.cloud'";
constexpr const char* kNoResponses = "approved request has no approval responses";
constexpr const char* kMalformedSigned = "malformed signed_approval in cloud response: not valid hex or base64";

Ref zero() { return integer(0); }
Ref empty_text() { return text(""); }

Ref cloud_error(PyObject* globals, const char* message) {
  Ref msg = text(message);
  return call(global(globals, "VorelCloudError"), {msg.get()});
}

// Next item of a Python iterator, or an empty Ref when it is exhausted.
Ref next_item(PyObject* it) {
  Ref v = Ref::steal_or_null(PyIter_Next(it));
  if (!v && PyErr_Occurred()) throw_pending();
  return v;
}

Ref iterate(PyObject* o) { return Ref::steal(PyObject_GetIter(o)); }


// `except T:` test for an error taken with take_error(); the clause's
// expression is evaluated while the error is being handled, as Python does.
bool caught(PyObject* error, PyObject* globals, const char* type_name) {
  Handling scope(error);
  Ref type = global(globals, type_name);
  return matches(error, type);
}

// ---- the `with` statement ---------------------------------------------------

// Special-method lookup on the type, as the interpreter does for `with`.
Ref special(PyObject* o, const char* name, const char* missing_message) {
  Ref n = text(name);
  PyObject* d = _PyType_Lookup(Py_TYPE(o), n);  // borrowed
  if (d == nullptr) {
    if (PyErr_Occurred()) throw_pending();
    PyErr_Format(PyExc_TypeError, missing_message, Py_TYPE(o)->tp_name);
    throw_pending();
  }
  descrgetfunc bind = Py_TYPE(d)->tp_descr_get;
  if (bind != nullptr) return Ref::steal(bind(d, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
  return Ref::borrow(d);
}

// `with manager as value: return body(value)`. An empty Ref from `body` means
// the block ran to its end; `*suppressed` tells that `__exit__` swallowed an
// error (the statement then ends normally with an empty Ref as well).
template <class Body>
Ref with_block(PyObject* manager, Body&& body, bool* suppressed = nullptr) {
  Ref enter = special(manager, "__enter__", "'%.200s' object does not support the context manager protocol");
  Ref exit = special(manager, "__exit__",
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)");
  Ref value = call(enter);
  Ref result;
  try {
    result = body(value.get());
  } catch (PyError&) {
    Ref error = take_error();
    bool swallow;
    {
      Handling scope(error);
      Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
      Ref tb = Ref::steal_or_null(PyException_GetTraceback(error));
      Ref answer = call(exit, {type.get(), error.get(), tb ? tb.get() : Py_None});
      swallow = truthy(answer);
    }
    if (!swallow) rethrow(error);
    if (suppressed != nullptr) *suppressed = true;
    return Ref();
  }
  call(exit, {Py_None, Py_None, Py_None});
  return result;
}

// ---- polling (shared by the long-polling handlers) ----------------------------

Ref poll_log_extra(PyObject* request_id, PyObject* sleep_time) {
  Ref extra = dict();
  set_item(extra, "request_id", request_id);
  set_item(extra, "sleep", sleep_time);
  return extra;
}

Ref poll_until_resolved(Call& c) {
  PyObject* client = c.arg(0);
  PyObject* request_id = c.arg(1);
  PyObject* poll_interval = c.arg(2);
  PyObject* timeout = c.arg(3);
  Ref started = call_method(c.global("time"), "monotonic");
  Ref deadline = add(started, timeout);
  Ref empty = empty_text();
  while (true) {
    Ref result = call_method(client, "get_request", {request_id});
    Ref status = get(result, "status", empty);
    if (!equals_text(status, "pending")) return result;
    Ref now = call_method(c.global("time"), "monotonic");
    Ref remaining = subtract(deadline, now);
    if (compare(remaining, zero(), Py_LE)) raise(call(c.global("ApprovalTimeoutError"), {request_id, timeout}));
    Ref sleep_time = compare(remaining, poll_interval, Py_LT) ? remaining : Ref::borrow(poll_interval);
    Ref extra = poll_log_extra(request_id, sleep_time);
    log(c.globals(), "debug", "approval still pending, polling again", {}, extra);
    call_method(c.global("time"), "sleep", {sleep_time.get()});
  }
}

Coro async_poll(Ref globals_holder, Ref client, Ref request_id, Ref poll_interval, Ref timeout) {
  PyObject* g = globals_holder;
  Ref now = call_method(global(g, "time"), "monotonic");
  Ref deadline = add(now, timeout);
  while (true) {
    Ref pending = call_method(client, "get_request", {request_id.get()});
    Ref result = co_await await(std::move(pending));
    Ref empty = text("");
    Ref status = get(result, "status", empty);
    if (!equals_text(status, "pending")) co_return result;
    Ref remaining = subtract(deadline, call_method(global(g, "time"), "monotonic"));
    if (compare(remaining, zero(), Py_LE)) raise(call(global(g, "ApprovalTimeoutError"), {request_id.get(), timeout.get()}));
    Ref sleep_time = compare(remaining, poll_interval, Py_LT) ? remaining : poll_interval;
    Ref extra = poll_log_extra(request_id, sleep_time);
    log(g, "debug", "approval still pending, polling again", {}, extra);
    Ref sleeping = call_method(global(g, "asyncio"), "sleep", {sleep_time.get()});
    co_await await(std::move(sleeping));
  }
}

Ref async_poll_until_resolved(Call& c) {
  Ref globals = Ref::borrow(c.globals());
  return start(c, async_poll(globals, Ref::borrow(c.arg(0)), Ref::borrow(c.arg(1)), Ref::borrow(c.arg(2)),
                             Ref::borrow(c.arg(3))));
}

// ---- decoding signed approvals --------------------------------------------------

// One `signed_approval` text as standard base64: hex (the pattern matches and
// the whole text has even length) is re-encoded, anything else must already
// be strict base64 and is passed on unchanged.
Ref normalise_signed_approval(PyObject* globals, PyObject* raw, PyObject* base64, PyObject* hex_re) {
  Ref match = call_method(hex_re, "match", {raw});
  if (truthy(match) && length(raw) % 2 == 0) {
    try {
      Ref raw_bytes = call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex", {raw});
      Ref encoded = call_method(base64, "b64encode", {raw_bytes.get()});
      Ref ascii = text("ascii");
      return call_method(encoded, "decode", {ascii.get()});
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_ValueError) && !matches(e, PyExc_TypeError)) rethrow(e);
    }
  }
  try {
    call_method(base64, "b64decode", {raw}, {{"validate", Py_True}});
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    raise_in_except(cloud_error(globals, kMalformedSigned), e);
  }
  return Ref::borrow(raw);
}

Ref extract_signed_approvals(Call& c) {
  PyObject* result = c.arg(0);
  Ref no_responses = list();
  Ref responses = get(result, "responses", no_responses);
  if (!truthy(responses)) raise(cloud_error(c.globals(), kNoResponses));

  Ref base64 = import_module("base64");
  Ref response_type = import_from("vorel.cp_approval", "ControlPlaneApprovalResponseV1");
  Ref from_response = import_from("vorel.cp_approval", "signed_approvals_from_response");
  Ref re = import_module("re");
  Ref pattern = text("^[0-9a-fA-F]+$");
  Ref hex_re = call_method(re, "compile", {pattern.get()});

  Ref signed_b64 = list();
  Ref it = iterate(responses);
  while (Ref r = next_item(it)) {
    Ref raw = get(r, "signed_approval");
    if (!truthy(raw)) continue;
    Ref normalised = normalise_signed_approval(c.globals(), raw, base64, hex_re);
    check(PyList_Append(signed_b64, normalised));
  }

  Ref status = text("approved");
  Ref texts = PyList_GET_SIZE(signed_b64.get()) > 0 ? signed_b64 : none();
  Ref response = call(response_type, {}, {{"status", status.get()}, {"signed_approvals_b64", texts.get()}});
  Ref approvals = call(from_response, {response.get()});
  if (!truthy(approvals)) raise(cloud_error(c.globals(), kNoResponses));
  if (length(approvals) == 1) return item(approvals, zero());
  return approvals;
}

// ---- outcome mapping of the long-polling handlers --------------------------------

Ref denial(PyObject* denied_type, PyObject* request, PyObject* reason) {
  return call(denied_type, {request}, {{"reason", reason}});
}

Ref timeout_reason(PyObject* timeout) {
  Ref head = text("timed out after ");
  Ref number = format(timeout);
  Ref tail = text("s waiting for cloud approval");
  return cat({head.get(), number.get(), tail.get()});
}

// The final status of an approval result: the decoded approvals, or the
// ApprovalDenied raised for every other status.
Ref settle(PyObject* globals, PyObject* result, PyObject* request, PyObject* denied_type) {
  Ref status = item(result, "status");
  if (equals_text(status, "approved")) return call(global(globals, "_extract_signed_approvals"), {result});
  if (equals_text(status, "denied")) {
    Ref reason = get(result, "denied_reason");
    if (!truthy(reason)) reason = text("denied in Vorel Cloud");
    raise(denial(denied_type, request, reason));
  }
  if (equals_text(status, "expired")) {
    Ref reason = text("approval request expired");
    raise(denial(denied_type, request, reason));
  }
  Ref head = text("unexpected status: ");
  Ref shown = format(status);
  Ref reason = cat({head.get(), shown.get()});
  raise(denial(denied_type, request, reason));
}

// The handlers' `except` clauses: the cloud's own refusals become
// ApprovalDenied caused by them, a local timeout becomes ApprovalDenied raised
// while handling it; any other error is returned unchanged.
Ref translate(PyObject* globals, Ref error, PyObject* request, PyObject* denied_type, PyObject* timeout) {
  try {
    Handling scope(error);
    Ref refusals = tuple({global(globals, "ApprovalDeniedError").get(), global(globals, "ApprovalExpiredError").get()});
    if (matches(error, refusals)) {
      Ref reason = str(error);
      raise_from(denial(denied_type, request, reason), error);
    }
    Ref timeout_type = global(globals, "ApprovalTimeoutError");
    if (matches(error, timeout_type)) {
      Ref reason = timeout_reason(timeout);
      raise(denial(denied_type, request, reason));
    }
  } catch (PyError&) {
    return take_error();
  }
  return error;
}

// ---- cloud_approval ---------------------------------------------------------------

// Captures of `_handle`: api_key, signing_key, base_url, poll_interval, timeout.
enum Capture : size_t { kApiKey, kSigningKey, kBaseUrl, kPollInterval, kTimeout };

Ref sync_flow(const Call& c, PyObject* client, PyObject* payload, PyObject* request, PyObject* denied_type) {
  Ref create = attr(client, "create_request");
  Ref kwargs = call_method(payload, "to_create_request_kwargs");
  Ref created = call_kwargs(create, kwargs);
  Ref request_id = item(created, "id");
  Ref extra = dict();
  set_item(extra, "request_id", request_id);
  set_item(extra, "tool", attr(request, "tool"));
  log(c.globals(), "info", "approval request created in cloud", {}, extra);
  Ref result = call(c.global("_poll_until_resolved"), {client, request_id.get()},
                    {{"poll_interval", c.capture(kPollInterval)}, {"timeout", c.capture(kTimeout)}});
  return settle(c.globals(), result, request, denied_type);
}

Ref sync_handle(Call& c) {
  PyObject* request = c.arg(0);
  Ref denied_type = import_from("vorel.approval", "ApprovalDenied");
  Ref payload = call(c.global("build_approval_request_payload"), {request}, {{"signing_key", c.capture(kSigningKey)}});
  Ref client = call(c.global("VorelCloudClient"), {c.capture(kApiKey)}, {{"base_url", c.capture(kBaseUrl)}});
  Ref outcome;
  Ref error;
  try {
    outcome = sync_flow(c, client, payload, request, denied_type);
  } catch (PyError&) {
    error = translate(c.globals(), take_error(), request, denied_type, c.capture(kTimeout));
  }
  // finally: client.close() -- its own error replaces whatever was leaving.
  try {
    if (error) {
      Handling scope(error);
      call_method(client, "close");
    } else {
      call_method(client, "close");
    }
  } catch (PyError&) {
    error = take_error();
  }
  if (error) rethrow(error);
  return outcome;
}

using K = ParamKind;

const Param kRequestParam[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const char* const kApprovalsReturn = "Union['SignedApproval', List['SignedApproval']]";

const FuncDef kSyncHandleDef{"_handle",
                             "Create a cloud approval request for ``request`` and wait for the decision.\n\n"
                             "Returns the signed approval (or a list of them); raises the core SDK's\n"
                             "``ApprovalDenied`` when the request is denied, expires or times out.",
                             kRequestParam, sync_handle, kApprovalsReturn};

Ref cloud_approval(Call& c) {
  vorel::require_seconds(c.arg(kPollInterval), "poll_interval");
  vorel::require_seconds(c.arg(kTimeout), "timeout");
  return make_closure(c, kSyncHandleDef, "cloud_approval.<locals>._handle",
                      {c.arg(0), c.arg(1), c.arg(2), c.arg(3), c.arg(4)});
}

// ---- async_cloud_approval --------------------------------------------------------

Coro core_flow(Ref globals_holder, Ref request, Ref api_key, Ref signing_key, Ref base_url, Ref poll_interval,
               Ref timeout) {
  PyObject* g = globals_holder;
  Ref denied_type = import_from("vorel.approval", "ApprovalDenied");
  Ref payload = call(global(g, "build_approval_request_payload"), {request.get()}, {{"signing_key", signing_key.get()}});
  Ref client = call(global(g, "AsyncVorelCloudClient"), {api_key.get()}, {{"base_url", base_url.get()}});
  Ref outcome;
  Ref error;
  try {
    Ref create = attr(client, "create_request");
    Ref kwargs = call_method(payload, "to_create_request_kwargs");
    Ref creating = call_kwargs(create, kwargs);
    Ref created = co_await await(std::move(creating));
    Ref request_id = item(created, "id");
    Ref tool = attr(request, "tool");
    log(g, "info", "approval request %s created for %s", {request_id.get(), tool.get()});
    Ref polling = call(global(g, "_async_poll_until_resolved"), {client.get(), request_id.get()},
                       {{"poll_interval", poll_interval.get()}, {"timeout", timeout.get()}});
    Ref result = co_await await(std::move(polling));
    outcome = settle(g, result, request, denied_type);
  } catch (PyError&) {
    error = translate(g, take_error(), request, denied_type, timeout);
  }
  // finally: await client.close() -- its own error replaces whatever was
  // leaving, with that error as its __context__.
  Ref closing;
  try {
    if (error) {
      Handling scope(error);
      closing = call_method(client, "close");
    } else {
      closing = call_method(client, "close");
    }
  } catch (PyError&) {
    error = take_error();
  }
  if (closing) {
    try {
      co_await await_handling(std::move(closing), error);
    } catch (PyError&) {
      error = take_error();
    }
  }
  if (error) rethrow(error);
  co_return outcome;
}

enum HandleCapture : size_t { kConcurrent, kCore, kInterruptible };

Ref core(Call& c) {
  return start(c, core_flow(Ref::borrow(c.globals()), Ref::borrow(c.arg(0)), Ref::borrow(c.capture(kApiKey)),
                            Ref::borrow(c.capture(kSigningKey)), Ref::borrow(c.capture(kBaseUrl)),
                            Ref::borrow(c.capture(kPollInterval)), Ref::borrow(c.capture(kTimeout))));
}

// The flow as the worker's loop runs it: in a task of its own, recorded in
// `state` (shared with the waiting thread) with its loop, so that an
// interrupted waiter can cancel it from its own thread. A waiter interrupted
// before the task was recorded is seen here, after recording it.
Coro interruptible_flow(Ref globals_holder, Ref flow, Ref state) {
  PyObject* g = globals_holder;
  Ref loop = call_method(global(g, "asyncio"), "get_running_loop");
  set_item(state, "loop", loop);
  Ref task = call_method(loop, "create_task", {flow.get()});
  set_item(state, "task", task);
  Ref interrupted = get(state, "interrupted", Py_False);
  if (truthy(interrupted)) call_method(task, "cancel");
  // The suspended frame keeps nothing that leads back to the tasks.
  flow = Ref();
  state = Ref();
  loop = Ref();
  interrupted = Ref();
  Ref value = co_await await(std::move(task));
  co_return value;
}

Ref interruptible(Call& c) {
  return start(c, interruptible_flow(Ref::borrow(c.globals()), Ref::borrow(c.arg(0)), Ref::borrow(c.arg(1))));
}

// Ctrl-C while waiting for the worker: cancel the flow on the worker's loop
// (its `finally` still closes the client) and wait only for that, so the
// interrupt leaves at once instead of after the whole approval timeout.
// `flow.close()` happens only when the work never started.
void stop_flow(PyObject* future, PyObject* state, PyObject* flow, PyObject* guarded, PyObject* interrupt) {
  Handling scope(interrupt);
  set_item(state, "interrupted", Py_True);
  Ref task = get(state, "task");
  if (!task.is_none()) {
    Ref loop = get(state, "loop");
    Ref cancel = attr(task, "cancel");
    try {
      call_method(loop, "call_soon_threadsafe", {cancel.get()});
    } catch (PyError&) {
      // The loop is closed already: the flow has ended by itself.
      Ref e = take_error();
      if (!matches(e, PyExc_RuntimeError)) rethrow(e);
    }
  } else {
    Ref withdrawn = call_method(future, "cancel");
    if (truthy(withdrawn)) {  // never started: nothing ran, nothing to wait for
      call_method(guarded, "close");
      call_method(flow, "close");
      return;
    }
  }
  call_method(future, "exception");
}

// No event loop runs here: the flow runs under a fresh loop in a one-worker
// pool while this thread waits. Called while the probe's RuntimeError is
// being handled, as the `except` block that starts this path would be.
Ref run_in_worker(PyObject* globals, PyObject* concurrent, PyObject* core_fn, PyObject* interruptible_fn,
                  PyObject* request, PyObject* probe_error) {
  Handling scope(probe_error);
  Ref futures = attr(concurrent, "futures");
  Ref pool_type = attr(futures, "ThreadPoolExecutor");
  Ref one = integer(1);
  Ref pool_manager = call(pool_type, {}, {{"max_workers", one.get()}});
  return with_block(pool_manager, [&](PyObject* pool) {
    Ref submit = attr(pool, "submit");
    // The flow runs in a copy of the caller's context: what the core SDK keeps
    // in context variables (the warrant scope, the signing key) goes with it.
    Ref context = call_method(global(globals, "contextvars"), "copy_context");
    Ref in_context = attr(context, "run");
    Ref run = attr(global(globals, "asyncio"), "run");
    Ref flow = call(core_fn, {request});
    Ref state = dict();
    Ref guarded = call(interruptible_fn, {flow.get(), state.get()});
    Ref future = call(submit, {in_context.get(), run.get(), guarded.get()});
    try {
      Ref value = call_method(future, "result");
      return value ? value : none();
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_KeyboardInterrupt)) rethrow(e);
      stop_flow(future, state, flow, guarded, e);
      rethrow(e);
    }
  });
}

Coro async_handle_body(Ref globals_holder, Ref concurrent, Ref core_fn, Ref interruptible_fn, Ref request) {
  PyObject* g = globals_holder;
  Ref probe_error;
  try {
    call_method(global(g, "asyncio"), "get_running_loop");
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, g, "RuntimeError")) rethrow(e);
    probe_error = e;
  }
  // Only a failed probe takes the worker path: an error raised by the awaited
  // flow itself must not start the whole flow a second time.
  if (probe_error) {
    Ref value = run_in_worker(g, concurrent, core_fn, interruptible_fn, request, probe_error);
    co_return value ? value : none();
  }
  Ref flow = call(core_fn, {request.get()});
  Ref value = co_await await(std::move(flow));
  co_return value;
}

Ref async_handle(Call& c) {
  return start(c, async_handle_body(Ref::borrow(c.globals()), Ref::borrow(c.capture(kConcurrent)),
                                    Ref::borrow(c.capture(kCore)), Ref::borrow(c.capture(kInterruptible)),
                                    Ref::borrow(c.arg(0))));
}

const FuncDef kCoreDef{"_core", "Create the cloud approval request and await the decision on the running loop.",
                       kRequestParam, core, kApprovalsReturn, true};
const Param kInterruptibleParams[] = {{"flow", K::positional_or_keyword, nullptr, "Any"},
                                      {"state", K::positional_or_keyword, nullptr, "Dict[str, Any]"}};
const FuncDef kInterruptibleDef{"_interruptible",
                                "Run ``flow`` on this loop, cancellable from the thread that waits for it.",
                                kInterruptibleParams, interruptible, kApprovalsReturn, true};
const FuncDef kAsyncHandleDef{"_handle",
                              "Await a cloud approval for ``request``.\n\n"
                              "Runs on the caller's event loop; stepped where no loop runs, the flow runs to\n"
                              "completion under a fresh loop in a worker thread, in a copy of the caller's\n"
                              "context (Ctrl-C while waiting cancels it). Raises the core SDK's\n"
                              "``ApprovalDenied`` when the request is denied, expires or times out.",
                              kRequestParam, async_handle, kApprovalsReturn, true};


Ref async_cloud_approval(Call& c) {
  vorel::require_seconds(c.arg(kPollInterval), "poll_interval");
  vorel::require_seconds(c.arg(kTimeout), "timeout");
  Ref concurrent = import_binding("concurrent.futures");
  Ref core_fn = make_closure(c, kCoreDef, "async_cloud_approval.<locals>._core",
                             {c.arg(0), c.arg(1), c.arg(2), c.arg(3), c.arg(4)});
  Ref interruptible_fn = make_closure(c, kInterruptibleDef, "async_cloud_approval.<locals>._interruptible");
  return make_closure(c, kAsyncHandleDef, "async_cloud_approval.<locals>._handle",
                      {concurrent.get(), core_fn.get(), interruptible_fn.get()});
}

// ---- Temporal request identity ------------------------------------------------------

Ref temporal_idempotency_key(Call& c) {
  PyObject* request = c.arg(0);
  Ref empty = empty_text();
  Ref tool = str(attr_or(request, "tool", empty));
  Ref parts = list({tool.get(), c.arg(1), c.arg(2), c.arg(3)});
  // A gate's request hash, when given, sets the gates of one activity apart;
  // without it the key is the activity's, as it always was.
  if (truthy(c.arg(4))) check(PyList_Append(parts, c.arg(4)));
  Ref separator = text("|");
  Ref source = Ref::steal(PyUnicode_Join(separator, parts));
  Ref hashlib = import_module("hashlib");
  Ref utf8_name = text("utf-8");
  Ref encoded = call_method(source, "encode", {utf8_name.get()});
  Ref digest = call_method(hashlib, "sha256", {encoded.get()});
  Ref hex = call_method(digest, "hexdigest");
  Ref prefix = text("appr_");
  return cat({prefix.get(), hex.get()});
}

bool usable_id(PyObject* v) { return PyUnicode_Check(v) && truthy(v); }

Ref temporal_heartbeat_request_id(Call& c) {
  PyObject* details = c.arg(0);
  if (!truthy(details)) return none();
  Ref entry = (PyList_Check(details) || PyTuple_Check(details)) ? item(details, zero()) : Ref::borrow(details);
  if (PyDict_Check(entry.get())) {
    Ref v = get(entry, "approval_request_id");
    if (usable_id(v)) return v;
  }
  Ref v = attr_or(entry, "approval_request_id", Py_None);
  if (usable_id(v)) return v;
  return none();
}

// The gate record of the heartbeat details (gate -> request id), read from
// the same entry as the request id; None when the details have none.
Ref temporal_heartbeat_gates(Call& c) {
  PyObject* details = c.arg(0);
  if (!truthy(details)) return none();
  Ref entry = (PyList_Check(details) || PyTuple_Check(details)) ? item(details, zero()) : Ref::borrow(details);
  if (!PyDict_Check(entry.get())) return none();
  Ref gates = get(entry, "approval_gates");
  return PyDict_Check(gates.get()) ? gates : none();
}

// ---- TemporalCloudApprovalHandler ------------------------------------------------

Ref temporal_init(Call& c) {
  PyObject* self = c.arg(0);
  PyObject* signing_key = c.arg(2);
  vorel::require_seconds(c.arg(4), "fast_poll_seconds");
  vorel::require_count(c.arg(5), "fast_poll_attempts");
  set_attr(self, "_api_key", c.arg(1));
  set_attr(self, "_signing_key", signing_key);
  set_attr(self, "_holder", attr(signing_key, "public_key"));
  Ref public_key = attr(signing_key, "public_key");
  set_attr(self, "_holder_bytes", call_method(public_key, "to_bytes"));
  set_attr(self, "_base_url", c.arg(3));
  set_attr(self, "_fast_poll_seconds", c.arg(4));
  // max(fast_poll_attempts, 1): at least one poll, the value kept as given.
  Ref one = integer(1);
  PyObject* attempts = c.arg(5);
  set_attr(self, "_fast_poll_attempts", compare(one, attempts, Py_GT) ? one.get() : attempts);
  return none();
}

Ref application_error(PyObject* type, PyObject* message, const char* tag, bool non_retryable) {
  Ref tag_text = text(tag);
  return call(type, {message}, {{"type", tag_text.get()}, {"non_retryable", boolean(non_retryable).get()}});
}

Ref message_of(std::initializer_list<PyObject*> parts) {
  // Each part is either literal text (a str) or a value shown as by an f-string.
  Ref shown = list();
  for (PyObject* p : parts) {
    Ref s = PyUnicode_CheckExact(p) ? Ref::borrow(p) : format(p);
    check(PyList_Append(shown, s));
  }
  Ref sep = empty_text();
  return Ref::steal(PyUnicode_Join(sep, shown));
}

Ref status_text(PyObject* status_data) {
  Ref empty = empty_text();
  Ref raw = get(status_data, "status", empty);
  Ref shown = str(raw);
  return call_method(shown, "lower");
}

// Progress reports to the workflow engine never fail the handler, but a
// cancellation that Temporal delivers through them is the activity's to see:
// `except CancelledError: raise` ahead of `except Exception: pass`.
void best_effort_failed(Ref error, PyObject* cancelled_type) {
  if (matches(error, cancelled_type) || !matches(error, PyExc_Exception)) rethrow(error);
}

// The details of one heartbeat: the request and its status, and, when the
// gate is known, which request each gate of this activity run has (the
// gate's own entry included), so that a retry of a later gate does not take
// an earlier gate's request for its own.
Ref heartbeat_details(PyObject* request_id, PyObject* status, PyObject* gate, PyObject* gates) {
  Ref details = dict();
  set_item(details, "approval_request_id", request_id);
  set_item(details, "approval_status", status);
  if (truthy(gate)) {
    Ref record = call(reinterpret_cast<PyObject*>(&PyDict_Type), {gates});
    check(PyDict_SetItem(record, gate, request_id));
    set_item(details, "approval_request_hash", gate);
    set_item(details, "approval_gates", record);
  }
  return details;
}

void heartbeat(PyObject* activity, PyObject* cancelled_type, PyObject* details) {
  try {
    call_method(activity, "heartbeat", {details});
  } catch (PyError&) {
    best_effort_failed(take_error(), cancelled_type);
  }
}

struct TemporalAttempt {
  const Call& c;
  PyObject* self;
  PyObject* request;
  PyObject* activity;
  PyObject* error_type;      // temporalio.exceptions.ApplicationError
  PyObject* cancelled_type;  // temporalio.exceptions.CancelledError
  Ref gate;                  // the gate's request hash as hex text, or ""
  Ref gate_key;              // the gate's own idempotency key, or empty
  Ref gates;                 // gate -> request id, as the last heartbeat left it
  Ref request_id;

  void beat(PyObject* status) {
    Ref details = heartbeat_details(request_id, status, gate, gates);
    heartbeat(activity, cancelled_type, details);
  }

  // A decided status: the signed approval, or the ApplicationError raised for
  // a refusal. An empty Ref means the request is still open.
  Ref decide(PyObject* data, PyObject* status) {
    if (equals_text(status, "approved")) {
      Ref approval = call_method(self, "_extract_approval", {data});
      if (!approval.is_none()) return approval;
      Ref lead = text("approved but missing SignedApproval payload for ");
      raise(application_error(error_type, message_of({lead.get(), request_id.get()}), "ApprovalMalformedResponse", true));
    }
    if (equals_text(status, "denied") || equals_text(status, "rejected") || equals_text(status, "expired")) {
      Ref reason = get(data, "denied_reason");
      if (!truthy(reason)) reason = get(data, "reason");
      if (!truthy(reason)) reason = Ref::borrow(status);
      Ref a = text("approval "), b = text(" for "), d = text(": ");
      Ref message = message_of({a.get(), status, b.get(), request_id.get(), d.get(), reason.get()});
      raise(application_error(error_type, message, "ApprovalDenied", true));
    }
    return Ref();
  }

  // `except VorelCloudError as exc: raise ApplicationError(...) from exc` for a
  // failed cloud call; other errors pass unchanged.
  [[noreturn]] void transport_failure(Ref error, const char* lead, bool with_id) {
    Handling scope(error);
    if (!matches(error, c.global("VorelCloudError"))) rethrow(error);
    Ref head = text(lead), sep = text(": ");
    Ref message = with_id ? message_of({head.get(), request_id.get(), sep.get(), error.get()})
                          : message_of({head.get(), error.get()});
    raise_from(application_error(error_type, message, "ApprovalTransportError", false), error);
  }

  Ref fetch(PyObject* client) {
    try {
      return call_method(client, "get_request", {request_id.get()});
    } catch (PyError&) {
      transport_failure(take_error(), "approval poll failed for ", true);
    }
  }

  // Steps inside the client's context: resume or create, first look, short polls.
  Ref run(PyObject* client, PyObject* prior, PyObject* payload) {
    request_id = truthy(prior) ? Ref::borrow(prior) : empty_text();
    Ref status_data = none();

    if (truthy(request_id)) {
      try {
        status_data = call_method(client, "get_request", {request_id.get()});
        Ref tool = attr(request, "tool");
        log(c.globals(), "info", "resuming approval request %s for %s from heartbeat", {request_id.get(), tool.get()});
      } catch (PyError&) {
        Ref e = take_error();
        bool missing;
        {
          Handling scope(e);
          if (!matches(e, c.global("VorelCloudError"))) rethrow(e);
          // `exc.status_code == 404 or "404" in str(exc)`: the text is only
          // looked at when the code does not tell.
          Ref code = attr(e, "status_code");
          Ref not_found = integer(404);
          missing = compare(code, not_found, Py_EQ);
          if (!missing) {
            Ref shown = str(e);
            Ref marker = text("404");
            missing = check(PySequence_Contains(shown, marker)) == 1;
          }
        }
        if (!missing) transport_failure(e, "approval poll failed for ", true);
        // The cloud no longer has it: create it again under the same key.
        request_id = empty_text();
        status_data = none();
      }
    }

    if (!truthy(request_id)) {
      Ref created;
      try {
        Ref create = attr(client, "create_request");
        Ref kwargs = call_method(payload, "to_create_request_kwargs");
        // Every gate of the activity has its own key: two gates of one tool
        // would otherwise meet under one key with different bodies.
        if (gate_key) set_item(kwargs, "idempotency_key", gate_key);
        created = call_kwargs(create, kwargs);
      } catch (PyError&) {
        transport_failure(take_error(), "approval request submission failed: ", false);
      }
      Ref id = get(created, "id");
      if (!truthy(id)) id = get(created, "request_id");
      if (!truthy(id)) id = empty_text();
      request_id = str(id);
      if (!truthy(request_id)) {
        Ref message = text("approval response missing id field");
        raise(application_error(error_type, message, "ApprovalMalformedResponse", true));
      }
      status_data = created;
      Ref tool = attr(request, "tool");
      log(c.globals(), "info", "approval request %s created for %s", {request_id.get(), tool.get()});
    }

    if (!status_data.is_none()) {
      Ref status = status_text(status_data);
      beat(status);
      if (Ref decided = decide(status_data, status)) return decided;
    }

    Ref attempts = attr(self, "_fast_poll_attempts");
    Ref rounds = call(c.global("range"), {attempts.get()});
    Ref it = iterate(rounds);
    while (Ref i = next_item(it)) {
      Ref pause = attr(self, "_fast_poll_seconds");
      call_method(c.global("time"), "sleep", {pause.get()});
      status_data = fetch(client);
      Ref status = status_text(status_data);
      Ref one = integer(1);
      Ref number = add(i, one);
      Ref total = attr(self, "_fast_poll_attempts");
      log(c.globals(), "info", "approval poll %d/%d for %s: %s", {number.get(), total.get(), request_id.get(), status.get()});
      beat(status);
      if (Ref decided = decide(status_data, status)) return decided;
    }
    return Ref();
  }
};

// The gate's identity: the request hash of its payload, as hex text; empty
// when the payload carries none.
Ref gate_of(PyObject* payload) {
  Ref hash = attr_or(payload, "request_hash", Py_None);
  if (is_bytes_like(hash)) return call_method(hash, "hex");
  if (is_text(hash)) return hash;
  return empty_text();
}

Ref temporal_call(Call& c) {
  PyObject* self = c.arg(0);
  PyObject* request = c.arg(1);
  Ref activity = import_from("temporalio", "activity");
  Ref error_type = import_from("temporalio.exceptions", "ApplicationError");
  Ref cancelled_type = import_from("temporalio.exceptions", "CancelledError");

  Ref empty = empty_text();
  Ref activity_id = empty, workflow_id = empty, workflow_run_id = empty;
  Ref prior = none();
  Ref details = none();
  try {
    Ref info = call_method(activity, "info");
    Ref v = attr_or(info, "activity_id", empty);
    activity_id = truthy(v) ? v : empty;
    v = attr_or(info, "workflow_id", empty);
    workflow_id = truthy(v) ? v : empty;
    v = attr_or(info, "workflow_run_id", empty);
    workflow_run_id = truthy(v) ? v : empty;
    details = attr_or(info, "heartbeat_details", Py_None);
    prior = call(c.global("_extract_temporal_heartbeat_request_id"), {details.get()});
  } catch (PyError&) {
    // Outside an activity (or with an unreadable info) there is no identity
    // to resume from; the call goes on with what was read.
    best_effort_failed(take_error(), cancelled_type);
  }

  Ref key = call(c.global("_build_temporal_approval_idempotency_key"), {request},
                 {{"workflow_id", workflow_id.get()},
                  {"workflow_run_id", workflow_run_id.get()},
                  {"activity_id", activity_id.get()}});
  Ref signing_key = attr(self, "_signing_key");
  Ref payload = call(c.global("build_approval_request_payload"), {request},
                     {{"signing_key", signing_key.get()}, {"idempotency_key", key.get()}});

  // One activity may pass several gates. Details that record gates resume
  // only this gate's own request; details without a record (an older
  // handler wrote them) name one request, resumed as before.
  Ref gate = gate_of(payload);
  Ref gate_key;
  Ref gates = dict();
  if (truthy(gate)) {
    gate_key = call(c.global("_build_temporal_approval_idempotency_key"), {request},
                    {{"workflow_id", workflow_id.get()},
                     {"workflow_run_id", workflow_run_id.get()},
                     {"activity_id", activity_id.get()},
                     {"request_hash", gate.get()}});
    Ref recorded = none();
    try {
      recorded = call(c.global("_extract_temporal_heartbeat_gates"), {details.get()});
    } catch (PyError&) {
      best_effort_failed(take_error(), cancelled_type);
    }
    if (!recorded.is_none()) {
      gates = recorded;
      Ref own = call_method(gates, "get", {gate.get()});
      prior = usable_id(own) ? own : none();
    }
  }

  Ref api_key = attr(self, "_api_key");
  Ref base_url = attr(self, "_base_url");
  Ref per_call_timeout = real(10.0);
  Ref client_manager = call(c.global("VorelCloudClient"), {api_key.get()},
                            {{"base_url", base_url.get()}, {"timeout", per_call_timeout.get()}});

  TemporalAttempt attempt{c, self, request, activity, error_type, cancelled_type, gate, gate_key, gates, empty_text()};
  Ref approval = with_block(client_manager, [&](PyObject* client) { return attempt.run(client, prior, payload); });
  if (approval) return approval;

  Ref lead = text("approval pending for "), tail = text("; will retry via Temporal");
  Ref message = message_of({lead.get(), attempt.request_id.get(), tail.get()});
  raise(application_error(error_type, message, "ApprovalPendingRetry", false));
}

Ref temporal_extract_approval(Call& c) {
  PyObject* data = c.arg(0);
  Ref signed_type = import_from("vorel_core", "SignedApproval");
  Ref no_responses = list();
  Ref responses = get(data, "responses", no_responses);
  if (!truthy(responses)) return none();
  Ref base64 = import_module("base64");
  Ref empty = empty_text();
  Ref it = iterate(responses);
  while (Ref response = next_item(it)) {
    Ref encoded = get(response, "signed_approval", empty);
    if (!truthy(encoded)) continue;
    try {
      Ref raw = call_method(base64, "b64decode", {encoded.get()});
      return call_method(signed_type, "from_bytes", {raw.get()});
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_Exception)) rethrow(e);
      Handling scope(e);
      log(c.globals(), "warning", "failed to decode signed_approval as base64: %s", {e.get()});
    }
    try {
      Ref raw = call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex", {encoded.get()});
      return call_method(signed_type, "from_bytes", {raw.get()});
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_Exception)) rethrow(e);
      Handling scope(e);
      log(c.globals(), "warning", "failed to decode signed_approval as hex: %s", {e.get()});
    }
  }
  return none();
}

Ref temporal_build_attestation(Call& c) {
  PyObject* self = c.arg(0);
  PyObject* request = c.arg(1);
  Ref build = import_from("vorel_core", "py_build_approval_context_attestation");
  Ref key = attr(self, "_signing_key");
  Ref warrant_id = attr(request, "warrant_id");
  Ref tool = attr(request, "tool");
  Ref arguments = attr(request, "arguments");
  Ref holder = attr(self, "_holder");
  Ref built = call(build, {key.get(), warrant_id.get(), tool.get(), arguments.get(), holder.get()});
  std::vector<Ref> pair = unpack(built, 2);
  Ref attestation = call(reinterpret_cast<PyObject*>(&PyDict_Type), {pair[1].get()});
  return tuple({pair[0].get(), attestation.get()});
}

Ref temporal_cloud_approval(Call& c) {
  return call(c.global("TemporalCloudApprovalHandler"), {c.arg(0), c.arg(1)},
              {{"base_url", c.arg(2)}, {"fast_poll_seconds", c.arg(3)}, {"fast_poll_attempts", c.arg(4)}});
}

// ---- definitions ------------------------------------------------------------------

const Param kPollParams[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                             {"request_id", K::positional_or_keyword, nullptr, "str"},
                             {"poll_interval", K::keyword_only, nullptr, "float"},
                             {"timeout", K::keyword_only, nullptr, "float"}};
const Param kAsyncPollParams[] = {{"client", K::positional_or_keyword, nullptr, "AsyncVorelCloudClient"},
                                  {"request_id", K::positional_or_keyword, nullptr, "str"},
                                  {"poll_interval", K::keyword_only, nullptr, "float"},
                                  {"timeout", K::keyword_only, nullptr, "float"}};
const Param kResultParam[] = {{"result", K::positional_or_keyword, nullptr, "Dict[str, Any]"}};
const Param kFactoryParams[] = {{"api_key", K::positional_or_keyword, nullptr, "str"},
                                {"signing_key", K::keyword_only, "None", "Any"},
                                {"base_url", K::keyword_only, kDefaultBaseUrl, "str"},
                                {"poll_interval", K::keyword_only, "2.0", "float"},
                                {"timeout", K::keyword_only, "300.0", "float"}};
const Param kKeyParams[] = {{"request", K::positional_or_keyword, nullptr, "Any"},
                            {"workflow_id", K::keyword_only, "''", "str"},
                            {"workflow_run_id", K::keyword_only, "''", "str"},
                            {"activity_id", K::keyword_only, "''", "str"},
                            {"request_hash", K::keyword_only, "''", "str"}};
const Param kDetailsParam[] = {{"details", K::positional_or_keyword, nullptr, "Any"}};
const Param kTemporalFactoryParams[] = {{"api_key", K::positional_or_keyword, nullptr, "str"},
                                        {"signing_key", K::positional_or_keyword, nullptr, "Any"},
                                        {"base_url", K::keyword_only, kDefaultBaseUrl, "str"},
                                        {"fast_poll_seconds", K::keyword_only, "2.0", "float"},
                                        {"fast_poll_attempts", K::keyword_only, "3", "int"}};
const Param kInitParams[] = {{"self"},
                             {"api_key", K::positional_or_keyword, nullptr, "str"},
                             {"signing_key", K::positional_or_keyword, nullptr, "Any"},
                             {"base_url", K::keyword_only, kDefaultBaseUrl, "str"},
                             {"fast_poll_seconds", K::keyword_only, "2.0", "float"},
                             {"fast_poll_attempts", K::keyword_only, "3", "int"}};
const Param kCallParams[] = {{"self"}, {"request", K::positional_or_keyword, nullptr, "Any"}};
const Param kDataParam[] = {{"data", K::positional_or_keyword, nullptr, "Dict[str, Any]"}};

const FuncDef kPollDef{"_poll_until_resolved",
                       "Poll the cloud API until the request leaves ``pending`` status.\n\n"
                       "Polls at once, then every ``poll_interval`` seconds (the last sleep cut to the time\n"
                       "left) and raises ApprovalTimeoutError once ``timeout`` seconds have passed.",
                       kPollParams, poll_until_resolved, "Dict[str, Any]"};
const FuncDef kAsyncPollDef{"_async_poll_until_resolved",
                            "Poll the cloud API until the request leaves ``pending`` status.\n\n"
                            "Coroutine twin of ``_poll_until_resolved``: awaits ``client.get_request`` and\n"
                            "``asyncio.sleep``; the deadline uses ``time.monotonic()``.",
                            kAsyncPollParams, async_poll_until_resolved, "Dict[str, Any]", true};
const FuncDef kExtractDef{"_extract_signed_approvals",
                          "Extract SignedApproval objects from the cloud API response.\n\n"
                          "Each ``signed_approval`` may be hex or standard base64 text; both are handed to\n"
                          "the core SDK as base64. One approval comes back as itself, several as a list.",
                          kResultParam, extract_signed_approvals, kApprovalsReturn};
const FuncDef kCloudApprovalDef{
    "cloud_approval",
    "Create a cloud-hosted approval handler for the core SDK's approval-handler protocol.\n\n"
    "The returned handler can be used as the ``approval_handler`` of the core SDK's ``guard``\n"
    "decorator. Each call attests the pending request, creates an approval request in Vorel\n"
    "Cloud, waits on the calling thread until a human approves, denies or lets it expire, and\n"
    "returns the signed approval(s) or raises ``ApprovalDenied``::\n\n"
    "    handler = cloud_approval(\"vc_live_...\", signing_key=key, timeout=120)\n\n"
    "    @guard(tool=\"send_email\", approval_handler=handler)\n"
    "    def send_email(to, body): ...\n\n"
    "Args:\n"
    "    api_key: Vorel Cloud API key (or OAuth bearer credential).\n"
    "    signing_key: holder signing key for the attestation; None uses the active warrant's.\n"
    "    base_url: Vorel Cloud API base URL.\n"
    "    poll_interval: seconds between status polls.\n"
    "    timeout: seconds to wait for a decision before refusing.",
    kFactoryParams, cloud_approval, "Callable[[Any], Any]"};
const FuncDef kAsyncCloudApprovalDef{
    "async_cloud_approval",
    "Create an asynchronous cloud approval handler (a coroutine function).\n\n"
    "Awaited on a running event loop, the approval is created and polled on that loop; stepped\n"
    "where no loop runs, the flow runs under a fresh loop in a one-worker thread pool::\n\n"
    "    handler = async_cloud_approval(\"vc_live_...\", signing_key=key)\n"
    "    approval = await handler(request)\n\n"
    "Parameters and outcomes are those of :func:`cloud_approval`.",
    kFactoryParams, async_cloud_approval, "Callable[[Any], Awaitable[Any]]"};
const FuncDef kKeyDef{"_build_temporal_approval_idempotency_key",
                      "Stable idempotency key for one activity of one workflow run.\n\n"
                      "Every retry of the activity gets the same key, so the cloud returns the approval\n"
                      "request created by the first attempt instead of a new one. ``request_hash`` (hex\n"
                      "text of a gate's request hash) gives each gate of one activity a key of its own.",
                      kKeyParams, temporal_idempotency_key, "str"};
const FuncDef kGatesDef{"_extract_temporal_heartbeat_gates",
                        "Return the gate record (request hash -> request id) of the heartbeat details, or None.",
                        kDetailsParam, temporal_heartbeat_gates, "Optional[Dict[str, str]]"};
const FuncDef kDetailsDef{"_extract_temporal_heartbeat_request_id",
                          "Return the approval request id that an earlier attempt left in its heartbeat details.",
                          kDetailsParam, temporal_heartbeat_request_id, "Optional[str]"};
const FuncDef kTemporalFactoryDef{
    "temporal_cloud_approval",
    "Create an approval handler for approval gates inside Temporal activities.\n\n"
    "Pass it as the ``approval_handler`` of the core SDK's Temporal plugin configuration,\n"
    "with the same worker signing key. It never holds a worker thread for the human\n"
    "decision: it polls briefly, then raises a retriable ``ApplicationError`` of type\n"
    "\"ApprovalPendingRetry\", and the retried activity resumes the same request::\n\n"
    "    handler = temporal_cloud_approval(\"vc_live_...\", worker_key)\n\n"
    "``signing_key`` is the worker's signing-core key; it attests every approval request.",
    kTemporalFactoryParams, temporal_cloud_approval, "TemporalCloudApprovalHandler"};
const FuncDef kInitDef{"__init__", nullptr, kInitParams, temporal_init, "None"};
const FuncDef kCallDef{"__call__",
                       "Run one approval attempt: create or resume the request, poll briefly, then decide.",
                       kCallParams, temporal_call, "'SignedApproval'"};
const FuncDef kExtractApprovalDef{"_extract_approval",
                                  "Decode the first usable signed approval of a status mapping, or return None.",
                                  kDataParam, temporal_extract_approval, "Optional['SignedApproval']"};
const FuncDef kBuildAttestationDef{"_build_attestation",
                                   "Have the signing core attest ``request`` with this handler's key.",
                                   kCallParams, temporal_build_attestation, "Tuple[str, Dict[str, Any]]"};

void define_temporal_handler(Module& m) {
  constexpr const char* name = "TemporalCloudApprovalHandler";
  Ref ns = dict();
  Ref doc = text(
      "Synchronous approval handler for approval gates that fire inside Temporal activities.\n\n"
      "Each call creates an approval request in Vorel Cloud (or resumes the one an earlier\n"
      "attempt created for the same gate, found through the heartbeat details and a\n"
      "per-run, per-gate idempotency key),\n"
      "polls it ``fast_poll_attempts`` times ``fast_poll_seconds`` apart while heartbeating, and\n"
      "then either returns the signed approval or raises Temporal's ``ApplicationError``:\n"
      "\"ApprovalDenied\" and \"ApprovalMalformedResponse\" are final, \"ApprovalTransportError\"\n"
      "and \"ApprovalPendingRetry\" are retried by Temporal.");
  set_item(ns, "__doc__", doc);
  set_item(ns, "__init__", m.method(name, kInitDef));
  set_item(ns, "__call__", m.method(name, kCallDef));
  Ref extract = m.method(name, kExtractApprovalDef);
  set_item(ns, "_extract_approval", call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), {extract.get()}));
  set_item(ns, "_build_attestation", m.method(name, kBuildAttestationDef));
  Ref bases = tuple({});
  m.set(name, m.make_class(name, bases, ns));
}

void body(Module& m) {
  m.import("logging");
  m.import("time");
  m.import("asyncio");
  m.import("contextvars");
  m.from_import("typing", {"Any", "Dict", "List", "Optional", "Union"});
  m.from_relative("client", {"VorelCloudClient", "AsyncVorelCloudClient"});
  m.from_relative("exceptions", {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "VorelCloudError"});
  m.from_relative("parvex", {"build_approval_request_payload"});
  m.logger("vorel_cloud.approval");


  m.def(kPollDef);
  m.def(kAsyncPollDef);
  m.def(kExtractDef);
  m.def(kCloudApprovalDef);
  m.def(kAsyncCloudApprovalDef);
  m.def(kKeyDef);
  m.def(kDetailsDef);
  m.def(kGatesDef);
  define_temporal_handler(m);
  m.def(kTemporalFactoryDef);
}

}  // namespace

VOREL_MODULE(approval, "Cloud approval handlers for Vorel: blocking, asyncio and Temporal.", body)
