"""The vorel-cloud command line, run in-process against a fake cloud."""

from __future__ import annotations

import io
import json
import os
import shutil
import subprocess
import sys

import pytest

from support.fakes import AGENT_TOKEN, API_KEY, ENDPOINT, PLAIN_TOKEN, PUB_HEX, REG_TOKEN, make_token
from vorel_cloud import cli
from vorel_cloud import connect as connect_mod
from vorel_cloud.exceptions import AuthenticationError, PermissionDeniedError, TransportError

URL = ENDPOINT.rstrip("/")
SECRETS = (API_KEY, REG_TOKEN, AGENT_TOKEN, PLAIN_TOKEN)


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    for secret in SECRETS:
        assert secret not in out and secret not in err, f"secret leaked in {argv}"
    return status, out, err


def check_lines(out):
    return [line for line in out.splitlines() if line.startswith("[")]


# ---- doctor ---------------------------------------------------------------------


def test_doctor_all_ok(cloud, capsys):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    status, out, err = run(capsys, "doctor", "--token", AGENT_TOKEN, "--claim")
    assert status == 0 and err == ""
    assert check_lines(out) == [
        "[ok  ] config: Quick Connect token decoded.",
        "[ok  ] cloud_reachable: Vorel Cloud health check returned ok.",
        "[ok  ] tenant_access: Credential can read Acme.",
        "[ok  ] approval_policy_access: Credential can list approval policies.",
        "[ok  ] agent_claim: Claimed agent agt_7.",
    ]
    assert out.splitlines()[0] == f"Vorel Cloud API: {URL} - agent agt_7"
    assert out.splitlines()[-1] == "doctor: ok - 0 errors, 0 warnings"
    assert len(cloud.calls("send")) == 1


@pytest.mark.parametrize(
    "strict, tenant, expected",
    [
        (False, None, 0),
        (True, None, 0),
        (False, PermissionDeniedError("no tenant read", status_code=403), 0),
        (True, PermissionDeniedError("no tenant read", status_code=403), 1),
        (False, AuthenticationError("invalid API key", status_code=401), 1),
        (True, AuthenticationError("invalid API key", status_code=401), 1),
    ],
)
def test_doctor_exit_status(cloud, capsys, strict, tenant, expected):
    if tenant is not None:
        cloud.tenant = tenant
    argv = ["doctor", "--token", PLAIN_TOKEN] + (["--strict"] if strict else [])
    status, out, _ = run(capsys, *argv)
    assert status == expected
    assert out.splitlines()[-1].startswith("doctor: FAILED" if expected else "doctor: ok")


def test_doctor_line_carries_status_message_and_hint(cloud, capsys):
    cloud.health = TransportError("connection refused\nby peer")
    status, out, _ = run(capsys, "doctor", "--token", PLAIN_TOKEN)
    assert status == 1
    assert check_lines(out)[1] == (
        "[FAIL] cloud_reachable: connection refused by peer -- hint: "
        "Check VOREL_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."
    )
    assert len(check_lines(out)) == 5


def test_doctor_masks_secrets_echoed_by_the_server(cloud, capsys):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    cloud.health = TransportError(f"proxy said: token {AGENT_TOKEN} refused")
    cloud.tenant = AuthenticationError(f"key {API_KEY} revoked", status_code=401, remediation=f"not {API_KEY}")
    cloud.claim = AuthenticationError(f"registration token {REG_TOKEN} used", status_code=409)
    for extra in ([], ["--json"]):
        status, out, _ = run(capsys, "doctor", "--token", AGENT_TOKEN, "--claim", *extra)
        assert status == 1 and "***" in out


