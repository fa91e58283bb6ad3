"""Client requests and answers, for both twins (``api`` runs sync and async)."""

from __future__ import annotations

import asyncio
import base64
import inspect
import json
import re

import httpx
import pytest

from vorel_cloud.client import (
    DEFAULT_API_BASE_URL,
    AsyncVorelCloudClient,
    VorelCloudClient,
)
from vorel_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    AuthenticationError,
    ConfigurationError,
    ConflictError,
    NotFoundError,
    PermissionDeniedError,
    RateLimitError,
    ServerError,
    ValidationError,
    VorelCloudError,
)

REQUIRED = {
    "warrant_id": "w-1",
    "tool": "send_email",
    "request_hash": bytes.fromhex("ABCDEF0102"),
    "holder_key": b"\x00\xff\x10",
    "args_canonical_cbor_b64": "oWF4AQ==",
    "approval_context_attestation": {"v": 1, "sig": "00aa"},
}


# -- URLs --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("base_url", "expected"),
    [
        ("http://cp.test", "http://cp.test/v1/health"),
        ("http://cp.test/", "http://cp.test/v1/health"),
        ("http://cp.test//", "http://cp.test/v1/health"),
        ("https://cp.test/v1", "https://cp.test/v1/health"),
        ("https://cp.test/v1/", "https://cp.test/v1/health"),
        ("http://cp.test:8080/prefix/", "http://cp.test:8080/prefix/v1/health"),
        ("", DEFAULT_API_BASE_URL + "/v1/health"),
        ("   ", DEFAULT_API_BASE_URL + "/v1/health"),
    ],
)
def test_base_url_forms(api, server, base_url, expected):
    api.configure(base_url=base_url).call("health")
    assert str(server.last.url) == expected


def test_default_base_url(server):
    assert DEFAULT_API_BASE_URL == "https://api.vorel.cloud"
    with VorelCloudClient("k", transport=server.transport) as client:
        client.health()
    assert str(server.last.url) == "https://api.vorel.cloud/v1/health"


@pytest.mark.parametrize("path", ["agents/claim", "/agents/claim"])
def test_send_paths_are_relative_to_the_api_base(api, server, path):
    server.reply(200, {"agent_id": "agt_1", "name": "Bot", "status": "claimed"})
    body = {"agent_id": "agt_1", "public_key": "ab", "registration_token": "reg"}
    result = api.configure(base_url="http://cp.test/").send_and_handle("POST", path, json=body)
    assert result == {"agent_id": "agt_1", "name": "Bot", "status": "claimed"}
    assert server.last.method == "POST"
    assert str(server.last.url) == "http://cp.test/v1/agents/claim"
    assert server.body() == body
    assert server.last.headers["Content-Type"] == "application/json"


# The last five are refused by the URL parsers themselves: still a configuration
# error, which doctor() records instead of stopping on it.
@pytest.mark.parametrize(
    "base_url",
    [
        "ftp://cp.test",
        "cp.test",
        "http://",
        "file:///tmp/x",
        "https://[::1",
        "http://cp\x00.test",
        "http://cp.test/\x00v1",
        "http://cp.test:99999",
        "http://cp .test",
    ],
)
def test_invalid_base_url_fails_at_call_time(api, server, base_url):
    api.configure(base_url=base_url)
    client = api.client()  # constructing is fine
    assert client.base_url == base_url
    with pytest.raises(ConfigurationError, match="invalid Vorel Cloud API base URL") as info:
        api.call("health")
    assert "VOREL_CONTROL_PLANE_URL" in info.value.remediation
    assert server.requests == []


def test_constructing_contacts_nothing(server):
    VorelCloudClient("k", "http://cp.test", transport=server.transport).close()
    asyncio.run(AsyncVorelCloudClient("k", "http://cp.test", transport=server.transport).close())
    # without a transport either: nothing is opened until the first call
    client = VorelCloudClient("k", "https://unreachable.invalid", 1.0)
    assert client._http is None
    client.close()
    assert server.requests == []


