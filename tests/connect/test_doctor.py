"""doctor() and its probes against a fake cloud: every check row, order, effects."""

from __future__ import annotations

import os

import pytest

from support.fakes import AGENT_TOKEN, API_KEY, ENDPOINT, PLAIN_TOKEN, PUB_HEX, REG_TOKEN, make_token
from vorel_cloud import connect as connect_mod
from vorel_cloud.client import VorelCloudClient
from vorel_cloud.exceptions import (
    AuthenticationError,
    ConfigurationError,
    NotFoundError,
    PermissionDeniedError,
    TransportError,
    VorelCloudError,
)
from vorel_cloud.models import BootstrapCheck, BootstrapReport, ClaimAgentResult, ConnectConfig

URL = ENDPOINT.rstrip("/")
REACH_HINT = "Check VOREL_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."
TENANT_HINT = "Admin credentials can read tenant details; runtime credentials may not need this."
POLICY_HINT = "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies."
NO_KEY_MSG = "Quick Connect token includes an agent binding, but no public key was available."
NO_KEY_HINT = "Pass public_key_hex=, set VOREL_AGENT_PUBLIC_KEY, or set VOREL_SIGNING_KEY/VOREL_ISSUER_KEY."
NOT_SUBMITTED_MSG = "Agent claim is ready but was not submitted because claim=False."
NOT_SUBMITTED_HINT = (
    "Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim the agent."
)
BODY = {"error": {"code": "x", "message": "refused"}}


