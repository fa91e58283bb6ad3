// vorel_cloud.approval: cloud approval handlers (blocking, asyncio, Temporal)
// and the polling and decoding they share.
//
// Everything a caller may patch is looked up when it is used: the client
// classes, the payload builder, `time`, `asyncio`, `logger`, the exceptions and
// the sibling helpers are module globals; the core SDK, the signing core, the
// Temporal SDK and the few standard modules named in the functions are
// imported at each call, so the module loads without them.
//
// Two functions do their standard-library work natively while the library
// functions they would call are the very objects this module found at load
// (`base64.b64encode`/`b64decode` and `re.compile` for the decoder,
// `hashlib.sha256` for the Temporal key): the same results without the
// temporary objects. A replaced function is called exactly as before.
#include <cstdint>
#include <cstring>

#include "modules/common.hpp"
#include "runtime/vorel.hpp"

using namespace vc;

namespace {

Ref zero() { return integer(0); }

// Next item of a Python iterator, or an empty Ref when it is exhausted.
Ref next_item(PyObject* it) {
  Ref v = Ref::steal_or_null(PyIter_Next(it));
  if (!v && PyErr_Occurred()) throw_pending();
  return v;
}

Ref iterate(PyObject* o) { return Ref::steal(PyObject_GetIter(o)); }

// Parameters of the long-polling handlers' factories, and the captures of the
// handlers they make (the same values, in the same order).
enum class FactoryP : size_t { api_key, signing_key, base_url, poll_interval, timeout };
enum class Cap : size_t { api_key, signing_key, base_url, poll_interval, timeout };
enum class RequestP : size_t { request };

// ---- polling (shared by the long-polling handlers) ----------------------------

enum class PollP : size_t { client, request_id, poll_interval, timeout };

bool is_pending(PyObject* result) {
  Ref status = get(result, "status"_n, ""_n);
  return equals_text(status, "pending");
}

// After a "pending" answer: the time to sleep (logged), or
// ApprovalTimeoutError once the deadline has passed.
template <class Scope>
Ref next_sleep(const Scope& s, PyObject* deadline) {
  PyObject* request_id = s.arg(PollP::request_id);
  PyObject* poll_interval = s.arg(PollP::poll_interval);
  PyObject* timeout = s.arg(PollP::timeout);
  Ref now = call_method(s.global("time"_n), "monotonic"_n);
  Ref remaining = subtract(deadline, now);
  if (compare(remaining, zero(), Py_LE)) raise(call(s.global("ApprovalTimeoutError"_n), request_id, timeout));
  Ref sleep_time = compare(remaining, poll_interval, Py_LT) ? remaining : Ref::borrow(poll_interval);
  Ref extra = dict();
  set_item(extra, "request_id"_n, request_id);
  set_item(extra, "sleep"_n, sleep_time);
  log(s.globals(), "debug", "approval still pending, polling again", {}, extra);
  return sleep_time;
}

template <class Scope>
Ref deadline_of(const Scope& s) {
  Ref now = call_method(s.global("time"_n), "monotonic"_n);
  return add(now, s.arg(PollP::timeout));
}

Ref poll_until_resolved(Call& c) {
  Ref deadline = deadline_of(c);
  while (true) {
    Ref result = call_method(c.arg(PollP::client), "get_request"_n, c.arg(PollP::request_id));
    if (!is_pending(result)) return result;
    Ref sleep_time = next_sleep(c, deadline);
    call_method(c.global("time"_n), "sleep"_n, sleep_time);
  }
}

Coro async_poll(Frame f) {
  Ref deadline = deadline_of(f);
  while (true) {
    Ref result;
    {
      Ref pending = call_method(f.arg(PollP::client), "get_request"_n, f.arg(PollP::request_id));
      result = co_await await(std::move(pending));
    }
    if (!is_pending(result)) co_return result;
    result = Ref();
    Ref sleeping;
    {
      Ref sleep_time = next_sleep(f, deadline);
      sleeping = call_method(f.global("asyncio"_n), "sleep"_n, sleep_time);
    }
    co_await await(std::move(sleeping));
  }
}

Ref async_poll_until_resolved(Call& c) { return start(c, async_poll(Frame(c))); }

// ---- decoding signed approvals --------------------------------------------------

enum class ResultP : size_t { result };
// The library functions found at load, for the identity guards.
enum class DecodeCap : size_t { b64encode, b64decode, re_compile };

constexpr const char* kNoResponses = "approved request has no approval responses";

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Byte tables for the ASCII scans: a hex digit's value (-1 for any other
// byte), and membership in the standard base64 alphabet.
struct ByteTables {
  signed char hex[256];
  bool base64[256];
  constexpr ByteTables() : hex(), base64() {
    for (int i = 0; i < 256; ++i) hex[i] = -1;
    for (int i = 0; i < 10; ++i) hex['0' + i] = (signed char)i;
    for (int i = 0; i < 6; ++i) hex['a' + i] = hex['A' + i] = (signed char)(10 + i);
    for (const char* p = kBase64Alphabet; *p != '\0'; ++p) base64[(unsigned char)*p] = true;
  }
};
constexpr ByteTables kBytes;

// What `re.match("^[0-9a-fA-F]+$", s)` says for a str: `$` also matches just
// before one final newline. A text with any non-ASCII character is no match.
enum class HexShape { none, hex, hex_then_newline };

HexShape hex_shape(PyObject* s) {
  if (!PyUnicode_IS_ASCII(s)) return HexShape::none;
  const Py_UCS1* p = PyUnicode_1BYTE_DATA(s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const bool newline = n >= 2 && p[n - 1] == '\n';
  const Py_ssize_t end = newline ? n - 1 : n;
  if (end == 0) return HexShape::none;
  for (Py_ssize_t i = 0; i < end; ++i)
    if (kBytes.hex[p[i]] < 0) return HexShape::none;
  return newline ? HexShape::hex_then_newline : HexShape::hex;
}

// base64.b64encode(bytes.fromhex(s)).decode("ascii") for a str of even
// length made of hex digits only; an empty Ref for any other str.
Ref hex_to_base64(PyObject* s) {
  if (!PyUnicode_IS_ASCII(s) || PyUnicode_GET_LENGTH(s) % 2 != 0) return Ref();
  const Py_UCS1* hex = PyUnicode_1BYTE_DATA(s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s) / 2;
  Ref out = Ref::steal(PyUnicode_New(4 * ((n + 2) / 3), 127));
  Py_UCS1* o = PyUnicode_1BYTE_DATA(out.get());
  int bad = 0;  // negative once any digit was not hex
  auto byte_at = [hex, &bad](Py_ssize_t i) {
    const int hi = kBytes.hex[hex[2 * i]], lo = kBytes.hex[hex[2 * i + 1]];
    bad |= hi | lo;
    return (unsigned)((hi << 4 | lo) & 0xff);
  };
  Py_ssize_t i = 0;
  for (; i + 3 <= n && bad >= 0; i += 3) {
    const unsigned v = byte_at(i) << 16 | byte_at(i + 1) << 8 | byte_at(i + 2);
    *o++ = kBase64Alphabet[v >> 18 & 63];
    *o++ = kBase64Alphabet[v >> 12 & 63];
    *o++ = kBase64Alphabet[v >> 6 & 63];
    *o++ = kBase64Alphabet[v & 63];
  }
  if (i < n && bad >= 0) {
    const bool two = i + 1 < n;
    const unsigned v = byte_at(i) << 16 | (two ? byte_at(i + 1) << 8 : 0u);
    *o++ = kBase64Alphabet[v >> 18 & 63];
    *o++ = kBase64Alphabet[v >> 12 & 63];
    *o++ = two ? kBase64Alphabet[v >> 6 & 63] : '=';
    *o++ = '=';
  }
  return bad < 0 ? Ref() : out;
}

// Standard base64 in canonical form (groups of four, at most two '=' at the
// end): every such text passes `b64decode(s, validate=True)`. Anything else
// is left to the library, which decides (and words the error).
bool canonical_base64(PyObject* s) {
  if (!PyUnicode_IS_ASCII(s)) return false;
  const Py_UCS1* p = PyUnicode_1BYTE_DATA(s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (n == 0 || n % 4 != 0) return false;
  Py_ssize_t end = n;
  if (p[end - 1] == '=') --end;
  if (p[end - 1] == '=') --end;
  for (Py_ssize_t i = 0; i < end; ++i)
    if (!kBytes.base64[p[i]]) return false;
  return true;
}

// One `signed_approval` text as standard base64, the library's way: hex (the
// pattern matched and the whole text has even length) is re-encoded,
// anything else must already be strict base64 and is passed on unchanged.
Ref normalise_by_library(const Call& c, PyObject* raw, PyObject* base64, bool matched) {
  if (matched && length(raw) % 2 == 0) {
    try {
      Ref raw_bytes = call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex"_n, raw);
      Ref encoded = call_method(base64, "b64encode"_n, raw_bytes);
      return call_method(encoded, "decode"_n, "ascii"_n);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_ValueError) && !matches(e, PyExc_TypeError)) rethrow(std::move(e));
    }
  }
  try {
    call_method(base64, "b64decode"_n, raw, "validate"_kw = Py_True);
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(std::move(e));
    raise_in_except(vorel::cloud_error(c, fmt("malformed signed_approval in cloud response: not valid hex or base64")),
                    e);
  }
  return Ref::borrow(raw);
}

Ref extract_signed_approvals(Call& c) {
  // result.get("responses", []): a mapping's own `get` receives the fresh
  // list; for a plain dict a missing entry ends here either way.
  PyObject* result = c.arg(ResultP::result);
  Ref responses = PyDict_CheckExact(result) ? get(result, "responses"_n, Py_None) : get(result, "responses"_n, list());
  if (!truthy(responses)) raise(vorel::cloud_error(c, fmt(kNoResponses)));

  Ref base64 = import_module("base64"_n);
  Ref response_type = import_from("vorel.cp_approval"_n, "ControlPlaneApprovalResponseV1"_n);
  Ref from_response = import_from("vorel.cp_approval"_n, "signed_approvals_from_response"_n);
  Ref re = import_module("re"_n);
  Ref compile = attr(re, "compile"_n);
  // While re.compile is the original, the pattern is matched natively (and
  // compiled only for a text that is not an exact str).
  const bool native_match = compile.is(c.capture(DecodeCap::re_compile));
  Ref hex_re;
  auto pattern = [&]() -> PyObject* {
    if (!hex_re) hex_re = call(compile, "^[0-9a-fA-F]+$"_n);
    return hex_re;
  };
  if (!native_match) pattern();
  const bool native_encode = lookup(base64, "b64encode"_n).is(c.capture(DecodeCap::b64encode));
  const bool native_decode = lookup(base64, "b64decode"_n).is(c.capture(DecodeCap::b64decode));

  Ref signed_b64 = list();
  Ref it = iterate(responses);
  while (Ref r = next_item(it)) {
    Ref raw = get(r, "signed_approval"_n);
    if (!truthy(raw)) continue;
    Ref normalised;
    if (native_match && PyUnicode_CheckExact(raw.get())) {
      // Hex only counts at an even length, so an odd one needs no match.
      const bool even = PyUnicode_GET_LENGTH(raw.get()) % 2 == 0;
      if (even && native_encode) normalised = hex_to_base64(raw);
      if (!normalised) {
        const bool matched = even && hex_shape(raw) != HexShape::none;
        if (!matched && native_decode && canonical_base64(raw)) normalised = raw;
        else normalised = normalise_by_library(c, raw, base64, matched);
      }
    } else {
      Ref match = call_method(pattern(), "match"_n, raw);
      normalised = normalise_by_library(c, raw, base64, truthy(match));
    }
    check(PyList_Append(signed_b64, normalised));
  }

  Ref texts = PyList_GET_SIZE(signed_b64.get()) > 0 ? signed_b64 : none();
  Ref response = call(response_type, "status"_kw = "approved"_n, "signed_approvals_b64"_kw = texts);
  Ref approvals = call(from_response, response);
  if (!truthy(approvals)) raise(vorel::cloud_error(c, fmt(kNoResponses)));
  if (length(approvals) == 1) return item(approvals, zero());
  return approvals;
}

// ---- outcome mapping of the long-polling handlers --------------------------------

Ref timeout_reason(PyObject* timeout) { return fmt("timed out after {}s waiting for cloud approval", timeout); }

// The final status of an approval result: the decoded approvals, or the
// ApprovalDenied raised for every other status.
template <class Scope>
Ref settle(const Scope& s, PyObject* result, PyObject* request, PyObject* denied_type) {
  Ref status = item(result, "status"_n);
  if (equals_text(status, "approved")) return call(s.global("_extract_signed_approvals"_n), result);
  if (equals_text(status, "denied")) {
    Ref reason = get(result, "denied_reason"_n);
    if (!truthy(reason)) reason = Ref::borrow("denied in Vorel Cloud"_n);
    raise(vorel::denial(denied_type, request, reason));
  }
  if (equals_text(status, "expired")) raise(vorel::denial(denied_type, request, "approval request expired"_n));
  raise(vorel::denial(denied_type, request, fmt("unexpected status: {}", status)));
}

// ---- cloud_approval ---------------------------------------------------------------

Ref sync_flow(const Call& c, PyObject* client, PyObject* payload, PyObject* request, PyObject* denied_type) {
  Ref create = attr(client, "create_request"_n);
  Ref kwargs = call_method(payload, "to_create_request_kwargs"_n);
  Ref created = call_kwargs(create, kwargs);
  Ref request_id = item(created, "id"_n);
  Ref extra = dict();
  set_item(extra, "request_id"_n, request_id);
  set_item(extra, "tool"_n, attr(request, "tool"_n));
  log(c.globals(), "info", "approval request created in cloud", {}, extra);
  Ref result = call(c.global("_poll_until_resolved"_n), client, request_id,
                    "poll_interval"_kw = c.capture(Cap::poll_interval), "timeout"_kw = c.capture(Cap::timeout));
  return settle(c, result, request, denied_type);
}

Ref sync_handle(Call& c) {
  PyObject* request = c.arg(RequestP::request);
  Ref denied_type = import_from("vorel.approval"_n, "ApprovalDenied"_n);
  Ref payload =
      call(c.global("build_approval_request_payload"_n), request, "signing_key"_kw = c.capture(Cap::signing_key));
  Ref client = call(c.global("VorelCloudClient"_n), c.capture(Cap::api_key), "base_url"_kw = c.capture(Cap::base_url));
  return close_after(client, [&] {
    try {
      return sync_flow(c, client, payload, request, denied_type);
    } catch (PyError&) {
      rethrow(vorel::refusal_to_denial(c, take_error(), denied_type, request,
                                       [&] { return timeout_reason(c.capture(Cap::timeout)); }));
    }
  });
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
  vorel::require_seconds(c.arg(FactoryP::poll_interval), "poll_interval");
  vorel::require_seconds(c.arg(FactoryP::timeout), "timeout");
  return make_closure(c, kSyncHandleDef, "cloud_approval.<locals>._handle",
                      {c.arg(FactoryP::api_key), c.arg(FactoryP::signing_key), c.arg(FactoryP::base_url),
                       c.arg(FactoryP::poll_interval), c.arg(FactoryP::timeout)});
}

// ---- async_cloud_approval --------------------------------------------------------

// client.create_request(**payload.to_create_request_kwargs()), not yet awaited.
Ref start_create(PyObject* client, PyObject* payload) {
  Ref create = attr(client, "create_request"_n);
  Ref kwargs = call_method(payload, "to_create_request_kwargs"_n);
  return call_kwargs(create, kwargs);
}

// After the create answer: log it and start polling (not yet awaited).
Ref start_poll(const Frame& f, PyObject* client, PyObject* created) {
  Ref request_id = item(created, "id"_n);
  Ref tool = attr(f.arg(RequestP::request), "tool"_n);
  log(f.globals(), "info", "approval request %s created for %s", {request_id, tool});
  return call(f.global("_async_poll_until_resolved"_n), client, request_id,
              "poll_interval"_kw = f.capture(Cap::poll_interval), "timeout"_kw = f.capture(Cap::timeout));
}

Coro core_flow(Frame f) {
  PyObject* request = f.arg(RequestP::request);
  Ref denied_type = import_from("vorel.approval"_n, "ApprovalDenied"_n);
  Ref payload =
      call(f.global("build_approval_request_payload"_n), request, "signing_key"_kw = f.capture(Cap::signing_key));
  Ref client =
      call(f.global("AsyncVorelCloudClient"_n), f.capture(Cap::api_key), "base_url"_kw = f.capture(Cap::base_url));
  Ref outcome, error;
  try {
    Ref creating = start_create(client, payload);
    payload = Ref();
    Ref created = co_await await(std::move(creating));
    Ref polling = start_poll(f, client, created);
    created = Ref();
    Ref result = co_await await(std::move(polling));
    outcome = settle(f, result, request, denied_type);
  } catch (PyError&) {
    error = vorel::refusal_to_denial(f, take_error(), denied_type, request,
                                     [&] { return timeout_reason(f.capture(Cap::timeout)); });
  }
  co_await aclose(client, error);
  if (error) rethrow(std::move(error));
  co_return outcome;
}

enum class HandleCap : size_t { concurrent, core, interruptible };
enum class InterruptibleP : size_t { flow, state };

Ref core(Call& c) { return start(c, core_flow(Frame(c))); }

// The flow as the worker's loop runs it: in a task of its own, recorded in
// `state` (shared with the waiting thread) with its loop, so that an
// interrupted waiter can cancel it from its own thread. A waiter interrupted
// before the task was recorded is seen here, after recording it.
// Not a Frame: the suspended body must keep nothing that leads back to the
// task (a body's locals are invisible to the cycle collector), and a Frame
// would keep `flow` and `state` for the body's whole life.
Coro interruptible_flow(Ref globals, Ref flow, Ref state) {
  Ref task;
  {
    Ref loop = call_method(global(globals, "asyncio"_n), "get_running_loop"_n);
    set_item(state, "loop"_n, loop);
    task = call_method(loop, "create_task"_n, flow);
    set_item(state, "task"_n, task);
    Ref interrupted = get(state, "interrupted"_n, Py_False);
    if (truthy(interrupted)) call_method(task, "cancel"_n);
  }
  flow = Ref();
  state = Ref();
  globals = Ref();
  Ref value = co_await await(std::move(task));
  co_return value;
}

Ref interruptible(Call& c) {
  return start(c, interruptible_flow(Ref::borrow(c.globals()), Ref::borrow(c.arg(InterruptibleP::flow)),
                                     Ref::borrow(c.arg(InterruptibleP::state))));
}

// Ctrl-C while waiting for the worker: cancel the flow on the worker's loop
// (its `finally` still closes the client) and wait only for that, so the
// interrupt leaves at once instead of after the whole approval timeout.
// `flow.close()` happens only when the work never started.
void stop_flow(PyObject* future, PyObject* state, PyObject* flow, PyObject* guarded, PyObject* interrupt) {
  Handling scope(interrupt);
  set_item(state, "interrupted"_n, Py_True);
  Ref task = get(state, "task"_n);
  if (!task.is_none()) {
    Ref loop = get(state, "loop"_n);
    Ref cancel = attr(task, "cancel"_n);
    try {
      call_method(loop, "call_soon_threadsafe"_n, cancel);
    } catch (PyError&) {
      // The loop is closed already: the flow has ended by itself.
      Ref e = take_error();
      if (!matches(e, PyExc_RuntimeError)) rethrow(std::move(e));
    }
  } else {
    Ref withdrawn = call_method(future, "cancel"_n);
    if (truthy(withdrawn)) {  // never started: nothing ran, nothing to wait for
      call_method(guarded, "close"_n);
      call_method(flow, "close"_n);
      return;
    }
  }
  call_method(future, "exception"_n);
}

// No event loop runs here: the flow runs under a fresh loop in a one-worker
// pool while this thread waits. Called while the probe's RuntimeError is
// being handled, as the `except` block that starts this path would be.
Ref run_in_worker(const Frame& f, PyObject* probe_error) {
  Handling scope(probe_error);
  Ref futures = attr(f.capture(HandleCap::concurrent), "futures"_n);
  Ref pool_type = attr(futures, "ThreadPoolExecutor"_n);
  Ref one = integer(1);
  Ref pool_manager = call(pool_type, "max_workers"_kw = one);
  return with_statement(pool_manager, [&](PyObject* pool) {
    Ref submit = attr(pool, "submit"_n);
    // The flow runs in a copy of the caller's context: what the core SDK keeps
    // in context variables (the warrant scope, the signing key) goes with it.
    Ref context = call_method(f.global("contextvars"_n), "copy_context"_n);
    Ref in_context = attr(context, "run"_n);
    Ref run = attr(f.global("asyncio"_n), "run"_n);
    Ref flow = call(f.capture(HandleCap::core), f.arg(RequestP::request));
    Ref state = dict();
    Ref guarded = call(f.capture(HandleCap::interruptible), flow, state);
    Ref future = call(submit, in_context, run, guarded);
    try {
      return call_method(future, "result"_n);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_KeyboardInterrupt)) rethrow(std::move(e));
      stop_flow(future, state, flow, guarded, e);
      rethrow(std::move(e));
    }
  });
}

