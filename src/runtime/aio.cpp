#include "runtime/aio.hpp"

#include <memory>
#include <string>

#include "runtime/py.hpp"

namespace vc::aio {

namespace {

// The asyncio functions these steps were written against (tasks.sleep,
// futures._set_result_unless_cancelled, BaseEventLoop's methods named below,
// Handle and TimerHandle) read the same from 3.12 to 3.15; a later asyncio is
// always called through.
constexpr bool kKnownAsyncio = PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000;

// The slots of a TimerHandle (Handle's and its own), as byte offsets.
enum Slot : size_t { callback, args, cancelled, loop, source_traceback, repr, context, when, scheduled, kSlots };
constexpr const char* kSlotNames[kSlots] = {"_callback", "_args",    "_cancelled", "_loop",     "_source_traceback",
                                            "_repr",     "_context", "_when",      "_scheduled"};

// BaseEventLoop's methods the steps stand in for (and the ones those call on
// the loop), by name, in the order of Snapshot::loop_methods.
enum LoopMethod : size_t {
  create_future_m,
  call_later_m,
  call_at_m,
  check_closed_m,
  get_debug_m,
  cancelled_m,
  kMethods
};
constexpr const char* kMethodNames[kMethods] = {"create_future", "call_later", "call_at",
                                                "_check_closed", "get_debug",  "_timer_handle_cancelled"};
// The loop's own attributes the steps read from its instance dict.
constexpr const char* kLoopData[] = {"_debug", "_closed", "_scheduled", "_timer_cancelled_count"};

struct Snapshot {
  Ref sleep;                       // asyncio.sleep
  Ref loop_methods[kMethods];      // BaseEventLoop.<name>
  Ref base_events;                 // asyncio.base_events (its globals hold events, futures, heapq)
  Ref events;                      // asyncio.events (its globals hold contextvars)
  Ref timer_handle;                // asyncio.events.TimerHandle
  Ref timer_attrs[5];              // TimerHandle.__init__, .cancel, .__lt__, Handle.cancel, Handle.__init__
  Ref slot_descrs[kSlots];         // the member descriptors, for the re-check after a class change
  Py_ssize_t offsets[kSlots] = {};
  Ref heappush;                    // heapq.heappush
  Ref copy_context;                // contextvars.copy_context
  Ref method_names[kMethods];      // the names above, interned
  Ref slot_names[kSlots];
  // What was last found standard, by pointer and version tag (a type's tag
  // changes whenever the type or a base is modified, and is never reused).
  unsigned int timer_version = 0;
  PyTypeObject* loop_type = nullptr;
  unsigned int loop_version = 0;
};

constexpr const char* kCapsule = "vorel_cloud.asyncio_snapshot";

void drop(PyObject* capsule) { delete static_cast<Snapshot*>(PyCapsule_GetPointer(capsule, kCapsule)); }

Snapshot* of(PyObject* snapshot) {
  if (!PyCapsule_CheckExact(snapshot)) return nullptr;
  return static_cast<Snapshot*>(PyCapsule_GetPointer(snapshot, kCapsule));
}

// module.__dict__[name] for an exact module (what getattr finds for a name
// ModuleType does not define); NULL (no error) when absent or not a module.
PyObject* module_entry(PyObject* module, PyObject* name) {
  if (!PyModule_CheckExact(module)) return nullptr;
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (v == nullptr && PyErr_Occurred()) throw_pending();
  return v;
}

PyObject* dict_entry(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (v == nullptr && PyErr_Occurred()) throw_pending();
  return v;
}

// module.name: the dict entry of an exact module, else getattr.
Ref module_attr(PyObject* module, Name name) {
  if (PyObject* v = module_entry(module, name)) return Ref::borrow(v);
  return attr(module, name);
}

// A Python function defined as `qualname` in `module`'s source.
bool is_function_of(PyObject* f, PyObject* module, const char* qualname) {
  if (f == nullptr || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != PyModule_GetDict(module)) return false;
  PyObject* q = reinterpret_cast<PyFunctionObject*>(f)->func_qualname;
  return q != nullptr && PyUnicode_Check(q) && PyUnicode_CompareWithASCIIString(q, qualname) == 0;
}

bool is_builtin_of(PyObject* f, const char* module) {
  if (f == nullptr || !PyCFunction_Check(f)) return false;
  PyObject* m = reinterpret_cast<PyCFunctionObject*>(f)->m_module;
  return m != nullptr && PyUnicode_Check(m) && PyUnicode_CompareWithASCIIString(m, module) == 0;
}

// TimerHandle as asyncio defines it: its class attributes are those found at
// load. Checked again only when its version tag moved (a patch, or a patch
// undone).
bool timer_class_standard(Snapshot& s) {
  auto* tp = reinterpret_cast<PyTypeObject*>(s.timer_handle.get());
  if (s.timer_version != 0 && tp->tp_version_tag == s.timer_version) return true;
  if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_getattro != PyObject_GenericGetAttr ||
      tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_base == nullptr)
    return false;
  const Name names[3] = {"__init__"_n, "cancel"_n, "__lt__"_n};
  for (size_t i = 0; i < 3; ++i)
    if (_PyType_Lookup(tp, names[i]) != s.timer_attrs[i].get()) return false;
  if (_PyType_Lookup(tp->tp_base, "cancel"_n) != s.timer_attrs[3].get() ||
      _PyType_Lookup(tp->tp_base, "__init__"_n) != s.timer_attrs[4].get())
    return false;
  for (size_t i = 0; i < kSlots; ++i)
    if (_PyType_Lookup(tp, s.slot_names[i]) != s.slot_descrs[i].get()) return false;
  if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
  s.timer_version = tp->tp_version_tag;
  return true;
}

// The loop's class finds BaseEventLoop's own methods, reads attributes the
// generic way and defines no data descriptor over the instance attributes read
// here. Remembered for one class (and version), as an inline cache is.
bool loop_class_standard(Snapshot& s, PyTypeObject* tp) {
  if (tp == s.loop_type && tp->tp_version_tag == s.loop_version && s.loop_version != 0) return true;
  if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_setattro != PyObject_GenericSetAttr) return false;
  for (size_t i = 0; i < kMethods; ++i)
    if (_PyType_Lookup(tp, s.method_names[i]) != s.loop_methods[i].get()) return false;
  for (const char* n : kLoopData) {
    PyObject* on_class = _PyType_Lookup(tp, name_of(n));
    if (on_class != nullptr && Py_TYPE(on_class)->tp_descr_set != nullptr) return false;
  }
  if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
  s.loop_type = tp;
  s.loop_version = tp->tp_version_tag;
  return true;
}

