"""The /v1 API of the local control plane, over real HTTP on loopback."""

import base64
import json

import httpx
import pytest
from vorel_core import SignedApproval, SigningKey

from vorel_cloud.devserver import SCOPES


def decode_signed(text):
    if len(text) % 2 == 0 and all(c in "0123456789abcdef" for c in text):
        return SignedApproval.from_bytes(bytes.fromhex(text))
    return SignedApproval.from_bytes(base64.b64decode(text, validate=True))


def error_code(resp):
    return resp.json()["error"]["code"]


# -- authentication and permissions ---------------------------------------------
@pytest.mark.parametrize(
    "headers, status, code",
    [
        ({}, 401, "invalid_api_key"),
        ({"Authorization": "Bearer vk_dev_not-a-key"}, 401, "invalid_api_key"),
        ({"Authorization": "Basic dXNlcjpwdw=="}, 401, "invalid_api_key"),
        ({"Authorization": "Bearer"}, 401, "invalid_api_key"),
    ],
)
def test_rejects_missing_or_invalid_key(vorel_dev_server, headers, status, code):
    resp = httpx.get(vorel_dev_server.base_url + "/v1/tenant", headers=headers)
    assert (resp.status_code, error_code(resp)) == (status, code)


def test_health_needs_no_key_and_revoked_key_is_refused(vorel_dev_server, api):
    assert httpx.get(vorel_dev_server.base_url + "/v1/health").json()["status"] == "ok"
    assert api.get("/v1/tenant").json()["id"] == "ten_local"
    vorel_dev_server.revoke_api_key()
    resp = api.get("/v1/tenant")
    assert (resp.status_code, error_code(resp)) == (401, "api_key_revoked")


@pytest.mark.parametrize(
    "missing, method, path",
    [
        ("policies:read", "GET", "/v1/approvals/policies"),
        ("tenant:read", "GET", "/v1/tenant"),
        ("approvals:write", "POST", "/v1/approvals/requests"),
        ("approvals:read", "GET", "/v1/approvals/requests"),
        ("agents:claim", "POST", "/v1/agents/claim"),
    ],
)
def test_key_without_scope_gets_forbidden(vorel_dev_server, missing, method, path):
    key = vorel_dev_server.create_api_key([s for s in SCOPES if s != missing])
    with vorel_dev_server.http(key) as client:
        resp = client.request(method, path, json={})
        assert (resp.status_code, error_code(resp)) == (403, "forbidden")
        # The same key still serves what it is allowed to do.
        other = "/v1/tenant" if missing != "tenant:read" else "/v1/approvals/policies"
        assert client.get(other).status_code == 200


# -- creating and reading -------------------------------------------------------
def test_create_get_and_list(vorel_dev_server, api, make_body):
    body = make_body(ttl_seconds=120, approver_keys=[vorel_dev_server.approver_key.upper()])
    resp = api.post("/v1/approvals/requests", json=body)
    assert resp.status_code == 201
    created = resp.json()
    assert created["id"].startswith("apr_")
    assert created["status"] == "pending"
    assert created["threshold"] == 1
    assert created["approver_keys"] == [vorel_dev_server.approver_key]  # normalised to lower case
    assert created["metadata"] == {"to": "bob"}
    assert created["responses"] == [] and created["denied_reason"] is None and created["decided_at"] is None
    from datetime import datetime

    lifetime = datetime.fromisoformat(created["expires_at"]) - datetime.fromisoformat(created["created_at"])
    assert lifetime.total_seconds() == pytest.approx(120, abs=0.01)

    fetched = api.get(f"/v1/approvals/requests/{created['id']}").json()
    assert fetched == created

    other = api.post("/v1/approvals/requests", json=make_body()).json()
    vorel_dev_server.deny(other["id"], "no")
    pending = api.get("/v1/approvals/requests", params={"status": "pending"}).json()
    assert [r["id"] for r in pending["items"]] == [created["id"]]
    everything = api.get("/v1/approvals/requests", params={"limit": 1}).json()
    assert len(everything["items"]) == 1 and everything["has_more"] is True

    resp = api.get("/v1/approvals/requests/apr_missing")
    assert (resp.status_code, error_code(resp)) == (404, "not_found")


