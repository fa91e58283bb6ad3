"""Attacks on the local control plane: each one must be refused, and the server must stay well."""

import base64
import http.client
import json
import os
import socket

import httpx
import pytest

from vorel_cloud.devserver import SCOPES


def raw_request(server, method, path, body=b"", headers=()):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    conn.request(method, path, body=body, headers=dict(headers))
    return conn, conn.getresponse()


# -- Host names, the dashboard cookie, framing ------------------------------------
@pytest.mark.parametrize(
    "method, path",
    [
        ("GET", "/approvals"),
        ("GET", "/v1/health"),
        ("GET", "/v1/approvals/requests"),
        ("POST", "/approvals/{id}/approve"),
    ],
)
def test_a_rebound_host_name_gets_nothing(vorel_dev_server, api, make_body, method, path):
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    host = f"rebind.attacker.example:{vorel_dev_server.port}"
    headers = {
        "Host": host,
        "Origin": f"http://{host}",
        "Authorization": f"Bearer {vorel_dev_server.api_key}",
        "Content-Type": "application/x-www-form-urlencoded",
    }
    body = f"dashboard_token={vorel_dev_server.dashboard_token}".encode()
    _conn, resp = raw_request(vorel_dev_server, method, path.format(id=rid), body if method == "POST" else b"", headers)
    text = resp.read().decode()
    assert resp.status == 403 and vorel_dev_server.dashboard_token not in text
    assert vorel_dev_server.get_request(rid)["status"] == "pending"


@pytest.mark.parametrize(
    "host, status",
    [
        ("localhost:{port}", 200),
        ("127.0.0.1:{port}", 200),
        ("[::1]:{port}", 200),
        ("localhost:1", 403),
        ("dev.example:1234", 200),
        ("proxy.example:9000", 200),
        ("proxy.example:9001", 403),
        ("localhost.attacker.example:{port}", 403),
    ],
)
def test_allowed_host_names(vorel_dev_server_factory, host, status):
    server = vorel_dev_server_factory(allowed_hosts=["dev.example", "Proxy.Example:9000"])
    _, resp = raw_request(server, "GET", "/v1/health", headers={"Host": host.format(port=server.port)})
    assert resp.status == status
    assert resp.getheader("X-Frame-Options") == "DENY"
    assert resp.getheader("Content-Security-Policy") == "frame-ancestors 'none'"


def test_a_form_post_needs_the_cookie_the_dashboard_set(vorel_dev_server, api, make_body):
    rid = api.post("/v1/approvals/requests", json=make_body()).json()["id"]
    form = {"dashboard_token": vorel_dev_server.dashboard_token}
    same_origin = {"Origin": vorel_dev_server.base_url, "Sec-Fetch-Site": "same-origin"}
    with httpx.Client(base_url=vorel_dev_server.base_url) as browser:
        assert browser.post(f"/approvals/{rid}/approve", data=form, headers=same_origin).status_code == 403
        assert vorel_dev_server.get_request(rid)["status"] == "pending"
        page = browser.get("/approvals")
        cookie = page.headers["set-cookie"]
        assert "HttpOnly" in cookie and "SameSite=strict" in cookie.replace("Strict", "strict")
        assert "frame-ancestors 'none'" in page.headers["content-security-policy"]
        assert page.headers["x-frame-options"] == "DENY"
        assert browser.post(f"/approvals/{rid}/approve", data=form, headers=same_origin).status_code == 303
    assert vorel_dev_server.get_request(rid)["status"] == "approved"


