"""Helpers shared by the end-to-end tests."""

from __future__ import annotations

import asyncio
import threading
from typing import Any, Callable

# Handlers poll this fast so that a test waits tens of milliseconds, not seconds.
POLL = 0.02


class Background:
    """Runs a call (a coroutine function or a plain one) on another thread and keeps its outcome."""

    def __init__(self, fn: Callable[[], Any]) -> None:
        self.result: Any = None
        self.error: BaseException | None = None

        def target() -> None:
            try:
                value = fn()
                self.result = asyncio.run(value) if asyncio.iscoroutine(value) else value
            except BaseException as exc:  # handed to the test through outcome()
                self.error = exc

        self.thread = threading.Thread(target=target, daemon=True)
        self.thread.start()

    def outcome(self, timeout: float = 20.0) -> Any:
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the handler is still waiting"
        if self.error is not None:
            raise self.error
        return self.result