def test_doctor_json(cloud, capsys):
    cloud.policies = PermissionDeniedError("no policy read", status_code=403, body={"error": {"code": "forbidden"}})
    status, out, err = run(capsys, "doctor", "--token", AGENT_TOKEN, "--json")
    assert status == 0 and err == ""
    data = json.loads(out)
    assert set(data) == {"ok", "config", "checks", "claimed_agent"}
    assert data["ok"] is True and data["claimed_agent"] is None
    assert data["config"] == {
        "api_base_url": URL,
        "agent_id": "agt_7",
        "is_agent_mode": True,
        "has_api_key": True,
        "has_registration_token": True,
    }
    assert [(c["name"], c["status"]) for c in data["checks"]] == [
        ("config", "ok"),
        ("cloud_reachable", "ok"),
        ("tenant_access", "ok"),
        ("approval_policy_access", "warning"),
        ("agent_claim", "warning"),
    ]
    assert data["checks"][3]["raw"] == {"error": {"code": "forbidden"}}


def test_doctor_with_api_key_and_url(cloud, capsys):
    status, out, _ = run(capsys, "doctor", "--api-key", API_KEY, "--base-url", "https://b.test/", "--json")
    assert status == 0
    assert json.loads(out)["checks"][0]["message"] == "Using Vorel Cloud API at https://b.test."
    assert (cloud.clients[0].args, cloud.clients[0].kwargs) == ((API_KEY,), {"base_url": "https://b.test"})


def test_doctor_without_credential(cloud, capsys):
    status, out, _ = run(capsys, "doctor")
    assert status == 1 and cloud.events == []
    assert check_lines(out) == [
        "[FAIL] config: No Vorel Cloud credential found. -- hint: "
        "Set VOREL_CONNECT_TOKEN, set VOREL_API_KEY, or pass api_key=."
    ]


def test_doctor_reads_token_from_environment_and_stdin(cloud, capsys, monkeypatch):
    os.environ["VOREL_CONNECT_TOKEN"] = AGENT_TOKEN
    assert run(capsys, "doctor")[0] == 0
    os.environ["VOREL_CONNECT_TOKEN"] = "vorel_ct_broken!"
    monkeypatch.setattr("sys.stdin", io.StringIO(PLAIN_TOKEN + "\n"))
    status, _out, _ = run(capsys, "doctor", "--token", "-")
    assert status == 0 and cloud.clients[-1].args == (API_KEY,)


@pytest.mark.parametrize("json_flag", [False, True])
def test_doctor_could_not_run(cloud, capsys, monkeypatch, json_flag):
    def broken(*args, **kwargs):
        raise RuntimeError(f"exploded near {API_KEY}")

    monkeypatch.setattr(connect_mod, "doctor", broken)
    status, out, err = run(capsys, "doctor", "--token", PLAIN_TOKEN, *(["--json"] if json_flag else []))
    assert status == 2
    assert "doctor could not run: RuntimeError: exploded near ***" in err
    if json_flag:
        assert json.loads(out) == {"ok": False, "error": "doctor could not run: RuntimeError: exploded near ***"}


# ---- connect ---------------------------------------------------------------------


def test_connect_verifies_claims_and_closes(cloud, capsys):
    status, out, err = run(capsys, "connect", "--token", AGENT_TOKEN, "--public-key-hex", PUB_HEX)
    assert status == 0 and err == ""
    assert out.splitlines() == [f"Connected to {URL} (verified).", "Agent agt_7: claimed."]
    kinds = [e[0] for e in cloud.events]
    assert kinds == ["new", "health", "tenant", "policies", "close", "new", "send", "handle", "close", "new", "close"]
    assert all(c.closes == 1 for c in cloud.clients)
    assert not any(k.startswith("VOREL_") for k in os.environ)  # nothing exported into this process


def test_connect_verification_failure(cloud, capsys):
    cloud.tenant = AuthenticationError("invalid API key", status_code=401, remediation="Rotate the key.")
    status, out, err = run(capsys, "connect", "--token", AGENT_TOKEN, "--public-key-hex", PUB_HEX)
    assert status == 1 and out == ""
    assert err.startswith("vorel-cloud connect: error: Vorel Cloud bootstrap failed - tenant_access: invalid API key")
    assert "  hint: Rotate the key." in err
    assert cloud.calls("send") == []