# -- roles --------------------------------------------------------------------------
@pytest.mark.parametrize("action", ["approve", "deny"])
def test_an_agent_key_cannot_decide_its_own_request(vorel_dev_server_factory, make_body, tmp_path, action):
    server = vorel_dev_server_factory(db_path=str(tmp_path / "state.sqlite3"))
    # A database from before the roles were split: the printed key had every scope.
    with server.plane.store.tx() as db:
        db.set_scopes(("default",), list(SCOPES))
    server.restart()
    token_key = json.loads(base64.urlsafe_b64decode(server.connect_token[len("vorel_ct_") :] + "=="))["api_key"]
    assert token_key == server.api_key != server.reviewer_key
    with server.http() as agent, server.http(server.reviewer_key) as reviewer:
        rid = agent.post("/v1/approvals/requests", json=make_body()).json()["id"]
        refused = agent.post(f"/v1/approvals/requests/{rid}/{action}", json={})
        assert (refused.status_code, refused.json()["error"]["code"]) == (403, "forbidden")
        assert server.get_request(rid)["status"] == "pending"
        assert reviewer.post(f"/v1/approvals/requests/{rid}/{action}", json={}).status_code == 200


# -- bad input: refused in the error shape, on a connection that stays open ---------------
def _nested(depth):
    return ("[" * depth + "]" * depth).encode()


@pytest.mark.parametrize(
    "change, raw, status",
    [
        ({"approver_keys": [f"{n:064x}" for n in range(101)]}, None, 422),
        ({"approver_keys": [f"{n:04x}" for n in range(20_000)]}, None, 422),
        ({"threshold": 2**63}, None, 422),
        ({"metadata": {"x": float("nan")}}, None, 400),
        ({"metadata": {"x": float("inf")}}, None, 400),
        ({"metadata": {"x": "1e999"}}, b"1e999", 400),
        ({"tool": "\ud800"}, None, 400),
        ({"tool": "SURROGATE"}, b'"\xed\xa0\x80"', 400),
        ({"metadata": "NESTED"}, _nested(5000), 400),
        ({"metadata": "NESTED"}, _nested(40), 400),
    ],
    ids=[
        "101-approvers",
        "20k-approvers",
        "threshold-2^63",
        "nan",
        "infinity",
        "1e999",
        "lone-surrogate",
        "utf8-surrogate",
        "nested-5000",
        "nested-40",
    ],
)
def test_bad_input_is_refused_and_the_connection_kept(vorel_dev_server, make_body, change, raw, status):
    body = json.dumps(make_body(**change))
    if raw is not None:  # splice in what json.dumps cannot write
        body = body.replace(json.dumps(next(iter(change.values()))), raw.decode("latin-1"))
    headers = {"Authorization": f"Bearer {vorel_dev_server.api_key}", "Content-Type": "application/json"}
    conn, resp = raw_request(vorel_dev_server, "POST", "/v1/approvals/requests", body.encode("latin-1"), headers)
    error = json.loads(resp.read())["error"]
    assert (resp.status, error["code"], type(error["message"])) == (status, "invalid_request", str)
    assert resp.getheader("connection") != "close"
    sock = conn.sock
    conn.request("GET", "/v1/approvals/requests", headers=headers)
    again = conn.getresponse()
    assert (again.status, json.loads(again.read())["items"], conn.sock) == (200, [], sock)


def test_an_internal_error_keeps_the_connection(vorel_dev_server, monkeypatch):
    monkeypatch.setattr(vorel_dev_server.plane, "tenant", lambda: 1 / 0)
    headers = {"Authorization": f"Bearer {vorel_dev_server.api_key}"}
    conn, resp = raw_request(vorel_dev_server, "GET", "/v1/tenant", headers=headers)
    assert (resp.status, json.loads(resp.read())["error"]["code"]) == (500, "internal_error")
    sock = conn.sock
    conn.request("GET", "/v1/health")
    assert (conn.getresponse().status, conn.sock) == (200, sock)


