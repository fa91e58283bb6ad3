"""State kept across restarts, and the command that runs the server."""

import json
import os
import signal
import subprocess
import sys
import time

import httpx
from vorel_core import SignedApproval


def test_pending_request_survives_a_restart(vorel_dev_server_factory, make_body, tmp_path):
    server = vorel_dev_server_factory(db_path=str(tmp_path / "state.sqlite3"))
    key, agent, approver = server.api_key, server.agent, server.approver_key
    with server.http() as api:
        rid = api.post("/v1/approvals/requests", json=make_body(idempotency_key="k-1", ttl_seconds=600)).json()["id"]
    server.restart()
    assert (server.api_key, server.agent, server.approver_key) == (key, agent, approver)
    with server.http() as api, server.http(server.reviewer_key) as reviewer:
        assert api.get(f"/v1/approvals/requests/{rid}").json()["status"] == "pending"
        assert api.get("/v1/approvals/requests", params={"status": "pending"}).json()["items"][0]["id"] == rid
        done = reviewer.post(f"/v1/approvals/requests/{rid}/approve", json={}).json()
    assert done["status"] == "approved"
    SignedApproval.from_bytes(bytes.fromhex(done["responses"][0]["signed_approval"]))


def _start(args, info_file, env):
    proc = subprocess.Popen(
        [sys.executable, "-m", "vorel_cloud.devserver", "--port", "0", "--info-file", str(info_file), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        env=env,
        text=True,
    )
    deadline = time.monotonic() + 30
    while not info_file.exists() or not info_file.read_text().endswith("\n"):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise AssertionError(f"server did not start: {proc.communicate()[0]}")
        time.sleep(0.05)
    info = json.loads(info_file.read_text())
    while True:  # the info file is written just before the port starts serving
        try:
            httpx.get(info["base_url"] + "/v1/health", timeout=1)
            break
        except httpx.TransportError:
            if time.monotonic() > deadline:
                proc.kill()
                raise
            time.sleep(0.05)
    return proc, info


def _stop(proc):
    proc.send_signal(signal.SIGINT)
    output, _ = proc.communicate(timeout=15)
    assert proc.returncode == 0, output
    return output


def test_command_keeps_state_across_processes_and_never_logs_the_key(tmp_path, make_body):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    db = tmp_path / "dev.sqlite3"
    (tmp_path / "one.json").write_text("left by an earlier run")
    os.chmod(tmp_path / "one.json", 0o644)  # readable by all: the server must tighten it
    proc, info = _start(["--db", str(db)], tmp_path / "one.json", env)
    assert oct(os.stat(tmp_path / "one.json").st_mode & 0o777) == "0o600"
    headers = {"Authorization": f"Bearer {info['api_key']}"}
    rid = httpx.post(info["base_url"] + "/v1/approvals/requests", json=make_body(), headers=headers).json()["id"]
    first_output = _stop(proc)

    proc, again = _start(["--db", str(db)], tmp_path / "two.json", env)
    try:
        assert (again["api_key"], again["approver_key"], again["agent_id"]) == (
            info["api_key"],
            info["approver_key"],
            info["agent_id"],
        )
        url = f"{again['base_url']}/v1/approvals/requests/{rid}"
        assert httpx.get(url, headers=headers).json()["status"] == "pending"
        reviewer = {"Authorization": f"Bearer {again['reviewer_key']}"}
        assert httpx.post(url + "/approve", json={}, headers=reviewer).json()["status"] == "approved"
    finally:
        second_output = _stop(proc)

    for output in (first_output, second_output):
        assert "Quick Connect: vorel_ct_" in output and info["api_key"] in output  # the banner shows it...
        request_lines = [line for line in output.splitlines() if "HTTP/1.1" in line]
        assert any("/v1/approvals/requests" in line for line in request_lines)
        assert not [line for line in request_lines if info["api_key"] in line]  # ...request logs never do


def test_dev_without_the_core_sdk_says_what_to_install(monkeypatch, capsys):
    from vorel_cloud.devserver.__main__ import main

    monkeypatch.setitem(sys.modules, "vorel_core", None)  # as if it were not installed
    assert main(["--memory", "--port", "0", "--log-level", "error"]) == 2
    err = capsys.readouterr().err
    assert "vorel_core" in err and "pip install -e devkit" in err and "Traceback" not in err