constexpr unsigned bit(LoopMethod m) { return 1u << m; }

// The loop's instance dict when `loop` takes the standard methods in
// `methods` (a bit per LoopMethod: its class's, none shadowed on the
// instance) and, if `quiet`, is out of debug mode; otherwise empty. (Reading
// the dict gives the instance a dict object of its own, with the same
// attributes.)
Ref standard_loop(Snapshot& s, PyObject* loop, unsigned methods, bool quiet) {
  if (!loop_class_standard(s, Py_TYPE(loop))) return Ref();
  Ref d = Ref::steal_or_null(PyObject_GenericGetDict(loop, nullptr));
  if (!d) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    return Ref();
  }
  if (!PyDict_CheckExact(d)) return Ref();
  for (size_t m = 0; m < kMethods; ++m)
    if ((methods & (1u << m)) && dict_entry(d, s.method_names[m]) != nullptr) return Ref();
  if (quiet && dict_entry(d, "_debug"_n) != Py_False) return Ref();  // debug mode, or an odd value
  return d;
}

PyObject*& slot(PyObject* o, const Snapshot& s, Slot which) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + s.offsets[which]);
}

void set_slot(PyObject* o, const Snapshot& s, Slot which, PyObject* v) { Py_XSETREF(slot(o, s, which), Py_NewRef(v)); }

// `a < b` for heapq: two standard timers with float times compare here, as
// TimerHandle.__lt__ does; anything else through Python's comparison.
int less(const Snapshot& s, PyObject* a, PyObject* b) {
  auto* tp = reinterpret_cast<PyTypeObject*>(s.timer_handle.get());
  if (Py_TYPE(a) == tp && Py_TYPE(b) == tp && tp->tp_version_tag == s.timer_version) {
    PyObject* wa = slot(a, s, when);
    PyObject* wb = slot(b, s, when);
    if (wa != nullptr && wb != nullptr) {
      if (PyFloat_CheckExact(wa) && PyFloat_CheckExact(wb)) return PyFloat_AS_DOUBLE(wa) < PyFloat_AS_DOUBLE(wb);
      return PyObject_RichCompareBool(wa, wb, Py_LT);
    }
  }
  return PyObject_RichCompareBool(a, b, Py_LT);
}

