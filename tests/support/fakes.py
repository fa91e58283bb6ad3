"""The fakes the test suites share: the core SDK's modules and the cloud clients.

Everything is injected the way a Python caller would patch a module: module
globals (`VorelCloudClient`, `time`, `asyncio`, ...) with monkeypatch, the
lazily imported core SDK through `sys.modules`.

- `CoreSDK`: `vorel.approval`, `vorel.cp_approval`, `vorel.decorators` and
  `vorel_core`, installed as many of them as a suite needs.
- The approval handlers' clients: `Script` answers, `FakeClient` and
  `FakeAsyncClient` ask it, `Clock` moves only when the handler sleeps.
- The LangGraph handler's asynchronous client, whose calls can block until
  cancelled, on a loop clock: `LangGraphCloud`.
- Quick Connect's clients and tokens: `ConnectCloud`, `make_token`.
"""

from __future__ import annotations

import asyncio
import base64
import json
import os
import sys
import types
from typing import Any, Callable

import pytest

PENDING = {"id": "r-1", "status": "pending"}
APPROVED = {"id": "r-1", "status": "approved", "responses": [{"signed_approval": "00ff"}]}
DENIED = {"id": "r-1", "status": "denied", "denied_reason": "no"}


# ---- the core SDK -------------------------------------------------------------------


class ApprovalDenied(Exception):
    def __init__(self, request=None, reason="approval denied"):
        self.request = request
        self.reason = reason
        super().__init__(request, reason)


class CoreSDK:
    """The core SDK's approval, control-plane decoding and key-scope modules and the
    signing core, faked; each records what it was asked.

    `signed` makes the decoder's answer of one base64 text: by default a tagged
    pair, so a test sees that the decoder made it.
    """

    def __init__(self, signed: Callable[[str], Any] = lambda text: ("signed", text)):
        self.signed = signed
        self.responses: list = []
        self.decoded = None  # None: one object per text
        self.scope_calls = 0
        self.scope_result = None
        self.scope_error: BaseException | None = None
        self.built: list = []
        self.result = ("Y2Jvcg==", {"request_hash": "aabb", "sig": "00"})  # the signing core's pair

    def response_type(self, *, status, signed_approvals_b64):
        response = types.SimpleNamespace(status=status, signed_approvals_b64=signed_approvals_b64)
        self.responses.append(response)
        return response

    def from_response(self, response):
        if self.decoded is not None:
            return self.decoded
        return [self.signed(text) for text in response.signed_approvals_b64 or []]

    def key_scope(self):
        self.scope_calls += 1
        if self.scope_error is not None:
            raise self.scope_error
        return self.scope_result

    def build(self, *args):
        self.built.append(args)
        return self.result

    def modules(self, names) -> dict[str, types.ModuleType]:
        """The named modules (and `vorel`, carrying those of its submodules)."""
        vorel = types.ModuleType("vorel")
        made = {"vorel": vorel}
        for name in names:
            mod = types.ModuleType(name)
            if name == "vorel.approval":
                mod.ApprovalDenied = ApprovalDenied
            elif name == "vorel.cp_approval":
                mod.ControlPlaneApprovalResponseV1 = self.response_type
                mod.signed_approvals_from_response = self.from_response
            elif name == "vorel.decorators":
                mod.key_scope = self.key_scope
            elif name == "vorel_core":
                mod.py_build_approval_context_attestation = self.build
            else:
                raise ValueError(f"no fake for {name}")
            if name.startswith("vorel."):
                setattr(vorel, name.partition(".")[2], mod)
            made[name] = mod
        return made

    def install(self, monkeypatch, *names: str) -> "CoreSDK":
        for name, mod in self.modules(names or ("vorel.approval", "vorel.cp_approval")).items():
            monkeypatch.setitem(sys.modules, name, mod)
        return self


# ---- the approval handlers' clients ---------------------------------------------------


