// vorel_cloud.approval: cloud approval handlers (blocking, asyncio, Temporal)
// and the polling and decoding they share.
#include "runtime/vorel.hpp"

using namespace vc;

namespace {

Ref zero() { return integer(0); }

Coro async_poll(Ref globals_holder, Ref client, Ref request_id, Ref poll_interval, Ref timeout) {
  PyObject* g = globals_holder;
  Ref now = call_method(global(g, "time"), "monotonic");
  Ref deadline = add(now, timeout);
  while (true) {
    Ref pending = call_method(client, "get_request", {request_id.get()});
    Ref result = co_await await(pending);
    Ref empty = text("");
    Ref status = get(result, "status", empty);
    if (!equals_text(status, "pending")) co_return result;
    Ref remaining = subtract(deadline, call_method(global(g, "time"), "monotonic"));
    if (compare(remaining, zero(), Py_LE)) raise(call(global(g, "ApprovalTimeoutError"), {request_id.get(), timeout.get()}));
    Ref sleep_time = compare(remaining, poll_interval, Py_LT) ? remaining : poll_interval;
    Ref extra = dict();
    set_item(extra, "request_id", request_id);
    set_item(extra, "sleep", sleep_time);
    log(g, "debug", "approval still pending, polling again", {}, extra);
    Ref sleeping = call_method(global(g, "asyncio"), "sleep", {sleep_time.get()});
    co_await await(sleeping);
  }
}

Ref async_poll_until_resolved(Call& c) {
  Ref globals = Ref::borrow(c.globals());
  return start(c, async_poll(globals, Ref::borrow(c.arg(0)), Ref::borrow(c.arg(1)), Ref::borrow(c.arg(2)),
                             Ref::borrow(c.arg(3))));
}

using K = ParamKind;
const Param kPollParams[] = {{"client", K::positional_or_keyword, nullptr, "AsyncVorelCloudClient"},
                             {"request_id", K::positional_or_keyword, nullptr, "str"},
                             {"poll_interval", K::keyword_only, nullptr, "float"},
                             {"timeout", K::keyword_only, nullptr, "float"}};
const FuncDef kAsyncPollDef{"_async_poll_until_resolved",
                            "Poll the cloud API until the request leaves ``pending`` status.\n\n"
                            "Coroutine twin of ``_poll_until_resolved``: awaits ``client.get_request`` and\n"
                            "``asyncio.sleep``; the deadline uses ``time.monotonic()``.",
                            kPollParams, async_poll_until_resolved, "Dict[str, Any]", true};

void body(Module& m) {
  m.import("logging");
  m.import("time");
  m.import("asyncio");
  m.from_import("typing", {"Any", "Dict", "List", "Optional", "Union"});
  m.from_relative("client", {"VorelCloudClient", "AsyncVorelCloudClient"});
  m.from_relative("exceptions", {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "VorelCloudError"});
  m.from_relative("parvex", {"build_approval_request_payload"});
  m.logger("vorel_cloud.approval");
  m.def(kAsyncPollDef);
}

}  // namespace

VOREL_MODULE(approval, "Cloud approval handlers for Vorel: blocking, asyncio and Temporal.", body)