# -- headers -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("operation", "args"),
    [
        ("health", ()),
        ("get_tenant", ()),
        ("list_policies", ()),
        ("get_request", ("apr_1",)),
        ("list_requests", ()),
        ("deny", ("apr_1",)),
    ],
)
def test_every_call_carries_bearer_auth(api, server, api_key, operation, args):
    api.call(operation, *args)
    request = server.last
    assert request.headers["Authorization"] == f"Bearer {api_key}"
    assert request.headers["Accept"] == "application/json"
    assert request.headers["User-Agent"].startswith("vorel-cloud-python/")


def test_timeout_applies_to_each_call(api, server):
    api.configure(timeout=10.0).call("health")
    assert server.last.extensions["timeout"] == {
        "connect": 10.0,
        "read": 10.0,
        "write": 10.0,
        "pool": 10.0,
    }


def test_default_timeout(api, server):
    api.call("health")
    assert server.last.extensions["timeout"]["read"] == 30.0


def test_send_timeout_override(api, server):
    api.send_and_handle("GET", "health", timeout=2.5)
    assert server.last.extensions["timeout"]["read"] == 2.5


# -- create_request ---------------------------------------------------------------


def test_create_request_required_fields_only(api, server):
    server.reply(201, {"id": "apr_1", "status": "pending"})
    result = api.call("create_request", **REQUIRED)
    assert result == {"id": "apr_1", "status": "pending"}
    request = server.last
    assert request.method == "POST"
    assert str(request.url) == "http://cp.test/v1/approvals/requests"
    assert request.headers["Content-Type"] == "application/json"
    assert "Idempotency-Key" not in request.headers
    assert server.body() == {
        "warrant_id": "w-1",
        "tool": "send_email",
        "request_hash": "abcdef0102",
        "holder_key": "00ff10",
        "args_canonical_cbor_b64": "oWF4AQ==",
        "approval_context_attestation": {"v": 1, "sig": "00aa"},
    }


def test_create_request_all_fields(api, server):
    api.call(
        "create_request",
        **REQUIRED,
        metadata={"to": "a@b.c"},
        policy_id="pol_1",
        threshold=2,
        approver_keys=[b"\xaa\xbb", "CCDD"],
        ttl_seconds=300,
        idempotency_key="idem-1",
    )
    body = server.body()
    assert list(body) == [
        "warrant_id",
        "tool",
        "request_hash",
        "holder_key",
        "args_canonical_cbor_b64",
        "approval_context_attestation",
        "metadata",
        "policy_id",
        "threshold",
        "approver_keys",
        "ttl_seconds",
        "idempotency_key",
    ]
    assert body["metadata"] == {"to": "a@b.c"}
    assert body["policy_id"] == "pol_1"
    assert body["threshold"] == 2
    assert body["approver_keys"] == ["aabb", "CCDD"]
    assert body["ttl_seconds"] == 300
    assert body["idempotency_key"] == "idem-1"
    assert server.last.headers["Idempotency-Key"] == "idem-1"


def test_create_request_keeps_falsy_but_present_values(api, server):
    api.call("create_request", **REQUIRED, metadata={}, threshold=0, approver_keys=[], ttl_seconds=0)
    body = server.body()
    assert body["metadata"] == {}
    assert body["threshold"] == 0
    assert body["approver_keys"] == []
    assert body["ttl_seconds"] == 0
    assert "policy_id" not in body and "idempotency_key" not in body