@pytest.mark.parametrize(
    "argv, env, line",
    [
        (["--no-claim"], {}, "Agent agt_7: not claimed (--no-claim)."),
        (
            [],
            {},
            "Agent agt_7: not claimed - no public key (pass --public-key-hex, or set VOREL_AGENT_PUBLIC_KEY "
            "or VOREL_SIGNING_KEY).",
        ),
        ([], {"VOREL_AGENT_PUBLIC_KEY": PUB_HEX}, "Agent agt_7: claimed."),
    ],
)
def test_connect_claim_report(cloud, capsys, argv, env, line):
    os.environ.update(env)
    status, out, _ = run(capsys, "connect", "--token", AGENT_TOKEN, "--no-verify", *argv)
    assert status == 0
    assert out.splitlines() == [f"Connected to {URL}.", line]
    assert len(cloud.calls("send")) == (1 if line.endswith(": claimed.") else 0)


def test_connect_print_env(cloud, capsys):
    status, out, err = run(capsys, "connect", "--token", AGENT_TOKEN, "--no-verify", "--no-claim", "--print-env")
    assert status == 0
    assert out.splitlines() == [
        "# VOREL_API_KEY withheld (secret): add --show-secrets to include it",
        f"export VOREL_CONTROL_PLANE_URL={URL}",
        "export VOREL_AGENT_ID=agt_7",
    ]
    assert err.splitlines()[0] == f"Connected to {URL}."


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_connect_print_env_with_secrets_is_shell_ready(cloud, capsys):
    odd_key = "k'ey with $pace"
    token = make_token({"endpoint": ENDPOINT, "api_key": odd_key})
    assert cli.main(["connect", "--token", token, "--no-verify", "--print-env", "--show-secrets"]) == 0
    out = capsys.readouterr().out
    assert "VOREL_API_KEY" in out and "VOREL_AGENT_ID" not in out
    shown = subprocess.run(
        ["bash", "-c", out + '\nprintf "%s|%s" "$VOREL_API_KEY" "$VOREL_CONTROL_PLANE_URL"'],
        capture_output=True,
        text=True,
        check=True,
        env={"PATH": os.environ.get("PATH", "")},
    ).stdout
    assert shown == f"{odd_key}|{URL}"


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["connect"], 2, "vorel-cloud connect: error: no Quick Connect token: pass --token or set VOREL_CONNECT_TOKEN"),
        (
            ["connect", "--token", "nope"],
            1,
            "vorel-cloud connect: error: invalid connect token: expected prefix 'vorel_ct_'",
        ),
        (
            ["connect", "--token", make_token({"endpoint": ENDPOINT, "api_key": ""})],
            1,
            "vorel-cloud connect: error: incomplete connect token: endpoint and api_key are required",
        ),
    ],
)
def test_connect_errors(cloud, capsys, argv, status, message):
    got, out, err = run(capsys, *argv)
    assert (got, out, err.splitlines()) == (status, "", [message])
    assert cloud.events == []


# ---- token decode ---------------------------------------------------------------------


def test_token_decode(capsys):
    status, out, _ = run(capsys, "token", "decode", AGENT_TOKEN)
    assert status == 0
    assert out.splitlines() == [
        f"endpoint:            {ENDPOINT}",
        f"api base url:        {URL}",
        "api key:             *** (set)",
        "agent id:            agt_7",
        "registration token:  *** (set)",
        "agent mode:          yes",
    ]


def test_token_decode_json(capsys, monkeypatch):
    monkeypatch.setattr("sys.stdin", io.StringIO("  " + PLAIN_TOKEN + "\n"))
    status, out, _ = run(capsys, "token", "decode", "-", "--json")
    assert status == 0
    assert json.loads(out) == {
        "endpoint": ENDPOINT,
        "api_base_url": URL,
        "agent_id": None,
        "is_agent_mode": False,
        "has_api_key": True,
        "has_registration_token": False,
    }


