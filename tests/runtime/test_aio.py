"""The native steps of asyncio's sleep (create_future, call_later, cancel)
against the standard library's own: the same timer in the same heap, and
Python's own steps whenever something they rely on was replaced."""

from __future__ import annotations

import asyncio
import asyncio.base_events
import asyncio.events
import contextvars
import heapq
import random
import sys

import _vorel_layer_testing as lt
import pytest

from support.frames import python_frames
from support.leaks import assert_no_leak

SLOTS = ("_callback", "_args", "_cancelled", "_scheduled", "_source_traceback", "_repr", "_when", "_loop")


class Clock(asyncio.SelectorEventLoop):
    """A loop whose clock is set by the test (and counts its readings)."""

    def __init__(self, now=100.0):
        super().__init__()
        self.now, self.readings = now, 0

    def time(self):
        self.readings += 1
        return self.now


# The asyncio releases whose sleep, loop methods and handles the native steps
# were compared with (their source is the same in all four); on any other the
# snapshot is None and every step calls through.
KNOWN_ASYNCIO = {(3, 12), (3, 13), (3, 14), (3, 15)}


def test_the_native_steps_run_only_on_the_asyncio_they_know():
    assert (lt.aio_snapshot() is not None) is (sys.version_info[:2] in KNOWN_ASYNCIO)


@pytest.fixture
def snap():
    if sys.version_info[:2] not in KNOWN_ASYNCIO:
        pytest.skip("the native steps are off on this asyncio (every step calls through)")
    s = lt.aio_snapshot()
    assert s is not None, "this asyncio is not the one the native steps know"
    return s


@pytest.fixture
def loop():
    loop = Clock()
    yield loop
    loop.close()


def state(timer):
    return {name: getattr(timer, name) for name in SLOTS} | {"context": type(timer._context)}


def on_time(*args):
    pass


def test_the_native_timer_is_the_one_call_later_makes(snap, loop):
    frames, timer = python_frames(lambda: lt.aio_call_later(snap, loop, 5.0, on_time, (1, None)))
    assert "BaseEventLoop.call_later" not in frames and "TimerHandle.__init__" not in frames  # the native steps ran
    assert loop.readings == 1  # the clock is read once, as call_later reads it
    expected = loop.call_later(5.0, on_time, 1, None)
    assert type(timer) is asyncio.events.TimerHandle
    assert state(timer) == state(expected)
    assert timer in loop._scheduled and timer.when() == 105.0


@pytest.mark.parametrize("clock", [float, int], ids=["float clock", "int clock"])
def test_the_heap_is_ordered_as_heappush_orders_it(snap, clock):
    native, python = Clock(), Clock()
    rng = random.Random(7)
    try:
        for i in range(300):
            native.now = python.now = clock(rng.randrange(100))  # many equal times: ties must stay put
            delay = rng.choice([1, 2.5, 10])
            lt.aio_call_later(snap, native, delay, on_time, (i,))
            python.call_later(delay, on_time, i)
        assert [t._args for t in native._scheduled] == [t._args for t in python._scheduled]
        # and the loop's own pops find them in time order
        assert [heapq.heappop(native._scheduled).when() for _ in range(300)] == sorted(
            t.when() for t in python._scheduled
        )
    finally:
        native.close()
        python.close()


def _instance_call_later(mp, loop, spy):
    mp.setattr(loop, "call_later", spy(loop.call_later), raising=False)


def _class_call_at(mp, loop, spy):
    mp.setattr(asyncio.base_events.BaseEventLoop, "call_at", spy(asyncio.base_events.BaseEventLoop.call_at))


def _timer_init(mp, loop, spy):
    mp.setattr(asyncio.events.TimerHandle, "__init__", spy(asyncio.events.TimerHandle.__init__))


def _handle_init(mp, loop, spy):
    mp.setattr(asyncio.events.Handle, "__init__", spy(asyncio.events.Handle.__init__))


def _heappush(mp, loop, spy):
    mp.setattr(heapq, "heappush", spy(heapq.heappush))


def _copy_context(mp, loop, spy):
    mp.setattr(contextvars, "copy_context", spy(contextvars.copy_context))


def _timer_class(mp, loop, spy):
    class Timer(asyncio.events.TimerHandle):
        __slots__ = ()

    mp.setattr(asyncio.events, "TimerHandle", spy(Timer))


@pytest.mark.parametrize(
    "patch",
    [_instance_call_later, _class_call_at, _timer_init, _handle_init, _heappush, _copy_context, _timer_class],
)
def test_a_replaced_piece_is_called_as_python_calls_it(snap, loop, monkeypatch, patch):
    calls = []

    def spy(original):
        def wrapper(*args, **kwargs):
            calls.append(args)
            return original(*args, **kwargs)

        return wrapper

    patch(monkeypatch, loop, spy)
    timer = lt.aio_call_later(snap, loop, 1.0, on_time, ())
    assert len(calls) == 1
    assert timer in loop._scheduled and timer.when() == 101.0
    monkeypatch.undo()
    # Put back, the standard pieces are found again (class versions re-checked).
    frames, _ = python_frames(lambda: lt.aio_call_later(snap, loop, 1.0, on_time, ()))
    assert "BaseEventLoop.call_later" not in frames


def test_a_debug_loop_gets_its_own_steps(snap, loop):
    loop.set_debug(True)
    frames, timer = python_frames(lambda: lt.aio_call_later(snap, loop, 1.0, on_time, ()))
    assert "BaseEventLoop.call_at" in frames
    assert timer._source_traceback  # recorded, as in debug mode


def test_a_closed_loop_refuses_after_reading_its_clock(snap, loop):
    loop.close()
    with pytest.raises(RuntimeError, match=r"^Event loop is closed$"):
        lt.aio_call_later(snap, loop, 1.0, on_time, ())
    assert loop.readings == 1


@pytest.mark.parametrize("fired", [True, False], ids=["after it ran", "while it waits"])
def test_cancel_leaves_the_timer_and_loop_as_timerhandle_cancel_does(snap, loop, fired):
    native = lt.aio_call_later(snap, loop, 1.0, on_time, (1,))
    python = loop.call_later(1.0, on_time, 1)
    if fired:  # as the loop's _run_once leaves a timer it took from the heap
        loop._scheduled.clear()
        native._scheduled = python._scheduled = False
    before = loop._timer_cancelled_count
    lt.aio_cancel(snap, native)
    after_native = loop._timer_cancelled_count
    python.cancel()
    assert state(native) == state(python)
    assert native.cancelled() and native._callback is None
    assert after_native - before == (0 if fired else 1)
    lt.aio_cancel(snap, native)  # a second cancel does nothing
    assert loop._timer_cancelled_count == after_native + (0 if fired else 1)


def test_create_future_on_a_standard_loop_and_a_replaced_method(snap, loop, monkeypatch):
    frames, future = python_frames(lambda: lt.aio_create_future(snap, loop))
    assert "BaseEventLoop.create_future" not in frames
    assert type(future) is asyncio.Future and future.get_loop() is loop
    made = []
    monkeypatch.setattr(loop, "create_future", lambda: made.append(1) or "mine", raising=False)
    assert lt.aio_create_future(snap, loop) == "mine" and made == [1]


def test_the_steps_leak_nothing(snap, loop):
    def cycle():
        timer = lt.aio_call_later(snap, loop, 1.0, on_time, (loop,))
        loop._scheduled.clear()
        timer._scheduled = False
        lt.aio_cancel(snap, timer)
        lt.aio_create_future(snap, loop)

    assert_no_leak(cycle, objects=(loop, on_time, asyncio.events.TimerHandle))
