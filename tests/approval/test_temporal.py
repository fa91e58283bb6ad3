"""Temporal request identity and TemporalCloudApprovalHandler inside Temporal's activity test environment."""

from __future__ import annotations

import base64
import dataclasses
import hashlib
import logging
import sys
import types

import pytest
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment

from vorel_cloud import approval
from vorel_cloud.exceptions import NotFoundError, ServerError, VorelCloudError

from .conftest import FakeClient, Recording, Request, Script

key_of = approval._build_temporal_approval_idempotency_key
request_id_of = approval._extract_temporal_heartbeat_request_id


def sha_key(source: str) -> str:
    return "appr_" + hashlib.sha256(source.encode("utf-8")).hexdigest()


# ---- identity ----------------------------------------------------------------------


def test_key_is_tool_and_ids_joined_and_hashed():
    key = key_of(Request(tool="wire"), workflow_id="wf", workflow_run_id="run-1", activity_id="7")
    assert key == sha_key("wire|wf|run-1|7") and len(key) == 69
    assert key_of(Request(tool="wire")) == sha_key("wire|||")
    assert key_of(object()) == sha_key("|||")
    assert key_of(Request(tool=42), workflow_id="é") == sha_key("42|é||")


def test_key_is_stable_per_run_and_separator_is_not_escaped():
    a = key_of(Request(tool="t"), workflow_id="w", workflow_run_id="r1", activity_id="a")
    assert a == key_of(Request(tool="t"), workflow_id="w", workflow_run_id="r1", activity_id="a")
    assert a != key_of(Request(tool="t"), workflow_id="w", workflow_run_id="r2", activity_id="a")
    assert key_of(Request(tool="x|y"), workflow_id="z") == key_of(Request(tool="x"), workflow_id="y|z")


@pytest.mark.parametrize("call", [lambda: key_of(Request(), workflow_id=5), lambda: key_of(Request(), "w")])
def test_key_argument_errors(call):
    with pytest.raises(TypeError):
        call()


class IdHolder:
    approval_request_id = "r-obj"


class DictGet(dict):
    def get(self, key, default=None):
        raise LookupError("broken mapping")


@pytest.mark.parametrize(
    "details, expected",
    [
        (None, None),
        ([], None),
        ((), None),
        ("", None),
        ([{"approval_request_id": "r-1", "approval_status": "pending"}], "r-1"),
        (({"approval_request_id": "r-1"},), "r-1"),
        ({"approval_request_id": "r-1"}, "r-1"),
        ([{"approval_request_id": ""}], None),
        ([{"approval_request_id": None}], None),
        ([{"approval_request_id": 3}], None),
        ([None, {"approval_request_id": "r-2"}], None),
        ([IdHolder()], "r-obj"),
        (IdHolder(), "r-obj"),
        ("r-text", None),
    ],
)
def test_heartbeat_request_id(details, expected):
    assert request_id_of(details) == expected


def test_heartbeat_reader_errors_other_than_missing_attributes_propagate():
    with pytest.raises(LookupError):
        request_id_of([DictGet(approval_request_id="r-1")])


# ---- the handler --------------------------------------------------------------------


class FakeSigned:
    @staticmethod
    def from_bytes(raw):
        if not raw.startswith(b"SA"):
            raise ValueError(f"not a signed approval: {raw[:4]!r}")
        return ("approval", raw)


B64 = "U0Ex"  # base64 of b"SA1"
HEX = b"SA12".hex()  # "53413132": also decodes as base64, to other bytes


class Key:
    def __init__(self):
        self.public_key = types.SimpleNamespace(to_bytes=lambda: b"\x02" * 32)


@pytest.fixture
def temporal(monkeypatch, builds, clock, caplog):
    caplog.set_level(logging.INFO, "vorel_cloud.approval")
    core = types.ModuleType("vorel_core")
    core.SignedApproval = FakeSigned
    core.attestations = []

    def attest(*args):
        core.attestations.append(args)
        return ("YXJncw==", {"request_hash": "ab"})

    core.py_build_approval_context_attestation = attest
    monkeypatch.setitem(sys.modules, "vorel_core", core)
    script = Script()
    monkeypatch.setattr(approval, "VorelCloudClient", lambda *a, **kw: FakeClient(script, *a, **kw))
    env = ActivityEnvironment()
    env.beats = []
    env.on_heartbeat = lambda *details: env.beats.append(details)
    script.env = env
    script.core = core
    return script


