"""The native coroutine objects, exercised through the asynchronous handler.

Covers the Python coroutine protocol (send/throw/close, StopIteration value),
registration with asyncio, tasks and cancellation at every await, finalisation
of a suspended coroutine, cyclic garbage collection and the never-awaited
warning; plus the handler's choice between the running loop and a worker thread.
"""

from __future__ import annotations

import asyncio
import collections.abc
import concurrent.futures
import gc
import inspect
import sys
import threading
import types
import warnings
import weakref

import pytest

from vorel_cloud import approval

from .conftest import ApprovalDenied, FakeAsyncClient, Request


class Step:
    """An awaitable that yields its label once and returns what is sent back in."""

    def __init__(self, label, log):
        self.label = label
        self.log = log
        self.owner = None  # lets a test close a reference cycle through the awaited object

    def __await__(self):
        received = yield self.label
        self.log.append((self.label, received))
        return received


class SteppedClient:
    """A client whose every call suspends once, so a test can drive the handler by hand."""

    def __init__(self, *args, suspend_close=False, **kwargs):
        self.log = []
        self.closed = 0
        self.suspend_close = suspend_close
        self.steps = []

    def _step(self, label):
        step = Step(label, self.log)
        self.steps.append(step)
        return step

    def create_request(self, **kwargs):
        return self._step("create")

    def get_request(self, request_id):
        return self._step(f"poll {request_id}")

    def close(self):
        self.closed += 1
        if self.suspend_close:
            return self._step("close")

        async def closed():
            return None

        return closed()


@pytest.fixture
def stepped(monkeypatch, core, builds, clock):
    """The handler on a pretend running loop, driven by hand with send/throw/close."""
    clients = []

    def make(*args, **kwargs):
        client = SteppedClient(*args, suspend_close=make.suspend_close, **kwargs)
        clients.append(client)
        return client

    make.suspend_close = False
    make.clients = clients
    monkeypatch.setattr(approval, "AsyncVorelCloudClient", make)
    monkeypatch.setattr(approval, "asyncio", types.SimpleNamespace(get_running_loop=object, sleep=clock.async_sleep))
    return make


APPROVED = {"status": "approved", "responses": [{"signed_approval": "00ff"}]}


def test_registered_as_a_coroutine_and_coroutine_function():
    handler = approval.async_cloud_approval("key")
    assert inspect.iscoroutinefunction(handler)
    assert inspect.iscoroutinefunction(approval._async_poll_until_resolved)
    assert not inspect.iscoroutinefunction(approval.cloud_approval("key"))
    coro = handler(Request())
    try:
        assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
        assert coro.__qualname__ == "async_cloud_approval.<locals>._handle"
        assert coro.__await__() is coro
    finally:
        coro.close()


@pytest.mark.parametrize("change", ["renamed", "requalified", "new __dict__", "name deleted"])
def test_coroutine_takes_the_names_the_function_has_when_called(change):
    # As a Python coroutine does: whatever the function is called at the time of the call.
    handler = approval.async_cloud_approval("key")
    handler(Request()).close()  # a first coroutine before the change
    if change == "renamed":
        handler.__name__ = "renamed"
    elif change == "requalified":
        handler.__qualname__ = "Outer.requalified"
    elif change == "new __dict__":
        handler.__dict__ = {"__name__": "n", "__qualname__": "q.n"}
    else:
        del handler.__name__
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            with pytest.raises(AttributeError, match="__name__"):
                handler(Request())
            gc.collect()
        assert not seen  # no half-made coroutine left behind to say it was never awaited
        return
    coro = handler(Request())
    try:
        assert (coro.__name__, coro.__qualname__) == (handler.__name__, handler.__qualname__)
        assert repr(coro).startswith(f"<coroutine object {handler.__qualname__} at ")
    finally:
        coro.close()