@pytest.mark.parametrize(
    "change",
    [
        {"tool": ...},
        {"approval_context_attestation": ...},
        {"request_hash": "xyz"},
        {"holder_key": "abc"},
        {"args_canonical_cbor_b64": "not base64!"},
        {"threshold": 2, "approver_keys": ["aa" * 32]},
        {"threshold": -1},
        {"ttl_seconds": -5},
        {"approver_keys": "aa"},
        {"metadata": [1, 2]},
        {"policy_id": "pol_unknown"},
    ],
)
def test_create_rejects_invalid_bodies(api, make_body, change):
    resp = api.post("/v1/approvals/requests", json=make_body(**change))
    assert (resp.status_code, error_code(resp)) == (422, "invalid_request")


def test_create_rejects_non_json(api):
    resp = api.post("/v1/approvals/requests", content=b"{nope", headers={"Content-Type": "application/json"})
    assert (resp.status_code, error_code(resp)) == (400, "invalid_request")


def test_zero_threshold_still_needs_one_approval_and_default_ttl_applies(vorel_dev_server, api, make_body):
    created = api.post("/v1/approvals/requests", json=make_body(threshold=0, ttl_seconds=0)).json()
    assert created["status"] == "pending" and created["threshold"] == 1
    assert created["ttl_seconds"] == 3600


# -- idempotency ----------------------------------------------------------------
def test_idempotency_key_deduplicates_creates(api, make_body):
    body = make_body(idempotency_key="run-1/act-1")
    first = api.post("/v1/approvals/requests", json=body)
    again = api.post("/v1/approvals/requests", json=body, headers={"Idempotency-Key": "run-1/act-1"})
    assert (first.status_code, again.status_code) == (201, 200)
    assert again.json()["id"] == first.json()["id"]

    # A retry re-attests the same call: a fresh attestation is still the same request.
    reattested = dict(
        body, approval_context_attestation={"version": 1, "issued_at": 2}, holder_key=body["holder_key"].upper()
    )
    assert api.post("/v1/approvals/requests", json=reattested).json()["id"] == first.json()["id"]
    for change in ({"tool": "delete_user"}, {"metadata": {"to": "eve"}}, {"ttl_seconds": 5}):
        changed = api.post("/v1/approvals/requests", json=dict(body, **change))
        assert (changed.status_code, error_code(changed)) == (409, "idempotency_conflict"), change

    # The header alone is a key too.
    plain = make_body()
    one = api.post("/v1/approvals/requests", json=plain, headers={"Idempotency-Key": "hdr"}).json()
    two = api.post("/v1/approvals/requests", json=plain, headers={"Idempotency-Key": "hdr"}).json()
    assert one["id"] == two["id"]
    # Without a key, the same body makes a second request.
    assert api.post("/v1/approvals/requests", json=plain).json()["id"] != one["id"]

    clash = api.post("/v1/approvals/requests", json=make_body(idempotency_key="a"), headers={"Idempotency-Key": "b"})
    assert clash.status_code == 422


# -- decisions ------------------------------------------------------------------
def test_threshold_and_approver_restriction(vorel_dev_server, api, reviewer, make_body):
    second = vorel_dev_server.add_approver("second")
    outsider = vorel_dev_server.add_approver("outsider")
    keys = [vorel_dev_server.approver_key, second.public_key.to_hex()]
    rid = api.post("/v1/approvals/requests", json=make_body(approver_keys=keys, threshold=2)).json()["id"]
    url = f"/v1/approvals/requests/{rid}/approve"

    resp = reviewer.post(url, json={"approver_key": outsider.public_key.to_hex()})
    assert (resp.status_code, error_code(resp)) == (403, "forbidden")
    resp = reviewer.post(url, json={"approver_key": "cd" * 32})  # allowed nowhere, held nowhere
    assert resp.status_code == 422

    after_one = reviewer.post(url, json={"approver_key": keys[0]}).json()
    assert after_one["status"] == "pending" and len(after_one["responses"]) == 1
    resp = reviewer.post(url, json={"approver_key": keys[0]})
    assert (resp.status_code, error_code(resp)) == (409, "already_approved")

    done = reviewer.post(url, json={"approver_key": keys[1]}).json()
    assert done["status"] == "approved" and done["decided_at"]
    assert [r["approver_key"] for r in done["responses"]] == keys
    for entry in done["responses"]:
        approval = decode_signed(entry["signed_approval"])
        approval.verify(bytes.fromhex(done["request_hash"]), trusted_approvers=keys)
        assert (approval.tool, approval.warrant_id) == (done["tool"], done["warrant_id"])

    resp = reviewer.post(url, json={"approver_key": outsider.public_key.to_hex()})
    assert (resp.status_code, error_code(resp)) == (409, "already_decided")