def attempt(script, handler=None, request=None):
    """One activity attempt; returns (value or ApplicationError, the client)."""
    handler = handler or approval.temporal_cloud_approval("key", Key(), base_url="http://cloud")
    try:
        value = script.env.run(handler, request or Request())
    except ApplicationError as exc:
        value = exc
    (client,) = script.clients
    assert len(client.exits) == 1 and client.closed == 1  # the context was left once
    return value, client


def resume_from(script, request_id):
    script.env.info = dataclasses.replace(
        ActivityEnvironment.default_info(),
        heartbeat_details=[{"approval_request_id": request_id, "approval_status": "pending"}],
    )


def info_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]


def assert_app_error(error, message, type_, non_retryable, cause=None):
    assert isinstance(error, ApplicationError)
    assert (error.message, error.type, error.non_retryable) == (message, type_, non_retryable)
    assert error.__cause__ is cause


def test_constructor_fields_and_factory():
    key = Key()
    handler = approval.temporal_cloud_approval("k", key, base_url="u/", fast_poll_seconds=0.5, fast_poll_attempts=5)
    assert type(handler) is approval.TemporalCloudApprovalHandler
    assert vars(handler) == {
        "_api_key": "k",
        "_signing_key": key,
        "_holder": key.public_key,
        "_holder_bytes": b"\x02" * 32,
        "_base_url": "u/",
        "_fast_poll_seconds": 0.5,
        "_fast_poll_attempts": 5,
    }
    assert approval.TemporalCloudApprovalHandler("k", key)._base_url == "https://api.vorel.cloud"


@pytest.mark.parametrize("given, stored", [(0, 1), (-4, 1), (1, 1), (3, 3)])
def test_at_least_one_poll_is_stored(given, stored):
    assert approval.TemporalCloudApprovalHandler("k", Key(), fast_poll_attempts=given)._fast_poll_attempts == stored


@pytest.mark.parametrize(
    "options, error",
    [
        ({"fast_poll_seconds": float("nan")}, ValueError),
        ({"fast_poll_seconds": -2.0}, ValueError),
        ({"fast_poll_seconds": "2"}, TypeError),
        ({"fast_poll_attempts": 2.5}, TypeError),
        ({"fast_poll_attempts": "3"}, TypeError),
    ],
)
def test_unusable_poll_settings_fail_at_the_factory(options, error):
    with pytest.raises(error, match=next(iter(options))):
        approval.temporal_cloud_approval("k", Key(), **options)
    assert approval.TemporalCloudApprovalHandler("k", Key(), fast_poll_seconds=0)._fast_poll_seconds == 0


@pytest.mark.parametrize("key", [object(), types.SimpleNamespace(public_key=object())])
def test_unusable_signing_key_fails_at_construction(key):
    with pytest.raises(AttributeError):
        approval.TemporalCloudApprovalHandler("k", key)


def test_open_request_polls_heartbeats_then_asks_for_a_retry(temporal, builds, clock, caplog):
    temporal.polls = [{"status": "pending"}, {"status": "cancelled"}, {}]
    request = Request()
    error, client = attempt(temporal, request=request)
    assert_app_error(error, "approval pending for r-1; will retry via Temporal", "ApprovalPendingRetry", False)
    assert client.args == ("key", {"base_url": "http://cloud", "timeout": 10.0})
    idem = sha_key("send_email|test|test-run|test")
    assert builds == [(request, {"signing_key": builds[0][1]["signing_key"], "idempotency_key": idem})]
    assert clock.sleeps == [2.0, 2.0, 2.0]
    assert temporal.env.beats == [
        ({"approval_request_id": "r-1", "approval_status": s},) for s in ("pending", "pending", "cancelled", "")
    ]
    assert info_lines(caplog) == [
        "approval request r-1 created for send_email",
        "approval poll 1/3 for r-1: pending",
        "approval poll 2/3 for r-1: cancelled",
        "approval poll 3/3 for r-1: ",
    ]
    assert client.exits[0][0] is None  # left before the retry error was raised


def test_approved_at_creation_returns_without_polling(temporal, clock):
    temporal.created = {"id": "r-1", "status": "APPROVED", "responses": [{"signed_approval": B64}]}
    value, _ = attempt(temporal)
    assert value == ("approval", b"SA1")
    assert clock.sleeps == [] and [c[0] for c in temporal.calls] == ["create"]


