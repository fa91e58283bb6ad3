"""Approval requests and denials, control-plane decoding, warrant scoping and the guard flow."""

from __future__ import annotations

import asyncio
import base64
import contextvars
import threading

import pytest
from vorel.approval import ApprovalDenied, ApprovalRequest, build_approval_request, check_approvals
from vorel.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from vorel.decorators import bound_key, current_warrant, guard, key_scope, warrant_scope
from vorel_core import SignedApproval, SigningKey, verify_approval_context_attestation

HOLDER = SigningKey.from_hex("33" * 32)
APPROVER = SigningKey.from_hex("44" * 32)
APPROVER_2 = SigningKey.from_hex("55" * 32)
STRANGER = SigningKey.from_hex("66" * 32)


def approve_with(*keys, **overrides):
    """A handler that signs whatever it is asked with ``keys``; overrides tamper with the approval."""

    def handler(request: ApprovalRequest):
        fields = {
            "request_hash": request.request_hash,
            "warrant_id": request.warrant_id,
            "tool": request.tool,
            **overrides,
        }
        return [SignedApproval.create(k, **fields) for k in keys]

    return handler


# -- ApprovalDenied ------------------------------------------------------------


def test_approval_denied_carries_request_and_reason():
    request = ApprovalRequest(tool="send_email")
    err = ApprovalDenied(request, reason="reviewer said no")
    assert err.request is request and err.reason == "reviewer said no"
    assert str(err) == "approval denied for tool 'send_email': reviewer said no"
    assert "reviewer said no" in str(ApprovalDenied(None, reason="reviewer said no"))


# -- control-plane responses ---------------------------------------------------


def test_signed_approvals_from_response_decodes_in_order():
    approvals = [
        SignedApproval.create(k, request_hash=b"\x01" * 32, warrant_id="w", tool="t") for k in (APPROVER, APPROVER_2)
    ]
    response = ControlPlaneApprovalResponseV1(
        status="approved", signed_approvals_b64=[a.to_base64() for a in approvals]
    )
    assert signed_approvals_from_response(response) == approvals


@pytest.mark.parametrize("texts", [None, []])
def test_signed_approvals_from_empty_response(texts):
    assert (
        signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts))
        == []
    )


@pytest.mark.parametrize(
    "bad",
    [
        "not base64 at all!",
        base64.b64encode(b"\xa0").decode(),
        "*".join(SignedApproval.create(APPROVER, request_hash=b"\x01", warrant_id="w", tool="t").to_base64()),
    ],
    ids=["invalid base64", "valid base64, not an approval", "characters outside the alphabet"],
)
def test_signed_approvals_from_response_rejects_undecodable(bad):
    good = SignedApproval.create(APPROVER, request_hash=b"\x01", warrant_id="w", tool="t").to_base64()
    with pytest.raises(ValueError, match="#1"):
        signed_approvals_from_response(
            ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=[good, bad])
        )


# -- warrant scoping -----------------------------------------------------------


def test_scopes_nest_and_restore():
    assert key_scope() is None
    with warrant_scope("w-1", signing_key=HOLDER, min_approvals=2):
        assert key_scope() is HOLDER
        with bound_key(APPROVER):
            assert key_scope() is APPROVER
            assert current_warrant().warrant_id == "w-1" and current_warrant().min_approvals == 2
        assert key_scope() is HOLDER
    assert key_scope() is None and current_warrant() is None


def test_binding_does_not_leak_into_other_threads():
    seen = {}

    def look(name):
        seen[name] = key_scope()

    with bound_key(HOLDER):
        plain = threading.Thread(target=look, args=("plain",))
        plain.start()
        plain.join()
        ctx = contextvars.copy_context()
        copied = threading.Thread(target=ctx.run, args=(look, "copied"))
        copied.start()
        copied.join()
    assert seen == {"plain": None, "copied": HOLDER}


def test_concurrent_tasks_keep_their_own_binding():
    async def worker(key, results):
        with bound_key(key):
            await asyncio.sleep(0.01)  # let the other task bind in between
            results.append((key, key_scope()))

    async def read():
        return key_scope()

    async def main():
        results = []
        with bound_key(HOLDER):
            inherited = await asyncio.create_task(read())
            await asyncio.gather(worker(APPROVER, results), worker(APPROVER_2, results))
            assert key_scope() is HOLDER
        return inherited, results

    inherited, results = asyncio.run(main())
    assert inherited is HOLDER
    assert sorted(results, key=lambda r: r[0].to_hex()) == [(APPROVER, APPROVER), (APPROVER_2, APPROVER_2)]


# -- building and checking requests ----------------------------------------------