class Check:
    """Records exactly how a check was built (positional values, keywords)."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        self.status = args[1]

    def built(self):
        return self.args, self.kwargs


@pytest.fixture
def recorded(monkeypatch):
    monkeypatch.setattr(connect_mod, "BootstrapCheck", Check)


def names(report):
    return [c.name for c in report.checks]


# ---- the check table, row by row ------------------------------------------------------

HEALTH = {"status": "degraded", "version": "2"}


@pytest.mark.parametrize(
    "answer, built",
    [
        (HEALTH, (("cloud_reachable", "ok", "Vorel Cloud health check returned degraded."), {"raw": HEALTH})),
        ({}, (("cloud_reachable", "ok", "Vorel Cloud health check returned ok."), {"raw": {}})),
        ({"status": 3}, (("cloud_reachable", "ok", "Vorel Cloud health check returned 3."), {"raw": {"status": 3}})),
        (TransportError("connection refused"), (("cloud_reachable", "error", "connection refused", REACH_HINT), {})),
        (KeyError("boom"), (("cloud_reachable", "error", "'boom'", REACH_HINT), {})),
        (None, (("cloud_reachable", "error", "'NoneType' object has no attribute 'get'", REACH_HINT), {})),
    ],
)
def test_health_rows(cloud, recorded, answer, built):
    cloud.health = answer
    checks = []
    assert connect_mod._probe_health(cloud.factory("sync")("k"), checks) is None
    assert [c.built() for c in checks] == [built]


def auth(status_code, remediation=None, body=None, cls=AuthenticationError):
    return cls("credential refused", status_code=status_code, remediation=remediation, body=body)


PERMISSION_PROBES = {
    "tenant": ("_probe_tenant", "tenant_access", TENANT_HINT, "Credential can read Acme."),
    "policies": (
        "_probe_approval_policies",
        "approval_policy_access",
        POLICY_HINT,
        "Credential can list approval policies.",
    ),
}


@pytest.mark.parametrize("probe", ["tenant", "policies"])
@pytest.mark.parametrize(
    "error, status, hint, raw",
    [
        (auth(401, body=BODY), "error", "default", BODY),
        (auth(401.0), "error", "default", {}),
        (auth(401, remediation="Rotate the key."), "error", "Rotate the key.", {}),
        (auth(403, body=BODY, cls=PermissionDeniedError), "warning", "default", BODY),
        (auth(None), "warning", "default", {}),
        (auth("401"), "warning", "default", {}),
        (NotFoundError("not here", status_code=404), "warning", None, {}),
        (VorelCloudError("odd", remediation="Try later.", body=BODY), "warning", "Try later.", BODY),
    ],
)
def test_permission_refusal_rows(cloud, recorded, probe, error, status, hint, raw):
    func, name, default_hint, _ = PERMISSION_PROBES[probe]
    setattr(cloud, probe, error)
    checks = []
    assert getattr(connect_mod, func)(cloud.factory("sync")("k"), checks) is None
    hint = default_hint if hint == "default" else hint
    assert [c.built() for c in checks] == [((name, status, str(error), hint), {"raw": raw})]


@pytest.mark.parametrize(
    "tenant, label",
    [
        ({"name": "Acme", "slug": "acme", "id": "t1"}, "Acme"),
        ({"name": "", "slug": "acme", "id": "t1"}, "acme"),
        ({"name": None, "id": "t1"}, "t1"),
        ({"id": 42}, "42"),
        ({}, "tenant"),
    ],
)
def test_tenant_label(cloud, recorded, tenant, label):
    cloud.tenant = tenant
    checks = []
    connect_mod._probe_tenant(cloud.factory("sync")("k"), checks)
    assert [c.built() for c in checks] == [(("tenant_access", "ok", f"Credential can read {label}."), {"raw": tenant})]


def test_policy_listing_row(cloud, recorded):
    checks = []
    connect_mod._probe_approval_policies(cloud.factory("sync")("k"), checks)
    assert [c.built() for c in checks] == [
        (("approval_policy_access", "ok", "Credential can list approval policies."), {"raw": cloud.policies})
    ]
    assert cloud.calls("policies")[0][1] == {"limit": 1}


@pytest.mark.parametrize(
    "probe, answer",
    [("tenant", None), ("tenant", ValueError("decoded nothing")), ("policies", ValueError("decoded nothing"))],
)
def test_permission_probes_let_foreign_errors_through(cloud, recorded, probe, answer):
    setattr(cloud, probe, answer)
    checks = []
    with pytest.raises((AttributeError, ValueError)):
        getattr(connect_mod, PERMISSION_PROBES[probe][0])(cloud.factory("sync")("k"), checks)
    assert checks == []


def test_policy_listing_content_is_not_inspected(cloud, recorded):
    cloud.policies = None
    checks = []
    connect_mod._probe_approval_policies(cloud.factory("sync")("k"), checks)
    assert [c.built() for c in checks] == [
        (("approval_policy_access", "ok", "Credential can list approval policies."), {"raw": None})
    ]


AGENT_CONFIG = ConnectConfig(api_base_url=URL, api_key=API_KEY, agent_id="agt_7", registration_token=REG_TOKEN)
PLAIN_CONFIG = ConnectConfig(api_base_url=URL, api_key=API_KEY)


def claim_probe(cloud, config, *, public_key_hex=None, claim=False):
    checks = []
    client = cloud.factory("sync")("k")
    result = connect_mod._probe_agent_claim(client, config, public_key_hex=public_key_hex, claim=claim, checks=checks)
    return result, [c.built() for c in checks]


def test_claim_row_not_agent_mode(cloud, recorded, monkeypatch):
    monkeypatch.setattr(connect_mod, "_resolve_public_key_hex", lambda: pytest.fail("looked up"))
    result, built = claim_probe(cloud, PLAIN_CONFIG, public_key_hex=PUB_HEX, claim=True)
    assert result is None
    assert built == [(("agent_claim", "ok", "No agent claim required by this configuration."), {})]


@pytest.mark.parametrize("env_key", [None, "", "   "])
def test_claim_row_no_public_key(cloud, recorded, env_key):
    if env_key is not None:
        os.environ["VOREL_AGENT_PUBLIC_KEY"] = env_key
    result, built = claim_probe(cloud, AGENT_CONFIG, claim=True)
    assert result is None and cloud.calls("send") == []
    assert built == [(("agent_claim", "warning", NO_KEY_MSG, NO_KEY_HINT), {})]


def test_claim_row_not_submitted(cloud, recorded):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    result, built = claim_probe(cloud, AGENT_CONFIG, claim=False)
    assert result is None and cloud.calls("send") == []
    assert built == [(("agent_claim", "warning", NOT_SUBMITTED_MSG, NOT_SUBMITTED_HINT), {})]


@pytest.mark.parametrize(
    "answer, label",
    [
        ({"agent_id": "agt_7", "name": "bot", "status": "claimed"}, "agt_7"),
        ({"agent_id": "", "name": "bot"}, "bot"),
        ({}, "None"),
    ],
)
def test_claim_row_claimed(cloud, recorded, answer, label):
    cloud.claim = answer
    result, built = claim_probe(cloud, AGENT_CONFIG, public_key_hex=PUB_HEX, claim=True)
    assert isinstance(result, ClaimAgentResult) and result.raw == answer
    assert built == [(("agent_claim", "ok", f"Claimed agent {label}."), {"raw": answer})]
    (send,) = cloud.calls("send")
    assert send[3]["json"] == {"agent_id": "agt_7", "public_key": PUB_HEX, "registration_token": REG_TOKEN}


@pytest.mark.parametrize(
    "error, hint, raw",
    [
        (
            VorelCloudError("already claimed", remediation="Use the original key.", body=BODY),
            "Use the original key.",
            BODY,
        ),
        (AuthenticationError("registration token used", status_code=401), None, {}),
    ],
)
def test_claim_row_failed(cloud, recorded, error, hint, raw):
    cloud.claim = error
    result, built = claim_probe(cloud, AGENT_CONFIG, public_key_hex=PUB_HEX, claim=True)
    assert result is None
    assert built == [(("agent_claim", "error", str(error), hint), {"raw": raw})]


def test_claim_probe_lets_foreign_errors_through(cloud, recorded):
    cloud.claim = RuntimeError("socket exploded")
    with pytest.raises(RuntimeError, match="socket exploded"):
        claim_probe(cloud, AGENT_CONFIG, public_key_hex=PUB_HEX, claim=True)


# ---- configuration rows -------------------------------------------------------------


@pytest.mark.parametrize(
    "env, kwargs, built, api_key, url",
    [
        (
            {},
            {},
            (
                "config",
                "error",
                "No Vorel Cloud credential found.",
                "Set VOREL_CONNECT_TOKEN, set VOREL_API_KEY, or pass api_key=.",
            ),
            "",
            "https://api.vorel.cloud",
        ),
        (
            {},
            {"api_key": "k", "base_url": "https://b.test//"},
            ("config", "ok", "Using Vorel Cloud API at https://b.test."),
            "k",
            "https://b.test",
        ),
        (
            {"VOREL_API_KEY": "envkey", "VOREL_CONTROL_PLANE_URL": "https://env.test/"},
            {},
            ("config", "ok", "Using Vorel Cloud API at https://env.test."),
            "envkey",
            "https://env.test",
        ),
        (
            {"VOREL_API_KEY": "envkey", "VOREL_CONTROL_PLANE_URL": ""},
            {},
            ("config", "ok", "Using Vorel Cloud API at ."),
            "envkey",
            "",
        ),
        (
            {"VOREL_API_KEY": "envkey"},
            {"api_key": "argkey"},
            ("config", "ok", "Using Vorel Cloud API at https://api.vorel.cloud."),
            "argkey",
            "https://api.vorel.cloud",
        ),
        (
            {"VOREL_CONNECT_TOKEN": PLAIN_TOKEN},
            {"api_key": "ignored", "base_url": "https://ignored.test"},
            ("config", "ok", "Quick Connect token decoded."),
            API_KEY,
            URL,
        ),
        (
            {"VOREL_CONNECT_TOKEN": "bad", "VOREL_API_KEY": "envkey"},
            {"base_url": "https://b.test/"},
            (
                "config",
                "error",
                "invalid connect token: expected prefix 'vorel_ct_'",
                "Generate a fresh Quick Connect token in Vorel Cloud.",
            ),
            "",
            "https://b.test/",
        ),
        (
            {"VOREL_CONTROL_PLANE_URL": "https://env.test"},
            {"token": "vorel_ct_e"},
            (
                "config",
                "error",
                "invalid connect token encoding: Invalid base64-encoded string: "
                "number of data characters (1) cannot be 1 more than a multiple of 4",
                "Generate a fresh Quick Connect token in Vorel Cloud.",
            ),
            "",
            "https://api.vorel.cloud",
        ),
    ],
)
def test_config_rows(recorded, env, kwargs, built, api_key, url):
    os.environ.update(env)
    checks = []
    config = connect_mod._resolve_doctor_config(
        kwargs.get("token"), api_key=kwargs.get("api_key"), base_url=kwargs.get("base_url"), checks=checks
    )
    assert [c.built() for c in checks] == [(built, {})]
    assert (config.api_key, config.api_base_url) == (api_key, url)


def test_foreign_token_error_escapes_doctor(cloud, monkeypatch):
    def broken(token):
        raise TypeError("from_dict exploded")

    monkeypatch.setattr(connect_mod, "connect_config_from_token", broken)
    with pytest.raises(TypeError, match="from_dict exploded"):
        connect_mod.doctor("vorel_ct_x")
    assert cloud.events == []


# ---- whole runs -------------------------------------------------------------------------


def test_full_run_order_and_single_client(cloud):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    report = connect_mod.doctor(AGENT_TOKEN, claim=True)
    assert isinstance(report, BootstrapReport) and report.ok
    assert names(report) == ["config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim"]
    assert [c.status for c in report.checks] == ["ok"] * 5
    (client,) = cloud.clients
    assert (client.args, client.kwargs) == ((API_KEY,), {"base_url": URL})
    assert [e[0] for e in cloud.events] == ["new", "health", "tenant", "policies", "send", "handle", "close"]
    assert all(e[-1] is client for e in cloud.events[1:])
    assert client.closes == 1
    assert isinstance(report.claimed_agent, ClaimAgentResult) and report.claimed_agent.agent_id == "agt_7"
    assert report.config.agent_id == "agt_7"


def test_every_probe_runs_after_a_failure(cloud):
    cloud.health = TransportError("unreachable")
    cloud.tenant = auth(401)
    cloud.policies = auth(403, cls=PermissionDeniedError)
    cloud.claim = VorelCloudError("claim refused")
    report = connect_mod.doctor(AGENT_TOKEN, public_key_hex=PUB_HEX, claim=True)
    assert [(c.name, c.status) for c in report.checks] == [
        ("config", "ok"),
        ("cloud_reachable", "error"),
        ("tenant_access", "error"),
        ("approval_policy_access", "warning"),
        ("agent_claim", "error"),
    ]
    assert not report.ok and report.claimed_agent is None
    assert cloud.clients[0].closes == 1


@pytest.mark.parametrize(
    "tenant, ok",
    [(auth(403, cls=PermissionDeniedError), True), (auth(401), False), (NotFoundError("no"), True)],
)
def test_only_errors_fail_the_report(cloud, tenant, ok):
    cloud.tenant = tenant
    report = connect_mod.doctor(PLAIN_TOKEN)
    assert report.ok is ok
    assert [c.status for c in report.checks].count("warning") == (1 if ok else 0)


@pytest.mark.parametrize(
    "kwargs, env",
    [({}, {}), ({"token": "garbage"}, {}), ({}, {"VOREL_CONNECT_TOKEN": "vorel_ct_"})],
)
def test_no_credential_stops_early(cloud, kwargs, env):
    os.environ.update(env)
    report = connect_mod.doctor(**kwargs, apply_env=True)
    assert not report.ok and names(report) == ["config"]
    assert report.config.api_key == ""
    assert cloud.events == []
    assert {k for k in os.environ if k.startswith("VOREL_")} == set(env)


def test_doctor_defaults_change_nothing(cloud):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    report = connect_mod.doctor(AGENT_TOKEN)
    assert report.checks[-1].status == "warning" and report.ok
    assert cloud.calls("send") == []
    assert set(os.environ) & {"VOREL_API_KEY", "VOREL_CONTROL_PLANE_URL", "VOREL_AGENT_ID"} == set()


def test_apply_env_before_first_request(cloud):
    seen = []

    class Spy(dict):
        def get(self, key, default=None):
            seen.append((key, os.environ.get("VOREL_API_KEY")))
            return super().get(key, default)

    cloud.health = Spy(status="ok")
    os.environ["VOREL_CONTROL_PLANE_URL"] = "https://operator.test"
    connect_mod.doctor(AGENT_TOKEN, apply_env=True)
    assert seen == [("status", API_KEY)]  # written by the time health is read
    assert os.environ["VOREL_CONTROL_PLANE_URL"] == "https://operator.test"
    assert os.environ["VOREL_AGENT_ID"] == "agt_7"


def test_apply_env_with_only_an_api_key(cloud):
    connect_mod.doctor(api_key="argkey", apply_env=True)
    assert os.environ["VOREL_API_KEY"] == "argkey"
    assert os.environ["VOREL_CONTROL_PLANE_URL"] == "https://api.vorel.cloud"
    assert "VOREL_AGENT_ID" not in os.environ


def test_apply_env_with_an_unexportable_token_is_a_config_finding(cloud):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    token = make_token({"endpoint": ENDPOINT, "api_key": API_KEY, "agent_id": "agt_7\u0000"})
    report = connect_mod.doctor(token, apply_env=True)
    assert not report.ok
    assert names(report) == ["config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim"]
    verdict = report.checks[0]
    assert verdict.status == "error"
    assert verdict.message == "invalid connect token value for VOREL_AGENT_ID: embedded null byte"
    assert verdict.remediation == "Generate a fresh Quick Connect token in Vorel Cloud."
    assert {k for k in os.environ if k.startswith("VOREL_")} == {"VOREL_AGENT_PUBLIC_KEY"}  # nothing written


def test_client_closed_once_when_a_probe_raises(cloud):
    cloud.tenant = None  # no key lookup: not a recorded failure
    with pytest.raises(AttributeError):
        connect_mod.doctor(PLAIN_TOKEN)
    (client,) = cloud.clients
    assert client.closes == 1
    assert [e[0] for e in cloud.events] == ["new", "health", "tenant", "close"]


def test_close_error_replaces_the_error_in_flight(cloud):
    cloud.tenant = None
    cloud.close_error = OSError("close failed")
    with pytest.raises(OSError) as info:
        connect_mod.doctor(PLAIN_TOKEN)
    assert isinstance(info.value.__context__, AttributeError)
    assert cloud.clients[0].closes == 1


def test_doctor_calls_its_helpers_through_the_globals(cloud, monkeypatch):
    calls = []
    lists = []
    config = ConnectConfig(api_base_url="https://h.test", api_key="hk")
    claimed = object()

    def resolve(token, **kw):
        lists.append(kw.pop("checks"))
        calls.append(("resolve", token, kw))
        return config

    def probe(name):
        return lambda client, checks: calls.append((name, client.args, checks is lists[0]))

    def claim(client, cfg, **kw):
        calls.append(("claim", cfg is config, kw.pop("checks") is lists[0], kw))
        return claimed

    def report(cfg, checks, **kw):
        calls.append(("report", cfg is config, checks is lists[0], kw))
        return "the report"

    monkeypatch.setattr(connect_mod, "_resolve_doctor_config", resolve)
    for name in ("_probe_health", "_probe_tenant", "_probe_approval_policies"):
        monkeypatch.setattr(connect_mod, name, probe(name))
    monkeypatch.setattr(connect_mod, "_probe_agent_claim", claim)
    monkeypatch.setattr(connect_mod, "_report", report)

    assert connect_mod.doctor("tok", api_key="a", base_url="b", public_key_hex="p", claim=True) == "the report"
    assert lists == [[]] and type(lists[0]) is list
    assert calls == [
        ("resolve", "tok", {"api_key": "a", "base_url": "b"}),
        ("_probe_health", ("hk",), True),
        ("_probe_tenant", ("hk",), True),
        ("_probe_approval_policies", ("hk",), True),
        ("claim", True, True, {"public_key_hex": "p", "claim": True}),
        ("report", True, True, {"claimed_agent": claimed}),
    ]
    assert cloud.clients[0].closes == 1


# ---- settings the client refuses ---------------------------------------------------------


def refusal(api_key, base_url):
    """What the client itself says about these settings (nothing is sent)."""
    with pytest.raises(ConfigurationError) as info:
        VorelCloudClient(api_key, base_url=base_url).health()
    return str(info.value), info.value.remediation


@pytest.mark.parametrize(
    "kwargs, api_key, base_url",
    [
        ({"api_key": "vk_line\n"}, "vk_line\n", ""),
        ({"token": make_token({"endpoint": "https://e.test/", "api_key": "vk in two"})}, "vk in two", "https://e.test"),
        ({"api_key": "vk", "base_url": "https://[::1"}, "vk", "https://[::1"),
        ({"api_key": "vk", "base_url": "ftp://e.test"}, "vk", "ftp://e.test"),
    ],
    ids=["key-newline", "token-key-blank", "url-unparsable", "url-scheme"],
)
def test_refused_settings_fail_the_config_check(kwargs, api_key, base_url):
    # Recorded, not raised; and said once, as the configuration's fault, with
    # the client's own message and hint (never the key).
    report = connect_mod.doctor(**kwargs, claim=True)
    assert not report.ok
    assert [(c.name, c.status, c.message, c.remediation) for c in report.checks] == [
        ("config", "error", *refusal(api_key, base_url or None))
    ]


def test_refusal_at_the_first_call_ends_the_run(cloud):
    cloud.health = ConfigurationError("invalid Vorel Cloud API base URL 'x': bad", remediation="Fix the URL.")
    report = connect_mod.doctor(AGENT_TOKEN, public_key_hex=PUB_HEX, claim=True)
    assert [(c.name, c.status, c.message, c.remediation) for c in report.checks] == [
        ("config", "error", "invalid Vorel Cloud API base URL 'x': bad", "Fix the URL.")
    ]
    assert [e[0] for e in cloud.events] == ["new", "health", "close"]
    assert not report.ok and report.claimed_agent is None


# ---- the report ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "statuses, ok",
    [([], True), (["ok", "warning", "warning"], True), (["ok", "error", "ok"], False), (["error"], False)],
)
def test_report(statuses, ok):
    checks = [BootstrapCheck(f"c{i}", s, "m") for i, s in enumerate(statuses)]
    config = ConnectConfig(api_base_url="u", api_key="k")
    claimed = ClaimAgentResult(agent_id="a")
    report = connect_mod._report(config, checks, claimed_agent=claimed)
    assert (report.ok, report.config, report.claimed_agent) == (ok, config, claimed)
    assert report.checks is checks
    assert connect_mod._report(config, checks).claimed_agent is None


def test_report_scan_stops_at_the_first_error():
    class Unreadable:
        @property
        def status(self):
            raise AssertionError("read past the first error")

    checks = [BootstrapCheck("a", "error", "m"), Unreadable()]
    assert connect_mod._report(ConnectConfig(api_base_url="u", api_key="k"), checks).ok is False