def test_resume_from_heartbeat_details(temporal, caplog):
    resume_from(temporal, "r-7")
    temporal.polls = [{"status": "pending"}, {"status": "approved", "responses": [{"signed_approval": HEX}]}]
    value, _ = attempt(temporal)
    assert value == ("approval", b"SA12")
    assert temporal.calls == [("get", "r-7"), ("get", "r-7")]
    assert info_lines(caplog)[0] == "resuming approval request r-7 for send_email from heartbeat"
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        f"failed to decode signed_approval as base64: not a signed approval: {base64.b64decode(HEX)[:4]!r}"
    ]


@pytest.mark.parametrize("missing", [NotFoundError("no such request", status_code=404), VorelCloudError("HTTP 404")])
def test_resume_of_a_request_the_cloud_lost_creates_it_again(temporal, missing):
    resume_from(temporal, "r-old")
    temporal.polls = [missing]
    temporal.created = {"request_id": "r-new", "status": "denied", "denied_reason": "", "reason": "policy"}
    error, _ = attempt(temporal)
    assert_app_error(error, "approval denied for r-new: policy", "ApprovalDenied", True)
    assert [c[0] for c in temporal.calls] == ["get", "create"]


def test_resume_failure_is_a_retriable_transport_error(temporal):
    resume_from(temporal, "r-7")
    cloud_error = ServerError("service unavailable", status_code=503)
    temporal.polls = [cloud_error]
    error, _ = attempt(temporal)
    assert_app_error(
        error, "approval poll failed for r-7: service unavailable", "ApprovalTransportError", False, cloud_error
    )


def test_resume_error_without_status_code_propagates_in_its_context(temporal):
    resume_from(temporal, "r-7")
    cloud_error = VorelCloudError("odd")
    del cloud_error.status_code
    temporal.polls = [cloud_error]
    with pytest.raises(AttributeError) as info:
        temporal.env.run(approval.temporal_cloud_approval("key", Key()), Request())
    assert info.value.__context__ is cloud_error
    assert temporal.clients[0].closed == 1


@pytest.mark.parametrize(
    "created, expected",
    [
        ({"request_id": "r-1", "status": "pending"}, "r-1"),
        ({"id": 7, "request_id": "r-1"}, "7"),
        ({"id": "", "request_id": None}, None),
        ({"status": "approved"}, None),
    ],
)
def test_request_id_of_the_create_answer(temporal, created, expected):
    temporal.created = created
    temporal.polls = [{"status": "pending"}] * 3
    error, _ = attempt(temporal)
    if expected is None:
        assert_app_error(error, "approval response missing id field", "ApprovalMalformedResponse", True)
    else:
        assert error.message == f"approval pending for {expected}; will retry via Temporal"


@pytest.mark.parametrize("at", ["create", "poll"])
def test_cloud_failures_are_retriable_and_keep_their_cause(temporal, at):
    cloud_error = ServerError("bad gateway", status_code=502)
    if at == "create":
        temporal.created = cloud_error
        expected = "approval request submission failed: bad gateway"
    else:
        temporal.polls = [cloud_error]
        expected = "approval poll failed for r-1: bad gateway"
    error, client = attempt(temporal)
    assert_app_error(error, expected, "ApprovalTransportError", False, cloud_error)
    assert client.exits[0][1] is error  # the error left through the client's context


@pytest.mark.parametrize(
    "final, message",
    [
        ({"status": "Expired"}, "approval expired for r-1: expired"),
        ({"status": "rejected", "reason": "too risky"}, "approval rejected for r-1: too risky"),
        ({"status": "denied", "denied_reason": "no", "reason": "other"}, "approval denied for r-1: no"),
    ],
)
def test_refusals_are_final(temporal, final, message):
    temporal.polls = [final]
    error, _ = attempt(temporal)
    assert_app_error(error, message, "ApprovalDenied", True)


@pytest.mark.parametrize(
    "responses, warnings",
    [
        (None, []),
        ([], []),
        ([{"signed_approval": ""}], []),
        ([{"signed_approval": "zz!"}], ["base64", "hex"]),
        ([{"signed_approval": "00ff"}, {"signed_approval": "U0F"}], ["base64", "hex", "base64", "hex"]),
    ],
)
def test_approved_without_a_decodable_approval_is_malformed(temporal, caplog, responses, warnings):
    temporal.polls = [{"status": "approved", "responses": responses}]
    error, _ = attempt(temporal)
    assert_app_error(error, "approved but missing SignedApproval payload for r-1", "ApprovalMalformedResponse", True)
    logged = [r.getMessage().split(":")[0] for r in caplog.records if r.levelno == logging.WARNING]
    assert logged == [f"failed to decode signed_approval as {w}" for w in warnings]


