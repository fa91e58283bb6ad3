"""The runtime layer through its own test module: each entry point against
the same step written in Python, the coroutine protocol against a Python
coroutine, and leaks counted in blocks and in references to touched objects."""

from __future__ import annotations

import asyncio
import builtins
import inspect
import types

import _vorel_layer_testing as lt
import pytest

from support.leaks import assert_no_leak

LEAK = dict(runs=2000, warmup=300, block_tolerance=400)


class Closer:
    def __init__(self, fail=None):
        self.closed, self.fail = 0, fail

    def close(self):
        self.closed += 1
        if self.fail:
            raise self.fail

    async def aclose(self):
        return self.close()


class Prop:
    ok = 1

    @property
    def broken(self):
        raise ValueError("inside")


@pytest.mark.parametrize(
    "native, python",
    [
        (lambda: lt.call_kw(dict, 1, 2), lambda: TypeError),
        (lambda: lt.call_kw(lambda a, key: (a, key), 1, 2), lambda: (1, 2)),
        (lambda: lt.call_get(types.SimpleNamespace(get=lambda a, key: [a, key]), 1, 2), lambda: [1, 2]),
        (lambda: lt.attr_or(Prop(), "ok", 0), lambda: 1),
        (lambda: lt.attr_or(Prop(), "missing", 7), lambda: 7),
        (lambda: lt.attr_or(Prop(), "broken", 0), lambda: ValueError),
        (lambda: lt.fmt(1.5, "x", "y"), lambda: f"a={1.5} r={'x'!r} s={'y'!s}."),
        (lambda: lt.import_module("os.path"), lambda: __import__("os.path").path),
        (lambda: lt.import_from("email", "nope"), lambda: ImportError),
    ],
)
def test_steps_match_python(native, python):
    want = python()
    if isinstance(want, type) and issubclass(want, BaseException):
        with pytest.raises(want):
            native()
    else:
        assert native() == want


@pytest.mark.parametrize(
    "clause, outcome",
    [
        (KeyError, True),
        ((ValueError, LookupError), True),
        (ValueError, False),
        (5, TypeError),
        ((KeyError, "x"), TypeError),
    ],
)
def test_except_clause(clause, outcome):
    exc = KeyError("k")
    if outcome is TypeError:
        with pytest.raises(TypeError, match="catching classes that do not inherit from BaseException") as info:
            lt.except_matches(exc, clause)
        assert info.value.__context__ is exc
    else:
        assert lt.except_matches(exc, clause) is outcome


class Keyed:
    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        return key * 2


def kw_only(**kw):
    return kw


@pytest.mark.parametrize("f", [kw_only, Closer().close, dict, Prop], ids=["function", "method", "builtin", "class"])
@pytest.mark.parametrize("mapping", [{"a": 1}, Keyed(), [("a", 1)], {1: 2}], ids=["dict", "keys", "list", "int-key"])
def test_call_kwargs_is_a_double_star_call(f, mapping):
    def outcome(step):
        try:
            return step()
        except TypeError as e:
            return TypeError, str(e)

    assert outcome(lambda: lt.call_kwargs(f, mapping)) == outcome(lambda: f(**mapping))


def test_import_and_logger_patches_are_seen(monkeypatch):
    seen, sep = [], __import__("os").sep
    original = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", lambda *a, **k: seen.append(a[:1] + a[3:]) or original(*a, **k))
    assert lt.import_from("os", "sep") == sep
    assert seen == [("os", ("sep",), 0)]
    monkeypatch.undo()
    logger = types.SimpleNamespace(info=lambda *a, **k: seen.append((a, k)))
    monkeypatch.setattr(lt, "logger", logger)
    lt.log(None, "v", {"x": 1})
    lt.log(None, "w", None)
    assert seen[1:] == [(("layer says %s", "v"), {"extra": {"x": 1}}), (("layer says %s", "w"), {})]


class Denied(Exception):
    def __init__(self, request, reason):
        super().__init__(request, reason)
        self.reason = reason


