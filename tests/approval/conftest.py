"""Fixtures of the approval handler tests: core SDK, clock, payload builder, cloud clients.

The fakes themselves live in `support.fakes`; the names the tests import from
here are re-exported.
"""

from __future__ import annotations

import asyncio
import types

import pytest

from support.fakes import (  # noqa: F401
    ApprovalDenied,
    Clock,
    CoreSDK,
    FakeAsyncClient,
    FakeClient,
    Payload,
    Recording,
    Request,
    Script,
)
from vorel_cloud import approval


@pytest.fixture
def core(monkeypatch):
    return CoreSDK().install(monkeypatch, "vorel.approval", "vorel.cp_approval")


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