@pytest.mark.parametrize("token", ["nope", "vorel_ct_e", make_token([1])])
def test_token_decode_invalid(capsys, token):
    status, out, err = run(capsys, "token", "decode", token)
    assert status == 1 and out == ""
    assert err.startswith("vorel-cloud token decode: error: invalid connect token")


# ---- terminal safety ---------------------------------------------------------------------

SPOOF = "\x1b[2K\rhttps://api.vorel.cloud\x1b]0;t\x07\u202e"  # rewrites the line, retitles, reverses


@pytest.mark.parametrize(
    "argv, script",
    [
        (["token", "decode", make_token({"endpoint": ENDPOINT + SPOOF, "api_key": API_KEY, "agent_id": SPOOF})], {}),
        (["doctor", "--token", PLAIN_TOKEN], {"health": TransportError(SPOOF), "tenant": {"name": SPOOF}}),
        (
            ["connect", "--token", PLAIN_TOKEN],
            {"tenant": AuthenticationError(SPOOF, status_code=401, remediation=SPOOF)},
        ),
    ],
)
def test_text_for_people_cannot_drive_the_terminal(cloud, capsys, argv, script):
    for name, value in script.items():
        setattr(cloud, name, value)
    _, out, err = run(capsys, *argv)
    assert "\\x1b" in out + err and all(char.isprintable() for char in (out + err).replace("\n", ""))


def test_print_env_refuses_unprintable_values_before_connecting(cloud, capsys):
    token = make_token({"endpoint": ENDPOINT, "api_key": API_KEY, "agent_id": "agt_7\x1b[2J"})
    status, out, err = run(capsys, "connect", "--token", token, "--public-key-hex", PUB_HEX, "--print-env")
    assert (status, out, cloud.events) == (1, "", []) and "refusing to export VOREL_AGENT_ID" in err


def test_closed_pipe_ends_quietly():
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone, as after `| head -1`
    with open(write_end, "wb") as pipe:
        done = subprocess.run(
            [sys.executable, "-m", "vorel_cloud.cli", "token", "decode", AGENT_TOKEN],
            stdout=pipe,
            stderr=subprocess.PIPE,
            text=True,
            timeout=60,
        )
    assert (done.returncode, done.stderr) == (cli.EXIT_BROKEN_PIPE, "")


# ---- dev and usage ---------------------------------------------------------------------


def test_dev_delegates_to_the_local_control_plane(monkeypatch):
    from vorel_cloud.devserver import __main__ as dev_main

    seen = []
    monkeypatch.setattr(dev_main, "main", lambda argv=None: seen.append(argv) or 7)
    assert cli.main(["dev", "--memory", "--port", "0", "--help"]) == 7
    assert seen == [["--memory", "--port", "0", "--help"]]


@pytest.mark.parametrize(
    "argv, status",
    [([], 2), (["doctor", "--bogus"], 2), (["token"], 2), (["token", "decode"], 2), (["--help"], 0)],
)
def test_usage(capsys, argv, status):
    got, out, _ = run(capsys, *argv)
    assert got == status and ("vorel_cloud[dev]" in " ".join(out.split())) == (argv == ["--help"])


@pytest.mark.parametrize("launcher", ["module", "command"])
def test_runs_as_a_program(launcher):
    # The command is installed beside the interpreter (in a checkout: by scripts/bootstrap.sh).
    command = shutil.which("vorel-cloud", path=os.path.dirname(sys.executable)) or "vorel-cloud (not installed)"
    program = [sys.executable, "-m", "vorel_cloud.cli"] if launcher == "module" else [command]
    done = subprocess.run(
        [*program, "token", "decode", "-", "--json"], input=AGENT_TOKEN, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["agent_id"] == "agt_7"
    assert not any(s in done.stdout + done.stderr for s in SECRETS)
    failed = subprocess.run([*program, "token", "decode", "nope"], capture_output=True, text=True, timeout=60)
    assert (failed.returncode, failed.stdout) == (1, "")