@pytest.mark.parametrize("kind", ["ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "KeyError"])
def test_refusal_becomes_denial(kind):
    from vorel_cloud import exceptions

    cls = getattr(exceptions, kind, KeyError)
    error = cls("r-1", 5) if kind == "ApprovalTimeoutError" else cls("no")
    out = lt.refusal(error, Denied, "req")
    if kind == "KeyError":
        assert out is error
        return
    assert isinstance(out, Denied) and out.args[0] == "req"
    timed_out = kind == "ApprovalTimeoutError"
    assert out.reason == ("timed out" if timed_out else str(error))
    assert (out.__cause__, out.__context__) == ((None, error) if timed_out else (error, error))
    assert isinstance(lt.cloud_error("m"), exceptions.VorelCloudError)


@pytest.mark.parametrize("patch", [None, "init", "global"])
def test_guarded_dataclass_construction(monkeypatch, patch):
    """The fast path builds what the generated __init__ builds; a patched
    __init__ or a patched module global is called as Python would."""
    calls = []
    if patch == "init":
        init = lt.Pair.__init__
        monkeypatch.setattr(lt.Pair, "__init__", lambda self, *a, **kw: calls.append(kw) or init(self, *a, **kw))
    elif patch == "global":
        monkeypatch.setattr(lt, "Pair", lambda **kw: calls.append(kw) or kw)
    made = lt.make_pair(1, [2])
    if patch == "global":
        assert made == {"left": 1, "right": [2]}
    else:
        assert made == lt.Pair(1, [2]) and vars(made) == {"left": 1, "right": [2]}
    assert calls[:1] == ([] if patch is None else [{"left": 1, "right": [2]}])
    if patch is None:
        assert_no_leak(lambda: lt.make_pair(made, lt), objects=(made, lt, lt.Pair), **LEAK)


class Manager:
    def __init__(self, swallow):
        self.swallow, self.exits = swallow, []

    def __enter__(self):
        return "v"

    def __exit__(self, *exc):
        self.exits.append(exc[0])
        return self.swallow


@pytest.mark.parametrize("swallow", [False, True])
def test_with_and_close_after(swallow):
    m = Manager(swallow)
    assert lt.with_statement(m, lambda v: v + "!") == "v!"

    def boom(v):
        raise KeyError(v)

    if swallow:
        assert lt.with_statement(m, boom) == "suppressed"
    else:
        with pytest.raises(KeyError):
            lt.with_statement(m, boom)
    assert m.exits == [None, KeyError]
    c = Closer(fail=OSError("close") if swallow else None)
    with pytest.raises(OSError if swallow else KeyError) as info:
        lt.close_after(c, lambda: boom("x"))
    assert c.closed == 1 and (not swallow or isinstance(info.value.__context__, KeyError))


# ---- the coroutine protocol --------------------------------------------------------


class Step:
    """An awaitable that yields once; a throw() into it ends it with a value."""

    def __await__(self):
        try:
            yield "tick"
        except KeyError:
            return "caught"
        return "sent"


async def python_awaiting(aw, closer=None):
    try:
        return await aw
    finally:
        if closer is not None:
            await closer.aclose()


def drive(make, script):
    """Runs `script` (a list of (method, arg)) on make(); records each outcome."""
    coro, out = make(), []
    for method, arg in script:
        try:
            r = getattr(coro, method)(*arg)
            out.append(("value", r))
        except StopIteration as e:
            out.append(("stop", e.value))
        except BaseException as e:
            out.append((type(e).__name__, str(e)))
        out.append(inspect.getcoroutinestate(coro))
    coro.close()
    return out


@pytest.mark.parametrize(
    "script",
    [
        [("send", (1,))],
        [("send", (None,)), ("send", (None,)), ("send", (None,))],
        [("send", (None,)), ("throw", (KeyError("k"),)), ("send", (None,))],
        [("send", (None,)), ("throw", (ValueError("v"),))],
        [("throw", (KeyError("k"),)), ("send", (None,))],
        [("send", (None,)), ("close", ()), ("send", (None,))],
    ],
    ids=["send-non-None-first", "run-out", "throw-caught", "throw-uncaught", "throw-first", "close"],
)
def test_protocol_matches_python_coroutine(script):
    python = drive(lambda: python_awaiting(Step()), script)
    native = drive(lambda: lt.awaiting(Step()), script)
    assert native == python
    coro = lt.awaiting(Step())
    assert coro.cr_code.co_name == "awaiting" and coro.cr_await is None
    coro.send(None)
    assert coro.cr_await is not None and coro.cr_running is False
    coro.close()


@pytest.mark.parametrize("fail", [None, OSError("close")])
def test_aclose_chains_like_finally(fail):
    async def bad():
        raise KeyError("body")

    async def run(fn):
        try:
            await fn(bad(), types.SimpleNamespace(close=Closer(fail).aclose, aclose=Closer(fail).aclose))
        except BaseException as e:
            return type(e), type(e.__context__)

    assert asyncio.run(run(lt.awaiting)) == asyncio.run(run(python_awaiting))


# ---- leaks -----------------------------------------------------------------------------


class Made:
    pass


def f(a, key):
    return key


def test_no_reference_leaks():
    holder, arg = types.SimpleNamespace(get=f), object()
    assert_no_leak(lambda: lt.construct(Made), objects=(Made,), **LEAK)
    assert_no_leak(lambda: lt.call_kw(f, arg, holder), objects=(f, arg, holder), **LEAK)
    assert_no_leak(lambda: lt.call_get(holder, arg, arg), objects=(f, arg, holder), **LEAK)
    assert_no_leak(lambda: lt.attr_or(holder, "nope", arg), objects=(holder, arg), **LEAK)
    assert_no_leak(lambda: lt.except_matches(KeyError(), (ValueError, 1)), expect=TypeError, **LEAK)


def test_no_leak_per_throw_into_a_finished_iterator():
    closer = types.SimpleNamespace(close=Closer().aclose)

    def once():
        coro = lt.awaiting(Step(), closer)
        coro.send(None)
        try:
            coro.throw(KeyError("k"))  # a fresh one: a re-raised error grows its traceback
        except StopIteration:
            pass

    assert_no_leak(once, objects=(closer, Step), **LEAK)


def test_product_except_clause_with_a_non_class_global(monkeypatch):
    """A module global used in an `except` clause, patched to a non-class,
    raises Python's TypeError (context: the error being matched)."""
    from vorel_cloud import approval

    failure = KeyError("create failed")
    closer = Closer()

    class Client:
        def __init__(self, *a, **k):
            pass

        def create_request(self, **kwargs):
            raise failure

        close = closer.close

    payload = types.SimpleNamespace(to_create_request_kwargs=dict)
    monkeypatch.setattr(approval, "build_approval_request_payload", lambda *a, **k: payload)
    monkeypatch.setattr(approval, "VorelCloudClient", Client)
    monkeypatch.setattr(approval, "ApprovalDeniedError", "not a class")
    with pytest.raises(TypeError, match="catching classes that do not inherit") as info:
        approval.cloud_approval("k")(types.SimpleNamespace(tool="t"))
    assert info.value.__context__ is failure and closer.closed == 1
