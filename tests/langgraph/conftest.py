"""Fakes for the LangGraph handler tests.

``cloud`` patches the names the handler looks up at each call: the async
client (a scripted fake), the payload builder, the ``asyncio`` the handler
sees (whose running loop has a clock that only sleeping moves) and the
signed-approval decoder of ``vorel_cloud.approval``.
"""
from __future__ import annotations

import asyncio
import types
from typing import Any

import pytest

import vorel_cloud.approval as approval_module
import vorel_cloud.langgraph as lg

API_KEY = "vk_test_langgraph"
REQUEST_ID = "apr_0001"
SIGNED = object()  # what the fake decoder returns for an approved response


class LoopClock:
    """Stands in for the handler's ``asyncio``: the running loop's clock and sleep.

    ``time()`` is the loop clock; ``sleep`` records the delay, moves the clock
    on by it and yields once to the real loop, so no test waits in real time.
    """

    def __init__(self, record: bool = True) -> None:
        self.record = record
        self.now = 1000.0
        self.sleeps: list[Any] = []
        self.block_sleep = False
        self.blocked = None  # asyncio.Event, set when a blocked sleep is reached

    def get_running_loop(self) -> "LoopClock":
        asyncio.get_running_loop()  # the real precondition: a loop must be running
        return self

    def time(self) -> float:
        return self.now

    async def sleep(self, delay: Any) -> None:
        if self.record:
            self.sleeps.append(delay)
        if len(self.sleeps) > 10_000:
            raise AssertionError("poll loop does not end: the deadline never passes on the loop clock")
        self.now += delay
        if self.block_sleep:
            self.blocked.set()
            await asyncio.get_running_loop().create_future()
        await asyncio.sleep(0)


class CloudScript:
    """What the fake cloud answers, and what it was asked.

    ``responses`` are the answers to successive polls (a dict, or an exception
    instance to raise); the last one repeats. ``block_at`` names an operation
    ("create", "get_request", "close") that never finishes, for cancellation.
    """

    def __init__(self, clock: LoopClock, record: bool = True) -> None:
        self.clock = clock
        self.record = record
        self.create_result: Any = {"id": REQUEST_ID, "status": "pending"}
        self.create_error: BaseException | None = None
        self.responses: list[Any] = [{"status": "approved"}]
        self.close_error: BaseException | None = None
        self.block_at: str | None = None
        self.blocked = None
        self.clients: list[FakeClient] = []
        self.events: list[tuple] = []
        self.tick_on_create = 0.0  # loop-clock seconds the create call takes
        self.tick_on_poll = 0.0  # loop-clock seconds each poll takes

    def note(self, *event: Any) -> None:
        if self.record:
            self.events.append(event)

    async def checkpoint(self, op: str) -> None:
        if self.block_at == op:
            self.blocked.set()
            await asyncio.get_running_loop().create_future()
        await asyncio.sleep(0)

    @property
    def client(self) -> "FakeClient":
        (only,) = self.clients
        return only


class FakeClient:
    script: CloudScript  # bound per test by the fixture

    def __init__(self, api_key: Any, base_url: Any = None, **extra: Any) -> None:
        self.api_key = api_key
        self.base_url = base_url
        self.extra = extra
        self.closes = 0
        if self.script.record:
            self.script.clients.append(self)

    async def create_request(self, **kwargs: Any) -> Any:
        self.script.note("create", kwargs)
        await self.script.checkpoint("create")
        self.script.clock.now += self.script.tick_on_create
        if self.script.create_error is not None:
            raise self.script.create_error
        return self.script.create_result

    async def get_request(self, request_id: Any) -> Any:
        self.script.note("get_request", request_id)
        await self.script.checkpoint("get_request")
        self.script.clock.now += self.script.tick_on_poll
        answers = self.script.responses
        answer = answers.pop(0) if len(answers) > 1 else answers[0]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    async def close(self) -> None:
        self.closes += 1
        self.script.note("close")
        await self.script.checkpoint("close")
        if self.script.close_error is not None:
            raise self.script.close_error


class Payload:
    def __init__(self, request: Any, signing_key: Any, idempotency_key: Any) -> None:
        self.request = request
        self.signing_key = signing_key
        self.idempotency_key = idempotency_key

    def to_create_request_kwargs(self) -> dict[str, Any]:
        return {"warrant_id": "w-1", "tool": "send_email", "idempotency_key": self.idempotency_key}


class Cloud:
    """One test's fake cloud: script, clock, recorded payloads and decodes."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch, record: bool = True) -> None:
        self.clock = LoopClock(record)
        self.script = CloudScript(self.clock, record=record)
        self.payloads: list[Payload] = []
        self.decoded: list[Any] = []
        self.record = record
        client_type = type("FakeClient", (FakeClient,), {"script": self.script})
        monkeypatch.setattr(lg, "AsyncVorelCloudClient", client_type)
        monkeypatch.setattr(lg, "build_approval_request_payload", self.build_payload)
        monkeypatch.setattr(lg, "asyncio", self.clock)
        monkeypatch.setattr(approval_module, "_extract_signed_approvals", self.decode)

    def build_payload(self, request: Any, *, signing_key: Any = None, idempotency_key: Any = None) -> Payload:
        payload = Payload(request, signing_key, idempotency_key)
        if self.record:
            self.payloads.append(payload)
        return payload

    def decode(self, response: Any) -> Any:
        if self.record:
            self.decoded.append(response)
        return SIGNED

    api_key = API_KEY
    request_id = REQUEST_ID
    signed = SIGNED

    @staticmethod
    def request(**attrs: Any) -> types.SimpleNamespace:
        """An approval request as the core SDK hands it over (only what is read)."""
        attrs.setdefault("tool", "send_email")
        attrs.setdefault("request_id", "call-1")
        return types.SimpleNamespace(**attrs)

    def handler(self, **options: Any) -> Any:
        return lg.langgraph_cloud_approval(API_KEY, **options)

    def run(self, handler: Any, request: Any) -> Any:
        return asyncio.run(handler(request))

    def block(self, op: str) -> None:
        """Make ``op`` ("create", "get_request", "sleep", "close") hang until cancelled."""
        if op == "sleep":
            self.clock.block_sleep = True
        else:
            self.script.block_at = op

    async def blocked(self) -> None:
        event = asyncio.Event()
        self.clock.blocked = self.script.blocked = event
        await event.wait()


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in ("VOREL_API_KEY", "VOREL_APPROVAL_TIMEOUT", "VOREL_DASHBOARD_URL", "VOREL_CONTROL_PLANE_URL"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def cloud(monkeypatch: pytest.MonkeyPatch) -> Cloud:
    return Cloud(monkeypatch)


@pytest.fixture
def quiet_cloud(monkeypatch: pytest.MonkeyPatch) -> Cloud:
    """The same fake cloud without its records, which would grow over leak-check runs."""
    return Cloud(monkeypatch, record=False)