Coro async_handle_body(Frame f) {
  Ref probe_error;
  try {
    call_method(f.global("asyncio"_n), "get_running_loop"_n);
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, [&] { return f.global("RuntimeError"_n); })) rethrow(std::move(e));
    probe_error = std::move(e);
  }
  // Only a failed probe takes the worker path: an error raised by the awaited
  // flow itself must not start the whole flow a second time.
  if (probe_error) {
    Ref value = run_in_worker(f, probe_error);
    co_return value ? value : none();
  }
  Ref flow = call(f.capture(HandleCap::core), f.arg(RequestP::request));
  Ref value = co_await await(std::move(flow));
  co_return value;
}

Ref async_handle(Call& c) { return start(c, async_handle_body(Frame(c))); }

const FuncDef kCoreDef{
    "_core",          "Create the cloud approval request and await the decision on the running loop.",
    kRequestParam,    core,
    kApprovalsReturn, true};
const Param kInterruptibleParams[] = {{"flow", K::positional_or_keyword, nullptr, "Any"},
                                      {"state", K::positional_or_keyword, nullptr, "Dict[str, Any]"}};
const FuncDef kInterruptibleDef{
    "_interruptible",     "Run ``flow`` on this loop, cancellable from the thread that waits for it.",
    kInterruptibleParams, interruptible,
    kApprovalsReturn,     true};
