"""The approval dashboard: pages and their approve / deny forms."""

import re

import httpx
import pytest
from vorel_core import SignedApproval


@pytest.fixture
def browser(vorel_dev_server):
    """A client without API credentials, like a person's browser, that has opened the dashboard once."""
    with httpx.Client(base_url=vorel_dev_server.base_url, follow_redirects=False) as client:
        client.get("/approvals").raise_for_status()
        yield client


@pytest.fixture
def pending(api, make_body):
    return api.post("/v1/approvals/requests", json=make_body(metadata={"to": "bob", "subject": "Q3 numbers"})).json()


def form_token(html):
    return re.search(r'name="dashboard_token" value="([^"]+)"', html).group(1)


def test_list_shows_pending_requests_with_actions(vorel_dev_server, browser, api, make_body, pending):
    decided = api.post("/v1/approvals/requests", json=make_body(tool="delete_repo")).json()
    vorel_dev_server.deny(decided["id"], "too risky")
    page = browser.get("/approvals")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    pending_table = page.text.split("Recently decided")[0]
    for text in (pending["id"], "send_email", "Q3 numbers", pending["warrant_id"]):
        assert text in pending_table
    assert decided["id"] not in pending_table and "too risky" in page.text
    assert f'action="/approvals/{pending["id"]}/approve"' in page.text
    assert f'action="/approvals/{pending["id"]}/deny"' in page.text
    assert form_token(page.text) == vorel_dev_server.dashboard_token


def test_request_page_and_unknown_request(browser, pending):
    page = browser.get("/approvals", params={"request": pending["id"]})
    assert page.status_code == 200
    assert pending["request_hash"] in page.text and "Approve" in page.text
    assert browser.get("/approvals", params={"request": "apr_nope"}).status_code == 404


def test_values_are_escaped(browser, api, make_body):
    api.post("/v1/approvals/requests", json=make_body(tool="<script>alert(1)</script>", metadata={"x": "<b>"}))
    page = browser.get("/approvals").text
    assert "<script>alert" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "<b>" not in page


def test_approve_through_the_form(vorel_dev_server, browser, pending):
    page = browser.get("/approvals", params={"request": pending["id"]}).text
    resp = browser.post(
        f"/approvals/{pending['id']}/approve",
        data={"dashboard_token": form_token(page), "approver_key": vorel_dev_server.approver_key, "next": "request"},
    )
    assert resp.status_code == 303 and resp.headers["location"] == f"/approvals?request={pending['id']}"
    done = vorel_dev_server.get_request(pending["id"])
    assert done["status"] == "approved"
    approval = SignedApproval.from_bytes(bytes.fromhex(done["responses"][0]["signed_approval"]))
    approval.verify(bytes.fromhex(pending["request_hash"]), trusted_approvers=[vorel_dev_server.approver_key])
    assert "approved" in browser.get(resp.headers["location"]).text


def test_deny_through_the_form(vorel_dev_server, browser, pending):
    resp = browser.post(
        f"/approvals/{pending['id']}/deny",
        data={"dashboard_token": vorel_dev_server.dashboard_token, "reason": "  wrong recipient ", "next": "list"},
    )
    assert resp.status_code == 303 and resp.headers["location"] == "/approvals"
    done = vorel_dev_server.get_request(pending["id"])
    assert (done["status"], done["denied_reason"]) == ("denied", "wrong recipient")
    again = browser.post(
        f"/approvals/{pending['id']}/approve", data={"dashboard_token": vorel_dev_server.dashboard_token}
    )
    assert again.status_code == 409 and "already denied" in again.text


@pytest.mark.parametrize(
    "data, headers",
    [
        ({}, {}),
        ({"dashboard_token": "guess"}, {}),
        ({"dashboard_token": None}, {"Origin": "http://evil.example"}),
        ({"dashboard_token": None}, {"Sec-Fetch-Site": "cross-site"}),
    ],
    ids=["no-token", "wrong-token", "foreign-origin", "cross-site-fetch"],
)
@pytest.mark.parametrize("action", ["approve", "deny"])
def test_form_posts_without_the_token_or_from_elsewhere_are_refused(
    vorel_dev_server, browser, pending, data, headers, action
):
    data = {k: (vorel_dev_server.dashboard_token if v is None else v) for k, v in data.items()}
    data["reason"] = "x"
    resp = browser.post(f"/approvals/{pending['id']}/{action}", data=data, headers=headers)
    assert resp.status_code == 403
    assert vorel_dev_server.get_request(pending["id"])["status"] == "pending"


def test_same_origin_post_is_accepted(vorel_dev_server, browser, pending):
    resp = browser.post(
        f"/approvals/{pending['id']}/approve",
        data={"dashboard_token": vorel_dev_server.dashboard_token},
        headers={"Origin": vorel_dev_server.base_url, "Sec-Fetch-Site": "same-origin"},
    )
    assert resp.status_code == 303


def test_restricted_request_offers_only_allowed_held_approvers(vorel_dev_server, browser, api, make_body):
    second = vorel_dev_server.add_approver("second")
    rid = api.post("/v1/approvals/requests", json=make_body(approver_keys=[second.public_key.to_hex()])).json()["id"]
    page = browser.get("/approvals", params={"request": rid}).text
    assert second.public_key.to_hex() in page and vorel_dev_server.approver_key not in page
    # Posting the default approver anyway is refused by the same checks as the API.
    resp = browser.post(
        f"/approvals/{rid}/approve",
        data={"dashboard_token": vorel_dev_server.dashboard_token, "approver_key": vorel_dev_server.approver_key},
    )
    assert resp.status_code == 403 and vorel_dev_server.get_request(rid)["status"] == "pending"
