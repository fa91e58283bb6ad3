#include "runtime/coroutine.hpp"

#include <frameobject.h>

#include "runtime/flow.hpp"

#include <optional>

#include "runtime/module.hpp"

namespace vc {

namespace {

enum class State : unsigned char { created, suspended, running, done };

struct CoroutineObject {
  PyObject_HEAD
  std::coroutine_handle<CoroPromise> h;
  State state;
  PyObject* name;
  PyObject* qualname;
  PyObject* globals;  // for cr_frame
  PyObject* code;     // cr_code, made on first use
  PyObject* weakrefs;
};

CoroutineObject* as_coro(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

void destroy_frame(CoroutineObject* c) {
  if (c->h) {
    auto h = std::exchange(c->h, {});
    h.destroy();
  }
  c->state = State::done;
}

// The iterator `await obj` drives, with the interpreter's rules and messages.
Ref awaitable_iterator(PyObject* o) {
  if (PyCoro_CheckExact(o)) return Ref::borrow(o);
  if (PyGen_CheckExact(o)) {
    auto* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool iterable_coroutine = code && (code->co_flags & CO_ITERABLE_COROUTINE);
    Py_XDECREF(code);
    if (iterable_coroutine) return Ref::borrow(o);
  }
  PyTypeObject* tp = Py_TYPE(o);
  unaryfunc getter = tp->tp_as_async ? tp->tp_as_async->am_await : nullptr;
  if (getter == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
    throw_pending();
  }
  Ref it = Ref::steal(getter(o));
  if (PyCoro_CheckExact(it.get())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    throw_pending();
  }
  if (!PyIter_Check(it.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    throw_pending();
  }
  return it;
}

// Throws `exc` into the awaited iterator the way `yield from` does.
PySendResult throw_into(PyObject* it, PyObject* exc, PyObject** out) {
  PyObject* meth = nullptr;
  try {
    meth = lookup(it, "throw"_n).release();
  } catch (PyError&) {
    return PYGEN_ERROR;
  }
  if (meth == nullptr) {
    PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
    return PYGEN_ERROR;
  }
  PyObject* r = PyObject_CallOneArg(meth, exc);
  Py_DECREF(meth);
  if (r != nullptr) {
    *out = r;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* e = PyErr_GetRaisedException();
    PyObject* v = PyObject_GetAttr(e, "value"_n);
    Py_DECREF(e);
    if (v == nullptr) return PYGEN_ERROR;
    *out = v;
    return PYGEN_RETURN;
  }
  return PYGEN_ERROR;
}

// Closes the awaited iterator the way generator close() does; -1 on error.
int close_iter(PyObject* it) {
  PyObject* meth = nullptr;
  try {
    meth = lookup(it, "close"_n).release();
  } catch (PyError&) {
    return -1;
  }
  if (meth == nullptr) return 0;
  PyObject* r = PyObject_CallNoArgs(meth);
  Py_DECREF(meth);
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

// One step of the coroutine: send `value` or throw `exc` (closing = the close()
// protocol). Returns the interpreter's send result with *out set (new ref) for
// NEXT and RETURN, and an exception set for ERROR.
PySendResult step(CoroutineObject* c, PyObject* value, PyObject* exc, bool closing, PyObject** out) {
  *out = nullptr;
  switch (c->state) {
    case State::running:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return PYGEN_ERROR;
    case State::done:
      if (exc != nullptr) {
        PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
      } else {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      }
      return PYGEN_ERROR;
    case State::created:
      if (exc != nullptr) {
        // Thrown in before the first step: the body never runs.
        destroy_frame(c);
        PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
        return PYGEN_ERROR;
      }
      if (value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
      }
      break;
    case State::suspended:
      break;
  }

  c->state = State::running;
  CoroPromise& p = c->h.promise();
  Ref send_value = Ref::borrow_or_null(value);
  Ref pending_exc = Ref::borrow_or_null(exc);
  // GeneratorExit thrown in closes the awaited iterator instead of being
  // thrown into it, as `yield from` does.
  bool closing_iter = closing || (exc != nullptr && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit));
  while (true) {
    if (p.awaiting) {
      PyObject* r = nullptr;
      PySendResult status;
      std::optional<Handling> scope;
      if (p.handled) scope.emplace(p.handled.get());
      if (closing_iter) {
        closing_iter = false;
        if (close_iter(p.awaiting) < 0) {
          status = PYGEN_ERROR;
        } else {
          PyErr_SetObject((PyObject*)Py_TYPE(pending_exc.get()), pending_exc.get());
          status = PYGEN_ERROR;
        }
        pending_exc = Ref();
      } else if (pending_exc) {
        status = throw_into(p.awaiting, pending_exc, &r);
        pending_exc = Ref();
      } else {
        status = PyIter_Send(p.awaiting, send_value ? send_value.get() : Py_None, &r);
      }
      scope.reset();
      if (status == PYGEN_NEXT) {
        c->state = State::suspended;
        *out = r;
        return PYGEN_NEXT;
      }
      p.awaiting = Ref();
      p.handled = Ref();
      if (status == PYGEN_RETURN) {
        p.sent_value = Ref::steal_or_null(r);
      } else {
        p.sent_error = Ref::steal_or_null(PyErr_GetRaisedException());
      }
    }
    c->h.resume();
    if (c->h.done()) {
      Ref result = std::move(p.result);
      Ref error = std::move(p.error);
      destroy_frame(c);
      if (error) {
        PyErr_SetRaisedException(error.release());
        return PYGEN_ERROR;
      }
      *out = result ? result.release() : Py_NewRef(Py_None);
      return PYGEN_RETURN;
    }
    // Suspended on a new awaitable: start driving it.
    send_value = Ref();
  }
}

// StopIteration(value), built explicitly so that a tuple stays one value.
void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (e != nullptr) {
    PyErr_SetObject(PyExc_StopIteration, e);
    Py_DECREF(e);
  }
}

PyObject* result_or_stop(PySendResult status, PyObject* r) {
  if (status == PYGEN_NEXT) return r;
  if (status == PYGEN_RETURN) {
    set_stop_iteration(r);
    Py_DECREF(r);
  }
  return nullptr;
}

PySendResult co_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  return step(as_coro(self), arg ? arg : Py_None, nullptr, false, out);
}

PyObject* co_send(PyObject* self, PyObject* arg) {
  PyObject* r = nullptr;
  PySendResult status = step(as_coro(self), arg, nullptr, false, &r);
  return result_or_stop(status, r);
}

PyObject* co_iternext(PyObject* self) {
  PyObject* r = nullptr;
  PySendResult status = step(as_coro(self), Py_None, nullptr, false, &r);
  return result_or_stop(status, r);
}

PyObject* co_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
    return nullptr;
  }
  PyObject* typ = args[0];
  if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature "
                                "instead.",
                                1) < 0)
    return nullptr;
  Ref exc;
  if (PyExceptionInstance_Check(typ)) {
    if (nargs > 1 && args[1] != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow_or_null(typ);
  } else if (PyExceptionClass_Check(typ)) {
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    exc = Ref::steal_or_null(val == Py_None ? PyObject_CallNoArgs(typ) : PyObject_CallOneArg(typ, val));
    if (!exc) return nullptr;
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return nullptr;
  }
  if (nargs == 3 && args[2] != Py_None) {
    if (!PyTraceBack_Check(args[2])) {
      PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
      return nullptr;
    }
    PyException_SetTraceback(exc, args[2]);
  }
  PyObject* r = nullptr;
  PySendResult status = step(as_coro(self), Py_None, exc, false, &r);
  return result_or_stop(status, r);
}

