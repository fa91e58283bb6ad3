"""Exceptions leave native code as they would leave the same Python code (type,
identity, cause, context, the handled exception afterwards), and module
globals are read at call time, so patches, deletions and re-imports behave as
they do for a Python module."""

from __future__ import annotations

import importlib
import sys
import types

import pytest

from fuzz import common
from fuzz import connect_token as token_ref
from fuzz import request_builder as builder_ref
from fuzz import signed_approvals as decoder_ref
from vorel_cloud import approval, parvex
from vorel_cloud.exceptions import VorelCloudError

TYPE_ERR = "request.request_hash must be bytes or hex string"


@pytest.fixture
def core(monkeypatch):
    core = common.CORE
    saved = (core.scope, core.attest, core.decode)
    for name, mod in core.modules().items():
        monkeypatch.setitem(sys.modules, name, mod)
    yield core
    core.scope, core.attest, core.decode = saved


def shape(e: BaseException | None):
    """Type, cause, context and suppression of an exception chain."""
    return common.chain(e)


def outcome(fn):
    try:
        fn()
    except BaseException as e:
        return e
    raise AssertionError("no exception")


# ---- chaining ------------------------------------------------------------------


@pytest.mark.parametrize(
    "native, python",
    [
        # raised with no exception being handled
        (lambda: parvex._normalize_request_hash(None), lambda: builder_ref.normalize_request_hash(None)),
        # `raise ... from e`: the decoder's error is the cause, context suppressed
        (
            lambda: __import__("vorel_cloud.connect").connect.parse_connect_token("vorel_ct_a"),
            lambda: token_ref.reference("vorel_ct_a"),
        ),
        (
            lambda: __import__("vorel_cloud.connect").connect.parse_connect_token("vorel_ct_" + "_w"),
            lambda: token_ref.reference("vorel_ct_" + "_w"),
        ),
        # raised inside `except`: the caught error is the context, not the cause
        (
            lambda: approval._extract_signed_approvals({"responses": [{"signed_approval": "abc"}]}),
            lambda: decoder_ref.reference({"responses": [{"signed_approval": "abc"}]}),
        ),
    ],
    ids=["plain", "cause-encoding", "cause-json", "context"],
)
def test_chaining_matches_python(core, native, python):
    got, want = outcome(native), outcome(python)
    assert type(got) is type(want)
    assert shape(got) == shape(want)
    if want.__cause__ is not None:
        assert got.__cause__ is got.__context__  # `raise from` inside except sets both


def _in_except(fn):
    try:
        raise KeyError("outer")
    except KeyError as outer:
        try:
            fn(None)
        except VorelCloudError as e:
            context = e.__context__
        return context is outer, sys.exception() is outer


def _outside_except(fn):
    try:
        fn(None)
    except VorelCloudError as e:
        context = e.__context__
    return context, sys.exception()


@pytest.mark.parametrize("where", [_in_except, _outside_except])
def test_error_raised_while_python_handles_one(where):
    """A native error raised in an `except` block gets the handled exception
    as its context, and that exception is the handled one again afterwards."""
    got = where(parvex._normalize_request_hash)
    want = where(builder_ref.normalize_request_hash)
    assert got == want
    assert got in ((True, True), (None, None))


def test_swallowed_error_leaves_no_context(core):
    """key_scope() fails and is swallowed; the error raised later in the same
    call must not carry it as context (the except block had ended)."""

    def scope_fails():
        raise RuntimeError("no warrant bound")

    core.scope = scope_fails
    req = types.SimpleNamespace(holder_key=b"\x01", warrant_id="w", tool="t")
    got = outcome(lambda: parvex.build_approval_request_payload(req))
    want = outcome(lambda: builder_ref.reference(req))
    assert shape(got) == shape(want) == ("VorelCloudError", None, None, False)
    assert sys.exception() is None


def test_errors_of_callees_pass_unchanged(monkeypatch):
    boom = LookupError("from the patched helper")

    def fails(request):
        raise boom

    monkeypatch.setattr(parvex, "_resolve_holder_key", fails)
    got = outcome(lambda: parvex.build_approval_request_payload(object()))
    assert got is boom
    assert got.__context__ is None and got.__cause__ is None
    frames = [f.name for f in __import__("traceback").extract_tb(got.__traceback__)]
    assert frames[-1] == "fails"


def test_base_exceptions_are_not_swallowed(core):
    def interrupted():
        raise KeyboardInterrupt

    core.scope = interrupted
    with pytest.raises(KeyboardInterrupt):
        parvex._resolve_signing_key()


# ---- globals read at call time ---------------------------------------------------


