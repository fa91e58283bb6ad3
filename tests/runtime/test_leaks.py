"""Reference leaks of the runtime layer's own paths: argument parsing and its
TypeErrors, global look-ups, exception chaining, closures, method binding,
signatures; and of the request builder on every error path of its steps
(success and the first error paths are in tests/parvex)."""

from __future__ import annotations

import inspect
import sys
import types

import pytest

from fuzz import common
from support.leaks import assert_no_leak
from vorel_cloud import approval, parvex
from vorel_cloud.exceptions import VorelCloudError

# One leaked reference per call shows as >= 2000 blocks.
LEAK = dict(runs=2000, warmup=500, block_tolerance=400)


@pytest.fixture
def core(monkeypatch):
    core = common.CORE
    saved = (core.scope, core.attest, core.decode)
    for name, mod in core.modules().items():
        monkeypatch.setitem(sys.modules, name, mod)
    core.scope = lambda: None
    yield core
    core.scope, core.attest, core.decode = saved


f = parvex._build_attestation_fields


@pytest.mark.parametrize(
    "call",
    [
        lambda: f(),
        lambda: f(1, 2, 3),
        lambda: f(1, signing_key=2, holder_key=3, bogus=4),
        lambda: f(1, request=1, signing_key=2, holder_key=3),
        lambda: f(1),
        lambda: parvex.ApprovalRequestPayload("w", "t", b"", b"", "", {}).to_create_request_kwargs(1),
    ],
    ids=["missing", "too-many", "unexpected", "twice", "kw-only-missing", "bound-too-many"],
)
def test_argument_errors(call):
    assert_no_leak(call, expect=TypeError, **LEAK)


def test_calls_with_keywords_and_defaults():
    req = types.SimpleNamespace(policy_ref="p")
    assert_no_leak(lambda: parvex._extract_policy_id(req, override=None), **LEAK)
    assert_no_leak(lambda: parvex._extract_policy_id(request=req), **LEAK)


def test_missing_global(monkeypatch):
    monkeypatch.delattr(parvex, "_resolve_holder_key")
    assert_no_leak(lambda: parvex.build_approval_request_payload(object()), expect=NameError, **LEAK)


def test_raise_inside_except_and_from(core):
    bad = {"responses": [{"signed_approval": "abc"}]}  # context: the base64 error
    assert_no_leak(lambda: approval._extract_signed_approvals(bad), expect=VorelCloudError, **LEAK)
    from vorel_cloud import connect

    assert_no_leak(lambda: connect.parse_connect_token("vorel_ct_a"), expect=VorelCloudError, **LEAK)  # from


def test_error_while_python_handles_one():
    def call():
        try:
            raise KeyError("k")
        except KeyError:
            parvex._normalize_request_hash(None)

    assert_no_leak(call, expect=VorelCloudError, **LEAK)


def test_closures_bound_methods_and_signatures():
    assert_no_leak(lambda: approval.cloud_approval("k", timeout=1.0), **LEAK)
    p = parvex.ApprovalRequestPayload("w", "t", b"", b"", "", {})
    assert_no_leak(lambda: p.to_create_request_kwargs(), **LEAK)

    def fresh_signature():
        h = approval.cloud_approval("k")
        return inspect.signature(h), h.__annotations__

    assert_no_leak(fresh_signature, **LEAK)


def test_coroutine_created_and_closed_unstarted(core):
    handler = approval.async_cloud_approval("k")

    def make_and_close():
        handler(object()).close()

    assert_no_leak(make_and_close, **LEAK)


# ---- the builder's remaining error paths --------------------------------------


class Req:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class RaisingToBytes:
    def to_bytes(self):
        raise LookupError("to_bytes")


BASE = dict(holder_key=b"\xaa", warrant_id="w", tool="t", arguments={})


def _core_fails(*a):
    raise common.CoreError("signing core")


@pytest.mark.parametrize(
    "request_attrs, attest, expect",
    [
        (dict(holder_key=RaisingToBytes()), None, LookupError),
        (
            dict(
                BASE,
                approval_context_attestation={"k": 1},
                args_canonical_cbor_b64="YQ==",
                request_hash=None,
                required_approvers=5,
            ),
            None,
            VorelCloudError,
        ),
        (
            dict(BASE, args_canonical_cbor_b64="YQ==", approval_context_attestation={"request_hash": "zz"}),
            None,
            ValueError,
        ),
        (
            dict(
                BASE,
                args_canonical_cbor_b64="YQ==",
                approval_context_attestation={"k": 1},
                request_hash=b"\x01",
                required_approvers=5,
            ),
            None,
            TypeError,
        ),
        (
            dict(
                BASE,
                args_canonical_cbor_b64="YQ==",
                approval_context_attestation={"k": 1},
                request_hash=b"\x01",
                ttl_seconds=None,
                gate_ttl=float("inf"),
            ),
            None,
            OverflowError,
        ),
        (BASE, _core_fails, common.CoreError),
        (BASE, lambda *a: ("a", {}, "extra"), ValueError),
        (BASE, lambda *a: 7, TypeError),
        ({k: v for k, v in BASE.items() if k != "tool"}, lambda *a: ("a", {}), AttributeError),
        (dict(BASE, request_hash=None), lambda *a: ("a", {}), VorelCloudError),
    ],
    ids=[
        "to_bytes-raises",
        "no-hash",
        "bad-attested-hex",
        "approvers-not-iterable",
        "ttl-overflow",
        "core-raises",
        "core-three-items",
        "core-not-iterable",
        "tool-missing",
        "empty-attestation",
    ],
)
def test_builder_error_paths(core, request_attrs, attest, expect):
    req = Req(**request_attrs)
    key = common.FakeKey(b"\x02")
    if attest is not None:
        core.attest = attest
    assert_no_leak(lambda: parvex.build_approval_request_payload(req, signing_key=key), expect=expect, **LEAK)


def test_builder_with_signing_core_success(core):
    core.attest = lambda *a: ("YQ==", {"request_hash": "aabb"})
    req = Req(**BASE, required_approvers=[b"\x01", "x"], gate_ttl="30", policy_ref="p")
    key = common.FakeKey(b"\x02")
    p = parvex.build_approval_request_payload(req, signing_key=key)
    assert (p.request_hash, p.approver_keys, p.ttl_seconds) == (b"\xaa\xbb", ["01", "x"], 30)
    assert_no_leak(
        lambda: parvex.build_approval_request_payload(req, signing_key=key).to_create_request_kwargs(), **LEAK
    )