PyObject* co_close(PyObject* self, PyObject*) {
  CoroutineObject* c = as_coro(self);
  if (c->state == State::created || c->state == State::done) {
    destroy_frame(c);
    Py_RETURN_NONE;
  }
  if (c->state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  PyObject* ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (ge == nullptr) return nullptr;
  PyObject* r = nullptr;
  PySendResult status = step(c, Py_None, ge, true, &r);
  Py_DECREF(ge);
  if (status == PYGEN_NEXT) {
    Py_DECREF(r);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (status == PYGEN_RETURN) {
    Py_DECREF(r);
    Py_RETURN_NONE;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

PyObject* co_await_self(PyObject* self) { return Py_NewRef(self); }

void co_finalize(PyObject* self) {
  CoroutineObject* c = as_coro(self);
  if (c->state == State::done) return;
  PyObject* saved = PyErr_GetRaisedException();
  if (c->state == State::created) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->qualname) < 0)
      PyErr_WriteUnraisable(self);
    destroy_frame(c);
  } else {
    PyObject* r = co_close(self, nullptr);
    if (r == nullptr) PyErr_WriteUnraisable(self);
    Py_XDECREF(r);
  }
  PyErr_SetRaisedException(saved);
}

int co_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroutineObject* c = as_coro(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->name);
  Py_VISIT(c->qualname);
  Py_VISIT(c->globals);
  Py_VISIT(c->code);
  if (c->h) {
    CoroPromise& p = c->h.promise();
    Py_VISIT(p.awaiting.get());
    Py_VISIT(p.handled.get());
    Py_VISIT(p.sent_value.get());
    Py_VISIT(p.sent_error.get());
    Py_VISIT(p.result.get());
    Py_VISIT(p.error.get());
  }
  return 0;
}