// heapq.heappush(heap, item) for an exact list: append, then sift the new
// item up while it is less than its parent, with heapq's own check that a
// comparison did not change the list.
void heap_push(const Snapshot& s, PyObject* heap, PyObject* item) {
  check(PyList_Append(heap, item));
  const Py_ssize_t size = PyList_GET_SIZE(heap);
  Py_ssize_t pos = size - 1;
  while (pos > 0) {
    const Py_ssize_t parent_pos = (pos - 1) >> 1;
    Ref newitem = Ref::borrow(PyList_GET_ITEM(heap, pos));
    Ref parent = Ref::borrow(PyList_GET_ITEM(heap, parent_pos));
    const int lt = less(s, newitem, parent);
    if (lt < 0) throw_pending();
    if (size != PyList_GET_SIZE(heap)) raise(PyExc_RuntimeError, "list changed size during iteration");
    if (lt == 0) break;
    PyObject* up = PyList_GET_ITEM(heap, pos);
    PyList_SET_ITEM(heap, pos, PyList_GET_ITEM(heap, parent_pos));
    PyList_SET_ITEM(heap, parent_pos, up);
    pos = parent_pos;
  }
}

// loop.call_later(...) as Python calls it.
Ref call_later_through(PyObject* loop, PyObject* delay, PyObject* callback, PyObject* args) {
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  PyObject* small[8];
  if (n > 5) {
    Ref head = tuple({delay, callback});
    Ref all = Ref::steal(PySequence_Concat(head, args));
    return call_star(attr(loop, "call_later"_n), all, nullptr);
  }
  small[0] = nullptr;
  small[1] = loop;
  small[2] = delay;
  small[3] = callback;
  for (Py_ssize_t i = 0; i < n; ++i) small[4 + i] = PyTuple_GET_ITEM(args, i);
  return Ref::steal(
      PyObject_VectorcallMethod("call_later"_n, small + 1, (size_t)(3 + n) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool positive(PyObject* delay) {
  if (PyFloat_CheckExact(delay)) return PyFloat_AS_DOUBLE(delay) > 0.0;
  if (PyLong_CheckExact(delay)) {
    Ref zero = integer(0);
    return compare(delay, zero, Py_GT);
  }
  return false;
}

// BaseEventLoop.create_future on a loop already found standard for it:
// return futures.Future(loop=self), with base_events' `futures`.
Ref future_on(const Snapshot& s, PyObject* loop) {
  PyObject* futures = dict_entry(PyModule_GetDict(s.base_events), "futures"_n);
  if (futures == nullptr) {
    PyErr_SetString(PyExc_NameError, "name 'futures' is not defined");
    throw_pending();
  }
  return call(module_attr(futures, "Future"_n), "loop"_kw = loop);
}

// BaseEventLoop.call_later (and the call_at, TimerHandle.__init__,
// Handle.__init__ and heapq.heappush under it) on a loop whose class and
// instance were found standard for them; `d` is its instance dict.
Ref timer_on(const Snapshot& s, PyObject* loop, PyObject* d, PyObject* delay, PyObject* callback, PyObject* args) {
  // base_events' `events.TimerHandle` and `heapq.heappush`, and events'
  // `contextvars.copy_context`, are what call_at and Handle.__init__ use.
  PyObject* be = PyModule_GetDict(s.base_events);
  PyObject* events = dict_entry(be, "events"_n);
  PyObject* heapq = dict_entry(be, "heapq"_n);
  PyObject* contextvars = dict_entry(PyModule_GetDict(s.events), "contextvars"_n);
  if (events == nullptr || heapq == nullptr || contextvars == nullptr ||
      module_entry(events, "TimerHandle"_n) != s.timer_handle.get() ||
      module_entry(heapq, "heappush"_n) != s.heappush.get() ||
      module_entry(contextvars, "copy_context"_n) != s.copy_context.get())
    return call_later_through(loop, delay, callback, args);

  // call_later: timer = self.call_at(self.time() + delay, callback, *args)
  Ref when = add(call_method(loop, "time"_n), delay);
  // call_at, its attributes read after the clock as Python reads them. A
  // loop in debug mode (or one the clock left without what is read here)
  // gets its own call_at, then call_later's trimming of the traceback.
  PyObject* closed = dict_entry(d, "_closed"_n);
  Ref heap = Ref::borrow_or_null(dict_entry(d, "_scheduled"_n));
  if (closed == nullptr || !heap || dict_entry(d, "_debug"_n) != Py_False) {
    Ref head = tuple({when.get(), callback});
    Ref timer = call_star(attr(loop, "call_at"_n), Ref::steal(PySequence_Concat(head, args)), nullptr);
    Ref traceback = attr(timer, "_source_traceback"_n);
    if (truthy(traceback)) {
      Ref last = integer(-1);
      check(PyObject_DelItem(traceback, last));
    }
    return timer;
  }
  if (when.is_none()) raise(PyExc_TypeError, "when cannot be None");
  if (truthy(closed)) raise(PyExc_RuntimeError, "Event loop is closed");
  // TimerHandle(when, callback, args, self, None): Handle.__init__, then its own.
  Ref context = Ref::steal(PyContext_CopyCurrent());
  auto* tp = reinterpret_cast<PyTypeObject*>(s.timer_handle.get());
  Ref timer = Ref::steal(tp->tp_alloc(tp, 0));
  set_slot(timer, s, Slot::context, context);
  set_slot(timer, s, Slot::loop, loop);
  set_slot(timer, s, Slot::callback, callback);
  set_slot(timer, s, Slot::args, args);
  set_slot(timer, s, Slot::cancelled, Py_False);
  set_slot(timer, s, Slot::repr, Py_None);
  set_slot(timer, s, Slot::source_traceback, Py_None);  // out of debug mode
  set_slot(timer, s, Slot::when, when);
  set_slot(timer, s, Slot::scheduled, Py_False);
  // heapq.heappush(self._scheduled, timer); timer._scheduled = True
  if (PyList_CheckExact(heap)) heap_push(s, heap, timer);
  else call(s.heappush, heap, timer);
  set_slot(timer, s, Slot::scheduled, Py_True);
  return timer;
}

constexpr unsigned kTimerMethods = bit(call_later_m) | bit(call_at_m) | bit(check_closed_m) | bit(get_debug_m);

}  // namespace

Ref snapshot(PyObject* asyncio) {
  if (!kKnownAsyncio) return none();
  auto s = std::make_unique<Snapshot>();
  for (size_t i = 0; i < kMethods; ++i) s->method_names[i] = Ref::borrow(name_of(kMethodNames[i]));
  for (size_t i = 0; i < kSlots; ++i) s->slot_names[i] = Ref::borrow(name_of(kSlotNames[i]));
  s->sleep = lookup(asyncio, "sleep"_n);
  Ref base_events = import_module("asyncio.base_events"_n);
  Ref events = import_module("asyncio.events"_n);
  Ref tasks = import_module("asyncio.tasks"_n);
  if (!is_function_of(s->sleep, tasks, "sleep")) return none();
  Ref loop_class = lookup(base_events, "BaseEventLoop"_n);
  if (!loop_class || !PyType_Check(loop_class)) return none();
  for (size_t i = 0; i < kMethods; ++i) {
    PyObject* m = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(loop_class.get()), s->method_names[i]);
    const std::string qualname = std::string("BaseEventLoop.") + kMethodNames[i];
    if (!is_function_of(m, base_events, qualname.c_str())) return none();
    s->loop_methods[i] = Ref::borrow(m);
  }
  s->timer_handle = lookup(events, "TimerHandle"_n);
  Ref handle = lookup(events, "Handle"_n);
  if (!s->timer_handle || !PyType_Check(s->timer_handle) || !handle || !PyType_Check(handle)) return none();
  auto* tp = reinterpret_cast<PyTypeObject*>(s->timer_handle.get());
  if (tp->tp_base != reinterpret_cast<PyTypeObject*>(handle.get())) return none();
  const char* qualnames[4] = {"TimerHandle.__init__", "TimerHandle.cancel", "TimerHandle.__lt__", "Handle.cancel"};
  const Name attrs[3] = {"__init__"_n, "cancel"_n, "__lt__"_n};
  for (size_t i = 0; i < 4; ++i) {
    PyObject* a = i < 3 ? _PyType_Lookup(tp, attrs[i]) : _PyType_Lookup(tp->tp_base, "cancel"_n);
    if (!is_function_of(a, events, qualnames[i])) return none();
    s->timer_attrs[i] = Ref::borrow(a);
  }
  PyObject* handle_init = _PyType_Lookup(tp->tp_base, "__init__"_n);
  if (!is_function_of(handle_init, events, "Handle.__init__")) return none();
  s->timer_attrs[4] = Ref::borrow(handle_init);
  for (size_t i = 0; i < kSlots; ++i) {
    PyObject* d = _PyType_Lookup(tp, s->slot_names[i]);
    if (d == nullptr || !Py_IS_TYPE(d, &PyMemberDescr_Type)) return none();
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) return none();
    s->slot_descrs[i] = Ref::borrow(d);
    s->offsets[i] = member->offset;
  }
  if (PyObject* heapq = module_entry(base_events, "heapq"_n)) s->heappush = lookup(heapq, "heappush"_n);
  if (PyObject* contextvars = module_entry(events, "contextvars"_n))
    s->copy_context = lookup(contextvars, "copy_context"_n);
  if (!is_builtin_of(s->heappush, "_heapq") || !is_builtin_of(s->copy_context, "_contextvars")) return none();
  s->base_events = std::move(base_events);
  s->events = std::move(events);
  if (!timer_class_standard(*s)) return none();
  Ref capsule = Ref::steal(PyCapsule_New(s.get(), kCapsule, drop));
  s.release();
  return capsule;
}

