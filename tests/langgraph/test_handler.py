"""langgraph_cloud_approval: one approval gate through the cloud, on a fake
client and a loop clock that only the handler's sleeps move."""

from __future__ import annotations

import asyncio
import inspect
import logging
import sys

import pytest
from vorel.approval import ApprovalDenied

import vorel_cloud.langgraph as lg
from vorel_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    TransportError,
    VorelCloudError,
)

TIMEOUT_TAIL = (
    "s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) "
    "or VOREL_APPROVAL_TIMEOUT env var."
)


def timeout_reason(rendered: str) -> str:
    return "timed out after " + rendered + TIMEOUT_TAIL


def denied(cloud, handler, request=None) -> ApprovalDenied:
    request = request or cloud.request()
    with pytest.raises(ApprovalDenied) as info:
        cloud.run(handler, request)
    assert info.value.request is request
    return info.value


# ---- the flow -------------------------------------------------------------------


def test_builds_nothing_until_awaited_and_is_a_coroutine_function(cloud):
    handler = cloud.handler()
    assert inspect.iscoroutinefunction(handler)
    assert handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
    assert cloud.script.clients == [] and cloud.payloads == []
    pending = handler(cloud.request())
    assert cloud.script.clients == [] and cloud.payloads == []  # nothing runs before the first step
    assert asyncio.run(pending) is cloud.signed


def test_approved_flow_calls_in_order_and_decodes_the_last_response(cloud):
    key = object()
    request = cloud.request(request_id=b"\x01\xab")
    approved = {"status": "approved", "responses": [{"signed_approval": "00"}]}
    cloud.script.responses = [{"status": "pending"}, approved]
    handler = cloud.handler(signing_key=key, base_url="http://cp.local")

    assert cloud.run(handler, request) is cloud.signed

    (payload,) = cloud.payloads
    assert payload.request is request and payload.signing_key is key and payload.idempotency_key == "01ab"
    client = cloud.script.client
    assert (client.api_key, client.base_url, client.extra) == (cloud.api_key, "http://cp.local", {})
    assert cloud.script.events == [
        ("create", payload.to_create_request_kwargs()),
        ("get_request", cloud.request_id),
        ("get_request", cloud.request_id),
        ("close",),
    ]
    assert cloud.decoded == [approved] and cloud.decoded[0] is approved
    assert client.closes == 1
    assert cloud.clock.sleeps == [3.0]  # the first poll follows creation at once


def test_names_are_looked_up_at_each_call(cloud, monkeypatch):
    handler = cloud.handler()
    seen = []
    monkeypatch.setattr(lg, "_get_idempotency_key", lambda request: seen.append(request) or "patched-key")
    request = cloud.request()
    cloud.run(handler, request)
    assert seen == [request]
    assert cloud.payloads[0].idempotency_key == "patched-key"


@pytest.mark.parametrize("status", ["approved", "APPROVED", "Approved"])
def test_approved_in_any_letter_case(cloud, status):
    cloud.script.responses = [{"status": status}]
    assert cloud.run(cloud.handler(), cloud.request()) is cloud.signed
    assert cloud.script.client.closes == 1


REASON_OBJECT = {"code": "policy", "detail": "weekend freeze"}


@pytest.mark.parametrize(
    "response, reason",
    [
        ({"status": "denied", "denied_reason": "not today"}, "not today"),
        ({"status": "DENIED", "denied_reason": ""}, "denied"),
        ({"status": "Denied"}, "denied"),
        ({"status": "REJECTED"}, "rejected"),
        ({"status": "rejected", "denied_reason": None}, "rejected"),
        ({"status": "rejected", "denied_reason": REASON_OBJECT}, REASON_OBJECT),
        ({"status": "expired", "denied_reason": "ignored"}, "approval request expired"),
        ({"status": "EXPIRED"}, "approval request expired"),
    ],
)
def test_refusals_and_their_reasons(cloud, response, reason):
    cloud.script.responses = [response]
    exc = denied(cloud, cloud.handler())
    assert exc.reason == reason
    if isinstance(reason, dict):
        assert exc.reason is reason  # passed on unchanged
    assert exc.__cause__ is None and exc.__context__ is None
    assert cloud.script.client.closes == 1
    assert cloud.decoded == []