@pytest.mark.parametrize("encoding", ["hex", "base64"])
def test_signed_approval_encoding(vorel_dev_server, api, reviewer, make_body, encoding):
    vorel_dev_server.signed_approval_encoding = encoding
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    text = reviewer.post(f"/v1/approvals/requests/{rid}/approve", json={}).json()["responses"][0]["signed_approval"]
    raw = bytes.fromhex(text) if encoding == "hex" else base64.b64decode(text, validate=True)
    assert (text == raw.hex()) is (encoding == "hex")
    assert SignedApproval.from_bytes(raw).approver_key.hex() == vorel_dev_server.approver_key


def test_approval_signed_elsewhere(vorel_dev_server, api, reviewer, make_body):
    remote = SigningKey.generate()
    body = make_body(approver_keys=[remote.public_key.to_hex()])
    rid = api.post("/v1/approvals/requests", json=body).json()["id"]
    url = f"/v1/approvals/requests/{rid}/approve"

    def signed(**fields):
        args = {"request_hash": body["request_hash"], "warrant_id": body["warrant_id"], "tool": body["tool"]} | fields
        return base64.b64encode(SignedApproval.create(remote, **args).to_bytes()).decode()

    for bad in (signed(request_hash="00" * 32), signed(tool="other_tool"), "bm90IGFuIGFwcHJvdmFs"):
        resp = reviewer.post(url, json={"signed_approval": bad})
        assert resp.status_code == 422, bad
    done = reviewer.post(url, json={"signed_approval": signed()}).json()
    assert done["status"] == "approved"
    assert done["responses"][0]["approver_key"] == remote.public_key.to_hex()


def test_deny_with_reason(vorel_dev_server, api, reviewer, make_body):
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    denied = reviewer.post(f"/v1/approvals/requests/{rid}/deny", json={"reason": "not during the freeze"}).json()
    assert (denied["status"], denied["denied_reason"]) == ("denied", "not during the freeze")
    assert api.get(f"/v1/approvals/requests/{rid}").json()["denied_reason"] == "not during the freeze"
    for action in ("approve", "deny"):
        resp = reviewer.post(f"/v1/approvals/requests/{rid}/{action}", json={})
        assert (resp.status_code, error_code(resp)) == (409, "already_decided")


def test_expiry_follows_the_server_clock(vorel_dev_server, api, reviewer, make_body):
    rid = api.post("/v1/approvals/requests", json=make_body(ttl_seconds=60)).json()["id"]
    vorel_dev_server.advance(59)
    assert api.get(f"/v1/approvals/requests/{rid}").json()["status"] == "pending"
    vorel_dev_server.advance(2)
    got = api.get(f"/v1/approvals/requests/{rid}").json()
    assert got["status"] == "expired" and got["decided_at"] == got["expires_at"]
    for action in ("approve", "deny"):
        resp = reviewer.post(f"/v1/approvals/requests/{rid}/{action}", json={})
        assert (resp.status_code, error_code(resp)) == (410, "approval_expired")
    assert api.get("/v1/approvals/requests", params={"status": "pending"}).json()["items"] == []


# -- scripted behaviour ---------------------------------------------------------
@pytest.mark.parametrize(
    "script, final, reason",
    [
        (lambda s: s.auto_approve(after_polls=3), "approved", None),
        (lambda s: s.auto_deny("policy says no", after_polls=3), "denied", "policy says no"),
        (lambda s: s.auto_expire(after_polls=3), "expired", None),
    ],
)
def test_scripted_decision_after_polls(vorel_dev_server, api, make_body, script, final, reason):
    script(vorel_dev_server)
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    statuses = [api.get(f"/v1/approvals/requests/{rid}").json() for _ in range(3)]
    assert [s["status"] for s in statuses] == ["pending", "pending", final]
    assert statuses[-1]["denied_reason"] == reason
    if final == "approved":
        decode_signed(statuses[-1]["responses"][0]["signed_approval"])


def test_scripted_approval_at_creation_and_tool_filter(vorel_dev_server, api, make_body):
    vorel_dev_server.auto_approve(after_polls=0, tool="read_file", times=1)
    assert api.post("/v1/approvals/requests", json=make_body(tool="send_email")).json()["status"] == "pending"
    assert api.post("/v1/approvals/requests", json=make_body(tool="read_file")).json()["status"] == "approved"
    assert api.post("/v1/approvals/requests", json=make_body(tool="read_file")).json()["status"] == "pending"


