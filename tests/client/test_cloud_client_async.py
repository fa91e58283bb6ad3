"""What only the coroutine twin has: concurrency and cancellation on one loop."""

from __future__ import annotations

import asyncio

import httpx
import pytest

from vorel_cloud.client import AsyncVorelCloudClient


def test_concurrent_calls_share_one_client(server):
    server.default = lambda request: httpx.Response(
        200, json={"id": request.url.path.rsplit("/", 1)[-1], "status": "pending"}
    )

    async def run() -> list[dict]:
        async with AsyncVorelCloudClient("k", "http://cp.test", transport=server.transport) as c:
            return await asyncio.gather(*(c.get_request(f"apr_{i}") for i in range(5)))

    results = asyncio.run(run())
    assert [r["id"] for r in results] == [f"apr_{i}" for i in range(5)]
    assert len(server.requests) == 5


def test_cancellation_during_retry_wait_propagates(server):
    server.default = lambda request: httpx.Response(503, headers={"Retry-After": "30"})
    client = AsyncVorelCloudClient("k", "http://cp.test", transport=server.transport)

    async def run() -> None:
        async with client:
            task = asyncio.create_task(client.health())
            # The fake transport records requests and sets nothing to await: yield until the task sent one.
            while not server.requests:  # noqa: ASYNC110
                await asyncio.sleep(0)
            await asyncio.sleep(0)
            task.cancel()
            await task

    with pytest.raises(asyncio.CancelledError):
        asyncio.run(run())
    assert len(server.requests) == 1
    assert client._http is None


def test_uses_asyncio_sleep_not_time_sleep(server, monkeypatch):
    import time

    def forbidden(seconds: float) -> None:
        raise AssertionError("the coroutine twin must not block the loop")

    waits: list[float] = []

    async def fake_sleep(seconds: float) -> None:
        waits.append(seconds)

    monkeypatch.setattr(time, "sleep", forbidden)
    monkeypatch.setattr(asyncio, "sleep", fake_sleep)
    server.reply(429, {"error": {"code": "rate_limited", "message": "slow"}}, headers={"Retry-After": "2"})

    async def run() -> dict:
        async with AsyncVorelCloudClient("k", "http://cp.test", transport=server.transport) as c:
            return await c.health()

    assert asyncio.run(run()) == {"ok": True}
    assert waits == [2.0]