Ref create_future(PyObject* snapshot, PyObject* loop) {
  Snapshot* s = of(snapshot);
  if (s == nullptr || !standard_loop(*s, loop, bit(create_future_m), false))
    return call_method(loop, "create_future"_n);
  return future_on(*s, loop);
}

Ref call_later(PyObject* snapshot, PyObject* loop, PyObject* delay, PyObject* callback, PyObject* args) {
  Snapshot* s = of(snapshot);
  Ref d;
  if (s == nullptr || delay == Py_None || !timer_class_standard(*s) ||
      !(d = standard_loop(*s, loop, kTimerMethods, false)))
    return call_later_through(loop, delay, callback, args);
  return timer_on(*s, loop, d, delay, callback, args);
}

void cancel(PyObject* snapshot, PyObject* timer) {
  Snapshot* s = of(snapshot);
  if (s == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(timer)) != s->timer_handle.get() ||
      !timer_class_standard(*s)) {
    call_method(timer, "cancel"_n);
    return;
  }
  PyObject* cancelled = slot(timer, *s, Slot::cancelled);
  PyObject* scheduled = slot(timer, *s, Slot::scheduled);
  PyObject* loop = slot(timer, *s, Slot::loop);
  // Cancelled already: neither TimerHandle.cancel nor Handle.cancel does anything.
  if (cancelled == Py_True) return;
  // A timer the loop has run (or dropped), on a loop out of debug mode: the
  // loop's bookkeeping (`if handle._scheduled: ...`) and get_debug() have
  // nothing to do, so what is left is Handle.cancel's stores. Any other
  // timer (still in the heap: a wait cut short) takes Python's steps.
  if (cancelled != Py_False || scheduled != Py_False || loop == nullptr ||
      !standard_loop(*s, loop, bit(cancelled_m) | bit(get_debug_m), true)) {
    call_method(timer, "cancel"_n);
    return;
  }
  set_slot(timer, *s, Slot::cancelled, Py_True);
  set_slot(timer, *s, Slot::callback, Py_None);
  set_slot(timer, *s, Slot::args, Py_None);
}

