// `await asyncio.sleep(delay)` with the standard library's steps taken here.
//
// The standard sleep is
//     loop = events.get_running_loop()
//     future = loop.create_future()
//     h = loop.call_later(delay, futures._set_result_unless_cancelled, future, None)
//     try: return await future
//     finally: h.cancel()
// and on the standard event loop create_future, call_later (with call_at,
// TimerHandle and heapq.heappush under it) and TimerHandle.cancel are Python
// functions: a dozen frames per pause, several times the waiter's own work.
// Each step below first checks that what Python would call is still the
// standard library's own, as the interpreter's specialised instructions check
// their caches: the loop's class finds BaseEventLoop's methods (unchanged
// since load, none set on the instance, no debug mode), TimerHandle is the
// class asyncio defined, heapq.heappush and contextvars.copy_context are the
// names those modules hold. It then has the same effects, in the same order,
// as those functions (the same timer object in the loop's heap, the same
// attribute values). Anything else is called as Python code calls it.
#pragma once
#include "runtime/ref.hpp"

namespace vc::aio {

// asyncio as it is at load (`asyncio` is that module): the standard functions
// and classes the steps stand in for, each checked to be the standard
// library's own. Kept by the module that pauses (a capture), handed to each
// step. None when they are not what these steps know: every step then calls
// through.
Ref snapshot(PyObject* asyncio);

struct Sleep {
  Ref awaitable;  // what to await: the future (standard sleep) or the sleep call's awaitable
  Ref timer;      // the timer to cancel once the await ends (standard sleep only)
};

// The part of `await asyncio.sleep(delay)` before the await. `asyncio` is the
// caller's module global read at this call; its `sleep` is what is run. While
// that is the standard sleep (the one asyncio had at load) and `delay` a
// positive int or float, its steps are taken here; otherwise it is called.
Sleep start_sleep(PyObject* snapshot, PyObject* asyncio, PyObject* delay);
// The `finally: h.cancel()` after the await: runs with `error` (the await's,
// if any) as the exception being handled, then re-raises it; an error of the
// cancel replaces it. Without a timer the error just goes on.
void end_sleep(PyObject* snapshot, PyObject* timer, Ref error);

// The single steps: loop.create_future(), loop.call_later(delay, callback,
// *args) and timer.cancel().
Ref create_future(PyObject* snapshot, PyObject* loop);
Ref call_later(PyObject* snapshot, PyObject* loop, PyObject* delay, PyObject* callback, PyObject* args);
void cancel(PyObject* snapshot, PyObject* timer);

}  // namespace vc::aio