const FuncDef kAsyncHandleDef{"_handle",
                              "Await a cloud approval for ``request``.\n\n"
                              "Runs on the caller's event loop; stepped where no loop runs, the flow runs to\n"
                              "completion under a fresh loop in a worker thread, in a copy of the caller's\n"
                              "context (Ctrl-C while waiting cancels it). Raises the core SDK's\n"
                              "``ApprovalDenied`` when the request is denied, expires or times out.",
                              kRequestParam,
                              async_handle,
                              kApprovalsReturn,
                              true};

Ref async_cloud_approval(Call& c) {
  vorel::require_seconds(c.arg(FactoryP::poll_interval), "poll_interval");
  vorel::require_seconds(c.arg(FactoryP::timeout), "timeout");
  Ref concurrent = import_binding("concurrent.futures"_n);
  Ref core_fn = make_closure(c, kCoreDef, "async_cloud_approval.<locals>._core",
                             {c.arg(FactoryP::api_key), c.arg(FactoryP::signing_key), c.arg(FactoryP::base_url),
                              c.arg(FactoryP::poll_interval), c.arg(FactoryP::timeout)});
  Ref interruptible_fn = make_closure(c, kInterruptibleDef, "async_cloud_approval.<locals>._interruptible");
  return make_closure(c, kAsyncHandleDef, "async_cloud_approval.<locals>._handle",
                      {concurrent, core_fn, interruptible_fn});
}

