"""Retries, back-off and transport failures, for both twins."""

from __future__ import annotations

import httpx
import pytest

from vorel_cloud.client import MAX_RETRY_AFTER
from vorel_cloud.exceptions import (
    NotFoundError,
    RateLimitError,
    ServerError,
    TransportError,
)

CREATE = {
    "warrant_id": "w-1",
    "tool": "send_email",
    "request_hash": b"\x01",
    "holder_key": b"\x02",
    "args_canonical_cbor_b64": "oA==",
    "approval_context_attestation": {"v": 1},
}


def test_get_retries_after_503_honouring_retry_after(api, server, sleeps):
    server.error(503, "unavailable", "busy", headers={"Retry-After": "3"})
    server.reply(200, {"id": "apr_1", "status": "pending"})
    assert api.call("get_request", "apr_1") == {"id": "apr_1", "status": "pending"}
    assert len(server.requests) == 2
    assert sleeps == [3.0]


def test_get_retries_429_until_it_passes(api, server, sleeps):
    server.error(429, "rate_limited", "slow", headers={"Retry-After": "1.5"})
    server.error(429, "rate_limited", "slow", headers={"Retry-After": "0"})
    server.reply(200, {"status": "ok"})
    assert api.call("health") == {"status": "ok"}
    assert len(server.requests) == 3
    assert sleeps == [1.5, 0.0]


def test_retries_are_bounded(api, server, sleeps):
    for _ in range(3):
        server.error(500, "internal", "broken")
    server.reply(200, {"status": "ok"})  # never reached
    with pytest.raises(ServerError, match="broken"):
        api.configure(max_retries=2).call("get_tenant")
    assert len(server.requests) == 3
    assert len(sleeps) == 2
    # exponential back-off with jitter: half the step plus up to half again
    assert 0.25 <= sleeps[0] <= 0.5
    assert 0.5 <= sleeps[1] <= 1.0


def test_backoff_grows_and_is_capped(api, server, sleeps):
    server.default = lambda request: httpx.Response(502)
    with pytest.raises(ServerError):
        api.configure(max_retries=6).call("health")
    assert len(server.requests) == 7
    steps = [0.5, 1.0, 2.0, 4.0, 8.0, 8.0]
    for slept, step in zip(sleeps, steps, strict=True):
        assert step / 2 <= slept <= step


def test_jitter_varies(api, server, sleeps):
    server.default = lambda request: httpx.Response(503)
    for _ in range(5):
        with pytest.raises(ServerError):
            api.configure(max_retries=1).call("health")
    assert len(set(sleeps)) > 1


def test_max_retries_zero_sends_once(api, server, sleeps):
    server.error(503, "unavailable", "busy", headers={"Retry-After": "1"})
    with pytest.raises(ServerError):
        api.configure(max_retries=0).call("health")
    assert len(server.requests) == 1
    assert sleeps == []


def test_too_long_retry_after_is_raised_not_waited(api, server, sleeps):
    server.error(429, "rate_limited", "come back later", headers={"Retry-After": "120"})
    with pytest.raises(RateLimitError) as info:
        api.call("health")
    assert info.value.retry_after == 120.0
    assert MAX_RETRY_AFTER < 120
    assert len(server.requests) == 1
    assert sleeps == []


def test_client_errors_are_not_retried(api, server, sleeps):
    server.error(404, "not_found", "gone")
    with pytest.raises(NotFoundError):
        api.call("get_request", "apr_1")
    assert len(server.requests) == 1
    assert sleeps == []


def test_create_without_idempotency_key_is_not_retried(api, server, sleeps):
    server.error(503, "unavailable", "busy", headers={"Retry-After": "1"})
    server.reply(201, {"id": "apr_1"})
    with pytest.raises(ServerError):
        api.call("create_request", **CREATE)
    assert len(server.requests) == 1
    assert sleeps == []


def test_create_with_idempotency_key_is_retried(api, server, sleeps):
    server.error(503, "unavailable", "busy", headers={"Retry-After": "2"})
    server.error(429, "rate_limited", "slow", headers={"Retry-After": "1"})
    server.reply(201, {"id": "apr_1", "status": "pending"})
    result = api.call("create_request", **CREATE, idempotency_key="run-7")
    assert result == {"id": "apr_1", "status": "pending"}
    assert len(server.requests) == 3
    assert sleeps == [2.0, 1.0]
    assert {r.headers["Idempotency-Key"] for r in server.requests} == {"run-7"}
    assert len({r.content for r in server.requests}) == 1


@pytest.mark.parametrize(
    ("operation", "args", "kwargs"),
    [
        ("approve", ("apr_1",), {"approver_key": "aa"}),
        ("deny", ("apr_1",), {}),
    ],
)
def test_other_posts_are_not_retried(api, server, sleeps, operation, args, kwargs):
    server.error(500, "internal", "broken")
    with pytest.raises(ServerError):
        api.call(operation, *args, **kwargs)
    assert len(server.requests) == 1
    assert sleeps == []