# ---- the deadline -----------------------------------------------------------------


@pytest.mark.parametrize(
    "options, env, rendered",
    [
        ({}, None, "900.0"),
        ({"timeout": 60}, None, "60"),
        ({"timeout": 7.5}, None, "7.5"),
        ({"timeout": 0}, None, "0"),
        ({}, "30", "30.0"),
        ({}, " 45.5 \n", "45.5"),
        ({"timeout": 12}, "30", "12"),
    ],
    ids=["default", "int", "float", "zero", "env", "env-blanks", "argument-over-env"],
)
def test_timeout_message_renders_the_effective_timeout(cloud, monkeypatch, options, env, rendered):
    if env is not None:
        monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", env)
    cloud.script.responses = [{"status": "pending"}]
    exc = denied(cloud, cloud.handler(poll_interval=10, **options))
    assert exc.reason == timeout_reason(rendered)
    assert sum(cloud.clock.sleeps) == pytest.approx(float(rendered))
    assert cloud.script.client.closes == 1


def test_sleeps_are_cut_to_the_time_left_and_a_last_poll_happens_at_the_deadline(cloud):
    cloud.script.responses = [{"status": "pending"}]
    exc = denied(cloud, cloud.handler(poll_interval=2, timeout=5.0))
    assert exc.reason == timeout_reason("5.0")
    assert cloud.clock.sleeps == [2, 2, 1.0]
    polls = [e for e in cloud.script.events if e[0] == "get_request"]
    assert len(polls) == 4


def test_zero_timeout_still_polls_once_without_sleeping(cloud):
    cloud.script.responses = [{"status": "pending"}]
    denied(cloud, cloud.handler(timeout=0))
    assert cloud.clock.sleeps == []
    assert [e[0] for e in cloud.script.events] == ["create", "get_request", "close"]


def test_a_decision_on_the_poll_at_the_deadline_wins(cloud):
    cloud.script.responses = [{"status": "pending"}, {"status": "pending"}, {"status": "approved"}]
    assert cloud.run(cloud.handler(poll_interval=4, timeout=5), cloud.request()) is cloud.signed
    assert cloud.clock.sleeps == [4, 1]


def test_a_decision_after_the_deadline_passed_during_the_poll_still_wins(cloud):
    cloud.script.tick_on_poll = 100.0  # each poll takes longer than the whole timeout
    cloud.script.responses = [{"status": "denied", "denied_reason": "late but decided"}]
    assert denied(cloud, cloud.handler(timeout=1)).reason == "late but decided"


def test_time_spent_creating_does_not_count(cloud):
    cloud.script.tick_on_create = 1000.0  # creation is slow on the loop clock
    cloud.script.responses = [{"status": "pending"}, {"status": "approved"}]
    assert cloud.run(cloud.handler(timeout=10, poll_interval=3), cloud.request()) is cloud.signed
    assert cloud.clock.sleeps == [3]


@pytest.mark.parametrize(
    "response",
    [{}, {"status": None}, {"status": "pending"}, {"status": "PENDING"}, {"status": "in_review"}],
    ids=["missing", "null", "pending", "upper", "unknown"],
)
def test_open_statuses_keep_polling_until_the_deadline(cloud, response):
    cloud.script.responses = [response]
    exc = denied(cloud, cloud.handler(poll_interval=1, timeout=3))
    assert exc.reason == timeout_reason("3")
    assert cloud.clock.sleeps == [1, 1, 1]


@pytest.mark.parametrize("value", ["", "abc", "15s"])
def test_unparsable_timeout_variable_fails_when_building(cloud, monkeypatch, value):
    monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", value)
    with pytest.raises(ValueError):
        cloud.handler()
    cloud.handler(timeout=5)  # an explicit timeout never reads the variable