def test_scripted_approval_meets_threshold_with_held_approvers(vorel_dev_server, api, make_body):
    second = vorel_dev_server.add_approver()
    vorel_dev_server.auto_approve(after_polls=1)
    keys = [vorel_dev_server.approver_key, second.public_key.to_hex()]
    rid = api.post("/v1/approvals/requests", json=make_body(approver_keys=keys, threshold=2)).json()["id"]
    got = api.get(f"/v1/approvals/requests/{rid}").json()
    assert got["status"] == "approved"
    assert sorted(r["approver_key"] for r in got["responses"]) == sorted(keys)


def test_rate_limit_then_recovery(vorel_dev_server, api, make_body):
    vorel_dev_server.auto_approve(after_polls=1)
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    vorel_dev_server.rate_limit(times=2, retry_after=2.5, op="get")
    for _ in range(2):
        resp = api.get(f"/v1/approvals/requests/{rid}")
        assert (resp.status_code, resp.headers["Retry-After"], error_code(resp)) == (429, "3", "rate_limited")
    # Refused polls do not count: the first one served is the first poll.
    assert api.get(f"/v1/approvals/requests/{rid}").json()["status"] == "approved"


def test_server_errors_then_recovery(vorel_dev_server, api, make_body):
    fault = vorel_dev_server.fail(times=3, status=502)
    codes = [api.post("/v1/approvals/requests", json=make_body()).status_code for _ in range(4)]
    assert codes == [502, 502, 502, 201]
    assert fault.hits == 3
    assert len(vorel_dev_server.requests()) == 1
    assert httpx.get(vorel_dev_server.base_url + "/v1/health").status_code == 200


def test_lost_create_answer_is_recovered_by_idempotency_key(vorel_dev_server, api, make_body):
    body = make_body(idempotency_key="wf-1/run-1/act-1")
    vorel_dev_server.fail(times=1, op="create", after_processing=True)
    assert api.post("/v1/approvals/requests", json=body).status_code == 503
    (stored,) = vorel_dev_server.requests()
    # A GET that the cloud answers 404 (the request looks lost) and a re-create under the same key.
    vorel_dev_server.fail(times=1, status=404, op="get", request_id=stored["id"])
    assert api.get(f"/v1/approvals/requests/{stored['id']}").status_code == 404
    again = api.post("/v1/approvals/requests", json=body)
    assert (again.status_code, again.json()["id"]) == (200, stored["id"])


# -- agents and Quick Connect ---------------------------------------------------
def test_connect_token_carries_a_working_binding(vorel_dev_server):
    token = vorel_dev_server.connect_token
    assert token.startswith("vorel_ct_") and "=" not in token
    encoded = token[len("vorel_ct_") :]
    data = json.loads(base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4)))
    assert data == {
        "endpoint": vorel_dev_server.base_url,
        "api_key": vorel_dev_server.api_key,
        "agent_id": vorel_dev_server.agent.id,
        "registration_token": vorel_dev_server.agent.registration_token,
    }
    assert (
        httpx.get(data["endpoint"] + "/v1/tenant", headers={"Authorization": f"Bearer {data['api_key']}"}).status_code
        == 200
    )


def test_claim(vorel_dev_server, api):
    agent = vorel_dev_server.agent
    key, other = SigningKey.generate().public_key.to_hex(), SigningKey.generate().public_key.to_hex()

    def claim(agent_id=agent.id, public_key=key, token=agent.registration_token):
        return api.post(
            "/v1/agents/claim", json={"agent_id": agent_id, "public_key": public_key, "registration_token": token}
        )

    for resp, status, code in [
        (claim(token="reg_wrong"), 403, "invalid_registration_token"),
        (claim(agent_id="agt_nobody"), 404, "not_found"),
        (claim(public_key="xyz"), 422, "invalid_request"),
    ]:
        assert (resp.status_code, error_code(resp)) == (status, code)
    assert vorel_dev_server.agent_state()["status"] == "unclaimed"

    ok = claim()
    assert ok.status_code == 200
    assert {k: ok.json()[k] for k in ("agent_id", "name", "status")} == {
        "agent_id": agent.id,
        "name": agent.name,
        "status": "claimed",
    }
    assert claim().status_code == 200  # the same key again: nothing changes
    resp = claim(public_key=other)
    assert (resp.status_code, error_code(resp)) == (409, "already_claimed")
    assert vorel_dev_server.agent_state()["public_key"] == key
