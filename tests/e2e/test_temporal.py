"""The Temporal approval handler in a Temporal activity context, against the local control plane.

Each call is one activity attempt run by ``temporalio.testing.ActivityEnvironment``;
a retry is a new attempt whose ``heartbeat_details`` are those of the last
heartbeat (or nothing, when Temporal lost them). The request is built afresh
for every attempt, as a retried activity re-attests the same call.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any

import httpx
import pytest

pytest.importorskip("temporalio")

from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

FAST_POLL = 0.02
ATTEMPTS = 2


@dataclass
class Attempt:
    result: Any = None
    error: ApplicationError | None = None
    beats: list[tuple[Any, ...]] = field(default_factory=list)
    request: Any = None  # the attempt's (freshly attested) approval request

    @property
    def details(self) -> list[Any]:
        """What Temporal hands the next attempt: the values of the last heartbeat."""
        return list(self.beats[-1]) if self.beats else []

    @property
    def request_id(self) -> str:
        return self.beats[-1][0]["approval_request_id"]


@pytest.fixture
def attempt(vorel_dev_server, agent_key, make_request):
    from vorel_cloud.approval import temporal_cloud_approval

    def run(*, details=(), run_id="run-1", server=None, **request_options) -> Attempt:
        server = server or vorel_dev_server
        env = ActivityEnvironment()
        env.info = dataclasses.replace(
            env.info,
            workflow_id="wf-refund",
            workflow_run_id=run_id,
            activity_id="send-refund",
            heartbeat_details=list(details),
        )
        outcome = Attempt()
        env.on_heartbeat = lambda *values: outcome.beats.append(values)
        handler = temporal_cloud_approval(
            server.api_key,
            agent_key,
            base_url=server.base_url,
            fast_poll_seconds=FAST_POLL,
            fast_poll_attempts=ATTEMPTS,
        )
        request = make_request("send_refund", {"order": "o-17", "amount": 40}, **request_options)
        try:
            outcome.result = env.run(handler, request)
        except ApplicationError as exc:
            outcome.error = exc
        outcome.request = request
        return outcome

    return run


def documented(details: dict) -> dict:
    """The two keys every heartbeat carries (a gate record may come beside them)."""
    return {k: details[k] for k in ("approval_request_id", "approval_status")}


def assert_pending_retry(outcome: Attempt) -> None:
    assert outcome.error is not None and outcome.error.type == "ApprovalPendingRetry"
    assert outcome.error.non_retryable is False
    assert outcome.error.message == f"approval pending for {outcome.request_id}; will retry via Temporal"


def assert_approved(outcome: Attempt, server) -> None:
    assert outcome.error is None, outcome.error
    outcome.result.verify(outcome.request.request_hash, trusted_approvers=[server.approver_key])
    assert outcome.result.tool == "send_refund"


def test_pending_attempt_hands_back_to_temporal_and_the_retry_resumes_from_the_heartbeat(vorel_dev_server, attempt):
    first = attempt()
    assert_pending_retry(first)
    # One heartbeat after creating, one per short poll; all name the same request.
    assert [documented(b[0]) for b in first.beats] == [
        {"approval_request_id": first.request_id, "approval_status": "pending"}
    ] * (ATTEMPTS + 1)
    # ... and record which request this gate (its request hash) has.
    assert first.beats[-1][0]["approval_gates"] == {first.request.request_hash.hex(): first.request_id}
    (stored,) = vorel_dev_server.requests()
    assert stored["id"] == first.request_id and stored["idempotency_key"].startswith("appr_")

    vorel_dev_server.approve(first.request_id)  # the human decides while no worker waits
    no_create = vorel_dev_server.fail(times=1, status=400, op="create")  # a resumed attempt must not create
    second = attempt(details=first.details)
    assert_approved(second, vorel_dev_server)
    assert no_create.hits == 0
    assert documented(second.beats[0][0]) == {"approval_request_id": first.request_id, "approval_status": "approved"}


@pytest.mark.parametrize("decided_meanwhile", [True, False], ids=["approved-meanwhile", "still-pending"])
def test_a_lost_heartbeat_recreates_under_the_same_idempotency_key(vorel_dev_server, attempt, decided_meanwhile):
    first = attempt()
    assert_pending_retry(first)
    if decided_meanwhile:
        vorel_dev_server.approve(first.request_id)

    second = attempt(details=())  # Temporal kept no heartbeat details
    if decided_meanwhile:
        assert_approved(second, vorel_dev_server)
        assert len(second.beats) == 1  # the create answered "approved": no short polls
    else:
        assert_pending_retry(second)
    assert second.beats[0][0]["approval_request_id"] == first.request_id
    assert len(vorel_dev_server.requests()) == 1


def test_another_workflow_run_gets_its_own_request(vorel_dev_server, attempt):
    one, other = attempt(run_id="run-1"), attempt(run_id="run-2")
    assert_pending_retry(one)
    assert_pending_retry(other)
    assert one.request_id != other.request_id
    keys = {r["idempotency_key"] for r in vorel_dev_server.requests()}
    assert len(keys) == 2


@pytest.mark.parametrize(
    "decide, status, reason",
    [
        (lambda s: s.auto_deny("refund looks like fraud", after_polls=1), "denied", "refund looks like fraud"),
        (lambda s: s.auto_expire(after_polls=1), "expired", "expired"),
    ],
    ids=["denied", "expired"],
)
def test_refusals_fail_the_activity_for_good(vorel_dev_server, attempt, decide, status, reason):
    decide(vorel_dev_server)
    outcome = attempt()
    assert outcome.error is not None and outcome.error.type == "ApprovalDenied"
    assert outcome.error.non_retryable is True
    assert outcome.error.message == f"approval {status} for {outcome.request_id}: {reason}"
    assert outcome.beats[-1][0]["approval_status"] == status


@pytest.mark.parametrize(
    "arm",
    [
        lambda s: s.rate_limit(times=2, retry_after=0, op="create"),
        lambda s: s.fail(times=1, status=503, op="create", retry_after=0, after_processing=True),
        lambda s: s.rate_limit(times=1, retry_after=0, op="get"),
        lambda s: s.fail(times=2, status=500, op="get", retry_after=0),
    ],
    ids=["429-create", "503-lost-create-answer", "429-poll", "500-polls"],
)
def test_rate_limits_and_server_errors_are_absorbed_within_an_attempt(vorel_dev_server, attempt, arm):
    fault = arm(vorel_dev_server)
    armed = fault.times
    vorel_dev_server.auto_approve(after_polls=1)
    outcome = attempt()
    assert_approved(outcome, vorel_dev_server)
    assert fault.hits == armed
    assert len(vorel_dev_server.requests()) == 1


def test_a_poll_failure_beyond_the_client_retries_is_retried_by_temporal(vorel_dev_server, attempt):
    from vorel_cloud.exceptions import ServerError

    first = attempt()
    assert_pending_retry(first)
    vorel_dev_server.fail(times=3, status=503, op="get", retry_after=0)  # outlasts the client's two retries
    second = attempt(details=first.details)
    assert second.error is not None and second.error.type == "ApprovalTransportError"
    assert second.error.non_retryable is False
    assert isinstance(second.error.__cause__, ServerError)
    assert second.error.message.startswith(f"approval poll failed for {first.request_id}: ")

    vorel_dev_server.approve(first.request_id)
    assert_approved(attempt(details=first.details), vorel_dev_server)


def test_a_request_the_cloud_no_longer_knows_is_created_again(vorel_dev_server, attempt):
    first = attempt()
    lost = vorel_dev_server.fail(times=1, status=404, op="get", request_id=first.request_id)
    vorel_dev_server.approve(first.request_id)
    second = attempt(details=first.details)
    assert lost.hits == 1
    # The re-create carries the same idempotency key, so the cloud answers with the same request.
    assert_approved(second, vorel_dev_server)
    assert second.beats[0][0]["approval_request_id"] == first.request_id


def test_a_pending_request_survives_a_server_restart(vorel_dev_server_factory, attempt, tmp_path):
    """The waiting is Temporal's, the request the control plane's: a restart between attempts loses nothing.

    The same property at the API level is covered in tests/devserver/test_restart_and_cli.py.
    """
    server = vorel_dev_server_factory(db_path=str(tmp_path / "state.sqlite3"))
    first = attempt(server=server)
    assert_pending_retry(first)
    server.restart()
    with httpx.Client(base_url=server.base_url) as browser:  # the human approves in the dashboard after the restart
        browser.get("/approvals")  # the page sets the dashboard cookie that a form post must carry
        form = {"dashboard_token": server.dashboard_token}
        assert browser.post(f"/approvals/{first.request_id}/approve", data=form).status_code == 303
    second = attempt(server=server, details=first.details)
    assert_approved(second, server)
    assert [r["id"] for r in server.requests()] == [first.request_id]
