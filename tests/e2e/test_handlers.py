"""The blocking and asyncio approval handlers against the local control plane, over loopback HTTP."""

from __future__ import annotations

import asyncio
import time

import httpx
import pytest

from e2e_support import POLL

FLAVORS = ["sync", "async"]


def make_handler(flavor, server, **options):
    from vorel_cloud.approval import async_cloud_approval, cloud_approval

    options.setdefault("poll_interval", POLL)
    options.setdefault("timeout", 10.0)
    factory = cloud_approval if flavor == "sync" else async_cloud_approval
    return factory(server.api_key, base_url=server.base_url, **options)


def call(flavor, handler, request):
    return handler(request) if flavor == "sync" else asyncio.run(handler(request))


def denied(flavor, handler, request):
    from vorel.approval import ApprovalDenied

    with pytest.raises(ApprovalDenied) as info:
        call(flavor, handler, request)
    assert info.value.request is request
    return info.value


@pytest.mark.parametrize("flavor", FLAVORS)
def test_approval_returns_a_signed_approval_for_exactly_this_call(flavor, vorel_dev_server, make_request, agent_key):
    from vorel.approval import check_approvals
    from vorel_core import SignedApproval

    vorel_dev_server.auto_approve(after_polls=3)
    request = make_request("send_email", {"to": "bob@example.com", "subject": "Q3"})
    result = call(flavor, make_handler(flavor, vorel_dev_server), request)

    assert isinstance(result, SignedApproval)
    result.verify(request.request_hash, trusted_approvers=[vorel_dev_server.approver_key])
    assert (result.tool, result.warrant_id) == ("send_email", "w-e2e")
    check_approvals(request, result)
    (stored,) = vorel_dev_server.requests()
    assert stored["status"] == "approved"
    # The cloud got the attested call: the agent's key as holder and the gate's request hash.
    assert stored["holder_key"] == agent_key.public_key.to_hex()
    assert stored["request_hash"] == request.request_hash.hex()


@pytest.mark.parametrize("flavor", FLAVORS)
def test_a_two_approver_threshold_returns_both_approvals(flavor, vorel_dev_server, make_request):
    from vorel.approval import check_approvals

    second = vorel_dev_server.add_approver("second")
    approvers = [vorel_dev_server.approver_key, second.public_key.to_hex()]
    vorel_dev_server.auto_approve(after_polls=1)
    request = make_request(required_approvers=approvers, min_approvals=2)
    result = call(flavor, make_handler(flavor, vorel_dev_server), request)

    assert isinstance(result, list) and len(result) == 2
    assert sorted(a.approver_key.hex() for a in result) == sorted(approvers)
    check_approvals(request, result)
    (stored,) = vorel_dev_server.requests()
    assert (stored["threshold"], sorted(stored["approver_keys"])) == (2, sorted(approvers))


def _deny_with_reason(server, background):
    server.auto_deny("wrong recipient", after_polls=2)


def _deny_without_reason(server, background):
    background(lambda: server.deny(server.wait_for_request()["id"], None))


def _expire_by_script(server, background):
    server.auto_expire(after_polls=2)


def _expire_by_ttl(server, background):
    # The request's own lifetime (ttl_seconds=60) runs out on the server's clock.
    background(lambda: (server.wait_for_request(), server.advance(61)))


@pytest.mark.parametrize(
    "decide, reason, final",
    [
        (_deny_with_reason, "wrong recipient", "denied"),
        (_deny_without_reason, "denied in Vorel Cloud", "denied"),
        (_expire_by_script, "approval request expired", "expired"),
        (_expire_by_ttl, "approval request expired", "expired"),
    ],
    ids=["denied", "denied-without-reason", "expired", "ttl-ran-out"],
)
@pytest.mark.parametrize("flavor", FLAVORS)
def test_refusals_become_approval_denied(flavor, decide, reason, final, vorel_dev_server, make_request, background):
    decide(vorel_dev_server, background)
    request = make_request(ttl_seconds=60)
    refusal = denied(flavor, make_handler(flavor, vorel_dev_server), request)
    assert refusal.reason == reason
    (stored,) = vorel_dev_server.requests()
    assert stored["status"] == final and stored["ttl_seconds"] == 60


@pytest.mark.parametrize("flavor", FLAVORS)
def test_nobody_decides_in_time(flavor, vorel_dev_server, make_request):
    started = time.monotonic()
    refusal = denied(flavor, make_handler(flavor, vorel_dev_server, timeout=0.3), make_request())
    assert refusal.reason == "timed out after 0.3s waiting for cloud approval"
    assert 0.3 <= time.monotonic() - started < 5
    (stored,) = vorel_dev_server.requests()
    assert stored["status"] == "pending"  # the request is still there for a human; only the wait ended