def test_lenient_base64_and_first_usable_response_wins(temporal):
    data = {"responses": [{"signed_approval": "U0E x\n"}, {"signed_approval": B64}]}
    assert approval.TemporalCloudApprovalHandler._extract_approval(data) == ("approval", b"SA1")


def test_single_poll_when_attempts_not_positive(temporal, clock):
    temporal.polls = [{"status": "pending"}]
    handler = approval.temporal_cloud_approval("key", Key(), fast_poll_attempts=0, fast_poll_seconds=0.25)
    error, _ = attempt(temporal, handler)
    assert error.type == "ApprovalPendingRetry" and clock.sleeps == [0.25]


def test_outside_an_activity_and_with_failing_heartbeats(temporal, builds):
    temporal.polls = [{"status": "pending"}]
    handler = approval.temporal_cloud_approval("key", Key(), fast_poll_attempts=1)
    with pytest.raises(ApplicationError) as info:
        handler(Request(tool="t"))  # activity.info() and activity.heartbeat() both fail here
    assert info.value.type == "ApprovalPendingRetry"
    assert builds[0][1]["idempotency_key"] == sha_key("t|||")


def test_heartbeat_errors_are_swallowed_inside_an_activity(temporal):
    def broken(*details):
        raise RuntimeError("heartbeat failed")

    temporal.env.on_heartbeat = broken
    temporal.polls = [{"status": "denied"}]
    error, _ = attempt(temporal)
    assert error.type == "ApprovalDenied"


def test_build_failure_opens_no_client(temporal, monkeypatch):
    def fail(request, **kwargs):
        raise VorelCloudError("approval attestation required")

    monkeypatch.setattr(approval, "build_approval_request_payload", fail)
    with pytest.raises(VorelCloudError):
        temporal.env.run(approval.temporal_cloud_approval("key", Key()), Request())
    assert temporal.clients == []


def test_other_client_errors_propagate_unchanged(temporal):
    temporal.polls = [["not", "a", "mapping"]]
    with pytest.raises(AttributeError):
        temporal.env.run(approval.temporal_cloud_approval("key", Key()), Request())
    assert temporal.clients[0].closed == 1


def test_missing_temporal_sdk_is_an_import_error(temporal, monkeypatch):
    monkeypatch.setitem(sys.modules, "temporalio", None)
    with pytest.raises(ImportError):
        approval.temporal_cloud_approval("key", Key())(Request())
    assert temporal.clients == []


@pytest.mark.parametrize("heartbeat_fails", [False, True])
def test_a_temporal_stand_in_without_cancelled_error_is_served(temporal, monkeypatch, heartbeat_fails):
    # What a user's suite installs to test an activity: `activity` and ApplicationError, nothing more.
    beats = []

    def heartbeat(details):
        beats.append(details)
        if heartbeat_fails:
            raise RuntimeError("no worker")

    sdk, exceptions = types.ModuleType("temporalio"), types.ModuleType("temporalio.exceptions")

    def info():
        raise RuntimeError("outside an activity")

    sdk.activity = types.SimpleNamespace(info=info, heartbeat=heartbeat)
    exceptions.ApplicationError = ApplicationError
    sdk.exceptions = exceptions
    monkeypatch.setitem(sys.modules, "temporalio", sdk)
    monkeypatch.setitem(sys.modules, "temporalio.exceptions", exceptions)
    temporal.polls = [{"status": "pending"}]
    handler = approval.temporal_cloud_approval("key", Key(), fast_poll_seconds=0.0, fast_poll_attempts=1)
    with pytest.raises(ApplicationError) as info:
        handler(Request())
    assert info.value.type == "ApprovalPendingRetry"
    assert [b["approval_status"] for b in beats] == ["pending", "pending"]
    assert temporal.clients[0].closed == 1


def test_build_attestation_uses_the_handler_key(temporal):
    key = Key()
    handler = approval.temporal_cloud_approval("key", key)
    request = Request(warrant_id="w-1", arguments={"to": "bob"})
    assert handler._build_attestation(request) == ("YXJncw==", {"request_hash": "ab"})
    assert temporal.core.attestations == [(key, "w-1", "send_email", {"to": "bob"}, key.public_key)]
    temporal.core.py_build_approval_context_attestation = lambda *a: ("only one",)
    with pytest.raises(ValueError):
        handler._build_attestation(request)


