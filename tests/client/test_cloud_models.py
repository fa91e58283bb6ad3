"""Models: connect payload and configuration, checks, reports, claim results."""

from __future__ import annotations

import dataclasses
import json

import pytest

from vorel_cloud.exceptions import VorelCloudError
from vorel_cloud.models import (
    BootstrapCheck,
    BootstrapReport,
    ClaimAgentResult,
    ConnectConfig,
    ConnectTokenPayload,
)

SECRET_KEY = "vk_live_0123456789abcdef"
SECRET_REG = "reg_tok_fedcba9876543210"


# -- ConnectTokenPayload -----------------------------------------------------


def test_payload_from_dict_reads_the_four_keys():
    payload = ConnectTokenPayload.from_dict(
        {
            "endpoint": "https://cp.example/",
            "api_key": SECRET_KEY,
            "agent_id": "agt_1",
            "registration_token": SECRET_REG,
            "unrelated": 1,
        }
    )
    assert payload.endpoint == "https://cp.example/"
    assert payload.api_key == SECRET_KEY
    assert payload.agent_id == "agt_1"
    assert payload.registration_token == SECRET_REG


def test_payload_from_dict_defaults():
    payload = ConnectTokenPayload.from_dict({})
    assert payload.endpoint == ""
    assert payload.api_key == ""
    assert payload.agent_id is None
    assert payload.registration_token is None
    nulls = ConnectTokenPayload.from_dict({"endpoint": None, "api_key": None, "agent_id": None})
    assert (nulls.endpoint, nulls.api_key, nulls.agent_id) == ("", "", None)


@pytest.mark.parametrize("value", [[], ["endpoint"], "text", 42, None, True])
def test_payload_from_non_object_raises(value):
    with pytest.raises(VorelCloudError, match="expected a JSON object"):
        ConnectTokenPayload.from_dict(value)


@pytest.mark.parametrize("key", ["endpoint", "api_key", "agent_id", "registration_token"])
def test_payload_rejects_non_string_values(key):
    with pytest.raises(VorelCloudError, match=key):
        ConnectTokenPayload.from_dict({"endpoint": "https://x", "api_key": "k", key: 12})


def test_payload_repr_masks_secrets():
    payload = ConnectTokenPayload(
        endpoint="https://cp", api_key=SECRET_KEY, agent_id="agt_1", registration_token=SECRET_REG
    )
    text = repr(payload)
    assert SECRET_KEY not in text
    assert SECRET_REG not in text
    assert "https://cp" in text and "agt_1" in text
    assert "api_key='***'" in text
    assert "registration_token=None" in repr(ConnectTokenPayload(api_key="x"))


# -- ConnectConfig -------------------------------------------------------------


def test_config_defaults_and_keywords():
    config = ConnectConfig(api_base_url="https://cp", api_key=SECRET_KEY)
    assert config.agent_id is None
    assert config.registration_token is None
    assert config.is_agent_mode is False


@pytest.mark.parametrize(
    ("agent_id", "registration_token", "expected"),
    [
        (None, None, False),
        ("", "", False),
        ("", None, False),
        ("agt_1", None, True),
        (None, "reg", True),
        ("agt_1", "reg", True),
        ("", "reg", True),
    ],
)
def test_config_is_agent_mode(agent_id, registration_token, expected):
    config = ConnectConfig(
        api_base_url="https://cp",
        api_key="k",
        agent_id=agent_id,
        registration_token=registration_token,
    )
    assert config.is_agent_mode is expected


def test_config_repr_and_to_dict_hide_secrets():
    config = ConnectConfig(
        api_base_url="https://cp", api_key=SECRET_KEY, agent_id="agt_1", registration_token=SECRET_REG
    )
    for text in (repr(config), str(config), json.dumps(config.to_dict())):
        assert SECRET_KEY not in text
        assert SECRET_REG not in text
    assert config.to_dict() == {
        "api_base_url": "https://cp",
        "agent_id": "agt_1",
        "is_agent_mode": True,
        "has_api_key": True,
        "has_registration_token": True,
    }
    assert "api_key=''" in repr(ConnectConfig(api_base_url="", api_key=""))


def test_config_is_immutable():
    config = ConnectConfig(api_base_url="https://cp", api_key="k")
    with pytest.raises(dataclasses.FrozenInstanceError):
        config.api_key = "other"  # type: ignore[misc]


# -- BootstrapCheck -----------------------------------------------------------


def test_check_positional_order_and_defaults():
    check = BootstrapCheck("config", "ok", "Quick Connect token decoded.")
    assert (check.name, check.status, check.message) == (
        "config",
        "ok",
        "Quick Connect token decoded.",
    )
    assert check.remediation is None
    assert check.raw == {}
    assert BootstrapCheck("a", "ok", "m").raw is not check.raw
    with_raw = BootstrapCheck("cloud_reachable", "ok", "m", None, raw={"status": "ok"})
    assert with_raw.raw == {"status": "ok"}


@pytest.mark.parametrize("status", ["ok", "warning", "error", "warn", "fail", "skip"])
def test_check_accepts_known_statuses(status):
    assert BootstrapCheck("x", status, "m").status == status


