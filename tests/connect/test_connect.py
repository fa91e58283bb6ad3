"""connect(), claim_agent() and the agent public key lookup, against a fake cloud."""

from __future__ import annotations

import logging
import os
import sys
import types

import pytest

from support.fakes import AGENT_TOKEN, API_KEY, ENDPOINT, PLAIN_TOKEN, PUB_HEX, REG_TOKEN, make_token
from vorel_cloud import connect as connect_mod
from vorel_cloud.exceptions import AuthenticationError, VorelCloudError
from vorel_cloud.models import ClaimAgentResult

MISSING_TOKEN = "connect token required - set VOREL_CONNECT_TOKEN or pass token="
NO_KEY_LOG = (
    "connect token includes agent binding but no public key provided - skip claim "
    "(set public_key_hex= or VOREL_SIGNING_KEY)"
)
URL = ENDPOINT.rstrip("/")


def vorel_env():
    return {k: v for k, v in os.environ.items() if k.startswith("VOREL_")}


@pytest.fixture
def no_lookup(monkeypatch):
    """Fails the test if the public key is looked up."""

    def lookup():
        raise AssertionError("public key looked up")

    monkeypatch.setattr(connect_mod, "_resolve_public_key_hex", lookup)


# ---- token resolution ------------------------------------------------------------


@pytest.mark.parametrize("env", [None, ""])
@pytest.mark.parametrize("arg", [None, ""])
def test_missing_token(cloud, arg, env):
    if env is not None:
        os.environ["VOREL_CONNECT_TOKEN"] = env
    with pytest.raises(VorelCloudError) as info:
        connect_mod.connect(arg)
    assert str(info.value) == MISSING_TOKEN
    assert info.value.__cause__ is None
    assert cloud.events == []


def test_token_from_environment_when_argument_is_empty(cloud):
    os.environ["VOREL_CONNECT_TOKEN"] = PLAIN_TOKEN
    client = connect_mod.connect("")
    assert client is cloud.clients[-1]
    assert (client.kind, client.args, client.kwargs) == ("sync", (API_KEY,), {"base_url": URL})


def test_argument_beats_environment(cloud):
    os.environ["VOREL_CONNECT_TOKEN"] = "vorel_ct_broken"
    connect_mod.connect(PLAIN_TOKEN)
    assert cloud.clients[-1].args == (API_KEY,)


def test_malformed_token_error_is_unchanged(cloud):
    with pytest.raises(VorelCloudError, match=r"^invalid connect token: expected prefix 'vorel_ct_'$"):
        connect_mod.connect("nope")
    assert cloud.events == [] and vorel_env() == {}


# ---- environment --------------------------------------------------------------------


def test_apply_env_keeps_existing_values(cloud):
    os.environ["VOREL_API_KEY"] = "operator-key"
    os.environ["VOREL_CONTROL_PLANE_URL"] = ""
    connect_mod.connect(AGENT_TOKEN, claim=False)
    assert vorel_env() == {
        "VOREL_API_KEY": "operator-key",
        "VOREL_CONTROL_PLANE_URL": URL,
        "VOREL_AGENT_ID": "agt_7",
    }


def test_apply_env_false_writes_nothing(cloud):
    connect_mod.connect(AGENT_TOKEN, apply_env=False, public_key_hex=PUB_HEX)
    assert vorel_env() == {}


def test_environment_is_written_before_the_claim(cloud, monkeypatch):
    def apply(config, **kwargs):
        cloud.events.append(("apply", config.api_key, kwargs))

    monkeypatch.setattr(connect_mod, "apply_connect_config", apply)
    connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)
    assert [e[0] for e in cloud.events] == ["apply", "new", "send", "handle", "close", "new"]
    assert cloud.events[0] == ("apply", API_KEY, {"overwrite": False})


# ---- claim -------------------------------------------------------------------------------


@pytest.mark.parametrize("async_client", [False, True])
def test_claim_then_fresh_client(cloud, async_client):
    returned = connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX, async_client=async_client)
    claim_client, last = cloud.clients
    assert claim_client.kind == "sync" and claim_client.closes == 1
    assert (claim_client.args, claim_client.kwargs) == ((API_KEY,), {"base_url": URL})
    assert returned is last and last is not claim_client
    assert last.kind == ("async" if async_client else "sync") and last.closes == 0
    assert (last.args, last.kwargs) == ((API_KEY,), {"base_url": URL})
    sends = cloud.calls("send")
    assert len(sends) == 1
    _, method, path, kwargs, client = sends[0]
    assert (method, path, client) == ("POST", "agents/claim", claim_client)
    assert list(kwargs) == ["json"]
    assert list(kwargs["json"].items()) == [
        ("agent_id", "agt_7"),
        ("public_key", PUB_HEX),
        ("registration_token", REG_TOKEN),
    ]