// ---- Temporal request identity ------------------------------------------------------

enum class KeyP : size_t { request, workflow_id, workflow_run_id, activity_id, request_hash };
enum class KeyCap : size_t { sha256 };

// SHA-256 of a short text, for the key's fast path (the digest hashlib's
// sha256 gives, without a hash object and its hex string).
class Sha256 {
 public:
  void update(const unsigned char* p, size_t n) {
    total_ += n;
    while (n > 0) {
      const size_t take = n < 64 - used_ ? n : 64 - used_;
      std::memcpy(block_ + used_, p, take);
      used_ += take, p += take, n -= take;
      if (used_ == 64) compress(), used_ = 0;
    }
  }
  void finish(unsigned char out[32]) {
    const uint64_t bits = (uint64_t)total_ * 8;
    block_[used_++] = 0x80;
    if (used_ > 56) {
      std::memset(block_ + used_, 0, 64 - used_);
      compress();
      used_ = 0;
    }
    std::memset(block_ + used_, 0, 56 - used_);
    for (int i = 0; i < 8; ++i) block_[56 + i] = (unsigned char)(bits >> (56 - 8 * i));
    compress();
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 4; ++j) out[4 * i + j] = (unsigned char)(h_[i] >> (24 - 8 * j));
  }

 private:
  static uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }
  void compress() {
    static constexpr uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t)block_[4 * i] << 24 | (uint32_t)block_[4 * i + 1] << 16 | (uint32_t)block_[4 * i + 2] << 8 |
             (uint32_t)block_[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
  }

  uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block_[64] = {};
  size_t used_ = 0;
  size_t total_ = 0;
};

