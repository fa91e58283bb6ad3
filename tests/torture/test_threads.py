"""The synchronous handler from 32 threads at once against a fake client.

One handler object serves every thread; each call must get its own client
(closed exactly once), its own request's answer and its own outcome, while
the other threads poll, sleep and fail around it. The answers differ per
thread (approved with a per-thread signed approval, denied, a transport
error), so a call that saw another's state would return the wrong value.
"""

from __future__ import annotations

import base64
import threading
import types
from typing import ClassVar

import pytest

from support.fakes import ApprovalDenied
from vorel_cloud import approval
from vorel_cloud.exceptions import TransportError

THREADS = 32
CALLS = 15


class Client:
    """One per handler call; answers by the request id the call created."""

    lock = threading.Lock()
    made: ClassVar[list["Client"]] = []

    def __init__(self, api_key, base_url=None, **kw):
        self.close_calls = 0
        self.owner = None
        with Client.lock:
            Client.made.append(self)

    def create_request(self, **kwargs):
        self.owner = kwargs["tool"]  # "<thread>-<call>"
        return {"id": self.owner}

    def get_request(self, request_id):
        assert request_id == self.owner
        thread, call = map(int, request_id.split("-"))
        self.polls = getattr(self, "polls", 0) + 1
        if self.polls < 3:
            return {"status": "pending"}
        kind = (thread + call) % 3
        if kind == 0:
            return {"status": "approved", "responses": [{"signed_approval": f"{thread:02x}{call:02x}"}]}
        if kind == 1:
            return {"status": "denied", "denied_reason": request_id}
        raise TransportError(f"down for {request_id}")

    def close(self):
        self.close_calls += 1


class Payload:
    def __init__(self, request):
        self.request = request

    def to_create_request_kwargs(self):
        return {"tool": self.request.tool}


def expected(thread: int, call: int):
    kind = (thread + call) % 3
    if kind == 0:
        return ("ok", base64.b64encode(bytes([thread, call])).decode())
    if kind == 1:
        return ("denied", f"{thread}-{call}")
    return ("transport", f"down for {thread}-{call}")


@pytest.fixture
def handler(monkeypatch, core_modules):
    Client.made.clear()
    monkeypatch.setattr(approval, "VorelCloudClient", Client)
    monkeypatch.setattr(approval, "build_approval_request_payload", lambda request, **kw: Payload(request))
    return approval.cloud_approval("k", poll_interval=0.001, timeout=30.0)


def test_32_threads_share_one_handler(handler):
    start = threading.Barrier(THREADS)
    results: dict[tuple[int, int], tuple] = {}
    errors: list[BaseException] = []

    def work(thread):
        try:
            start.wait()
            for call in range(CALLS):
                request = types.SimpleNamespace(tool=f"{thread}-{call}")
                try:
                    results[thread, call] = ("ok", handler(request))
                except ApprovalDenied as e:
                    # Each thread sees several outcomes in turn, so the worker sorts them itself.
                    assert e.request is request  # noqa: PT017
                    results[thread, call] = ("denied", e.reason)
                except TransportError as e:
                    results[thread, call] = ("transport", str(e))
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert results == {(t, c): expected(t, c) for t in range(THREADS) for c in range(CALLS)}
    assert len(Client.made) == THREADS * CALLS
    assert all(c.close_calls == 1 for c in Client.made)


def test_threads_and_the_async_handler_without_a_loop(monkeypatch, core_modules):
    """The asynchronous handler stepped where no loop runs uses its own worker
    thread and loop; from several threads at once each gets its own."""
    Client.made.clear()

    class AsyncClient(Client):
        async def create_request(self, **kwargs):
            return Client.create_request(self, **kwargs)

        async def get_request(self, request_id):
            return Client.get_request(self, request_id)

        async def close(self):
            Client.close(self)

    monkeypatch.setattr(approval, "AsyncVorelCloudClient", AsyncClient)
    monkeypatch.setattr(approval, "build_approval_request_payload", lambda request, **kw: Payload(request))
    handler = approval.async_cloud_approval("k", poll_interval=0.001, timeout=30.0)
    n = 8
    start = threading.Barrier(n)
    results, errors = {}, []

    def work(thread):
        try:
            start.wait()
            request = types.SimpleNamespace(tool=f"{thread}-0")
            coro = handler(request)
            try:
                coro.send(None)
            except StopIteration as stop:
                results[thread] = ("ok", stop.value)
            except ApprovalDenied as e:
                results[thread] = ("denied", e.reason)
            except TransportError as e:
                results[thread] = ("transport", str(e))
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert errors == []
    assert results == {t: expected(t, 0) for t in range(n)}
    assert all(c.close_calls == 1 for c in Client.made) and len(Client.made) == n
