"""Fakes for the approval handlers: cloud clients, clock, payload builder and core SDK.

Everything is injected the way a Python caller would patch the module: the
module globals (`VorelCloudClient`, `time`, `asyncio`, ...) with monkeypatch,
the lazily imported core SDK through `sys.modules`.
"""
from __future__ import annotations

import asyncio
import sys
import types

import pytest

from vorel_cloud import approval


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


class ApprovalDenied(Exception):
    def __init__(self, request=None, reason="approval denied"):
        self.request = request
        self.reason = reason
        super().__init__(request, reason)


class CoreSDK:
    """The core SDK's approval and control-plane decoding modules, faked."""

    def __init__(self):
        self.responses = []
        self.decoded = None  # None: one object per text

    def response_type(self, *, status, signed_approvals_b64):
        response = types.SimpleNamespace(status=status, signed_approvals_b64=signed_approvals_b64)
        self.responses.append(response)
        return response

    def from_response(self, response):
        if self.decoded is not None:
            return self.decoded
        return [("signed", text) for text in response.signed_approvals_b64 or []]


@pytest.fixture
def core(monkeypatch):
    sdk = CoreSDK()
    vorel = types.ModuleType("vorel")
    approval_mod = types.ModuleType("vorel.approval")
    approval_mod.ApprovalDenied = ApprovalDenied
    cp = types.ModuleType("vorel.cp_approval")
    cp.ControlPlaneApprovalResponseV1 = sdk.response_type
    cp.signed_approvals_from_response = sdk.from_response
    vorel.approval, vorel.cp_approval = approval_mod, cp
    for name, mod in (("vorel", vorel), ("vorel.approval", approval_mod), ("vorel.cp_approval", cp)):
        monkeypatch.setitem(sys.modules, name, mod)
    return sdk


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(approval, "time", types.SimpleNamespace(monotonic=c.monotonic, sleep=lambda s: c.sleep(s)))
    monkeypatch.setattr(
        approval,
        "asyncio",
        types.SimpleNamespace(sleep=c.async_sleep, get_running_loop=asyncio.get_running_loop, run=asyncio.run),
    )
    return c


@pytest.fixture
def builds(monkeypatch):
    """Replaces the payload builder; the list records (request, kwargs) per build."""
    calls = []

    def build(request, **kwargs):
        calls.append((request, kwargs))
        return Payload(request, kwargs)

    monkeypatch.setattr(approval, "build_approval_request_payload", build)
    return calls


@pytest.fixture
def cloud(monkeypatch, core, clock, builds):
    """Installs a Script behind both client classes; tests fill it in."""
    script = Script()
    monkeypatch.setattr(approval, "VorelCloudClient", lambda *a, **kw: FakeClient(script, *a, **kw))
    monkeypatch.setattr(approval, "AsyncVorelCloudClient", lambda *a, **kw: FakeAsyncClient(script, *a, **kw))
    return script