// "appr_" + the hex digest.
Ref key_of_digest(Sha256& sha) {
  unsigned char digest[32];
  sha.finish(digest);
  Ref out = Ref::steal(PyUnicode_New(5 + 64, 127));
  Py_UCS1* o = PyUnicode_1BYTE_DATA(out.get());
  std::memcpy(o, "appr_", 5);
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) o[5 + 2 * i] = kHex[digest[i] >> 4], o[6 + 2 * i] = kHex[digest[i] & 15];
  return out;
}

// "|".join(parts), with join's own errors for an item that is not a str.
Ref joined(PyObject* const* parts, size_t n) {
  return Ref::steal(PyUnicode_Join("|"_n, tuple(std::span<PyObject* const>(parts, n))));
}

Ref temporal_idempotency_key(Call& c) {
  Ref tool = str(attr_or(c.arg(KeyP::request), "tool"_n, ""_n));
  PyObject* const parts[] = {tool, c.arg(KeyP::workflow_id), c.arg(KeyP::workflow_run_id), c.arg(KeyP::activity_id),
                             c.arg(KeyP::request_hash)};
  // A gate's request hash, when given, sets the gates of one activity apart;
  // without it the key is the activity's, as it always was.
  const size_t n = truthy(c.arg(KeyP::request_hash)) ? 5 : 4;
  bool texts = true;
  for (size_t i = 0; i < n; ++i) texts = texts && PyUnicode_CheckExact(parts[i]);
  Ref source;
  if (!texts) source = joined(parts, n);
  Ref hashlib = import_module("hashlib"_n);
  Ref sha256 = attr(hashlib, "sha256"_n);
  if (texts && sha256.is(c.capture(KeyCap::sha256))) {
    // The digest of the joined text's UTF-8, fed part by part.
    Sha256 sha;
    bool encoded = true;
    for (size_t i = 0; i < n && encoded; ++i) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(parts[i], &size);
      encoded = utf8 != nullptr;
      if (encoded && i > 0) sha.update(reinterpret_cast<const unsigned char*>("|"), 1);
      if (encoded) sha.update(reinterpret_cast<const unsigned char*>(utf8), (size_t)size);
    }
    if (encoded) return key_of_digest(sha);
    PyErr_Clear();  // not encodable: the library call below raises it in its own words
  }
  if (!source) source = joined(parts, n);
  Ref encoded = call_method(source, "encode"_n, "utf-8"_n);
  Ref digest = call(sha256, encoded);
  Ref hex = call_method(digest, "hexdigest"_n);
  return Ref::steal(PyUnicode_Concat("appr_"_n, hex));
}

bool usable_id(PyObject* v) { return PyUnicode_Check(v) && truthy(v); }

enum class DetailsP : size_t { details };

Ref first_entry(PyObject* details) {
  return (PyList_Check(details) || PyTuple_Check(details)) ? item(details, zero()) : Ref::borrow(details);
}

Ref temporal_heartbeat_request_id(Call& c) {
  PyObject* details = c.arg(DetailsP::details);
  if (!truthy(details)) return none();
  Ref entry = first_entry(details);
  if (PyDict_Check(entry.get())) {
    Ref v = get(entry, "approval_request_id"_n);
    if (usable_id(v)) return v;
  }
  Ref v = attr_or(entry, "approval_request_id"_n, Py_None);
  if (usable_id(v)) return v;
  return none();
}

// The gate record of the heartbeat details (gate -> request id), read from
// the same entry as the request id; None when the details have none.
Ref temporal_heartbeat_gates(Call& c) {
  PyObject* details = c.arg(DetailsP::details);
  if (!truthy(details)) return none();
  Ref entry = first_entry(details);
  if (!PyDict_Check(entry.get())) return none();
  Ref gates = get(entry, "approval_gates"_n);
  return PyDict_Check(gates.get()) ? gates : none();
}

// ---- TemporalCloudApprovalHandler ------------------------------------------------