int co_clear(PyObject* self) {
  CoroutineObject* c = as_coro(self);
  if (c->h) {
    CoroPromise& p = c->h.promise();
    p.awaiting = Ref();
    p.handled = Ref();
    p.sent_value = Ref();
    p.sent_error = Ref();
  }
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->globals);
  Py_CLEAR(c->code);
  return 0;
}

void co_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  CoroutineObject* c = as_coro(self);
  if (c->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  destroy_frame(c);
  co_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* co_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::running); }

PyObject* get_await(PyObject* self, void*) {
  CoroutineObject* c = as_coro(self);
  if (c->h && c->h.promise().awaiting) return Py_NewRef(c->h.promise().awaiting.get());
  Py_RETURN_NONE;
}

PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::suspended); }

// A code object naming the native function (no bytecode), as introspection
// and inspect.getcoroutinestate() expect one.
PyObject* get_code(PyObject* self, void*) {
  CoroutineObject* c = as_coro(self);
  if (c->code == nullptr) {
    const char* name = PyUnicode_AsUTF8(c->name);
    if (name == nullptr) return nullptr;
    PyObject* module = c->globals ? PyDict_GetItemWithError(c->globals, "__name__"_n) : nullptr;
    if (module == nullptr && PyErr_Occurred()) return nullptr;
    const char* file = module && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : "<native>";
    if (file == nullptr) return nullptr;
    c->code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, 0));
    if (c->code == nullptr) return nullptr;
  }
  return Py_NewRef(c->code);
}

// A frame while the coroutine can still run (created, suspended, running),
// None once it has finished: what inspect.getcoroutinestate() reads.
PyObject* get_frame(PyObject* self, void*) {
  CoroutineObject* c = as_coro(self);
  if (c->state == State::done || c->globals == nullptr) Py_RETURN_NONE;
  PyObject* code = get_code(self, nullptr);
  if (code == nullptr) return nullptr;
  PyObject* frame = reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), c->globals, nullptr));
  Py_DECREF(code);
  return frame;
}

#if PY_VERSION_HEX >= 0x030F0000
// 3.15's coroutines say their state themselves (inspect.getcoroutinestate()
// reads it); the same four texts, decided as inspect decided them before.
PyObject* get_state(PyObject* self, void*) {
  CoroutineObject* c = as_coro(self);
  PyObject* s = c->state == State::running                         ? "CORO_RUNNING"_n
                : c->state == State::suspended                     ? "CORO_SUSPENDED"_n
                : c->state == State::done || c->globals == nullptr ? "CORO_CLOSED"_n
                                                                   : "CORO_CREATED"_n;
  return Py_NewRef(s);
}
#endif

