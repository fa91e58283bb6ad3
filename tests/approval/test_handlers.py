"""The long-polling handlers: cloud_approval and async_cloud_approval (on a loop and stepped by hand)."""

from __future__ import annotations

import asyncio
import contextvars
import logging
import sys
import types

import pytest

from vorel_cloud import approval
from vorel_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    TransportError,
    VorelCloudError,
)

from .conftest import ApprovalDenied, Recording, Request

PENDING = {"status": "pending"}
SIGNED = {"signed_approval": "00ff"}


def call_handler(kind, request, **options):
    if kind == "sync":
        return approval.cloud_approval("key", **options)(request)
    handler = approval.async_cloud_approval("key", **options)
    if kind == "async":
        return asyncio.run(handler(request))
    # Stepped by hand where no loop runs: the first step finishes the flow.
    coro = handler(request)
    with pytest.raises(StopIteration) as done:
        coro.send(None)
    return done.value.value


KINDS = ["sync", "async", "worker"]
each_kind = pytest.mark.parametrize("kind", KINDS)


def outcome(kind, cloud, request=None):
    """(result or raised error) of one handler call; the client must be closed exactly once."""
    request = request or Request()
    try:
        value = call_handler(kind, request)
    except BaseException as exc:
        value = exc
    assert [c.closed for c in cloud.clients] == [1]
    return value


@each_kind
def test_approved_on_first_poll(cloud, builds, kind):
    cloud.polls = [{"status": "approved", "responses": [SIGNED]}]
    request = Request()
    assert outcome(kind, cloud, request) == ("signed", "AP8=")
    (client,) = cloud.clients
    assert client.args == ("key", {"base_url": "https://api.vorel.cloud"})
    assert builds == [(request, {"signing_key": None})]
    assert cloud.calls == [("create", {"tool": "send_email", "warrant_id": "w-1"}), ("get", "r-1")]


@each_kind
def test_factory_arguments_reach_builder_client_and_poller(cloud, builds, clock, kind):
    cloud.polls = [PENDING, {"status": "approved", "responses": [SIGNED, SIGNED]}]
    key = object()
    result = call_handler(kind, Request(), signing_key=key, base_url="http://x", poll_interval=0.5, timeout=9)
    assert result == [("signed", "AP8="), ("signed", "AP8=")]
    assert builds[0][1] == {"signing_key": key}
    assert cloud.clients[0].args == ("key", {"base_url": "http://x"})
    assert clock.sleeps == [0.5]


@each_kind
@pytest.mark.parametrize(
    "final, reason",
    [
        ({"status": "denied", "denied_reason": "not today"}, "not today"),
        ({"status": "denied", "denied_reason": ""}, "denied in Vorel Cloud"),
        ({"status": "denied"}, "denied in Vorel Cloud"),
        ({"status": "expired", "denied_reason": "x"}, "approval request expired"),
        ({"status": "rejected"}, "unexpected status: rejected"),
        ({"status": "Approved"}, "unexpected status: Approved"),
        ({"status": 7}, "unexpected status: 7"),
    ],
)
def test_final_statuses_other_than_approved_deny(cloud, kind, final, reason):
    cloud.polls = [final]
    request = Request()
    denied = outcome(kind, cloud, request)
    assert type(denied) is ApprovalDenied
    assert (denied.request, denied.reason) == (request, reason)
    assert denied.__cause__ is None


@each_kind
@pytest.mark.parametrize("timeout, shown", [(None, "300.0"), (60, "60"), (0.5, "0.5")])
def test_timeout_becomes_denial_in_its_context(cloud, clock, kind, timeout, shown):
    cloud.polls = [PENDING] * 400
    options = {} if timeout is None else {"timeout": timeout}
    with pytest.raises(ApprovalDenied) as info:
        call_handler(kind, Request(), **options)
    denied = info.value
    assert denied.reason == f"timed out after {shown}s waiting for cloud approval"
    assert denied.__cause__ is None and not denied.__suppress_context__
    context = denied.__context__
    if kind == "worker":  # re-raised in the stepping thread, inside the no-loop branch
        assert isinstance(context, RuntimeError)
    else:
        assert isinstance(context, ApprovalTimeoutError) and context.args[0] == "r-1"
    assert cloud.closes == 1


@each_kind
@pytest.mark.parametrize("error_type", [ApprovalDeniedError, ApprovalExpiredError])
@pytest.mark.parametrize("at", ["create", "poll"])
def test_cloud_refusals_become_denials_caused_by_them(cloud, kind, error_type, at):
    error = error_type("request r-1 was refused in the cloud")
    if at == "create":
        cloud.created = error
    else:
        cloud.polls = [PENDING, error]
    denied = outcome(kind, cloud)
    assert type(denied) is ApprovalDenied
    assert denied.reason == "request r-1 was refused in the cloud"
    assert denied.__cause__ is error and denied.__suppress_context__


@each_kind
@pytest.mark.parametrize(
    "setup, expected",
    [
        (lambda s: setattr(s, "created", TransportError("connection refused")), TransportError),
        (lambda s: setattr(s, "created", {"request_id": "r-1"}), KeyError),
        (
            lambda s: setattr(s, "polls", [{"responses": []}, PENDING]),
            KeyError,
        ),  # poller returns it, handler needs status
        (lambda s: setattr(s, "polls", [{"status": "approved", "responses": []}]), VorelCloudError),
        (
            lambda s: setattr(s, "polls", [{"status": "approved", "responses": [{"signed_approval": "zz"}]}]),
            VorelCloudError,
        ),
    ],
)
def test_other_errors_pass_unchanged_after_close(cloud, kind, setup, expected):
    setup(cloud)
    error = outcome(kind, cloud)
    assert type(error) is expected


