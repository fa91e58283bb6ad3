"""Reference leaks of the native handler over many gates (approved, refused,
translated cloud errors, cancelled) and of the auto-wiring constructors."""

from __future__ import annotations

import asyncio

import pytest
from vorel.approval import ApprovalDenied

import vorel_cloud.langgraph as lg
from support.leaks import assert_no_leak
from vorel_cloud.exceptions import ApprovalExpiredError

# The event loop's own bookkeeping (ready queue, selector, task registry)
# settles over a few thousand steps and then wobbles by some dozens of blocks;
# a leak of even one object per gate grows by 2000+ here.
LEAK = {"runs": 2000, "warmup": 3000, "block_tolerance": 256}


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@pytest.mark.parametrize(
    "responses, expect",
    [
        ([{"status": "pending"}, {"status": "approved"}], None),
        ([{"status": "pending"}, {"status": "Denied", "denied_reason": "no"}], ApprovalDenied),
        ([{"status": "pending"}], ApprovalDenied),  # timed out on the loop clock
    ],
    ids=["approved", "denied", "timeout"],
)
def test_handler_runs_do_not_leak(quiet_cloud, loop, responses, expect):
    handler = quiet_cloud.handler(poll_interval=1, timeout=2)
    request = quiet_cloud.request(request_id=b"\x01\x02")

    def gate():
        quiet_cloud.script.responses = list(responses)
        return loop.run_until_complete(handler(request))

    assert_no_leak(gate, expect=expect, **LEAK)


def test_translated_cloud_errors_do_not_leak(quiet_cloud, loop):
    handler = quiet_cloud.handler()
    request = quiet_cloud.request()

    def gate():
        quiet_cloud.script.responses = [ApprovalExpiredError("expired upstream")]
        return loop.run_until_complete(handler(request))

    assert_no_leak(gate, expect=ApprovalDenied, **LEAK)


def test_cancelled_runs_do_not_leak(quiet_cloud, loop):
    handler = quiet_cloud.handler()
    request = quiet_cloud.request()
    quiet_cloud.block("get_request")

    async def cancel_once():
        task = asyncio.ensure_future(handler(request))
        await quiet_cloud.blocked()
        task.cancel()
        await task

    assert_no_leak(lambda: loop.run_until_complete(cancel_once()), expect=asyncio.CancelledError, **LEAK)


def test_building_handlers_and_wired_classes_do_not_leak(monkeypatch):
    monkeypatch.setenv("VOREL_API_KEY", "vk_leak")
    monkeypatch.setenv("VOREL_CONTROL_PLANE_URL", "http://127.0.0.1:1")
    import vorel_cloud.approval as approval_module

    monkeypatch.setattr(approval_module, "_extract_signed_approvals", lambda r: r)
    assert_no_leak(lambda: lg.langgraph_cloud_approval("vk", dashboard_url="https://d.example/"), **LEAK)
    assert_no_leak(lambda: lg.VorelMiddleware(gated_tools=["x"]), **LEAK)
    assert_no_leak(lambda: lg.langgraph_cloud_approval("vk", timeout=float("nan")), expect=ValueError, **LEAK)
    assert_no_leak(lambda: lg._get_idempotency_key(lg), **LEAK)