def test_send_passes_values_to_the_awaited_iterator_and_returns_via_stop_iteration(stepped, monkeypatch):
    monkeypatch.setattr(approval, "_extract_signed_approvals", lambda result: ("a", "b"))
    coro = approval.async_cloud_approval("key")(Request())
    assert coro.send(None) == "create"
    assert coro.send({"id": "r-9"}) == "poll r-9"
    with pytest.raises(StopIteration) as done:
        coro.send(APPROVED)
    assert done.value.value == ("a", "b")  # a tuple stays one value
    (client,) = stepped.clients
    assert client.log == [("create", {"id": "r-9"}), ("poll r-9", APPROVED)]
    assert client.closed == 1
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_surfaces_at_the_await_and_clean_up_still_runs(stepped):
    stepped.suspend_close = True
    coro = approval.async_cloud_approval("key")(Request())
    coro.send(None)
    coro.send({"id": "r-1"})
    assert coro.throw(KeyError("thrown in")) == "close"  # the finally block awaits close()
    with pytest.raises(KeyError, match="thrown in"):
        coro.send(None)
    assert stepped.clients[0].closed == 1


@pytest.mark.parametrize("suspend_close", [False, True])
def test_close_of_a_suspended_coroutine(stepped, suspend_close):
    stepped.suspend_close = suspend_close
    coro = approval.async_cloud_approval("key")(Request())
    coro.send(None)
    coro.send({"id": "r-1"})
    if suspend_close:  # clean-up that suspends while closing: Python's own error
        with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
            coro.close()
    else:
        coro.close()
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
    assert stepped.clients[0].closed == 1


def test_unfinished_coroutine_in_a_cycle_is_finalised_and_collected(stepped):
    coro = approval.async_cloud_approval("key")(Request())
    coro.send(None)
    step = stepped.clients[0].steps.pop()
    step.owner = coro  # awaited object -> coroutine -> awaited object
    del step
    ref = weakref.ref(coro)
    del coro
    gc.collect()
    assert ref() is None
    assert stepped.clients[0].closed == 1  # finalisation ran the clean-up


def test_dropped_unstarted_coroutine_warns(cloud):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        approval.async_cloud_approval("key")(Request())
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == ["coroutine 'async_cloud_approval.<locals>._handle' was never awaited"]
    assert cloud.clients == []


class Gate:
    """Blocks the handler at one await (create, poll or sleep) until cancelled."""

    def __init__(self, stage):
        self.stage = stage
        self.reached = asyncio.Event()

    async def wait(self, stage):
        if stage == self.stage:
            self.reached.set()
            await asyncio.sleep(3600)


@pytest.mark.parametrize("stage", ["create", "poll", "sleep"])
def test_cancellation_at_each_await_closes_the_client_once(cloud, monkeypatch, stage):
    gate = Gate(stage)
    cloud.polls = [{"status": "pending"}] * 3

    class GatedClient(FakeAsyncClient):
        async def create_request(self, **kwargs):
            await gate.wait("create")
            return await super().create_request(**kwargs)

        async def get_request(self, request_id):
            await gate.wait("poll")
            return await super().get_request(request_id)

    async def sleep(seconds):
        await gate.wait("sleep")

    monkeypatch.setattr(approval, "AsyncVorelCloudClient", lambda *a, **kw: GatedClient(cloud, *a, **kw))
    monkeypatch.setattr(approval.asyncio, "sleep", sleep)

    async def main():
        task = asyncio.create_task(approval.async_cloud_approval("key")(Request()))
        await gate.reached.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return asyncio.get_running_loop()

    loop = asyncio.run(main())
    (client,) = cloud.clients
    assert client.closed == 1 and client.loop is loop


def test_running_loop_never_starts_a_thread(cloud, monkeypatch):
    def no_threads(*args, **kwargs):
        raise AssertionError("thread pool used on a running loop")

    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", no_threads)
    cloud.polls = [APPROVED]
    assert asyncio.run(approval.async_cloud_approval("key")(Request())) == ("signed", "AP8=")