@pytest.mark.parametrize("path", ["/v1/approvals/requests", "/approvals/apr_x/approve"])
@pytest.mark.parametrize("framing", ["content-length", "chunked"])
def test_an_oversized_body_is_refused_without_reading_it(vorel_dev_server, path, framing):
    head = f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{vorel_dev_server.port}\r\n"
    head += f"Authorization: Bearer {vorel_dev_server.api_key}\r\nContent-Type: application/json\r\n"
    if framing == "content-length":
        payload = head.encode() + b"Content-Length: 300000000\r\n\r\n" + b"x" * 4096
    else:  # 1.06 MiB in chunks, never terminated
        chunk = b"x" * 65536
        payload = head.encode() + b"Transfer-Encoding: chunked\r\n\r\n" + (b"10000\r\n" + chunk + b"\r\n") * 17
    with socket.create_connection(("127.0.0.1", vorel_dev_server.port), timeout=10) as sock:
        sock.sendall(payload)
        answer = b""
        while chunk := sock.recv(65536):  # the server answers and closes: nothing more is read
            answer += chunk
    status_line, _, rest = answer.partition(b"\r\n")
    assert status_line.startswith(b"HTTP/1.1 413")
    if path.startswith("/v1/"):
        assert json.loads(rest.partition(b"\r\n\r\n")[2])["error"]["code"] == "payload_too_large"
    assert vorel_dev_server.requests() == []


def test_a_list_of_large_requests_ends_early_instead_of_holding_up_the_server(vorel_dev_server, api, make_body):
    # Six requests of ~900 kB each: decoding and rendering them all would hold up every connection.
    for n in range(6):
        api.post("/v1/approvals/requests", json=make_body(metadata={"blob": "x" * 900_000, "n": n})).raise_for_status()
    page = api.get("/v1/approvals/requests", params={"limit": 200}).json()
    assert 1 <= len(page["items"]) < 6 and page["has_more"] is True
    assert [item["metadata"]["n"] for item in page["items"]] == list(range(5, 5 - len(page["items"]), -1))
    with httpx.Client(base_url=vorel_dev_server.base_url) as browser:
        assert "more pending requests wait" in browser.get("/approvals").text.lower()
    assert len(vorel_dev_server.requests()) == 6  # the fixture's own view is not cut


# -- slow clients and too many of them ---------------------------------------------------
@pytest.mark.parametrize(
    "sent",
    [b"", b"GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1", b"GET /v1/health HTTP/1.1\r\nHost: {host}\r\n\r\nGET /v1/he"],
    ids=["idle", "half-sent-head", "half-sent-second-head"],
)
def test_slow_clients_are_disconnected(vorel_dev_server_factory, sent):
    server = vorel_dev_server_factory(header_timeout=0.3, keep_alive_timeout=0.3)
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
        sock.sendall(sent.replace(b"{host}", f"127.0.0.1:{server.port}".encode()))
        received = b""
        while chunk := sock.recv(4096):
            received += chunk
    assert received.count(b"HTTP/1.1 200") == (1 if b"{host}" in sent else 0)


def test_connections_beyond_the_limit_are_turned_away(vorel_dev_server_factory):
    server = vorel_dev_server_factory(max_connections=3)
    held = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(3)]
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as extra:
            assert extra.recv(4096).startswith(b"HTTP/1.1 503")
    finally:
        for sock in held:
            sock.close()


# -- secrets at rest ---------------------------------------------------------------------
def test_the_database_and_its_journal_are_private(vorel_dev_server_factory, make_body, tmp_path):
    db = tmp_path / "state.sqlite3"
    db.touch(mode=0o644)
    os.chmod(db, 0o644)
    old = os.umask(0o022)
    try:
        server = vorel_dev_server_factory(db_path=str(db))
        with server.http() as api:
            api.post("/v1/approvals/requests", json=make_body()).raise_for_status()
    finally:
        os.umask(old)
    modes = {p.name: oct(p.stat().st_mode & 0o777) for p in tmp_path.iterdir()}
    assert modes == {"state.sqlite3": "0o600", "state.sqlite3-wal": "0o600", "state.sqlite3-shm": "0o600"}