@pytest.mark.parametrize(
    "key, problem",
    [
        ("idem\x01-1", "a control character inside it"),
        ("idem-1\r\n", "a line break at its end"),
        ("idem-\u00e9", "a non-ASCII character at its end"),
        (" idem-1", "a space or tab at its start"),
    ],
)
def test_create_request_refuses_an_idempotency_key_no_header_can_carry(api, server, key, problem):
    with pytest.raises(ConfigurationError) as info:
        api.call("create_request", **REQUIRED, idempotency_key=key)
    assert str(info.value) == f"invalid idempotency key: it contains {problem}; a key is printable ASCII without blanks"
    assert server.requests == []  # refused before anything was sent, not reported as "could not reach"


def test_create_request_empty_idempotency_key_is_not_sent(api, server):
    api.call("create_request", **REQUIRED, idempotency_key="")
    assert "idempotency_key" not in server.body()
    assert "Idempotency-Key" not in server.last.headers


def test_create_request_hex_text_and_bytearray(api, server):
    fields = dict(REQUIRED, request_hash="abcdef", holder_key=bytearray(b"\x01\x02"))
    api.call("create_request", **fields)
    assert server.body()["request_hash"] == "abcdef"
    assert server.body()["holder_key"] == "0102"


def test_create_request_nested_bytes_render_as_hex(api, server):
    api.call("create_request", **dict(REQUIRED, approval_context_attestation={"sig": b"\x0f"}))
    assert server.body()["approval_context_attestation"] == {"sig": "0f"}


@pytest.mark.parametrize("cls", [VorelCloudClient, AsyncVorelCloudClient])
def test_create_request_signature(cls):
    params = inspect.signature(cls.create_request).parameters
    names = [name for name in params if name != "self"]
    assert names == [
        "warrant_id",
        "tool",
        "request_hash",
        "holder_key",
        "args_canonical_cbor_b64",
        "approval_context_attestation",
        "metadata",
        "policy_id",
        "threshold",
        "approver_keys",
        "ttl_seconds",
        "idempotency_key",
    ]
    for name in names:
        assert params[name].kind is inspect.Parameter.KEYWORD_ONLY
    for name in names[6:]:
        assert params[name].default is None


@pytest.mark.parametrize(
    "fields", [{"metadata": {"n": [1.0, float("nan")]}}, {"approval_context_attestation": {"t": float("-inf")}}]
)
def test_non_finite_numbers_are_refused_before_sending(api, server, fields):
    with pytest.raises(ValueError, match="NaN or Infinity"):
        api.call("create_request", **{**REQUIRED, **fields})
    assert server.requests == []


def test_create_request_missing_required_field(api, server):
    fields = dict(REQUIRED)
    del fields["tool"]
    with pytest.raises(TypeError):
        api.call("create_request", **fields)
    assert server.requests == []


# -- the other operations -----------------------------------------------------------


def test_get_request(api, server):
    server.reply(200, {"id": "apr_1", "status": "approved", "responses": []})
    assert api.call("get_request", "apr_1") == {"id": "apr_1", "status": "approved", "responses": []}
    assert server.last.method == "GET"
    assert server.last.url.path == "/v1/approvals/requests/apr_1"
    assert server.last.content == b""


def test_request_ids_are_path_escaped(api, server):
    api.call("get_request", "a/b?c")
    assert server.last.url.raw_path == b"/v1/approvals/requests/a%2Fb%3Fc"


@pytest.mark.parametrize("operation", ["get_request", "deny"])
def test_empty_request_id_is_refused(api, server, operation):
    with pytest.raises(VorelCloudError, match="request_id is required"):
        api.call(operation, "")
    assert server.requests == []


def test_list_requests(api, server):
    server.reply(200, {"items": []})
    assert api.call("list_requests") == {"items": []}
    assert server.last.url.path == "/v1/approvals/requests"
    assert dict(server.last.url.params) == {"limit": "50"}
    api.call("list_requests", status="pending", limit=5)
    assert dict(server.last.url.params) == {"limit": "5", "status": "pending"}


def test_approve_with_approver_key(api, server):
    api.call("approve", "apr_1", approver_key=b"\xde\xad")
    assert server.last.method == "POST"
    assert server.last.url.path == "/v1/approvals/requests/apr_1/approve"
    assert server.body() == {"approver_key": "dead"}