@pytest.mark.parametrize(
    "binding, body",
    [
        ({"agent_id": "agt_9"}, {"agent_id": "agt_9", "public_key": PUB_HEX, "registration_token": ""}),
        ({"registration_token": "reg"}, {"agent_id": "", "public_key": PUB_HEX, "registration_token": "reg"}),
    ],
)
def test_absent_binding_fields_are_sent_empty(cloud, binding, body):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    connect_mod.connect(make_token({"endpoint": ENDPOINT, "api_key": API_KEY, **binding}))
    assert [e[3]["json"] for e in cloud.calls("send")] == [body]


@pytest.mark.parametrize(
    "token, kwargs",
    [
        (PLAIN_TOKEN, {"public_key_hex": PUB_HEX}),
        (PLAIN_TOKEN, {}),
        (AGENT_TOKEN, {"claim": False, "public_key_hex": PUB_HEX}),
        (AGENT_TOKEN, {"claim": False}),
    ],
)
def test_no_claim_and_no_lookup(cloud, no_lookup, token, kwargs):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    connect_mod.connect(token, **kwargs)
    assert [e[0] for e in cloud.events] == ["new"]


def test_agent_without_public_key_skips_claim(cloud, caplog):
    caplog.set_level(logging.INFO, logger="vorel_cloud.connect")
    client = connect_mod.connect(AGENT_TOKEN)
    assert [e[0] for e in cloud.events] == ["new"] and client is cloud.clients[0]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("vorel_cloud.connect", logging.INFO, NO_KEY_LOG)
    ]


def test_public_key_from_environment_lookup(cloud, monkeypatch):
    calls = []
    monkeypatch.setattr(connect_mod, "_resolve_public_key_hex", lambda: calls.append(1) or "cd" * 32)
    connect_mod.connect(AGENT_TOKEN)
    assert calls == [1]
    assert cloud.calls("send")[0][3]["json"]["public_key"] == "cd" * 32


@pytest.mark.parametrize(
    "error",
    [AuthenticationError("registration token used", status_code=401), ValueError("not JSON")],
)
def test_claim_error_propagates_after_close(cloud, error):
    cloud.claim = error
    with pytest.raises(type(error)) as info:
        connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)
    assert info.value is error
    assert len(cloud.clients) == 1 and cloud.clients[0].closes == 1
    assert vorel_env()["VOREL_API_KEY"] == API_KEY  # written before the claim, and kept


def test_close_error_replaces_claim_error(cloud):
    claim_error = VorelCloudError("claim failed")
    close_error = RuntimeError("close failed")
    cloud.claim, cloud.close_error = claim_error, close_error
    with pytest.raises(RuntimeError) as info:
        connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)
    assert info.value is close_error
    assert info.value.__context__ is claim_error and info.value.__cause__ is None
    assert cloud.clients[0].closes == 1


def test_close_error_after_successful_claim(cloud):
    cloud.close_error = OSError("close failed")
    with pytest.raises(OSError, match="close failed") as info:
        connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)
    assert info.value.__context__ is None
    assert len(cloud.clients) == 1


# ---- verify ----------------------------------------------------------------------------


class Report:
    def __init__(self, error=None):
        self.error = error

    def raise_for_error(self):
        if self.error is not None:
            raise self.error


def test_verify_failure_raises_before_any_effect(cloud, monkeypatch):
    seen = []
    failure = VorelCloudError("Vorel Cloud bootstrap failed - tenant_access: nope")

    def doctor(*args, **kwargs):
        seen.append((args, kwargs))
        return Report(failure)

    monkeypatch.setattr(connect_mod, "doctor", doctor)
    with pytest.raises(VorelCloudError) as info:
        connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX, verify=True)
    assert info.value is failure
    assert seen == [((AGENT_TOKEN,), {"public_key_hex": PUB_HEX})]
    assert cloud.events == [] and vorel_env() == {}


def test_verify_success_goes_on(cloud, monkeypatch):
    os.environ["VOREL_CONNECT_TOKEN"] = PLAIN_TOKEN
    seen = []
    monkeypatch.setattr(connect_mod, "doctor", lambda *a, **k: seen.append((a, k)) or Report())
    connect_mod.connect(verify=True)
    assert seen == [((PLAIN_TOKEN,), {"public_key_hex": None})]
    assert len(cloud.clients) == 1 and vorel_env()["VOREL_API_KEY"] == API_KEY