enum class InitP : size_t { self, api_key, signing_key, base_url, fast_poll_seconds, fast_poll_attempts };
enum class MethodP : size_t { self, request };
enum class DataP : size_t { data };
enum class TemporalFactoryP : size_t { api_key, signing_key, base_url, fast_poll_seconds, fast_poll_attempts };

Ref temporal_init(Call& c) {
  PyObject* self = c.arg(InitP::self);
  PyObject* signing_key = c.arg(InitP::signing_key);
  vorel::require_seconds(c.arg(InitP::fast_poll_seconds), "fast_poll_seconds");
  vorel::require_count(c.arg(InitP::fast_poll_attempts), "fast_poll_attempts");
  set_attr(self, "_api_key"_n, c.arg(InitP::api_key));
  set_attr(self, "_signing_key"_n, signing_key);
  set_attr(self, "_holder"_n, attr(signing_key, "public_key"_n));
  Ref public_key = attr(signing_key, "public_key"_n);
  set_attr(self, "_holder_bytes"_n, call_method(public_key, "to_bytes"_n));
  set_attr(self, "_base_url"_n, c.arg(InitP::base_url));
  set_attr(self, "_fast_poll_seconds"_n, c.arg(InitP::fast_poll_seconds));
  // max(fast_poll_attempts, 1): at least one poll, the value kept as given.
  Ref one = integer(1);
  PyObject* attempts = c.arg(InitP::fast_poll_attempts);
  set_attr(self, "_fast_poll_attempts"_n, compare(one, attempts, Py_GT) ? one.get() : attempts);
  return none();
}

Ref application_error(PyObject* type, PyObject* message, PyObject* tag, bool non_retryable) {
  return call(type, message, "type"_kw = tag, "non_retryable"_kw = non_retryable ? Py_True : Py_False);
}

Ref status_text(PyObject* status_data) {
  Ref raw = get(status_data, "status"_n, ""_n);
  Ref shown = str(raw);
  return call_method(shown, "lower"_n);
}

// Progress reports to the workflow engine never fail the handler, but a
// cancellation that Temporal delivers through them is the activity's to see:
// `except CancelledError: raise` ahead of `except Exception: pass`.
// `cancelled_type` is null when the SDK offers no cancellation type.
void best_effort_failed(Ref error, PyObject* cancelled_type) {
  if ((cancelled_type != nullptr && matches(error, cancelled_type)) || !matches(error, PyExc_Exception))
    rethrow(std::move(error));
}

// `from temporalio.exceptions import CancelledError`, or null when that import
// fails: a stand-in of the SDK (what a test suite puts in sys.modules to test
// an activity) may offer only `activity` and `ApplicationError`, and then no
// cancellation can surface to be let through.
Ref cancellation_type() {
  try {
    return import_from("temporalio.exceptions"_n, "CancelledError"_n);
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, PyExc_ImportError)) rethrow(e);
    return Ref();
  }
}

// The details of one heartbeat: the request and its status, and, when the
// gate is known, which request each gate of this activity run has (the
// gate's own entry included), so that a retry of a later gate does not take
// an earlier gate's request for its own.
Ref heartbeat_details(PyObject* request_id, PyObject* status, PyObject* gate, PyObject* gates) {
  Ref details = dict();
  set_item(details, "approval_request_id"_n, request_id);
  set_item(details, "approval_status"_n, status);
  if (truthy(gate)) {
    Ref record = call(reinterpret_cast<PyObject*>(&PyDict_Type), gates);
    check(PyDict_SetItem(record, gate, request_id));
    set_item(details, "approval_request_hash"_n, gate);
    set_item(details, "approval_gates"_n, record);
  }
  return details;
}