PyMethodDef co_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(co_send), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(co_throw)), METH_FASTCALL,
     "throw(value)\n-> raise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", reinterpret_cast<PyCFunction>(co_close), METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef co_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(CoroutineObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(CoroutineObject, qualname), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef co_getset[] = {{"cr_running", get_running, nullptr, nullptr, nullptr},
                           {"cr_await", get_await, nullptr, nullptr, nullptr},
                           {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
                           {"cr_code", get_code, nullptr, nullptr, nullptr},
                           {"cr_frame", get_frame, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030F0000
                           {"cr_state", get_state, nullptr, nullptr, nullptr},
#endif
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot co_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(co_dealloc)},
                          {Py_tp_finalize, reinterpret_cast<void*>(co_finalize)},
                          {Py_tp_traverse, reinterpret_cast<void*>(co_traverse)},
                          {Py_tp_clear, reinterpret_cast<void*>(co_clear)},
                          {Py_tp_repr, reinterpret_cast<void*>(co_repr)},
                          {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                          {Py_tp_iternext, reinterpret_cast<void*>(co_iternext)},
                          {Py_am_await, reinterpret_cast<void*>(co_await_self)},
                          {Py_am_send, reinterpret_cast<void*>(co_am_send)},
                          {Py_tp_methods, co_methods},
                          {Py_tp_members, co_members},
                          {Py_tp_getset, co_getset},
                          {0, nullptr}};

PyType_Spec co_spec = {
    "vorel_cloud.native_coroutine", sizeof(CoroutineObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, co_slots};

}  // namespace

Coro CoroPromise::get_return_object() noexcept { return Coro(std::coroutine_handle<CoroPromise>::from_promise(*this)); }

void CoroPromise::unhandled_exception() noexcept {
  try {
    throw;
  } catch (PyError&) {
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "native coroutine failed with a C++ exception");
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native coroutine failed without an exception");
  error = Ref::steal_or_null(PyErr_GetRaisedException());
}

bool Await::await_ready() {
  iterator_ = awaitable_iterator(awaitable_);
  // Keep only the iterator, as GET_AWAITABLE does: a reference held by the
  // suspended frame is invisible to tp_traverse, so a cycle through the
  // awaited object (Task -> coroutine -> future -> Task) could not be collected.
  awaitable_ = Ref();
  return false;
}

void Await::await_suspend(std::coroutine_handle<CoroPromise> h) noexcept {
  promise_ = &h.promise();
  promise_->awaiting = std::move(iterator_);
  promise_->handled = std::move(handled_);
}

Ref Await::await_resume() {
  if (promise_->sent_error) {
    PyErr_SetRaisedException(promise_->sent_error.release());
    throw PyError{};
  }
  Ref v = std::move(promise_->sent_value);
  return v ? v : none();
}

Ref start(const Call& call, Coro body) {
  PyObject* module = PyType_GetModule(Py_TYPE(call.self()));
  if (module == nullptr) throw_pending();
  PyObject* type = state_of(module).coroutine_type;
  // Named before it exists: a name that cannot be read leaves no half-made
  // coroutine behind to warn that it was never awaited.
  Ref name = function_name(call);
  Ref qualname = function_qualname(call);
  Ref obj = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
  CoroutineObject* c = as_coro(obj);
  c->name = name.release();
  c->qualname = qualname.release();
  c->globals = Py_NewRef(call.globals());
  c->h = body.release();
  c->state = State::created;
  return obj;
}

bool AClose::await_ready() noexcept {
  try {
    Ref closing;
    if (error_) {
      Handling scope(error_);
      closing = call_method(obj_, "close"_n);
      iterator_ = awaitable_iterator(closing);
    } else {
      closing = call_method(obj_, "close"_n);
      iterator_ = awaitable_iterator(closing);
    }
    return false;
  } catch (PyError&) {
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native clean-up failed");
  }
  error_ = Ref::steal_or_null(PyErr_GetRaisedException());
  return true;
}

void AClose::await_suspend(std::coroutine_handle<CoroPromise> h) noexcept {
  promise_ = &h.promise();
  promise_->awaiting = std::move(iterator_);
  promise_->handled = error_;
}

void AClose::await_resume() noexcept {
  if (promise_ == nullptr) return;  // close() itself failed: error_ is set
  if (promise_->sent_error) error_ = std::move(promise_->sent_error);
  promise_->sent_value = Ref();
}

PyObject* create_coroutine_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &co_spec, nullptr));
  Ref abc = import_module("collections.abc"_n);
  call_method(attr(abc, "Coroutine"_n), "register"_n, type);
  return type.release();
}

}  // namespace vc