class Clock:
    """A monotonic clock that only moves when the code under test sleeps."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds

    def sleep_without_record(self, seconds):
        self.now += seconds

    async def async_sleep(self, seconds):
        self.sleep(seconds)
        await asyncio.sleep(0)  # a real suspension point, so cancellation can land here


class Script:
    """What one fake client answers: a create answer and a list of poll answers.

    An answer that is an exception instance is raised instead of returned.
    """

    def __init__(self, polls=(), created=None, close_error=None, exit_result=None):
        self.created = {"id": "r-1", "status": "pending"} if created is None else created
        self.polls = list(polls)
        self.close_error = close_error
        self.exit_result = exit_result
        self.clients = []
        self.calls = []

    def _answer(self, value):
        if isinstance(value, BaseException):
            raise value
        return value

    def create(self, kwargs):
        self.calls.append(("create", kwargs))
        return self._answer(self.created)

    def get(self, request_id):
        self.calls.append(("get", request_id))
        return self._answer(self.polls.pop(0))

    @property
    def closes(self):
        return sum(c.closed for c in self.clients)


class FakeClient:
    def __init__(self, script, api_key, **kwargs):
        self.script = script
        self.args = (api_key, kwargs)
        self.closed = 0
        self.exits = []
        script.clients.append(self)

    def create_request(self, **kwargs):
        return self.script.create(kwargs)

    def get_request(self, request_id):
        return self.script.get(request_id)

    def close(self):
        self.closed += 1
        if self.script.close_error is not None:
            raise self.script.close_error

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.exits.append(exc_info)
        self.close()
        return self.script.exit_result


class FakeAsyncClient(FakeClient):
    async def create_request(self, **kwargs):
        await asyncio.sleep(0)
        return self.script.create(kwargs)

    async def get_request(self, request_id):
        await asyncio.sleep(0)
        return self.script.get(request_id)

    async def close(self):
        self.closed += 1
        self.loop = asyncio.get_running_loop()
        if self.script.close_error is not None:
            raise self.script.close_error


class Recording:
    """A client proxy that notes in ``order`` when ``create_request`` is looked up."""

    def __init__(self, client, order):
        self._client, self._order = client, order

    def __getattr__(self, name):
        if name == "create_request":
            self._order.append("lookup create_request")
        return getattr(self._client, name)


class Payload:
    def __init__(self, request, kwargs):
        self.request = request
        self.kwargs = kwargs

    def to_create_request_kwargs(self):
        return {"tool": getattr(self.request, "tool", "?"), "warrant_id": "w-1"}


class Request:
    def __init__(self, tool="send_email", **attrs):
        self.tool = tool
        self.__dict__.update(attrs)


# ---- the LangGraph handler's client ---------------------------------------------------

LANGGRAPH_API_KEY = "vk_test_langgraph"
LANGGRAPH_REQUEST_ID = "apr_0001"
SIGNED = object()  # what the LangGraph cloud's decoder returns for an approved response


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
        self.create_result: Any = {"id": LANGGRAPH_REQUEST_ID, "status": "pending"}
        self.create_error: BaseException | None = None
        self.responses: list[Any] = [{"status": "approved"}]
        self.close_error: BaseException | None = None
        self.block_at: str | None = None
        self.blocked = None
        self.clients: list[LoopClient] = []
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
    def client(self) -> "LoopClient":
        (only,) = self.clients
        return only


class LoopClient:
    script: CloudScript  # bound per test by LangGraphCloud

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


class LangGraphPayload:
    def __init__(self, request: Any, signing_key: Any, idempotency_key: Any) -> None:
        self.request = request
        self.signing_key = signing_key
        self.idempotency_key = idempotency_key

    def to_create_request_kwargs(self) -> dict[str, Any]:
        return {"warrant_id": "w-1", "tool": "send_email", "idempotency_key": self.idempotency_key}


class LangGraphCloud:
    """One test's fake cloud: script, clock, recorded payloads and decodes.

    Patches the names the handler looks up at each call: the async client, the
    payload builder, the ``asyncio`` the handler sees and the signed-approval
    decoder of ``vorel_cloud.approval``.
    """

    def __init__(self, monkeypatch: pytest.MonkeyPatch, record: bool = True) -> None:
        import vorel_cloud.approval as approval_module
        import vorel_cloud.langgraph as lg

        self._lg = lg
        self.clock = LoopClock(record)
        self.script = CloudScript(self.clock, record=record)
        self.payloads: list[LangGraphPayload] = []
        self.decoded: list[Any] = []
        self.record = record
        client_type = type("FakeClient", (LoopClient,), {"script": self.script})
        monkeypatch.setattr(lg, "AsyncVorelCloudClient", client_type)
        monkeypatch.setattr(lg, "build_approval_request_payload", self.build_payload)
        monkeypatch.setattr(lg, "asyncio", self.clock)
        monkeypatch.setattr(approval_module, "_extract_signed_approvals", self.decode)

    def build_payload(self, request: Any, *, signing_key: Any = None, idempotency_key: Any = None) -> LangGraphPayload:
        payload = LangGraphPayload(request, signing_key, idempotency_key)
        if self.record:
            self.payloads.append(payload)
        return payload

    def decode(self, response: Any) -> Any:
        if self.record:
            self.decoded.append(response)
        return SIGNED

    api_key = LANGGRAPH_API_KEY
    request_id = LANGGRAPH_REQUEST_ID
    signed = SIGNED

    @staticmethod
    def request(**attrs: Any) -> types.SimpleNamespace:
        """An approval request as the core SDK hands it over (only what is read)."""
        attrs.setdefault("tool", "send_email")
        attrs.setdefault("request_id", "call-1")
        return types.SimpleNamespace(**attrs)

    def handler(self, **options: Any) -> Any:
        return self._lg.langgraph_cloud_approval(LANGGRAPH_API_KEY, **options)

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


# ---- Quick Connect's clients and tokens ---------------------------------------------


def make_token(payload, *, fill: bool = False) -> str:
    """A Quick Connect token for any JSON value (fill kept or dropped)."""
    encoded = base64.urlsafe_b64encode(json.dumps(payload).encode()).decode()
    return "vorel_ct_" + (encoded if fill else encoded.rstrip("="))


API_KEY = "vk_live_secret_key"
REG_TOKEN = "reg_one_time_secret"
ENDPOINT = "https://cloud.example.test/"
PLAIN_TOKEN = make_token({"endpoint": ENDPOINT, "api_key": API_KEY})
AGENT_TOKEN = make_token(
    {"endpoint": ENDPOINT, "api_key": API_KEY, "agent_id": "agt_7", "registration_token": REG_TOKEN}
)
PUB_HEX = "ab" * 32


class Response:
    """What `_send` hands to `_handle_response`."""


class ConnectCloud:
    """Scripted answers of the control plane and a log of everything done to it.

    Each answer attribute holds the value to return or an exception to raise,
    or a callable that makes one.
    """

    def __init__(self):
        self.events: list[tuple] = []
        self.clients: list[ConnectClient] = []
        self.health = {"status": "ok", "version": "1"}
        self.tenant = {"id": "ten_1", "name": "Acme", "slug": "acme"}
        self.policies = {"items": [], "has_more": False}
        self.claim = {"agent_id": "agt_7", "name": "bot", "status": "claimed"}
        self.close_error: BaseException | None = None

    def answer(self, what):
        value = getattr(self, what)
        if callable(value):  # a fresh answer per call (a new exception each time)
            value = value()
        if isinstance(value, BaseException):
            raise value
        return value

    def calls(self, name):
        return [e for e in self.events if e[0] == name]

    def factory(self, kind):
        def make(*args, **kwargs):
            client = ConnectClient(self, kind, args, kwargs)
            self.clients.append(client)
            self.events.append(("new", kind, args, kwargs))
            return client

        return make


class ConnectClient:
    def __init__(self, cloud, kind, args, kwargs):
        self.cloud, self.kind, self.args, self.kwargs = cloud, kind, args, kwargs
        self.closes = 0
        self._response = None

    def _log(self, *event):
        self.cloud.events.append(event + (self,))

    def health(self):
        self._log("health")
        return self.cloud.answer("health")

    def get_tenant(self):
        self._log("tenant")
        return self.cloud.answer("tenant")

    def list_policies(self, **kwargs):
        self._log("policies", kwargs)
        return self.cloud.answer("policies")

    def _send(self, method, path, **kwargs):
        self._log("send", method, path, kwargs)
        self._response = Response()
        return self._response

    def _handle_response(self, response):
        assert response is self._response
        self._log("handle")
        return self.cloud.answer("claim")

    def close(self):
        self.closes += 1
        self._log("close")
        if self.cloud.close_error is not None:
            raise self.cloud.close_error


@pytest.fixture(name="cloud")
def connect_cloud(monkeypatch):
    """Quick Connect's fake cloud behind both client classes of `vorel_cloud.connect`."""
    from vorel_cloud import connect as connect_mod

    fake = ConnectCloud()
    monkeypatch.setattr(connect_mod, "VorelCloudClient", fake.factory("sync"))
    monkeypatch.setattr(connect_mod, "AsyncVorelCloudClient", fake.factory("async"))
    return fake


# ---- the environment ----------------------------------------------------------------


@pytest.fixture(autouse=True)
def clean_vorel_env():
    """Each test starts without VOREL_* variables and leaves the environment as it found it."""
    saved = dict(os.environ)
    for key in [k for k in os.environ if k.startswith("VOREL_")]:
        del os.environ[key]
    yield
    os.environ.clear()
    os.environ.update(saved)
