"""Fixtures for the tests of the pure-Python client, models and exceptions.

``server`` is a scripted stand-in for the control plane behind
``httpx.MockTransport``; ``api`` runs one operation on a fresh client of either
twin (parametrised ``sync`` / ``async``) against it; ``sleeps`` replaces
``time.sleep`` and ``asyncio.sleep`` and records the waits.
"""

from __future__ import annotations

import asyncio
import json
import sys
import time
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest

try:
    import vorel_cloud  # noqa: F401
except ImportError:  # the development .pth is not installed yet
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

from vorel_cloud.client import AsyncVorelCloudClient, VorelCloudClient

API_KEY = "vk_test_5f0e1c2d3b4a59687766554433221100"
BASE_URL = "http://cp.test"


class Server:
    """Answers requests from a script; records every request it receives."""

    def __init__(self) -> None:
        self.requests: list[httpx.Request] = []
        self._script: list[Callable[[httpx.Request], httpx.Response]] = []
        self.default: Callable[[httpx.Request], httpx.Response] = lambda request: httpx.Response(200, json={"ok": True})

    def reply(
        self,
        status: int = 200,
        json: Any = None,
        *,
        text: str | None = None,
        headers: dict[str, str] | None = None,
    ) -> Server:
        """Queue one answer (built afresh when it is used)."""

        def answer(request: httpx.Request) -> httpx.Response:
            if text is not None:
                return httpx.Response(status, text=text, headers=headers)
            if json is None:
                return httpx.Response(status, headers=headers)
            return httpx.Response(status, json=json, headers=headers)

        self._script.append(answer)
        return self

    def error(self, status: int, code: str, message: str, **kwargs: Any) -> Server:
        """Queue an error answer in the control plane's error format."""
        return self.reply(status, {"error": {"code": code, "message": message}}, **kwargs)

    def fail(self, exc: Exception) -> Server:
        """Queue a transport failure: the exception is raised instead of answering."""

        def answer(request: httpx.Request) -> httpx.Response:
            raise exc

        self._script.append(answer)
        return self

    def handle(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        answer = self._script.pop(0) if self._script else self.default
        return answer(request)

    @property
    def transport(self) -> httpx.MockTransport:
        return httpx.MockTransport(self.handle)

    @property
    def last(self) -> httpx.Request:
        return self.requests[-1]

    def body(self, index: int = -1) -> Any:
        return json.loads(self.requests[index].content)


class Api:
    """Runs one operation on a fresh client of one twin, closing it afterwards."""

    def __init__(self, kind: str, server: Server) -> None:
        self.kind = kind
        self.server = server
        self.options: dict[str, Any] = {"base_url": BASE_URL}

    def configure(self, **options: Any) -> Api:
        self.options.update(options)
        return self

    def client(self) -> VorelCloudClient | AsyncVorelCloudClient:
        options = dict(self.options)
        api_key = options.pop("api_key", API_KEY)
        cls = VorelCloudClient if self.kind == "sync" else AsyncVorelCloudClient
        return cls(api_key, transport=self.server.transport, **options)

    def call(self, operation: str, *args: Any, **kwargs: Any) -> Any:
        client = self.client()
        if isinstance(client, VorelCloudClient):
            with client:
                return getattr(client, operation)(*args, **kwargs)

        async def run() -> Any:
            async with client:
                return await getattr(client, operation)(*args, **kwargs)

        return asyncio.run(run())

    def send_and_handle(self, method: str, path: str, **kwargs: Any) -> Any:
        """``_send`` then ``_handle_response``, as Quick Connect drives the client."""
        client = self.client()
        if isinstance(client, VorelCloudClient):
            with client:
                return client._handle_response(client._send(method, path, **kwargs))

        async def run() -> Any:
            async with client:
                return client._handle_response(await client._send(method, path, **kwargs))

        return asyncio.run(run())


@pytest.fixture
def server() -> Server:
    return Server()


@pytest.fixture(params=["sync", "async"])
def api(request: pytest.FixtureRequest, server: Server) -> Api:
    return Api(request.param, server)


@pytest.fixture
def sleeps(monkeypatch: pytest.MonkeyPatch) -> list[float]:
    """Waits requested through ``time.sleep`` or ``asyncio.sleep``, in order."""
    recorded: list[float] = []

    def fake_sleep(seconds: float) -> None:
        recorded.append(seconds)

    async def fake_async_sleep(seconds: float, result: Any = None) -> Any:
        recorded.append(seconds)
        return result

    monkeypatch.setattr(time, "sleep", fake_sleep)
    monkeypatch.setattr(asyncio, "sleep", fake_async_sleep)
    return recorded


@pytest.fixture
def api_key() -> str:
    """The API key every ``api`` client uses."""
    return API_KEY
