"""Quick Connect and doctor() against the local control plane's real endpoints."""

from __future__ import annotations

import os

import pytest

CHECKS = ["config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim"]


def statuses(report):
    return {c.name: c.status for c in report.checks}


@pytest.mark.parametrize("key_source", ["argument", "VOREL_AGENT_PUBLIC_KEY", "VOREL_SIGNING_KEY"])
def test_connect_claims_the_bound_agent_and_returns_a_working_client(
    vorel_dev_server, agent_key, key_source, monkeypatch
):
    from vorel_cloud.client import VorelCloudClient
    from vorel_cloud.connect import connect

    public_hex = agent_key.public_key.to_hex()
    kwargs = {}
    if key_source == "argument":
        kwargs["public_key_hex"] = public_hex
    elif key_source == "VOREL_AGENT_PUBLIC_KEY":
        monkeypatch.setenv("VOREL_AGENT_PUBLIC_KEY", f"  {public_hex}\n")
    else:
        monkeypatch.setenv("VOREL_SIGNING_KEY", agent_key.to_hex())
    assert vorel_dev_server.agent_state()["status"] != "claimed"

    client = connect(vorel_dev_server.connect_token, **kwargs)
    try:
        assert isinstance(client, VorelCloudClient)
        assert client.get_tenant()["id"]
    finally:
        client.close()
    agent = vorel_dev_server.agent_state()
    assert (agent["status"], agent["public_key"]) == ("claimed", public_hex)
    # apply_env exported the binding for the rest of the process.
    assert os.environ["VOREL_API_KEY"] == vorel_dev_server.api_key
    assert os.environ["VOREL_CONTROL_PLANE_URL"].rstrip("/") == vorel_dev_server.base_url
    assert os.environ["VOREL_AGENT_ID"] == vorel_dev_server.agent.id


def test_connect_from_the_environment_with_an_async_client(vorel_dev_server, agent_key, monkeypatch):
    import asyncio

    from vorel_cloud.client import AsyncVorelCloudClient
    from vorel_cloud.connect import connect

    monkeypatch.setenv("VOREL_CONNECT_TOKEN", vorel_dev_server.connect_token)
    client = connect(public_key_hex=agent_key.public_key.to_hex(), async_client=True, apply_env=False)
    assert isinstance(client, AsyncVorelCloudClient)

    async def use():
        try:
            return await client.health()
        finally:
            await client.close()

    assert asyncio.run(use())["status"] == "ok"
    assert vorel_dev_server.agent_state()["status"] == "claimed"
    assert "VOREL_API_KEY" not in os.environ


def test_an_agent_claimed_with_another_key_is_refused(vorel_dev_server, agent_key):
    from vorel_core import SigningKey

    from vorel_cloud.connect import connect
    from vorel_cloud.exceptions import ConflictError

    connect(vorel_dev_server.connect_token, public_key_hex=agent_key.public_key.to_hex(), apply_env=False).close()
    # Claiming again with the same key is harmless...
    connect(vorel_dev_server.connect_token, public_key_hex=agent_key.public_key.to_hex(), apply_env=False).close()
    # ...with another key the control plane refuses, and connect() hands that on.
    with pytest.raises(ConflictError) as info:
        connect(
            vorel_dev_server.connect_token, public_key_hex=SigningKey.generate().public_key.to_hex(), apply_env=False
        )
    assert info.value.code == "already_claimed"
    assert vorel_dev_server.agent_state()["public_key"] == agent_key.public_key.to_hex()


def test_doctor_all_green_and_claims_on_request(vorel_dev_server, agent_key):
    from vorel_cloud.connect import doctor

    report = doctor(vorel_dev_server.connect_token, public_key_hex=agent_key.public_key.to_hex(), claim=True)
    assert [c.name for c in report.checks] == CHECKS
    assert set(statuses(report).values()) == {"ok"}, report.checks
    assert report.ok
    report.raise_for_error()
    assert report.claimed_agent.agent_id == vorel_dev_server.agent.id
    assert vorel_dev_server.agent_state()["public_key"] == agent_key.public_key.to_hex()
    with vorel_dev_server.http() as api:
        assert report.checks[2].raw == api.get("/v1/tenant").json()


def test_doctor_changes_nothing_by_default(vorel_dev_server, agent_key):
    from vorel_cloud.connect import doctor

    report = doctor(vorel_dev_server.connect_token, public_key_hex=agent_key.public_key.to_hex())
    assert report.ok
    assert statuses(report)["agent_claim"] == "warning"  # ready, but not submitted
    assert vorel_dev_server.agent_state()["status"] != "claimed"
    assert not [k for k in os.environ if k.startswith("VOREL_")]


def test_doctor_with_a_plain_api_key(vorel_dev_server):
    from vorel_cloud.connect import doctor

    report = doctor(api_key=vorel_dev_server.api_key, base_url=vorel_dev_server.base_url + "/")
    assert report.ok and set(statuses(report).values()) == {"ok"}
    assert report.checks[0].message == f"Using Vorel Cloud API at {vorel_dev_server.base_url}."


def test_doctor_with_a_revoked_key(vorel_dev_server, agent_key):
    from vorel_cloud.connect import doctor
    from vorel_cloud.exceptions import VorelCloudError

    vorel_dev_server.revoke_api_key()
    report = doctor(vorel_dev_server.connect_token, public_key_hex=agent_key.public_key.to_hex(), claim=True)
    by_name = {c.name: c for c in report.checks}
    assert by_name["config"].status == "ok" and by_name["cloud_reachable"].status == "ok"  # health needs no key
    for name in ("tenant_access", "approval_policy_access", "agent_claim"):
        check = by_name[name]
        assert check.status == "error", check  # a revoked key is a rejected credential (401)
        assert "revoked" in check.message
        assert check.raw["error"]["code"] == "api_key_revoked"
        assert check.remediation  # the server's hint is passed on
    assert not report.ok and report.claimed_agent is None
    with pytest.raises(VorelCloudError):
        report.raise_for_error()
    assert vorel_dev_server.agent_state()["status"] != "claimed"
    # Without a claim the read checks alone fail the report.
    assert not doctor(vorel_dev_server.connect_token).ok


def test_doctor_when_the_control_plane_is_down(vorel_dev_server):
    from vorel_cloud.connect import doctor

    token = vorel_dev_server.connect_token
    vorel_dev_server.stop()
    report = doctor(token)
    found = statuses(report)
    assert found["cloud_reachable"] == "error"
    assert [c.name for c in report.checks] == CHECKS  # every probe still ran and reported
    assert found["tenant_access"] in ("warning", "error") and found["approval_policy_access"] in ("warning", "error")
    assert not report.ok