def test_approve_with_signed_approval(api, server):
    api.call("approve", "apr_1", signed_approval=b"\x01\x02\x03")
    assert server.body() == {"signed_approval": base64.b64encode(b"\x01\x02\x03").decode()}
    api.call("approve", "apr_1", signed_approval="AQID")
    assert server.body() == {"signed_approval": "AQID"}


@pytest.mark.parametrize("kwargs", [{}, {"approver_key": "aa", "signed_approval": "AQID"}], ids=["neither", "both"])
def test_approve_needs_exactly_one_credential(api, server, kwargs):
    with pytest.raises(VorelCloudError, match="exactly one"):
        api.call("approve", "apr_1", **kwargs)
    assert server.requests == []


def test_deny(api, server):
    api.call("deny", "apr_1", "not today")
    assert server.last.url.path == "/v1/approvals/requests/apr_1/deny"
    assert server.body() == {"reason": "not today"}
    api.call("deny", "apr_1")
    assert server.body() == {}


def test_health_tenant_policies(api, server):
    server.reply(200, {"status": "ok", "version": "1.2.3"})
    server.reply(200, {"id": "ten_1", "name": "Acme", "slug": "acme"})
    server.reply(200, {"items": [], "has_more": False})
    assert api.call("health") == {"status": "ok", "version": "1.2.3"}
    assert server.requests[-1].url.path == "/v1/health"
    assert api.call("get_tenant") == {"id": "ten_1", "name": "Acme", "slug": "acme"}
    assert server.requests[-1].url.path == "/v1/tenant"
    assert api.call("list_policies", limit=1) == {"items": [], "has_more": False}
    assert server.requests[-1].url.path == "/v1/approvals/policies"
    assert dict(server.requests[-1].url.params) == {"limit": "1"}
    assert [r.method for r in server.requests] == ["GET", "GET", "GET"]


def test_list_policies_default_limit(api, server):
    api.call("list_policies")
    assert dict(server.last.url.params) == {"limit": "1"}


def test_empty_success_decodes_to_empty_mapping(api, server):
    server.reply(204)
    assert api.call("deny", "apr_1") == {}


def test_success_that_is_not_json(api, server):
    server.reply(200, text="<html>proxy</html>")
    with pytest.raises(VorelCloudError, match="not JSON") as info:
        api.call("health")
    assert info.value.status_code == 200
    assert info.value.body == {"raw": "<html>proxy</html>"}


# -- error mapping ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("status", "code", "cls"),
    [
        (400, "invalid_request", ValidationError),
        (422, "invalid_request", ValidationError),
        (401, "invalid_api_key", AuthenticationError),
        (403, "forbidden", PermissionDeniedError),
        (403, "api_key_revoked", PermissionDeniedError),
        (403, "invalid_registration_token", PermissionDeniedError),
        (404, "not_found", NotFoundError),
        (409, "idempotency_conflict", ConflictError),
        (409, "already_decided", ConflictError),
        (409, "already_claimed", ConflictError),
        (409, "approval_denied", ApprovalDeniedError),
        (410, "approval_expired", ApprovalExpiredError),
        (429, "rate_limited", RateLimitError),
        (500, "internal", ServerError),
        (502, "bad_gateway", ServerError),
        (503, "unavailable", ServerError),
        (418, "teapot", VorelCloudError),
    ],
)
def test_error_mapping(api, server, status, code, cls):
    body = {"error": {"code": code, "message": f"server says {code}"}}
    server.reply(status, body)
    with pytest.raises(VorelCloudError) as info:
        api.configure(max_retries=0).call("deny", "apr_1")
    err = info.value
    assert type(err) is cls
    assert str(err) == f"server says {code}"
    assert err.status_code == status
    assert err.code == code
    assert err.body == body


