"""The command line against the local control plane over loopback."""

from __future__ import annotations

import json
import logging

import pytest
from vorel_core import SigningKey

from support.fakes import make_token
from vorel_cloud import cli


def test_doctor_connect_and_claim(vorel_dev_server, capsys):
    server = vorel_dev_server
    token = server.connect_token
    secrets = (token, server.api_key, server.agent.registration_token)

    def run(*argv):
        status = cli.main(list(argv))
        out, err = capsys.readouterr()
        assert not any(s in out or s in err for s in secrets), argv
        return status, out, err

    status, out, _ = run("doctor", "--token", token, "--json")
    report = json.loads(out)
    assert status == 0 and report["ok"] is True
    assert [(c["name"], c["status"]) for c in report["checks"]] == [
        ("config", "ok"),
        ("cloud_reachable", "ok"),
        ("tenant_access", "ok"),
        ("approval_policy_access", "ok"),
        ("agent_claim", "warning"),  # no public key yet
    ]
    assert server.agent_state()["status"] != "claimed"

    pub = SigningKey.generate().public_key.to_bytes().hex()
    status, out, _ = run("connect", "--token", token, "--public-key-hex", pub)
    assert status == 0
    assert out.splitlines()[-1] == f"Agent {server.agent.id}: claimed."
    assert (server.agent_state()["status"], server.agent_state()["public_key"]) == ("claimed", pub)

    # The identity is taken: a claim with another key is refused and fails the run.
    other = SigningKey.generate().public_key.to_bytes().hex()
    status, out, _ = run("doctor", "--token", token, "--claim", "--public-key-hex", other)
    assert status == 1
    assert out.splitlines()[-2].startswith("[FAIL] agent_claim: ")
    assert server.agent_state()["public_key"] == pub


@pytest.mark.parametrize("argv, status", [(["doctor", "--json"], 1), (["connect", "--print-env"], 1)])
def test_key_with_a_line_break_is_refused_and_never_shown(vorel_dev_server, capsys, caplog, argv, status):
    # Sent, it was refused by the HTTP library and quoted back, escaped, in the
    # error, its chained cause and the library's debug records.
    caplog.set_level(logging.DEBUG)
    key = vorel_dev_server.api_key
    got = cli.main([*argv, "--token", make_token({"endpoint": vorel_dev_server.base_url, "api_key": key + "\n"})])
    out, err = capsys.readouterr()
    # doctor records the refusal as its failed config check (on stdout); connect reports it on stderr.
    shown = out + err
    assert got == status and "invalid API key: it contains a line break at its end" in shown and "Copy the API" in shown
    assert key not in out + err + " ".join(record.getMessage() for record in caplog.records)


def test_doctor_records_checks_for_a_malformed_base_url(capsys):
    status = cli.main(["doctor", "--api-key", "vk_test_0123456789", "--base-url", "https://[::1", "--json"])
    checks = {check["name"]: check for check in json.loads(capsys.readouterr().out)["checks"]}
    assert status == 1 and list(checks) == ["config"] and checks["config"]["status"] == "error"
    assert "invalid Vorel Cloud API base URL" in checks["config"]["message"]
