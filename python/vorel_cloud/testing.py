"""pytest fixtures that run the local control plane for your tests.

Where the package is installed, pytest loads them by itself through the
``pytest11`` entry point named ``vorel_cloud.testing`` (no ``conftest.py``
line is needed; ``pytest -p no:vorel_cloud.testing`` turns them off). Use
them::

    def test_send_email_needs_approval(vorel_dev_server):
        vorel_dev_server.auto_approve(after_polls=2)
        with vorel_dev_server.client() as client:
            ...

Each test gets a fresh server with in-memory state on a free loopback port,
stopped when the test ends. Options go through a marker::

    @pytest.mark.vorel_dev_server(signed_approval_encoding="base64", default_ttl=30)

``vorel_dev_server_factory(**options)`` starts further servers (for example
on a SQLite file, to restart one).

``tls=True`` serves HTTPS with a certificate for 127.0.0.1 and localhost from
a throw-away test CA (made with ``trustme``); ``server.ca_file`` is that CA's
PEM file, for ``SSL_CERT_FILE`` or an ``ssl`` context of the test's own.

``api_key`` is the agent's key: it creates and reads requests but cannot
decide them. Decisions through the API take ``reviewer_key``, for example
``vorel_dev_server.http(vorel_dev_server.reviewer_key)``.
"""

from __future__ import annotations

import base64
import os
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from .devserver import SCOPES, Agent, DecisionScript, DevServer, Fault

__all__ = [
    "VorelTestServer",
    "pytest_configure",
    "vorel_dev_server",
    "vorel_dev_server_factory",
]


class VorelTestServer(DevServer):
    """A local control plane with helpers to drive it from a test.

    Decisions made here take the same path as API calls (same checks, same
    signatures); scripted behaviour applies to requests created afterwards.
    """

    #: The test CA's PEM file of a server started with ``tls=True``, else None.
    ca_file: str | None = None

    # -- clients -------------------------------------------------------------
    def client(self, **kwargs: Any) -> Any:
        """A ``VorelCloudClient`` for this server and its API key."""
        from vorel_cloud.client import VorelCloudClient

        kwargs.setdefault("base_url", self.base_url)
        return VorelCloudClient(kwargs.pop("api_key", self.api_key), **kwargs)

    def async_client(self, **kwargs: Any) -> Any:
        """An ``AsyncVorelCloudClient`` for this server and its API key."""
        from vorel_cloud.client import AsyncVorelCloudClient

        kwargs.setdefault("base_url", self.base_url)
        return AsyncVorelCloudClient(kwargs.pop("api_key", self.api_key), **kwargs)

    def http(self, api_key: str | None = None, **kwargs: Any) -> Any:
        """A plain ``httpx.Client`` on this server, authenticated with ``api_key`` (default: the agent's).

        Pass ``self.reviewer_key`` to approve and deny through the API.
        """
        import httpx

        headers = dict(kwargs.pop("headers", {}))
        headers.setdefault("Authorization", f"Bearer {api_key or self.api_key}")
        return httpx.Client(base_url=self.base_url, headers=headers, timeout=kwargs.pop("timeout", 10.0), **kwargs)

    # -- reading and deciding --------------------------------------------------
    def get_request(self, request_id: str) -> dict[str, Any]:
        """The request object, without counting as a poll."""
        return self._plane().get_request(request_id)

    def requests(self, status: str | None = None) -> list[dict[str, Any]]:
        """All requests (or those in ``status``), oldest first."""
        page = self._plane().list_requests(status=status, limit=10_000, newest_first=False)
        items: list[dict[str, Any]] = page["items"]
        return items

    def wait_for_request(
        self, *, status: str | None = "pending", timeout: float = 5.0, interval: float = 0.01
    ) -> dict[str, Any]:
        """Wait until a request (in ``status``) exists, as when code under test creates one in another thread."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.requests(status)
            if found:
                return found[-1]
            if time.monotonic() > deadline:
                raise TimeoutError(f"no {status or ''} approval request appeared within {timeout}s".replace("  ", " "))
            time.sleep(interval)

    def approve(self, request_id: str, approver: Any = None) -> dict[str, Any]:
        """Approve as ``approver``: None (the default approver), a public key hex the server holds, or a ``SigningKey``.

        A ``SigningKey`` signs here, outside the server, and the signed
        approval is submitted as an approver elsewhere would.
        """
        if approver is None or isinstance(approver, str):
            return self._plane().approve(request_id, approver_key=approver)
        from vorel_core import SignedApproval

        req = self.get_request(request_id)
        signed = SignedApproval.create(
            approver,
            request_hash=bytes.fromhex(req["request_hash"]),
            warrant_id=req["warrant_id"],
            tool=req["tool"],
            now=int(self.clock.now()),
        )
        return self._plane().approve(request_id, signed_approval=base64.b64encode(signed.to_bytes()).decode("ascii"))

    def deny(
        self, request_id: str, reason: str | None = "denied by test", *, approver: str | None = None
    ) -> dict[str, Any]:
        return self._plane().deny(request_id, reason=reason, approver_key=approver)

    def expire(self, request_id: str) -> dict[str, Any]:
        return self._plane().expire(request_id)

    def advance(self, seconds: float) -> None:
        """Move the server's clock forward; requests past their TTL read "expired"."""
        self.clock.advance(seconds)

    # -- scripted decisions ----------------------------------------------------
    def auto_approve(self, after_polls: int = 1, *, tool: str | None = None, times: int | None = None) -> None:
        """Approve new requests on their ``after_polls``-th GET (0: already at creation)."""
        self._plane().add_script(DecisionScript("approve", after_polls, tool=tool, times=times))

    def auto_deny(
        self, reason: str = "denied by test", *, after_polls: int = 1, tool: str | None = None, times: int | None = None
    ) -> None:
        self._plane().add_script(DecisionScript("deny", after_polls, reason=reason, tool=tool, times=times))

    def auto_expire(self, after_polls: int = 1, *, tool: str | None = None, times: int | None = None) -> None:
        self._plane().add_script(DecisionScript("expire", after_polls, tool=tool, times=times))

    # -- scripted faults -------------------------------------------------------
    def rate_limit(
        self, times: int = 1, *, retry_after: float = 1, op: str | None = None, request_id: str | None = None
    ) -> Fault:
        """Answer the next ``times`` matching calls with 429 and ``Retry-After``."""
        fault = Fault(429, times=times, op=op, request_id=request_id, retry_after=retry_after)
        self._plane().add_fault(fault)
        return fault

    def fail(
        self,
        times: int = 1,
        *,
        status: int = 503,
        op: str | None = None,
        request_id: str | None = None,
        after_processing: bool = False,
        retry_after: float | None = None,
    ) -> Fault:
        """Answer the next ``times`` matching calls with ``status``.

        With ``after_processing`` the call still takes effect and only its
        answer is lost. ``retry_after`` adds a ``Retry-After`` header. The
        returned fault's ``hits`` counts its uses.
        """
        fault = Fault(
            status,
            times=times,
            op=op,
            request_id=request_id,
            after_processing=after_processing,
            retry_after=retry_after,
        )
        self._plane().add_fault(fault)
        return fault

    def clear_scripts(self) -> None:
        """Disarm every scripted decision and fault."""
        self._plane().clear_scripts()
        self._plane().clear_faults()

    # -- identities ------------------------------------------------------------
    @property
    def signed_approval_encoding(self) -> str:
        return self._plane().signed_approval_encoding

    @signed_approval_encoding.setter
    def signed_approval_encoding(self, value: str) -> None:
        self._plane().signed_approval_encoding = value

    def create_api_key(self, scopes: tuple[str, ...] | list[str] = SCOPES) -> str:
        return self._plane().create_api_key(scopes=scopes)

    def revoke_api_key(self, api_key: str | None = None) -> None:
        """Revoke ``api_key`` (default: the server's own key)."""
        self._plane().revoke_api_key(api_key or self.api_key)

    def add_approver(self, name: str = "approver") -> Any:
        """A new approver key that the server holds; returns its ``SigningKey``."""
        from vorel_core import SigningKey

        secret, _ = self._plane().add_approver(name)
        return SigningKey.from_hex(secret)

    def add_agent(self, name: str = "agent") -> Agent:
        row = self._plane().add_agent(name)
        return Agent(row["id"], row["name"], row["registration_token"])

    def agent_state(self, agent_id: str | None = None) -> dict[str, Any] | None:
        return self._plane().get_agent(agent_id or self.agent.id)


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "vorel_dev_server(**options): options of the local control plane started by the vorel_dev_server fixture",
    )