@pytest.mark.parametrize(
    ("status", "code", "hint"),
    [
        (401, "invalid_api_key", "VOREL_API_KEY"),
        (403, "forbidden", "permission"),
        (403, "api_key_revoked", "revoked"),
        (403, "invalid_registration_token", "Quick Connect token"),
        (404, "not_found", "VOREL_CONTROL_PLANE_URL"),
        (409, "idempotency_conflict", "new key"),
        (429, "rate_limited", "wait"),
        (500, "internal", "retry later"),
    ],
)
def test_error_remediation(api, server, status, code, hint):
    server.error(status, code, "failed")
    with pytest.raises(VorelCloudError) as info:
        api.configure(max_retries=0).call("get_tenant")
    assert hint in info.value.remediation


def test_server_remediation_wins(api, server):
    server.reply(403, {"error": {"code": "forbidden", "message": "no", "remediation": "Ask Bob."}})
    with pytest.raises(PermissionDeniedError) as info:
        api.call("get_tenant")
    assert info.value.remediation == "Ask Bob."


def test_authentication_errors_are_caught_together(api, server):
    server.error(401, "invalid_api_key", "Invalid API key.")
    with pytest.raises(AuthenticationError) as info:
        api.call("get_tenant")
    assert info.value.status_code == 401
    assert not isinstance(info.value, PermissionDeniedError)


def test_rate_limit_error_carries_retry_after(api, server):
    server.error(429, "rate_limited", "Slow down.", headers={"Retry-After": "7"})
    with pytest.raises(RateLimitError) as info:
        api.configure(max_retries=0).call("health")
    assert info.value.retry_after == 7.0


def test_rate_limit_http_date(api, server):
    server.error(429, "rate_limited", "Slow down.", headers={"Retry-After": "Wed, 21 Oct 2015 07:28:00 GMT"})
    with pytest.raises(RateLimitError) as info:
        api.configure(max_retries=0).call("health")
    assert info.value.retry_after == 0.0  # a date in the past: no wait


@pytest.mark.parametrize("value", [None, "soon", ""])
def test_rate_limit_without_usable_retry_after(api, server, value):
    headers = {"Retry-After": value} if value is not None else None
    server.error(429, "rate_limited", "Slow down.", headers=headers)
    with pytest.raises(RateLimitError) as info:
        api.configure(max_retries=0).call("health")
    assert info.value.retry_after is None


@pytest.mark.parametrize(
    ("body", "message", "code"),
    [
        ({"detail": "Not authenticated"}, "Not authenticated", None),
        ({"message": "Bad key", "code": "invalid_api_key"}, "Bad key", "invalid_api_key"),
        ({"error": "invalid_token"}, "invalid_token", None),
    ],
)
def test_other_error_body_shapes(api, server, body, message, code):
    server.reply(401, body)
    with pytest.raises(AuthenticationError) as info:
        api.call("get_tenant")
    assert str(info.value) == message
    assert info.value.code == code
    assert info.value.body == body


def test_error_without_json_body(api, server):
    server.reply(502, text="<html>Bad gateway</html>")
    with pytest.raises(ServerError) as info:
        api.configure(max_retries=0).call("get_tenant")
    err = info.value
    assert str(err) == "Vorel Cloud answered HTTP 502 Bad Gateway for GET /v1/tenant"
    assert err.body == {"raw": "<html>Bad gateway</html>"}
    assert err.code is None


def test_error_with_empty_body(api, server):
    server.reply(404)
    with pytest.raises(NotFoundError) as info:
        api.call("get_request", "apr_1")
    assert str(info.value) == "Vorel Cloud answered HTTP 404 Not Found for GET /v1/approvals/requests/apr_1"
    assert info.value.body == {}


def test_error_with_json_that_is_not_an_object(api, server):
    server.reply(400, ["bad", "worse"])
    with pytest.raises(ValidationError) as info:
        api.call("deny", "apr_1")
    assert info.value.body == {"raw": ["bad", "worse"]}


