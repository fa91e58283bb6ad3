"""Reference leaks of the native handlers over many runs, on success and error paths."""

from __future__ import annotations

import asyncio
import sys
import types
from typing import ClassVar

import pytest
from temporalio.exceptions import ApplicationError

from support.leaks import assert_no_leak
from vorel_cloud import approval
from vorel_cloud.exceptions import ApprovalExpiredError, TransportError, VorelCloudError

from .conftest import ApprovalDenied, Payload, Request

APPROVED = {"id": "r-1", "status": "approved", "responses": [{"signed_approval": "00ff"}]}


class Flow:
    """Answers of one run; nothing accumulates between runs."""

    created: ClassVar[dict] = {"id": "r-1"}
    polls = ({"status": "pending"}, APPROVED)
    close_error = None


class Client:
    def __init__(self, flow, *args, **kwargs):
        self.flow = flow
        self.n = 0

    def _next(self):
        answer = self.flow.polls[min(self.n, len(self.flow.polls) - 1)]
        self.n += 1
        if callable(answer):  # an error factory: a fresh exception per raise
            raise answer()
        return answer

    def create_request(self, **kwargs):
        return self.flow.created

    def get_request(self, request_id):
        return self._next()

    def close(self):
        if self.flow.close_error is not None:
            raise self.flow.close_error()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class AsyncClient(Client):
    async def create_request(self, **kwargs):
        await asyncio.sleep(0)
        return self.flow.created

    async def get_request(self, request_id):
        return self._next()

    async def close(self):
        Client.close(self)


@pytest.fixture
def flow(monkeypatch, core, clock):
    core.response_type = lambda **kw: types.SimpleNamespace(**kw)  # nothing recorded
    monkeypatch.setattr(sys.modules["vorel.cp_approval"], "ControlPlaneApprovalResponseV1", core.response_type)
    f = Flow()
    monkeypatch.setattr(approval, "VorelCloudClient", lambda *a, **kw: Client(f, *a, **kw))
    monkeypatch.setattr(approval, "AsyncVorelCloudClient", lambda *a, **kw: AsyncClient(f, *a, **kw))
    monkeypatch.setattr(approval, "build_approval_request_payload", lambda request, **kw: Payload(request, kw))
    monkeypatch.setattr(clock, "sleep", clock.sleep_without_record)
    return f


PATHS = {
    "approved": ((), None),
    "denied": (({"status": "denied", "denied_reason": "no"},), ApprovalDenied),
    "timeout": (({"status": "pending"},), ApprovalDenied),
    "refused": ((lambda: ApprovalExpiredError("expired"),), ApprovalDenied),
    "malformed": (({"status": "approved", "responses": [{"signed_approval": "!"}]},), VorelCloudError),
    "close fails": ((), TransportError),
}


def configure(flow, path):
    polls, expect = PATHS[path]
    if polls:
        flow.polls = polls
    if path == "close fails":
        flow.close_error = lambda: TransportError("close failed")
    return expect


@pytest.mark.parametrize("path", list(PATHS))
def test_sync_handler(flow, path):
    expect = configure(flow, path)
    handler = approval.cloud_approval("key", timeout=5)
    assert_no_leak(lambda: handler(Request()), warmup=1500, expect=expect)


@pytest.mark.parametrize("path", list(PATHS))
def test_async_handler_on_a_loop(flow, path):
    expect = configure(flow, path)
    handler = approval.async_cloud_approval("key", timeout=5)
    loop = asyncio.new_event_loop()
    try:
        assert_no_leak(lambda: loop.run_until_complete(handler(Request())), warmup=1500, expect=expect)
    finally:
        loop.close()


@pytest.mark.parametrize("path", ["approved", "timeout"])
def test_async_handler_worker_path(flow, path):
    expect = configure(flow, path)
    handler = approval.async_cloud_approval("key", timeout=5)

    def step():
        coro = handler(Request())
        try:
            coro.send(None)
        except StopIteration:
            pass

    # Each run starts a thread and an event loop; the interpreter's per-thread
    # caches settle by a few dozen blocks either way, while a leak per run
    # would show hundreds.
    assert_no_leak(step, runs=500, warmup=500, expect=expect, block_tolerance=160)


def test_cancelled_handler(flow):
    flow.polls = ({"status": "pending"},)
    handler = approval.async_cloud_approval("key", timeout=5)
    loop = asyncio.new_event_loop()

    async def cancel_one():
        task = asyncio.ensure_future(handler(Request()))
        await asyncio.sleep(0)
        task.cancel()
        await task

    try:
        assert_no_leak(lambda: loop.run_until_complete(cancel_one()), warmup=1500, expect=asyncio.CancelledError)
    finally:
        loop.close()


class Key:
    public_key = b"\x02" * 32


@pytest.mark.parametrize("path", ["approved", "pending", "transport"])
def test_temporal_handler(flow, monkeypatch, path):
    core = types.ModuleType("vorel_core")
    core.SignedApproval = types.SimpleNamespace(from_bytes=lambda raw: raw)
    monkeypatch.setitem(sys.modules, "vorel_core", core)
    monkeypatch.setattr(Key, "public_key", types.SimpleNamespace(to_bytes=lambda: b"k"), raising=False)
    expect = None
    if path == "pending":
        flow.polls, expect = ({"status": "pending"},), ApplicationError
    elif path == "transport":
        flow.polls, expect = (lambda: VorelCloudError("boom"),), ApplicationError
    handler = approval.temporal_cloud_approval("key", Key(), fast_poll_attempts=2)
    assert_no_leak(lambda: handler(Request()), runs=1000, warmup=1000, expect=expect)