@pytest.mark.parametrize(
    "options, env, error",
    [
        ({"timeout": float("nan")}, None, ValueError),
        ({"timeout": -1}, None, ValueError),
        ({"timeout": 10**400}, None, ValueError),
        ({"timeout": "60"}, None, TypeError),
        ({"timeout": True}, None, TypeError),
        ({"poll_interval": -0.5}, None, ValueError),
        ({"poll_interval": None}, None, TypeError),
        ({}, "nan", ValueError),
        ({}, "-5", ValueError),
    ],
)
def test_unusable_durations_fail_when_building_before_any_request(cloud, monkeypatch, options, env, error):
    # Found only after the create, they would leave a pending request (or,
    # as nan, a poll loop that never times out).
    if env is not None:
        monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", env)
    with pytest.raises(error, match=r"timeout|poll_interval|VOREL_APPROVAL_TIMEOUT"):
        cloud.handler(**options)
    assert cloud.script.clients == []


def test_zero_poll_interval_stays_allowed(cloud):
    cloud.script.responses = [{"status": "pending"}, {"status": "approved"}]
    assert cloud.run(cloud.handler(poll_interval=0, timeout=5), cloud.request()) is cloud.signed
    assert cloud.clock.sleeps == [0]


def test_environment_is_read_when_building_only(cloud, monkeypatch):
    monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", "2")
    monkeypatch.setenv("VOREL_DASHBOARD_URL", "https://first.example")
    handler = cloud.handler(poll_interval=5)
    monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", "garbage")
    monkeypatch.setenv("VOREL_DASHBOARD_URL", "https://second.example")
    cloud.script.responses = [{"status": "pending"}]
    with _info_records() as records:
        assert denied(cloud, handler).reason == timeout_reason("2.0")
    assert records[0].args[2] == "https://first.example/approvals?request=" + cloud.request_id


# ---- the dashboard link and the log -------------------------------------------------


class _info_records:
    def __enter__(self):
        self.records = []
        self.handler = logging.Handler(logging.DEBUG)
        self.handler.emit = self.records.append
        self.logger = logging.getLogger("vorel_cloud.langgraph")
        self.level = self.logger.level
        self.logger.setLevel(logging.DEBUG)
        self.logger.addHandler(self.handler)
        return self.records

    def __exit__(self, *exc):
        self.logger.removeHandler(self.handler)
        self.logger.setLevel(self.level)


@pytest.mark.parametrize(
    "argument, env, base",
    [
        ("https://dash.example", None, "https://dash.example"),
        ("https://dash.example///", None, "https://dash.example"),
        ("https://dash.example/tenant/", "https://env.example", "https://dash.example/tenant"),
        ("", "https://env.example//", "https://env.example"),
        ("", "", "https://app.vorel.cloud"),
        ("", None, "https://app.vorel.cloud"),
    ],
)
def test_dashboard_link(cloud, monkeypatch, argument, env, base):
    if env is not None:
        monkeypatch.setenv("VOREL_DASHBOARD_URL", env)
    with _info_records() as records:
        cloud.run(cloud.handler(dashboard_url=argument), cloud.request(tool="wire_money"))
    gate, granted = records
    assert gate.name == "vorel_cloud.langgraph" and gate.levelno == logging.INFO
    assert gate.msg == "approval gate for '%s' - request %s - %s"
    assert gate.args == ("wire_money", cloud.request_id, base + "/approvals?request=" + cloud.request_id)
    assert granted.levelno == logging.INFO
    assert granted.getMessage() == f"approval granted for 'wire_money' (request {cloud.request_id})"


def test_link_renders_a_non_text_request_id_and_logs_it_unchanged(cloud):
    cloud.script.create_result = {"id": 42}
    with _info_records() as records:
        cloud.run(cloud.handler(dashboard_url="https://d.example/"), cloud.request())
    assert records[0].args == ("send_email", 42, "https://d.example/approvals?request=42")
    assert [e[1] for e in cloud.script.events if e[0] == "get_request"] == [42]


# ---- errors of the cloud ----------------------------------------------------------


class CustomDenied(ApprovalDeniedError):
    pass


