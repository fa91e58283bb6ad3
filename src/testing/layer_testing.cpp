// _vorel_layer_testing: the runtime layer's entry points, one small function
// each, so the layer's tests do not ride on product modules. Built for the
// test suite only (never installed).
#include "modules/common.hpp"
#include "runtime/aio.hpp"
#include "runtime/vorel.hpp"

using namespace vc;

namespace {

enum class P : size_t { first, second, third };

// call(f, a, key=b): the new call form (cached kwnames, stack arguments).
Ref call_kw(Call& c) { return call(c.arg(P::first), c.arg(P::second), "key"_kw = c.arg(P::third)); }
// The same through the old form.
// f(**mapping)
Ref call_kwargs_(Call& c) { return call_kwargs(c.arg(P::first), c.arg(P::second)); }
// o.method(a, key=b) by name, new form (the method is always "get").
Ref call_get(Call& c) { return call_method(c.arg(P::first), "get"_n, c.arg(P::second), "key"_kw = c.arg(P::third)); }
// cls(): one construction, nothing kept.
Ref construct(Call& c) { return call(c.arg(P::first)); }

// getattr(o, name, default) and getattr(o, name)
Ref attr_or_(Call& c) { return attr_or(c.arg(P::first), c.arg(P::second), c.arg(P::third)); }

// try: raise exc  except type: -> True/False (errors of the clause propagate)
Ref except_matches(Call& c) {
  PyObject* exc = c.arg(P::first);
  PyObject* type = c.arg(P::second);
  try {
    raise(exc);
  } catch (PyError&) {
    Ref e = take_error();
    return boolean(caught(e, type));
  }
}

Ref import_from_(Call& c) { return import_from(c.arg(P::first), c.arg(P::second)); }
Ref import_module_(Call& c) { return import_module(c.arg(P::first)); }

// logger.info(message, arg[, extra=extra]) through the module's `logger` global
Ref log_(Call& c) {
  PyObject* extra = c.arg(P::third);
  log(c.globals(), "info", "layer says %s", {c.arg(P::second)}, extra == Py_None ? nullptr : extra);
  return none();
}

Ref fmt_(Call& c) {
  Ref shown = fmt("a={} r={!r} s={!s}.", c.arg(P::first), c.arg(P::second), c.arg(P::third));
  return shown;
}

// with manager as v: return fn(v)
Ref with_(Call& c) {
  PyObject* fn = c.arg(P::second);
  bool suppressed = false;
  Ref r = with_statement(c.arg(P::first), [&](PyObject* v) { return call(fn, v); }, &suppressed);
  return suppressed ? text("suppressed") : r;
}

// try: return fn() finally: obj.close()
Ref close_after_(Call& c) {
  PyObject* fn = c.arg(P::second);
  return close_after(c.arg(P::first), [&] { return call(fn); });
}

// async def awaiting(aw, obj): try: return await aw  finally: await obj.close()
Coro awaiting_body(Frame f) {
  Ref error;
  Ref result;
  {
    Ref aw = Ref::borrow(f.arg(P::first));
    try {
      result = co_await await(std::move(aw));
    } catch (PyError&) {
      error = take_error();
    }
  }
  if (f.arg(P::second) != Py_None) co_await aclose(f.arg(P::second), error);
  if (error) rethrow(std::move(error));
  co_return result;
}
Ref awaiting(Call& c) { return start(c, awaiting_body(Frame(c))); }

// The shared refusal translation, with ApprovalDenied = b and request = c:
// returns the error that would leave the handler for error a.
Ref refusal(Call& c) {
  Ref error = Ref::borrow(c.arg(P::first));
  return vorel::refusal_to_denial(c, error, c.arg(P::second), c.arg(P::third), [] { return fmt("timed out"); });
}
Ref cloud_error_(Call& c) { return vorel::cloud_error(c, c.arg(P::first)); }

// Pair(left=a, right=b) through the guarded dataclass construction, with the
// class read from the module global `Pair` at each call.
Ref make_pair(Call& c) {
  return construct(c, c.global("Pair"_n), "left"_kw = c.arg(P::first), "right"_kw = c.arg(P::second));
}

// The default of a parameter table whose text is a, and an annotation text
// evaluated in this module's globals.
Ref literal_(Call& c) {
  const char* source = PyUnicode_AsUTF8(c.arg(P::first));
  if (source == nullptr) throw_pending();
  return literal(source);
}
Ref annotation_(Call& c) {
  const char* source = PyUnicode_AsUTF8(c.arg(P::first));
  if (source == nullptr) throw_pending();
  return annotation(c.globals(), source);
}

// asyncio's standard pieces as they are now, and the native steps that stand
// in for loop.create_future(), loop.call_later(delay, cb, *args), timer.cancel().
Ref aio_snapshot(Call& c) { return aio::snapshot(c.global("asyncio"_n)); }
Ref aio_create_future(Call& c) { return aio::create_future(c.arg(P::first), c.arg(P::second)); }
Ref aio_cancel(Call& c) {
  aio::cancel(c.arg(P::first), c.arg(P::second));
  return none();
}
enum class Later : size_t { snapshot, loop, delay, callback, args };
Ref aio_call_later(Call& c) {
  return aio::call_later(c.arg(Later::snapshot), c.arg(Later::loop), c.arg(Later::delay), c.arg(Later::callback),
                         c.arg(Later::args));
}

const FieldDef kPairFields[] = {{"left", "Any"}, {"right", "Any", "None"}};

const Param kOne[] = {{"a"}};
const Param kTwo[] = {{"a"}, {"b"}};
const Param kThree[] = {{"a"}, {"b"}, {"c"}};
const Param kLater[] = {{"snapshot"}, {"loop"}, {"delay"}, {"callback"}, {"args"}};
const Param kAwait[] = {{"aw"}, {"closer", ParamKind::positional_or_keyword, "None"}};

const FuncDef kDefs[] = {
    {"call_kw", "f(a, key=b)", kThree, call_kw},
    {"call_kwargs", "a(**b)", kTwo, call_kwargs_},
    {"call_get", "o.get(a, key=b)", kThree, call_get},
    {"construct", "cls()", kOne, construct},
    {"attr_or", "getattr(o, name, default)", kThree, attr_or_},
    {"except_matches", "raise a; except b", kTwo, except_matches},
    {"import_from", "from a import b", kTwo, import_from_},
    {"import_module", "import a (the module a names)", kOne, import_module_},
    {"log", "logger.info('layer says %s', b, extra=c)", kThree, log_},
    {"fmt", "f'a={a} r={b!r} s={c!s}.'", kThree, fmt_},
    {"with_statement", "with a as v: return b(v)", kTwo, with_},
    {"close_after", "try: return b() finally: a.close()", kTwo, close_after_},
    {"refusal", "the handlers' refusal translation", kThree, refusal},
    {"make_pair", "Pair(left=a, right=b)", kTwo, make_pair},
    {"cloud_error", "VorelCloudError(a)", kOne, cloud_error_},
    {"literal", "a default's text, evaluated", kOne, literal_},
    {"annotation", "an annotation's text, evaluated in the globals", kOne, annotation_},
    {"aio_snapshot", "asyncio's standard pieces, or None", {}, aio_snapshot},
    {"aio_create_future", "loop.create_future()", kTwo, aio_create_future},
    {"aio_call_later", "loop.call_later(delay, callback, *args)", kLater, aio_call_later},
    {"aio_cancel", "timer.cancel()", kTwo, aio_cancel},
    {"awaiting", "try: return await aw finally: await closer.close()", kAwait, awaiting, nullptr, true},
};

void body(Module& m) {
  m.import("asyncio");
  m.import("logging");
  m.logger("vorel_cloud.layer_testing");
  m.from_import("vorel_cloud.exceptions",
                {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "VorelCloudError"});
  m.from_import("dataclasses", {"dataclass"});
  m.from_import("typing", {"Any"});
  m.dataclass("Pair", "Two values.", kPairFields, {});
  for (const FuncDef& d : kDefs) m.def(d);
}

}  // namespace

VOREL_MODULE(_vorel_layer_testing, "The runtime layer's entry points, for its tests.", body)