@each_kind
def test_build_failure_creates_no_client(cloud, monkeypatch, kind):
    def failing_build(request, **kwargs):
        raise VorelCloudError("request.holder_key is required")

    monkeypatch.setattr(approval, "build_approval_request_payload", failing_build)
    with pytest.raises(VorelCloudError, match="holder_key"):
        call_handler(kind, Request())
    assert cloud.clients == []


@each_kind
def test_missing_core_sdk_fails_before_building(cloud, builds, monkeypatch, kind):
    monkeypatch.setitem(sys.modules, "vorel.approval", None)
    with pytest.raises(ImportError):
        call_handler(kind, Request())
    assert builds == [] and cloud.clients == []


@each_kind
def test_failing_client_constructor_propagates(monkeypatch, cloud, kind):
    def broken(*args, **kwargs):
        raise ValueError("bad base url")

    monkeypatch.setattr(approval, "VorelCloudClient", broken)
    monkeypatch.setattr(approval, "AsyncVorelCloudClient", broken)
    with pytest.raises(ValueError, match="bad base url"):
        call_handler(kind, Request())


@each_kind
@pytest.mark.parametrize("final", [{"status": "approved", "responses": [SIGNED]}, {"status": "denied"}])
def test_failing_close_replaces_the_outcome(cloud, kind, final):
    close_error = TransportError("close failed")
    cloud.close_error = close_error
    cloud.polls = [final]
    raised = outcome(kind, cloud)
    assert raised is close_error
    if kind == "worker":  # re-raised in the stepping thread, inside the no-loop branch
        assert isinstance(raised.__context__, RuntimeError)
    elif final["status"] == "denied":  # raised while the denial was leaving
        assert type(raised.__context__) is ApprovalDenied
    else:
        assert raised.__context__ is None


@each_kind
def test_created_log_line(cloud, kind, caplog):
    caplog.set_level(logging.INFO, "vorel_cloud.approval")
    cloud.polls = [{"status": "denied"}]
    outcome(kind, cloud, Request(tool="wire_money"))
    (record,) = [r for r in caplog.records if r.levelno == logging.INFO]
    if kind == "sync":
        assert record.getMessage() == "approval request created in cloud"
        assert (record.request_id, record.tool) == ("r-1", "wire_money")
    else:
        assert record.getMessage() == "approval request r-1 created for wire_money"


@each_kind
def test_request_without_tool_fails_after_create_and_closes(cloud, kind):
    class NoTool:
        pass

    error = outcome(kind, cloud, NoTool())
    assert isinstance(error, AttributeError)
    assert [c[0] for c in cloud.calls] == ["create"]


def test_each_await_creates_its_own_request(cloud):
    cloud.polls = [{"status": "denied"}, {"status": "expired"}]
    handler = approval.async_cloud_approval("key")

    async def twice():
        return await asyncio.gather(handler(Request()), handler(Request()), return_exceptions=True)

    reasons = sorted(d.reason for d in asyncio.run(twice()))
    assert reasons == ["approval request expired", "denied in Vorel Cloud"]
    assert [c[0] for c in cloud.calls].count("create") == 2 and cloud.closes == 2


@pytest.mark.parametrize(
    "factory, args, message",
    [
        (approval.cloud_approval, ("k", "extra"), "cloud_approval() takes 1 positional argument but 2 were given"),
        (approval.async_cloud_approval, (), "async_cloud_approval() missing 1 required positional argument: 'api_key'"),
        (approval.temporal_cloud_approval, ("k",), "missing 1 required positional argument: 'signing_key'"),
        (approval.temporal_cloud_approval, ("k", "s", "u"), "takes 2 positional arguments but 3 were given"),
    ],
)
def test_factory_argument_errors(factory, args, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        factory(*args)


# ---- settings checked when the handler is made -----------------------------------------

FACTORIES = {"sync": approval.cloud_approval, "async": approval.async_cloud_approval}


@pytest.mark.parametrize("factory", FACTORIES.values(), ids=FACTORIES)
@pytest.mark.parametrize(
    "options, error",
    [
        *[({"timeout": v}, ValueError) for v in (float("nan"), float("inf"), -1)],
        *[({"poll_interval": v}, ValueError) for v in (-0.5, float("nan"))],
        ({"timeout": "300"}, TypeError),
        ({"poll_interval": None}, TypeError),
    ],
)
def test_unusable_wait_settings_fail_at_the_factory(cloud, factory, options, error):
    with pytest.raises(error, match=next(iter(options))):
        factory("key", **options)
    factory("key", timeout=0, poll_interval=0)  # zero stays allowed


# ---- as the same code in Python would run -------------------------------------------------


@each_kind
def test_the_flow_sees_the_callers_context_and_looks_up_create_request_first(cloud, monkeypatch, kind):
    scope = contextvars.ContextVar("warrant_scope", default=None)
    order = []

    def build(request, **kwargs):
        order.append(("built", scope.get()))
        return types.SimpleNamespace(to_create_request_kwargs=lambda: order.append("kwargs") or {"tool": "t"})

    name = "VorelCloudClient" if kind == "sync" else "AsyncVorelCloudClient"
    fake = getattr(approval, name)
    monkeypatch.setattr(approval, "build_approval_request_payload", build)
    monkeypatch.setattr(approval, name, lambda *a, **kw: Recording(fake(*a, **kw), order))
    cloud.polls = [{"status": "approved", "responses": [SIGNED]}]
    scope.set("warrant-7")
    call_handler(kind, Request())
    assert order == [("built", "warrant-7"), "lookup create_request", "kwargs"]