@pytest.mark.parametrize("stage", ["create", "poll"])
@pytest.mark.parametrize(
    "error",
    [ApprovalDeniedError("denied upstream"), ApprovalExpiredError("request expired upstream"), CustomDenied("custom")],
    ids=["denied", "expired", "subclass"],
)
def test_cloud_refusals_become_approval_denied_caused_by_them(cloud, stage, error):
    if stage == "create":
        cloud.script.create_error = error
    else:
        cloud.script.responses = [{"status": "pending"}, error]
    exc = denied(cloud, cloud.handler())
    assert exc.reason == str(error)
    assert exc.__cause__ is error and exc.__suppress_context__
    assert exc.__context__ is error
    assert cloud.script.client.closes == 1


@pytest.mark.parametrize("stage", ["create", "poll"])
def test_cloud_timeout_becomes_approval_denied_with_context_but_no_cause(cloud, stage):
    error = ApprovalTimeoutError("apr_x", 5)
    if stage == "create":
        cloud.script.create_error = error
    else:
        cloud.script.responses = [error]
    exc = denied(cloud, cloud.handler(timeout=60))
    assert exc.reason == timeout_reason("60")
    assert exc.__cause__ is None and not exc.__suppress_context__
    assert exc.__context__ is error
    assert cloud.script.client.closes == 1


class Explodes:
    def get(self, key, default=None):
        raise LookupError("broken response")


@pytest.mark.parametrize(
    "setup, expected",
    [
        (lambda s: setattr(s, "create_error", TransportError("connection refused")), TransportError),
        (lambda s: setattr(s, "create_error", VorelCloudError("server said no")), VorelCloudError),
        (lambda s: setattr(s, "create_result", {"request_id": "no id key"}), KeyError),
        (lambda s: setattr(s, "responses", [RuntimeError("poll failed")]), RuntimeError),
        (lambda s: setattr(s, "responses", [["not", "a", "mapping"]]), AttributeError),
        (lambda s: setattr(s, "responses", [Explodes()]), LookupError),
    ],
    ids=["transport", "cloud-error", "no-id", "poll-error", "no-get", "get-raises"],
)
def test_other_errors_propagate_unchanged_and_close(cloud, setup, expected):
    setup(cloud.script)
    with pytest.raises(expected) as info:
        cloud.run(cloud.handler(), cloud.request())
    assert not isinstance(info.value, ApprovalDenied)
    assert cloud.script.client.closes == 1


def test_decoder_errors_propagate_and_close(cloud, monkeypatch):
    import vorel_cloud.approval as approval_module

    failure = VorelCloudError("approved request has no approval responses")

    def decode(response):
        raise failure

    monkeypatch.setattr(approval_module, "_extract_signed_approvals", decode)
    with pytest.raises(VorelCloudError) as info:
        cloud.run(cloud.handler(), cloud.request())
    assert info.value is failure
    assert cloud.script.client.closes == 1


def test_request_without_tool_fails_after_creating_and_closes(cloud):
    request = cloud.request()
    del request.tool
    with pytest.raises(AttributeError):
        cloud.run(cloud.handler(), request)
    assert [e[0] for e in cloud.script.events] == ["create", "close"]


# ---- close() ------------------------------------------------------------------------


def test_close_error_replaces_the_result(cloud):
    cloud.script.close_error = OSError("socket already gone")
    with pytest.raises(OSError) as info:
        cloud.run(cloud.handler(), cloud.request())
    assert info.value is cloud.script.close_error
    assert info.value.__context__ is None
    assert cloud.script.client.closes == 1


def test_close_error_replaces_the_error_in_flight_and_chains_it(cloud):
    cloud.script.responses = [{"status": "denied"}]
    cloud.script.close_error = OSError("socket already gone")
    with pytest.raises(OSError) as info:
        cloud.run(cloud.handler(), cloud.request())
    assert isinstance(info.value.__context__, ApprovalDenied)
    assert info.value.__context__.reason == "denied"
    assert info.value.__cause__ is None


def test_close_error_raised_while_handling_its_own_error_keeps_the_whole_chain(cloud, monkeypatch):
    async def close(self):
        try:
            raise KeyError("connection pool")
        except KeyError:
            raise OSError("socket already gone")

    monkeypatch.setattr(lg.AsyncVorelCloudClient, "close", close)
    cloud.script.responses = [{"status": "expired"}]
    with pytest.raises(OSError) as info:
        cloud.run(cloud.handler(), cloud.request())
    inner = info.value.__context__
    assert isinstance(inner, KeyError)
    assert isinstance(inner.__context__, ApprovalDenied) and inner.__context__.reason == "approval request expired"