Sleep start_sleep(PyObject* snapshot, PyObject* asyncio, PyObject* delay) {
  Snapshot* s = of(snapshot);
  Ref sleep = module_attr(asyncio, "sleep"_n);
  if (s == nullptr || sleep.get() != s->sleep.get() || !positive(delay)) return {call(sleep, delay), Ref()};
  // The sleep's own steps, with the names read from its globals at each pause.
  PyObject* g = PyFunction_GET_GLOBALS(s->sleep.get());
  Ref loop = call(module_attr(global(g, "events"_n), "get_running_loop"_n));
  // One look at the loop for both of its calls below (nothing runs in between
  // but the future's creation, which leaves the loop as it is).
  Ref d = timer_class_standard(*s) ? standard_loop(*s, loop, bit(create_future_m) | kTimerMethods, false) : Ref();
  Ref future = d ? future_on(*s, loop) : call_method(loop, "create_future"_n);
  Ref on_time = module_attr(global(g, "futures"_n), "_set_result_unless_cancelled"_n);
  Ref args = tuple({future.get(), Py_None});
  Ref timer = d ? timer_on(*s, loop, d, delay, on_time, args) : call_later_through(loop, delay, on_time, args);
  return {std::move(future), std::move(timer)};
}

void end_sleep(PyObject* snapshot, PyObject* timer, Ref error) {
  if (timer == nullptr) {
    if (error) rethrow(std::move(error));
    return;
  }
  if (!error) {
    cancel(snapshot, timer);
    return;
  }
  {
    Handling scope(error);
    cancel(snapshot, timer);
  }
  rethrow(std::move(error));
}

}  // namespace vc::aio
