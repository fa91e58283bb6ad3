"""Fakes for vorel_cloud.connect: a scripted cloud, its clients, token makers.

Shared with the command-line tests (tests/cli puts this folder on sys.path)."""
from __future__ import annotations

import base64
import json
import os

import pytest

from vorel_cloud import connect as connect_mod


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


class Cloud:
    """Scripted answers of the control plane and a log of everything done to it.

    Each answer attribute holds the value to return or an exception to raise,
    or a callable that makes one.
    """

    def __init__(self):
        self.events: list[tuple] = []
        self.clients: list[FakeClient] = []
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
            client = FakeClient(self, kind, args, kwargs)
            self.clients.append(client)
            self.events.append(("new", kind, args, kwargs))
            return client

        return make


class FakeClient:
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


@pytest.fixture(autouse=True)
def clean_env():
    """Each test starts without VOREL_* variables and leaves the environment as it found it."""
    saved = dict(os.environ)
    for key in [k for k in os.environ if k.startswith("VOREL_")]:
        del os.environ[key]
    yield
    os.environ.clear()
    os.environ.update(saved)


@pytest.fixture
def cloud(monkeypatch):
    fake = Cloud()
    monkeypatch.setattr(connect_mod, "VorelCloudClient", fake.factory("sync"))
    monkeypatch.setattr(connect_mod, "AsyncVorelCloudClient", fake.factory("async"))
    return fake