# ---- before the client exists ---------------------------------------------------------


def test_missing_core_approval_module_fails_before_anything(cloud, monkeypatch):
    handler = cloud.handler()
    monkeypatch.setitem(sys.modules, "vorel.approval", None)
    with pytest.raises(ImportError):
        cloud.run(handler, cloud.request())
    assert cloud.payloads == [] and cloud.script.clients == []


def test_missing_cloud_approval_module_fails_when_building(cloud, monkeypatch):
    monkeypatch.setitem(sys.modules, "vorel_cloud.approval", None)
    with pytest.raises(ImportError):
        cloud.handler()


def test_decoder_is_fixed_when_building(cloud, monkeypatch):
    import vorel_cloud.approval as approval_module

    handler = cloud.handler()
    monkeypatch.setattr(approval_module, "_extract_signed_approvals", lambda response: "too late")
    assert cloud.run(handler, cloud.request()) is cloud.signed


class BadRequestId:
    tool = "send_email"

    @property
    def request_id(self):
        raise RuntimeError("request id unavailable")


@pytest.mark.parametrize("stage", ["request_id", "payload", "client"])
def test_failures_before_the_client_exists_propagate_without_close(cloud, monkeypatch, stage):
    request = cloud.request()
    boom = RuntimeError(stage)
    if stage == "request_id":
        request = BadRequestId()
    elif stage == "payload":
        monkeypatch.setattr(lg, "build_approval_request_payload", lambda *a, **k: (_ for _ in ()).throw(boom))
    else:

        def no_client(*args, **kwargs):
            raise boom

        monkeypatch.setattr(lg, "AsyncVorelCloudClient", no_client)
    with pytest.raises(RuntimeError):
        cloud.run(cloud.handler(), request)
    assert cloud.script.events == []


# ---- cancellation ------------------------------------------------------------------------


@pytest.mark.parametrize("op", ["create", "get_request", "sleep", "close"])
def test_cancellation_at_each_await_propagates_and_closes_once(cloud, op):
    cloud.script.responses = [{"status": "pending"}]
    cloud.block(op)
    handler = cloud.handler()

    async def main():
        task = asyncio.ensure_future(handler(cloud.request()))
        await cloud.blocked()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

    asyncio.run(main())
    assert cloud.script.client.closes == 1
    assert cloud.script.events[-1] == ("close",)


# ---- the idempotency key -------------------------------------------------------------------


class HexBytes(bytes):
    pass


class NoRequestId:
    tool = "send_email"


@pytest.mark.parametrize(
    "request_id, key",
    [
        (None, None),
        (b"\x01\xab", "01ab"),
        (bytearray(b"\xff\x00"), "ff00"),
        (HexBytes(b"\x0a"), "0a"),
        (b"", ""),
        ("", ""),
        ("call-7", "call-7"),
        (42, "42"),
    ],
)
def test_idempotency_key(request_id, key):
    class Request:
        pass

    request = Request()
    request.request_id = request_id
    assert lg._get_idempotency_key(request) == key


def test_idempotency_key_absent_attribute_and_other_errors():
    assert lg._get_idempotency_key(NoRequestId()) is None
    with pytest.raises(RuntimeError, match="request id unavailable"):
        lg._get_idempotency_key(BadRequestId())


# ---- on the real event loop ---------------------------------------------------------------


def test_real_event_loop_sleeps_and_polls(monkeypatch, cloud):
    monkeypatch.setattr(lg, "asyncio", asyncio)
    cloud.script.responses = [{"status": "pending"}, {"status": "pending"}, {"status": "approved"}]
    handler = cloud.handler(poll_interval=0.01, timeout=5)

    async def main():
        loop = asyncio.get_running_loop()
        started = loop.time()
        result = await handler(cloud.request())
        return result, loop.time() - started

    result, elapsed = asyncio.run(main())
    assert result is cloud.signed
    assert elapsed >= 0.02
    assert cloud.script.client.closes == 1