def test_claim_post_is_not_retried(api, server, sleeps):
    server.fail(httpx.ConnectError("connection refused"))
    with pytest.raises(TransportError):
        api.send_and_handle("POST", "agents/claim", json={"agent_id": "a"})
    assert len(server.requests) == 1
    assert sleeps == []


def test_send_retries_a_post_that_carries_an_idempotency_key(api, server, sleeps):
    server.error(503, "unavailable", "busy", headers={"Retry-After": "1"})
    server.reply(200, {"ok": 1})
    result = api.send_and_handle("POST", "things", json={}, headers={"Idempotency-Key": "k1"})
    assert result == {"ok": 1}
    assert len(server.requests) == 2


# -- transport failures ---------------------------------------------------------------


def test_transport_error_on_get_is_retried(api, server, sleeps):
    server.fail(httpx.ConnectError("connection refused"))
    server.reply(200, {"status": "ok"})
    assert api.call("health") == {"status": "ok"}
    assert len(server.requests) == 2
    assert len(sleeps) == 1


def test_persistent_transport_error(api, server, sleeps):
    server.default = lambda request: (_ for _ in ()).throw(httpx.ConnectError("connection refused"))
    with pytest.raises(TransportError) as info:
        api.configure(max_retries=2).call("get_tenant")
    err = info.value
    assert len(server.requests) == 3
    assert len(sleeps) == 2
    assert err.status_code is None
    assert err.body == {}
    assert str(err) == "could not reach Vorel Cloud for GET /v1/tenant: connection refused"
    assert "VOREL_CONTROL_PLANE_URL" in err.remediation
    assert isinstance(err.__cause__, httpx.ConnectError)


def test_transport_error_on_plain_post_is_not_retried(api, server, sleeps):
    server.fail(httpx.ConnectError("connection reset"))
    with pytest.raises(TransportError, match="connection reset"):
        api.call("create_request", **CREATE)
    assert len(server.requests) == 1
    assert sleeps == []


def test_timeout_is_a_transport_error(api, server, sleeps):
    server.fail(httpx.ReadTimeout("timed out"))
    with pytest.raises(TransportError) as info:
        api.configure(max_retries=0, timeout=4.0).call("get_request", "apr_1")
    assert str(info.value) == ("Vorel Cloud did not answer GET /v1/approvals/requests/apr_1 within 4.0s")
    assert info.value.status_code is None


def test_non_transport_request_error_is_not_retried(api, server, sleeps):
    server.fail(httpx.DecodingError("bad gzip"))
    with pytest.raises(TransportError, match="bad gzip"):
        api.call("health")
    assert len(server.requests) == 1
    assert sleeps == []


def test_retries_are_logged(api, server, sleeps, caplog):
    caplog.set_level("DEBUG", logger="vorel_cloud.client")
    server.error(503, "unavailable", "busy", headers={"Retry-After": "1"})
    server.reply(200, {"status": "ok"})
    api.call("health")
    messages = [r.getMessage() for r in caplog.records if r.name == "vorel_cloud.client"]
    assert "retrying GET /v1/health after HTTP 503 in 1.00s (retry 1 of 2)" in messages
    assert "GET /v1/health -> HTTP 200" in messages


def test_sleep_is_looked_up_at_call_time(server, monkeypatch):
    import time

    from vorel_cloud.client import VorelCloudClient

    calls: list[float] = []
    monkeypatch.setattr(time, "sleep", calls.append)
    server.error(503, "unavailable", "busy", headers={"Retry-After": "0.25"})
    with VorelCloudClient("k", "http://cp.test", transport=server.transport) as client:
        client.health()
    assert calls == [0.25]


# -- real sockets on loopback ----------------------------------------------------------


@pytest.fixture
def direct(monkeypatch: pytest.MonkeyPatch) -> None:
    """Loopback calls must not go through a proxy configured in the environment."""
    monkeypatch.setenv("NO_PROXY", "*")
    monkeypatch.setenv("no_proxy", "*")


def _free_port() -> int:
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_connection_refused_on_a_real_socket(sleeps, direct):
    from vorel_cloud.client import VorelCloudClient

    with VorelCloudClient("k", f"http://127.0.0.1:{_free_port()}", 5.0) as client:
        with pytest.raises(TransportError) as info:
            client.health()
    assert info.value.status_code is None
    assert str(info.value).startswith("could not reach Vorel Cloud for GET /v1/health: ")
    assert len(sleeps) == 2  # the GET was retried twice


def test_real_http_round_trip(api_key, direct):
    import json
    import threading
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

    from vorel_cloud.client import VorelCloudClient

    seen: list[tuple[str, str | None]] = []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            seen.append((self.path, self.headers.get("Authorization")))
            payload = json.dumps({"status": "ok", "version": "test"}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def log_message(self, *args: object) -> None:
            pass

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        base = f"http://127.0.0.1:{httpd.server_address[1]}/"
        with VorelCloudClient(api_key, base, 5.0) as client:
            assert client.health() == {"status": "ok", "version": "test"}
    finally:
        httpd.shutdown()
        httpd.server_close()
        thread.join()
    assert seen == [("/v1/health", f"Bearer {api_key}")]