void heartbeat(PyObject* activity, PyObject* cancelled_type, PyObject* details) {
  try {
    call_method(activity, "heartbeat"_n, details);
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
      Ref approval = call_method(self, "_extract_approval"_n, data);
      if (!approval.is_none()) return approval;
      Ref message = fmt("approved but missing SignedApproval payload for {}", request_id);
      raise(application_error(error_type, message, "ApprovalMalformedResponse"_n, true));
    }
    if (equals_text(status, "denied") || equals_text(status, "rejected") || equals_text(status, "expired")) {
      Ref reason = get(data, "denied_reason"_n);
      if (!truthy(reason)) reason = get(data, "reason"_n);
      if (!truthy(reason)) reason = Ref::borrow(status);
      Ref message = fmt("approval {} for {}: {}", status, request_id, reason);
      raise(application_error(error_type, message, "ApprovalDenied"_n, true));
    }
    return Ref();
  }

  // `except VorelCloudError as exc: raise ApplicationError(...) from exc` for a
  // failed cloud call (a poll, or the submission); other errors pass unchanged.
  [[noreturn]] void transport_failure(Ref error, bool polling) {
    Handling scope(error);
    if (!matches(error, c.global("VorelCloudError"_n))) rethrow(std::move(error));
    Ref message = polling ? fmt("approval poll failed for {}: {}", request_id, error)
                          : fmt("approval request submission failed: {}", error);
    raise_from(application_error(error_type, message, "ApprovalTransportError"_n, false), error);
  }

  Ref fetch(PyObject* client) {
    try {
      return call_method(client, "get_request"_n, request_id);
    } catch (PyError&) {
      transport_failure(take_error(), true);
    }
  }

  // A failed resume returns here only when the cloud no longer has the
  // request (`exc.status_code == 404 or "404" in str(exc)`: the text is only
  // looked at when the code does not tell); other cloud errors are transport
  // failures, anything else passes unchanged.
  void unless_lost(Ref error) {
    {
      Handling scope(error);
      if (!matches(error, c.global("VorelCloudError"_n))) rethrow(std::move(error));
      Ref code = attr(error, "status_code"_n);
      Ref not_found = integer(404);
      if (compare(code, not_found, Py_EQ)) return;
      Ref shown = str(error);
      if (check(PySequence_Contains(shown, "404"_n)) == 1) return;
    }
    transport_failure(std::move(error), true);
  }

  // Steps inside the client's context: resume or create, first look, short polls.
  Ref run(PyObject* client, PyObject* prior, PyObject* payload) {
    request_id = truthy(prior) ? Ref::borrow(prior) : Ref::borrow(""_n);
    Ref status_data = none();

    if (truthy(request_id)) {
      try {
        status_data = call_method(client, "get_request"_n, request_id);
        Ref tool = attr(request, "tool"_n);
        log(c.globals(), "info", "resuming approval request %s for %s from heartbeat", {request_id, tool});
      } catch (PyError&) {
        unless_lost(take_error());
        // The cloud no longer has it: create it again under the same key.
        request_id = Ref::borrow(""_n);
        status_data = none();
      }
    }

    if (!truthy(request_id)) {
      Ref created;
      try {
        Ref create = attr(client, "create_request"_n);
        Ref kwargs = call_method(payload, "to_create_request_kwargs"_n);
        // Every gate of the activity has its own key: two gates of one tool
        // would otherwise meet under one key with different bodies.
        if (gate_key) set_item(kwargs, "idempotency_key"_n, gate_key);
        created = call_kwargs(create, kwargs);
      } catch (PyError&) {
        transport_failure(take_error(), false);
      }
      Ref id = get(created, "id"_n);
      if (!truthy(id)) id = get(created, "request_id"_n);
      if (!truthy(id)) id = Ref::borrow(""_n);
      request_id = str(id);
      if (!truthy(request_id))
        raise(application_error(error_type, fmt("approval response missing id field"), "ApprovalMalformedResponse"_n,
                                true));
      status_data = created;
      Ref tool = attr(request, "tool"_n);
      log(c.globals(), "info", "approval request %s created for %s", {request_id, tool});
    }

    if (!status_data.is_none()) {
      Ref status = status_text(status_data);
      beat(status);
      if (Ref decided = decide(status_data, status)) return decided;
    }

    Ref attempts = attr(self, "_fast_poll_attempts"_n);
    Ref rounds = call(c.global("range"_n), attempts);
    Ref it = iterate(rounds);
    while (Ref i = next_item(it)) {
      Ref pause = attr(self, "_fast_poll_seconds"_n);
      call_method(c.global("time"_n), "sleep"_n, pause);
      status_data = fetch(client);
      Ref status = status_text(status_data);
      Ref one = integer(1);
      Ref number = add(i, one);
      Ref total = attr(self, "_fast_poll_attempts"_n);
      log(c.globals(), "info", "approval poll %d/%d for %s: %s", {number, total, request_id, status});
      beat(status);
      if (Ref decided = decide(status_data, status)) return decided;
    }
    return Ref();
  }
};

// The gate's identity: the request hash of its payload, as hex text; empty
// when the payload carries none.
Ref gate_of(PyObject* payload) {
  Ref hash = attr_or(payload, "request_hash"_n, Py_None);
  if (is_bytes_like(hash)) return call_method(hash, "hex"_n);
  if (is_text(hash)) return hash;
  return Ref::borrow(""_n);
}

// activity.info()'s identity of this attempt, as far as it can be read.
struct ActivityIdentity {
  Ref activity_id, workflow_id, workflow_run_id;
  Ref details = none();  // heartbeat details of the previous attempt
  Ref prior = none();    // the request id they name
};

ActivityIdentity activity_identity(const Call& c, PyObject* activity, PyObject* cancelled_type) {
  ActivityIdentity id;
  id.activity_id = id.workflow_id = id.workflow_run_id = Ref::borrow(""_n);
  try {
    Ref info = call_method(activity, "info"_n);
    auto field = [&](Name name) {
      Ref v = attr_or(info, name, ""_n);
      return truthy(v) ? v : Ref::borrow(""_n);
    };
    id.activity_id = field("activity_id"_n);
    id.workflow_id = field("workflow_id"_n);
    id.workflow_run_id = field("workflow_run_id"_n);
    id.details = attr_or(info, "heartbeat_details"_n, Py_None);
    id.prior = call(c.global("_extract_temporal_heartbeat_request_id"_n), id.details);
  } catch (PyError&) {
    // Outside an activity (or with an unreadable info) there is no identity
    // to resume from; the call goes on with what was read.
    best_effort_failed(take_error(), cancelled_type);
  }
  return id;
}

Ref temporal_call(Call& c) {
  PyObject* self = c.arg(MethodP::self);
  PyObject* request = c.arg(MethodP::request);
  Ref activity = import_from("temporalio"_n, "activity"_n);
  Ref error_type = import_from("temporalio.exceptions"_n, "ApplicationError"_n);
  Ref cancelled_type = cancellation_type();
  ActivityIdentity id = activity_identity(c, activity, cancelled_type);
  Ref prior = id.prior;

  Ref key = call(c.global("_build_temporal_approval_idempotency_key"_n), request, "workflow_id"_kw = id.workflow_id,
                 "workflow_run_id"_kw = id.workflow_run_id, "activity_id"_kw = id.activity_id);
  Ref signing_key = attr(self, "_signing_key"_n);
  Ref payload = call(c.global("build_approval_request_payload"_n), request, "signing_key"_kw = signing_key,
                     "idempotency_key"_kw = key);

  // One activity may pass several gates. Details that record gates resume
  // only this gate's own request; details without a record (an older
  // handler wrote them) name one request, resumed as before.
  Ref gate = gate_of(payload);
  Ref gate_key;
  Ref gates = dict();
  if (truthy(gate)) {
    gate_key =
        call(c.global("_build_temporal_approval_idempotency_key"_n), request, "workflow_id"_kw = id.workflow_id,
             "workflow_run_id"_kw = id.workflow_run_id, "activity_id"_kw = id.activity_id, "request_hash"_kw = gate);
    Ref recorded = none();
    try {
      recorded = call(c.global("_extract_temporal_heartbeat_gates"_n), id.details);
    } catch (PyError&) {
      best_effort_failed(take_error(), cancelled_type);
    }
    if (!recorded.is_none()) {
      gates = recorded;
      Ref own = call_method(gates, "get"_n, gate);
      prior = usable_id(own) ? own : none();
    }
  }

  Ref api_key = attr(self, "_api_key"_n);
  Ref base_url = attr(self, "_base_url"_n);
  Ref per_call_timeout = real(10.0);
  Ref client_manager =
      call(c.global("VorelCloudClient"_n), api_key, "base_url"_kw = base_url, "timeout"_kw = per_call_timeout);

  TemporalAttempt attempt{c, self, request, activity, error_type, cancelled_type, gate, gate_key, gates, Ref()};
  Ref approval = with_statement(client_manager, [&](PyObject* client) { return attempt.run(client, prior, payload); });
  if (approval) return approval;
  Ref message = fmt("approval pending for {}; will retry via Temporal", attempt.request_id);
  raise(application_error(error_type, message, "ApprovalPendingRetry"_n, false));
}