@pytest.mark.parametrize(
    "arm, min_seconds",
    [
        (lambda s: s.rate_limit(times=2, retry_after=0, op="get"), 0),
        (lambda s: s.rate_limit(times=1, retry_after=1, op="get"), 1.0),  # Retry-After is honoured
        (lambda s: s.fail(times=2, status=503, op="get"), 0),  # back-off without Retry-After
        (lambda s: s.fail(times=1, status=502, op="create", retry_after=0, after_processing=True), 0),
    ],
    ids=["429-polls", "429-retry-after", "503-polls", "502-lost-create-answer"],
)
@pytest.mark.parametrize("flavor", FLAVORS)
def test_rate_limits_and_server_errors_are_recovered(flavor, arm, min_seconds, vorel_dev_server, make_request):
    fault = arm(vorel_dev_server)
    armed = fault.times
    vorel_dev_server.auto_approve(after_polls=1)
    # The idempotency key makes the create retryable: a lost answer finds the request it created.
    request = make_request(idempotency_key="call-0001")
    started = time.monotonic()
    result = call(flavor, make_handler(flavor, vorel_dev_server), request)

    assert time.monotonic() - started >= min_seconds
    result.verify(request.request_hash, trusted_approvers=[vorel_dev_server.approver_key])
    assert fault.hits == armed  # the faults were really served
    (stored,) = vorel_dev_server.requests()  # one request, however often the create was sent
    assert stored["status"] == "approved" and stored["idempotency_key"] == "call-0001"


@pytest.mark.parametrize(
    "arm, requests_left",
    [
        (lambda s: s.fail(times=3, status=503, op="get", retry_after=0), 1),  # more failures than retries
        (lambda s: s.fail(times=1, status=503, op="create"), 0),  # no idempotency key: never resent
    ],
    ids=["polls", "create"],
)
@pytest.mark.parametrize("flavor", FLAVORS)
def test_server_errors_beyond_recovery_reach_the_caller(flavor, arm, requests_left, vorel_dev_server, make_request):
    from vorel_cloud.exceptions import ServerError

    fault = arm(vorel_dev_server)
    armed = fault.times
    with pytest.raises(ServerError) as info:
        call(flavor, make_handler(flavor, vorel_dev_server), make_request())
    assert info.value.status_code == 503
    assert fault.hits == armed
    assert len(vorel_dev_server.requests()) == requests_left


@pytest.mark.parametrize("action", ["approve", "deny"])
@pytest.mark.parametrize("flavor", FLAVORS)
def test_a_human_decides_in_the_dashboard_while_the_handler_waits(
    flavor, action, vorel_dev_server, make_request, background
):
    from vorel.approval import ApprovalDenied

    request = make_request()
    waiting = background(lambda: call(flavor, make_handler(flavor, vorel_dev_server), request))
    pending = vorel_dev_server.wait_for_request()
    with httpx.Client(base_url=vorel_dev_server.base_url) as browser:
        page = browser.get("/approvals", params={"request": pending["id"]})
        assert page.status_code == 200 and "send_email" in page.text
        form = {"dashboard_token": vorel_dev_server.dashboard_token, "reason": "not today"}
        assert browser.post(f"/approvals/{pending['id']}/{action}", data=form).status_code == 303

    if action == "approve":
        waiting.outcome().verify(request.request_hash, trusted_approvers=[vorel_dev_server.approver_key])
    else:
        with pytest.raises(ApprovalDenied) as info:
            waiting.outcome()
        assert info.value.reason == "not today"


@pytest.mark.parametrize("decision", ["approve", "deny"])
@pytest.mark.parametrize("flavor", FLAVORS)
def test_a_guarded_tool_runs_only_after_cloud_approval(flavor, decision, vorel_dev_server, agent_key):
    from vorel.approval import ApprovalDenied
    from vorel.decorators import guard, warrant_scope

    ran = []
    handler = make_handler(flavor, vorel_dev_server)
    if flavor == "sync":

        @guard(approval_handler=handler)
        def send_email(to: str) -> str:
            ran.append(to)
            return "sent"

        run = lambda: send_email("bob@example.com")  # noqa: E731
    else:

        @guard(approval_handler=handler)
        async def send_email(to: str) -> str:
            ran.append(to)
            return "sent"

        run = lambda: asyncio.run(send_email("bob@example.com"))  # noqa: E731

    if decision == "approve":
        vorel_dev_server.auto_approve(after_polls=2)
    else:
        vorel_dev_server.auto_deny("no", after_polls=2)
    with warrant_scope("w-guard", signing_key=agent_key, required_approvers=[vorel_dev_server.approver_key]):
        if decision == "approve":
            assert run() == "sent" and ran == ["bob@example.com"]
        else:
            with pytest.raises(ApprovalDenied, match="no"):
                run()
            assert ran == []
    (stored,) = vorel_dev_server.requests()
    assert stored["warrant_id"] == "w-guard" and stored["approver_keys"] == [vorel_dev_server.approver_key]


def test_async_handler_completes_when_stepped_without_an_event_loop(vorel_dev_server, make_request):
    """Stepped by hand where no loop runs, the handler runs the flow on a worker thread and returns at once."""
    from vorel_core import SignedApproval

    vorel_dev_server.auto_approve(after_polls=2)
    request = make_request()
    coroutine = make_handler("async", vorel_dev_server)(request)
    with pytest.raises(StopIteration) as done:
        coroutine.send(None)
    assert isinstance(done.value.value, SignedApproval)
    done.value.value.verify(request.request_hash, trusted_approvers=[vorel_dev_server.approver_key])