# ---- several gates in one activity ----------------------------------------------------------

GATE = "abcd"  # hex of the gate's request hash


def test_a_gate_hash_gives_a_key_of_its_own_and_the_documented_call_keeps_its_key():
    ids = dict(workflow_id="w", workflow_run_id="r", activity_id="a")
    assert key_of(Request(tool="t"), **ids, request_hash="") == sha_key("t|w|r|a")
    assert key_of(Request(tool="t"), **ids, request_hash=GATE) == sha_key("t|w|r|a|abcd")


@pytest.fixture
def gated(temporal, monkeypatch):
    """Payloads carry a request hash, as the real builder's do."""

    def build(request, **kwargs):
        return types.SimpleNamespace(
            request_hash=bytes.fromhex(GATE),
            to_create_request_kwargs=lambda: {"idempotency_key": kwargs["idempotency_key"]},
        )

    monkeypatch.setattr(approval, "build_approval_request_payload", build)
    return temporal


OWN_KEY = sha_key(f"send_email|test|test-run|test|{GATE}")


@pytest.mark.parametrize(
    "details, first_call, gates",
    [
        # written by an older handler: no gate record, the one request is resumed as before
        ([{"approval_request_id": "r-7", "approval_status": "pending"}], ("get", "r-7"), {GATE: "r-7"}),
        # this gate's own request
        (
            [{"approval_request_id": "r-9", "approval_gates": {GATE: "r-8", "ffff": "r-9"}}],
            ("get", "r-8"),
            {GATE: "r-8", "ffff": "r-9"},
        ),
        # only another gate's request: this gate creates its own, under its own key
        (
            [{"approval_request_id": "r-9", "approval_gates": {"ffff": "r-9"}}],
            ("create", {"idempotency_key": OWN_KEY}),
            {GATE: "r-1", "ffff": "r-9"},
        ),
    ],
    ids=["older-details", "own-gate", "other-gate"],
)
def test_a_gate_resumes_only_its_own_request(gated, details, first_call, gates):
    gated.env.info = dataclasses.replace(ActivityEnvironment.default_info(), heartbeat_details=details)
    gated.polls = [{"status": "pending"}] * 4
    error, _ = attempt(gated)
    assert error.type == "ApprovalPendingRetry" and gated.calls[0] == first_call
    (last,) = gated.env.beats[-1]
    assert (last["approval_request_id"], last["approval_status"]) == (gates[GATE], "pending")
    assert last["approval_request_hash"] == GATE and last["approval_gates"] == gates


# ---- cancellation and evaluation order ----------------------------------------------------------


@pytest.mark.parametrize("where", ["info", "heartbeat"])
def test_temporal_cancellation_is_never_swallowed(temporal, monkeypatch, where):
    from temporalio import activity
    from temporalio.exceptions import CancelledError

    def cancelled(*args):
        raise CancelledError("activity cancelled")

    if where == "info":
        monkeypatch.setattr(activity, "info", cancelled)
    else:
        temporal.env.on_heartbeat = cancelled
    temporal.polls = [{"status": "pending"}] * 3
    with pytest.raises(CancelledError):
        temporal.env.run(approval.temporal_cloud_approval("key", Key()), Request())
    assert temporal.calls[1:] == [] and all(c.closed == 1 for c in temporal.clients)


def test_404_code_skips_the_text_and_create_request_is_looked_up_before_the_kwargs(temporal, monkeypatch):
    order = []

    class Lost(NotFoundError):
        def __str__(self):
            order.append("str")
            return "gone"

    class Client(Recording):  # a context manager, as the Temporal handler uses its client
        __enter__ = lambda self: self  # noqa: E731
        __exit__ = lambda self, *exc: self._client.__exit__(*exc)  # noqa: E731

    payload = types.SimpleNamespace(to_create_request_kwargs=lambda: order.append("kwargs") or {})
    monkeypatch.setattr(approval, "build_approval_request_payload", lambda request, **kw: payload)
    monkeypatch.setattr(approval, "VorelCloudClient", lambda *a, **kw: Client(FakeClient(temporal, *a, **kw), order))
    resume_from(temporal, "r-old")
    temporal.polls = [Lost("no such request", status_code=404), {"status": "pending"}]
    temporal.created = {"id": "r-new", "status": "denied"}
    error, _ = attempt(temporal)
    assert error.type == "ApprovalDenied"
    assert order == ["lookup create_request", "kwargs"]