def test_send_returns_error_responses_unhandled(server):
    server.error(404, "not_found", "Unknown agent.")
    with VorelCloudClient("k", "http://cp.test", transport=server.transport) as client:
        response = client._send("POST", "agents/claim", json={"agent_id": "x"})
        assert response.status_code == 404
        with pytest.raises(NotFoundError, match=re.escape("Unknown agent.")):
            client._handle_response(response)


def test_handle_response_without_request():
    client = VorelCloudClient("k", "http://cp.test")
    assert client._handle_response(httpx.Response(200, json={"a": 1})) == {"a": 1}
    with pytest.raises(ServerError, match=r"^Vorel Cloud answered HTTP 500 Internal Server Error$"):
        client._handle_response(httpx.Response(500))


def test_handle_response_is_shared_by_the_async_twin():
    client = AsyncVorelCloudClient("k", "http://cp.test")
    with pytest.raises(ConflictError):
        client._handle_response(httpx.Response(409, json={"error": {"code": "already_decided"}}))


# -- lifecycle ---------------------------------------------------------------------


def test_sync_context_manager_closes_and_does_not_swallow(server):
    client = VorelCloudClient("k", "http://cp.test", transport=server.transport)
    # The error must rise inside the client's own with-block to show it is not swallowed.
    with pytest.raises(RuntimeError, match="inner"):  # noqa: PT012
        with client as entered:
            assert entered is client
            entered.health()
            raise RuntimeError("inner")
    assert client._http is None
    with pytest.raises(VorelCloudError, match="closed"):
        client.health()
    client.close()  # idempotent
    assert len(server.requests) == 1


def test_async_context_manager_closes_and_does_not_swallow(server):
    client = AsyncVorelCloudClient("k", "http://cp.test", transport=server.transport)

    async def run() -> None:
        async with client as entered:
            assert entered is client
            await entered.health()
            raise RuntimeError("inner")

    with pytest.raises(RuntimeError, match="inner"):
        asyncio.run(run())
    assert client._http is None
    with pytest.raises(VorelCloudError, match="closed"):
        asyncio.run(client.health())
    asyncio.run(client.close())


def test_async_operations_are_coroutine_functions():
    for name in (
        "create_request",
        "get_request",
        "list_requests",
        "approve",
        "deny",
        "health",
        "get_tenant",
        "list_policies",
        "close",
        "_send",
    ):
        assert inspect.iscoroutinefunction(getattr(AsyncVorelCloudClient, name)), name
        assert not inspect.iscoroutinefunction(getattr(VorelCloudClient, name)), name


def test_constructor_signature_matches_between_twins():
    sync = inspect.signature(VorelCloudClient.__init__).parameters
    async_ = inspect.signature(AsyncVorelCloudClient.__init__).parameters
    assert (
        list(sync)
        == list(async_)
        == [
            "self",
            "api_key",
            "base_url",
            "timeout",
            "max_retries",
            "max_connections",
            "transport",
        ]
    )
    assert sync["base_url"].default == DEFAULT_API_BASE_URL
    assert sync["timeout"].default == 30.0
    assert sync["max_retries"].kind is inspect.Parameter.KEYWORD_ONLY


def test_negative_max_retries_is_refused():
    with pytest.raises(ValueError):
        VorelCloudClient("k", max_retries=-1)


def test_one_client_serves_many_calls(server):
    with VorelCloudClient("k", "http://cp.test", transport=server.transport) as client:
        http = client._client()
        client.health()
        client.get_tenant()
        assert client._client() is http
    assert len(server.requests) == 2


def test_json_body_is_compact_utf8(api, server):
    api.call("deny", "apr_1", "naïve ✓")
    assert server.last.content == json.dumps({"reason": "naïve ✓"}, separators=(",", ":")).encode()