def test_request_from_active_warrant_is_attested():
    with warrant_scope("w-7", signing_key=HOLDER, required_approvers=[APPROVER.public_key], ttl_seconds=60):
        request = build_approval_request("send_email", {"to": "bob"}, request_id="r-1")
    assert (request.warrant_id, request.request_id, request.ttl_seconds) == ("w-7", "r-1", 60)
    assert request.holder_key == HOLDER.public_key.to_bytes()
    assert request.required_approvers == [APPROVER.public_key.to_bytes()]
    hashed = verify_approval_context_attestation(request.approval_context_attestation, request.args_canonical_cbor_b64)
    assert hashed == request.request_hash


def test_request_without_key_has_no_attestation():
    request = build_approval_request("t", {"a": 1}, warrant_id="w")
    assert request.holder_key is request.request_hash is request.approval_context_attestation is None
    assert request.request_id


def _attested_request(**rules):
    return build_approval_request("send_email", {"to": "bob"}, warrant_id="w-1", signing_key=HOLDER, **rules)


def test_check_approvals_accepts_enough_trusted_approvals():
    request = _attested_request(required_approvers=[APPROVER.public_key, APPROVER_2.public_key], min_approvals=2)
    approvals = approve_with(APPROVER, APPROVER_2)(request)
    assert check_approvals(request, approvals) == approvals


@pytest.mark.parametrize(
    "result_of, rules, reason",
    [
        (lambda r: None, {}, "no signed approval"),
        (lambda r: [], {}, "no signed approval"),
        (lambda r: True, {}, "not a SignedApproval"),
        (lambda r: approve_with(APPROVER, request_hash=b"\x00" * 32)(r), {}, "different request"),
        (lambda r: approve_with(APPROVER, tool="other_tool")(r), {}, "different tool or warrant"),
        (lambda r: approve_with(APPROVER, warrant_id="w-2")(r), {}, "different tool or warrant"),
        (lambda r: approve_with(STRANGER)(r), {"required_approvers": [APPROVER.public_key]}, "trusted"),
        (lambda r: approve_with(APPROVER, APPROVER)(r), {"min_approvals": 2}, "2 distinct approvals required, got 1"),
        (lambda r: approve_with(APPROVER, ttl_seconds=0, now=1_000)(r), {}, "expired"),
    ],
)
def test_check_approvals_refuses(result_of, rules, reason):
    request = _attested_request(**rules)
    with pytest.raises(ApprovalDenied, match=reason) as caught:
        check_approvals(request, result_of(request))
    assert caught.value.request is request


# -- guard -----------------------------------------------------------------------


def test_guard_runs_the_function_only_after_approval():
    calls = []
    asked = []

    def handler(request):
        asked.append((request.tool, request.arguments, list(calls)))
        return approve_with(APPROVER)(request)

    @guard(approval_handler=handler, warrant_id="w-1", signing_key=HOLDER)
    def send_email(to, subject="hi"):
        calls.append(to)
        return f"sent to {to}"

    assert send_email("bob") == "sent to bob"
    assert asked == [("send_email", {"to": "bob", "subject": "hi"}, [])]


def test_guard_refusal_stops_the_function():
    calls = []

    def handler(request):
        raise ApprovalDenied(request, reason="not today")

    @guard("mail", approval_handler=handler, signing_key=HOLDER)
    def send_email(to):
        calls.append(to)

    with pytest.raises(ApprovalDenied, match="not today") as caught:
        send_email("bob")
    assert calls == [] and caught.value.request.tool == "mail"


def test_guard_without_handler_refuses():
    @guard(approval_handler=None)
    def act():
        raise AssertionError("must not run")

    with pytest.raises(ApprovalDenied, match="no approval handler"):
        act()


def test_guard_takes_key_and_warrant_from_the_scope_at_call_time():
    seen = []

    def handler(request):
        seen.append((request.warrant_id, request.holder_key))
        return approve_with(APPROVER)(request)

    @guard(approval_handler=handler)
    def act(x):
        return x

    with warrant_scope("w-scope", signing_key=HOLDER):
        assert act(1) == 1
    assert seen == [("w-scope", HOLDER.public_key.to_bytes())]


@pytest.mark.parametrize("handler_is_async", [False, True])
@pytest.mark.parametrize("function_is_async", [False, True])
def test_guard_mixes_sync_and_async(handler_is_async, function_is_async):
    sync_handler = approve_with(APPROVER)

    async def async_handler(request):
        await asyncio.sleep(0)
        return sync_handler(request)

    gate = guard(approval_handler=async_handler if handler_is_async else sync_handler, signing_key=HOLDER)
    if function_is_async:

        @gate
        async def double(x):
            return 2 * x

        async def from_a_loop():
            return await double(21)

        assert asyncio.run(from_a_loop()) == 42
    else:

        @gate
        def double(x):
            return 2 * x

        assert double(21) == 42

        async def sync_call_inside_a_running_loop():
            return double(4)

        assert asyncio.run(sync_call_inside_a_running_loop()) == 8