Ref temporal_extract_approval(Call& c) {
  Ref signed_type = import_from("vorel_core"_n, "SignedApproval"_n);
  Ref no_responses = list();
  Ref responses = get(c.arg(DataP::data), "responses"_n, no_responses);
  if (!truthy(responses)) return none();
  Ref base64 = import_module("base64"_n);
  Ref it = iterate(responses);
  while (Ref response = next_item(it)) {
    Ref encoded = get(response, "signed_approval"_n, ""_n);
    if (!truthy(encoded)) continue;
    try {
      Ref raw = call_method(base64, "b64decode"_n, encoded);
      return call_method(signed_type, "from_bytes"_n, raw);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_Exception)) rethrow(std::move(e));
      Handling scope(e);
      log(c.globals(), "warning", "failed to decode signed_approval as base64: %s", {e});
    }
    try {
      Ref raw = call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex"_n, encoded);
      return call_method(signed_type, "from_bytes"_n, raw);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_Exception)) rethrow(std::move(e));
      Handling scope(e);
      log(c.globals(), "warning", "failed to decode signed_approval as hex: %s", {e});
    }
  }
  return none();
}

Ref temporal_build_attestation(Call& c) {
  PyObject* self = c.arg(MethodP::self);
  PyObject* request = c.arg(MethodP::request);
  Ref build = import_from("vorel_core"_n, "py_build_approval_context_attestation"_n);
  Ref key = attr(self, "_signing_key"_n);
  Ref warrant_id = attr(request, "warrant_id"_n);
  Ref tool = attr(request, "tool"_n);
  Ref arguments = attr(request, "arguments"_n);
  Ref holder = attr(self, "_holder"_n);
  Ref built = call(build, key, warrant_id, tool, arguments, holder);
  auto [args_b64, context] = unpack<2>(built);
  Ref attestation = call(reinterpret_cast<PyObject*>(&PyDict_Type), context);
  return tuple({args_b64, attestation});
}

Ref temporal_cloud_approval(Call& c) {
  return call(c.global("TemporalCloudApprovalHandler"_n), c.arg(TemporalFactoryP::api_key),
              c.arg(TemporalFactoryP::signing_key), "base_url"_kw = c.arg(TemporalFactoryP::base_url),
              "fast_poll_seconds"_kw = c.arg(TemporalFactoryP::fast_poll_seconds),
              "fast_poll_attempts"_kw = c.arg(TemporalFactoryP::fast_poll_attempts));
}

// ---- definitions ------------------------------------------------------------------

constexpr const char* kDefaultBaseUrl = "'https://api.vorel.cloud'";

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
                            kAsyncPollParams,
                            async_poll_until_resolved,
                            "Dict[str, Any]",
                            true};
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
const FuncDef kCallDef{"__call__", "Run one approval attempt: create or resume the request, poll briefly, then decide.",
                       kCallParams, temporal_call, "'SignedApproval'"};
const FuncDef kExtractApprovalDef{"_extract_approval",
                                  "Decode the first usable signed approval of a status mapping, or return None.",
                                  kDataParam, temporal_extract_approval, "Optional['SignedApproval']"};
const FuncDef kBuildAttestationDef{"_build_attestation",
                                   "Have the signing core attest ``request`` with this handler's key.", kCallParams,
                                   temporal_build_attestation, "Tuple[str, Dict[str, Any]]"};

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
  set_item(ns, "__doc__"_n, doc);
  set_item(ns, "__init__"_n, m.method(name, kInitDef));
  set_item(ns, "__call__"_n, m.method(name, kCallDef));
  Ref extract = m.method(name, kExtractApprovalDef);
  set_item(ns, "_extract_approval"_n, call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), extract));
  set_item(ns, "_build_attestation"_n, m.method(name, kBuildAttestationDef));
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
  m.from_relative("exceptions",
                  {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "VorelCloudError"});
  m.from_relative("parvex", {"build_approval_request_payload"});
  m.logger("vorel_cloud.approval");

  m.def(kPollDef);
  m.def(kAsyncPollDef);
  // The library functions as found now: the fast paths run while the ones
  // met at a call are these same objects.
  Ref base64 = import_module("base64"_n);
  Ref re = import_module("re"_n);
  Ref hashlib = import_module("hashlib"_n);
  Ref b64encode = attr(base64, "b64encode"_n), b64decode = attr(base64, "b64decode"_n);
  Ref re_compile = attr(re, "compile"_n), sha256 = attr(hashlib, "sha256"_n);
  m.set(kExtractDef.name, make_function(m.object(), kExtractDef, nullptr, {b64encode, b64decode, re_compile}));
  m.def(kCloudApprovalDef);
  m.def(kAsyncCloudApprovalDef);
  m.set(kKeyDef.name, make_function(m.object(), kKeyDef, nullptr, {sha256}));
  m.def(kDetailsDef);
  m.def(kGatesDef);
  define_temporal_handler(m);
  m.def(kTemporalFactoryDef);
}

}  // namespace

VOREL_MODULE(approval, "Cloud approval handlers for Vorel: blocking, asyncio and Temporal.", body)