def test_verify_runs_the_real_doctor_read_only(cloud):
    connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX, verify=True, apply_env=False, claim=False)
    doctor_client, returned = cloud.clients
    assert doctor_client.closes == 1 and returned.closes == 0
    assert cloud.calls("send") == []  # the doctor run claims nothing
    assert vorel_env() == {}


# ---- claim_agent -------------------------------------------------------------------------


def test_claim_agent(cloud, caplog):
    caplog.set_level(logging.INFO, logger="vorel_cloud.connect")
    cloud.claim = {"agent_id": "agt_1", "status": "claimed", "extra": [1]}
    client = cloud.factory("sync")("k")
    result = connect_mod.claim_agent(client, agent_id="agt_1", public_key_hex="aa", registration_token="r")
    assert isinstance(result, ClaimAgentResult)
    assert (result.agent_id, result.status, result.raw) == ("agt_1", "claimed", cloud.claim)
    assert client.closes == 0
    (record,) = caplog.records
    assert (record.getMessage(), record.agent_id, record.status) == ("agent claimed", "agt_1", "claimed")


# ---- public key lookup --------------------------------------------------------------------

SIGNING_HEX = "11" * 32
ISSUER_HEX = "22" * 32


def derived(hex_key):
    from vorel_core import SigningKey

    return SigningKey.from_hex(hex_key).public_key.to_bytes().hex()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({}, None),
        ({"VOREL_AGENT_PUBLIC_KEY": "  " + PUB_HEX + "\n", "VOREL_SIGNING_KEY": SIGNING_HEX}, PUB_HEX),
        ({"VOREL_AGENT_PUBLIC_KEY": "   ", "VOREL_SIGNING_KEY": SIGNING_HEX}, ""),
        ({"VOREL_AGENT_PUBLIC_KEY": "", "VOREL_SIGNING_KEY": " " + SIGNING_HEX + " "}, "signing"),
        ({"VOREL_SIGNING_KEY": SIGNING_HEX, "VOREL_ISSUER_KEY": ISSUER_HEX}, "signing"),
        ({"VOREL_SIGNING_KEY": "", "VOREL_ISSUER_KEY": ISSUER_HEX}, "issuer"),
        ({"VOREL_ISSUER_KEY": ISSUER_HEX}, "issuer"),
        ({"VOREL_SIGNING_KEY": "not hex", "VOREL_ISSUER_KEY": ISSUER_HEX}, None),
        ({"VOREL_SIGNING_KEY": "ab"}, None),
    ],
)
def test_public_key_sources(env, expected):
    os.environ.update(env)
    expected = {"signing": derived(SIGNING_HEX), "issuer": derived(ISSUER_HEX)}.get(expected, expected)
    assert connect_mod._resolve_public_key_hex() == expected


def test_public_key_is_lower_case_hex_of_the_key_bytes():
    os.environ["VOREL_SIGNING_KEY"] = "00" * 32  # Ed25519 public key of the all-zero seed:
    assert connect_mod._resolve_public_key_hex() == ("3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29")


def test_signing_core_is_imported_at_each_call(monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="vorel_cloud.connect")
    os.environ["VOREL_SIGNING_KEY"] = " beef "

    class Key:
        def __init__(self, text):
            self.public_key = types.SimpleNamespace(to_bytes=lambda: bytes.fromhex(text) + b"\xab")

    fake = types.ModuleType("vorel_core")
    fake.SigningKey = types.SimpleNamespace(from_hex=Key)
    monkeypatch.setitem(sys.modules, "vorel_core", fake)
    assert connect_mod._resolve_public_key_hex() == "beefab"

    monkeypatch.setitem(sys.modules, "vorel_core", None)  # now the import fails
    assert connect_mod._resolve_public_key_hex() is None
    (record,) = caplog.records
    assert record.levelno == logging.DEBUG
    assert record.getMessage().startswith("could not derive public key from signing key: ")
    assert isinstance(record.args[0], ImportError)


def test_interrupt_while_deriving_is_not_swallowed(monkeypatch):
    os.environ["VOREL_SIGNING_KEY"] = SIGNING_HEX

    def from_hex(_):
        raise KeyboardInterrupt

    fake = types.ModuleType("vorel_core")
    fake.SigningKey = types.SimpleNamespace(from_hex=from_hex)
    monkeypatch.setitem(sys.modules, "vorel_core", fake)
    with pytest.raises(KeyboardInterrupt):
        connect_mod._resolve_public_key_hex()


def test_environment_is_read_through_the_os_global(monkeypatch):
    monkeypatch.setattr(connect_mod, "os", types.SimpleNamespace(environ={"VOREL_AGENT_PUBLIC_KEY": " fromfake "}))
    assert connect_mod._resolve_public_key_hex() == "fromfake"