@pytest.fixture
def vorel_dev_server_factory() -> Iterator[Callable[..., VorelTestServer]]:
    """Start local control planes with ``DevServer`` options; all are stopped after the test."""
    started: list[VorelTestServer] = []

    folders: list[tempfile.TemporaryDirectory[str]] = []

    def start(**options: Any) -> VorelTestServer:
        options.setdefault("host", "127.0.0.1")
        options.setdefault("port", 0)
        ca_file = None
        if options.pop("tls", False):
            folders.append(tempfile.TemporaryDirectory(prefix="vorel-tls-"))
            ca_file, options["tls_cert"], options["tls_key"] = _test_certificate(folders[-1].name)
        server = VorelTestServer(**options)
        server.ca_file = ca_file
        server.start()
        started.append(server)
        return server

    yield start
    for server in reversed(started):
        server.stop(wait=False)
    for folder in folders:
        folder.cleanup()


def _test_certificate(folder: str) -> tuple[str, str, str]:
    """(CA file, certificate chain file, key file) for 127.0.0.1, ::1 and localhost."""
    import trustme

    ca = trustme.CA()
    issued = ca.issue_cert("127.0.0.1", "::1", "localhost")
    ca_file, cert_file, key_file = (os.path.join(folder, name) for name in ("ca.pem", "cert.pem", "key.pem"))
    ca.cert_pem.write_to_path(ca_file)
    issued.private_key_and_cert_chain_pem.write_to_path(cert_file)
    issued.private_key_pem.write_to_path(key_file)
    return ca_file, cert_file, key_file


@pytest.fixture
def vorel_dev_server(
    request: pytest.FixtureRequest, vorel_dev_server_factory: Callable[..., VorelTestServer]
) -> VorelTestServer:
    """A running local control plane with in-memory state, fresh for each test."""
    marker = request.node.get_closest_marker("vorel_dev_server")
    options = dict(marker.kwargs) if marker else {}
    return vorel_dev_server_factory(**options)
