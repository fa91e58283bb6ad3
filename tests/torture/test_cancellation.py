"""Cancellation at every suspension point of the asynchronous handlers.

A fake asynchronous client counts the handler's suspension points (create,
each poll, each sleep between polls, close). The flow is first run once
uncancelled to learn how many there are; then once per point, the task is
cancelled exactly there. Every run must end with the client closed exactly
once (also when the cancellation lands inside close() itself), the
cancellation reaching the caller, and no native coroutine left behind.
"""

from __future__ import annotations

import asyncio
import gc
import types
from typing import ClassVar

import pytest

from support.fakes import APPROVED, PENDING
from vorel_cloud import approval, langgraph


class Points:
    """Numbers the suspension points and cancels the running task at one."""

    def __init__(self, cancel_at: int | None, again_in_close: bool = False):
        self.cancel_at = cancel_at
        self.again_in_close = again_in_close
        self.trace: list[str] = []

    async def reach(self, name: str) -> None:
        self.trace.append(name)
        n = len(self.trace)
        if n == self.cancel_at or (self.again_in_close and name == "close" and n > self.cancel_at):
            asyncio.current_task().cancel()
        await _real_sleep(0)  # the suspension where a cancellation lands


_real_sleep = asyncio.sleep


class Client:
    instances: ClassVar[list["Client"]] = []

    def __init__(self, points: Points, polls: list[dict], *args, **kwargs):
        self.points = points
        self.polls = list(polls)
        self.close_calls = 0
        Client.instances.append(self)

    async def create_request(self, **kwargs):
        await self.points.reach("create")
        return {"id": "r-1"}

    async def get_request(self, request_id):
        await self.points.reach("poll")
        return self.polls.pop(0) if len(self.polls) > 1 else self.polls[0]

    async def close(self):
        self.close_calls += 1
        await self.points.reach("close")


def asyncio_with(points: Points):
    """The handlers' `asyncio` global: the real module, with sleeps counted."""
    proxy = types.ModuleType("asyncio")
    proxy.__dict__.update(asyncio.__dict__)

    async def sleep(delay, result=None):
        await points.reach("sleep")
        return result

    proxy.sleep = sleep
    return proxy


class Payload:
    def to_create_request_kwargs(self):
        return {"warrant_id": "w", "tool": "t"}


def native_coroutines() -> int:
    gc.collect()
    return sum(1 for o in gc.get_objects() if type(o).__name__ == "native_coroutine")


HANDLERS = {
    "async_cloud_approval": (approval, lambda: approval.async_cloud_approval("k", poll_interval=0.01)),
    "langgraph_cloud_approval": (
        langgraph,
        lambda: langgraph.langgraph_cloud_approval("k", poll_interval=0.01, timeout=60.0),
    ),
}


@pytest.fixture
def wired(monkeypatch, core_modules):
    """Installs the fakes into a handler's module; returns run(cancel_at)."""

    def wire(name):
        module, factory = HANDLERS[name]
        state = {}

        def make_client(*args, **kwargs):
            return Client(state["points"], [PENDING, PENDING, APPROVED], *args, **kwargs)

        monkeypatch.setattr(module, "AsyncVorelCloudClient", make_client)
        monkeypatch.setattr(module, "build_approval_request_payload", lambda request, **kw: Payload())
        handler = factory()

        def run(cancel_at, again_in_close=False):
            points = Points(cancel_at, again_in_close)
            state["points"] = points
            monkeypatch.setattr(module, "asyncio", asyncio_with(points))
            Client.instances.clear()
            request = types.SimpleNamespace(tool="t", request_id=None)

            async def main():
                return await handler(request)

            loop = asyncio.new_event_loop()
            try:
                try:
                    result = loop.run_until_complete(main())
                    outcome = ("ok", result)
                except asyncio.CancelledError:
                    outcome = ("cancelled", None)
            finally:
                loop.close()
            return outcome, points.trace, list(Client.instances)

        return run

    return wire


@pytest.mark.parametrize("again_in_close", [False, True], ids=["once", "again-in-close"])
@pytest.mark.parametrize("name", sorted(HANDLERS))
def test_cancel_at_every_suspension_point(name, again_in_close, wired):
    run = wired(name)
    before = native_coroutines()
    outcome, trace, clients = run(None)
    assert outcome == ("ok", "AP8=")
    assert trace[0] == "create" and trace[-1] == "close"
    assert trace.count("poll") == 3 and "sleep" in trace
    assert [c.close_calls for c in clients] == [1]

    for k in range(1, len(trace) + 1):
        # again_in_close: a second cancellation interrupts the clean-up's close
        outcome, seen, clients = run(k, again_in_close)
        assert seen == trace[:k] + (["close"] if trace[k - 1] != "close" else []), k
        assert outcome == ("cancelled", None), (k, trace[k - 1])
        assert [c.close_calls for c in clients] == [1], (k, trace[k - 1])
    assert native_coroutines() == before


@pytest.mark.parametrize("name", sorted(HANDLERS))
def test_cancel_before_the_first_step(name, wired):
    """A handler coroutine cancelled before it ever ran creates no client."""
    wired(name)
    handler = HANDLERS[name][1]()

    async def main():
        task = asyncio.ensure_future(handler(types.SimpleNamespace(tool="t", request_id=None)))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    Client.instances.clear()
    asyncio.run(main())
    assert Client.instances == []
