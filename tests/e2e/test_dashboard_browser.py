"""A person in a real (headless) browser decides a LangGraph tool call in the dashboard.

The graph's tool node waits on the cloud handler, which logs a dashboard link;
the browser opens that link and clicks Approve or Deny; the waiting node then
runs the tool or reports the denial.
"""

from __future__ import annotations

import logging
import re
import shutil
import time

import pytest

from e2e_support import POLL, Background

pytest.importorskip("langgraph")
pytest.importorskip("selenium")

LINK = re.compile(r"(https?://\S+/approvals\?request=\S+)")


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        pytest.skip(
            "Debian's chromium and chromium-driver are not installed and could not be "
            "(scripts/install-system-deps.sh installs them when run as root with apt-get)"
        )
    options = Options()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run"):
        options.add_argument(arg)
    # Explicit paths: nothing is looked up or downloaded at run time.
    session = webdriver.Chrome(options=options, service=Service(executable_path=driver))
    session.set_page_load_timeout(30)
    yield session
    session.quit()


def wait_for(predicate, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def logged_link(caplog):
    for record in caplog.records:
        if record.name == "vorel_cloud.langgraph" and record.getMessage().startswith("approval gate for 'send_email'"):
            match = LINK.search(record.getMessage())
            if match:
                return match.group(1)
    return None


@pytest.mark.parametrize("decision", ["approve", "deny"])
def test_click_in_the_dashboard_and_the_waiting_graph_goes_on(
    decision, browser, vorel_dev_server, agent_key, caplog, monkeypatch
):
    from langchain_core.messages import AIMessage, ToolMessage
    from langchain_core.tools import tool
    from langgraph.graph import END, START, MessagesState, StateGraph
    from selenium.webdriver.common.by import By

    from vorel_cloud.langgraph import VorelToolNode, langgraph_cloud_approval

    monkeypatch.setenv("VOREL_DASHBOARD_URL", vorel_dev_server.base_url)
    caplog.set_level(logging.INFO, logger="vorel_cloud.langgraph")
    ran = []

    @tool
    def send_email(to: str) -> str:
        """Send an email."""
        ran.append(to)
        return f"sent to {to}"

    handler = langgraph_cloud_approval(
        vorel_dev_server.api_key, base_url=vorel_dev_server.base_url, poll_interval=POLL, timeout=60
    )
    node = VorelToolNode(
        [send_email],
        approval_handler=handler,
        signing_key=agent_key,
        warrant_id="w-browser",
        trusted_approvers=[vorel_dev_server.approver_key],
    )
    graph = StateGraph(MessagesState)
    graph.add_node("tools", node)
    graph.add_edge(START, "tools")
    graph.add_edge("tools", END)
    app = graph.compile()
    call = AIMessage(content="", tool_calls=[{"name": "send_email", "args": {"to": "bob@example.com"}, "id": "call-1"}])
    waiting = Background(lambda: app.ainvoke({"messages": [call]}))

    link = wait_for(lambda: logged_link(caplog), what="the approval link in the log")
    pending = vorel_dev_server.wait_for_request()
    assert link == f"{vorel_dev_server.base_url}/approvals?request={pending['id']}"

    browser.get(link)
    assert pending["id"] in browser.title and "send_email" in browser.page_source
    if decision == "approve":
        browser.find_element(By.CSS_SELECTOR, "button.approve").click()
    else:
        browser.find_element(By.CSS_SELECTOR, "input[name=reason]").send_keys("not to this address")
        browser.find_element(By.CSS_SELECTOR, "button.deny").click()
    final = "approved" if decision == "approve" else "denied"
    wait_for(lambda: f"status-{final}" in browser.page_source, what=f"the page to show {final}")

    (message,) = [m for m in waiting.outcome()["messages"] if isinstance(m, ToolMessage)]
    if decision == "approve":
        assert message.content == "sent to bob@example.com" and ran == ["bob@example.com"]
    else:
        assert message.status == "error" and ran == []
        assert message.content == "Tool call 'send_email' was denied: not to this address"
    assert vorel_dev_server.get_request(pending["id"])["status"] == final