def test_patched_helper_takes_effect_and_undoes(monkeypatch):
    req = types.SimpleNamespace(holder_key=None)
    with pytest.raises(VorelCloudError):
        parvex.build_approval_request_payload(req)
    seen = []
    monkeypatch.setattr(parvex, "_resolve_holder_key", lambda r: seen.append(r) or b"")
    with pytest.raises(VorelCloudError):
        parvex.build_approval_request_payload(req)
    assert seen == [req]
    monkeypatch.undo()
    assert parvex._resolve_holder_key(types.SimpleNamespace(holder_key="0a")) == b"\n"


def test_patched_exception_class_is_raised(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(parvex, "VorelCloudError", Replacement)
    with pytest.raises(Replacement, match=TYPE_ERR):
        parvex._normalize_request_hash(1.5)


def test_deleted_global_raises_pythons_name_error(monkeypatch):
    monkeypatch.delattr(parvex, "_resolve_holder_key")
    with pytest.raises(NameError) as got:
        parvex.build_approval_request_payload(object())
    assert str(got.value) == "name '_resolve_holder_key' is not defined"


def test_logger_is_looked_up_when_logging(core, monkeypatch):
    def scope_fails():
        raise RuntimeError("x")

    core.scope = scope_fails
    monkeypatch.delattr(parvex, "logger")
    with pytest.raises(NameError, match=r"^name 'logger' is not defined$"):
        parvex._resolve_signing_key()


def test_patched_logger_receives_the_record(core, monkeypatch):
    records = []

    class Logger:
        def debug(self, msg, *args, **kw):
            records.append((msg, args, kw))

    def scope_fails():
        raise RuntimeError("x")

    core.scope = scope_fails
    monkeypatch.setattr(parvex, "logger", Logger())
    assert parvex._resolve_signing_key() is None
    assert [(m, type(a[0])) for m, a, _ in records] == [("key_scope unavailable: %s", RuntimeError)]


# ---- re-import -----------------------------------------------------------------------


@pytest.fixture
def fresh_parvex(monkeypatch):
    """Imports vorel_cloud.parvex anew; the original is put back afterwards."""
    import vorel_cloud

    monkeypatch.setitem(sys.modules, "vorel_cloud.parvex", sys.modules["vorel_cloud.parvex"])
    monkeypatch.setattr(vorel_cloud, "parvex", vorel_cloud.parvex)
    del sys.modules["vorel_cloud.parvex"]
    return importlib.import_module("vorel_cloud.parvex")


def test_reimport_gives_a_fresh_module(fresh_parvex, monkeypatch):
    old, new = parvex, fresh_parvex
    assert new is not old
    assert new.build_approval_request_payload is not old.build_approval_request_payload
    assert type(new.build_approval_request_payload) is not type(old.build_approval_request_payload)
    assert new.ApprovalRequestPayload is not old.ApprovalRequestPayload
    p = new.ApprovalRequestPayload("w", "t", b"", b"", "", {})
    assert not isinstance(p, old.ApprovalRequestPayload)
    # each module resolves names in its own globals
    monkeypatch.setattr(new, "_resolve_holder_key", lambda r: b"")
    with pytest.raises(VorelCloudError):
        new.build_approval_request_payload(types.SimpleNamespace(holder_key=b"\x01"))
    assert old._resolve_holder_key(types.SimpleNamespace(holder_key=b"\x01")) == b"\x01"
    # the old module keeps working after the new one took its place
    with pytest.raises(VorelCloudError, match="holder_key is required"):
        old.build_approval_request_payload(types.SimpleNamespace(holder_key=None))
    assert new.__name__ == old.__name__ == "vorel_cloud.parvex"
    assert new.build_approval_request_payload.__module__ == "vorel_cloud.parvex"


def test_reimport_does_not_leak(monkeypatch):
    """Dropping a re-imported module frees it: its types, functions, dataclass."""
    import vorel_cloud
    from support.leaks import assert_no_leak

    monkeypatch.setitem(sys.modules, "vorel_cloud.parvex", sys.modules["vorel_cloud.parvex"])
    monkeypatch.setattr(vorel_cloud, "parvex", vorel_cloud.parvex)

    def reimport():
        del sys.modules["vorel_cloud.parvex"]
        m = importlib.import_module("vorel_cloud.parvex")
        m.build_approval_request_payload.__signature__  # noqa: B018 built lazily; must go with the module

    # One leaked module would be thousands of blocks (types, dicts, functions).
    assert_no_leak(reimport, runs=60, warmup=20, block_tolerance=400, rss_tolerance_kb=4096)


def test_unbounded_recursion_through_native_code_is_a_recursion_error(monkeypatch):
    # native -> patched Python helper -> native -> ...: the interpreter's
    # recursion limit must end it (also with the sanitizer's larger frames),
    # not the C stack.
    monkeypatch.setattr(parvex, "_resolve_holder_key", lambda r: parvex.build_approval_request_payload(r))
    with pytest.raises(RecursionError):
        parvex.build_approval_request_payload(types.SimpleNamespace())
