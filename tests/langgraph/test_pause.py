"""The pause between polls on the real asyncio: the standard sleep's steps are
taken natively while ``asyncio.sleep`` is the standard one, a replaced one is
called as before."""

from __future__ import annotations

import asyncio

import pytest

import vorel_cloud.langgraph as lg


@pytest.fixture
def real_asyncio(cloud, monkeypatch):
    monkeypatch.setattr(lg, "asyncio", asyncio)
    cloud.script.responses = [{"status": "pending"}, {"status": "approved"}]
    return cloud


def test_a_replaced_sleep_is_called_with_each_pause(real_asyncio, monkeypatch):
    original = asyncio.sleep
    delays = []

    async def sleep(delay, *args):
        delays.append(delay)
        await original(0)

    monkeypatch.setattr(asyncio, "sleep", sleep)
    handler = real_asyncio.handler(poll_interval=0.25)
    assert real_asyncio.run(handler, real_asyncio.request()) is real_asyncio.signed
    assert [d for d in delays if d] == [0.25]  # the fake cloud itself sleeps 0 at each call


@pytest.mark.parametrize("cancel", [False, True], ids=["woken", "cancelled"])
def test_the_timer_of_a_pause_is_cancelled_however_it_ends(real_asyncio, cancel):
    handler = real_asyncio.handler(poll_interval=60.0 if cancel else 0.001)
    loop = asyncio.new_event_loop()
    timers = []
    call_later = loop.call_later
    loop.call_later = lambda *a, **kw: timers.append(call_later(*a, **kw)) or timers[-1]

    async def gate():
        task = asyncio.ensure_future(handler(real_asyncio.request()))
        if cancel:
            # Yield until the handler has armed its poll timer (recorded by the patched call_later).
            while not timers:  # noqa: ASYNC110
                await asyncio.sleep(0)
            task.cancel()
        return await task

    try:
        if cancel:
            with pytest.raises(asyncio.CancelledError):
                loop.run_until_complete(gate())
        else:
            assert loop.run_until_complete(gate()) is real_asyncio.signed
    finally:
        loop.close()
    assert len(timers) == 1  # one pause, timed on this loop
    assert timers[0].cancelled()
    assert real_asyncio.script.client.closes == 1


@pytest.mark.parametrize("module, name", [("events", "get_running_loop"), ("futures", "_set_result_unless_cancelled")])
def test_the_standard_sleeps_names_are_read_at_each_pause(real_asyncio, monkeypatch, module, name):
    # The steps taken for the standard sleep read its modules' names at each
    # pause, as the sleep itself would: a patched one is the one called.
    owner = getattr(asyncio, module)
    original, calls = getattr(owner, name), []

    def spy(*args):
        calls.append(name)
        return original(*args)

    monkeypatch.setattr(owner, name, spy)
    handler = real_asyncio.handler(poll_interval=0.001)
    assert real_asyncio.run(handler, real_asyncio.request()) is real_asyncio.signed
    assert calls == [name]  # the one pause