def test_worker_path_runs_the_flow_in_one_pool_thread_and_waits(cloud, monkeypatch):
    pools = []

    class RecordingPool(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, **kwargs):
            pools.append(kwargs)
            super().__init__(**kwargs)

        def __exit__(self, *exc):
            result = super().__exit__(*exc)
            pools.append("shut down")
            return result

    threads = []
    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", RecordingPool)
    original_create = cloud.create
    cloud.create = lambda kwargs: threads.append(threading.get_ident()) or original_create(kwargs)
    cloud.polls = [APPROVED]

    coro = approval.async_cloud_approval("key")(Request())
    with pytest.raises(StopIteration) as done:
        coro.send(None)
    assert done.value.value == ("signed", "AP8=")
    assert pools == [{"max_workers": 1}, "shut down"]
    assert threads and threads[0] != threading.get_ident()
    client = cloud.clients[0]
    assert client.closed == 1 and client.loop.is_closed()  # closed on the worker's own loop


def test_runtime_error_of_the_flow_does_not_restart_it(cloud, monkeypatch):
    cloud.created = RuntimeError("flow broke")
    with pytest.raises(RuntimeError, match="flow broke"):
        asyncio.run(approval.async_cloud_approval("key")(Request()))
    assert [c[0] for c in cloud.calls] == ["create"] and cloud.closes == 1


def test_factory_imports_concurrent_futures(monkeypatch):
    monkeypatch.setitem(sys.modules, "concurrent.futures", None)
    with pytest.raises(ImportError):
        approval.async_cloud_approval("key")


def test_failing_close_resumed_while_a_denial_leaves_carries_it_as_context(stepped, monkeypatch):
    class FailingClose(SteppedClient):
        def close(self):
            self.closed += 1

            async def closing():
                await Step("closing", self.log)
                raise OSError("socket already gone")

            return closing()

    clients = []
    monkeypatch.setattr(
        approval, "AsyncVorelCloudClient", lambda *a, **kw: clients.append(FailingClose()) or clients[-1]
    )
    coro = approval.async_cloud_approval("key")(Request())
    coro.send(None)
    coro.send({"id": "r-1"})
    assert coro.send({"status": "denied"}) == "closing"  # close() suspended once
    with pytest.raises(OSError) as info:
        coro.send(None)  # resumed: the denial is still the error being handled
    assert type(info.value.__context__) is ApprovalDenied
    assert clients[0].closed == 1


def test_abandoned_pending_task_is_collected(core, clock, monkeypatch):
    """Task -> coroutine -> awaited future -> Task: the cycle the loop leaves behind."""

    class Stuck:
        async def get_request(self, request_id):
            await asyncio.get_running_loop().create_future()  # never resolved

    loop = asyncio.new_event_loop()
    task = loop.create_task(approval._async_poll_until_resolved(Stuck(), "r-1", poll_interval=1, timeout=5))
    loop.run_until_complete(asyncio.sleep(0.01))
    ref = weakref.ref(task)
    monkeypatch.setattr(loop, "call_exception_handler", lambda context: None)  # "Task was destroyed but it is pending!"
    del task
    gc.collect()
    loop.close()
    assert ref() is None


def test_ctrl_c_while_waiting_for_the_worker_cancels_the_flow(cloud, monkeypatch):
    """KeyboardInterrupt reaches the waiting thread in ``result()``; the flow must not poll on."""
    in_poll, seen = threading.Event(), []

    class Stuck(FakeAsyncClient):
        async def get_request(self, request_id):
            in_poll.set()
            try:
                await asyncio.sleep(5)  # a reviewer who takes long; before the fix this ran out
            except asyncio.CancelledError:
                seen.append("cancelled")
                raise
            return {"status": "denied"}

    class Interrupted:
        def __init__(self, future):
            self.future, self.waits = future, 0

        def result(self):
            self.waits += 1
            if self.waits == 1:
                in_poll.wait(10)
                raise KeyboardInterrupt
            return self.future.result()

        def __getattr__(self, name):
            return getattr(self.future, name)

    class Pool(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, /, *args):
            return Interrupted(super().submit(fn, *args))

    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", Pool)
    monkeypatch.setattr(approval, "AsyncVorelCloudClient", lambda *a, **kw: Stuck(cloud, *a, **kw))
    coro = approval.async_cloud_approval("key")(Request())
    with pytest.raises(KeyboardInterrupt):
        coro.send(None)
    assert seen == ["cancelled"] and cloud.closes == 1