def test_check_rejects_unknown_status():
    with pytest.raises(ValueError, match="invalid check status"):
        BootstrapCheck("x", "OK", "m")


@pytest.mark.parametrize(
    ("status", "failed"),
    [("ok", False), ("warning", False), ("warn", False), ("skip", False), ("error", True), ("fail", True)],
)
def test_check_failed(status, failed):
    assert BootstrapCheck("x", status, "m").failed is failed


# -- BootstrapReport ----------------------------------------------------------


def _config() -> ConnectConfig:
    return ConnectConfig(api_base_url="https://cp", api_key=SECRET_KEY, agent_id="agt_1", registration_token=SECRET_REG)


def test_raise_for_error_passes_when_ok():
    report = BootstrapReport(
        ok=True,
        config=_config(),
        checks=[BootstrapCheck("tenant_access", "warning", "forbidden")],
        claimed_agent=None,
    )
    assert report.raise_for_error() is None


def test_raise_for_error_lists_failing_checks():
    checks = [
        BootstrapCheck("config", "ok", "Quick Connect token decoded."),
        BootstrapCheck("cloud_reachable", "error", "connection refused", "Check DNS."),
        BootstrapCheck("tenant_access", "warning", "not allowed", "Ask an admin."),
        BootstrapCheck("agent_claim", "error", "invalid registration token", None),
        BootstrapCheck("approval_policy_access", "error", "key revoked", "Check DNS."),
    ]
    report = BootstrapReport(ok=False, config=_config(), checks=checks, claimed_agent=None)
    with pytest.raises(VorelCloudError) as info:
        report.raise_for_error()
    err = info.value
    message = str(err)
    assert "cloud_reachable: connection refused" in message
    assert "agent_claim: invalid registration token" in message
    assert "tenant_access" not in message
    assert "config" not in message.split(" - ", 1)[1]
    assert err.remediation == "Check DNS."  # a hint shared by two checks is given once
    assert err.body == report.to_dict()
    assert SECRET_KEY not in message and SECRET_KEY not in json.dumps(err.body)


def test_raise_for_error_without_failing_checks_still_raises():
    report = BootstrapReport(ok=False, config=_config(), checks=[])
    with pytest.raises(VorelCloudError, match="bootstrap failed"):
        report.raise_for_error()


def test_report_to_dict_is_json_and_secret_free():
    claimed = ClaimAgentResult.from_dict({"agent_id": "agt_1", "name": "Bot", "status": "claimed"})
    checks = [
        BootstrapCheck("config", "ok", "Quick Connect token decoded."),
        BootstrapCheck(
            "tenant_access",
            "error",
            f"key {SECRET_KEY} rejected",
            raw={"echo": [SECRET_KEY, {"token": SECRET_REG}]},
        ),
    ]
    report = BootstrapReport(ok=False, config=_config(), checks=checks, claimed_agent=claimed)
    data = report.to_dict()
    text = json.dumps(data)
    assert SECRET_KEY not in text
    assert SECRET_REG not in text
    assert data["ok"] is False
    assert data["config"]["api_base_url"] == "https://cp"
    assert data["checks"][0] == {
        "name": "config",
        "status": "ok",
        "message": "Quick Connect token decoded.",
        "remediation": None,
        "raw": {},
    }
    assert data["checks"][1]["message"] == "key *** rejected"
    assert data["checks"][1]["raw"] == {"echo": ["***", {"token": "***"}]}
    assert data["claimed_agent"] == {"agent_id": "agt_1", "name": "Bot", "status": "claimed"}
    # the report itself is untouched
    assert checks[1].raw["echo"][0] == SECRET_KEY


def test_report_keeps_the_list_it_was_given():
    checks: list[BootstrapCheck] = []
    report = BootstrapReport(ok=True, config=_config(), checks=checks, claimed_agent=None)
    assert report.checks is checks
    assert report.claimed_agent is None


def test_report_repr_hides_secrets():
    report = BootstrapReport(ok=True, config=_config(), checks=[])
    assert SECRET_KEY not in repr(report)
    assert SECRET_REG not in repr(report)


# -- ClaimAgentResult ---------------------------------------------------------


def test_claim_result_from_dict():
    body = {"agent_id": "agt_1", "name": "Support bot", "status": "claimed", "extra": [1]}
    result = ClaimAgentResult.from_dict(body)
    assert (result.agent_id, result.name, result.status) == ("agt_1", "Support bot", "claimed")
    assert result.raw == body
    assert result.raw is not body


def test_claim_result_missing_and_odd_fields():
    result = ClaimAgentResult.from_dict({"agent_id": 7})
    assert result.agent_id == "7"
    assert result.name is None
    assert result.status is None
    assert result.raw == {"agent_id": 7}


@pytest.mark.parametrize("body", [None, [], "claimed"])
def test_claim_result_from_non_object_raises(body):
    with pytest.raises(VorelCloudError, match="expected a JSON object"):
        ClaimAgentResult.from_dict(body)
